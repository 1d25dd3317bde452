#include "capture.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "../console/console.h"
#include "../serial/serial.h"
#include "log_file.h"
#include "time_index.h"
#include "view.h"

std::uint64_t ByteCount = 0;

namespace {

const char* LogName = nullptr;  // the part being written, as the messages name it
bool Reconnect = true;
std::int64_t ByteLimit = 0;  // the log ends at this many bytes; 0: no limit

// The parts of a capture (--split, a dated --log name).
const char* NamePattern = nullptr;
SplitKind Split = SplitKind::None;
std::uint64_t SplitSize = 0;
std::string PartName;          // the part being written
std::uint64_t PartStart = 0;   // the count when it began
std::time_t PartEnds = 0;      // with --split day or hour: the local midnight or full hour that ends it
constexpr auto PauseAfterFault = std::chrono::milliseconds(100);

std::FILE* LogFile = nullptr;
unsigned char ReceiveBlock[LargestRead];

// --times: the part's index beside it; --echo: the bytes as a view on the console.
bool Timed = false;
std::FILE* IndexFile = nullptr;
bool Echo = false;
View EchoView;
std::string EchoText;            // the view's lines not yet shown, the open one last
std::int64_t BlockArrival = 0;   // the local time the bytes of the latest read began to arrive
std::chrono::steady_clock::time_point EchoOpened;  // when the open line began to wait
constexpr auto EchoOpenLimit = std::chrono::milliseconds(200);  // it is shown as it is then
std::uint64_t EchoDropped = 0;   // lines an output that took nothing more could not be shown

// The running count. A console shows it at most 20 times a second, the
// latest always once the line is quiet; other output (a file, a pipe, a
// journal) gets it as a line of its own at most once a minute.
using Clock = std::chrono::steady_clock;
bool OnConsole = true;
Clock::time_point Deadline = Clock::time_point::max();  // --for: the capture ends then

// Milliseconds until the deadline, at most `limit` (-1: no limit), never below 0.
int UntilDeadline(int limit) {
    if (Deadline == Clock::time_point::max()) return limit;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(Deadline - Clock::now()).count();
    const int bounded = static_cast<int>(std::clamp<std::int64_t>(left, 0, 1 << 30));
    return limit < 0 ? bounded : std::min(limit, bounded);
}
Clock::time_point CountShownAt;
std::uint64_t CountShown = 0;
bool CountOwed = false;

Clock::duration CountPause() { return OnConsole ? Clock::duration(std::chrono::milliseconds(50)) : std::chrono::minutes(1); }

void ShowCount(bool always = false) {
    if (Echo && !OnConsole) return;  // the lines are the output
    const Clock::time_point now = Clock::now();
    if (!always && (ByteCount == CountShown || now - CountShownAt < CountPause())) {
        CountOwed = ByteCount != CountShown;
        return;
    }
    Print(OnConsole ? "%llu\r" : "%llu\n", static_cast<unsigned long long>(ByteCount));
    CountShownAt = now;
    CountShown = ByteCount;
    CountOwed = false;
}

// The latest count, where one is owed, before a message or a wait.
void ShowOwedCount() {
    if (CountOwed && OnConsole) ShowCount(true);
}

// How long a read may wait before the count it owes is shown: -1 for as long as it likes.
int Patience() {
    if (Echo && !EchoText.empty()) {  // an open line is shown once it has waited EchoOpenLimit
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(EchoOpened + EchoOpenLimit - Clock::now()).count();
        return left > 0 ? static_cast<int>(left) : 0;
    }
    if (!CountOwed || !OnConsole) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(CountShownAt + CountPause() - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool WriteFailed = false;  // said once: the close of a log that failed may fail again

void ReportWriteFailure(int error, const char* name = LogName) {
    ShowOwedCount();
    if (!WriteFailed) Print("\nSchreiben in %s fehlgeschlagen. Fehlercode: %d\n", name, error);
    WriteFailed = true;
}

// A failed write of the index is said with its name, and ends the capture as a failed write of the log.
int Indexed(int error) {
    if (error != 0) ReportWriteFailure(error, IndexName(LogName).c_str());
    return error;
}

// A marked line in the part's index, where it has one, at the count now: 0, or the error (said).
int Mark(const char* word, const char* rest = "") {
    return IndexFile ? Indexed(IndexEvent(IndexFile, word, ByteCount - PartStart, rest)) : 0;
}

int CloseTimeIndex() {
    if (!IndexFile) return 0;
    const int error = CloseLogFile(IndexFile);  // synced with the log before
    IndexFile = nullptr;
    return error;
}

// The view's finished lines (`all`: the open one too) above the count line,
// which stays the last; without a console the lines are the output.
bool EchoArrival(std::uint64_t, std::int64_t& localMs) {
    localMs = BlockArrival;
    return true;
}

void ShowEcho(bool all) {
    if (!Echo) return;
    const bool waited = !EchoText.empty();
    if (all || (waited && Clock::now() - EchoOpened >= EchoOpenLimit)) FinishViewLine(EchoView, EchoText);
    const std::size_t end = EchoText.rfind('\n');
    if (end != std::string::npos && OutputWaits()) {
        // A reader that takes nothing more (a full pipe, a stopped terminal) never holds up the reads: the lines go.
        EchoDropped += static_cast<std::uint64_t>(std::count(EchoText.begin(), EchoText.begin() + static_cast<std::ptrdiff_t>(end) + 1, '\n'));
        EchoText.erase(0, end + 1);
    } else if (end != std::string::npos) {
        if (OnConsole) Print("%*s\r", static_cast<int>(std::to_string(CountShown).size()), "");  // the count's digits gone
        if (EchoDropped > 0) Print("--- %llu Zeilen nicht gezeigt (Ausgabe zu langsam) ---\n", static_cast<unsigned long long>(EchoDropped));
        EchoDropped = 0;
        Print("%.*s", static_cast<int>(end + 1), EchoText.c_str());
        EchoText.erase(0, end + 1);
        if (OnConsole) ShowCount(true);
    }
    if (!waited || EchoText.empty()) EchoOpened = Clock::now();
}

// The next local midnight (or full hour) after `when`, found once a part.
std::time_t PeriodEnd(std::time_t when) {
    std::tm local{};
    if (const std::tm* now = std::localtime(&when)) local = *now;
    local.tm_min = local.tm_sec = 0;
    if (Split == SplitKind::Hour) {
        ++local.tm_hour;
    } else {
        local.tm_hour = 0;
        ++local.tm_mday;
    }
    local.tm_isdst = -1;  // the clock change, if one comes, as the zone has it
    return std::mktime(&local);
}

// A log name (or, with --times, its index's) that is a device is never opened: said, and false.
bool NamesAFile(const char* name) {
    std::string device = DeviceAmongLogNames(name);
    if (device.empty() && Timed && IsDevice(IndexName(name).c_str())) device = IndexName(name);
    if (!device.empty()) Print("Logdatei %s ist ein Geraet, keine Datei.\n", device.c_str());
    return device.empty();
}

// Creates the part the name gives now (keeping what stands there, as every
// log does); false when it cannot be, which it has said. `later`: a part after
// the first, whose name was not looked at before the port was opened.
bool OpenPart(bool later, bool& keptPrevious) {
    const std::time_t now = std::time(nullptr);
    PartName = ExpandedLogName(NamePattern, now);
    LogName = PartName.c_str();
    if (later && !NamesAFile(LogName)) return false;
    LogFile = CreateLog(LogName, keptPrevious);
    if (!LogFile && errno == EWOULDBLOCK) {
        Print("Logdatei %s wird schon von einem anderen lumtrex beschrieben (--log waehlt eine andere).\n", LogName);
        return false;
    }
    if (!LogFile) {
        Print("Logdatei %s kann nicht angelegt werden. Fehlercode: %d\n", LogName, errno);
        return false;
    }
    // Every write goes to the system at once: a process killed from outside
    // keeps every byte of every completed read.
    std::setvbuf(LogFile, nullptr, _IONBF, 0);
    PartStart = ByteCount;
    if (Split == SplitKind::Day || Split == SplitKind::Hour) PartEnds = PeriodEnd(now);
    // An index only beside a file (not the null device); an old one beside a capture without is gone.
    const std::string index = IndexName(LogName);
    if (!IsRegularLog(LogFile)) return true;
    if (!Timed) {
        if (IsEarlierCapture(index.c_str())) std::remove(index.c_str());
        return true;
    }
    IndexFile = OpenTimeIndex(LogName);
    char begins[96];
    std::snprintf(begins, sizeof begins, "%s %d", PortName(PortSettings), PortSettings.BaudRate);
    const int error = IndexFile ? IndexEvent(IndexFile, "beginn", 0, begins) : errno;
    if (error != 0) {
        Print("Zeitindex %s kann nicht angelegt werden. Fehlercode: %d\n", index.c_str(), error);
        return false;
    }
    return true;
}

// The finished part on the disk and closed, the capture going on in a fresh
// one: 0, or the error of the finished part's sync or close (said by the
// caller), or of the new part (said here).
int NextPart() {
    if (const int error = Mark("ende")) return error;
    const int unsynced = StopLogSync();
    const int unindexed = CloseTimeIndex();
    const int unclosed = CloseLogFile(LogFile);
    LogFile = nullptr;
    if (unsynced != 0 || unclosed != 0 || unindexed != 0) return unsynced != 0 ? unsynced : unclosed != 0 ? unclosed : unindexed;
    const std::string finished = PartName;
    const std::uint64_t size = ByteCount - PartStart;
    bool keptPrevious = false;
    ShowOwedCount();
    if (OnConsole) Print("\n");  // ends the count line
    if (!OpenPart(true, keptPrevious)) {
        WriteFailed = true;  // said
        return EIO;
    }
    Print("%s Logdatei fertig: %s (%llu Bytes), weiter in %s\n", ClockText(),
          keptPrevious ? EarlierCapture(LogName, 1).c_str() : finished.c_str(), static_cast<unsigned long long>(size),
          LogName);
    StartLogSync(LogFile, IndexFile);
    if (OnConsole) ShowCount(true);
    return 0;
}

// Takes what one read delivered into the log, whole block or not, splitting
// it where a part ends. Returns 0, or the system's error number when the log
// did not take it all (or its write-back failed).
int KeepReceived(std::uint32_t delivered, std::int64_t ageMs = 0, std::int64_t lastAgeMs = 0) {
    if ((Split == SplitKind::Day || Split == SplitKind::Hour) && std::time(nullptr) >= PartEnds) {
        if (const int error = NextPart()) return error;
    }
    int error = 0;
    for (std::uint32_t at = 0; at < delivered && error == 0;) {
        std::uint32_t piece = delivered - at;
        if (Split == SplitKind::Size) {
            const std::uint64_t room = SplitSize - std::min<std::uint64_t>(SplitSize, ByteCount - PartStart);
            if (room == 0) {
                error = NextPart();
                continue;
            }
            piece = static_cast<std::uint32_t>(std::min<std::uint64_t>(piece, room));
        }
        const std::uint64_t offset = ByteCount - PartStart;
        if (!WriteBlock(ReceiveBlock + at, piece)) error = errno;
        if (IndexFile && error == 0) error = Indexed(IndexArrival(IndexFile, offset, ageMs, lastAgeMs));
        at += piece;
    }
    NoteLogWritten();
    if (Echo) {
        int offsetSeconds = 0;
        BlockArrival = LocalMs(NowEpochMs() - ageMs, offsetSeconds);
        ViewBytes(EchoView, ReceiveBlock, delivered, EchoText);
        ShowEcho(false);
    }
    ShowCount();
    return error != 0 ? error : LogSyncFailure();
}

// What the log holds now is on the disk: 0, or the error of a failed write-back.
int LogOnDisk() {
    int error = SyncLogFile(LogHandle(LogFile));
    if (error == 0 && IndexFile) error = Indexed(SyncLogFile(LogHandle(IndexFile)));
    return error != 0 ? error : LogSyncFailure();
}

// A read that ended at once with part of a block, shown once its bytes are
// in the log: a box that waits for the user must not hold them back.
void ShowSizeMismatch() {
    char text[40];
    std::snprintf(text, sizeof text, "Size mismatch %d %d", ReceiveBlock[0], ReceiveBlock[1]);
    WarningBox("Error", text);
}

enum class CaptureEnd { Asked, LogFailed, DeviceLost };  // a key or a stop request: Asked


// The port went away: waited for, and the capture goes on into the same log
// once it is back; the two lines say where the gap is in the log (its count)
// and are written out at once, also into a file. False when a key or a stop
// request ended the wait.
bool WaitForLostPort() {
    const char* port = PortName(PortSettings);
    ShowEcho(true);
    ShowOwedCount();
    Print("\n%s %s ist nicht mehr vorhanden (nach %llu Bytes). Warte auf die Schnittstelle ...\n", ClockText(), port,
          static_cast<unsigned long long>(ByteCount));
    FlushOutput();
    if (!ReopenPort(UntilDeadline(-1))) return false;
    if (Mark("wieder") != 0) return false;
    Print("%s %s ist wieder da. Empfang laeuft weiter.\n", ClockText(), port);
    ShowCount(true);
    return true;
}

CaptureEnd LogFailed(int error) {
    ReportWriteFailure(error);
    return CaptureEnd::LogFailed;
}

// How much the next read may take: a read's worth, or what --bytes leaves.
std::uint32_t ReadLength() {
    if (ByteLimit == 0) return ReadSize;
    const std::uint64_t left = static_cast<std::uint64_t>(ByteLimit) - std::min<std::uint64_t>(ByteCount, ByteLimit);
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(left, ReadSize));
}

// The bytes the driver still holds when a key or a stop ends the capture
// arrived before it: they go into the log, not away with the port. Only
// those: a line that keeps sending must not hold the end.
int DrainQueue() {
    for (std::uint32_t left = QueuedBytes(); left > 0 && ReadLength() > 0;) {
        const std::uint32_t got = ReadQueued(PortHandle, ReceiveBlock, std::min(left, ReadLength()));
        if (got == 0) return 0;
        if (const int error = KeepReceived(got)) return error;
        left -= std::min(left, got);
    }
    return 0;
}

// Keys are looked for at least this often; a read that waits sees them at once.
constexpr auto KeyLook = std::chrono::milliseconds(50);

// A board with its own USB (CDC-ACM) sends only once DTR says a terminal is there.
void HintAtDtr(Clock::time_point start, bool& hinted) {
    const auto silent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    if (hinted || silent < 5000) return;
    hinted = true;  // the port is asked once
    if (!DtrHintDue(PortIsCdcAcm(), PortSettings.DtrOption, ByteCount, silent)) return;
    ShowOwedCount();
    Print("\nHinweis: seit 5 s nichts empfangen. %s ist ein USB-CDC-Geraet; solche Platinen senden oft erst mit "
          "DTR (-d1).\n", PortName(PortSettings));
    ShowCount(true);
}

CaptureEnd CaptureUntilStopped(LineCounters& before, bool& counted) {
    Clock::time_point keysLooked{};  // looked for before the first read
    const Clock::time_point start = Clock::now();
    bool stopped = false, hinted = false;
    // A stop request, a key (unless --no-keys), --bytes reached or --for over end it.
    while (!StopRequested() && ReadLength() > 0 && Clock::now() < Deadline) {
        if (ByteCount == 0) HintAtDtr(start, hinted);
        if (stopped || Clock::now() - keysLooked >= KeyLook) {
            if (KeyWaiting()) break;
            keysLooked = Clock::now();
        }
        ReadResult result;
        ReadBlock(PortHandle, ReceiveBlock, ReadLength(), result, UntilDeadline(Patience()));
        if (const int error = result.Delivered > 0 ? KeepReceived(result.Delivered, result.FirstByteAgeMs, result.LastByteAgeMs) : LogSyncFailure()) {
            return LogFailed(error);  // a write-back that failed is said within a read's time-out, bytes or none
        }
        stopped = result.End == ReadEnd::Stopped;
        if (result.Delivered == 0) {  // the line is quiet
            ShowEcho(true);
            ShowOwedCount();
        }
        if (result.End == ReadEnd::ShortAtOnce) ShowSizeMismatch();
        if (result.End == ReadEnd::DeviceLost) {
            // A device still plugged in (a brief hang-up) may hold bytes yet: they go
            // into the log, and what came before the gap is on the disk before anyone is told of it.
            if (const int error = DrainQueue()) return LogFailed(error);
            if (Mark("weg") != 0) return CaptureEnd::LogFailed;
            if (const int error = LogOnDisk()) return LogFailed(error);
        }
        if (result.End == ReadEnd::DeviceLost && !Reconnect) {
            ShowOwedCount();
            Print("\n%s ist nicht mehr vorhanden. Empfang beendet.\n", PortName(PortSettings));
            return CaptureEnd::DeviceLost;
        }
        if (result.End == ReadEnd::DeviceLost) {
            // The port stays closed: nothing to drain.
            if (!WaitForLostPort()) return WriteFailed ? CaptureEnd::LogFailed : CaptureEnd::Asked;
            counted = ReadLineCounters(before);  // the lost device took its counters with it
            continue;
        }
        // After a fault the next read waits a moment; after a line error
        // (Aborted) it follows as the port decides.
        if (result.End == ReadEnd::Failed) std::this_thread::sleep_for(PauseAfterFault);
    }
    if (const int error = DrainQueue()) return LogFailed(error);
    return CaptureEnd::Asked;
}

}  // namespace

bool LogNamesAFile(const char* pattern, bool withIndex) {
    Timed = withIndex;
    return NamesAFile(ExpandedLogName(pattern, std::time(nullptr)).c_str());
}

bool DtrHintDue(bool cdcAcm, bool dtrRaised, std::uint64_t received, std::int64_t sinceStartMs) {
    return cdcAcm && !dtrRaised && received == 0 && sinceStartMs >= 5000;
}

bool WriteBlock(const unsigned char* bytes, std::uint32_t length) {
    if (length == 0) return true;
    errno = 0;
    const std::size_t written = std::fwrite(bytes, 1, length, LogFile);
    ByteCount += written;
    if (written == length) return true;
    // The C runtime can return a short count without an error number: never
    // let that pass as success; report it as the full disk it most likely is.
    if (errno == 0) errno = ENOSPC;
    return false;
}

bool RunCapture(const Options& options) {
    NamePattern = options.LogName;
    Reconnect = options.Reconnect;
    ByteLimit = options.ByteLimit;
    Split = options.Split;
    SplitSize = static_cast<std::uint64_t>(options.SplitSize);
    Timed = options.Times;
    Echo = options.Echo != EchoKind::None;
    EchoView.Kind = options.Echo == EchoKind::Hex ? ViewKind::Hex : ViewKind::Text;
    EchoView.Arrival = EchoArrival;
    EchoText.reserve(4 * LargestRead + 4 * LongestViewLine);  // grows no further for a read's lines
    ByteCount = 0;
    // A log through a symbolic link is emptied at each start, never moved: a split would empty the finished part.
    if (Split != SplitKind::None && IsSymbolicLink(ExpandedLogName(NamePattern, std::time(nullptr)).c_str())) {
        Print("Logdatei %s ist ein Link: --split braucht eine Datei.\n", NamePattern);
        return false;
    }
    bool keptPrevious = false;
    if (!OpenPart(false, keptPrevious)) return false;
    if (keptPrevious) Print("Vorige Logdatei: %s\n", EarlierCapture(LogName, 1).c_str());
    OnConsole = OutputIsTerminal();
    Print(KeysIgnored() ? "\nEmpfang abbrechen mit Strg+C\n\n" : "\nEmpfang abbrechen mit beliebiger Taste\n\n");
    Print("Empfangene Bytes\n");
    ShowCount(true);
    FlushOutput();  // redirected, the prompt is written out before the capture waits for its key
    LineCounters before;
    bool counted = ReadLineCounters(before);
    if (options.ForSeconds > 0) Deadline = Clock::now() + std::chrono::seconds(options.ForSeconds);
    StartLogSync(LogFile, IndexFile);
    CaptureEnd end = CaptureUntilStopped(before, counted);
    ShowEcho(true);
    // At the end, the log is on the disk before anything more is said.
    const int unsynced = StopLogSync();
    if (unsynced != 0 && end != CaptureEnd::LogFailed) {
        ReportWriteFailure(unsynced);
        end = CaptureEnd::LogFailed;
    }
    ShowOwedCount();
    // A lost device took its counters with it.
    if (end != CaptureEnd::DeviceLost && PortIsOpen()) {
        LineCounters after;
        const bool countedToo = ReadLineCounters(after);
        char report[160];
        if (LineErrorReport(counted, before, countedToo, after, report, sizeof report) > 0) {
            Print("%s", report);
            const LineErrors errors = CountedErrors(before, after);
            std::snprintf(report, sizeof report, "Ueberlauf %llu Rahmenfehler %llu Break %llu Paritaetsfehler %llu",
                          static_cast<unsigned long long>(errors.Overrun), static_cast<unsigned long long>(errors.Frame),
                          static_cast<unsigned long long>(errors.Breaks), static_cast<unsigned long long>(errors.Parity));
            if (Mark("fehler", report) != 0) end = CaptureEnd::LogFailed;
        }
    }
    return end == CaptureEnd::Asked;
}

std::size_t LineErrorReport(bool haveBefore, const LineCounters& before, bool haveAfter, const LineCounters& after,
                            char* text, std::size_t size) {
    if (!haveBefore || !haveAfter) return 0;
    const auto [overrun, frame, breaks, parity] = CountedErrors(before, after);
    if (overrun == 0 && frame == 0 && breaks == 0 && parity == 0) return 0;
    char parityText[48] = "";
    if (parity > 0) std::snprintf(parityText, sizeof parityText, ", Paritaetsfehler %llu", static_cast<unsigned long long>(parity));
    // ASCII on purpose: it must read the same in every console code page.
    const int length = std::snprintf(text, size, "\nEmpfangsfehler: Ueberlauf %llu, Rahmenfehler %llu, Break %llu%s\n%s",
                                     static_cast<unsigned long long>(overrun), static_cast<unsigned long long>(frame),
                                     static_cast<unsigned long long>(breaks), parityText,
                                     frame > 0 ? "Baudrate pruefen.\n" : "");
    return length > 0 && static_cast<std::size_t>(length) < size ? static_cast<std::size_t>(length) : 0;
}

LineErrors CountedErrors(const LineCounters& before, const LineCounters& after) {
    // The counters wrap at 2^32: unsigned 32-bit differences are right across a wrap.
    const auto since = [](std::uint32_t then, std::uint32_t now) {
        return std::uint64_t{static_cast<std::uint32_t>(now - then)};
    };
    return {since(before.Overrun, after.Overrun) + since(before.BufferOverrun, after.BufferOverrun),
            since(before.Frame, after.Frame), since(before.Break, after.Break), since(before.Parity, after.Parity)};
}

bool CloseLog() {
    // The index's last line, and the index on the disk, before the log is let go.
    int indexError = Mark("ende");
    if (IndexFile && indexError == 0) indexError = Indexed(SyncLogFile(LogHandle(IndexFile)));
    if (const int error = CloseTimeIndex(); error != 0 && indexError == 0) indexError = Indexed(error);
    if (!LogFile) return indexError == 0;
    // Network and FUSE file systems may report a full disk, a quota or an
    // I/O error only now.
    const int error = CloseLogFile(LogFile);
    LogFile = nullptr;
    if (error != 0) ReportWriteFailure(error);
    return error == 0 && indexError == 0;
}
