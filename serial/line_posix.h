// line_posix.h: the line configuration on POSIX, one file per system family
// (Linux needs termios2 for rates without a B constant).
#pragma once

#include "serial.h"

int ReadLineConfiguration(int fd);               // 0 or errno
// Raw, in the line's shape, at the rate; 0 or errno. EINVAL also when the
// port cannot make the rate (more than 2 % off) or the shape (the system has
// no such setting, or the driver made another), whatever its driver accepted.
int ApplyRawLine(int fd, int baudRate, const LineShape& shape);
// Raw at the rate ReadLineConfiguration found: for a port that refused ours.
int ApplyRawLineAtPreviousRate(int fd, const LineShape& shape);
bool IsCdcAcm(int fd);  // a USB CDC-ACM device (Linux: driver cdc_acm)
// A pseudo-terminal: its writer waits while its bytes go unread, and loses none.
bool IsPseudoTerminal(int fd);
unsigned PreviousRate();                         // that rate, in baud
int FlushLine(int fd);                           // input and output queues
bool LineErrorCounters(int fd, LineCounters& counters);  // false: the system keeps none
