// The serial port on Windows: an overlapped COM device whose driver keeps
// the read time-outs (COMMTIMEOUTS). The decisions are plain functions
// (serial_win32.h); the system calls below only gather their inputs.
#include "serial_win32.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "../console/console.h"
#include "remote.h"
#include "serial_platform.h"

const char DevicePathPrefix[] = "\\\\.\\";
const char DevicePathExample[] = "\\\\.\\COM12";
const char DeviceFolder[] = "";

namespace {

// Errors with which drivers fail the reads of a device that is gone, even
// while some of them still answer ClearCommError from cached state.
bool IsDeviceGone(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_INVALID_HANDLE:
        case ERROR_BAD_COMMAND:
        case ERROR_GEN_FAILURE:
        case ERROR_NO_SUCH_DEVICE:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEVICE_REMOVED: return true;
        default: return false;
    }
}

// A read the system completed, so its bytes were copied. One that comes back
// empty long before our time-outs could have ended it is what some drivers do
// for a removed device; under time-outs left by another program it may be
// what they ask for, and never means the device is gone.
ReadVerdict JudgeSuccess(const ReadReport& report, DWORD kept, DWORD length) {
    if (kept == length) return {kept, ReadOutcome::Complete};
    // Plug and Play has removed the device, though its driver still answers.
    if (kept == 0 && !report.NameKnown) return {0, ReadOutcome::Lost};
    // Well before the earliest time-out (the interval, counted from a first
    // byte) could have ended it.
    const std::int64_t earliest =
        std::min<std::int64_t>(PortTimeouts.ReadIntervalTimeout, TotalReadTimeout(PortTimeouts, length));
    const bool atOnce = report.Elapsed < earliest / 2;
    if (kept == 0 && atOnce) {
        // ClearCommError may answer from cached state after an unplug;
        // GetCommModemStatus asks the device. Some drivers ignore the
        // per-byte multiplier, and their empty reads are no loss while it answers.
        const bool gone =
            report.OwnTimeouts && report.EmptyBefore + 1 >= EmptyReadsMeaningLost && !report.ModemStatusOk;
        return {0, gone ? ReadOutcome::Lost : ReadOutcome::Empty};
    }
    return {kept, report.ReadFileResult && kept > 0 ? ReadOutcome::ShortAtOnce : ReadOutcome::TimedOut};
}

}  // namespace

ReadVerdict JudgeRead(const ReadReport& report, DWORD length) {
    const bool wentOn = !report.ReadFileResult && report.ReadFileError == ERROR_IO_PENDING;
    const DWORD reported = std::min(report.Reported, length);
    if (report.ReadFileResult || (wentOn && report.OverlappedResult)) return JudgeSuccess(report, reported, length);
    // Drivers use buffered I/O: a read that ends with an error status has its
    // count reported but its bytes never copied. A time-out is a success
    // status on Windows; Wine alone ends it with ERROR_TIMEOUT, bytes copied.
    // Either comes at once, too, from a driver that fails every read so:
    // then it is an empty read, paused for, never a spin.
    const DWORD error = wentOn ? report.OverlappedError : report.ReadFileError;
    if (error == ERROR_TIMEOUT) return JudgeSuccess(report, reported, length);
    if (error == ERROR_SEM_TIMEOUT) return JudgeSuccess(report, 0, length);
    if (error == ERROR_OPERATION_ABORTED && report.CancelledByUs && report.NameKnown) return {0, ReadOutcome::Cancelled};
    // Whatever the code, once Windows no longer knows the COM name: never a box, a retry or a line error for ever.
    if (IsDeviceGone(error) || !report.ClearCommErrorOk || !report.NameKnown) return {0, ReadOutcome::Lost};
    // Not ours: a line error on a port still set to abort on errors (its old
    // state stayed when SetCommState was refused); ClearCommError ended it.
    if (error == ERROR_OPERATION_ABORTED) {
        return {0, report.LineErrorBefore ? ReadOutcome::LineErrorAgain : ReadOutcome::LineError};
    }
    return {0, wentOn ? ReadOutcome::Fault : ReadOutcome::Refused};
}

PendingStep NextStep(const PendingRead& read, DWORD length) {
    if (read.Cancelled) return read.SinceCancel >= AbandonGrace ? PendingStep::Abandon : PendingStep::Wait;
    // A read of queued bytes under DrainTimeouts completes at once. It is
    // never cancelled: a cancelled read has taken its bytes from the driver's
    // queue without copying them. One that a driver holds anyway is left to
    // the close of the port.
    if (read.Draining) return read.Elapsed >= DrainWait ? PendingStep::Abandon : PendingStep::Wait;
    // A key or a stop lets the read end on its own time-outs and keep its
    // bytes; only a read without them (another program's time-outs, which
    // may have no limit) or a driver that ignores them is cut short, and so
    // is one the driver keeps after its device was removed. Otherwise a read
    // takes as long as its driver takes.
    if ((read.EndRequested || read.NameGone) && read.Elapsed >= TotalReadTimeout(PortTimeouts, length) + CancelGrace) {
        return PendingStep::Cancel;
    }
    return PendingStep::Wait;
}

void CountLineErrors(DWORD errors, LineCounters& counters) {
    if (errors & (CE_OVERRUN | CE_RXOVER)) ++counters.Overrun;
    if (errors & CE_FRAME) ++counters.Frame;
    if (errors & CE_BREAK) ++counters.Break;
    if (errors & CE_RXPARITY) ++counters.Parity;
}

std::string ModeText(DWORD baudRate, const LineShape& shape) {
    char mode[40];
    std::snprintf(mode, sizeof mode, "%lu,%c,%d,%s", static_cast<unsigned long>(baudRate),
                  static_cast<char>(shape.Parity | 0x20), shape.DataBits,
                  shape.HalfStopBits == 3 ? "1.5" : shape.HalfStopBits == 4 ? "2" : "1");
    return mode;
}

void CompleteLine(DCB& line, DWORD baudRate, DWORD inputQueue, const LineShape& shape) {
    line.DCBlength = sizeof(DCB);
    line.BaudRate = baudRate;
    line.ByteSize = static_cast<BYTE>(shape.DataBits);
    const char* parities = "NOEMS";  // NOPARITY 0, ODDPARITY 1, EVENPARITY 2, MARKPARITY 3, SPACEPARITY 4
    const char* parity = std::strchr(parities, shape.Parity);
    line.Parity = static_cast<BYTE>(parity && shape.Parity ? parity - parities : NOPARITY);
    line.StopBits = static_cast<BYTE>(shape.HalfStopBits == 3 ? ONE5STOPBITS : shape.HalfStopBits == 4 ? TWOSTOPBITS : ONESTOPBIT);
    line.fBinary = 1;
    line.fDtrControl = DTR_CONTROL_DISABLE;
    line.fRtsControl = RTS_CONTROL_DISABLE;
    // Left on by an earlier program these strip zero bytes (fNull), drop bytes
    // while DSR is low (fDsrSensitivity), replace bytes (fErrorChar, fParity),
    // abort reads on line errors (fAbortOnError) or stall the line (the rest).
    // With a parity bit, parity is checked so that its errors are counted;
    // a byte with one is kept as it came (no error character).
    line.fParity = shape.Parity != 'N';
    line.fOutxCtsFlow = 0;
    line.fOutxDsrFlow = 0;
    line.fDsrSensitivity = 0;
    line.fOutX = 0;
    line.fInX = 0;
    line.fErrorChar = 0;
    line.fNull = 0;
    line.fAbortOnError = 0;
    line.XonChar = 0x11;  // SetCommState refuses equal characters
    line.XoffChar = 0x13;
    line.XonLim = line.XoffLim = static_cast<WORD>(std::min<DWORD>(inputQueue / 4, 0xFFFF));
}

namespace {

// A read Windows has not given back (cancelled, and still not complete a
// while later) keeps its OVERLAPPED and its buffer: the reads go on in the
// other slot, and a slot is free again once its read has completed (closing
// the port makes a driver complete it). Bytes are copied out of the slot.
struct ReadSlot {
    OVERLAPPED Overlapped;
    unsigned char Block[BlockSize];
    bool Abandoned;
};
ReadSlot Slots[2]{};
ReadSlot* Reading = &Slots[0];
bool NameSeenGone = false;  // during the read in progress, Windows once knew the COM name no more
DCB PortState{};
unsigned EmptyReadsInARow = 0;
bool LineErrorBefore = false;
bool OwnTimeouts = false;
LineCounters LineErrorsSeen;  // the flags of every ClearCommError, counted

HANDLE Port() { return reinterpret_cast<HANDLE>(PortHandle); }

int ErrorOf(BOOL succeeded) { return succeeded ? 0 : static_cast<int>(GetLastError()); }

// Whether Windows still knows the port's COM name: Plug and Play removes it
// with the device, while some USB drivers answer from cached state after an
// unplug. A device named by another path has no name to ask for.
bool ComNameKnown(const char* name = PortName(PortSettings)) {
    if (std::strncmp(name, DevicePathPrefix, sizeof DevicePathPrefix - 1) == 0) name += sizeof DevicePathPrefix - 1;
    return _strnicmp(name, "COM", 3) != 0 || DosNameKnown(name);
}

// Every ClearCommError of the port goes through here, so every flag it
// reports is counted once. It also ends the line error that stalls every
// later read on a port that aborts on errors; false when the device cannot
// even report its status.
bool ClearLineErrors(HANDLE port, COMSTAT* status = nullptr) {
    DWORD errors = 0;
    if (!ClearCommError(port, &errors, status)) return false;
    CountLineErrors(errors, LineErrorsSeen);
    return true;
}

}  // namespace

// Windows gives each device instance its own COM number (an adapter with a
// serial number keeps its number in any USB socket; one without has a number
// per socket): the name is the identity.
bool DeviceIdentity(const char* name, std::string& identity, bool) {
    identity.clear();
    return ComNameKnown(name);
}

std::vector<std::string> NamesWithIdentity(const std::string&, bool) { return {}; }

bool DeviceSettled(const char*, bool) { return true; }

bool CreateReadEvent() {
    for (ReadSlot& slot : Slots) {
        slot.Overlapped = OVERLAPPED{};
        slot.Overlapped.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (!slot.Overlapped.hEvent) return false;
    }
    return true;
}

const char* DeviceName(const Settings& settings, char* buffer, std::size_t size) {
    if (settings.DevicePath) return settings.DevicePath;
    // From COM10 on Windows knows the port only by its \\.\ name.
    std::snprintf(buffer, size, settings.PortIndex < 8 ? "COM%d" : "\\\\.\\COM%d", settings.PortIndex + 1);
    return buffer;
}

int OpenDevice(const char* name) {
    const HANDLE port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
    PortHandle = reinterpret_cast<PortHandleType>(port);
    return 0;
}

QueueVerdict JudgeQueue(DWORD asked, DWORD before, DWORD granted, bool taken, std::int64_t byteMicroseconds) {
    const std::int64_t ms = std::int64_t{granted} * byteMicroseconds / 1000;
    if (granted == 0 || granted >= asked) return {false, ms};
    // A driver that took the request and still reports the size it had did
    // nothing with it, and its figure is no queue of the port's: Wine reports
    // 4096 for every port, whose bytes wait in the system's terminal.
    if (taken && granted == before) return {false, ms};
    return {ms < QueueSlack, ms};
}

namespace {

// The receive queue as the driver reported it before and after SetupComm asked for InputQueueSize.
struct {
    DWORD Before, Granted;
    bool Taken;
} Queue{};

DWORD ReportedQueue(HANDLE port) {
    COMMPROP properties{};
    return GetCommProperties(port, &properties) ? properties.dwCurrentRxQueue : 0;
}

}  // namespace

int GetLineState() {
    const HANDLE port = Port();
    PortState.DCBlength = sizeof(DCB);
    if (!GetCommState(port, &PortState)) return static_cast<int>(GetLastError());
    // Asked once an open, before the line is set. A driver that refuses keeps its own size: no reason to refuse the port.
    Queue.Before = ReportedQueue(port);
    Queue.Taken = SetupComm(port, InputQueueSize, OutputQueueSize) != 0;
    Queue.Granted = ReportedQueue(port);
    return 0;
}

std::string ReceiveQueueNote(const char* name) {
    const QueueVerdict verdict = JudgeQueue(InputQueueSize, Queue.Before, Queue.Granted, Queue.Taken, ByteMicroseconds());
    if (!verdict.Say) return "";
    char line[160];
    const long long hundredths = verdict.Ms / 10;
    std::snprintf(line, sizeof line, "Hinweis: Der Treiber von %s puffert nur %lu Bytes, bei %u Baud %lld,%02lld s.\n", name,
                  static_cast<unsigned long>(Queue.Granted), PortRateInUse(), hundredths / 100, hundredths % 100);
    return line;
}

namespace {

int ApplyLine(DWORD baudRate) {
    // Drivers keep the line settings between opens, so start from the saved
    // state but set every field that matters.
    DCB line = PortState;
    BuildCommDCBA(ModeText(baudRate, PortSettings.Line).c_str(), &line);
    CompleteLine(line, baudRate, Queue.Granted, PortSettings.Line);
    return ErrorOf(SetCommState(Port(), &line));
}

}  // namespace

int SetLineState(int baudRate) { return ApplyLine(static_cast<DWORD>(baudRate)); }

int SetLineAtPortRate() { return ApplyLine(PortState.BaudRate); }

unsigned PortRate() { return PortState.BaudRate; }

// A COM port's driver keeps reading while nobody reads it: what does not fit is lost.
bool PortHoldsSenderBack() { return false; }

bool PortIsCdcAcm() {
    // usbser names its devices \Device\USBSER000 and on.
    const char* name = PortName(PortSettings);
    if (std::strncmp(name, "\\\\.\\", 4) == 0) name += 4;
    char target[256] = {};
    return QueryDosDeviceA(name, target, sizeof target) > 0 && _strnicmp(target, "\\Device\\USBSER", 14) == 0;
}

const ReadTimeouts& TimeoutsInUse() { return PortSettings.TimedReads ? TimedReadTimeouts : PortTimeouts; }

int SetReadTimeouts() {
    const ReadTimeouts& asked = TimeoutsInUse();
    COMMTIMEOUTS timeouts{asked.ReadIntervalTimeout, asked.ReadTotalTimeoutMultiplier, asked.ReadTotalTimeoutConstant, 2, 2};
    OwnTimeouts = SetCommTimeouts(Port(), &timeouts) != 0;
    return OwnTimeouts ? 0 : static_cast<int>(GetLastError());
}

bool ReadLineCounters(LineCounters& counters) {
    if (PortSettings.Remote != RemoteKind::None) return RemoteLineCounters(counters);
    ClearLineErrors(Port());  // a failure: no flags this time
    counters = LineErrorsSeen;
    return true;
}

void PurgePort() { PurgeComm(Port(), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR); }

void SetModemLine(ModemLine line, bool raised) {
    const DWORD function = line == ModemLine::Dtr ? (raised ? SETDTR : CLRDTR) : (raised ? SETRTS : CLRRTS);
    EscapeCommFunction(Port(), function);
}

void CloseDevice() { CloseHandle(Port()); }

namespace {

// The numbers a serial port's calls give on Windows.
const CodeMeaning PortErrors[] = {
    {ERROR_INVALID_FUNCTION, "keine serielle Schnittstelle"},
    {ERROR_FILE_NOT_FOUND, "nicht vorhanden"},
    {ERROR_PATH_NOT_FOUND, "nicht vorhanden"},
    {ERROR_ACCESS_DENIED, "Zugriff verweigert: belegt oder gesperrt"},
    {ERROR_INVALID_HANDLE, "keine serielle Schnittstelle"},
    {ERROR_BAD_COMMAND, "der Treiber kennt den Befehl nicht"},
    {ERROR_GEN_FAILURE, "Geraet gestoert"},
    {ERROR_NOT_SUPPORTED, "vom Treiber nicht unterstuetzt"},
    {ERROR_INVALID_PARAMETER, "Wert oder Einstellung nicht unterstuetzt"},
    {ERROR_SEM_TIMEOUT, "Zeitueberschreitung"},
    {ERROR_INVALID_NAME, "ungueltiger Name"},
    {ERROR_NO_SUCH_DEVICE, "Geraet nicht vorhanden"},
    {ERROR_OPERATION_ABORTED, "abgebrochen"},
    {ERROR_DEVICE_NOT_CONNECTED, "Geraet nicht angeschlossen"},
};

}  // namespace

std::string DeviceErrorText(int code) { return CodeText(code, PortErrors); }

bool DosNameKnown(const char* name) {
    char target[512];
    return QueryDosDeviceA(name, target, sizeof target) != 0 || GetLastError() == ERROR_INSUFFICIENT_BUFFER;
}

OpenFault ClassifyOpenError(int code) {
    switch (code) {
        case 0: return OpenFault::None;
        case ERROR_FILE_NOT_FOUND: return OpenFault::NotFound;
        case ERROR_ACCESS_DENIED: return OpenFault::AccessDenied;
        default: return OpenFault::Other;
    }
}

namespace {

// Waits for a read that went on, waking every WakeInterval only to see a
// key or a stop request; once it has waited HandOnAfter, `beforeWait` (if
// any) hands on what came before. False when the read was abandoned:
// cancelled, and still not complete a while later.
bool AwaitRead(HANDLE port, ReadReport& report, ULONGLONG start, DWORD length, bool draining, void (*beforeWait)()) {
    ULONGLONG cancelledAt = 0;
    for (bool handedOn = !beforeWait;;) {
        // A failed wait must not turn this into a spin.
        const DWORD slice = handedOn ? WakeInterval : static_cast<DWORD>(HandOnAfter);
        if (WaitForSingleObject(Reading->Overlapped.hEvent, slice) == WAIT_FAILED) Sleep(slice);
        report.OverlappedResult = GetOverlappedResult(port, &Reading->Overlapped, &report.Reported, FALSE);
        if (report.OverlappedResult) return true;
        report.OverlappedError = GetLastError();
        if (report.OverlappedError != ERROR_IO_INCOMPLETE) return true;
        if (!handedOn) beforeWait();
        handedOn = true;
        const ULONGLONG now = GetTickCount64();
        // Asked at every wake: an adapter that is back under its number a moment later is still another handle.
        NameSeenGone = NameSeenGone || !ComNameKnown();
        const PendingRead pending{static_cast<std::int64_t>(now - start), EndDue() || KeyWaiting(), report.CancelledByUs,
                                  static_cast<std::int64_t>(now - cancelledAt), draining, NameSeenGone};
        switch (NextStep(pending, length)) {
            case PendingStep::Wait: break;
            case PendingStep::Cancel:
                CancelIoEx(port, &Reading->Overlapped);
                report.CancelledByUs = true;
                cancelledAt = now;
                break;
            case PendingStep::Abandon: return false;
        }
    }
}

// The verdict in the capture's terms, with the box or the pause it asks for.
bool Conclude(const ReadVerdict& verdict, ReadResult& result) {
    EmptyReadsInARow = verdict.How == ReadOutcome::Empty ? EmptyReadsInARow + 1 : 0;
    LineErrorBefore = verdict.How == ReadOutcome::LineError || verdict.How == ReadOutcome::LineErrorAgain;
    result.Delivered = verdict.Kept;
    switch (verdict.How) {
        case ReadOutcome::Complete: result.End = ReadEnd::Complete; break;
        case ReadOutcome::ShortAtOnce: result.End = ReadEnd::ShortAtOnce; break;  // the box once they are kept
        case ReadOutcome::TimedOut: result.End = ReadEnd::TimedOut; break;
        case ReadOutcome::Empty:
            Sleep(PauseAfterEmptyRead);  // never spin on a driver that completes every read at once
            result.End = ReadEnd::TimedOut;
            break;
        case ReadOutcome::LineErrorAgain: Sleep(PauseAfterEmptyRead); [[fallthrough]];
        case ReadOutcome::LineError: result.End = ReadEnd::Aborted; break;
        case ReadOutcome::Cancelled: result.End = ReadEnd::Stopped; break;
        case ReadOutcome::Fault:
            WarningBox("Message", "Something went wrong when calling Windows to read from comport.");
            [[fallthrough]];
        case ReadOutcome::Refused: result.End = ReadEnd::Failed; break;
        case ReadOutcome::Lost: result.End = ReadEnd::DeviceLost; break;
    }
    return result.End == ReadEnd::Complete;
}

// One read and what the system said of it; false when it was abandoned
// (cancelled, and still not complete a while later).
bool ReadOnce(HANDLE port, unsigned char* buffer, DWORD length, bool draining, ReadReport& report, void (*beforeWait)() = nullptr) {
    report = ReadReport{};
    report.EmptyBefore = EmptyReadsInARow;
    report.OwnTimeouts = OwnTimeouts;
    report.LineErrorBefore = LineErrorBefore;
    NameSeenGone = false;
    COMSTAT before{};
    if (ClearLineErrors(port, &before)) report.QueuedBefore = before.cbInQue;
    const ULONGLONG start = GetTickCount64();
    report.ReadFileResult = ReadFile(port, Reading->Block, length, &report.Reported, &Reading->Overlapped);
    if (!report.ReadFileResult) report.ReadFileError = GetLastError();
    if (report.ReadFileError == ERROR_IO_PENDING && !AwaitRead(port, report, start, length, draining, beforeWait)) {
        Reading->Abandoned = true;
        return false;
    }
    std::memcpy(buffer, Reading->Block, std::min(report.Reported, length));
    report.Elapsed = static_cast<std::int64_t>(GetTickCount64() - start);
    // After every read: the line errors it saw, and whether a failed read's
    // device still answers; after one that brought nothing, whether the
    // device itself answers and Windows still knows it.
    report.ClearCommErrorOk = ClearLineErrors(port);
    const bool succeeded = report.ReadFileResult || report.OverlappedResult;
    if (report.Reported == 0 || !succeeded) report.NameKnown = !NameSeenGone && ComNameKnown();
    DWORD modem = 0;
    report.ModemStatusOk = report.Reported > 0 || (GetCommModemStatus(port, &modem) != 0 && report.NameKnown);
    return true;
}

// A slot for the next read: the one in use, or one whose abandoned read has
// completed since; false while both still belong to Windows.
bool FreeSlot() {
    for (ReadSlot* slot : {Reading, Reading == &Slots[0] ? &Slots[1] : &Slots[0]}) {
        if (slot->Abandoned && HasOverlappedIoCompleted(&slot->Overlapped)) slot->Abandoned = false;
        if (!slot->Abandoned) {
            Reading = slot;
            return true;
        }
    }
    return false;
}

}  // namespace

const std::uint32_t ReadSize = BlockSize;

bool ReadBlock(PortHandleType handle, unsigned char* buffer, std::uint32_t length, ReadResult& result, int,
               void (*beforeWait)()) {
    if (PortSettings.Remote != RemoteKind::None) return RemoteReadBlock(buffer, length, result, beforeWait);
    result = ReadResult{};
    ReadReport report;
    // A read given up while Windows still knows the port was given up for a
    // key or a stop. Otherwise the device went, or both slots still belong
    // to reads that never ended: lost, the port closed and opened again.
    if (!FreeSlot()) {
        result.End = ReadEnd::DeviceLost;
        return false;
    }
    if (!ReadOnce(reinterpret_cast<HANDLE>(handle), buffer, length, false, report, beforeWait)) {
        result.End = !NameSeenGone && ComNameKnown() ? ReadEnd::Stopped : ReadEnd::DeviceLost;
        return false;
    }
    const bool complete = Conclude(JudgeRead(report, length), result);
    // Bytes the driver held when the read began came before it: their time is the reader's to give.
    result.Queued = std::min<std::uint32_t>(report.QueuedBefore, result.Delivered);
    result.ArrivedAgeMs = FirstByteAge(TimeoutsInUse(), length, result.Delivered, result.Queued, report.Elapsed, ByteMicroseconds());
    result.FirstByteAgeMs = result.Queued > 0 ? report.Elapsed : result.ArrivedAgeMs;
    result.LastByteAgeMs = LastByteAge(TimeoutsInUse(), length, result.Delivered, report.Elapsed);
    return complete;
}

std::uint32_t ReadQueued(PortHandleType handle, unsigned char* buffer, std::uint32_t length) {
    if (PortSettings.Remote != RemoteKind::None) {
        const long got = RemoteReceive(buffer, length);
        return got > 0 ? static_cast<std::uint32_t>(got) : 0;
    }
    const HANDLE port = reinterpret_cast<HANDLE>(handle);
    // Under the capture's time-outs a read of more than the driver can hand
    // over at once (its count may include bytes still on their way) would
    // wait for the rest; these return what there is.
    COMMTIMEOUTS drain = DrainTimeouts;
    ReadReport report;
    // Not while a read is abandoned: the driver that keeps one would keep this one too, and the slot with it.
    if (Slots[0].Abandoned || Slots[1].Abandoned || !SetCommTimeouts(port, &drain) || !ReadOnce(port, buffer, length, true, report)) {
        return 0;
    }
    return JudgeRead(report, length).Kept;
}
