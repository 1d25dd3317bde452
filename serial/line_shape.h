// line_shape.h: a line's shape as the c_cflag bits of termios, written once
// for every POSIX line file; each includes its system's termios header first.
#pragma once
#include "serial.h"

// False for a shape the system cannot set: 1.5 stop bits are CSTOPB with 5
// data bits, and only there (2 stop bits not with 5, as a 16550 has it);
// mark and space parity need CMSPAR.
inline bool ShapeFlags(const LineShape& shape, tcflag_t& bits) {
    constexpr tcflag_t Sizes[] = {CS5, CS6, CS7, CS8};
    const bool stopsMade = shape.HalfStopBits == 2 || (shape.HalfStopBits == 3) == (shape.DataBits == 5);
    if (shape.DataBits < 5 || shape.DataBits > 8 || !stopsMade) return false;
    bits = Sizes[shape.DataBits - 5] | (shape.HalfStopBits > 2 ? CSTOPB : 0);
    switch (shape.Parity) {
        case 'N': return true;
        case 'E': bits |= PARENB; return true;
        case 'O': bits |= PARENB | PARODD; return true;
#if defined(CMSPAR)
        case 'M': bits |= PARENB | CMSPAR | PARODD; return true;
        case 'S': bits |= PARENB | CMSPAR; return true;
#endif
        default: return false;
    }
}
