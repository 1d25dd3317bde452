#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "log_file.h"

namespace {
std::FILE* Fail(int fd) {
    const int error = errno;
    close(fd);
    errno = error;
    return nullptr;
}
}  // namespace

std::FILE* CreateLog(const char* name) {
    // Not O_TRUNC: the file may be another run's, and is emptied only once
    // the lock says it is ours.
    const int fd = open(name, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    // Only a lock held elsewhere refuses; a file system without locks
    // (some network and FUSE ones) is written unlocked.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) return Fail(fd);
    // A device such as /dev/full cannot be emptied and need not be.
    struct stat info {};
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && ftruncate(fd, 0) != 0) return Fail(fd);
    std::FILE* log = fdopen(fd, "wb");
    return log ? log : Fail(fd);
}
