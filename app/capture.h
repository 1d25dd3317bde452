// capture.h: the capture stage and its log file ("lumtrex.log" unless named).
//
//   RunCapture()  creates the log (keeping the earlier captures as LOG.1,
//                 LOG.2, ... and saying so), then reads the port and
//                 appends every byte it delivers until a key waits or a
//                 stop is requested, then the bytes the driver still holds.
//                 A lost device is waited for and the capture goes on into
//                 the same log (unless --no-reconnect: the run ends there).
//                 --for and --bytes end it in order by themselves, and with
//                 --no-keys a key ends nothing.
//                 Returns false when the run failed (log not creatable, log
//                 write failed, device lost without reconnect); it has said why.
//                 Before it returns, says how many line errors (overrun,
//                 frame, break) the port counted during the capture, if any.
//   CloseLog()    closes the log if it was created; false when the system
//                 reported a failure then (it has said so).
//   ByteCount     the bytes received and written to the log in this run.
//   With --times each part of the capture has its time index beside it
//   (time_index.h); --echo shows the bytes as a view (view.h) above the
//   count, or as the output where there is no console.
//
// On the disk: every read is written to the system at once (unbuffered), so a
// kill never takes a byte that was read; on POSIX a read hands over what the
// driver held before it waits for more, on Windows a read's time-outs decide
// (a kill there can cost the block in progress). A power cut costs at most
// about a second: a second thread owns nothing but the log's sync (handed the
// log's handle; it shares only a "written" flag, the stop request and the first
// failure), syncing at most once a second and only after a write, so a sync
// of hundreds of milliseconds never holds up a read on POSIX. (On Windows the
// log is one synchronous file object, whose requests the system takes one at
// a time: a write waits for a flush in progress, and the port's queue, 64 KiB,
// bridges it: about 5 s at 115200 baud.) The folder is synced
// when the log is made; at a gap and at the end the capture syncs the log
// itself before it says anything, and a failed sync is a failed write.
#pragma once
#include <cstddef>
#include <cstdint>

#include "../serial/serial.h"
#include "settings.h"

extern std::uint64_t ByteCount;

bool RunCapture(const Options& options);
// Whether the log name (expanded), and with `withIndex` its time index's, names no device; says so when one does.
bool LogNamesAFile(const char* pattern, bool withIndex);
// Appends `length` bytes to the log; false (errno set) when not all of them got there.
bool WriteBlock(const unsigned char* bytes, std::uint32_t length);
bool CloseLog();

// Whether to say that a board with its own USB may send only with DTR
// raised: a CDC-ACM port, DTR low, nothing received in the first 5 s.
bool DtrHintDue(bool cdcAcm, bool dtrRaised, std::uint64_t received, std::int64_t sinceStartMs);

// The line saying how many errors the port counted between two readings of
// its counters, written into `text`: its length, or 0 when there is nothing
// to say (no error, or a reading without counters).
struct LineErrors {
    std::uint64_t Overrun, Frame, Breaks, Parity;
};
LineErrors CountedErrors(const LineCounters& before, const LineCounters& after);
std::size_t LineErrorReport(bool haveBefore, const LineCounters& before, bool haveAfter, const LineCounters& after,
                            char* text, std::size_t size);
