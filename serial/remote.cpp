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
// An RFC 2217 server opens the telnet negotiation itself as soon as it takes
// a connection (ser2net at once): nothing is sent to one that has not within
// this time, nor to one whose first byte is no telnet command. A raw
// accepter would hand whatever the program sent to the device.
constexpr int ServerFirst = 2000;
// A server that lets one client at a time record a port closes a second
// connection at once (ser2net after "Port already in use"): a connection
// still open after this long (and five times its connect's time) is ours.
constexpr int HeldCheck = 300;

RemoteAddress Address;
std::string LastAddress;  // numeric: the one the last connection used
telnet::Stream& Telnet = *new telnet::Stream;  // the connection's: made anew at each open
std::uint32_t RateSet = 0;
bool SilenceSaid = false;  // a server that does not answer the settings is said once a run
bool Broken = false;       // a command could not be sent whole: the connection is lost
bool FirstSeen = false, FirstWasCommand = false;  // the server's first byte, and whether it was IAC
// tcp://: the port's bytes that came while the connection was looked at, for the first reads.
constexpr std::size_t EarlyLimit = 256 * 1024;
unsigned char* const Early = new unsigned char[EarlyLimit];
std::size_t EarlySize = 0, EarlyTaken = 0;

bool Rfc2217() { return PortSettings.Remote == RemoteKind::Rfc2217; }

std::int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool Send(const unsigned char* bytes, std::size_t size) {
    Broken = Broken || !SendSocket(PortHandle, bytes, size);  // a command cut short would reach the port as data
    return !Broken;
}

// The answers the decoder gathered, sent.
void Answer() {
    if (Telnet.ReplySize == 0) return;
    Send(Telnet.Reply, Telnet.ReplySize);
    Telnet.ReplySize = 0;
}

// Takes in what arrives within `waitMs`, until `done` says so: the telnet
// stream's port bytes before the purge are let go, a raw stream's are kept
// for the first reads (what does not fit stays in the connection). False
// when the connection closed or failed.
bool TakeIn(int waitMs, bool (*done)()) {
    static unsigned char scratch[4096];
    const std::int64_t until = NowMs() + waitMs;
    for (;;) {
        unsigned char* into = Rfc2217() ? scratch : Early + EarlySize;
        const std::size_t room = Rfc2217() ? sizeof scratch : std::min(sizeof scratch, EarlyLimit - EarlySize);
        const long got = room > 0 ? ReceiveSocket(PortHandle, into, room) : -1;
        if (got == 0 || got == -2 || Broken) return false;
        if (got > 0 && !FirstSeen) FirstSeen = true, FirstWasCommand = into[0] == telnet::Iac;
        if (got > 0 && Rfc2217()) telnet::Receive(Telnet, scratch, static_cast<std::size_t>(got), scratch);
        if (got > 0 && !Rfc2217()) EarlySize += static_cast<std::size_t>(got);
        Answer();
        const std::int64_t left = until - NowMs();
        if ((done && done()) || left <= 0) return !Broken;
        if (got < 0) WaitSocket(PortHandle, static_cast<int>(std::min<std::int64_t>(left, room > 0 ? left : 10)));
    }
}

bool ServerSpoke() { return FirstSeen; }
bool ComPortAgreed() { return Telnet.ComPortAgreed; }

constexpr std::uint32_t LineAnswers = 1u << telnet::SetBaudRate | 1u << telnet::SetDataSize | 1u << telnet::SetParity |
                                      1u << telnet::SetStopSize;
bool LineAnswered() { return (Telnet.Com.Answered & LineAnswers) == LineAnswers; }
bool PurgeAnswered() { return (Telnet.Com.Answered & 1u << telnet::PurgeData) != 0; }

LineAnswer Answered() {
    const telnet::ComAnswers& com = Telnet.Com;
    return {LineAnswered(), com.BaudRate, com.DataSize, com.Parity, com.StopSize};
}

// Asks for `rate` (0: the one the port has) and the run's line, without flow
// control, DTR and RTS low, and the line errors reported; waits for the
// answers. Nothing is asked of a server that has not agreed to the COM port
// option (ETIMEDOUT, as for one that does not answer).
int AskForLine(std::uint32_t rate) {
    if (!ComPortAgreed() && !TakeIn(AnswerTimeout, ComPortAgreed)) return ECONNRESET;
    if (!ComPortAgreed()) return ETIMEDOUT;
    unsigned char out[160];
    std::size_t size = telnet::BaudRateCommand(out, rate);
    unsigned char dataSize = 8, parity = 1, stopSize = 1;
    ComPortLine(PortSettings.Line, dataSize, parity, stopSize);
    size += telnet::Command(out + size, telnet::SetDataSize, dataSize);
    size += telnet::Command(out + size, telnet::SetParity, parity);
    size += telnet::Command(out + size, telnet::SetStopSize, stopSize);
    for (const unsigned char control : {telnet::NoFlowControl, telnet::NoInboundFlowControl, telnet::DtrOff, telnet::RtsOff}) {
        size += telnet::Command(out + size, telnet::SetControl, control);  // cppcheck-suppress useStlAlgorithm
    }
    size += telnet::Command(out + size, telnet::SetLineStateMask, telnet::ErrorsAsked);
    Telnet.Com.Answered = 0;
    if (!Send(out, size) || !TakeIn(AnswerTimeout, LineAnswered)) return ECONNRESET;
    return LineAnswered() ? 0 : ETIMEDOUT;
}

int Refused(std::intptr_t handle, int error) {
    CloseSocket(handle);
    PortHandle = InvalidPortHandle;
    return error;
}

int Connect(const char* name) {
    if (!ParseRemoteName(name, Address)) {
        SayOnceAGap("Fernschnittstelle in der Form rfc2217://HOST:PORT oder tcp://HOST:PORT angeben.\n");
        return EADDRNOTAVAIL;
    }
    std::string resolverText, address;
    std::intptr_t handle = -1;
    const std::int64_t start = NowMs();
    // The address the last connection used first: a name server gone meanwhile keeps no reconnect waiting.
    int error = LastAddress.empty() ? ENOENT
                                    : ConnectSocket(LastAddress.c_str(), Address.Port.c_str(), ConnectTimeout, handle, resolverText, address);
    if (error != 0) error = ConnectSocket(Address.Host.c_str(), Address.Port.c_str(), ConnectTimeout, handle, resolverText, address);
    if (error == 0) LastAddress = address;
    if (!resolverText.empty()) {
        char line[256];
        std::snprintf(line, sizeof line, "%s: %s\n", Address.Host.c_str(), resolverText.c_str());
        SayOnceAGap(line);
    }
    if (error != 0) return error;
    const int held = static_cast<int>(std::max<std::int64_t>(HeldCheck, 5 * (NowMs() - start)));
    PortHandle = handle;
    Telnet = telnet::Stream{};
    Broken = FirstSeen = FirstWasCommand = false;
    EarlySize = EarlyTaken = 0;
    if (!Rfc2217()) return TakeIn(held, nullptr) ? 0 : Refused(handle, EBUSY);
    if (!TakeIn(ServerFirst, ServerSpoke)) return Refused(handle, EBUSY);
    if (!FirstWasCommand) {
        char line[256];
        std::snprintf(line, sizeof line, "%s verhandelt kein RFC 2217: nichts gesendet (rohe Bytes: tcp://).\n", name);
        SayOnceAGap(line);
        return Refused(handle, EPROTONOSUPPORT);
    }
    unsigned char opening[32];
    if (!Send(opening, telnet::Begin(Telnet, opening)) || !TakeIn(held, nullptr)) return Refused(handle, EBUSY);
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
    if (!Rfc2217() || !ComPortAgreed()) return;  // a raw stream's bytes are the port's, and kept
    unsigned char out[8];
    Telnet.Com.Answered &= ~(1u << telnet::PurgeData);
    if (Send(out, telnet::Command(out, telnet::PurgeData, telnet::PurgeReceived))) TakeIn(1000, PurgeAnswered);  // and what came before it
}

void SetControlLine(ModemLine line, bool raised) {
    if (!Rfc2217() || !ComPortAgreed()) return;
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
        case EPROTONOSUPPORT:  // no RFC 2217 there (said)
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
const CodeMeaning NetworkErrors[] = {{EIO, "Verbindung gestoert"}};  // (any other a socket call gave)
std::string NetworkErrorText(int code) { return code == EIO ? CodeText(code, NetworkErrors) : CodeText(code); }

}  // namespace

const PortKind RemotePort = {Connect, LineStateKnown, SetLine, SetLineAtServerRate, RateThere, NoTimeouts, PurgeThere,
                             SetControlLine, Disconnect, ClassifyConnectError, NameIsIdentity, NowhereElse, AlwaysSettled,
                             NetworkErrorText};

bool ParseRemoteName(const char* name, RemoteAddress& address) {
    address = RemoteAddress{};
    address.Kind = RemoteKindOf(name);
    if (address.Kind == RemoteKind::None) return false;
    const std::string rest = name + (address.Kind == RemoteKind::Rfc2217 ? 10 : 6);  // after rfc2217:// or tcp://
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
    const std::int64_t off = std::int64_t{answer.Rate} - std::int64_t{rate};
    const bool rateKept = (off < 0 ? -off : off) * 50 <= std::int64_t{rate};  // 2 %, as a UART tolerates
    return rateKept && answer.DataSize == dataSize && answer.Parity == parity && answer.StopSize == stopSize ? 0 : EINVAL;
}

long RemoteReceive(unsigned char* buffer, std::size_t size) {
    if (EarlyTaken < EarlySize) {  // what came while the connection was looked at, first
        const std::size_t taken = std::min(size, EarlySize - EarlyTaken);
        std::memcpy(buffer, Early + EarlyTaken, taken);
        EarlyTaken += taken;
        return static_cast<long>(taken);
    }
    if (Broken) {
        errno = EIO;
        return -1;
    }
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
