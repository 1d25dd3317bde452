// telnet.h: the byte stream of a port that a server exports over the network
// with the telnet COM port option (rfc2217://), undone into the port's own
// bytes, and the commands this program sends there. Plain functions over
// bytes: no socket, no clock.
//
// The program only receives. It offers and asks for the binary mode, the
// suppressed go-ahead and the COM port option, and refuses every other
// option (each once: a server that keeps asking gets no answer flood).
// Commands and subnegotiations never reach the port's bytes; IAC IAC is one
// 0xFF byte. A subnegotiation longer than SubnegotiationLimit is read to its
// end and ignored.
#pragma once
#include <cstddef>
#include <cstdint>

namespace telnet {

inline constexpr unsigned char Iac = 255, Dont = 254, Do = 253, Wont = 252, Will = 251, Sb = 250, Se = 240;
inline constexpr unsigned char Binary = 0, SuppressGoAhead = 3, ComPort = 44;

// The COM port option's commands (the server answers each with it + 100).
enum ComCommand : unsigned char {
    SetBaudRate = 1, SetDataSize = 2, SetParity = 3, SetStopSize = 4, SetControl = 5,
    NotifyLineState = 6, NotifyModemState = 7, SetLineStateMask = 10, PurgeData = 12,
};
inline constexpr unsigned char ServerAnswer = 100;
// SET-CONTROL values, and the line-state bits the program asks to be told.
enum Control : unsigned char { NoFlowControl = 1, DtrOn = 8, DtrOff = 9, RtsOn = 11, RtsOff = 12, NoInboundFlowControl = 14 };
enum LineStateBit : unsigned char { OverrunError = 2, ParityError = 4, FramingError = 8, BreakDetect = 16 };
inline constexpr unsigned char ErrorsAsked = OverrunError | ParityError | FramingError | BreakDetect;
inline constexpr unsigned char PurgeReceived = 1;  // PURGE-DATA: the server's receive buffer

inline constexpr std::size_t SubnegotiationLimit = 16;
inline constexpr std::size_t ReplyLimit = 96;

// What the server said of the COM port, as far as it answered.
struct ComAnswers {
    std::uint32_t Answered = 0;   // a bit (1 << command) for each command answered
    std::uint32_t BaudRate = 0;   // the rate the server set
    unsigned char DataSize = 0, Parity = 0, StopSize = 0;
    // Line errors the server reported (NOTIFY-LINESTATE), each counted once a report.
    std::uint32_t Overruns = 0, ParityErrors = 0, FramingErrors = 0, Breaks = 0;
};

struct Stream {
    // Options: what the program does (Us) and what it lets the server do (Him).
    bool Us[256] = {}, Him[256] = {};
    unsigned char Refused[256] = {};  // 1: WONT said, 2: DONT said
    int State = 0;                 // where the decoder is in a command
    unsigned char Verb = 0;        // the WILL, WONT, DO or DONT being read
    unsigned char Sub[SubnegotiationLimit] = {};
    std::size_t SubSize = 0;
    bool SubTooLong = false;
    bool AfterCr = false;          // a CR in text mode: a NUL after it is no byte of the port
    bool ComPortAgreed = false;    // the server asked for the COM port option (DO), or agreed to it
    unsigned char Reply[ReplyLimit] = {};  // the answers to send, gathered by Receive
    std::size_t ReplySize = 0;
    ComAnswers Com;
};

// The opening: the options the program offers and asks for, into `out`
// (at least 32 bytes); their bytes, and `stream` notes them as asked.
std::size_t Begin(Stream& stream, unsigned char* out);
// A COM port command with its value (IAC in it doubled), into `out` (at
// least 6 + 2 * size bytes): the bytes.
std::size_t Command(unsigned char* out, ComCommand command, const unsigned char* value, std::size_t size);
std::size_t Command(unsigned char* out, ComCommand command, unsigned char value);
std::size_t BaudRateCommand(unsigned char* out, std::uint32_t rate);  // 0 asks for the rate in use

// Takes `size` bytes the server sent; the port's bytes among them go to
// `data` (which may be `in` itself: never more than `size`), their count
// returned. Answers to the server's requests are added to stream.Reply.
std::size_t Receive(Stream& stream, const unsigned char* in, std::size_t size, unsigned char* data);

}  // namespace telnet
