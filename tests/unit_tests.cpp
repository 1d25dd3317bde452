// The program's pure rules: arguments, open-failure messages, the rates an
// 8250 makes, line errors, and the block read itself on a pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "../app/capture.h"
#include "../app/log_file.h"
#include "../app/settings.h"
#include "../serial/line_linux.h"
#include "../serial/serial.h"
#include "../serial/serial_platform.h"
#include "pty_source.h"

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
                      ArgumentRow{{"-3", "19200"}, "COM1", 19200, false, false},
                      ArgumentRow{{" +8x", "19200x"}, "COM8", 19200, false, false},
                      ArgumentRow{{"2", "56000"}, "COM2", 9600, false, false},
                      ArgumentRow{{"2", "abc"}, "COM2", 9600, false, false},
                      // Rates common adapters silently replace by another: never offered.
                      ArgumentRow{{"2", "2500000"}, "COM2", 9600, false, false},
                      ArgumentRow{{"2", "4000000"}, "COM2", 9600, false, false},
                      // Each option only in its place and spelt exactly: the fuzz run's rule, and RealDrivers.
                      ArgumentRow{{"1", "19200", "-d1", "-c1", "-c1"}, "COM1", 19200, true, true},
                      // Values beyond 32 bits are out of range, never wrapped into range.
                      ArgumentRow{{"4294967298", "4294976896"}, "COM1", 9600, false, false},
                      ArgumentRow{{"-4294967295", "99999999999999999999999"}, "COM1", 9600, false, false},
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
// is no port there is COM1, and the user is told which argument was replaced.
TEST(ArgumentRules, WindowsNamesAndTheFallbacksSaid) {
    const char* const prefix = "\\\\.\\";
    EXPECT_STREQ(PortName(Parse({"\\\\.\\COM20"}, prefix, "")), "\\\\.\\COM20");
    EXPECT_STREQ(PortName(Parse({"/dev/ttyACM1"}, prefix, "")), "COM1");
    EXPECT_STREQ(PortName(Parse({"ttyUSB0"}, prefix, "")), "COM1");
    const char* replaced[] = {"lumtrex", "12", "250000"};
    Fallbacks said;
    ParseArguments(3, replaced, prefix, "", said);
    EXPECT_STREQ(said.Port, "12");
    EXPECT_EQ(said.MeantCom, 12);
    EXPECT_STREQ(said.Rate, "250000");
    const char* fine[] = {"lumtrex", "COM12:", "19200", "x"};
    ParseArguments(4, fine, prefix, "", said);
    EXPECT_TRUE(!said.Port && !said.MeantCom && !said.Rate);
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

TEST(OpenFaults, ErrorCodesSelectTheirMessages) {
    EXPECT_EQ(ClassifyOpenError(0), OpenFault::None);
    for (int code : {ENOENT, ENXIO, ENODEV, EIO}) EXPECT_EQ(ClassifyOpenError(code), OpenFault::NotFound) << code;
    for (int code : {EWOULDBLOCK, EBUSY, EACCES, EPERM}) {
        EXPECT_EQ(ClassifyOpenError(code), OpenFault::AccessDenied) << code;
    }
    EXPECT_EQ(ClassifyOpenError(ENOTTY), OpenFault::Other);
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
        {{Pc16550, 115200, 0, 0, "serial"}, 115200, true},
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
        const char* Name;
        bool HaveBefore;
        LineCounters Before;
        bool HaveAfter;
        LineCounters After;
        const char* Text;
    } rows[] = {
        {"NoneCounted", true, some, true, some, ""},
        {"FrameErrors", true, zero, true, {0, 0, 5, 0},
         "\nEmpfangsfehler: Ueberlauf 0, Rahmenfehler 5, Break 0\nBaudrate pruefen.\n"},
        // 32-bit counters that wrapped during the capture, each on its own.
        {"Wrapped", true, {0xFFFFFFFE, 0xFFFFFFFF, 0xFFFFFFF0, 7}, true, {1, 0xFFFFFFFF, 0x10, 7},
         "\nEmpfangsfehler: Ueberlauf 3, Rahmenfehler 32, Break 0\nBaudrate pruefen.\n"},
        // Both overrun counters at their largest difference: no 32-bit overflow in the sum.
        {"SumBeyond32Bits", true, {1, 1, 0, 0}, true, {0, 0, 0, 0},
         "\nEmpfangsfehler: Ueberlauf 8589934590, Rahmenfehler 0, Break 0\n"},
        {"NoCountersAtTheStart", false, zero, true, some, ""},
        {"NoCountersAtTheEnd", true, zero, false, some, ""},
    };
    for (const auto& row : rows) {
        char text[160] = "untouched";
        const std::size_t length = LineErrorReport(row.HaveBefore, row.Before, row.HaveAfter, row.After, text, sizeof text);
        EXPECT_EQ(length > 0 ? std::string(text, length) : std::string(), row.Text) << row.Name;
    }
}

// Runs started at the same moment in one folder, as threads: exactly one gets
// the log, and the capture that was there is kept whole, never replaced by
// the winner's new log.
TEST(LogFile, RunsStartedTogetherRecordOnceAndKeepThePreviousCapture) {
    constexpr int Runs = 4;
    for (int round = 0; round < 100; ++round) {  // the races are narrow: many tries
        char folder[] = "/tmp/lumtrex-unit-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        const std::string log = std::string(folder) + "/lumtrex.log", previous = log + ".1";
        const std::string capture(3000, 'c');
        std::ofstream(log, std::ios::binary) << capture;
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
        int recording = 0;
        for (std::FILE* file : logs) recording += file != nullptr;
        EXPECT_EQ(recording, 1) << "round " << round;
        std::ifstream in(previous, std::ios::binary);
        const std::string moved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_TRUE(moved == capture) << "round " << round << ": " << moved.size() << " bytes kept";
        for (std::FILE* file : logs) {
            if (file) std::fclose(file);
        }
        std::filesystem::remove_all(folder);
    }
}

// The ports a listing shows, from a made-up sysfs: an 8250 placeholder and a
// virtual terminal left out, a USB adapter with its identity and stable name.
TEST(PortList, ShowsTheHardwarePortsFromSysfs) {
    namespace fs = std::filesystem;
    char folder[] = "/tmp/lumtrex-unit-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const fs::path root = folder, sys = root / "sys", dev = root / "dev";
    const auto tty = [&](const std::string& name, const fs::path& device, const std::string& driver,
                         const std::string& type) {
        fs::create_directories(sys / "class/tty" / name);
        fs::create_directories(sys / device);
        fs::create_directories(sys / "bus/drivers" / driver);
        fs::create_directory_symlink(sys / "bus/drivers" / driver, sys / device / "driver");
        fs::create_directory_symlink(sys / device, sys / "class/tty" / name / "device");
        if (!type.empty()) std::ofstream(sys / "class/tty" / name / "type") << type << "\n";
        std::ofstream(dev / name) << "";
    };
    fs::create_directories(dev / "serial/by-id");
    tty("ttyS0", "devices/pnp0/00:04", "serial", "0");
    tty("ttyS1", "devices/pnp0/00:05", "serial", "4");
    tty("ttyUSB0", "devices/usb1/1-1/1-1:1.0/ttyUSB0", "ftdi_sio", "");
    fs::create_directories(sys / "class/tty/tty1");
    std::ofstream(sys / "devices/usb1/1-1/idVendor") << "0403\n";
    std::ofstream(sys / "devices/usb1/1-1/idProduct") << "6001\n";
    std::ofstream(sys / "devices/usb1/1-1/product") << "FT232R USB UART\n";
    fs::create_symlink("../../ttyUSB0", dev / "serial/by-id/usb-FTDI_A1-if00-port0");
    EXPECT_EQ(PortsUnder(sys.string(), dev.string()),
              dev.string() + "/ttyS1  serial  16550A\n" + dev.string() + "/ttyUSB0  ftdi_sio  0403:6001 FT232R USB UART  " +
                  dev.string() + "/serial/by-id/usb-FTDI_A1-if00-port0\n");
    fs::remove_all(root);
}

// ReadBlock on a pseudo-terminal: the three ways a read ends, and a hang-up.
TEST(BlockRead, EndsFullAfterAPauseAfterTheTotalOrAtOnceAtAHangUp) {
    const struct {
        const char* Name;
        std::size_t Waiting;  // bytes on the line before the read
        bool HangUp;
        ReadEnd End;
        std::size_t Delivered;
        double FromMs, ToMs;  // how long the read takes
    } rows[] = {
        {"WaitingBlockAtOnce", BlockSize + 10, false, ReadEnd::Complete, BlockSize, 0, 500},
        {"PauseAfterPartOfABlock", 500, false, ReadEnd::TimedOut, 500, 900, 1900},
        {"SilentLineAfterTheTotal", 0, false, ReadEnd::TimedOut, 0, 1950, 4000},
        {"HangUpAsALostDevice", 0, true, ReadEnd::DeviceLost, 0, 0, 500},
    };
    for (const auto& row : rows) {
        PtyLine line;
        ASSERT_TRUE(OpenPtyLine(line));
        const int port = open(line.SlavePath, O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(port, 0);
        std::string sent(row.Waiting, '\0');
        FillPattern(Pattern::Bytes, 0, 0, reinterpret_cast<unsigned char*>(sent.data()), sent.size());
        ASSERT_TRUE(SendAll(line.Master, reinterpret_cast<const unsigned char*>(sent.data()), sent.size()));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (row.HangUp) ClosePtyLine(line);
        unsigned char buffer[BlockSize] = {};
        ReadResult result;
        const auto start = std::chrono::steady_clock::now();
        ReadBlock(port, buffer, BlockSize, result);
        const double took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(result.End, row.End) << row.Name;
        EXPECT_EQ(result.Delivered, row.Delivered) << row.Name;
        EXPECT_TRUE(std::string(reinterpret_cast<char*>(buffer), result.Delivered) == sent.substr(0, row.Delivered))
            << row.Name;
        EXPECT_GE(took, row.FromMs) << row.Name;
        EXPECT_LT(took, row.ToMs) << row.Name;
        close(port);
        ClosePtyLine(line);
    }
}

}  // namespace
