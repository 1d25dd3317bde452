// capture.h: the capture stage: the reader. It reads the port and puts every
// byte a read delivers, dated, into the ring (ring.h); the recorder
// (recording.h) does the rest. The reader waits on nothing but the port, the
// keys and the end of the run (console.h): no disk, no output.
//
//   RunCapture()  makes the first part of the log (its name said again where
//                 it is not the one `announced`: a dated name after a long
//                 wait for the port), keeping the earlier captures as
//                 LOG.1, LOG.2, ... (and saying so), starts the recorder,
//                 then reads the port until a key waits (unless --no-keys),
//                 a stop is requested, --for's deadline passes or --bytes
//                 are in, then takes the bytes the driver still
//                 holds, and waits until the recorder has written them all.
//                 A lost device is waited for and the capture goes on into
//                 the same log (unless --no-reconnect: the run ends there).
//                 Where the recorder falls so far behind that the ring is
//                 full, the bytes that do not fit are counted and said, and
//                 the run fails. Before it returns, says how many line errors
//                 the port counted. False when the run failed (said).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "../serial/serial.h"
#include "settings.h"

bool RunCapture(const std::string& announced);

// When the bytes of a read came (ms since 1970), from what the read says and
// when it ended (`nowMs`): those the driver held when it began (Windows:
// Queued) no later than the read before ended or the port was purged
// (`lastReadEndMs`); the first of the others as the read says, never before
// that; the last no earlier than the first.
struct ReadDates {
    std::int64_t QueuedMs = 0, ArrivedMs = 0, LastMs = 0;
};
ReadDates DateRead(const ReadResult& result, std::int64_t nowMs, std::int64_t lastReadEndMs);

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
