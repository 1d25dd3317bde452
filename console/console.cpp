#include "console.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

bool Unbuffered = false;
bool KeysEndNothing = false;
Clock::time_point Deadline = Clock::time_point::max();
std::atomic<bool> EndAsked{false};

// Not objects: a process that ends while the writer thread waits must not meet their destructors.
std::mutex& Guard = *new std::mutex;
std::condition_variable& Changed = *new std::condition_variable;

// Before OutputNeverWaits: text collected here and written by the line (or
// at once on a terminal). The collecting is ours, so a write the system
// interrupts can be retried.
char OutputBuffer[4096];
std::size_t OutputFill = 0;
std::vector<char> Message(512);  // grows to the longest message (a long device path)
bool Timed = false;              // TimeEachLine
bool AtLineStart = true;         // the output's last text ended its line

// After it: the text the writer thread has not written yet, a ring of
// OutputRoom bytes, and the lines left out since text last fitted.
bool Queued = false;
char Queue[OutputRoom];
std::uint64_t QueueHead = 0, QueueTail = 0;  // bytes put in, bytes written
bool Writing = false;
std::uint64_t LeftOut = 0;
// At the end the output is waited for while it takes text; one that takes
// nothing (a pipe nobody reads) is given up after a while, after a stop request at once.
constexpr auto StopGrace = std::chrono::milliseconds(500);
constexpr auto StillGrace = std::chrono::seconds(2);

void WriteCollected() {
    if (OutputFill > 0) WriteOutput(OutputBuffer, OutputFill);
    OutputFill = 0;
}

// Adds text to the output, writing out every full 4 KiB piece.
void Collect(const char* text, std::size_t size) {
    while (size > 0) {
        const std::size_t taken = std::min(size, sizeof OutputBuffer - OutputFill);
        std::memcpy(OutputBuffer + OutputFill, text, taken);
        OutputFill += taken;
        text += taken;
        size -= taken;
        if (OutputFill == sizeof OutputBuffer) WriteCollected();
    }
}

std::uint64_t Lines(const char* text, std::size_t size) {
    return static_cast<std::uint64_t>(std::count(text, text + size, '\n'));
}

// Puts `lead` and text into the writer's ring when `keepFree` bytes stay
// free after them, else counts the text's lines as left out; once text fits
// again, a line says how many were.
bool Enqueue(const char* lead, const char* text, std::size_t size, std::size_t keepFree) {
    char notice[128] = "";
    const int noticed = LeftOut ? std::snprintf(notice, sizeof notice, "%s%s--- %llu Zeilen nicht gezeigt (Ausgabe zu langsam) ---\n",
                                                Timed ? ClockText() : "", Timed ? " " : "",
                                                static_cast<unsigned long long>(LeftOut)) : 0;
    const std::size_t noticeSize = static_cast<std::size_t>(std::max(noticed, 0)), leadSize = std::strlen(lead);
    if (OutputRoom - (QueueHead - QueueTail) < noticeSize + leadSize + size + keepFree) {
        LeftOut += Lines(text, size);
        return false;
    }
    LeftOut = 0;
    for (const auto& [piece, length] :
         {std::pair<const char*, std::size_t>{notice, noticeSize}, {lead, leadSize}, {text, size}}) {
        for (std::size_t at = 0; at < length;) {
            const std::size_t offset = QueueHead % OutputRoom;
            const std::size_t taken = std::min(length - at, OutputRoom - offset);
            std::memcpy(Queue + offset, piece + at, taken);
            QueueHead += taken;
            at += taken;
        }
    }
    return true;
}

// The writer thread: writes what the ring holds, as long as the output
// takes it; a write that waits for ever holds up nothing else.
void WriteQueued() {
    KeepSignalsAway();
    std::unique_lock<std::mutex> lock(Guard);
    for (;;) {
        Changed.wait(lock, [] { return QueueHead != QueueTail; });
        const std::size_t offset = QueueTail % OutputRoom;
        const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(QueueHead - QueueTail, OutputRoom - offset));
        Writing = true;
        lock.unlock();
        WriteOutput(Queue + offset, size);
        lock.lock();
        Writing = false;
        QueueTail += size;
        Changed.notify_all();
    }
}

}  // namespace

void OutputStart() {
    // On a terminal every message shows at once (a count ending in "\r" too);
    // redirected, text is collected and written by the line, or in 4 KiB pieces.
    Unbuffered = OutputIsTerminal();
    std::setvbuf(stdout, nullptr, _IONBF, 0);
}

void ConsoleStart() {
    OutputStart();
    PlatformConsoleStart();
}

void OutputNeverWaits() {
    const std::lock_guard<std::mutex> lock(Guard);
    if (Queued) return;
    WriteCollected();
    try {
        std::thread(WriteQueued).detach();
        Queued = true;
    } catch (const std::exception&) {
        // No thread to be had: the text is written as before.
    }
}

void Print(const char* format, ...) {
    std::unique_lock<std::mutex> lock(Guard);
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
    if (length <= 0) return;
    std::size_t size = static_cast<std::size_t>(length);
    if (Timed) {
        const std::string timed = TimedLines(Message.data(), size, ClockText(), AtLineStart);
        if (timed.size() >= Message.size()) Message.resize(timed.size() + 1);
        timed.copy(Message.data(), timed.size());
        size = timed.size();
    }
    if (Queued) {
        // Woken once the lock is let go, the writer takes the text without a fight for the lock.
        const bool put = Enqueue("", Message.data(), size, 0);
        lock.unlock();
        if (put) Changed.notify_all();
        return;
    }
    Collect(Message.data(), size);
    // Redirected, a finished line is written out at once: a reader of the
    // file or the journal sees each line while the run goes on.
    if (Unbuffered || Message[size - 1] == '\n') WriteCollected();
}

bool PrintIfRoom(const char* lead, const char* text, std::size_t size) {
    std::unique_lock<std::mutex> lock(Guard);
    if (Queued) {
        const bool shown = Enqueue(lead, text, size, OutputReserve);
        lock.unlock();
        if (shown) Changed.notify_all();
        return shown;
    }
    Collect(lead, std::strlen(lead));
    Collect(text, size);
    WriteCollected();
    return true;
}

void TimeEachLine() {
    const std::lock_guard<std::mutex> lock(Guard);
    Timed = !OutputIsTerminal();
}

std::string TimedLines(const char* text, std::size_t size, const char* clock, bool& atLineStart) {
    // "2026-12-08 09:41:07": a line that begins so has its time.
    const auto dated = [](const char* line, std::size_t left) {
        static const char shape[] = "0000-00-00 00:00:00";
        if (left < sizeof shape - 1) return false;
        for (std::size_t i = 0; i + 1 < sizeof shape; ++i) {
            if (shape[i] == '0' ? line[i] < '0' || line[i] > '9' : line[i] != shape[i]) return false;
        }
        return true;
    };
    std::string timed;
    timed.reserve(size + 24);
    for (std::size_t at = 0; at < size; ++at) {
        if (atLineStart && text[at] != '\n' && !dated(text + at, size - at)) timed.append(clock).push_back(' ');
        timed.push_back(text[at]);
        atLineStart = text[at] == '\n';
    }
    return timed;
}

void FlushOutput() {
    const std::lock_guard<std::mutex> lock(Guard);
    if (!Queued) WriteCollected();  // the writer thread writes at once anyway
}

bool OutputFinished() {
    std::unique_lock<std::mutex> lock(Guard);
    WriteCollected();
    Clock::time_point stopSeen = Clock::time_point::max(), tookLast = Clock::now();
    for (std::uint64_t taken = QueueTail; Queued && (QueueHead != QueueTail || Writing);) {
        const Clock::time_point now = Clock::now();
        if (QueueTail != taken) tookLast = now, taken = QueueTail;
        if (StopRequested() && stopSeen == Clock::time_point::max()) stopSeen = now;
        if (now - tookLast >= StillGrace || now - stopSeen >= StopGrace) return false;
        Changed.wait_for(lock, std::chrono::milliseconds(50));
    }
    return true;
}

void LimitRun(const RunLimits& limits) {
    KeysEndNothing = !limits.Keys;
    if (limits.ForSeconds > 0) Deadline = Clock::now() + std::chrono::seconds(limits.ForSeconds);
}

bool KeysIgnored() { return KeysEndNothing; }

bool DeadlinePassed() { return Clock::now() >= Deadline; }

int UntilDeadline(int limit) {
    if (Deadline == Clock::time_point::max()) return limit;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(Deadline - Clock::now()).count();
    const int bounded = static_cast<int>(std::clamp<std::int64_t>(left, 0, 1 << 30));
    return limit < 0 ? bounded : std::min(limit, bounded);
}

void AskToEnd() {
    EndAsked = true;
    WakeWaits();
}

bool EndDue() { return StopRequested() || EndAsked || DeadlinePassed(); }

const char* ClockText() {
    static thread_local char text[32];
    std::tm local{};
    if (!LocalTime(std::time(nullptr), local) || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0) {
        std::snprintf(text, sizeof text, "?");
    }
    return text;
}

namespace {

// What a user meets: why a log cannot be made or written, why a port
// cannot be used. ASCII, as every text: it reads the same in every code page.
const CodeMeaning ErrnoTable[] = {
    {EPERM, "nicht erlaubt"},
    {ENOENT, "Datei oder Ordner fehlt"},
    {EIO, "Datentraeger oder Geraet gestoert oder entfernt"},
    {ENXIO, "Geraet nicht vorhanden"},
    {EACCES, "keine Rechte, oder ein anderes Programm sperrt sie"},
    {EBUSY, "belegt"},
    {EEXIST, "schon vorhanden"},
    {ENODEV, "Geraet nicht vorhanden"},
    {ENOTDIR, "ein Teil des Pfads ist kein Ordner"},
    {EISDIR, "ist ein Ordner"},
    {EINVAL, "Wert oder Einstellung nicht unterstuetzt"},
    {ENOTTY, "keine serielle Schnittstelle"},
    {EFBIG, "Datei zu gross fuer die Groessengrenze (ulimit -f)"},
    {ENOSPC, "Datentraeger voll"},
    {EROFS, "Datentraeger nur lesbar oder schreibgeschuetzt"},
    {ENAMETOOLONG, "Name zu lang"},
    {ELOOP, "zu viele symbolische Verweise"},
#if defined(EDQUOT)  // (Windows gives a quota as a full disk)
    {EDQUOT, "Kontingent (Quota) erschoepft"},
#endif
    {ECONNREFUSED, "Verbindung abgelehnt"},
    {ECONNRESET, "Verbindung getrennt"},
    {ETIMEDOUT, "Zeitueberschreitung"},
    {EHOSTUNREACH, "Rechner nicht erreichbar"},
    {ENETUNREACH, "Netz nicht erreichbar"},
};

}  // namespace

const std::span<const CodeMeaning> ErrnoMeanings = ErrnoTable;

std::string CodeText(int code, std::span<const CodeMeaning> meanings) {
    std::string text = std::to_string(code);
    const auto row = std::find_if(meanings.begin(), meanings.end(), [&](const CodeMeaning& meaning) { return meaning.Code == code; });
    if (row != meanings.end()) text = text + " (" + row->Text + ")";
    return text;
}
