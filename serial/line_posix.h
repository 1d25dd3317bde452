// line_posix.h: the line configuration on POSIX, one file per system family
// (Linux needs termios2 for rates without a B constant).
#pragma once

#include "serial.h"

int ReadLineConfiguration(int fd);               // 0 or errno
// Raw 8N1 at the rate; 0 or errno. EINVAL also when the port cannot make the
// rate (more than 2 % off), whatever its driver accepted.
int ApplyRawLine(int fd, int baudRate);
// Raw 8N1 at the rate ReadLineConfiguration found: for a port that refused ours.
int ApplyRawLineAtPreviousRate(int fd);
unsigned PreviousRate();                         // that rate, in baud
int FlushLine(int fd);                           // input and output queues
bool LineErrorCounters(int fd, LineCounters& counters);  // false: the system keeps none
