#include "console.h"

#include <cstdarg>
#include <cstdio>

namespace {
bool Unbuffered = false;
char OutputBuffer[4096];
}  // namespace

void ConsoleStart() {
    // On a terminal every message shows at once (a count ending in "\r" too);
    // redirected, text is collected and written in 4 KiB pieces.
    Unbuffered = OutputIsTerminal();
    std::setvbuf(stdout, OutputBuffer, _IOFBF, sizeof OutputBuffer);
    PlatformConsoleStart();
}

void Print(const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stdout, format, arguments);
    va_end(arguments);
    if (Unbuffered) std::fflush(stdout);
}
