#include "console.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace {
bool Unbuffered = false;
bool KeysEndNothing = false;
char OutputBuffer[4096];
std::size_t OutputFill = 0;
std::vector<char> Message(512);  // grows to the longest message (a long device path)

// Adds text to the output, writing out every full 4 KiB piece.
void Collect(const char* text, std::size_t size) {
    while (size > 0) {
        const std::size_t room = sizeof OutputBuffer - OutputFill;
        const std::size_t taken = size < room ? size : room;
        std::memcpy(OutputBuffer + OutputFill, text, taken);
        OutputFill += taken;
        text += taken;
        size -= taken;
        if (OutputFill == sizeof OutputBuffer) FlushOutput();
    }
}

}  // namespace

void OutputStart() {
    // On a terminal every message shows at once (a count ending in "\r" too);
    // redirected, text is collected and written by the line, or in 4 KiB pieces. The
    // collecting is ours, so a write the system interrupts can be retried.
    Unbuffered = OutputIsTerminal();
    std::setvbuf(stdout, nullptr, _IONBF, 0);
}

void IgnoreKeys() { KeysEndNothing = true; }

bool KeysIgnored() { return KeysEndNothing; }

void ConsoleStart() {
    OutputStart();
    PlatformConsoleStart();
}

void Print(const char* format, ...) {
    std::va_list arguments, again;
    va_start(arguments, format);
    va_copy(again, arguments);
    int length = std::vsnprintf(Message.data(), Message.size(), format, arguments);
    if (length >= 0 && static_cast<std::size_t>(length) >= Message.size()) {
        Message.resize(static_cast<std::size_t>(length) + 1);
        length = std::vsnprintf(Message.data(), Message.size(), format, again);
    }
    va_end(again);
    va_end(arguments);
    if (length > 0) Collect(Message.data(), static_cast<std::size_t>(length));
    // Redirected, a finished line is written out at once: a reader of the
    // file or the journal sees each line while the run goes on.
    if (Unbuffered || (length > 0 && Message[static_cast<std::size_t>(length) - 1] == '\n')) FlushOutput();
}

const char* ClockText() {
    static char text[32];
    const std::time_t now = std::time(nullptr);
    const std::tm* local = std::localtime(&now);
    if (!local || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", local) == 0) std::snprintf(text, sizeof text, "?");
    return text;
}

void FlushOutput() {
    if (OutputFill > 0) WriteOutput(OutputBuffer, OutputFill);
    OutputFill = 0;
}
