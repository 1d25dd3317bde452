#include "settings.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <cstring>

namespace {

// Above 115200 the rates of current adapters and microcontrollers; 2500000
// and above 3000000 stay out: common adapters cannot make them, and their
// driver silently sends another rate.
constexpr std::int32_t SupportedRates[] = {150,     300,     600,     1200,    2400,    4800,   9600,
                                           14400,   19200,   28800,   38400,   57600,   76800,  115200,
                                           230400,  460800,  500000,  576000,  921600,  1000000, 1152000,
                                           1500000, 2000000, 3000000};
constexpr int MaxComNumber = 255;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// "COMn" in any case, n from 1 to MaxComNumber without sign or blanks.
bool ComNumber(const char* text, int& number) {
    if (std::strlen(text) < 4) return false;
    for (int i = 0; i < 3; ++i) {
        if ((text[i] | 0x20) != "com"[i]) return false;
    }
    number = 0;
    for (const char* p = text + 3; *p; ++p) {
        if (!IsDigit(*p)) return false;
        number = number * 10 + (*p - '0');
        if (number > MaxComNumber) return false;
    }
    return number >= 1;
}

void SetPort(Settings& settings, const char* argument, const char* devicePathPrefix) {
    const std::size_t prefixLength = std::strlen(devicePathPrefix);
    int number = 0;
    std::int32_t value = 0;
    if (prefixLength > 0 && std::strncmp(argument, devicePathPrefix, prefixLength) == 0) {
        settings.DevicePath = argument;
        return;
    }
    if (ComNumber(argument, number)) {
        settings.PortIndex = number - 1;
    } else if (DecimalValue(argument, value) && value >= 1 && value <= 8) {
        settings.PortIndex = value - 1;
    } else {
        settings.PortIndex = 0;
    }
    std::snprintf(settings.ComName, sizeof settings.ComName, "COM%d", settings.PortIndex + 1);
}

}  // namespace

bool DecimalValue(const char* text, std::int32_t& value) {
    constexpr std::int64_t Limit = std::int64_t{1} << 32;  // any magnitude beyond is out of range
    const char* p = text;
    while (IsBlank(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    std::int64_t magnitude = 0;
    for (; IsDigit(*p); ++p) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > Limit) return false;
    }
    const std::int64_t result = negative ? -magnitude : magnitude;
    if (result < INT32_MIN || result > INT32_MAX) return false;
    value = static_cast<std::int32_t>(result);
    return true;
}

bool IsSupportedRate(std::int64_t rate) {
    return std::find(std::begin(SupportedRates), std::end(SupportedRates), rate) != std::end(SupportedRates);
}

Request RequestOf(int argc, const char* const* argv) {
    if (argc < 2) return Request::Capture;  // no arguments: COM1 at 9600 baud
    const char* first = argv[1];
    for (const char* help : {"--help", "-h", "-?", "/?"}) {
        if (std::strcmp(first, help) == 0) return Request::Help;
    }
    return std::strcmp(first, "--version") == 0 ? Request::Version : Request::Capture;
}

Settings ParseArguments(int argc, const char* const* argv, const char* devicePathPrefix) {
    Settings settings;
    if (argc > 1) SetPort(settings, argv[1], devicePathPrefix);
    std::int32_t rate = 0;
    if (argc > 2 && DecimalValue(argv[2], rate) && IsSupportedRate(rate)) settings.BaudRate = rate;
    if (argc > 3) settings.DtrOption = std::strcmp(argv[3], "-d1") == 0;
    if (argc > 4) settings.RtsOption = std::strcmp(argv[4], "-c1") == 0;
    return settings;
}
