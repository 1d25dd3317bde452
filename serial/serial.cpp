// The port's open and close sequence and its messages, the same on every
// system; serial_<system>.cpp does the system calls.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "../console/console.h"
#include "serial_platform.h"

Settings PortSettings;
PortHandleType PortHandle = InvalidPortHandle;

std::int64_t TotalReadTimeout(const ReadTimeouts& timeouts, std::uint32_t length) {
    return std::int64_t{timeouts.ReadTotalTimeoutMultiplier} * length + timeouts.ReadTotalTimeoutConstant;
}

std::int64_t ReadWaitLeft(const ReadTimeouts& timeouts, std::uint32_t length, std::int64_t elapsed,
                          std::int64_t sinceLastByte, bool anyByte) {
    const std::int64_t total = TotalReadTimeout(timeouts, length) - elapsed;
    if (!anyByte || timeouts.ReadIntervalTimeout == 0) return total;
    return std::min(total, std::int64_t{timeouts.ReadIntervalTimeout} - sinceLastByte);
}

const char* OpenFaultText(OpenFault fault) {
    switch (fault) {
        case OpenFault::None: return nullptr;
        case OpenFault::NotFound: return "Windows meldet nicht gefunden. %s existiert nicht oder wird benutzt.\n";
        case OpenFault::AccessDenied: return "Windows verweigert Zugriff. %s wird benutzt.\n";
        case OpenFault::Other: break;
    }
    return "Fehlercode: %d\n";
}

const char* LineText(const LineShape& line, char* text, std::size_t size) {
    std::snprintf(text, size, "%d%c%s", line.DataBits, line.Parity,
                  line.HalfStopBits == 3 ? "1.5" : line.HalfStopBits == 4 ? "2" : "1");
    return text;
}

namespace {

constexpr int ReopenInterval = 500;  // ms between two tries to open a lost port again

// While a lost port is waited for, a reason why it cannot be used is said
// once: the tries after one that spoke are quiet.
bool Quiet = false;
bool Spoke = false;

template <typename Value>
void Say(const char* format, Value value) {
    if (!Quiet) Print(format, value);
    Spoke = Spoke || !Quiet;
}

void ReportOpenError(int error, const char* name, bool sayMissing);

// The configuration steps after a successful open. A device that cannot
// even report its line settings is no communications device (a disk, a
// file, /dev/zero): it is closed again, as if it had never opened. A line
// the port refuses is reported, and the capture runs at the port's previous
// rate, but on a line of ours: raw, as --line asks (8N1), our time-outs, purged, the lines as
// asked; never as another program left it (echoing, translating, waiting
// without a limit, sending XOFF). A port that refuses our line at its own
// rate too is closed again. A refused time-out leaves the rest undone.
int ConfigurePort(const char* name) {
    if (int error = GetLineState()) {
        Say("%s GetCommState nicht ok !\n", name);
        CloseDevice();
        PortHandle = InvalidPortHandle;
        return error;
    }
    if (int error = SetLineState(PortSettings.BaudRate)) {
        Say(" %s SetCommState nicht ok !\n", name);
        if (SetLineAtPortRate() != 0) {
            // Not 8N1, the line itself is refused: garbage is never recorded.
            if (!IsPlain8N1(PortSettings.Line)) {
                char line[8];
                Say("Leitung %s geht an dieser Schnittstelle nicht.\n", LineText(PortSettings.Line, line, sizeof line));
            }
            CloseDevice();
            PortHandle = InvalidPortHandle;
            return error;
        }
        ReportOpenError(error, name, true);
        Say("Baudrate bleibt %u Baud.\n", PortRate());
    }
    if (int timeoutError = SetReadTimeouts()) {
        Say("%s SetCommTimeouts nicht ok !\n", name);
        return timeoutError;
    }
    PurgePort();
    if (PortSettings.DtrOption) SetModemLine(ModemLine::Dtr, true);
    if (PortSettings.RtsOption) SetModemLine(ModemLine::Rts, true);
    return 0;
}

// A missing port is not said while it is waited for.
void ReportOpenError(int error, const char* name, bool sayMissing) {
    const OpenFault fault = ClassifyOpenError(error);
    const char* text = OpenFaultText(fault);
    if (fault == OpenFault::Other) {
        Say(text, error);
    } else if (text && (sayMissing || fault != OpenFault::NotFound)) {
        Say(text, name);
    }
}

// The whole open sequence on the event CreateReadEvent made.
void OpenAndConfigure(bool sayMissing) {
    char buffer[32];
    const char* name = PortName(PortSettings);
    int error = OpenDevice(DeviceName(PortSettings, buffer, sizeof buffer));
    if (error == 0) error = ConfigurePort(name);
    ReportOpenError(error, name, sayMissing);
}

// Drops the raised lines and closes the device.
void CloseDevicePort() {
    if (!PortIsOpen()) return;
    if (PortSettings.DtrOption) SetModemLine(ModemLine::Dtr, false);
    if (PortSettings.RtsOption) SetModemLine(ModemLine::Rts, false);
    CloseDevice();
    PortHandle = InvalidPortHandle;
}

}  // namespace

void OpenPort() {
    if (CreateReadEvent()) OpenAndConfigure(true);
}

bool PortIsOpen() { return PortHandle != InvalidPortHandle; }

bool ReopenPort(std::int64_t limitMs) {
    CloseDevicePort();
    Spoke = false;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (limitMs >= 0 && left.count() <= 0) return false;
        const int pause = limitMs >= 0 && left.count() < ReopenInterval ? static_cast<int>(left.count()) : ReopenInterval;
        if (KeyOrStopWithin(pause)) return false;
        Quiet = Spoke;
        OpenAndConfigure(false);
        Quiet = false;
        FlushOutput();  // what a try said reaches a redirected output at once
        if (PortIsOpen()) return true;
    }
}

void ClosePort() {
    if (!PortIsOpen()) return;
    CloseDevicePort();
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
}
