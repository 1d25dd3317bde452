// Who else has a device open, from /proc/<pid>/fd: a program that takes no
// lock (a forgotten `cat /dev/ttyUSB0`) would share the bytes with us.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "port_users.h"

namespace {

bool IsProcessId(const char* name) {
    if (*name == '\0') return false;
    for (const char* p = name; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
    }
    return true;
}

// Whether the device number belongs to a terminal: /proc/tty/drivers lists
// each terminal driver's major number and range of minor numbers. Only a
// terminal can be a serial port; other devices (/dev/null, which every
// process has open) are turned away later as no serial port.
bool IsTerminal(dev_t device) {
    std::FILE* drivers = std::fopen("/proc/tty/drivers", "re");
    if (!drivers) return false;
    bool terminal = false;
    char line[256];
    while (!terminal && std::fgets(line, sizeof line, drivers)) {
        unsigned driverMajor = 0, first = 0, last = 0;
        const int fields = std::sscanf(line, "%*s %*s %u %u-%u", &driverMajor, &first, &last);
        if (fields == 2) last = first;
        terminal = fields >= 2 && driverMajor == major(device) && minor(device) >= first && minor(device) <= last;
    }
    std::fclose(drivers);
    return terminal;
}

// Whether one of the process's open files is the device `device`, under any
// name: a holder that opened it through a bind mount or in a chroot sees
// another path than we do. Each link's text is read first; the file behind
// it is asked for its type and device number only from what the kernel has
// (AT_STATX_DONT_SYNC), never from its file system: a file on a dead NFS
// server or a FUSE mount that does not answer must not hold up the open.
bool HoldsDevice(const char* process, dev_t device) {
    char folder[272];  // room for any name a folder entry can have
    std::snprintf(folder, sizeof folder, "/proc/%s/fd", process);
    DIR* files = opendir(folder);
    if (!files) return false;  // not ours to look into, or already gone
    const int at = dirfd(files);  // each link looked up in the folder, not by its whole path
    bool holds = false;
    while (const dirent* file = readdir(files)) {
        if (file->d_name[0] == '.') continue;
        char target[64];
        const ssize_t length = readlinkat(at, file->d_name, target, sizeof target - 1);
        if (length <= 0) continue;
        target[length] = '\0';
        struct statx info {};
        if (!MayBeDevice(target) || statx(at, file->d_name, AT_STATX_DONT_SYNC, STATX_TYPE, &info) != 0) continue;
        if (S_ISCHR(info.stx_mode) && makedev(info.stx_rdev_major, info.stx_rdev_minor) == device) {
            holds = true;
            break;
        }
    }
    closedir(files);
    return holds;
}

}  // namespace

bool MayBeDevice(const char* linkText) {
    return linkText[0] == '/';
}

bool OpenElsewhere(const char* path) {
    struct stat port {};
    if (stat(path, &port) != 0 || !S_ISCHR(port.st_mode) || !IsTerminal(port.st_rdev)) return false;
    DIR* processes = opendir("/proc");
    if (!processes) return false;
    char self[16];
    std::snprintf(self, sizeof self, "%d", static_cast<int>(getpid()));
    bool held = false;
    while (const dirent* process = readdir(processes)) {
        if (!IsProcessId(process->d_name) || std::strcmp(process->d_name, self) == 0) continue;
        if ((held = HoldsDevice(process->d_name, port.st_rdev))) break;
    }
    closedir(processes);
    return held;
}
