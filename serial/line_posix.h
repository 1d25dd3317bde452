// line_posix.h: the line configuration on POSIX, one file per system family
// (Linux needs termios2 for rates without a B constant).
#pragma once

#include "serial.h"

int ReadLineConfiguration(int fd);               // 0 or errno
int ApplyRawLine(int fd, int baudRate);          // raw 8N1 at the rate; 0 or errno
int FlushLine(int fd);                           // input and output queues
bool LineErrorCounters(int fd, LineCounters& counters);  // false: the system keeps none
