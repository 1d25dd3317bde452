// The line of a terminal device through termios2.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "line_state.h"

bool ReadLineState(int fd, LineState& state) {
    termios2 line{};
    if (ioctl(fd, TCGETS2, &line) != 0) return false;
    state = {line.c_ospeed, line.c_iflag, line.c_oflag, line.c_lflag, line.c_cc[VMIN]};
    return true;
}

bool LeaveLineAt4800AsAnotherProgram(int fd, bool canonical) {
    termios2 line{};
    if (ioctl(fd, TCGETS2, &line) != 0) return false;
    // A fresh port's modes: translating, echoing, with flow control.
    line.c_iflag = BRKINT | ICRNL | IXON | IMAXBEL;
    line.c_oflag = OPOST | ONLCR;
    line.c_lflag = ECHO | ECHOE | ECHOK | ECHOCTL | ECHOKE | ISIG | IEXTEN | (canonical ? ICANON : 0);
    // A standard rate, by its constant: Wine knows no other.
    line.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    line.c_cflag |= B4800;
    line.c_ispeed = line.c_ospeed = 4800;
    line.c_cc[VMIN] = canonical ? 1 : 0;  // without ICANON: a read returns at once, empty
    line.c_cc[VTIME] = 0;
    return ioctl(fd, TCSETS2, &line) == 0;
}
