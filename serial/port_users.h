// port_users.h: whether another process has a serial device open, one
// implementation per system family (Linux looks through /proc).
#pragma once

// True when another process that this one may look into has the device
// behind `fd` open. Processes it may not look into are skipped.
bool OpenElsewhere(int fd);
