// Who else has a device open, from /proc/<pid>/fd: a program that takes no
// lock (a forgotten `cat /dev/ttyUSB0`) would share the bytes with us.
#include <dirent.h>
#include <sys/stat.h>
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

// Whether one of the process's open files is the device `device`. The link
// is read first; only a device path is looked at more closely.
bool HoldsDevice(const char* process, dev_t device) {
    char folder[272];  // room for any name a folder entry can have
    std::snprintf(folder, sizeof folder, "/proc/%s/fd", process);
    DIR* files = opendir(folder);
    if (!files) return false;  // not ours to look into, or already gone
    bool holds = false;
    while (const dirent* file = readdir(files)) {
        if (file->d_name[0] == '.') continue;
        char link[sizeof folder + 260], target[256];
        std::snprintf(link, sizeof link, "%s/%s", folder, file->d_name);
        const ssize_t length = readlink(link, target, sizeof target - 1);
        if (length <= 0) continue;
        target[length] = '\0';
        if (std::strncmp(target, "/dev/", 5) != 0) continue;
        // Through the link, which leads to the open file even where the
        // process sees other mounts than we do.
        struct stat info {};
        if (stat(link, &info) == 0 && S_ISCHR(info.st_mode) && info.st_rdev == device) {
            holds = true;
            break;
        }
    }
    closedir(files);
    return holds;
}

}  // namespace

bool OpenElsewhere(int fd) {
    // Only a terminal can be a serial port; anything else (/dev/null, which
    // every process has open) is turned away later as no serial port.
    struct stat port {};
    if (!isatty(fd) || fstat(fd, &port) != 0) return false;
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
