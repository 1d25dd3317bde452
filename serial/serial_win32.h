// serial_win32.h: the decisions of the Windows port, as plain functions of
// what the system reported, so they can be tested without a device.
//
//   JudgeRead()     what a finished read means: how many of the bytes the
//                   system reported really are in the buffer, and how the
//                   read ended.
//   NextStep()      what to do with a read still pending: wait, cancel it
//                   (a key or a stop came and the driver ignores its
//                   time-outs), or abandon it (cancelled and still pending,
//                   or a read of the bytes left at the end, never cancelled,
//                   that did not complete at once).
//   CountLineErrors() adds the error flags of one ClearCommError.
//   JudgeQueue()    whether the driver's receive queue is worth a line.
//   CompleteLine()  the line as it is applied: every field that could drop,
//                   change or stall a byte set explicitly.
//   DosNameKnown()  whether Windows knows the DOS device name (COM5) now.
//   PortLine()      a port's line in the list of ports: its name (padded to
//                   `width`, so that the names after it stand in one column
//                   whatever the numbers), and what Device Manager calls it
//                   with the USB vendor and product, or else the device the
//                   driver registered.
// ClassifyOpenError() (serial_platform.h) sorts the open failures.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

#include "serial.h"

// Not declared by every mingw-w64.
#ifndef ERROR_NO_SUCH_DEVICE
#define ERROR_NO_SUCH_DEVICE 433L
#endif

// Asked of the driver before the line is set: about 5 s of slack at
// 115200 baud for a moment without an outstanding read (a box, a slow disk).
inline constexpr DWORD InputQueueSize = 65536;
inline constexpr DWORD OutputQueueSize = 4096;
inline constexpr std::int64_t QueueSlack = 5000;  // ms: a queue that bridges less is said at the start

inline constexpr DWORD WakeInterval = 100;          // ms: a pending read is looked at this often
inline constexpr std::int64_t CancelGrace = 1000;   // ms past the total time-out before a stop cancels
inline constexpr std::int64_t AbandonGrace = 1000;  // ms a cancelled read is given to complete
inline constexpr std::int64_t DrainWait = 500;      // ms for a read of bytes already queued
// The drain's time-outs: a read returns at once with the bytes the driver holds.
inline constexpr COMMTIMEOUTS DrainTimeouts{MAXDWORD, 0, 0, 0, 0};
inline constexpr DWORD PauseAfterEmptyRead = 100;   // ms
inline constexpr unsigned EmptyReadsMeaningLost = 20;  // in a row

// What the system said about one finished read.
struct ReadReport {
    BOOL ReadFileResult;     // TRUE: ReadFile finished the read at once
    DWORD ReadFileError;     // GetLastError() when it returned FALSE; ERROR_IO_PENDING: the read went on
    BOOL OverlappedResult;   // for a read that went on: GetOverlappedResult at its end
    DWORD OverlappedError;   // GetLastError() when that returned FALSE
    DWORD Reported;          // the count the system reported
    bool CancelledByUs;      // CancelIoEx was called on it
    std::int64_t Elapsed;    // ms from ReadFile to the end
    bool ClearCommErrorOk;   // ClearCommError succeeded after the read
    bool ModemStatusOk;      // after a read that brought nothing: GetCommModemStatus succeeded and
                             // QueryDosDeviceA still knows the COM name
    unsigned EmptyBefore;    // reads just before this one that came back empty at once
    bool OwnTimeouts;        // SetCommTimeouts took ours (not so when an earlier step was refused)
    bool LineErrorBefore;    // the read just before was aborted by a line error
    bool NameKnown = true;   // after a read that brought nothing or failed: Windows still knows the COM name
    DWORD QueuedBefore = 0;  // the bytes the driver held when ReadFile was called (COMSTAT's cbInQue)
};

enum class ReadOutcome {
    Complete,     // every byte asked for
    TimedOut,     // the time-outs ended it early
    ShortAtOnce,  // ReadFile finished at once with part of a block: a "Size mismatch" box
    Empty,        // no byte, long before any time-out could end it: pause, read again
    LineError,    // a line error aborted it on a port that aborts on errors: read again at once
    LineErrorAgain,  // so did the read before: pause, read again
    Cancelled,    // cancelled by us after a stop request
    Refused,      // ReadFile refused to start it; the port still answers
    Fault,        // the read failed on its way; the port still answers: a warning box
    Lost,         // the device is gone
};

struct ReadVerdict {
    DWORD Kept;  // bytes of this read that are in the buffer
    ReadOutcome How;
};

ReadVerdict JudgeRead(const ReadReport& report, DWORD length);

// A read still pending, looked at between two waits.
struct PendingRead {
    std::int64_t Elapsed;      // ms since ReadFile
    bool EndRequested;         // a key waits, or a stop was requested
    bool Cancelled;            // CancelIoEx was called on it
    std::int64_t SinceCancel;  // ms since then
    bool Draining;             // it reads bytes the driver reported queued
    bool NameGone = false;     // Windows did not know the port's COM name at some wake of this read
};

enum class PendingStep { Wait, Cancel, Abandon };

PendingStep NextStep(const PendingRead& read, DWORD length);

// Adds one report of ClearCommError's flags: each error once, however many
// bytes it hit (the flags say only that it happened since the last call).
void CountLineErrors(DWORD errors, LineCounters& counters);

// The driver's receive queue, as GetCommProperties reports it before and
// after SetupComm asked for `asked` (0: the driver does not say), `taken`
// whether SetupComm succeeded: worth a line when it is known, smaller than
// asked and bridges less than QueueSlack; `Ms` how long it bridges the line.
struct QueueVerdict {
    bool Say;
    std::int64_t Ms;
};
QueueVerdict JudgeQueue(DWORD asked, DWORD before, DWORD granted, bool taken, std::int64_t byteMicroseconds);

// Sets the fields a driver may have kept from an earlier program; the others
// keep what BuildCommDCBA and the saved state gave. `inputQueue` is the queue
// the driver reports (0: unknown); flow-control limits must fit inside it.
void CompleteLine(DCB& line, DWORD baudRate, DWORD inputQueue, const LineShape& shape);
// The mode text BuildCommDCBA takes for a rate and a line ("9600,e,7,1").
std::string ModeText(DWORD baudRate, const LineShape& shape);

bool DosNameKnown(const char* name);
// `friendly` and `hardwareId` as SetupAPI gives them (SPDRP_FRIENDLYNAME, the
// first SPDRP_HARDWAREID), empty where it knows nothing of the port.
std::string PortLine(const std::string& com, const std::string& device, const std::string& friendly,
                     const std::string& hardwareId, std::size_t width = 0);
