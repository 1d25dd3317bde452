#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "log_file.h"

namespace {

constexpr int Attempts = 20;  // each lost race costs one: bounded, never a spin

// The C runtime's number for a failure, as the messages give it everywhere
// (its own table, for the failures a file's open or move can meet).
int ErrorNumber(DWORD error) {
    if (error >= ERROR_WRITE_PROTECT && error <= ERROR_SHARING_BUFFER_EXCEEDED) return EACCES;  // sharing, locks, drives
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_NO_MORE_FILES:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_FILENAME_EXCED_RANGE: return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_CURRENT_DIRECTORY:
        case ERROR_NETWORK_ACCESS_DENIED:
        case ERROR_CANNOT_MAKE:
        case ERROR_FAIL_I24:
        case ERROR_DRIVE_LOCKED:
        case ERROR_NOT_LOCKED:
        case ERROR_LOCK_FAILED: return EACCES;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS: return EEXIST;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: return ENOSPC;
        case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
        case ERROR_NOT_SAME_DEVICE: return EXDEV;
        case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_NOT_ENOUGH_QUOTA: return ENOMEM;
        case ERROR_INVALID_HANDLE: return EBADF;
        default: return EINVAL;
    }
}

std::FILE* Fail(DWORD error, HANDLE file = INVALID_HANDLE_VALUE) {
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    errno = ErrorNumber(error);
    return nullptr;
}

// The sharing is the lock: others may read the log while it is written, and
// move it (as the next run moves it away), but no second writer may open it.
HANDLE OpenLog(const char* name, DWORD disposition) {
    return CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A symbolic link named like the log is followed, not moved. Other reparse
// points (a file a cloud folder or deduplication keeps) are the log itself.
bool IsLink(const char* name) {
    WIN32_FIND_DATAA found{};
    const HANDLE search = FindFirstFileA(name, &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    FindClose(search);
    return (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && found.dwReserved0 == IO_REPARSE_TAG_SYMLINK;
}

// Whether the log that cannot be opened is another run's: it lets readers
// in, as a run of ours does; an editor or a sync client that holds it
// without sharing does not.
bool WrittenByAnotherRun(const char* name) {
    const HANDLE reader = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (reader == INVALID_HANDLE_VALUE) return false;
    CloseHandle(reader);
    return true;
}

std::FILE* Stream(HANDLE file) {
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(file), _O_WRONLY | _O_BINARY);
    if (fd < 0) return Fail(ERROR_TOO_MANY_OPEN_FILES, file);
    std::FILE* log = _fdopen(fd, "wb");
    if (!log) _close(fd);
    return log;
}

}  // namespace

bool IsEarlierCapture(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool MoveCapture(const char* from, const char* to) {
    if (MoveFileExA(from, to, 0)) return true;
    errno = ErrorNumber(GetLastError());
    return false;
}

std::FILE* CreateLog(const char* name, bool& keptPrevious) {
    keptPrevious = false;
    const std::string previousName = EarlierCapture(name, 1);
    for (int attempt = 0; attempt < Attempts; ++attempt) {
        const HANDLE log = OpenLog(name, OPEN_ALWAYS);
        if (log == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            if (error != ERROR_SHARING_VIOLATION || !WrittenByAnotherRun(name)) return Fail(error);
            errno = EWOULDBLOCK;
            return nullptr;
        }
        const bool onDisk = GetFileType(log) == FILE_TYPE_DISK;  // not NUL or another device
        const bool throughLink = IsLink(name);
        LARGE_INTEGER size{};
        if (!onDisk || throughLink || !GetFileSizeEx(log, &size) || size.QuadPart == 0) {
            if (onDisk && !SetEndOfFile(log)) return Fail(GetLastError(), log);
            return Stream(log);
        }
        if (!MoveEarlierCaptures(name)) {
            const int error = errno;
            CloseHandle(log);
            errno = error;
            return nullptr;
        }
        if (!MoveFileExA(name, previousName.c_str(), MOVEFILE_REPLACE_EXISTING)) return Fail(GetLastError(), log);
        // The new log is ours alone before the old one is let go: a run that
        // created it in the meantime is recording there, and this one is refused.
        const HANDLE created = OpenLog(name, CREATE_NEW);
        const DWORD error = GetLastError();
        CloseHandle(log);
        if (created != INVALID_HANDLE_VALUE) {
            keptPrevious = true;
            return Stream(created);
        }
        if (error != ERROR_FILE_EXISTS) return Fail(error);
    }
    return Fail(ERROR_SHARING_VIOLATION);  // every attempt lost to other runs
}
