// Line configuration on POSIX systems other than Linux. There speed_t holds
// the rate itself, so every rate can be asked for; macOS drivers that refuse
// a rate in tcsetattr take it through IOSSIOSPEED.
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <utility>
#if defined(__APPLE__)
#include <IOKit/serial/ioss.h>
#endif

#include "line_posix.h"
#include "line_shape.h"

namespace {
termios Line{};  // the line as the port had it when we opened it

// Raw, in the line's shape, with the read settings ReadBlock relies on, the
// rate left as it is; a break is counted by the driver but gives no byte;
// parity neither checked nor marked.
termios RawLine(termios line, tcflag_t shape) {
    const speed_t input = cfgetispeed(&line), output = cfgetospeed(&line);
    cfmakeraw(&line);
    line.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | BRKINT | PARMRK | INPCK);
    line.c_iflag |= IGNBRK;
    line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#if defined(CMSPAR)
    line.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);  // mark or space parity another program left
#endif
    line.c_cflag |= shape | CLOCAL | CREAD;
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;
    cfsetispeed(&line, input);
    cfsetospeed(&line, output);
    return line;
}

}  // namespace

int ReadLineConfiguration(int fd) { return tcgetattr(fd, &Line) == 0 ? 0 : errno; }

int ApplyRawLine(int fd, int baudRate, const LineShape& shape) {
    tcflag_t bits = 0;
    if (!ShapeFlags(shape, bits)) return EINVAL;
    termios line = RawLine(Line, bits);
    const speed_t rate = static_cast<speed_t>(baudRate);
    // Where speed_t holds B constants (Linux without termios2), a rate
    // without one is refused here, never applied as the rate the line had.
    if (cfsetspeed(&line, rate) != 0) return errno;
    if (tcsetattr(fd, TCSANOW, &line) == 0) return 0;
#if defined(__APPLE__)
    // Its drivers take other rates only through IOSSIOSPEED, after a standard one.
    cfsetspeed(&line, B9600);
    if (tcsetattr(fd, TCSANOW, &line) == 0 && ioctl(fd, IOSSIOSPEED, &rate) == 0) return 0;
#endif
    return errno;
}

int ApplyRawLineAtPreviousRate(int fd, const LineShape& shape) {
    tcflag_t bits = 0;
    if (!ShapeFlags(shape, bits)) return EINVAL;
    const termios line = RawLine(Line, bits);
    return tcsetattr(fd, TCSANOW, &line) == 0 ? 0 : errno;
}

bool IsCdcAcm(int) { return false; }  // no portable way to ask

// By its name: /dev/pts/N (the BSDs), /dev/ttysNNN (macOS).
bool IsPseudoTerminal(int fd) {
    const char* name = ttyname(fd);
    return name && (std::strncmp(name, "/dev/pts/", 9) == 0 ||
                    (std::strncmp(name, "/dev/ttys", 9) == 0 && name[9] >= '0' && name[9] <= '9'));
}

unsigned PreviousRate() {
    const speed_t speed = cfgetospeed(&Line);
    // Where speed_t is a code rather than the rate (glibc), the codes a port may report.
    constexpr std::pair<speed_t, unsigned> codes[] = {
        {B150, 150},     {B300, 300},     {B600, 600},     {B1200, 1200},     {B2400, 2400},    {B4800, 4800},
        {B9600, 9600},   {B19200, 19200}, {B38400, 38400}, {B57600, 57600},   {B115200, 115200}, {B230400, 230400}};
    const auto* known =
        std::find_if(std::begin(codes), std::end(codes), [&](const auto& code) { return code.first == speed; });
    return known != std::end(codes) ? known->second : static_cast<unsigned>(speed);
}

int FlushLine(int fd) { return tcflush(fd, TCIOFLUSH) == 0 ? 0 : errno; }

bool LineErrorCounters(int, LineCounters&) { return false; }  // no portable way to ask
