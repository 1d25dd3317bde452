// A terminal's line as termios2 shows it, the rate in baud (glibc knows no
// 76800); apart from <termios.h>, whose struct termios clashes with the kernel's.
#pragma once

struct LineState {
    unsigned Rate, InputModes, OutputModes, LocalModes;
    unsigned char Vmin;
};
bool ReadLineState(int fd, LineState& state);
// Leaves the line at 4800 baud with the modes of a fresh port, canonical or not.
bool LeaveLineAt4800AsAnotherProgram(int fd, bool canonical);
