#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "log_file.h"

namespace {

constexpr int Attempts = 20;  // each lost race costs one: bounded, never a spin

std::FILE* Fail(int fd) {
    const int error = errno;
    close(fd);
    errno = error;
    return nullptr;
}

// Only a lock held elsewhere refuses; a file system without locks (some
// network and FUSE ones) is written unlocked.
bool Lock(int fd) { return flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK; }

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

std::FILE* Stream(int fd) {
    std::FILE* log = fdopen(fd, "wb");
    return log ? log : Fail(fd);
}

// Devices, pipes and file systems that keep nothing to sync say so. (EROFS
// is no such answer: a file opened for writing sees it only once its file
// system went read-only after an error, and what was written is lost.)
int SyncResult(int result) {
    return result == 0 || errno == EINVAL || errno == ENOTSUP || errno == EOPNOTSUPP ? 0 : errno;
}

// A log whose name, and the moves before it, are on the disk: the folder
// that holds them is synced (a power cut must not leave no log, nor a
// capture under no name).
std::FILE* Named(int fd, const char* name) {
    const int error = SyncFolderOf(name);
    if (error == 0) return Stream(fd);
    errno = error;
    return Fail(fd);
}

}  // namespace

bool IsEarlierCapture(const char* path) {
    struct stat entry {};
    return lstat(path, &entry) == 0 && !S_ISDIR(entry.st_mode);
}

bool MoveCapture(const char* from, const char* to) { return rename(from, to) == 0; }

bool MoveReplacing(const char* from, const char* to) { return rename(from, to) == 0; }

std::FILE* OpenToRead(const char* name) {
    struct stat entry {};
    if (stat(name, &entry) == 0 && !S_ISREG(entry.st_mode)) {  // a folder, or /dev/full that never ends
        errno = S_ISDIR(entry.st_mode) ? EISDIR : ENODEV;
        return nullptr;
    }
    return std::fopen(name, "rb");
}

bool StillNamed(std::FILE* open, const char* name) {
    struct stat held {}, named {};
    return fstat(fileno(open), &held) == 0 && stat(name, &named) == 0 && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
}

void ReadOn(std::FILE* open) { std::clearerr(open); }

bool IsSymbolicLink(const char* path) {
    struct stat entry {};
    return lstat(path, &entry) == 0 && S_ISLNK(entry.st_mode);
}

bool IsDevice(const char* path) {
    struct stat entry {}, allowed {};
    // stat, not open: opening a terminal as a log would already make it ours.
    if (stat(path, &entry) != 0 || S_ISREG(entry.st_mode) || S_ISDIR(entry.st_mode)) return false;
    for (const char* sink : {"/dev/null", "/dev/full"}) {
        if (S_ISCHR(entry.st_mode) && stat(sink, &allowed) == 0 && S_ISCHR(allowed.st_mode) &&
            allowed.st_rdev == entry.st_rdev) {
            return false;
        }
    }
    return true;  // a character or block device, a FIFO, a socket
}

std::FILE* CreateLog(const char* name, bool& keptPrevious) {
    keptPrevious = false;
    const std::string previousName = EarlierCapture(name, 1);
    for (int attempt = 0; attempt < Attempts; ++attempt) {
        // Not O_TRUNC: the file may be another run's, and is emptied or moved
        // only once the lock says it is ours.
        const int fd = open(name, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) return nullptr;
        if (!Lock(fd)) return Fail(fd);
        // The lock may have come only after another run moved this file away
        // and created a new log: then the name is no longer ours to use.
        struct stat opened {}, current {};
        if (fstat(fd, &opened) != 0) return Fail(fd);
        const bool named = stat(name, &current) == 0;
        if (!named && errno != ENOENT) return Fail(fd);
        if (!named || !SameFile(opened, current)) {
            close(fd);
            continue;
        }
        // A device such as /dev/full is written as it is.
        if (!S_ISREG(opened.st_mode)) return Stream(fd);
        struct stat link {};
        const bool throughLink = lstat(name, &link) == 0 && S_ISLNK(link.st_mode);
        if (opened.st_size == 0 || throughLink) return ftruncate(fd, 0) == 0 ? Named(fd, name) : Fail(fd);
        if (!MoveEarlierCaptures(name) || !MoveWithIndex(name, previousName.c_str(), MoveReplacing)) return Fail(fd);
        // Two names of one file (a hard link): rename did nothing, and the
        // old name is let go, so the capture stays under the earlier one.
        if (stat(name, &current) == 0 && SameFile(opened, current)) unlink(name);
        // The new log is ours alone before the old one is let go: a run that
        // created it in the meantime is recording there, and this one is refused.
        const int created = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (created < 0 && errno != EEXIST) return Fail(fd);
        if (created >= 0 && Lock(created)) {
            close(fd);
            keptPrevious = true;
            return Named(created, name);
        }
        if (created >= 0) close(created);
        close(fd);
    }
    errno = EWOULDBLOCK;  // every attempt lost to other runs
    return nullptr;
}

int ProbeLog(const char* name) {
    // (Non-blocking: a FIFO without a reader would hold the open.)
    int fd = open(name, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        struct stat opened {};
        const bool taken = fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && !Lock(fd);
        close(fd);  // (the lock goes with it)
        return taken ? EWOULDBLOCK : 0;
    }
    if (errno != ENOENT) return errno;
    // None yet: its folder must be there and take a new file (nothing is made
    // now: the log appears only once the port is open).
    const std::string path = name;
    const std::size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    return access(folder.c_str(), W_OK | X_OK) == 0 ? 0 : errno;
}

std::FILE* ReopenLog(const char* name) {
    const int fd = open(name, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) return nullptr;
    if (!Lock(fd)) return Fail(fd);
    return Stream(fd);
}

std::intptr_t LogHandle(std::FILE* log) { return fileno(log); }

bool IsRegularLog(std::FILE* log) {
    struct stat opened {};
    return fstat(fileno(log), &opened) == 0 && S_ISREG(opened.st_mode);
}

int SyncFolderOf(const char* name) {
    const std::string path = name;
    const std::size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int held = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int error = held < 0 ? 0 : SyncResult(fsync(held));
    if (held >= 0) close(held);
    return error;
}

int SyncLogFile(std::intptr_t log) {
    const int fd = static_cast<int>(log);
#if defined(__APPLE__)
    // There fsync leaves the data in the drive's cache, and fdatasync is not declared.
    if (fcntl(fd, F_FULLFSYNC) == 0) return 0;
    return SyncResult(fsync(fd));
#else
    int result = 0;
    while ((result = fdatasync(fd)) != 0 && errno == EINTR) {
    }
    return SyncResult(result);
#endif
}

void ClearStreamError() { errno = 0; }

int StreamError(int otherwise) { return errno != 0 ? errno : otherwise; }

int CloseLogFile(std::FILE* log, bool) {  // fclose reports what the system kept back
    errno = 0;
    if (std::fclose(log) == 0) return 0;
    return errno != 0 ? errno : EIO;
}
