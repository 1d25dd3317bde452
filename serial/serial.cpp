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

std::int64_t FirstByteAge(const ReadTimeouts& timeouts, std::uint32_t asked, std::uint32_t delivered, std::uint32_t queued,
                          std::int64_t elapsedMs, std::int64_t byteMicroseconds) {
    if (delivered == 0) return 0;
    if (queued >= delivered) return elapsedMs;
    return std::min(elapsedMs, LastByteAge(timeouts, asked, delivered, elapsedMs) +
                                   std::int64_t{delivered - queued - 1} * byteMicroseconds / 1000);
}

std::int64_t LastByteAge(const ReadTimeouts& timeouts, std::uint32_t asked, std::uint32_t delivered, std::int64_t elapsedMs) {
    constexpr std::int64_t Margin = 50;  // a total time-out ends no earlier than this before its time
    const std::int64_t interval = timeouts.ReadIntervalTimeout;
    if (delivered == 0 || delivered == asked) return 0;
    return std::min(elapsedMs, elapsedMs < TotalReadTimeout(timeouts, asked) - Margin ? interval : interval / 2);
}

std::int64_t NextReadAfter(std::uint32_t delivered, std::int64_t sinceLastMs, std::int64_t byteMicroseconds) {
    const std::int64_t carried = static_cast<std::int64_t>(delivered) * byteMicroseconds;  // what the line took for them, in us
    const std::int64_t since = sinceLastMs * 1000;
    const std::int64_t halfRead = std::int64_t{TerminalRead / 2} * byteMicroseconds / 1000;  // ms
    if (delivered >= TerminalRead || since <= 0 || carried * 4 < since * 3 || carried > since * 2 || halfRead < ShortestPause) {
        return 0;
    }
    return std::min(halfRead, StreamPause);
}

const char* OpenFaultText(OpenFault fault) {
    switch (fault) {
        case OpenFault::None: return nullptr;
        case OpenFault::NotFound: return "Windows meldet nicht gefunden. %s existiert nicht oder wird benutzt.\n";
        case OpenFault::AccessDenied: return "Windows verweigert Zugriff. %s wird benutzt.\n";
        case OpenFault::Other: break;
    }
    return "Fehlercode: %s\n";
}

const char* LineText(const LineShape& line, char* text, std::size_t size) {
    std::snprintf(text, size, "%d%c%s", line.DataBits, line.Parity,
                  line.HalfStopBits == 3 ? "1.5" : line.HalfStopBits == 4 ? "2" : "1");
    return text;
}

Reopening ChooseReopening(const std::string& noted, bool anyDevice, bool present, const std::string& now,
                          bool foundElsewhere) {
    if (noted.empty() || anyDevice || (present && now == noted)) return Reopening::Name;
    if (foundElsewhere) return Reopening::Follow;
    return present ? Reopening::Other : Reopening::Wait;
}

bool TwinSeen(const std::vector<std::string>& atPorts, const std::string& ours, bool oursMayBeBack) {
    if (oursMayBeBack) return atPorts.size() > 1;
    return std::any_of(atPorts.begin(), atPorts.end(), [&](const std::string& at) { return at != ours; });
}

namespace {

// The system's own serial devices.
const PortKind LocalPort = {OpenDevice, GetLineState, SetLineState, SetLineAtPortRate, PortRate, SetReadTimeouts, PurgePort,
                            SetModemLine, CloseDevice, ClassifyOpenError, DeviceIdentity, NamesWithIdentity, DeviceSettled,
                            DeviceErrorText};

const PortKind& Kind() { return PortSettings.Remote == RemoteKind::None ? LocalPort : RemotePort; }

constexpr int ReopenInterval = 500;  // ms between two tries to open a lost port again
constexpr auto MissingHintAfter = std::chrono::seconds(30);

// While a port is waited for, each reason why it cannot be used is said
// once a gap: the lines said are remembered (by a hash), from the open at
// the start on, and only new ones are said.
constexpr std::size_t RememberedLines = 16;
std::uint32_t LinesSaid[RememberedLines];
std::size_t LineCount = 0;
bool Waiting = false;
bool OtherDeviceSaid = false;  // a gap says once that another device has the name

// The adapter as it was first opened: what identifies it, and its name since it moved.
bool OpenedBefore = false;
OpenFault LastFault = OpenFault::None;  // of the last try to open
std::string Identity;
std::string IdentityAtPort;  // the same with the USB port it was in
bool Twins = false;          // its serial number is another adapter's too: known by IdentityAtPort
std::string MovedTo;
unsigned RateInUse = 0;  // the rate the capture had before a gap: the only one after it

std::uint32_t Hash(const char* text) {
    std::uint32_t hash = 2166136261u;
    for (; *text; ++text) hash = (hash ^ static_cast<unsigned char>(*text)) * 16777619u;
    return hash;
}

template <typename Value>
void Say(const char* format, Value value) {
    char line[256];
    std::snprintf(line, sizeof line, format, value);
    const std::uint32_t hash = Hash(line);
    const bool said = std::find(LinesSaid, LinesSaid + LineCount, hash) != LinesSaid + LineCount;
    if (Waiting && said) return;
    if (!said && LineCount < RememberedLines) LinesSaid[LineCount++] = hash;
    Print(format, value);
}

void ReportOpenError(int error, const char* name, bool sayMissing);

}  // namespace

void SayOnceAGap(const char* line) { Say("%s", line); }

namespace {

// The configuration steps after a successful open. A device that cannot
// even report its line settings is no communications device (a disk, a
// file, /dev/zero): it is closed again, as if it had never opened. A line
// the port refuses is reported, and the capture runs at the port's previous
// rate, but on a line of ours: raw, as --line asks (8N1), our time-outs, purged, the lines as
// asked; never as another program left it (echoing, translating, waiting
// without a limit, sending XOFF). A port that refuses our line at its own
// rate too is closed again. After a gap only the rate the capture had will
// do: another would record garbage. A refused time-out leaves the rest undone.
// A driver's receive queue too short for a moment without a read is said once.
int ConfigurePort(const char* name) {
    if (int error = Kind().GetLineState()) {
        Say("%s GetCommState nicht ok !\n", name);
        Kind().Close();
        PortHandle = InvalidPortHandle;
        return error;
    }
    const int rate = OpenedBefore ? static_cast<int>(RateInUse) : PortSettings.BaudRate;
    if (int error = Kind().SetLineState(rate)) {
        Say(" %s SetCommState nicht ok !\n", name);
        if (OpenedBefore || Kind().SetLineAtPortRate() != 0) {
            // Not 8N1, the line itself is refused: garbage is never recorded.
            if (!IsPlain8N1(PortSettings.Line) && !OpenedBefore) {
                char line[8];
                Say("Leitung %s geht an dieser Schnittstelle nicht.\n", LineText(PortSettings.Line, line, sizeof line));
            }
            Kind().Close();
            PortHandle = InvalidPortHandle;
            return error;
        }
        ReportOpenError(error, name, true);
        Say("Baudrate bleibt %u Baud.\n", Kind().Rate());
        RateInUse = Kind().Rate();
    } else {
        RateInUse = static_cast<unsigned>(rate);
    }
    if (!OpenedBefore && PortSettings.Remote == RemoteKind::None) {
        if (const std::string note = ReceiveQueueNote(name); !note.empty()) Say("%s", note.c_str());
    }
    if (int timeoutError = Kind().SetReadTimeouts()) {
        Say("%s SetCommTimeouts nicht ok !\n", name);
        return timeoutError;
    }
    Kind().Purge();
    if (PortSettings.DtrOption) Kind().SetModemLine(ModemLine::Dtr, true);
    if (PortSettings.RtsOption) Kind().SetModemLine(ModemLine::Rts, true);
    return 0;
}

// A missing port is not said while it is waited for.
void ReportOpenError(int error, const char* name, bool sayMissing) {
    const OpenFault fault = Kind().Classify(error);
    LastFault = fault;
    const char* text = OpenFaultText(fault);
    if (fault == OpenFault::Other) {
        Say(text, Kind().ErrorText(error).c_str());
    } else if (text && (sayMissing || fault != OpenFault::NotFound)) {
        Say(text, name);
    }
}

// The whole open sequence of `device`, named `shown` in the messages, on the event CreateReadEvent made.
void OpenAndConfigure(const char* device, const char* shown, bool sayMissing) {
    int error = Kind().Open(device);
    if (error == 0) error = ConfigurePort(shown);
    ReportOpenError(error, shown, sayMissing);
}

// Once another adapter with our adapter's serial number is seen, ours is
// known by its USB port as well, and one line says so.
void LookForTwins(bool oursMayBeBack) {
    if (Twins || Identity == IdentityAtPort || PortSettings.AnyDevice) return;  // (no serial number: the port already)
    const std::vector<std::string> names = Kind().Elsewhere(Identity, false);
    std::vector<std::string> atPorts(names.size());
    for (std::size_t at = 0; at < names.size(); ++at) Kind().Identity(names[at].c_str(), atPorts[at], true);
    if (!TwinSeen(atPorts, IdentityAtPort, oursMayBeBack)) return;
    Twins = true;
    std::string others;
    int count = 0;
    for (std::size_t at = 0; at < names.size(); ++at) {
        if (atPorts[at] != IdentityAtPort) others += (count++ ? ", " : "") + names[at];
    }
    Print("%s%sHinweis: %s %s dieselbe Seriennummer (%s): wiedererkannt wird nur %s.\n", OpenedBefore ? ClockText() : "",
          OpenedBefore ? " " : "", others.c_str(), count == 1 ? "hat" : "haben", Identity.c_str(), IdentityAtPort.c_str());
}

// The first open notes what identifies the device.
void NoteIdentity() {
    if (OpenedBefore || !PortIsOpen()) return;
    char buffer[32];
    const char* device = DeviceName(PortSettings, buffer, sizeof buffer);
    Kind().Identity(device, Identity, false);
    Kind().Identity(device, IdentityAtPort, true);
    LookForTwins(false);
    OpenedBefore = true;
}

// One try to open the port again, as ChooseReopening decides; true when
// nothing has its name (and the adapter is nowhere else either).
bool TryAgain() {
    char buffer[32];
    const char* device = DeviceName(PortSettings, buffer, sizeof buffer);
    LookForTwins(true);
    const std::string& noted = Twins ? IdentityAtPort : Identity;
    std::string now, elsewhere;
    const bool present = Kind().Identity(device, now, Twins);
    if (!noted.empty() && !PortSettings.AnyDevice && !(present && now == noted)) {
        const std::vector<std::string> names = Kind().Elsewhere(noted, Twins);  // with Twins, one at most
        if (!names.empty()) elsewhere = names.front();
    }
    switch (ChooseReopening(noted, PortSettings.AnyDevice, present, now, !elsewhere.empty())) {
        case Reopening::Wait: return true;
        case Reopening::Other:
            if (!OtherDeviceSaid) {
                Print("%s %s ist jetzt ein anderes Geraet (%s, aufgezeichnet wurde %s): nicht aufgezeichnet, warte weiter ...\n",
                      ClockText(), PortName(PortSettings), now.c_str(), noted.c_str());
            }
            OtherDeviceSaid = true;
            return false;
        case Reopening::Follow: {
            if (!Kind().Settled(elsewhere.c_str(), true)) return false;
            OpenAndConfigure(elsewhere.c_str(), elsewhere.c_str(), false);
            if (!PortIsOpen()) return false;
            Print("%s %s ist jetzt %s.\n", ClockText(), PortName(PortSettings), elsewhere.c_str());
            MovedTo = elsewhere;
            PortSettings.DevicePath = MovedTo.c_str();
            return false;
        }
        case Reopening::Name: break;
    }
    if (Kind().Settled(device, !now.empty())) OpenAndConfigure(device, PortName(PortSettings), false);
    return !present;
}

// Tries every ReopenInterval until the port is open or the run is to end.
bool WaitForPort() {
    const auto start = std::chrono::steady_clock::now();
    bool hinted = false;
    for (;;) {
        if (EndWithin(ReopenInterval)) return false;
        Waiting = true;
        const bool missing = TryAgain();
        Waiting = false;
        if (!PortIsOpen() && missing && !hinted && std::chrono::steady_clock::now() - start >= MissingHintAfter) {
            Print("%s %s fehlt seit 30 s. Welche Schnittstellen da sind, zeigt lumtrex --list.\n", ClockText(),
                  PortName(PortSettings));
            hinted = true;
        }
        FlushOutput();  // what a try said reaches a redirected output at once
        if (PortIsOpen()) break;
    }
    NoteIdentity();
    return true;
}

// Drops the raised lines and closes the device.
void CloseDevicePort() {
    if (!PortIsOpen()) return;
    if (PortSettings.DtrOption) Kind().SetModemLine(ModemLine::Dtr, false);
    if (PortSettings.RtsOption) Kind().SetModemLine(ModemLine::Rts, false);
    Kind().Close();
    PortHandle = InvalidPortHandle;
}

}  // namespace

void OpenPort() {
    if (!CreateReadEvent()) return;
    char buffer[32];
    OpenAndConfigure(DeviceName(PortSettings, buffer, sizeof buffer), PortName(PortSettings), true);
    NoteIdentity();
}

bool PortIsOpen() { return PortHandle != InvalidPortHandle; }

bool PortRefused() { return !PortIsOpen() && LastFault == OpenFault::AccessDenied; }

unsigned PortRateInUse() { return RateInUse; }

std::int64_t ByteMicrosecondsAt(unsigned rate) {
    const LineShape& line = PortSettings.Line;
    const std::int64_t bits = 1 + line.DataBits + (line.Parity != 'N') + line.HalfStopBits / 2;
    return bits * 1000000 / std::max<std::int64_t>(1, rate);
}

std::int64_t ByteMicroseconds() { return ByteMicrosecondsAt(RateInUse ? RateInUse : static_cast<unsigned>(PortSettings.BaudRate)); }

bool ReopenPort() {
    CloseDevicePort();
    LineCount = 0;
    OtherDeviceSaid = false;
    LookForTwins(false);  // ours is gone: a tty with its serial number left is another adapter
    return WaitForPort();
}

bool AwaitPort() { return WaitForPort(); }

void ClosePort() {
    if (!PortIsOpen()) return;
    CloseDevicePort();
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
}
