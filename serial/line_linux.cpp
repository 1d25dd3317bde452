// Line configuration on Linux through termios2, which takes any rate
// (BOTHER), 14400, 28800 and 76800 included.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdlib>

#include "line_posix.h"

namespace {
termios2 Line{};

// A driver that cannot make the rate reports the one it made instead; more
// than 2 % off is more than a UART receiver tolerates.
bool RateAccepted(speed_t made, int asked) { return std::abs(static_cast<long>(made) - asked) * 50 <= asked; }
}  // namespace

int ReadLineConfiguration(int fd) { return ioctl(fd, TCGETS2, &Line) == 0 ? 0 : errno; }

int ApplyRawLine(int fd, int baudRate) {
    termios2 line = Line;
    line.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                           IXOFF | IXANY | INPCK | IUCLC | IMAXBEL);
    line.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    line.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | CBAUD | (CBAUD << IBSHIFT));
    line.c_cflag |= CS8 | CLOCAL | CREAD | BOTHER | (BOTHER << IBSHIFT);
    line.c_ispeed = line.c_ospeed = static_cast<speed_t>(baudRate);
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;
    if (ioctl(fd, TCSETS2, &line) != 0) return errno;
    if (ioctl(fd, TCGETS2, &line) != 0) return errno;
    if (!RateAccepted(line.c_ospeed, baudRate) || !RateAccepted(line.c_ispeed, baudRate)) return EINVAL;
    return 0;
}

int FlushLine(int fd) { return ioctl(fd, TCFLSH, TCIOFLUSH) == 0 ? 0 : errno; }

bool LineErrorCounters(int fd, LineCounters& counters) {
    serial_icounter_struct counts{};
    if (ioctl(fd, TIOCGICOUNT, &counts) != 0) return false;  // a pseudo-terminal, a driver without them
    counters.Overrun = static_cast<std::uint32_t>(counts.overrun);
    counters.BufferOverrun = static_cast<std::uint32_t>(counts.buf_overrun);
    counters.Frame = static_cast<std::uint32_t>(counts.frame);
    counters.Break = static_cast<std::uint32_t>(counts.brk);
    return true;
}
