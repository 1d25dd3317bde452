// line_linux.h: whether a UART of the 8250 family can make a rate, as a plain
// function of what its driver reports (TIOCGSERIAL and the driver's name in
// sysfs). Its driver programs the nearest divisor and reports the rate that
// was asked, so only this arithmetic sees the rate it really makes.
#pragma once
#include <cstdint>
#include <string>

struct UartReport {
    int Type;           // serial_struct.type; PORT_UNKNOWN: no UART behind the node
    int BaudBase;       // serial_struct.baud_base: the clock divided by 16
    int Flags;          // serial_struct.flags
    int CustomDivisor;  // serial_struct.custom_divisor
    const char* Driver; // the device's driver in sysfs, "" when it has none
};

// False when `rate` is more than 2 % from what the divisor makes. True for
// every port that is no UART of the 8250 driver: USB-serial and ACM drivers
// answer TIOCGSERIAL with a baud_base of 0 or with a clock that means
// something else, and report a rate they cannot make themselves.
bool UartMakesRate(const UartReport& uart, int rate);

// The serial ports present, a line each, from sysfs under `sys` and the
// udev names under `dev` ("/sys" and "/dev"): every tty with a device behind
// it but the 8250 driver's placeholders without a UART. Opens no device.
std::string PortsUnder(const std::string& sys, const std::string& dev);

// The driver of the hardware behind a tty's sysfs device, "" where none is
// bound: since Linux 6.5 the serial core puts devices of its own (its
// serial-base bus) in between.
std::string DriverOf(const std::string& device);

// Whether a USB node that appeared `sinceSeenMs` ago may be opened: where
// udev runs, once its record of the device exists or after 2 s.
bool SettledFor(bool udevRuns, bool recorded, std::int64_t sinceSeenMs);
