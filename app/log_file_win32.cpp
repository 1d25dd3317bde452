#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdint>

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

// The sharing is the lock: others may read the log while it is written, but
// neither a second writer nor anyone who would delete or move it may open it.
HANDLE OpenLog(const char* name, DWORD disposition) {
    return CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A look at what stands at the name before the log is opened; it lets
// everyone else open, write and move the file meanwhile, this run too.
HANDLE LookAt(const char* name) {
    return CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A virus scanner or an indexer may hold the previous capture (or the one
// before it) for a moment: a move refused for sharing is tried again for
// about a second.
constexpr int MoveTries = 10;
constexpr DWORD MovePause = 100;  // ms

bool MoveAside(const char* name, const char* previousName) {
    for (int tries = 1;; ++tries) {
        if (MoveFileExA(name, previousName, MOVEFILE_REPLACE_EXISTING)) return true;
        if (GetLastError() != ERROR_SHARING_VIOLATION || tries == MoveTries) return false;
        Sleep(MovePause);
    }
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

std::FILE* Stream(HANDLE file) {
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(file), _O_WRONLY | _O_BINARY);
    if (fd < 0) return Fail(ERROR_TOO_MANY_OPEN_FILES, file);
    std::FILE* log = _fdopen(fd, "wb");
    if (!log) _close(fd);
    return log;
}

}  // namespace

std::FILE* CreateLog(const char* name, const char* previousName, bool& keptPrevious) {
    keptPrevious = false;
    for (int attempt = 0; attempt < Attempts; ++attempt) {
        const HANDLE look = LookAt(name);
        if (look == INVALID_HANDLE_VALUE) return Fail(GetLastError());
        const bool onDisk = GetFileType(look) == FILE_TYPE_DISK;  // not NUL or another device
        LARGE_INTEGER size{};
        const bool previous = onDisk && !IsLink(name) && GetFileSizeEx(look, &size) && size.QuadPart > 0;
        // A run recording into it holds the log without delete sharing: the
        // move is refused, and so is this run.
        if (previous && !MoveAside(name, previousName)) return Fail(GetLastError(), look);
        // Opened while the look still holds the name. A previous capture was
        // moved: the new log is ours alone before the old one is let go, and
        // a run that created it in the meantime is recording there. Else
        // the file looked at is the log, unless a run took it meanwhile.
        const HANDLE log = OpenLog(name, previous ? CREATE_NEW : OPEN_ALWAYS);
        const DWORD error = GetLastError();
        CloseHandle(look);
        if (log != INVALID_HANDLE_VALUE) {
            keptPrevious = previous;
            if (onDisk && !previous && !SetEndOfFile(log)) return Fail(GetLastError(), log);
            return Stream(log);
        }
        if (error != ERROR_FILE_EXISTS) return Fail(error);
    }
    return Fail(ERROR_SHARING_VIOLATION);  // every attempt lost to other runs
}

int CloseLogFile(std::FILE* log) {
    // Unbuffered, the stream's close reports only CloseHandle: a write that
    // a network share or a USB stick fails late shows only when it is flushed.
    const HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(log)));
    const bool flushed = GetFileType(file) != FILE_TYPE_DISK || FlushFileBuffers(file);
    const int flushError = flushed ? 0 : ErrorNumber(GetLastError());
    errno = 0;
    if (std::fclose(log) != 0 && flushError == 0) return errno != 0 ? errno : EIO;
    return flushError;
}
