// The serial port on Windows: an overlapped COM device whose driver keeps
// the read time-outs (COMMTIMEOUTS).
#include <windows.h>

#include <cstdio>

#include "../app/settings.h"
#include "../console/console.h"
#include "serial_platform.h"

const char DevicePathPrefix[] = "\\\\.\\";

namespace {

OVERLAPPED ReadOverlapped{};
DCB PortState{};

HANDLE Port() { return reinterpret_cast<HANDLE>(PortHandle); }

int ErrorOf(BOOL succeeded) { return succeeded ? 0 : static_cast<int>(GetLastError()); }

// After a failed read or wait: a device that cannot even report its status
// is gone; otherwise this clears the line error that would stall every later
// read on a port set to abort on errors.
bool DeviceStillThere(HANDLE port) {
    DWORD errors = 0;
    return ClearCommError(port, &errors, nullptr) != 0;
}

bool Finish(ReadResult& result, DWORD delivered, std::uint32_t length, ReadEnd early) {
    result.Delivered = delivered;
    result.End = delivered == length ? ReadEnd::Complete : early;
    return delivered == length;
}

}  // namespace

bool CreateReadEvent() {
    ReadOverlapped.Internal = ReadOverlapped.InternalHigh = 0;
    ReadOverlapped.Offset = ReadOverlapped.OffsetHigh = 0;
    ReadOverlapped.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return ReadOverlapped.hEvent != nullptr;
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

int GetLineState() { return ErrorOf(GetCommState(Port(), &PortState)); }

int SetLineState(int baudRate) {
    DCB line = PortState;
    char mode[52];
    std::snprintf(mode, sizeof mode, "%d,n,8,1", baudRate);
    BuildCommDCBA(mode, &line);
    line.fDtrControl = DTR_CONTROL_DISABLE;
    line.fRtsControl = RTS_CONTROL_DISABLE;
    line.fBinary = 1;
    return ErrorOf(SetCommState(Port(), &line));
}

int SetReadTimeouts() {
    COMMTIMEOUTS timeouts{PortTimeouts.ReadIntervalTimeout, PortTimeouts.ReadTotalTimeoutMultiplier,
                          PortTimeouts.ReadTotalTimeoutConstant, 2, 2};
    return ErrorOf(SetCommTimeouts(Port(), &timeouts));
}

void PurgePort() { PurgeComm(Port(), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR); }

void SetModemLine(ModemLine line, bool raised) {
    const DWORD function = line == ModemLine::Dtr ? (raised ? SETDTR : CLRDTR) : (raised ? SETRTS : CLRRTS);
    EscapeCommFunction(Port(), function);
}

void CloseDevice() { CloseHandle(Port()); }

OpenFault ClassifyOpenError(int code) {
    switch (code) {
        case 0: return OpenFault::None;
        case ERROR_FILE_NOT_FOUND: return OpenFault::NotFound;
        case ERROR_ACCESS_DENIED: return OpenFault::AccessDenied;
        default: return OpenFault::Other;
    }
}

bool ReadBlock(PortHandleType handle, unsigned char* buffer, std::uint32_t length, ReadResult& result) {
    const HANDLE port = reinterpret_cast<HANDLE>(handle);
    DWORD delivered = 0;
    result = ReadResult{};
    if (ReadFile(port, buffer, length, &delivered, &ReadOverlapped)) {
        if (delivered != length) {
            char text[100];
            wsprintfA(text, "Size mismatch %d %d", buffer[0], buffer[1]);
            WarningBox("Error", text);
        }
        return Finish(result, delivered, length, ReadEnd::TimedOut);
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        return Finish(result, 0, length, DeviceStillThere(port) ? ReadEnd::Failed : ReadEnd::DeviceLost);
    }
    const HANDLE wakers[2] = {ReadOverlapped.hEvent, reinterpret_cast<HANDLE>(StopWakeHandle())};
    for (;;) {
        const DWORD woke = WaitForMultipleObjects(wakers[1] ? 2 : 1, wakers, FALSE, INFINITE);
        if (woke == WAIT_OBJECT_0 + 1) {
            // A stop request: end the read, keeping what it already has.
            CancelIoEx(port, &ReadOverlapped);
            GetOverlappedResult(port, &ReadOverlapped, &delivered, TRUE);
            return Finish(result, delivered, length, ReadEnd::Stopped);
        }
        // Should the wait itself fail, let the system wait instead of spinning here.
        if (GetOverlappedResult(port, &ReadOverlapped, &delivered, woke == WAIT_FAILED)) {
            return Finish(result, delivered, length, ReadEnd::TimedOut);
        }
        const DWORD error = GetLastError();
        if (error == ERROR_IO_INCOMPLETE) continue;
        // Some drivers (Wine's among them) end a timed-out read as a failure.
        if (error == ERROR_TIMEOUT) return Finish(result, delivered, length, ReadEnd::TimedOut);
        if (!DeviceStillThere(port)) return Finish(result, delivered, length, ReadEnd::DeviceLost);
        WarningBox("Message", "Something went wrong when calling Windows to read from comport.");
        return Finish(result, delivered, length, ReadEnd::Failed);
    }
}
