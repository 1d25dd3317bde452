// Line configuration on Linux through termios2, which takes any rate
// (BOTHER), 14400, 28800 and 76800 included.
#include "line_linux.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <linux/serial.h>
#include <linux/tty_flags.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "line_posix.h"
#include "line_shape.h"

namespace {
termios2 Line{};  // the line as the port had it when we opened it

// A driver that cannot make the rate reports the one it made instead; more
// than 2 % off is more than a UART receiver tolerates.
bool RateAccepted(long made, long asked) { return std::labs(made - asked) * 50 <= asked; }

// The 8250 driver's own names: its platform ports, and its PnP and PCI parts.
bool Is8250Driver(const char* name) { return std::strcmp(name, "serial8250") == 0 || std::strcmp(name, "serial") == 0; }

// The clock the PCI part reports for OxSemi's PCIe UARTs, which reach every
// rate through an oversampling rate and a prescaler it picks for each.
constexpr int OxSemiPcieBaudBase = 15625000;

// The driver of the open port's hardware, or "".
std::string PortDriver(int fd) {
    struct stat device {};
    if (fstat(fd, &device) != 0 || !S_ISCHR(device.st_mode)) return "";
    char path[64];
    std::snprintf(path, sizeof path, "/sys/dev/char/%u:%u/device", major(device.st_rdev), minor(device.st_rdev));
    return DriverOf(path);
}

bool PortMakesRate(int fd, int baudRate) {
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return true;  // no UART to ask: the read-back decides
    const std::string driver = PortDriver(fd);
    return UartMakesRate({serial.type, serial.baud_base, serial.flags, serial.custom_divisor, driver.c_str()}, baudRate);
}

constexpr tcflag_t ShapeBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;

// Raw, in the line's shape, with the read settings ReadBlock relies on, the
// rate left as it is: no echo, no translation of any byte, no flow control,
// a break counted by the driver but no byte for it, parity neither checked
// nor marked (a byte with a parity error is kept as it came).
termios2 RawLine(termios2 line, tcflag_t shape) {
    line.c_iflag &= ~static_cast<tcflag_t>(BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY |
                                           INPCK | IUCLC | IMAXBEL);
    line.c_iflag |= IGNBRK;
    line.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    line.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    line.c_cflag &= ~static_cast<tcflag_t>(ShapeBits | CRTSCTS);
    line.c_cflag |= shape | CLOCAL | CREAD;
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;
    return line;
}

}  // namespace

bool UartMakesRate(const UartReport& uart, int rate) {
    if (uart.Type == PORT_UNKNOWN || uart.BaudBase <= 0 || rate <= 0 || !Is8250Driver(uart.Driver)) return true;
    // Divisors of their own: the read-back decides.
    if ((uart.Flags & ASYNC_MAGIC_MULTIPLIER) || uart.BaudBase == OxSemiPcieBaudBase) return true;
    long divisor = (2L * uart.BaudBase / rate + 1) / 2;       // the driver's rounding to the nearest
    // setserial's spd_cust: 38400 stands for the custom divisor, which the
    // driver programs as it is, 0 (the slowest divisor there is) too.
    if (rate == 38400 && (uart.Flags & ASYNC_SPD_MASK) == ASYNC_SPD_CUST) {
        if (uart.CustomDivisor <= 0) return false;
        divisor = uart.CustomDivisor;
    }
    if (divisor < 1) divisor = 1;
    return RateAccepted(uart.BaudBase / divisor, rate);
}

int ReadLineConfiguration(int fd) { return ioctl(fd, TCGETS2, &Line) == 0 ? 0 : errno; }

// The driver changes what it cannot make (ftdi_sio: 5 or 6 data bits) and says so only in the read-back.
int SetAndCheck(int fd, termios2& line, tcflag_t shape) {
    if (ioctl(fd, TCSETS2, &line) != 0) return errno;
    if (ioctl(fd, TCGETS2, &line) != 0) return errno;
    return (line.c_cflag & ShapeBits) == shape || IsPseudoTerminal(fd) ? 0 : EINVAL;
}

int ApplyRawLine(int fd, int baudRate, const LineShape& shape) {
    tcflag_t bits = 0;
    if (!ShapeFlags(shape, bits) || !PortMakesRate(fd, baudRate)) return EINVAL;
    termios2 line = RawLine(Line, bits);
    line.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    line.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    line.c_ispeed = line.c_ospeed = static_cast<speed_t>(baudRate);
    if (const int error = SetAndCheck(fd, line, bits)) return error;
    if (!RateAccepted(line.c_ospeed, baudRate) || !RateAccepted(line.c_ispeed, baudRate)) return EINVAL;
    return 0;
}

int ApplyRawLineAtPreviousRate(int fd, const LineShape& shape) {
    tcflag_t bits = 0;
    if (!ShapeFlags(shape, bits)) return EINVAL;
    termios2 line = RawLine(Line, bits);
    return SetAndCheck(fd, line, bits);
}

bool IsCdcAcm(int fd) { return PortDriver(fd) == "cdc_acm"; }

// (It has no line either: Linux keeps CS8 without parity whatever is set.)
bool IsPseudoTerminal(int fd) {
    struct stat device {};
    return fstat(fd, &device) == 0 && S_ISCHR(device.st_mode) && major(device.st_rdev) >= 136 && major(device.st_rdev) <= 143;
}

unsigned PreviousRate() { return Line.c_ospeed; }  // the kernel keeps it in baud for every rate

int FlushLine(int fd) { return ioctl(fd, TCFLSH, TCIOFLUSH) == 0 ? 0 : errno; }

bool LineErrorCounters(int fd, LineCounters& counters) {
    serial_icounter_struct counts{};
    if (ioctl(fd, TIOCGICOUNT, &counts) != 0) return false;  // a pseudo-terminal, a driver without them
    counters.Overrun = static_cast<std::uint32_t>(counts.overrun);
    counters.BufferOverrun = static_cast<std::uint32_t>(counts.buf_overrun);
    counters.Frame = static_cast<std::uint32_t>(counts.frame);
    counters.Break = static_cast<std::uint32_t>(counts.brk);
    counters.Parity = static_cast<std::uint32_t>(counts.parity);
    return true;
}
