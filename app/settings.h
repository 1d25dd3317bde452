// settings.h: the run's settings, read once from the command line.
//
//   RequestOf()       whether argv asks for help, the version or a capture.
//   ParseArguments()  turns argv into a Settings record (never fails: bad
//                     arguments fall back to COM1 and 9600 baud).
#pragma once
#include <cstdint>

#include "../serial/serial.h"  // Settings, PortSettings, PortName

inline constexpr int PriorityThreshold = 38400;   // rates above it raise the priority

// Decimal value of an argument: white space, an optional sign, digits.
// Returns false when the value lies outside the 32-bit range.
bool DecimalValue(const char* text, std::int32_t& value);

bool IsSupportedRate(std::int64_t rate);

// What the command line asks for: the usage text ("--help", "-h", "-?" or
// "/?" first), the version ("--version" first), or else a capture.
enum class Request { Capture, Help, Version };
Request RequestOf(int argc, const char* const* argv);

// devicePathPrefix: how a device path begins on this system ("/" on POSIX).
Settings ParseArguments(int argc, const char* const* argv, const char* devicePathPrefix);
