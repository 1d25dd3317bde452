// A port another machine exports: the connection is opened, the telnet COM
// port option agreed and the line set (rfc2217://), or the raw bytes taken as
// they come (tcp://). The same on every system; socket_<system>.cpp connects.
#include "remote.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "../console/console.h"
#include "serial_platform.h"
#include "socket.h"
#include "telnet.h"

namespace {

constexpr int ConnectTimeout = 5000;  // ms
constexpr int AnswerTimeout = 3000;   // ms for the server's answers to the line's settings
// A server that lets one client at a time record a port closes a second
// connection at once (ser2net after "Port already in use"): a connection
// still open after this long is ours.
constexpr int HeldCheck = 300;

RemoteAddress Address;
telnet::Stream& Telnet = *new telnet::Stream;  // the connection's: made anew at each open
std::uint32_t RateSet = 0;
bool SilenceSaid = false;  // a server that does not answer the settings is said once a run

bool Rfc2217() { return PortSettings.Remote == RemoteKind::Rfc2217; }

std::int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool Send(const unsigned char* bytes, std::size_t size) { return SendSocket(PortHandle, bytes, size); }

// The answers the decoder gathered, sent.
void Answer() {
    if (Telnet.ReplySize == 0) return;
    Send(Telnet.Reply, Telnet.ReplySize);
    Telnet.ReplySize = 0;
}

// Takes in what arrives within `waitMs` (the port's bytes before the purge
// are let go), until `done` says so: false when the connection closed or failed.
bool TakeIn(int waitMs, bool (*done)()) {
    static unsigned char scratch[4096];
    const std::int64_t until = NowMs() + waitMs;
    for (;;) {
        const long got = ReceiveSocket(PortHandle, scratch, sizeof scratch);
        if (got == 0 || got == -2) return false;
        if (got > 0 && Rfc2217()) telnet::Receive(Telnet, scratch, static_cast<std::size_t>(got), scratch);
        Answer();
        const std::int64_t left = until - NowMs();
        if ((done && done()) || left <= 0) return true;
        if (got < 0) WaitSocket(PortHandle, static_cast<int>(left));
    }
}

constexpr std::uint32_t LineAnswers = 1u << telnet::SetBaudRate | 1u << telnet::SetDataSize | 1u << telnet::SetParity |
                                      1u << telnet::SetStopSize;
bool LineAnswered() { return (Telnet.Com.Answered & LineAnswers) == LineAnswers; }

LineAnswer Answered() {
    const telnet::ComAnswers& com = Telnet.Com;
    return {LineAnswered(), com.BaudRate, com.DataSize, com.Parity, com.StopSize};
}

// Asks for `rate` (0: the one the port has) and the run's line, without flow
// control, DTR and RTS low, and the line errors reported; waits for the answers.
int AskForLine(std::uint32_t rate) {
    unsigned char out[160];
    std::size_t size = telnet::BaudRateCommand(out, rate);
    unsigned char dataSize = 8, parity = 1, stopSize = 1;
    ComPortLine(PortSettings.Line, dataSize, parity, stopSize);
    size += telnet::Command(out + size, telnet::SetDataSize, dataSize);
    size += telnet::Command(out + size, telnet::SetParity, parity);
    size += telnet::Command(out + size, telnet::SetStopSize, stopSize);
    for (const unsigned char control : {telnet::NoFlowControl, telnet::NoInboundFlowControl, telnet::DtrOff, telnet::RtsOff}) {
        size += telnet::Command(out + size, telnet::SetControl, control);
    }
    size += telnet::Command(out + size, telnet::SetLineStateMask, telnet::ErrorsAsked);
    Telnet.Com.Answered = 0;
    if (!Send(out, size) || !TakeIn(AnswerTimeout, LineAnswered)) return ECONNRESET;
    return LineAnswered() ? 0 : ETIMEDOUT;
}

int Connect(const char* name) {
    if (!ParseRemoteName(name, Address)) {
        SayOnceAGap("Fernschnittstelle in der Form rfc2217://HOST:PORT oder tcp://HOST:PORT angeben.\n");
        return EADDRNOTAVAIL;
    }
    std::string resolverText;
    std::intptr_t handle = -1;
    const int error = ConnectSocket(Address.Host.c_str(), Address.Port.c_str(), ConnectTimeout, handle, resolverText);
    if (!resolverText.empty()) {
        char line[256];
        std::snprintf(line, sizeof line, "%s: %s\n", Address.Host.c_str(), resolverText.c_str());
        SayOnceAGap(line);
    }
    if (error != 0) return error;
    PortHandle = handle;
    Telnet = telnet::Stream{};
    unsigned char opening[32];
    const bool begun = !Rfc2217() || Send(opening, telnet::Begin(Telnet, opening));
    if (!begun || !TakeIn(HeldCheck, nullptr)) {
        CloseSocket(handle);
        PortHandle = InvalidPortHandle;
        return EBUSY;
    }
    return 0;
}

int LineStateKnown() { return 0; }

int SetLine(int baudRate) {
    RateSet = static_cast<std::uint32_t>(baudRate);
    if (!Rfc2217()) return 0;  // the server's rate and line
    const int error = AskForLine(RateSet);
    if (error == ETIMEDOUT) {
        if (!SilenceSaid) {
            Print("%s beantwortet die Einstellungen nicht: Rate und Leitung nicht bestaetigt.\n", PortName(PortSettings));
        }
        SilenceSaid = true;
        return 0;
    }
    return error != 0 ? error : JudgeLineAnswer(Answered(), RateSet, PortSettings.Line);
}

int SetLineAtServerRate() {
    if (AskForLine(0) != 0 || JudgeLineAnswer(Answered(), Telnet.Com.BaudRate, PortSettings.Line) != 0) return EINVAL;
    RateSet = Telnet.Com.BaudRate;
    return 0;
}

unsigned RateThere() { return RateSet; }

int NoTimeouts() { return 0; }

void PurgeThere() {
    if (Rfc2217()) {
        unsigned char out[8];
        Send(out, telnet::Command(out, telnet::PurgeData, telnet::PurgeReceived));
    }
    TakeIn(0, nullptr);  // and what came before
}

void SetControlLine(ModemLine line, bool raised) {
    if (!Rfc2217()) return;
    unsigned char out[8];
    const unsigned char control = line == ModemLine::Dtr ? (raised ? telnet::DtrOn : telnet::DtrOff)
                                                         : (raised ? telnet::RtsOn : telnet::RtsOff);
    Send(out, telnet::Command(out, telnet::SetControl, control));
}

void Disconnect() { CloseSocket(PortHandle); }

OpenFault ClassifyConnectError(int code) {
    switch (code) {
        case 0: return OpenFault::None;
        case EBUSY: return OpenFault::AccessDenied;  // another client records it
        case ECONNREFUSED:
        case EHOSTUNREACH:
        case ENETUNREACH:
        case ETIMEDOUT:
        case ECONNRESET:
        case EADDRNOTAVAIL:
            return OpenFault::NotFound;
        default: return OpenFault::Other;
    }
}

// The name is the identity: HOST:PORT.
bool NameIsIdentity(const char*, std::string& identity, bool) {
    identity.clear();
    return true;
}
std::vector<std::string> NowhereElse(const std::string&, bool) { return {}; }
bool AlwaysSettled(const char*, bool) { return true; }

}  // namespace

const PortKind RemotePort = {Connect, LineStateKnown, SetLine, SetLineAtServerRate, RateThere, NoTimeouts, PurgeThere,
                             SetControlLine, Disconnect, ClassifyConnectError, NameIsIdentity, NowhereElse, AlwaysSettled};

bool ParseRemoteName(const char* name, RemoteAddress& address) {
    address = RemoteAddress{};
    address.Kind = RemoteKindOf(name);
    if (address.Kind == RemoteKind::None) return false;
    const std::string rest = std::strstr(name, "://") + 3;
    std::size_t colon = 0;
    if (!rest.empty() && rest[0] == '[') {  // [IPv6]:PORT
        const std::size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') return false;
        address.Host = rest.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = rest.rfind(':');
        if (colon == std::string::npos) return false;
        address.Host = rest.substr(0, colon);
        if (address.Host.find(':') != std::string::npos) return false;  // an IPv6 address needs its brackets
    }
    address.Port = rest.substr(colon + 1);
    if (address.Host.empty() || address.Host.find_first_of("/ \t") != std::string::npos || address.Port.empty() ||
        address.Port.size() > 5 || address.Port.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const long port = std::strtol(address.Port.c_str(), nullptr, 10);
    return port >= 1 && port <= 65535;
}

void ComPortLine(const LineShape& line, unsigned char& dataSize, unsigned char& parity, unsigned char& stopSize) {
    dataSize = static_cast<unsigned char>(line.DataBits);
    const char* const parities = "NOEMS";
    parity = static_cast<unsigned char>(std::strchr(parities, line.Parity) - parities + 1);
    stopSize = line.HalfStopBits == 4 ? 2 : line.HalfStopBits == 3 ? 3 : 1;
}

int JudgeLineAnswer(const LineAnswer& answer, std::uint32_t rate, const LineShape& line) {
    if (!answer.Answered) return ETIMEDOUT;
    unsigned char dataSize = 0, parity = 0, stopSize = 0;
    ComPortLine(line, dataSize, parity, stopSize);
    const long off = static_cast<long>(answer.Rate) - static_cast<long>(rate);
    const bool rateKept = (off < 0 ? -off : off) * 50 <= static_cast<long>(rate);  // 2 %, as a UART tolerates
    return rateKept && answer.DataSize == dataSize && answer.Parity == parity && answer.StopSize == stopSize ? 0 : EINVAL;
}

long RemoteReceive(unsigned char* buffer, std::size_t size) {
    const long got = ReceiveSocket(PortHandle, buffer, size);
    if (got <= 0) {
        errno = got == 0 ? 0 : got == -1 ? EAGAIN : EIO;
        return got == 0 ? 0 : -1;
    }
    if (!Rfc2217()) return got;
    const std::size_t kept = telnet::Receive(Telnet, buffer, static_cast<std::size_t>(got), buffer);
    Answer();
    if (kept > 0) return static_cast<long>(kept);
    errno = EAGAIN;  // commands alone
    return -1;
}

bool RemoteLineCounters(LineCounters& counters) {
    if (!Rfc2217()) return false;
    const telnet::ComAnswers& com = Telnet.Com;
    counters.Overrun = com.Overruns;
    counters.Frame = com.FramingErrors;
    counters.Break = com.Breaks;
    counters.Parity = com.ParityErrors;
    return true;
}

bool RemoteReadBlock(unsigned char* buffer, std::uint32_t length, ReadResult& result, void (*beforeWait)()) {
    constexpr std::int64_t WakeInterval = 100;  // ms: a key or a stop is seen this soon
    result = ReadResult{};
    const std::int64_t start = NowMs();
    bool handedOn = !beforeWait;
    for (;;) {
        const long got = RemoteReceive(buffer + result.Delivered, length - result.Delivered);
        if (got > 0) {
            result.Delivered += static_cast<std::uint32_t>(got);
            if (result.Delivered < length) continue;
            result.End = ReadEnd::Complete;
            return true;
        }
        if (got == 0 || errno == EIO) {
            result.End = ReadEnd::DeviceLost;
            return false;
        }
        const std::int64_t elapsed = NowMs() - start;
        const std::int64_t left = ReadWaitLeft(PortTimeouts, BlockSize, elapsed, 0, false);
        if (result.Delivered > 0 || EndDue() || KeyWaiting() || left <= 0) {
            result.End = result.Delivered > 0 ? ReadEnd::Paused : left <= 0 ? ReadEnd::TimedOut : ReadEnd::Stopped;
            return false;
        }
        if (!handedOn && elapsed >= HandOnAfter) beforeWait(), handedOn = true;
        WaitSocket(PortHandle, static_cast<int>(std::min(left, handedOn ? WakeInterval : HandOnAfter)));
    }
}
