#include "capture.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "../console/console.h"
#include "log_file.h"
#include "progress.h"
#include "recording.h"
#include "ring.h"
#include "time_index.h"

namespace {

using Clock = std::chrono::steady_clock;

unsigned char ReceiveBlock[LargestRead];
std::uint64_t Received = 0;      // bytes put into the ring
LineTimes Dated;                 // which of them have a time line
std::int64_t LastReadEnd = 0;    // when the latest read ended, or the port was opened and purged (ms since 1970)
std::int64_t LastDated = 0;      // the time of the latest time mark
std::int64_t LastHandedOn = 0;   // when the recorder was last woken
constexpr std::int64_t DateEvery = 20;  // ms
std::uint64_t Gaps = 0;          // lost ports so far
bool HeldBack = false;           // the port's sender waits while it goes unread (SenderHeldBack)
// The ring full: the bytes that did not fit, since when, and in all.
bool Losing = false;
std::uint64_t Lost = 0, LostInAll = 0;
constexpr auto KeyLook = std::chrono::milliseconds(50);  // keys are looked for at least this often
constexpr int PauseAfterFault = 100;                     // ms
constexpr int RoomWait = 10;                             // ms between looks at a full ring, for a sender held back
constexpr std::size_t WakeAfter = 64 * 1024;             // bytes not yet written that wake the recorder
constexpr auto DrainFor = std::chrono::milliseconds(100), DrainGrace = std::chrono::milliseconds(20);

// The recorder woken for what the ring holds.
void HandOn() {
    LastHandedOn = NowEpochMs();
    WakeRecorder();
}

// A mark at the offset of the next byte, for now.
bool PutEvent(MarkKind kind, std::uint64_t value = 0) {
    Mark mark;
    mark.Kind = kind;
    mark.EpochMs = NowEpochMs();
    mark.Value[0] = value;
    Dated.Lined = false;  // the bytes after it have a time line of their own
    return PutMark(mark);
}

// The loss ends where bytes fit again: its mark at the offset where they
// are missing, and the line that says how many. False when the mark found no room.
bool EndLoss() {
    if (!PutEvent(MarkKind::Loss, Lost)) return false;
    Say("%s %llu Bytes verloren (nach %llu Bytes). Empfang laeuft weiter.\n", ClockText(), static_cast<unsigned long long>(Lost),
        static_cast<unsigned long long>(Received));
    Losing = false;
    return true;
}

void Lose(std::uint64_t bytes) {
    if (!Losing) {
        Say("\n%s Die Logdatei kommt nicht nach: Bytes gehen verloren (nach %llu Bytes) ...\n", ClockText(),
            static_cast<unsigned long long>(Received));
        Losing = true;
        Lost = 0;
    }
    Lost += bytes;
    LostInAll += bytes;
}

// Bytes that arrived from `firstMs` to `lastMs`, dated, as many as fit.
std::size_t PutDated(const unsigned char* bytes, std::size_t size, std::int64_t firstMs, std::int64_t lastMs) {
    if (Losing && (RingRoom() == 0 || !EndLoss())) return 0;
    const std::size_t kept = std::min(size, RingRoom());
    if (kept == 0) return 0;
    // Dated for the seams and the echo at least every DateEvery, and where
    // the index takes a line; the bytes between take the time before (and
    // reads that follow each other are written in one piece). A line counts
    // as written only once its mark is in the ring.
    Mark time;
    time.EpochMs = firstMs;
    LineTimes dated = Dated;
    time.Value[0] = TimeLineDue(dated, firstMs, lastMs);
    if ((time.Value[0] || firstMs - LastDated >= DateEvery) && PutMark(time)) {
        LastDated = firstMs;
        Dated = dated;
    } else if (!time.Value[0]) {
        Dated = dated;
    }
    PutBytes(bytes, kept);
    Received += kept;
    return kept;
}

// What one read delivered, dated as the read says (DateRead).
void Keep(const ReadResult& result) {
    const std::int64_t now = NowEpochMs();
    const ReadDates dates = DateRead(result, now, LastReadEnd);
    const std::uint32_t queued = std::min(result.Queued, result.Delivered);
    std::size_t kept = 0;
    if (queued > 0) kept = PutDated(ReceiveBlock, queued, dates.QueuedMs, dates.QueuedMs);
    if (kept == queued && result.Delivered > queued) {
        kept += PutDated(ReceiveBlock + queued, result.Delivered - queued, dates.ArrivedMs, dates.LastMs);
    }
    if (kept < result.Delivered) Lose(result.Delivered - kept);
    LastReadEnd = now;
    // The recorder is woken once a batch: before the reader waits (ReadBlock's
    // beforeWait), or where reads follow each other, every WakeAfter bytes or
    // DateEvery, whichever comes first.
    if (RingCapacity() - RingRoom() >= WakeAfter || now - LastHandedOn >= DateEvery) HandOn();
}

// How much the next read may take: a read's worth, or what --bytes leaves.
std::uint32_t ReadLength() {
    if (RunOptions.ByteLimit == 0) return ReadSize;
    const std::uint64_t limit = static_cast<std::uint64_t>(RunOptions.ByteLimit);
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(limit - std::min(Received, limit), ReadSize));
}

// Whether the port's sender waits while it goes unread (LUMTREX_TEST_RING's
// ":lose": a pseudo-terminal read on as a UART is).
bool SenderHeldBack() {
    const char* asked = std::getenv("LUMTREX_TEST_RING");
    return PortHoldsSenderBack() && !(asked && std::strstr(asked, ":lose"));
}

// What the next read may take: ReadLength(), and no more than fits in the
// ring where the sender waits while the port goes unread: a full ring holds
// it back (0), where a UART would overflow and the bytes are read and counted lost.
std::uint32_t RoomToRead() {
    return HeldBack ? static_cast<std::uint32_t>(std::min<std::size_t>(ReadLength(), RingRoom())) : ReadLength();
}

// The bytes the driver still holds when the capture ends arrived before the
// end (no later than the last read ended): they go into the log, not away
// with the port. The terminal layer hands them on in pieces, so a read that
// finds nothing is tried once more a moment later; a line that keeps sending
// holds the end DrainFor at most.
void DrainQueue() {
    const Clock::time_point until = Clock::now() + DrainFor;
    for (bool foundNothing = false; ReadLength() > 0 && Clock::now() < until;) {
        if (RoomToRead() == 0) {
            HandOn();
            std::this_thread::sleep_for(DrainGrace);
            continue;
        }
        ReadResult drained;
        drained.Delivered = ReadQueued(PortHandle, ReceiveBlock, RoomToRead());
        drained.Queued = drained.Delivered;
        if (drained.Delivered > 0) {
            Keep(drained);
        } else if (foundNothing) {
            return;
        } else {
            std::this_thread::sleep_for(DrainGrace);
        }
        foundNothing = drained.Delivered == 0;
    }
}

// A read that ended at once with part of a block, shown once its bytes are
// kept: a box that waits for the user must not hold them back.
void ShowSizeMismatch() {
    char text[40];
    std::snprintf(text, sizeof text, "Size mismatch %d %d", ReceiveBlock[0], ReceiveBlock[1]);
    WarningBox("Error", text);
}

// A board with its own USB (CDC-ACM) sends only once DTR says a terminal is there.
void HintAtDtr(Clock::time_point start, bool& hinted) {
    const auto silent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    if (hinted || silent < 5000) return;
    hinted = true;  // the port is asked once
    if (!DtrHintDue(PortIsCdcAcm(), PortSettings.DtrOption, Received, silent)) return;
    Say("\nHinweis: seit 5 s nichts empfangen. %s ist ein USB-CDC-Geraet; solche Platinen senden oft erst mit "
        "DTR (-d1).\n", PortName(PortSettings));
    CountAgain();
}

enum class CaptureEnd { Asked, DeviceLost, GoesOn };  // a key, a stop, --for, --bytes or a failed log: Asked

// The port went away. A device still plugged in (a brief hang-up) may hold
// bytes yet: they go into the log, and what came before the gap is on the
// disk before anyone is told of it. Then the port is waited for, and the
// capture goes on into the same log once it is back; the two lines say
// where the gap is in the log (its count) and are written out at once.
CaptureEnd RideOutGap(LineCounters& before, bool& counted) {
    DrainQueue();
    // (A mark that found no room: the gap is said without waiting for its sync.)
    std::string place;
    if (PutEvent(MarkKind::Lost) && !WaitUntilSynced(++Gaps, place)) return CaptureEnd::Asked;
    const char* port = PortName(PortSettings);
    if (RunOptions.NoReconnect) {
        Say("\n%s ist nicht mehr vorhanden. Empfang beendet.\n", port);
        return CaptureEnd::DeviceLost;
    }
    Say("\n%s %s ist nicht mehr vorhanden (nach %llu Bytes%s). Warte auf die Schnittstelle ...\n", ClockText(), port,
        static_cast<unsigned long long>(LoggedBytes()), place.c_str());
    if (!ReopenPort()) return CaptureEnd::Asked;
    LastReadEnd = NowEpochMs();  // purged just now: what comes is newer
    HeldBack = SenderHeldBack();
    PutEvent(MarkKind::Back);
    HandOn();
    Say("%s %s ist wieder da. Empfang laeuft weiter.\n", ClockText(), PortName(PortSettings));
    CountAgain();
    counted = ReadLineCounters(before);  // the lost device took its counters with it
    return CaptureEnd::GoesOn;
}

CaptureEnd CaptureUntilStopped(LineCounters& before, bool& counted) {
    Clock::time_point keysLooked{};  // looked for before the first read
    const Clock::time_point start = Clock::now();
    bool stopped = false, hinted = false;
    ReadResult result;
    while (!EndDue() && ReadLength() > 0) {
        if (Received == 0) HintAtDtr(start, hinted);
        // A read that waited watched the keys itself; reads that follow each other do not.
        if (result.KeysWatched) keysLooked = Clock::now();
        if (stopped || Clock::now() - keysLooked >= KeyLook) {
            if (KeyWaiting()) break;
            keysLooked = Clock::now();
        }
        const std::uint32_t length = RoomToRead();
        if (length == 0) {  // held back until the recorder has made room
            HandOn();
            if (EndWithin(RoomWait) && KeyWaiting()) break;
            result = ReadResult{};
            result.KeysWatched = true;
            continue;
        }
        ReadBlock(PortHandle, ReceiveBlock, length, result, UntilDeadline(-1), HandOn);
        if (result.Delivered > 0) Keep(result);
        if (result.Delivered == 0) LastReadEnd = NowEpochMs();  // the driver held nothing until now
        stopped = result.End == ReadEnd::Stopped;
        if (result.End == ReadEnd::ShortAtOnce) {
            WakeRecorder();  // the box waits for the user: the bytes before it are written meanwhile
            ShowSizeMismatch();
        }
        if (result.End == ReadEnd::DeviceLost) {
            const CaptureEnd end = RideOutGap(before, counted);
            if (end != CaptureEnd::GoesOn) return end;
        }
        // After a fault the next read waits a moment; after a line error
        // (Aborted) it follows as the port decides.
        if (result.End == ReadEnd::Failed) {
            WakeRecorder();
            EndWithin(PauseAfterFault);
        }
    }
    DrainQueue();
    return CaptureEnd::Asked;
}

// The ring's size: 10 s at the rate the port records at; a board with its
// own USB ignores the rate and sends as fast as USB goes, about 1 MB/s
// (LUMTREX_TEST_RING: a size of the tests' own, to make it fill; with
// ":lose" after it, a pseudo-terminal is read on as a UART is, to lose).
std::size_t RingFor(unsigned rate) {
    constexpr std::uint64_t UsbFullSpeed = 1000000;  // bytes a second
    const char* asked = std::getenv("LUMTREX_TEST_RING");
    const std::uint64_t bytesPerSecond = PortIsCdcAcm() ? UsbFullSpeed : 1000000 / std::max<std::uint64_t>(1, ByteMicrosecondsAt(rate));
    return RingSize(bytesPerSecond, asked ? static_cast<std::size_t>(std::strtoull(asked, nullptr, 10)) : 0);
}

}  // namespace

ReadDates DateRead(const ReadResult& result, std::int64_t nowMs, std::int64_t lastReadEndMs) {
    ReadDates dates;
    dates.QueuedMs = std::min(lastReadEndMs, nowMs - result.FirstByteAgeMs);
    dates.ArrivedMs = std::max(nowMs - (result.Queued > 0 ? result.ArrivedAgeMs : result.FirstByteAgeMs), lastReadEndMs);
    dates.LastMs = std::max(nowMs - result.LastByteAgeMs, dates.ArrivedMs);
    return dates;
}

bool DtrHintDue(bool cdcAcm, bool dtrRaised, std::uint64_t received, std::int64_t sinceStartMs) {
    return cdcAcm && !dtrRaised && received == 0 && sinceStartMs >= 5000;
}

bool RunCapture(const std::string& announced) {
    LastReadEnd = NowEpochMs();  // the port was purged a moment ago: what it holds came since
    MakeRing(RingFor(PortRateInUse()));
    HeldBack = SenderHeldBack();
    char begins[96];
    std::snprintf(begins, sizeof begins, "%s %u", PortName(PortSettings), PortRateInUse());
    bool keptPrevious = false;
    std::string name;
    if (const LogProblem problem = OpenFirstPart(begins, keptPrevious, name)) {
        SayProblem(problem);
        return false;
    }
    if (name != announced) Print("Logdatei: %s\n", name.c_str());  // a dated name after a long wait for the port
    if (keptPrevious) Print("Vorige Logdatei: %s\n", EarlierCapture(name.c_str(), 1).c_str());
    // Where no key can end it (--no-keys, no terminal or console to press one on), a stop still does.
    Print(KeyCanEnd() ? "\nEmpfang abbrechen mit beliebiger Taste\n\n" : "\nEmpfang abbrechen mit Strg+C\n\n");
    Print("Empfangene Bytes\n");
    StartProgress(OutputIsTerminal(), RunOptions.Echo);
    OutputNeverWaits();  // from now on no text waits for the output: the prompt is out before the capture waits for its key
    LineCounters before;
    bool counted = ReadLineCounters(before);
    StartRecorder();
    const CaptureEnd end = CaptureUntilStopped(before, counted);
    if (Losing && !EndLoss()) {
        Say("%s %llu Bytes verloren (nach %llu Bytes).\n", ClockText(), static_cast<unsigned long long>(Lost),
            static_cast<unsigned long long>(Received));
    }
    // A lost device took its counters with it.
    char report[160] = "";
    if (end != CaptureEnd::DeviceLost && PortIsOpen()) {
        LineCounters after;
        const bool countedToo = ReadLineCounters(after);
        if (LineErrorReport(counted, before, countedToo, after, report, sizeof report) > 0) {
            const LineErrors errors = CountedErrors(before, after);
            Mark mark;
            mark.Kind = MarkKind::Errors;
            mark.EpochMs = NowEpochMs();
            mark.Value[0] = errors.Overrun;
            mark.Value[1] = errors.Frame;
            mark.Value[2] = errors.Breaks;
            mark.Value[3] = errors.Parity;
            PutMark(mark);
        }
    }
    // At the end, everything the ring holds is in the log, and on the disk, before anything more is said.
    const LogProblem problem = StopRecorder();
    if (problem) SayProblem(problem);
    if (*report) Say("%s", report);
    return end == CaptureEnd::Asked && !problem && LostInAll == 0;
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
