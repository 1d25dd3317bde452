#include "recording.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <mutex>
#include <thread>

#include "../console/console.h"
#include "log_file.h"
#include "nudge.h"
#include "progress.h"
#include "ring.h"
#include "time_index.h"

namespace {

// ---- A part: its files, one row each ----

std::string Itself(const std::string& log) { return log; }
bool Always() { return true; }
bool TimesAsked() { return RunOptions.Times; }

struct OutputRow {
    std::string (*Name)(const std::string& log);  // the file's name beside the part's log
    bool TakesBytes;                              // the received bytes; else the time index's lines
    bool (*Asked)();                              // whether the options ask for it (lines only beside a file)
    LogFault NotMade;                             // the problem when it cannot be made
};
const OutputRow Outputs[] = {
    {Itself, true, Always, LogFault::NotCreated},
    {IndexName, false, TimesAsked, LogFault::IndexNotCreated},
};
constexpr std::size_t OutputCount = std::size(Outputs);

std::FILE* Files[OutputCount] = {};
std::string PartName;         // the part being written
std::uint64_t PartStart = 0;  // the log's bytes before it
std::time_t PartEnds = 0;     // with --split day or hour: the local midnight or full hour that ends it
std::uint64_t PartLimit = 0;  // with --split SIZE: the bytes that end it (more after a seam that could not be made)
int PartOffset = 0;           // the zone's UTC offset when it began
std::string Begins;           // after "beginn" in each part's index: the port as named, the rate recorded
std::atomic<std::uint64_t> ByteCount{0};

LogProblem Problem(LogFault fault, int error, const std::string& name) { return {fault, error, name}; }

int OffsetAt(std::int64_t when) {
    int offset = 0;
    LocalMs(when * 1000, offset);
    return offset;
}

// A part's name (and the names its outputs take) that is a device is never opened.
LogProblem NamesAFile(const std::string& name) {
    for (const OutputRow& row : Outputs) {
        if (!row.Asked()) continue;
        const std::string device = row.TakesBytes ? DeviceAmongLogNames(name.c_str()) : IsDevice(row.Name(name).c_str()) ? row.Name(name) : "";
        if (!device.empty()) return Problem(LogFault::Device, 0, device);
    }
    return {};
}

std::int64_t PartBegan = 0;  // when it began (its "beginn" line's time)

// Whether parts end on the clock (--split day or hour).
bool Clocked() { return RunOptions.Split == SplitKind::Day || RunOptions.Split == SplitKind::Hour; }

// A marked line ("WORD OFFSET TIME REST") or a time line (no word) in every
// line-taking output of the part; never dated before the part's start (the
// first bytes a read found waiting may be dated from before it).
int Line(const char* word, std::int64_t epochMs, const char* rest = "", std::uint64_t at = ByteCount) {
    for (std::size_t row = 0; row < OutputCount; ++row) {
        if (Outputs[row].TakesBytes || !Files[row]) continue;
        if (const int error = WriteIndexLine(Files[row], word, at - PartStart, std::max(epochMs, PartBegan), rest)) return error;
    }
    return 0;
}

// The first failed row's problem, in row order.
LogProblem Failure(int error, std::size_t row) { return Problem(LogFault::Write, error, Outputs[row].Name(PartName)); }

LogProblem SyncRows() {
    for (std::size_t row = 0; row < OutputCount; ++row) {
        if (const int error = Files[row] ? SyncLogFile(LogHandle(Files[row])) : 0) return Failure(error, row);
    }
    return {};
}

// `synced`: just now, with nothing written since.
LogProblem CloseRows(bool synced) {
    LogProblem first;
    for (std::size_t row = 0; row < OutputCount; ++row) {
        const int error = Files[row] ? CloseLogFile(Files[row], synced) : 0;
        Files[row] = nullptr;
        if (error != 0 && !first) first = Failure(error, row);
    }
    return first;
}

// Where the part ends: the next full hour or midnight after `when`, or
// SIZE bytes (`further`: SIZE more than it holds, after a seam that could
// not be made).
void NextSeam(std::time_t when, bool further) {
    if (Clocked()) PartEnds = PeriodEnd(RunOptions.Split, when);
    PartLimit = (further ? PartLimit : 0) + static_cast<std::uint64_t>(RunOptions.SplitSize);
}

// Makes the part the name gives at `epochMs`, keeping what stands there, as
// every log does. `later`: a part after the first, whose name was not looked at before the port was opened.
LogProblem OpenPart(bool later, std::int64_t epochMs, bool& keptPrevious) {
    const std::time_t when = static_cast<std::time_t>(epochMs / 1000);
    PartName = later ? NextPartName(RunOptions.LogName, when, PartName, PartOffset) : ExpandedLogName(RunOptions.LogName, when);
    PartBegan = epochMs;
    PartOffset = OffsetAt(when);
    if (later) {
        if (LogProblem device = NamesAFile(PartName)) return device;
    }
    for (std::size_t row = 0; row < OutputCount; ++row) {
        const OutputRow& output = Outputs[row];
        const std::string name = output.Name(PartName);
        if (output.TakesBytes) {
            Files[row] = CreateLog(name.c_str(), keptPrevious);
            if (!Files[row]) {
                return Problem(errno == EWOULDBLOCK ? LogFault::Taken : errno == ENODEV ? LogFault::Device : output.NotMade,
                               errno, name);
            }
            continue;
        }
        // Lines only beside a file (not the null device); an old file of the name beside a part without is gone.
        if (!IsRegularLog(Files[0])) continue;
        if (!output.Asked()) {
            if (IsEarlierCapture(name.c_str())) std::remove(name.c_str());
            continue;
        }
        Files[row] = OpenTimeIndex(PartName.c_str());
        if (Files[row] && !IsRegularLog(Files[row])) return Problem(LogFault::Device, 0, name);  // through a link (Windows)
        int error = Files[row] ? WriteIndexLine(Files[row], "beginn", 0, epochMs, Begins.c_str()) : StreamError(EIO);
        if (error == 0) error = SyncFolderOf(name.c_str());  // its name on the disk too, as the log's
        if (error != 0) return Problem(output.NotMade, error, name);
    }
    // Every write goes to the system at once: a process killed from outside
    // keeps every byte the recorder wrote.
    std::setvbuf(Files[0], nullptr, _IONBF, 0);
    PartStart = ByteCount;
    NextSeam(when, false);
    return {};
}

// After a seam whose new part could not be made (an earlier capture that
// another program holds cannot be moved): the capture goes on at the end of
// the part `name`, begun at `began` with the UTC offset `offset`, and the
// seam is tried again at the next one.
bool GoOnIn(const std::string& name, std::int64_t began, int offset, std::time_t when) {
    PartName = name;
    PartBegan = began;
    PartOffset = offset;
    Files[0] = ReopenLog(name.c_str());
    if (!Files[0]) return false;
    std::setvbuf(Files[0], nullptr, _IONBF, 0);
    if (RunOptions.Times && IsRegularLog(Files[0])) {
        Files[1] = std::fopen(IndexName(name).c_str(), "ab");
        if (!Files[1]) return false;
        std::setvbuf(Files[1], nullptr, _IONBF, 0);
    }
    NextSeam(when, true);
    return true;
}

// The end line of a finished part's index, where the index is now.
int EndIndex(const std::string& log, std::uint64_t size, std::int64_t epochMs) {
    if (!RunOptions.Times || !IsEarlierCapture(IndexName(log).c_str())) return 0;
    std::FILE* index = std::fopen(IndexName(log).c_str(), "ab");
    if (!index) return errno;
    int error = WriteIndexLine(index, "ende", size, epochMs);
    if (error == 0) error = SyncLogFile(LogHandle(index));
    const int closed = CloseLogFile(index, true);
    return error != 0 ? error : closed;
}

std::FILE* IndexFile() { return Files[1]; }

// ---- The recorder ----

std::thread* Recorder = nullptr;  // not an object: a process that ends while it runs must not meet its destructor
std::mutex& Guard = *new std::mutex;
std::condition_variable& Progressed = *new std::condition_variable; // the reader waits for a gap's sync
std::atomic<bool> Stopping{false}, Failed{false};
bool Finished = false;   // the recorder has taken everything (under Guard)
bool Abandoned = false;  // a stop request ended the wait for a recorder that hangs: the files are left as they are
bool SyncedAtEnd = false;  // the end's last line is in and the files on the disk
std::atomic<std::uint64_t> GapsSynced{0};
bool EchoLined = false;       // the bytes after a time line (as the index takes them) not yet echoed
std::string GapPart;         // with --split: the part the last gap is in, by its start (Guard)
std::uint64_t GapOffset = 0;  // and its offset there, as its index says it
LogProblem Trouble;  // the first problem; read by others only once Failed is set or the thread has ended

std::int64_t ArrivalMs = 0;            // when the bytes being written arrived (the latest time mark)
std::uint64_t LineDue = UINT64_MAX;    // the offset whose time line follows its bytes, if one is due
constexpr std::size_t LargestWrite = 256 * 1024;  // so the count and the echo follow a long backlog

void Fail(const LogProblem& problem) {
    if (Failed) return;
    Trouble = problem;
    {
        const std::lock_guard<std::mutex> lock(Guard);
        Failed = true;
    }
    Progressed.notify_all();
    AskToEnd();  // the reader stops at once, and says it through StopRecorder
}

// The finished part on the disk, closed and named, the capture going on in a
// fresh one; the seam dated `epochMs`.
bool NextPart(std::int64_t epochMs) {
    // Closed first (Windows moves no open file); its index's end line comes
    // once it has its name, so a part that goes on has none.
    const int unsynced = StopLogSync();
    LogProblem closed = CloseRows(true);
    if (unsynced != 0) closed = Failure(unsynced, 0);
    if (closed) {
        Fail(closed);
        return false;
    }
    const std::string finished = PartName;
    const int offset = PartOffset;
    const std::int64_t began = PartBegan;
    const std::uint64_t size = ByteCount - PartStart;
    const bool onConsole = OutputIsTerminal();
    const std::time_t when = static_cast<std::time_t>(epochMs / 1000);
    // A part whose successor would have its name keeps the name it gets now,
    // after its start (NAME.20261209-114106): no seam renames an earlier part.
    std::string kept = finished;
    if (NextPartName(RunOptions.LogName, when, finished, offset) == finished) {
        kept = KeptPartName(finished, static_cast<std::time_t>(began / 1000));
        if (!MoveWithIndex(finished.c_str(), kept.c_str(), MoveCapture)) kept.clear();
    }
    bool keptPrevious = false;
    LogProblem made = kept.empty() ? Problem(LogFault::NotCreated, errno, finished) : OpenPart(true, epochMs, keptPrevious);
    if (made) {
        const bool goesOn = (made.Fault == LogFault::NotCreated || made.Fault == LogFault::Taken) && !Files[0] &&
                            GoOnIn(finished, began, offset, when);
        if (!goesOn) {
            Fail(made);
            return false;
        }
        const std::string refused = RefusedMove();
        const std::string what = refused.empty() ? "Logdatei " + made.Name + " nicht anlegbar" : refused + " nicht verschiebbar";
        Say("%s%s %s: weiter in %s bis zur naechsten Grenze.\nFehlercode: %s\n", onConsole ? "\n" : "", ClockText(),
            what.c_str(), finished.c_str(), CodeText(made.Error).c_str());
    } else {
        if (keptPrevious) kept = EarlierCapture(PartName.c_str(), 1);
        if (const int error = EndIndex(kept, size, epochMs)) {
            Fail(Problem(LogFault::Write, error, IndexName(kept)));
            return false;
        }
        Say("%s%s Logdatei fertig: %s (%llu Bytes), weiter in %s\n", onConsole ? "\n" : "", ClockText(), kept.c_str(),
            static_cast<unsigned long long>(size), PartName.c_str());
        LineDue = PartStart;  // the new part's first bytes have a time line of their own
    }
    if (onConsole) CountAgain();
    StartLogSync(Files[0], IndexFile());
    return true;
}

// Bytes into the log, split at the seams; each time line after the bytes it dates.
void WriteBytes(const unsigned char* bytes, std::size_t size) {
    while (size > 0 && !Failed) {
        const std::uint64_t piece = BytesBeforeSeam(RunOptions.Split, PartLimit,
                                                    ByteCount - PartStart, size);
        if (piece == 0) {
            NextPart(ArrivalMs);
            continue;
        }
        ClearStreamError();
        const std::size_t written = std::fwrite(bytes, 1, static_cast<std::size_t>(piece), Files[0]);
        ByteCount += written;
        if (written < piece) {
            // The C runtime can return a short count without an error number:
            // never let that pass as success; it is most likely a full disk.
            Fail(Failure(StreamError(ENOSPC), 0));
            break;
        }
        if (LineDue < ByteCount) {
            if (const int error = Line("", ArrivalMs, "", LineDue)) Fail(Failure(error, 1));
            LineDue = UINT64_MAX;
        }
        if (RunOptions.Echo != EchoKind::None) {
            int offsetSeconds = 0;
            EchoBytes(bytes, written, LocalMs(ArrivalMs, offsetSeconds), ByteCount, EchoLined);
            EchoLined = false;
        }
        bytes += written;
        size -= written;
    }
    NoteLogWritten();
    ShowCount(ByteCount);
}

// What the log holds now is on the disk (at a gap).
void Synced() {
    if (LogProblem unsynced = SyncRows()) Fail(unsynced);
    GapsSynced.fetch_add(1);
    const std::lock_guard<std::mutex> lock(Guard);
    Progressed.notify_all();
}

void Take(const Mark& mark) {
    char rest[160] = "";
    switch (mark.Kind) {
        case MarkKind::Time:
            if (Clocked() && mark.EpochMs / 1000 >= PartEnds &&
                !NextPart(mark.EpochMs)) {
                return;
            }
            ArrivalMs = mark.EpochMs;
            if (IndexFile() && mark.Value[0]) LineDue = mark.Offset;
            EchoLined = EchoLined || mark.Value[0];
            return;
        case MarkKind::Lost:
            if (const int error = Line("weg", mark.EpochMs)) Fail(Failure(error, 1));
            {
                // The part by its start (as its index's beginn line): its name may change at the seam or the next start.
                std::tm local{};
                char began[16] = "?";
                if (LocalTime(static_cast<std::time_t>(PartBegan / 1000), local)) std::strftime(began, sizeof began, "%H:%M:%S", &local);
                const std::lock_guard<std::mutex> lock(Guard);
                GapPart = began;
                GapOffset = ByteCount - PartStart;
            }
            Synced();
            return;
        case MarkKind::Back:
            if (const int error = Line("wieder", mark.EpochMs)) Fail(Failure(error, 1));
            return;
        case MarkKind::Loss:
            std::snprintf(rest, sizeof rest, "%llu", static_cast<unsigned long long>(mark.Value[0]));
            if (const int error = Line("verlust", mark.EpochMs, rest)) Fail(Failure(error, 1));
            return;
        case MarkKind::Errors:
            std::snprintf(rest, sizeof rest, "Ueberlauf %llu Rahmenfehler %llu Break %llu Paritaetsfehler %llu",
                          static_cast<unsigned long long>(mark.Value[0]), static_cast<unsigned long long>(mark.Value[1]),
                          static_cast<unsigned long long>(mark.Value[2]), static_cast<unsigned long long>(mark.Value[3]));
            if (const int error = Line("fehler", mark.EpochMs, rest)) Fail(Failure(error, 1));
            return;
    }
}

// Everything the ring holds, in order. After a failure it is taken and let
// go, so the reader never finds the ring full for it.
void TakeWhatThereIs() {
    for (;;) {
        Mark mark;
        if (NextMark(mark)) {
            if (!Failed) Take(mark);
            TakeMark();
            continue;
        }
        const unsigned char* bytes = nullptr;
        const std::size_t size = std::min(NextBytes(bytes), LargestWrite);
        if (size == 0) return;
        if (!Failed) WriteBytes(bytes, size);
        TakeBytes(size);
    }
}

// A day or hour seam on a quiet line comes at its time (the recorder wakes
// at least once a second): the finished part closed, synced and named, the
// new one made, empty until bytes come. Not while bytes wait in the ring:
// their time marks decide.
void SeamOnTime() {
    if (Clocked() && !Failed && RingEmpty() && NowEpochMs() / 1000 >= PartEnds) NextPart(static_cast<std::int64_t>(PartEnds) * 1000);
}

void Record() {
    KeepSignalsAway();
    for (;;) {
        TakeWhatThereIs();
        SeamOnTime();
        if (const int error = LogSyncFailure()) Fail(Failure(error, 0));
        ShowOwed();
        if (Stopping && RingEmpty()) break;
        // Until the reader's next batch (it nudges once a batch, so the bytes
        // are written in pieces as large as its batches), or at least once a
        // second: a failed write-back is seen without new bytes.
        const int due = ProgressDue();
        Doze(due < 0 ? 1000 : std::min(due, 1000));
    }
    FinishProgress();
    const std::lock_guard<std::mutex> lock(Guard);
    Finished = true;
    Progressed.notify_all();
}

// Until the recorder has taken everything. A disk that hangs is said after a
// moment; a stop request that comes meanwhile ends the wait, and the bytes
// still in the ring are lost (said): false then.
bool RecorderFinished() {
    const int stops = StopRequests();
    const auto start = std::chrono::steady_clock::now();
    bool said = false;
    std::unique_lock<std::mutex> lock(Guard);
    while (!Finished) {
        const std::uint64_t left = PutTotal() - TakenTotal();
        if (StopRequests() > stops) {
            lock.unlock();
            Say("\n%s %llu Bytes nicht mehr in die Logdatei geschrieben: sie haengt.\n", ClockText(),
                static_cast<unsigned long long>(left));
            return false;
        }
        if (!said && std::chrono::steady_clock::now() - start >= std::chrono::seconds(1)) {
            lock.unlock();
            Say("\n%s Die Logdatei haengt: noch %llu Bytes zu schreiben. Strg+C beendet sofort, sie gehen dann verloren.\n",
                ClockText(), static_cast<unsigned long long>(left));
            lock.lock();
            said = true;
        }
        Progressed.wait_for(lock, std::chrono::milliseconds(100));
    }
    return true;
}

}  // namespace

std::uint64_t BytesBeforeSeam(SplitKind split, std::uint64_t splitSize, std::uint64_t partBytes, std::uint64_t available) {
    if (split != SplitKind::Size) return available;
    return std::min(available, splitSize - std::min(splitSize, partBytes));
}

namespace {

std::int64_t FloorDiv(std::int64_t value, std::int64_t by) { return value / by - (value % by < 0 ? 1 : 0); }

// The first second after `from` and up to `to` whose UTC offset is not
// `offset` (`to`'s is not), found by halving.
std::int64_t OffsetChange(std::int64_t from, std::int64_t to, int offset) {
    while (to - from > 1) {
        const std::int64_t middle = from + (to - from) / 2;
        (OffsetAt(middle) == offset ? from : to) = middle;
    }
    return to;
}

}  // namespace

std::time_t PeriodEnd(SplitKind split, std::time_t when) {
    // From the moment and the zone's offset, not from a local calendar time
    // given back to the C library (which reads the repeated hour of the night
    // the clocks go back as either one): the next full local hour or
    // midnight; for an hour also the moment the offset changes, so the
    // repeated (or shortened) hour is a part of its own. A day is a day,
    // 23 or 25 hours, unless the change leaps over midnight.
    const std::int64_t period = split == SplitKind::Hour ? 3600 : 86400;
    std::int64_t from = when;
    int offset = OffsetAt(from);
    const std::int64_t started = FloorDiv(from + offset, period);
    for (int change = 0; change < 4; ++change) {  // a zone changes its offset at most once or twice a day
        const std::int64_t next = (FloorDiv(from + offset, period) + 1) * period - offset;
        if (OffsetAt(next) == offset) return static_cast<std::time_t>(next);
        const std::int64_t changed = OffsetChange(from, next, offset);
        offset = OffsetAt(changed);
        if (split == SplitKind::Hour || FloorDiv(changed + offset, period) != started) return static_cast<std::time_t>(changed);
        from = changed;
    }
    return static_cast<std::time_t>(from + period);
}

std::string NextPartName(const char* pattern, std::time_t when, const std::string& finished, int finishedOffset) {
    const std::string name = ExpandedLogName(pattern, when);
    // The hour the clocks go back comes twice: the second one's name says its offset.
    const int offset = OffsetAt(when);
    return name == finished && offset != finishedOffset && name != pattern ? WithOffset(name, offset) : name;
}

bool LogCanBeMade(const char* pattern) {
    const std::string name = ExpandedLogName(pattern, std::time(nullptr));
    LogProblem problem = NamesAFile(name);
    if (const int error = problem ? 0 : ProbeLog(name.c_str())) {
        problem = Problem(error == EWOULDBLOCK ? LogFault::Taken : LogFault::NotCreated, error, name);
    }
    if (problem) SayProblem(problem);
    return !problem;
}

LogProblem OpenFirstPart(const char* portText, bool& keptPrevious, std::string& name) {
    Begins = portText;
    // A log through a symbolic link is emptied at each start, never moved: a split would empty the finished part.
    const std::string first = ExpandedLogName(RunOptions.LogName, std::time(nullptr));
    if (RunOptions.Split != SplitKind::None && IsSymbolicLink(first.c_str())) return Problem(LogFault::Link, 0, RunOptions.LogName);
    const LogProblem problem = OpenPart(false, NowEpochMs(), keptPrevious);
    name = PartName;
    return problem;
}

void StartRecorder() {
    StartLogSync(Files[0], IndexFile());
    try {
        Recorder = new std::thread(Record);
    } catch (const std::exception&) {
        Fail(Problem(LogFault::Write, EAGAIN, PartName));  // no thread to be had: nothing can be recorded
    }
}

void WakeRecorder() { Nudge(); }

bool WaitUntilSynced(std::uint64_t gaps, std::string& place) {
    WakeRecorder();
    std::unique_lock<std::mutex> lock(Guard);
    while (GapsSynced < gaps && !Failed) {
        if (EndDue() || KeyWaiting()) return false;
        Progressed.wait_for(lock, std::chrono::milliseconds(50));
    }
    if (RunOptions.Split != SplitKind::None) {
        place = "; Teil ab " + GapPart + " bei " + std::to_string(GapOffset);
    }
    return !Failed;
}

LogProblem StopRecorder() {
    if (Recorder) {
        Stopping = true;
        Nudge();
        if (!RecorderFinished()) {
            Abandoned = true;  // it may be inside a write of the log: nothing of it is touched again
            return Problem(LogFault::Unwritten, 0, PartName);
        }
        Recorder->join();
        delete Recorder;
        Recorder = nullptr;
    }
    // The index's last line, then the log and its index on the disk, before anything more is said.
    if (const int error = Failed ? 0 : Line("ende", NowEpochMs())) Fail(Failure(error, 1));
    const int unsynced = StopLogSync();
    if (unsynced != 0 && !Failed) Fail(Failure(unsynced, 0));
    SyncedAtEnd = !Failed;
    return Trouble;
}

LogProblem CloseLog() {
    if (Abandoned) return {};
    // Network and FUSE file systems may report a full disk, a quota or an I/O error only at the close.
    return CloseRows(SyncedAtEnd);
}

std::uint64_t LoggedBytes() { return ByteCount; }

void SayProblem(const LogProblem& problem) {
    const char* name = problem.Name.c_str();
    switch (problem.Fault) {
        case LogFault::None: break;
        case LogFault::Device: Say("Logdatei %s ist ein Geraet, keine Datei.\n", name); break;
        case LogFault::Link: Say("Logdatei %s ist ein Link: --split braucht eine Datei.\n", name); break;
        case LogFault::Taken: Say("Logdatei %s wird schon von einem anderen lumtrex beschrieben (--log waehlt eine andere).\n", name); break;
        case LogFault::NotCreated: Say("Logdatei %s kann nicht angelegt werden. Fehlercode: %s\n", name, CodeText(problem.Error).c_str()); break;
        case LogFault::IndexNotCreated: Say("Zeitindex %s kann nicht angelegt werden. Fehlercode: %s\n", name, CodeText(problem.Error).c_str()); break;
        case LogFault::Write: Say("\nSchreiben in %s fehlgeschlagen. Fehlercode: %s\n", name, CodeText(problem.Error).c_str()); break;
        case LogFault::Unwritten: break;  // said when it happened
    }
}
