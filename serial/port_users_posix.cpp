// POSIX systems without Linux's /proc: no portable way to see who else has
// a device open; the flock and TIOCEXCL of the open still keep out programs
// that take them.
#include "port_users.h"

bool OpenElsewhere(const char*) { return false; }
