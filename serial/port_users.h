// port_users.h: whether another process has a serial device open, one
// implementation per system family (Linux looks through /proc).
#pragma once

// True when another process that this one may look into has the terminal
// device at `path` open, by whatever name. Asked before the device is
// opened, so a port that is refused is never touched. Processes it may not
// look into are skipped.
bool OpenElsewhere(const char* path);

// Whether an open file whose /proc/PID/fd link reads `linkText` may be a
// device node: a path. Sockets, pipes and anonymous inodes ("socket:[...]",
// "pipe:[...]", "anon_inode:...") are none.
bool MayBeDevice(const char* linkText);
