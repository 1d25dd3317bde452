// The program's pure rules: arguments and options, the rates an 8250 makes,
// line errors, the log's creation and the block read itself.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "../app/capture.h"
#include "../console/console.h"
#include "../app/log_file.h"
#include "../app/recording.h"
#include "../app/ring.h"
#include "../app/settings.h"
#include "../app/show.h"
#include "../app/time_index.h"
#include "../app/view.h"
#include "../serial/line_linux.h"
#include "../serial/port_users.h"
#include "../serial/remote.h"
#include "../serial/serial.h"
#include "../serial/serial_platform.h"
#include "../serial/telnet.h"
#include "harness.h"

namespace {

Settings Parse(std::vector<const char*> arguments, const char* prefix = "/", const char* folder = "/dev/") {
    arguments.insert(arguments.begin(), "lumtrex");
    Fallbacks fallbacks;
    return ParseArguments(static_cast<int>(arguments.size()), arguments.data(), prefix, folder, fallbacks);
}

struct ArgumentRow {
    std::vector<const char*> Arguments;
    const char* Port;
    int Rate;
    bool Dtr, Rts;
};

void PrintTo(const ArgumentRow& row, std::ostream* out) {
    for (const char* argument : row.Arguments) *out << '"' << std::string(argument).substr(0, 20) << "\" ";
}

class Arguments : public ::testing::TestWithParam<ArgumentRow> {};

TEST_P(Arguments, GiveThePortRateAndLines) {
    const ArgumentRow& row = GetParam();
    const Settings settings = Parse(row.Arguments);
    EXPECT_STREQ(PortName(settings), row.Port);
    EXPECT_EQ(settings.BaudRate, row.Rate);
    EXPECT_EQ(settings.DtrOption, row.Dtr);
    EXPECT_EQ(settings.RtsOption, row.Rts);
}

const std::string Long(10000, '7');

INSTANTIATE_TEST_SUITE_P(
    Rules, Arguments,
    ::testing::Values(ArgumentRow{{}, "COM1", 9600, false, false},
                      ArgumentRow{{"9", "19200"}, "COM1", 19200, false, false},
                      ArgumentRow{{"0", "19200"}, "COM1", 19200, false, false},
                      ArgumentRow{{"abc", "19200"}, "/dev/abc", 19200, false, false},
                      ArgumentRow{{"dev/ttyUSB0"}, "dev/ttyUSB0", 9600, false, false},
                      ArgumentRow{{" +8x", "19200x"}, "COM8", 19200, false, false},
                      ArgumentRow{{"2", "56000"}, "COM2", 9600, false, false},
                      // Rates common adapters silently replace by another: never offered.
                      ArgumentRow{{"2", "2500000"}, "COM2", 9600, false, false},
                      // Each option only in its place and spelt exactly: the fuzz run's rule, and RealDrivers.
                      ArgumentRow{{"1", "19200", "-d1", "-c1", "-c1"}, "COM1", 19200, true, true},
                      ArgumentRow{{"1", "19200", "-c1"}, "COM1", 19200, false, false},
                      // Values beyond 32 bits are out of range, never wrapped into range.
                      ArgumentRow{{"4294967298", "4294976896"}, "COM1", 9600, false, false},
                      ArgumentRow{{"com12", "150"}, "COM12", 150, false, false},
                      ArgumentRow{{"COM255", "115200"}, "COM255", 115200, false, false},
                      ArgumentRow{{"COM256", "14400"}, "/dev/COM256", 14400, false, false},
                      ArgumentRow{{"COM0", "28800"}, "/dev/COM0", 28800, false, false},
                      ArgumentRow{{"COM 3", "300"}, "/dev/COM 3", 300, false, false},
                      ArgumentRow{{"com7:", "300"}, "COM7", 300, false, false},
                      ArgumentRow{{"COM7::", "300"}, "/dev/COM7::", 300, false, false},
                      ArgumentRow{{"/dev/ttyUSB0", "57600"}, "/dev/ttyUSB0", 57600, false, false},
                      ArgumentRow{{"", ""}, "COM1", 9600, false, false},
                      ArgumentRow{{"\xc3\xa4\xff", "\xe2\x82\xac"}, "COM1", 9600, false, false},
                      ArgumentRow{{Long.c_str(), Long.c_str()}, "COM1", 9600, false, false}));

// Windows knows device paths by their prefix only, and no bare names: what
// is no port there is COM1 (which the user is told: StartTexts).
// What stands in 3rd and 4th place and raises nothing: said, unless it clearly means "not raised".
TEST(ArgumentRules, AThirdOrFourthArgumentThatRaisesNothingIsSaid) {
    const struct {
        std::vector<const char*> Arguments;
        const char *Dtr, *Rts;
    } rows[] = {{{"1", "9600", "hour"}, "hour", nullptr}, {{"1", "9600", "-c1"}, "-c1", nullptr},
                {{"1", "9600", "x", "-c1"}, nullptr, nullptr}, {{"1", "9600", "-d0", "-c0"}, nullptr, nullptr},
                {{"1", "9600", "-", "-d1"}, nullptr, "-d1"}, {{"1", "9600", "-d1", "-C1"}, nullptr, "-C1"}};
    for (const auto& row : rows) {
        std::vector<const char*> arguments = row.Arguments;
        arguments.insert(arguments.begin(), "lumtrex");
        Fallbacks fallbacks;
        ParseArguments(static_cast<int>(arguments.size()), arguments.data(), "/", "/dev/", fallbacks);
        EXPECT_STREQ(fallbacks.Dtr, row.Dtr) << row.Arguments[2];
        EXPECT_STREQ(fallbacks.Rts, row.Rts) << row.Arguments[2];
    }
}

TEST(ArgumentRules, WindowsNames) {
    const char* const prefix = "\\\\.\\";
    EXPECT_STREQ(PortName(Parse({"\\\\.\\COM20"}, prefix, "")), "\\\\.\\COM20");
    EXPECT_STREQ(PortName(Parse({"/dev/ttyACM1"}, prefix, "")), "COM1");
    EXPECT_STREQ(PortName(Parse({"ttyUSB0"}, prefix, "")), "COM1");
    EXPECT_STREQ(PortName(Parse({"COM12:"}, prefix, "")), "COM12");
}

// Options anywhere, taken out before the positional arguments are read, which
// keep their order; help and the version win over a capture, a bad option
// over everything. (Their values at work: the --log and --baud rows end to end.)
TEST(ArgumentRules, OptionsAreTakenOutWhereverTheyStand) {
    struct Row {
        std::vector<const char*> Arguments;
        Request Asked;
        std::vector<std::string> Left;  // the positional arguments after
    };
    const Row rows[] = {
        {{"--no-reconnect", "3", "--log", "a.log", "19200", "--baud=74880", "-d1"}, Request::Capture, {"3", "19200", "-d1"}},
        {{"-h", "2"}, Request::Help, {"-h", "2"}}, {{"1", "-?"}, Request::Capture, {"1", "-?"}},
        {{"1", "--help"}, Request::Help, {"1"}}, {{"--list", "--version"}, Request::Version, {}},
        {{"--list", "2"}, Request::List, {"2"}}, {{"--help", "--bogus"}, Request::BadOption, {}},
        {{"--version=1"}, Request::BadOption, {}}, {{"--"}, Request::BadOption, {}},
        {{"--log"}, Request::BadOption, {}}, {{"--log", "--list"}, Request::BadOption, {}},
        {{"--baud", "49"}, Request::BadOption, {}}, {{"--baud", "4000001"}, Request::BadOption, {}},
        {{"--baud", "+9600"}, Request::BadOption, {}}, {{"--baud", "9600x"}, Request::BadOption, {}},
        {{"--line", "7e1", "3"}, Request::Capture, {"3"}}, {{"--line=5n1.5"}, Request::Capture, {}},
        {{"--line=9N1"}, Request::BadOption, {}}, {{"--line", "7X1"}, Request::BadOption, {}},
        {{"--line", "8N3"}, Request::BadOption, {}}, {{"--line", "8N"}, Request::BadOption, {}},
        {{"--line="}, Request::BadOption, {}}, {{"--line", "8N1.5x"}, Request::BadOption, {}},
        {{"--for=7d", "--bytes", "5000", "--no-keys"}, Request::Capture, {}}, {{"--for", "0"}, Request::BadOption, {}},
        {{"--for=90x"}, Request::BadOption, {}}, {{"--for=s"}, Request::BadOption, {}},
        {{"--bytes", "10K"}, Request::BadOption, {}}, {{"--no-keys=1"}, Request::BadOption, {}},
        {{"--for=36500d"}, Request::Capture, {}}, {{"--for=36501d"}, Request::BadOption, {}},  // beyond the clock's reach
        {{"--split", "1K"}, Request::Capture, {}}, {{"--split", "100"}, Request::BadOption, {}},  // parts of a byte or two
    };
    for (const Row& row : rows) {
        std::vector<const char*> argv = row.Arguments;
        argv.insert(argv.begin(), "lumtrex");
        int argc = static_cast<int>(argv.size());
        const Options options = TakeOptions(argc, argv.data());
        EXPECT_EQ(options.Asked, row.Asked) << row.Arguments[0];
        EXPECT_EQ(std::vector<std::string>(argv.begin() + 1, argv.begin() + argc), row.Left) << row.Arguments[0];
    }
}

// The hint at DTR: only for a CDC-ACM board, DTR low, silent for 5 s.
TEST(RemotePort, TakesItsNameApartAndUndoesTheTelnetStreamExactly) {
    // name: kind, host, port ("" where refused)
    const struct {
        const char* Name;
        RemoteKind Kind;
        const char* Host;
        const char* Port;
    } names[] = {
        {"rfc2217://lab-7.example:4001", RemoteKind::Rfc2217, "lab-7.example", "4001"},
        {"TCP://10.0.0.5:2000", RemoteKind::Tcp, "10.0.0.5", "2000"},
        {"rfc2217://[fe80::1%eth0]:65535", RemoteKind::Rfc2217, "fe80::1%eth0", "65535"},
        {"rfc2217://fe80::1:4001", RemoteKind::Rfc2217, "", ""},  // an IPv6 address without brackets
        {"tcp://host", RemoteKind::Tcp, "", ""}, {"tcp://:4001", RemoteKind::Tcp, "", ""},
        {"tcp://host:0", RemoteKind::Tcp, "", ""}, {"tcp://host:65536", RemoteKind::Tcp, "", ""},
        {"tcp://host:40x1", RemoteKind::Tcp, "", ""}, {"tcp://[::1:4001", RemoteKind::Tcp, "", ""},
        {"tcp:/host:1", RemoteKind::None, "", ""}, {"/dev/ttyUSB0", RemoteKind::None, "", ""},
    };
    for (const auto& row : names) {
        RemoteAddress address;
        EXPECT_EQ(RemoteKindOf(row.Name), row.Kind) << row.Name;
        EXPECT_EQ(ParseRemoteName(row.Name, address), *row.Host != 0) << row.Name;
        if (*row.Host) { EXPECT_EQ(address.Host + " " + address.Port, std::string(row.Host) + " " + row.Port); }
    }
    // The server's bytes, in pieces: the port's bytes alone, IAC IAC one 0xFF, every option but three refused once.
    using namespace telnet;
    const std::vector<std::vector<unsigned char>> pieces = {
        {'a', Iac, Iac, 'b', Iac},                            // IAC at a piece's end
        {Iac, 'c', Iac, Will, 1, Iac, Do, 24, Iac, Will, 1},  // ECHO and TERMINAL-TYPE refused, ECHO only once
        {Iac, Sb, ComPort, 101, 0, 1, 0xc2, 0, Iac, Se, 'd'},  // the rate set: 115200
        {Iac, Sb, ComPort, 106, ParityError | BreakDetect, Iac, Se},
        {Iac, Sb, 24, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, Iac, Se, '\r', 0},  // too long: ignored
        {Iac, Sb, ComPort, 101, 0, 0, 0, Iac, Iac, Iac, Se, Iac, 241, 'e'},  // IAC IAC inside; a NOP
        {Iac, Sb, ComPort, 101, 1, 2, 3, 4, Iac, 241, 'f'},  // never ended: the next command ends it, unread
    };
    Stream stream;
    unsigned char opening[32], out[16];
    EXPECT_EQ(Begin(stream, opening), 15u);
    std::string data, replies;
    for (const auto& piece : pieces) {
        std::vector<unsigned char> out(piece.size());
        data.append(reinterpret_cast<char*>(out.data()), Receive(stream, piece.data(), piece.size(), out.data()));
        replies.append(reinterpret_cast<char*>(stream.Reply), stream.ReplySize);
        stream.ReplySize = 0;
    }
    EXPECT_EQ(data, std::string("a\xff") + "b\xff" + "cd\r" + std::string(1, '\0') + "ef");  // binary mode: CR NUL is two bytes
    const std::string refused = {char(Iac), char(Dont), 1, char(Iac), char(Wont), 24};
    EXPECT_EQ(replies, refused);
    EXPECT_EQ(stream.Com.BaudRate, 0xffu);  // the last answer's, its IAC undone
    EXPECT_EQ(stream.Com.ParityErrors + stream.Com.Breaks * 10 + stream.Com.Overruns * 100, 11u);
    EXPECT_FALSE(stream.ComPortAgreed);  // never asked for
    const unsigned char asked[] = {Iac, Do, ComPort};
    EXPECT_EQ(Receive(stream, asked, 3, out), 0u);
    EXPECT_TRUE(stream.ComPortAgreed);
    Stream text;  // a server that refused the binary mode sends CR as CR NUL
    const unsigned char crNul[] = {Iac, Wont, Binary, '\r', 0, '\r', '\n'};
    EXPECT_EQ(Receive(text, crNul, sizeof crNul, out), 3u);
    // The server's answers against the line asked: the rate within 2 %, the line exact.
    const LineShape eightN1, sevenE1{7, 'E', 2};
    EXPECT_EQ(JudgeLineAnswer({true, 117000, 8, 1, 1}, 115200, eightN1), 0);
    EXPECT_EQ(JudgeLineAnswer({true, 9600, 8, 1, 1}, 115200, eightN1), EINVAL);
    EXPECT_EQ(JudgeLineAnswer({true, 9600, 8, 1, 1}, 9600, sevenE1), EINVAL);
    EXPECT_EQ(JudgeLineAnswer({true, 9600, 7, 3, 1}, 9600, sevenE1), 0);
    EXPECT_EQ(JudgeLineAnswer({false, 9600, 7, 3, 1}, 9600, sevenE1), ETIMEDOUT);
    unsigned char command[16];
    EXPECT_EQ(std::string(reinterpret_cast<char*>(command), BaudRateCommand(command, 0xff00ff)),
              (std::string{char(Iac), char(Sb), ComPort, SetBaudRate, 0, char(Iac), char(Iac), 0, char(Iac), char(Iac), char(Iac), char(Se)}));
}

TEST(DtrHint, ComesForASilentCdcBoardWithoutDtr) {
    EXPECT_TRUE(DtrHintDue(true, false, 0, 5000));
    EXPECT_FALSE(DtrHintDue(true, false, 0, 4999) || DtrHintDue(true, true, 0, 9000) || DtrHintDue(true, false, 1, 9000) ||
                 DtrHintDue(false, false, 0, 9000));
}

// After a gap: the same USB adapter or none, under its name or wherever it went;
// a node just added only once udev is done with it; holders looked for only
// behind links that name a path.
TEST(Reconnect, TakesTheSameAdapterOnlyOnceTheSystemIsDoneWithIt) {
    const std::string a = "0403:6001 Nr. A1", b = "0403:6001 Nr. B2";
    const struct {
        const char* Name;
        std::string Noted;
        bool Any, Present;
        std::string Now;
        bool Elsewhere;
        Reopening Choice;
    } rows[] = {
        {"SameAdapter", a, false, true, a, false, Reopening::Name},
        {"NoIdentityTakesTheName", "", false, true, b, true, Reopening::Name},  // a UART, a pty, a COM name
        {"OtherAdapterUnderTheName", a, false, true, b, false, Reopening::Other},
        {"OtherUnderTheNameOursElsewhere", a, false, true, b, true, Reopening::Follow},
        {"GoneButElsewhere", a, false, false, "", true, Reopening::Follow},
        {"GoneEverywhere", a, false, false, "", false, Reopening::Wait},
        {"NoLongerAUsbDevice", a, false, true, "", false, Reopening::Other},
        {"AnyDeviceAsked", a, true, true, b, true, Reopening::Name},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(ChooseReopening(row.Noted, row.Any, row.Present, row.Now, row.Elsewhere), row.Choice) << row.Name;
    }
    // Two adapters with one serial number: ours at 1-1, the other at 1-2.
    const std::string ours = a + " an USB-Port 1-1", moved = a + " an USB-Port 1-3", twin = a + " an USB-Port 1-2";
    const struct {
        const char* Name;
        std::vector<std::string> AtPorts;
        bool MayBeBack, Seen;
    } twins[] = {
        {"AloneAtTheStart", {ours}, false, false},
        {"TwinAtTheStart", {ours, twin}, false, true},
        {"TwinLeftAsOursDrops", {twin}, false, true},
        {"NoneAsOursDrops", {}, false, false},
        {"OursBackInAnotherPort", {moved}, true, false},
        {"OursBackWithATwin", {ours, twin}, true, true},
        {"TwoInOtherPorts", {moved, twin}, true, true},
    };
    for (const auto& row : twins) EXPECT_EQ(TwinSeen(row.AtPorts, ours, row.MayBeBack), row.Seen) << row.Name;
    EXPECT_TRUE(SettledFor(false, false, 0));  // no udev: no modem manager either
    EXPECT_TRUE(SettledFor(true, true, 0) && SettledFor(true, false, 2000));
    EXPECT_FALSE(SettledFor(true, false, 1999));
    for (const char* link : {"/dev/ttyUSB0", "/mnt/nfs/held (deleted)", "/tmp/held"}) EXPECT_TRUE(MayBeDevice(link)) << link;
    for (const char* link : {"socket:[4711]", "pipe:[12]", "anon_inode:[eventfd]", "anon_inode:inotify"}) {
        EXPECT_FALSE(MayBeDevice(link)) << link;
    }
}

// Whether an 8250-family UART makes a rate, from what TIOCGSERIAL and sysfs
// report: its driver programs the nearest divisor and reports the rate asked.
TEST(UartDivisor, RefusesWhatThe8250CannotMakeAndJudgesNoOtherDriver) {
    constexpr int Pc16550 = 4, Pc16950 = 10, Unknown = 0;  // PORT_16550A, PORT_16C950, PORT_UNKNOWN
    constexpr int MagicMultiplier = 1 << 16, SpdCustom = 0x30;
    const struct {
        UartReport Uart;
        int Rate;
        bool Made;
    } rows[] = {
        {{Pc16550, 115200, 0, 0, "serial"}, 76800, false},  // divisor round(1.5) = 2: 57600
        {{Pc16550, 115200, 0, 0, "serial8250"}, 230400, false},
        {{Pc16550, 921600, 0, 0, "serial"}, 76800, true},     // a faster clock makes it exactly
        {{Pc16550, 921600, 0, 0, "serial"}, 500000, false},   // divisor 2: 460800, 8 % off
        {{Pc16550, 1500000, 0, 0, "serial"}, 1000000, false}, // divisor 2: 750000
        {{Pc16550, 115200, 0, 0, "serial"}, 38400, true},
        {{Pc16550, 115200, SpdCustom, 10, "serial"}, 38400, false},  // setserial spd_cust: 38400 means 11520
        {{Pc16550, 115200, SpdCustom, 3, "serial"}, 38400, true},
        {{Pc16550, 115200, SpdCustom, 0, "serial"}, 38400, false},  // no divisor given: 0 is programmed
        {{Pc16550, 115200, MagicMultiplier, 0, "serial"}, 76800, true},  // divisors of its own
        {{Pc16950, 15625000, 0, 0, "serial"}, 1000000, true},            // OxSemi PCIe: so has it
        {{Unknown, 115200, 0, 0, "serial8250"}, 76800, true},   // no UART behind the node
        // USB-serial and ACM drivers: their answers mean something else.
        {{Pc16550, 115200, 0, 0, "ftdi_sio"}, 76800, true},
        {{Pc16550, 115200, 0, 0, ""}, 230400, true},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(UartMakesRate(row.Uart, row.Rate), row.Made)
            << row.Uart.Driver << " baud_base " << row.Uart.BaudBase << " flags " << row.Uart.Flags << " at "
            << row.Rate;
    }
}

// What the user is told of the line errors between the start and the end of
// a capture.
TEST(LineErrors, AreReportedWhenCountedAndOnlyThen) {
    const LineCounters zero{}, some{2, 1, 0, 0};
    const struct {
        bool HaveBefore;
        LineCounters Before;
        bool HaveAfter;
        LineCounters After;
        const char* Text;
    } rows[] = {
        {true, some, true, some, ""}, {false, zero, true, some, ""}, {true, zero, false, some, ""},
        // 32-bit counters that wrapped during the capture, each on its own.
        {true, {0xFFFFFFFE, 0xFFFFFFFF, 0xFFFFFFF0, 7}, true, {1, 0xFFFFFFFF, 0x10, 7},
         "\nEmpfangsfehler: Ueberlauf 3, Rahmenfehler 32, Break 0\nBaudrate pruefen.\n"},
        // Both overrun counters at their largest difference: no 32-bit overflow in the sum.
        {true, {1, 1, 0, 0}, true, {0, 0, 0, 0}, "\nEmpfangsfehler: Ueberlauf 8589934590, Rahmenfehler 0, Break 0\n"},
        {true, {0, 0, 0, 0, 5}, true, {0, 0, 0, 1, 7}, "\nEmpfangsfehler: Ueberlauf 0, Rahmenfehler 0, Break 1, Paritaetsfehler 2\n"},
    };
    for (const auto& row : rows) {
        char text[160] = "untouched";
        const std::size_t length = LineErrorReport(row.HaveBefore, row.Before, row.HaveAfter, row.After, text, sizeof text);
        EXPECT_EQ(length > 0 ? std::string(text, length) : std::string(), row.Text) << "row " << &row - rows;
    }
}

// Each number a user meets says what it means, once (two names of one number
// would hide the second), short enough for a line of a narrow console; any
// other number stands alone.
TEST(ErrorNumbers, SayWhatTheyMeanOnceEach) {
    std::vector<int> codes;
    for (const CodeMeaning& meaning : ErrnoMeanings) {
        codes.push_back(meaning.Code);
        EXPECT_LE(std::strlen(meaning.Text), 56u) << meaning.Text;
    }
    std::sort(codes.begin(), codes.end());
    EXPECT_EQ(std::adjacent_find(codes.begin(), codes.end()), codes.end());
    EXPECT_EQ(CodeText(ENOSPC), std::to_string(ENOSPC) + " (Datentraeger voll)");
    EXPECT_EQ(CodeText(9999), "9999");
    EXPECT_EQ(DeviceErrorText(9999), "9999");
}

// Runs started at the same moment in one folder, as threads: exactly one gets
// the log, and the capture that was there is kept whole, never replaced by
// the winner's new log.
TEST(LogFile, RunsStartedTogetherRecordOnceAndKeepThePreviousCapture) {
    constexpr int Runs = 4;
    for (int round = 0; round < 100; ++round) {  // the races are narrow: many tries
        const std::string folder = TempDir(), log = folder + "/lumtrex.log", capture(3000, 'c');
        WriteFile(log, capture);
        std::FILE* logs[Runs] = {};
        bool kept[Runs] = {};
        std::atomic<int> ready{0};
        std::vector<std::thread> runs;
        for (int i = 0; i < Runs; ++i) {
            runs.emplace_back([&, i] {
                for (++ready; ready < Runs;) {
                }
                logs[i] = CreateLog(log.c_str(), kept[i]);
            });
        }
        for (std::thread& run : runs) run.join();
        EXPECT_EQ(std::count_if(logs, logs + Runs, [](std::FILE* file) { return file != nullptr; }), 1) << round;
        EXPECT_TRUE(ReadFile(log + ".1") == capture) << "round " << round << ": " << FileSize(log + ".1") << " bytes kept";
        for (std::FILE* file : logs) {
            if (file) std::fclose(file);
        }
        std::filesystem::remove_all(folder);
    }
}

// ReadBlock on a pseudo-terminal: the ways a read ends, and a hang-up.
// How a log name's full path, as Windows makes it, says whether it is a device.
TEST(LogFile, AFullPathInTheDeviceFormIsADeviceButTheNullDevice) {
    for (const wchar_t* device : {L"\\\\.\\COM3", L"\\\\.\\aux", L"\\\\.\\CONIN$", L"\\\\.\\pipe\\logs", L"\\\\?\\COM3",
                                  L"\\\\.\\PhysicalDrive0", L"\\\\.\\C:", L"\\\\?\\Volume{5e1c9a3d-0000-0000-0000-100000000000}",
                                  L"\\\\?\\GLOBALROOT\\Device\\Serial0", L"\\\\.\\pipe\\C:\\x.log"}) {
        EXPECT_TRUE(IsDevicePath(device)) << device;
    }
    for (const wchar_t* place : {L"\\\\.\\nul", L"\\\\.\\NUL.1", L"C:\\Logs\\com3.log.txt", L"\\\\?\\C:\\x.log", L"\\\\?\\UNC\\s\\x",
                                 L"\\\\server\\share\\lumtrex.log", L"\\\\.\\c:\\dir\\x.log", L"\\\\.\\UNC\\s\\share\\x.log",
                                 L"\\\\?\\Volume{5e1c9a3d-0000-0000-0000-100000000000}\\x.log", L"\\\\.\\volume{5E1C9A3D-0000-0000-0000-100000000000}\\x.log"}) {
        EXPECT_FALSE(IsDevicePath(place)) << place;
    }
}

TEST(BlockRead, EndsFullAfterAPauseAfterTheTotalOrAtOnceAtAHangUp) {
    const struct {
        std::size_t Waiting;  // bytes on the line before the read
        bool HangUp;
        ReadEnd End;
        std::size_t Delivered;
        double FromMs, ToMs;  // how long the read takes
    } rows[] = {
        {BlockSize + 10, false, ReadEnd::Complete, BlockSize, 0, 500},  // a block waiting: at once
        {500, false, ReadEnd::Paused, 500, 0, 500},                     // part of one: handed over before a wait
        {0, false, ReadEnd::TimedOut, 0, 1950, 4000},                   // a silent line: the total
        {0, true, ReadEnd::DeviceLost, 0, 0, 500},
    };
    for (const auto& row : rows) {
        PtyLine line;
        ASSERT_TRUE(OpenPtyLine(line));
        const int port = open(line.SlavePath, O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(port, 0);
        const std::string sent = Bytes(Pattern::Bytes, row.Waiting);
        ASSERT_TRUE(SendAll(line.Master, reinterpret_cast<const unsigned char*>(sent.data()), sent.size()));
        std::this_thread::sleep_for(50ms);
        if (row.HangUp) ClosePtyLine(line);
        unsigned char buffer[BlockSize] = {};
        ReadResult result;
        const auto start = std::chrono::steady_clock::now();
        ReadBlock(port, buffer, BlockSize, result);
        const double took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        const auto name = "row " + std::to_string(&row - rows);
        EXPECT_EQ(result.End, row.End) << name;
        EXPECT_TRUE(std::string(reinterpret_cast<char*>(buffer), result.Delivered) == sent.substr(0, row.Delivered))
            << name << ": " << result.Delivered << " bytes";
        EXPECT_GE(took, row.FromMs) << name;
        EXPECT_LT(took, row.ToMs) << name;
        close(port);
        ClosePtyLine(line);
    }
}

// ---- Between the reader and the recorder: the ring, the seams, the reads' pace and dates ----

// The ring hands on the bytes and the marks in the order they were put: a
// mark before the bytes it dates, also across the ring's end; what does not
// fit is for the reader to count; time marks leave room for the others.
TEST(Ring, HandsOnBytesAndMarksInTheirOrder) {
    MakeRing(16);
    const auto put = [](const std::string& bytes) { PutBytes(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()); };
    const auto take = [] {
        const unsigned char* bytes = nullptr;
        const std::size_t size = NextBytes(bytes);
        TakeBytes(size);
        return std::string(reinterpret_cast<const char*>(bytes), size);
    };
    Mark mark, seen;
    put("0123456789");
    mark.EpochMs = 42;
    ASSERT_TRUE(PutMark(mark));
    put("abcdef");
    EXPECT_EQ(RingRoom(), 0u);
    EXPECT_FALSE(NextMark(seen));    // not before the bytes it follows
    EXPECT_EQ(take(), "0123456789");  // and the bytes only up to it
    ASSERT_TRUE(NextMark(seen));
    EXPECT_EQ(seen.Offset, 10u);
    EXPECT_EQ(seen.EpochMs, 42);
    TakeMark();
    put("");
    EXPECT_EQ(RingRoom(), 10u);
    put("ghij");  // across the ring's end
    EXPECT_EQ(take(), "abcdef");
    EXPECT_EQ(take() + take(), "ghij");
    EXPECT_TRUE(RingEmpty());
    std::size_t times = 0;
    while (PutMark(mark)) ++times;  // time marks: all but the reserve
    EXPECT_EQ(times, MarkCount - MarkReserve);
    mark.Kind = MarkKind::Lost;
    EXPECT_TRUE(PutMark(mark));
    EXPECT_EQ(RingSize(11520, 0), SmallestRing);  // 115200 baud: 10 s fit in the smallest
    EXPECT_EQ(RingSize(400000, 0), 4000000u);     // 4 Mbaud: 10 s
    EXPECT_EQ(RingSize(20000000, 0), LargestRing);
    EXPECT_EQ(RingSize(11520, 65536), 65536u);    // a test's own
}

TEST(Recording, SplitsAReadAtASeamAndPacesAndDatesTheReads) {
    // split, its size, the part's bytes, a read's: those before the seam
    const struct {
        SplitKind Split;
        std::uint64_t Size, Part, Available, Before;
    } seams[] = {
        {SplitKind::None, 0, 5000, 100, 100}, {SplitKind::Day, 0, 5000, 100, 100}, {SplitKind::Size, 1024, 1000, 100, 24},
        {SplitKind::Size, 1024, 1024, 100, 0}, {SplitKind::Size, 1024, 0, 5000, 1024},
    };
    for (const auto& row : seams) {
        EXPECT_EQ(BytesBeforeSeam(row.Split, row.Size, row.Part, row.Available), row.Before) << row.Part << " " << row.Available;
    }
    // The seams of day and hour parts on the nights the clocks change: zone, split, pattern, the first part's
    // start (UTC), then each seam (UTC) and the name of the part that begins there.
    const struct {
        const char* Zone;
        SplitKind Split;
        const char* Pattern;
        const char* Walk[7];
    } nights[] = {
        {"Europe/Berlin", SplitKind::Hour, "x-%Y%m%d-%H.log",  // back: 02:00 CEST, 02:00 CET
         {"2026-10-24T23:10:00", "2026-10-25T00:00:00", "x-20261025-02.log", "2026-10-25T01:00:00",
          "x-20261025-02_+0100.log", "2026-10-25T02:00:00", "x-20261025-03.log"}},
        {"Europe/Berlin", SplitKind::Hour, "x-%H", {"2026-03-29T00:10:00", "2026-03-29T01:00:00", "x-03", "2026-03-29T02:00:00", "x-04"}},
        {"Europe/Berlin", SplitKind::Day, "x-%d.log",  // 25 hours, 23 hours
         {"2026-10-24T22:30:00", "2026-10-25T23:00:00", "x-26.log"}},
        {"Europe/Berlin", SplitKind::Day, "x-%d.log", {"2026-03-28T23:30:00", "2026-03-29T22:00:00", "x-30.log"}},
        {"Australia/Adelaide", SplitKind::Hour, "a%H.log",  // half an hour off: 03:00 ACDT is 02:00 ACST
         {"2026-04-04T15:45:00", "2026-04-04T16:30:00", "a02_+0930.log", "2026-04-04T17:30:00", "a03.log"}},
        {"Australia/Adelaide", SplitKind::Hour, "a%H.log", {"2026-10-03T16:10:00", "2026-10-03T16:30:00", "a03.log"}},
        {"Australia/Adelaide", SplitKind::Day, "a%d.log", {"2026-04-04T14:00:00", "2026-04-05T14:30:00", "a06.log"}},
        {"America/Havana", SplitKind::Day, "h%d.log",  // midnight leapt over, then twice
         {"2026-03-07T17:00:00", "2026-03-08T05:00:00", "h08.log", "2026-03-09T04:00:00", "h09.log"}},
        {"America/Havana", SplitKind::Day, "h%d.log", {"2026-11-01T04:00:00", "2026-11-02T05:00:00", "h02.log"}},
    };
    const std::string zone = getenv("TZ") ? getenv("TZ") : "";
    const auto epoch = [](const char* utc) {
        std::tm time{};
        std::sscanf(utc, "%d-%d-%dT%d:%d:%d", &time.tm_year, &time.tm_mon, &time.tm_mday, &time.tm_hour, &time.tm_min, &time.tm_sec);
        time.tm_year -= 1900;
        --time.tm_mon;
        return timegm(&time);
    };
    for (const auto& night : nights) {
        setenv("TZ", night.Zone, 1);
        tzset();
        std::time_t begun = epoch(night.Walk[0]);
        std::string name = ExpandedLogName(night.Pattern, begun);
        for (int seam = 1; seam < 7 && night.Walk[seam]; seam += 2) {
            const std::time_t end = PeriodEnd(night.Split, begun);
            EXPECT_EQ(end, epoch(night.Walk[seam])) << night.Zone << " " << night.Walk[seam];
            int offset = 0;
            LocalMs(begun * 1000LL, offset);
            name = NextPartName(night.Pattern, end, name, offset);
            EXPECT_EQ(name, night.Walk[seam + 1]);
            begun = end;
        }
    }
    if (zone.empty()) unsetenv("TZ"); else setenv("TZ", zone.c_str(), 1);
    tzset();
    EXPECT_EQ(WithOffset("logs.d/x", -16200), "logs.d/x_-0430");
    EXPECT_EQ(WithOffset(".x", 34200), ".x_+0930");
    // bytes, ms since the read before, a byte's time on the line (us): the next read's wait
    const std::int64_t paces[][4] = {
        {115, 10, 87, StreamPause},  // 115200 baud, streaming: the next read takes the next 50 ms at once
        {2000, 20, 11, 22},          // 921600 baud: half a terminal read's worth, 22 ms
        {1500, 5, 3, 0},             // 3 Mbaud: half a terminal read is under 10 ms: no wait at all
        {4095, 40, 10, 0},           // a terminal read's worth at 1 Mbaud: more may wait, read again at once
        {2, 300, 87, 0},             // the first bytes after a pause: the next byte wakes it
        {60, 10, 87, 0},             // the line idle half the time: a pause may come, taken at once
        {3000, 1, 87, 0},            // faster than any line (a pseudo-terminal): no wait
        {1, 0, 87, 0},
    };
    for (const auto& row : paces) {
        EXPECT_EQ(NextReadAfter(static_cast<std::uint32_t>(row[0]), row[1], row[2]), row[3]) << row[0] << " bytes in " << row[1] << " ms";
    }
    // reads (first and last byte's ms): a time line for the first, after a pause of 20 ms, and every 100 ms while streaming
    LineTimes times;
    const std::int64_t reads[][3] = {{1000, 1010, 1}, {1015, 1030, 0}, {1030, 1099, 0}, {1100, 1110, 1}, {1130, 1140, 1}, {1145, 1150, 0}};
    for (const auto& read : reads) EXPECT_EQ(TimeLineDue(times, read[0], read[1]), read[2] == 1) << read[0];
}

// ---- What a person reads: the view, the time index, a Windows read's first byte ----

bool SecondPerByte(std::uint64_t offset, std::int64_t& localMs) {  // byte N arrived N s after midnight
    localMs = static_cast<std::int64_t>(offset) * 1000;
    return true;
}

TEST(View, GivesEachLineTheTimeOfItsFirstByteWhereverTheReadsEnd) {
    const struct {
        ViewKind Kind;
        std::vector<std::string> Reads;
        std::string Expected;  // before the event at 01:00:00
        bool PauseAt20 = false;  // a piece after a pause begins at byte 20
    } rows[] = {
        // CR LF split between two reads ends one line; a CR alone is a byte; an empty line keeps its time.
        {ViewKind::Text, {"ab\r", "\ncd\re\n", "\n"}, "[00:00:00.000] ab\n[00:00:04.000] cd\\x0de\n[00:00:09.000] \n"},
        {ViewKind::Text, {"x\r"}, "[00:00:00.000] x\\x0d\n"},  // the line ended by the event
        // 4096 bytes a line at most: the rest has a line and a time of its own.
        {ViewKind::Text, {std::string(4097, 'a')}, "[00:00:00.000] " + std::string(4096, 'a') + "\n[01:08:16.000] a\n"},
        {ViewKind::Hex, {"0123456789", "abcdef\x01\\"},
         "[00:00:00.000] 00000000  30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  |0123456789abcdef|\n"
         "[00:00:16.000] 00000010  01 5c                                             |.\\|\n"},
        // A piece after a pause (at byte 20 here) begins its own line, or row, with its own time; a CR LF
        // the pause splits stays one line end.
        {ViewKind::Text, {"banner and more text", "before-drop\n"}, "[00:00:00.000] banner and more text\n[00:00:20.000] before-drop\n", true},
        {ViewKind::Text, {std::string(19, 'a') + "\r", "\nb\n"}, "[00:00:00.000] " + std::string(19, 'a') + "\n[00:00:21.000] b\n", true},
        {ViewKind::Hex, {"request:", std::string(12, 'x') + "answer"},
         "[00:00:00.000] 00000000  72 65 71 75 65 73 74 3a  78 78 78 78 78 78 78 78  |request:xxxxxxxx|\n"
         "[00:00:16.000] 00000010  78 78 78 78                                       |xxxx|\n"
         "[00:00:20.000] 00000014  61 6e 73 77 65 72                                 |answer|\n", true},
    };
    for (const auto& row : rows) {
        View view;
        view.Kind = row.Kind;
        view.Arrival = SecondPerByte;
        if (row.PauseAt20) view.Piece = [](std::uint64_t offset) { return offset == 20; };
        std::string out;
        for (const std::string& read : row.Reads) ViewBytes(view, reinterpret_cast<const unsigned char*>(read.data()), read.size(), out);
        ViewEvent(view, true, 3600000, "Ende", out);
        EXPECT_EQ(out, row.Expected + "[01:00:00.000] --- Ende ---\n");
    }
}

TEST(TimeIndex, ReadsBackItsTimesAndPlacesTheBytesBetweenItsLines) {
    IndexLine line;
    ASSERT_TRUE(ParseIndexLine("1234 2000-03-01T00:00:00.007+01:00", line));
    EXPECT_EQ(line.Offset, 1234u);
    EXPECT_EQ(line.LocalMs, 951868800007);  // the local wall clock, as written
    ASSERT_TRUE(ParseIndexLine("weg 3000 1970-01-02T00:00:00.000+00:00", line));
    EXPECT_EQ(line.Word + " " + std::to_string(line.Offset) + " " + std::to_string(line.LocalMs), "weg 3000 86400000");
    ASSERT_TRUE(ParseIndexLine("fehler 5 2026-12-08T09:41:07.512-05:30 Ueberlauf 1 Rahmenfehler 2", line));
    EXPECT_EQ(line.Rest, "Ueberlauf 1 Rahmenfehler 2");
    char text[64];
    for (const char* time : {"2024-02-29T23:59:59.999-05:00", "1999-12-31T00:00:00.000+05:45", "2026-12-08T09:41:07.512+01:00"}) {
        ASSERT_TRUE(ParseIndexLine(std::string("0 ") + time, line)) << time;
        const int offset = (time[23] == '-' ? -1 : 1) * (std::atoi(time + 24) * 3600 + std::atoi(time + 27) * 60);
        FormatIndexTime(line.LocalMs, offset, text);
        EXPECT_STREQ(text, time);
    }
    for (const char* bad : {"", "x", "12 2026-12-08", "ende 5 gestern"}) { EXPECT_FALSE(ParseIndexLine(bad, line)) << bad; }
    // The zone's offset east of UTC, as the C library has it.
    const std::string zone = getenv("TZ") ? getenv("TZ") : "";
    setenv("TZ", "LUM-01:30", 1);
    tzset();
    int offset = 0;
    EXPECT_EQ(LocalMs(1000, offset), 5401000);
    EXPECT_EQ(offset, 5400);
    if (zone.empty()) unsetenv("TZ"); else setenv("TZ", zone.c_str(), 1);
    tzset();
    // Lines 100 to 150 ms apart streamed: the bytes between as they went; else each as the line before it.
    const IndexLine lines[] = {{10, 1000, "", ""}, {110, 1120, "", ""}, {210, 1150, "", ""}, {310, 5000, "", ""}};
    std::int64_t at = 0;
    EXPECT_FALSE(ArrivalFromIndex(lines, 4, 9, at));
    for (const auto& [byte, expected] : {std::pair{60, 1060}, {160, 1120}, {260, 1150}, {310, 5000}, {9999, 5000}}) {
        EXPECT_TRUE(ArrivalFromIndex(lines, 4, static_cast<std::uint64_t>(byte), at));
        EXPECT_EQ(at, expected) << byte;
    }
}

TEST(View, KnowsTheEarlierCapturesOfALogByTheirNumbers) {
    // name: its number among its log's captures, and the log
    const struct {
        const char* Name;
        long Number;
        const char* Log;
    } rows[] = {{"boot.log", 0, "boot.log"}, {"boot.log.12", 12, "boot.log"}, {"dir.d/x.1", 1, "dir.d/x"},
                {"x.log.0", 0, "x.log.0"}, {"x.log.1a", 0, "x.log.1a"}, {"x.", 0, "x."}, {"x.12345678901", 0, "x.12345678901"}};
    for (const auto& row : rows) {
        std::string log;
        EXPECT_EQ(CaptureNumber(row.Name, log), row.Number) << row.Name;
        EXPECT_EQ(log, row.Log);
    }
    std::string out;
    AppendDate(-1, out);  // the last ms before 1970
    AppendDate(1795046400000, out);
    EXPECT_EQ(out, "1969-12-312026-11-19");
}

TEST(TimeIndex, AWindowsReadSaysWhenItsFirstByteCame) {
    // asked, delivered, of them queued before the read, how long it took, a byte's time in us: how long before
    // its end the first that came during it came
    const std::int64_t rows[][6] = {
        {1024, 0, 0, 2050, 87, 0},           // nothing
        {1024, 1024, 0, 100, 87, 89},        // full: the last byte ended it
        {1024, 20, 0, 1500, 87, 1001},       // the interval time-out after the last
        {1024, 500, 0, 2050, 87, 543},       // the total: the last within the interval before
        {1024, 500, 400, 2050, 87, 508},     // the first 400 were there before: the 100 after them
        {1024, 300, 300, 40, 87, 40},        // all of them there before: none came during the read
        {1024, 1024, 0, 2000, 66666, 2000},  // never before the read began
    };
    for (const auto& row : rows) {
        EXPECT_EQ(FirstByteAge(PortTimeouts, static_cast<std::uint32_t>(row[0]), static_cast<std::uint32_t>(row[1]),
                               static_cast<std::uint32_t>(row[2]), row[3], row[4]), row[5]) << row[1] << " bytes in " << row[3] << " ms";
    }
    // A read ending at 5060 after 30 ms, the read before (or an empty one, or the purge) ending at 5000: the bytes
    // already waiting no later than 5000, those after as the read says, never before 5000.
    const struct {
        std::uint32_t Delivered, Queued;
        std::int64_t FirstAge, ArrivedAge, LastAge, Queued_, Arrived, Last;
    } dates[] = {
        {130, 130, 30, 30, 0, 5000, 5030, 5060},  // all waiting when it began: no later than 5000
        {500, 100, 30, 20, 5, 5000, 5040, 5055},
        {500, 0, 90, 90, 5, 4970, 5000, 5055},    // a first byte said to be older than the read before: 5000
        {64, 0, 0, 0, 0, 5000, 5060, 5060},       // POSIX: as it returned
    };
    for (const auto& row : dates) {
        ReadResult read;
        read.Delivered = row.Delivered;
        read.Queued = row.Queued;
        read.FirstByteAgeMs = row.FirstAge;
        read.ArrivedAgeMs = row.ArrivedAge;
        read.LastByteAgeMs = row.LastAge;
        const ReadDates dated = DateRead(read, 5060, 5000);
        EXPECT_EQ(dated.ArrivedMs, row.Arrived) << row.Delivered << "/" << row.Queued;
        EXPECT_EQ(dated.LastMs, row.Last) << row.Delivered << "/" << row.Queued;
        if (row.Queued) { EXPECT_EQ(dated.QueuedMs, row.Queued_) << row.Delivered; }
    }
}

}  // namespace
