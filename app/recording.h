// recording.h: the capture on the disk, and the recorder that puts it there.
//
// A part of the capture is a log file and its outputs beside it, the rows of
// one table: the log (the bytes), then its time index (lines; --times, and
// only beside a file). The row order is the order on the disk: a byte is in
// the log before the index line that dates it. The name comes from --log's
// pattern (dated names expanded when the part begins); --split makes a new
// part at a size, a local midnight or a full hour, the finished one kept as
// an earlier capture is.
//
// The recorder is a thread of its own that takes what the reader put into
// the ring (ring.h), in order, and does all that may be slow: the writes,
// the index lines, the seams between parts (the finished part synced,
// closed and renamed, the next one made), the sync at a gap, the count and
// the echo (progress.h). A thread beside it syncs the log every second while
// bytes come (log_file.h). A failure stops the recording, asks the run to
// end (AskToEnd) and is kept for StopRecorder, which hands it to the one
// place that says it.
//
//   LogCanBeMade()    before the port opens: whether the log's name (and with
//                     --times its index's) names no device, and the log can
//                     be created there (the folder, the rights, another
//                     run's lock); else it says why. A log that cannot be
//                     made never opens the port (whose open resets many boards).
//   OpenFirstPart()   the first part, before the capture starts.
//   StartRecorder()   the recorder's thread, once the first part is open.
//   WakeRecorder()    once a batch of reads is in the ring (before the reader
//                     waits, or every 64 KiB): the recorder writes it.
//   WaitUntilSynced() at a gap, after the reader's Lost mark: waits until the
//                     recorder has written everything before it and synced
//                     the log; false when an end came first. With --split,
//                     `place` says the part the gap is in and its offset there.
//   StopRecorder()    after the reader's last: waits until everything in the
//                     ring is written, the index's last line and the log
//                     synced; the first problem. A log that hangs is said
//                     after a second, and a stop request then ends the wait
//                     (Unwritten: the files are left to the process's end).
//   CloseLog()        every file closed.
//   LoggedBytes()     the bytes in the log (all parts).
//   SayProblem()      the message for a problem.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "settings.h"

enum class LogFault { None, Device, Link, Taken, NotCreated, IndexNotCreated, Write, Unwritten };

struct LogProblem {
    LogFault Fault = LogFault::None;
    int Error = 0;
    std::string Name;
    explicit operator bool() const { return Fault != LogFault::None; }
};

bool LogCanBeMade(const char* pattern);
LogProblem OpenFirstPart(const char* portText, bool& keptPrevious, std::string& name);
void StartRecorder();
void WakeRecorder();
bool WaitUntilSynced(std::uint64_t gaps, std::string& place);
LogProblem StopRecorder();
LogProblem CloseLog();
std::uint64_t LoggedBytes();
void SayProblem(const LogProblem& problem);

// Of `available` bytes, how many go into the part that holds `partBytes`
// before a --split SIZE seam (0: the seam comes first).
std::uint64_t BytesBeforeSeam(SplitKind split, std::uint64_t splitSize, std::uint64_t partBytes, std::uint64_t available);
// The next local midnight (or full hour) after `when`, which ends a part
// begun then; with an hour, also the moment the zone's offset changes.
std::time_t PeriodEnd(SplitKind split, std::time_t when);
// The name of the part that begins at `when` after the part `finished`,
// begun at the UTC offset `finishedOffset` (the second of two hours that
// share a dated name says its offset).
std::string NextPartName(const char* pattern, std::time_t when, const std::string& finished, int finishedOffset);
