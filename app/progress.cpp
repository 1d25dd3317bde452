#include "progress.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "../console/console.h"
#include "view.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto EchoOpenLimit = std::chrono::milliseconds(PieceGap);  // an open echo line quiet so long is shown as it is
constexpr std::size_t EchoChunk = 4096;  // bytes viewed at a time: their lines fit the reserve below

std::mutex& Guard = *new std::mutex;  // not an object: the process may end while a thread holds it
bool OnConsole = true;
bool Echo = false;
View EchoView;
std::string EchoText;          // the view's lines not yet shown, the open one last
std::int64_t EchoArrivalMs = 0;  // when the bytes being viewed arrived
std::uint64_t EchoPieceStart = UINT64_MAX;  // where bytes that came after a pause begin
bool EchoLined = false;          // a time line (as the index would take) came before
std::int64_t EchoLinedMs = 0;    // and its time
Clock::time_point EchoOpened;    // when the open line last took bytes
std::uint64_t Count = 0, CountShown = 0;
Clock::time_point CountShownAt, CountChangedAt;
bool CountOwed = false;
// A count owed while bytes stream is shown with the next bytes; once the
// line is this long quiet, on its own.
constexpr auto CountQuiet = std::chrono::milliseconds(100);

// On a console the count follows the bytes closely (five times a second);
// a file, a pipe or a journal gets it as a line of its own at most once a minute.
Clock::duration CountPause() { return OnConsole ? Clock::duration(std::chrono::milliseconds(200)) : std::chrono::minutes(1); }

void ShowCountLocked(bool now) {
    if (Echo && !OnConsole) return;  // the lines are the output
    const Clock::time_point at = Clock::now();
    if (!now && (Count == CountShown || at - CountShownAt < CountPause())) {
        CountOwed = Count != CountShown;
        return;
    }
    Print(OnConsole ? "%llu\r" : "%llu\n", static_cast<unsigned long long>(Count));
    CountShownAt = at;
    CountShown = Count;
    CountOwed = false;
}

// The latest count, where one is owed, before a message or a wait.
void ShowOwedCount() {
    if (CountOwed && OnConsole) ShowCountLocked(true);
}

bool EchoArrival(std::uint64_t, std::int64_t& localMs) {
    localMs = EchoArrivalMs;
    return true;
}

bool EchoPiece(std::uint64_t offset) { return offset == EchoPieceStart; }

// The view's finished lines (`all`: the open one too) above the count line,
// which stays the last; without a console the lines are the output.
void ShowEcho(bool all) {
    if (!Echo) return;
    const bool waited = !EchoText.empty();
    if (all || (waited && Clock::now() - EchoOpened >= EchoOpenLimit)) FinishViewLine(EchoView, EchoText);
    const std::size_t end = EchoText.rfind('\n');
    if (end != std::string::npos) {
        // On a console the count's digits go first, and the count comes back after the lines.
        char blank[32] = "";
        if (OnConsole) std::snprintf(blank, sizeof blank, "%*s\r", static_cast<int>(std::to_string(CountShown).size()), "");
        if (PrintIfRoom(blank, EchoText.data(), end + 1) && OnConsole) ShowCountLocked(true);
        EchoText.erase(0, end + 1);
    }
    if (!waited || EchoText.empty()) EchoOpened = Clock::now();
}

}  // namespace

void StartProgress(bool onConsole, EchoKind echo) {
    const std::lock_guard<std::mutex> lock(Guard);
    OnConsole = onConsole;
    Echo = echo != EchoKind::None;
    EchoView.Kind = echo == EchoKind::Hex ? ViewKind::Hex : ViewKind::Text;
    EchoView.Arrival = EchoArrival;
    EchoView.Piece = EchoPiece;
    EchoText.reserve(16 * EchoChunk + 4 * LongestViewLine);  // grows no further for a piece's lines
    ShowCountLocked(true);
}

void ShowCount(std::uint64_t count, bool now) {
    const std::lock_guard<std::mutex> lock(Guard);
    if (count != Count) CountChangedAt = Clock::now();
    Count = count;
    ShowCountLocked(now);
}

void EchoBytes(const unsigned char* bytes, std::size_t size, std::int64_t localMs, std::uint64_t count, bool lined) {
    const std::lock_guard<std::mutex> lock(Guard);
    if (!Echo) return;
    Count = count;
    // As --show does from the index's time lines: a piece after a pause begins its own line.
    EchoPieceStart = lined && EchoLined && AfterAPause(EchoLinedMs, localMs) ? EchoView.Offset : UINT64_MAX;
    if (lined) EchoLined = true, EchoLinedMs = localMs;
    EchoArrivalMs = localMs;
    EchoOpened = Clock::now();  // bytes come: an open line is shown once the line is quiet again
    for (std::size_t at = 0; at < size; at += EchoChunk) {
        ViewBytes(EchoView, bytes + at, std::min(EchoChunk, size - at), EchoText);
        ShowEcho(false);
    }
}

int ProgressDue() {
    const std::lock_guard<std::mutex> lock(Guard);
    Clock::time_point due;
    if (Echo && !EchoText.empty()) {
        due = EchoOpened + EchoOpenLimit;
    } else if (CountOwed && OnConsole) {
        due = std::max(CountShownAt + CountPause(), CountChangedAt + CountQuiet);
    } else {
        return -1;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count();
    return static_cast<int>(std::clamp<std::int64_t>(left, 0, 60000));
}

void ShowOwed() {
    const std::lock_guard<std::mutex> lock(Guard);
    ShowEcho(false);
    if (CountOwed && OnConsole && Clock::now() - CountShownAt >= CountPause()) ShowCountLocked(true);
}

void Say(const char* format, ...) {
    std::va_list arguments, again;
    va_start(arguments, format);
    va_copy(again, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, arguments);
    std::string text(static_cast<std::size_t>(std::max(length, 0)) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, again);
    va_end(again);
    va_end(arguments);
    const std::lock_guard<std::mutex> lock(Guard);
    ShowOwedCount();
    Print("%s", text.c_str());
}

void CountAgain() {
    const std::lock_guard<std::mutex> lock(Guard);
    ShowCountLocked(true);
}

void FinishProgress() {
    const std::lock_guard<std::mutex> lock(Guard);
    ShowEcho(true);
    ShowOwedCount();
}
