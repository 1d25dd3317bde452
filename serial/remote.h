// remote.h: a serial port another machine exports over the network, named
// rfc2217://HOST:PORT (the telnet COM port option: the rate, the line, DTR
// and RTS are set there, and the line errors come back) or tcp://HOST:PORT
// (the raw bytes; rate and line are the server's). HOST is a name, an IPv4
// address or an IPv6 address in brackets. The connection is the port: one
// that closes, resets or goes silent is a lost port, opened again as a
// device is. The logic is one for every system; socket_<system>.cpp connects.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "serial.h"

struct RemoteAddress {
    RemoteKind Kind = RemoteKind::None;
    std::string Host, Port;
};
// The kind a port name's form gives (None: a local port).
inline RemoteKind RemoteKindOf(const char* name) {
    const auto starts = [name](const char* prefix) {
        for (std::size_t i = 0; prefix[i]; ++i) {  // a shorter name ends at its NUL
            const char c = name[i] >= 'A' && name[i] <= 'Z' ? static_cast<char>(name[i] + 32) : name[i];
            if (c != prefix[i]) return false;
        }
        return true;
    };
    return starts("rfc2217://") ? RemoteKind::Rfc2217 : starts("tcp://") ? RemoteKind::Tcp : RemoteKind::None;
}
// A remote name taken apart; false when its host or port is missing or malformed.
bool ParseRemoteName(const char* name, RemoteAddress& address);

// The COM port option's answers a rate needs: whether the server set the
// line as asked (the rate within 2 %, the data bits, parity and stop bits as asked).
struct LineAnswer {
    bool Answered = false;  // the server said its rate, data bits, parity and stop bits
    std::uint32_t Rate = 0;
    unsigned char DataSize = 0, Parity = 0, StopSize = 0;
};
// 0: the line as asked; EINVAL: the server set another; ETIMEDOUT: it did not say.
int JudgeLineAnswer(const LineAnswer& answer, std::uint32_t rate, const LineShape& line);
// The COM port option's values for a line: data size, parity (1 none, 2 odd,
// 3 even, 4 mark, 5 space), stop size (1 one, 2 two, 3 one and a half).
void ComPortLine(const LineShape& line, unsigned char& dataSize, unsigned char& parity, unsigned char& stopSize);

// The receive step of the read path: like read(2) on the connection, the
// telnet commands taken out (-1 with errno EAGAIN when only they came, or
// nothing; -1 with errno EIO when the connection failed; 0 when it closed).
long RemoteReceive(unsigned char* buffer, std::size_t size);
bool RemoteLineCounters(LineCounters& counters);
// A whole read of the port, as ReadBlock does it, for a system whose own
// read cannot take a connection (Windows): what has arrived, else a wait of
// at most the read's time-outs that a key or a stop ends within 100 ms.
bool RemoteReadBlock(unsigned char* buffer, std::uint32_t length, ReadResult& result, void (*beforeWait)());
