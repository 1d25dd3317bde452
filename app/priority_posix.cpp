#include <sys/resource.h>

#include "priority.h"

// POSIX has no priority classes: a lower nice value is the nearest thing.
void RaisePriority() { setpriority(PRIO_PROCESS, 0, -10); }
