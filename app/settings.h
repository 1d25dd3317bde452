// settings.h: the run's settings, read once from the command line.
//
//   ParseArguments()  turns argv into a Settings record (never fails: bad
//                     arguments fall back to COM1 and 9600 baud).
//   PortName()        the port as the user named it, for every message.
#pragma once
#include <cstdint>

inline constexpr int DefaultBaudRate = 9600;
inline constexpr int PriorityThreshold = 38400;   // rates above it raise the priority

struct Settings {
    int PortIndex = 0;                 // COM number minus one (0 to 254)
    int BaudRate = DefaultBaudRate;    // always one of SupportedRates
    bool DtrOption = false;            // raise DTR while capturing
    bool RtsOption = false;            // raise RTS while capturing
    const char* DevicePath = nullptr;  // a device named by path, else null
    char ComName[8] = "COM1";          // "COM<PortIndex + 1>"
};

// Written by the run sequence before the port is opened, only read afterwards.
extern Settings PortSettings;

// Decimal value of an argument: white space, an optional sign, digits.
// Returns false when the value lies outside the 32-bit range.
bool DecimalValue(const char* text, std::int32_t& value);

bool IsSupportedRate(std::int64_t rate);

// devicePathPrefix: how a device path begins on this system ("/" on POSIX).
Settings ParseArguments(int argc, const char* const* argv, const char* devicePathPrefix);

const char* PortName(const Settings& settings);
