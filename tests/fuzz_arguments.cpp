// Fuzz target for the argument rules and a remote port's telnet stream
// (the same bytes): whatever the command line, never a
// crash, always one of the ports (a number, COMn or a device path) and one of
// the rates offered, and decimal values read as strtoll reads them, or rejected
// when beyond 32 bits. The input is the argument list, split at NUL bytes.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../app/settings.h"
#include "../serial/telnet.h"

namespace {

void Require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "violated: %s\n", what);
        std::abort();
    }
}

void CheckDecimal(const char* text) {
    std::int32_t value = 0;
    const bool inRange = DecimalValue(text, value);
    errno = 0;
    const long long expected = std::strtoll(text, nullptr, 10);
    const bool fits = errno != ERANGE && expected >= INT32_MIN && expected <= INT32_MAX;
    Require(inRange == fits, "a value is in range exactly when it fits 32 bits");
    Require(!inRange || value == expected, "a value in range is the decimal value");
}

void CheckSettings(const std::vector<const char*>& argv, const char* prefix, const char* folder) {
    Fallbacks fallbacks;
    const Settings settings = ParseArguments(static_cast<int>(argv.size()), argv.data(), prefix, folder, fallbacks);
    const char* name = PortName(settings);
    if (settings.DevicePath) {
        Require(argv.size() > 1 && !fallbacks.Port, "a device is named by the first argument");
        const bool asGiven = std::strcmp(name, argv[1]) == 0;
        Require(asGiven || (*folder && std::string(name) == folder + std::string(argv[1])), "a device path as given, "
                "or a bare name in the device folder");
        Require(!asGiven || (*folder ? std::strchr(name, '/') != nullptr : std::strncmp(name, prefix, std::strlen(prefix)) == 0),
                "a path is a path on this system");
    } else {
        Require(!fallbacks.Port || (fallbacks.Port == argv[1] && std::strcmp(name, "COM1") == 0),
                "a replaced port is the first argument, and COM1 is recorded");
        char expected[8];
        std::snprintf(expected, sizeof expected, "COM%d", settings.PortIndex + 1);
        Require(settings.PortIndex >= 0 && settings.PortIndex < 255, "a COM port is COM1 to COM255");
        Require(std::strcmp(name, expected) == 0, "the name is the COM port's");
    }
    Require(IsSupportedRate(settings.BaudRate), "the rate is one of those offered");
    std::int32_t given = 0;
    Require(fallbacks.Rate ? fallbacks.Rate == argv[2] && settings.BaudRate == 9600
                           : argv.size() < 3 || (DecimalValue(argv[2], given) && given == settings.BaudRate),
            "a rate is the one given, or its replacement is said");
    Require(settings.DtrOption == (argv.size() > 3 && std::strcmp(argv[3], "-d1") == 0), "DTR only from -d1 third");
    Require(settings.RtsOption == (argv.size() > 4 && std::strcmp(argv[4], "-c1") == 0), "RTS only from -c1 fourth");
}

}  // namespace

// The same bytes as a remote port's server sent them: never more of the
// port's bytes than came, the answers bounded, a 0xFF among the port's bytes
// only from IAC IAC, and the same bytes however the stream is cut (here
// after each byte the input's own bytes pick: an IAC, a verb, a CR among them).
void CheckTelnet(const std::uint8_t* data, std::size_t size) {
    telnet::Stream whole, cut;
    std::vector<unsigned char> out(size + 1), pieces;
    const std::size_t kept = telnet::Receive(whole, data, size, out.data());
    Require(kept <= size && whole.ReplySize <= telnet::ReplyLimit, "the port's bytes and the answers are bounded");
    const auto iacs = std::count(data, data + size, telnet::Iac);
    Require(std::count(out.begin(), out.begin() + static_cast<long>(kept), 0xff) * 2 <= iacs, "a 0xFF of the port's only from IAC IAC");
    for (std::size_t at = 0; at < size;) {
        const std::size_t end = std::min<std::size_t>(size, at + 1 + data[at] % 5);
        std::vector<unsigned char> piece(end - at);
        piece.resize(telnet::Receive(cut, data + at, end - at, piece.data()));
        pieces.insert(pieces.end(), piece.begin(), piece.end());
        cut.ReplySize = 0;
        at = end;
    }
    Require(pieces == std::vector<unsigned char>(out.begin(), out.begin() + static_cast<long>(kept)), "pieces decode as the whole");
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CheckTelnet(data, size);
    std::vector<std::string> words = {"lumtrex", ""};
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) words.emplace_back();
        if (data[i] != 0) words.back() += static_cast<char>(data[i]);
    }
    std::vector<const char*> argv(words.size());
    std::transform(words.begin(), words.end(), argv.begin(), [](const std::string& word) { return word.c_str(); });
    for (std::size_t i = 1; i < argv.size(); ++i) CheckDecimal(argv[i]);
    CheckSettings(argv, "/", "/dev/");
    CheckSettings(argv, "\\\\.\\", "");
    int argc = static_cast<int>(argv.size());
    const Options options = TakeOptions(argc, argv.data());
    Require(argc >= 1 && argc <= static_cast<int>(argv.size()), "the arguments left are a part of those given");
    for (int i = 1; i < argc; ++i) Require(std::strncmp(argv[i], "--", 2) != 0, "no option is left");
    Require(options.Asked != Request::BadOption || (options.Bad && options.Complaint), "a bad option is named");
    Require(options.BaudRate == 0 || (options.BaudRate >= LowestRate && options.BaudRate <= HighestRate),
            "--baud is within the range");
    return 0;
}
