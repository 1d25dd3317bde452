#include "telnet.h"

#include <initializer_list>

namespace telnet {

namespace {

enum State { InData, AfterIac, InOption, InSub, InSubAfterIac };

// The options the program does itself, and those it lets the server do.
bool OursToDo(unsigned char option) { return option == Binary || option == SuppressGoAhead || option == ComPort; }
bool HisToDo(unsigned char option) { return option == Binary || option == SuppressGoAhead; }

void Say(Stream& stream, unsigned char verb, unsigned char option) {
    if (stream.ReplySize + 3 > ReplyLimit) return;  // a flood of requests: the rest goes unanswered
    unsigned char* at = stream.Reply + stream.ReplySize;
    at[0] = Iac, at[1] = verb, at[2] = option;
    stream.ReplySize += 3;
}

// An option refused once stays refused without another word.
void Refuse(Stream& stream, unsigned char verb, unsigned char option) {
    const unsigned char bit = verb == Wont ? 1 : 2;
    if (stream.Refused[option] & bit) return;
    stream.Refused[option] |= bit;
    Say(stream, verb, option);
}

void Negotiate(Stream& stream, unsigned char verb, unsigned char option) {
    switch (verb) {
        case Do:
            if (!OursToDo(option)) return Refuse(stream, Wont, option);
            if (option == ComPort) stream.ComPortAgreed = true;
            if (!stream.Us[option]) stream.Us[option] = true, Say(stream, Will, option);
            return;
        case Dont:
            if (option == ComPort) stream.ComPortAgreed = false;
            if (stream.Us[option]) stream.Us[option] = false, Say(stream, Wont, option);
            return;
        case Will:
            if (!HisToDo(option)) return Refuse(stream, Dont, option);
            if (!stream.Him[option]) stream.Him[option] = true, Say(stream, Do, option);
            return;
        default:  // Wont
            if (stream.Him[option]) stream.Him[option] = false, Say(stream, Dont, option);
            return;
    }
}

std::uint32_t Big(const unsigned char* value) {
    return std::uint32_t{value[0]} << 24 | std::uint32_t{value[1]} << 16 | std::uint32_t{value[2]} << 8 | value[3];
}

// A whole subnegotiation: the server's answers of the COM port option.
void Subnegotiated(Stream& stream) {
    if (stream.SubTooLong || stream.SubSize < 3 || stream.Sub[0] != ComPort || stream.Sub[1] <= ServerAnswer) return;
    const unsigned command = stream.Sub[1] - ServerAnswer;
    const unsigned char* value = stream.Sub + 2;
    const std::size_t size = stream.SubSize - 2;
    ComAnswers& com = stream.Com;
    if (command < 32) com.Answered |= 1u << command;
    switch (command) {
        case SetBaudRate:
            if (size >= 4) com.BaudRate = Big(value);
            break;
        case SetDataSize: com.DataSize = value[0]; break;
        case SetParity: com.Parity = value[0]; break;
        case SetStopSize: com.StopSize = value[0]; break;
        case NotifyLineState:
            com.Overruns += (value[0] & OverrunError) != 0;
            com.ParityErrors += (value[0] & ParityError) != 0;
            com.FramingErrors += (value[0] & FramingError) != 0;
            com.Breaks += (value[0] & BreakDetect) != 0;
            break;
        default: break;
    }
}

// The command after an IAC (not IAC itself): an option's verb, a
// subnegotiation's start, or one without an option (NOP, GA, SE): nothing of the port's.
void Commanded(Stream& stream, unsigned char byte) {
    stream.State = InData;
    if (byte >= Will && byte <= Dont) {
        stream.Verb = byte;
        stream.State = InOption;
    } else if (byte == Sb) {
        stream.SubSize = 0;
        stream.SubTooLong = false;
        stream.State = InSub;
    }
}

void Keep(Stream& stream, unsigned char byte) {
    if (stream.SubSize < SubnegotiationLimit) {
        stream.Sub[stream.SubSize++] = byte;
    } else {
        stream.SubTooLong = true;
    }
}

}  // namespace

std::size_t Begin(Stream& stream, unsigned char* out) {
    std::size_t size = 0;
    for (const unsigned char option : {ComPort, Binary, SuppressGoAhead}) {
        stream.Us[option] = true;
        out[size++] = Iac, out[size++] = Will, out[size++] = option;
        if (!HisToDo(option)) continue;
        stream.Him[option] = true;
        out[size++] = Iac, out[size++] = Do, out[size++] = option;
    }
    return size;
}

std::size_t Command(unsigned char* out, ComCommand command, const unsigned char* value, std::size_t size) {
    std::size_t at = 0;
    out[at++] = Iac, out[at++] = Sb, out[at++] = ComPort, out[at++] = command;
    for (std::size_t i = 0; i < size; ++i) {
        out[at++] = value[i];
        if (value[i] == Iac) out[at++] = Iac;
    }
    out[at++] = Iac, out[at++] = Se;
    return at;
}

std::size_t Command(unsigned char* out, ComCommand command, unsigned char value) { return Command(out, command, &value, 1); }

std::size_t BaudRateCommand(unsigned char* out, std::uint32_t rate) {
    const unsigned char value[4] = {static_cast<unsigned char>(rate >> 24), static_cast<unsigned char>(rate >> 16),
                                    static_cast<unsigned char>(rate >> 8), static_cast<unsigned char>(rate)};
    return Command(out, SetBaudRate, value, 4);
}

std::size_t Receive(Stream& stream, const unsigned char* in, std::size_t size, unsigned char* data) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned char byte = in[i];
        switch (stream.State) {
            case InData:
                if (byte == Iac) {
                    stream.State = AfterIac;
                    break;
                }
                // In text mode a server sends CR as CR NUL: the NUL is none of the port's.
                if (stream.AfterCr && byte == 0 && !stream.Him[Binary]) {
                    stream.AfterCr = false;
                    break;
                }
                stream.AfterCr = byte == '\r';
                data[kept++] = byte;
                break;
            case AfterIac:
                if (byte == Iac) {
                    stream.State = InData;
                    stream.AfterCr = false;
                    data[kept++] = byte;
                } else {
                    Commanded(stream, byte);
                }
                break;
            case InOption:
                Negotiate(stream, stream.Verb, byte);
                stream.State = InData;
                break;
            case InSub:
                if (byte == Iac) {
                    stream.State = InSubAfterIac;
                } else {
                    Keep(stream, byte);
                }
                break;
            default:  // InSubAfterIac
                if (byte == Iac) {
                    Keep(stream, byte);
                    stream.State = InSub;
                    break;
                }
                // SE ends it; any other command ends it unfinished (never an
                // endless one that swallows the port's bytes), read as a command.
                if (byte == Se) Subnegotiated(stream);
                Commanded(stream, byte);
                break;
        }
    }
    return kept;
}

}  // namespace telnet
