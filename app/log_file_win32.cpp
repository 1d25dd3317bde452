#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <winioctl.h>
#include <winternl.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "log_file.h"

// Not declared by every mingw-w64.
#ifndef ERROR_NO_SUCH_DEVICE
#define ERROR_NO_SUCH_DEVICE 433L
#endif
#ifndef ERROR_DISK_QUOTA_EXCEEDED
#define ERROR_DISK_QUOTA_EXCEEDED 1295L
#endif

namespace {

constexpr int Attempts = 20;  // each lost race costs one: bounded, never a spin

}  // namespace

// The C runtime's numbers, each with one meaning (the runtime's own table
// calls a pulled USB stick an invalid argument and a write-protected card a
// held file).
int FileErrorNumber(unsigned long error) {
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
        case ERROR_LOCK_FAILED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_SHARING_BUFFER_EXCEEDED: return EACCES;
        case ERROR_WRITE_PROTECT: return EROFS;
        // The drive or the share failed or went away.
        case ERROR_BAD_UNIT:
        case ERROR_NOT_READY:
        case ERROR_BAD_COMMAND:
        case ERROR_CRC:
        case ERROR_BAD_LENGTH:
        case ERROR_SEEK:
        case ERROR_NOT_DOS_DISK:
        case ERROR_SECTOR_NOT_FOUND:
        case ERROR_WRITE_FAULT:
        case ERROR_READ_FAULT:
        case ERROR_GEN_FAILURE:
        case ERROR_WRONG_DISK:
        case ERROR_REM_NOT_LIST:
        case ERROR_DEV_NOT_EXIST:
        case ERROR_BAD_NET_RESP:
        case ERROR_UNEXP_NET_ERR:
        case ERROR_NETNAME_DELETED:
        case ERROR_NET_WRITE_FAULT:
        case ERROR_SEM_TIMEOUT:
        case ERROR_NO_SUCH_DEVICE:
        case ERROR_FILE_INVALID:
        case ERROR_IO_DEVICE:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_NETWORK_UNREACHABLE:
        case ERROR_HOST_UNREACHABLE:
        case ERROR_CONNECTION_ABORTED:
        case ERROR_DEVICE_REMOVED: return EIO;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS: return EEXIST;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
        case ERROR_DISK_QUOTA_EXCEEDED: return ENOSPC;
        case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
        case ERROR_NOT_SAME_DEVICE: return EXDEV;
        case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_NOT_ENOUGH_QUOTA: return ENOMEM;
        case ERROR_INVALID_HANDLE: return EBADF;
        default: return EINVAL;  // a name Windows does not take (?, *, |), or a call it refuses
    }
}

namespace {

std::FILE* Fail(DWORD error, HANDLE file = INVALID_HANDLE_VALUE) {
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    errno = FileErrorNumber(error);
    return nullptr;
}

std::FILE* DeviceReached(HANDLE file) {
    CloseHandle(file);
    errno = ENODEV;
    return nullptr;
}

// The sharing is the lock: others may read the log while it is written, but
// neither a second writer nor anyone who would delete or move it may open it.
HANDLE OpenLog(const char* name, DWORD disposition) {
    return CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A virus scanner or an indexer may hold the previous capture (or one
// before it) for a moment: a look or a move refused for sharing is tried
// again for about a second.
constexpr int Tries = 10;
constexpr DWORD Pause = 100;  // ms

// A look at what stands at the name before the log is opened. It may move
// the file (a run recording into it refuses that, and so this run), and
// while it is open no run can start writing the file; others may read,
// write and move it meanwhile, this run too.
HANDLE LookAt(const char* name) {
    for (int tries = 1;; ++tries) {
        const HANDLE look = CreateFileA(name, GENERIC_READ | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (look != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION || tries == Tries) return look;
        Sleep(Pause);
    }
}

bool MoveAside(const char* from, const char* to, DWORD flags) {
    for (int tries = 1;; ++tries) {
        if (MoveFileExA(from, to, flags)) return true;
        if (GetLastError() != ERROR_SHARING_VIOLATION || tries == Tries) return false;
        Sleep(Pause);
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

// What opening the file to read under `share` meets: 0, or the error.
DWORD ReadOpen(const char* name, DWORD share) {
    const HANDLE reader = CreateFileA(name, GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (reader == INVALID_HANDLE_VALUE) return GetLastError();
    CloseHandle(reader);
    return 0;
}

// A log refused for sharing is another run's when it lets readers in but
// someone writes it, as a run of ours does; an editor that holds it shares
// nothing, a viewer or a virus scanner only reads.
bool WrittenElsewhere(const char* name) {
    return ReadOpen(name, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE) == 0 &&
           ReadOpen(name, FILE_SHARE_READ | FILE_SHARE_DELETE) == ERROR_SHARING_VIOLATION;
}

std::FILE* Refused(const char* name, DWORD error) {
    if (error == ERROR_SHARING_VIOLATION && WrittenElsewhere(name)) {
        errno = EWOULDBLOCK;
        return nullptr;
    }
    return Fail(error);
}

// NUL and other devices keep nothing to flush, nor do some redirectors and shared folders.
bool Flushed(HANDLE file) {
    if (GetFileType(file) != FILE_TYPE_DISK || FlushFileBuffers(file)) return true;
    return GetLastError() == ERROR_INVALID_FUNCTION || GetLastError() == ERROR_NOT_SUPPORTED;
}

// What an opened name leads to: a link, or a name the system resolves in
// ways the name check cannot see, may lead to a device.
bool LeadsToDevice(HANDLE file) {
    IO_STATUS_BLOCK status{};
    FILE_FS_DEVICE_INFORMATION device{};
    const NTSTATUS asked = NtQueryVolumeInformationFile(file, &status, &device, sizeof device, FileFsDeviceInformation);
    return IsDeviceHandle(GetFileType(file), NT_SUCCESS(asked) ? device.DeviceType : 0);
}

std::FILE* Stream(HANDLE file) {
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(file), _O_WRONLY | _O_BINARY);
    if (fd < 0) return Fail(ERROR_TOO_MANY_OPEN_FILES, file);
    std::FILE* log = _fdopen(fd, "wb");
    if (!log) _close(fd);
    return log;
}

}  // namespace

bool IsDeviceHandle(unsigned long fileType, unsigned long deviceType) {
    return fileType != FILE_TYPE_DISK && !(fileType == FILE_TYPE_CHAR && deviceType == FILE_DEVICE_NULL);
}

bool IsEarlierCapture(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsSymbolicLink(const char* path) { return IsLink(path); }

bool IsDevice(const char* path) {
    // The system's own reading of the name: a DOS device (COM3, AUX, CON,
    // CONIN$, com3.log on Windows 10, \\.\ names, pipes) has a full path in
    // the \\.\ form. NUL stays a place for bytes to go.
    wchar_t wide[MAX_PATH * 2], full[MAX_PATH * 2];
    if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH * 2) == 0) return false;
    const DWORD length = GetFullPathNameW(wide, MAX_PATH * 2, full, nullptr);
    if (length == 0 || length >= MAX_PATH * 2) return false;
    return IsDevicePath(full);
}

bool MoveCapture(const char* from, const char* to) {
    if (MoveAside(from, to, MOVEFILE_WRITE_THROUGH)) return true;
    errno = FileErrorNumber(GetLastError());
    return false;
}

bool MoveReplacing(const char* from, const char* to) {
    if (MoveAside(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    errno = FileErrorNumber(GetLastError());
    return false;
}

std::FILE* OpenToRead(const char* name) {
    // Sharing delete too: a capture shown while its run records is never what keeps the run from moving it.
    const HANDLE file = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return Fail(GetLastError());
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(file), _O_RDONLY | _O_BINARY);
    if (fd < 0) return Fail(ERROR_TOO_MANY_OPEN_FILES, file);
    std::FILE* stream = _fdopen(fd, "rb");
    if (!stream) _close(fd);
    return stream;
}

bool StillNamed(std::FILE* open, const char* name) {
    // Opened for no access, sharing all: it holds up no run's move of the file.
    const HANDLE named = CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
    if (named == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION a{}, b{};
    const HANDLE held = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(open)));
    const bool same = GetFileInformationByHandle(held, &a) && GetFileInformationByHandle(named, &b) &&
                      a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
                      a.nFileIndexLow == b.nFileIndexLow;
    CloseHandle(named);
    return same;
}

void ReadOn(std::FILE* open) { _fseeki64(open, 0, SEEK_CUR); }

std::FILE* CreateLog(const char* name, bool& keptPrevious) {
    keptPrevious = false;
    const std::string previousName = EarlierCapture(name, 1);
    for (int attempt = 0; attempt < Attempts; ++attempt) {
        const HANDLE look = LookAt(name);
        if (look == INVALID_HANDLE_VALUE) return Refused(name, GetLastError());
        if (LeadsToDevice(look)) return DeviceReached(look);
        const bool onDisk = GetFileType(look) == FILE_TYPE_DISK;  // not NUL or another device
        // Two runs may look at once: the one that holds this lock (far beyond
        // any byte of the file) moves the captures, the other looks again.
        OVERLAPPED beyond{};
        beyond.Offset = beyond.OffsetHigh = 0x7fffffff;
        if (onDisk && !LockFileEx(look, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &beyond)) {
            CloseHandle(look);
            Sleep(Pause);
            continue;
        }
        LARGE_INTEGER size{};
        const bool previous = onDisk && !IsLink(name) && GetFileSizeEx(look, &size) && size.QuadPart > 0;
        if (previous && !MoveEarlierCaptures(name)) {
            const int error = errno;
            CloseHandle(look);
            errno = error;
            return nullptr;
        }
        if (previous && !MoveWithIndex(name, previousName.c_str(), MoveReplacing)) {
            const int error = errno;
            CloseHandle(look);
            errno = error;
            return nullptr;
        }
        // A previous capture was moved: the new log is ours alone before the
        // old one is let go, and a run that created it in the meantime is
        // recording there. Else the file looked at is the log (the look
        // would keep it from opening), unless a run took it meanwhile.
        if (!previous) CloseHandle(look);
        const HANDLE log = OpenLog(name, previous ? CREATE_NEW : OPEN_ALWAYS);
        const DWORD error = GetLastError();
        if (previous) CloseHandle(look);
        if (log != INVALID_HANDLE_VALUE) {
            if (LeadsToDevice(log)) return DeviceReached(log);  // the name was changed since the look
            keptPrevious = previous;
            if (onDisk && !previous && !SetEndOfFile(log)) return Fail(GetLastError(), log);
            // NTFS journals a file's name with the file: its flush puts the
            // new name on the disk (the moves above went through at once).
            if (onDisk && !Flushed(log)) return Fail(GetLastError(), log);
            return Stream(log);
        }
        if (error == ERROR_FILE_EXISTS) continue;
        // Another run's look keeps the log from opening for a moment.
        if (error == ERROR_SHARING_VIOLATION && !WrittenElsewhere(name)) {
            Sleep(Pause);
            continue;
        }
        return Refused(name, error);
    }
    errno = EWOULDBLOCK;  // every attempt lost to other runs
    return nullptr;
}

int ProbeLog(const char* name) {
    const HANDLE existing = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (existing != INVALID_HANDLE_VALUE) {
        CloseHandle(existing);
        return 0;
    }
    DWORD error = GetLastError();
    // Held: by another run, or for a moment by a scanner (the log's creation tries again then).
    if (error == ERROR_SHARING_VIOLATION) return WrittenElsewhere(name) ? EWOULDBLOCK : 0;
    // None yet (its folder missing: ERROR_PATH_NOT_FOUND above); nothing is
    // made now: the log appears only once the port is open.
    return error == ERROR_FILE_NOT_FOUND ? 0 : FileErrorNumber(error);
}

std::FILE* ReopenLog(const char* name) {
    const HANDLE log = OpenLog(name, OPEN_EXISTING);
    if (log == INVALID_HANDLE_VALUE) return Refused(name, GetLastError());
    LARGE_INTEGER end{};
    if (!SetFilePointerEx(log, end, nullptr, FILE_END)) return Fail(GetLastError(), log);
    return Stream(log);
}

std::intptr_t LogHandle(std::FILE* log) { return _get_osfhandle(_fileno(log)); }

bool IsRegularLog(std::FILE* log) { return GetFileType(reinterpret_cast<HANDLE>(LogHandle(log))) == FILE_TYPE_DISK; }

int SyncFolderOf(const char*) { return 0; }  // NTFS journals its names; FAT has no folder to flush

void ClearStreamError() {
    errno = 0;
    _doserrno = 0;
}

int StreamError(int otherwise) {
    if (_doserrno != 0) return FileErrorNumber(_doserrno);
    return errno != 0 ? errno : otherwise;
}

int SyncLogFile(std::intptr_t log) { return Flushed(reinterpret_cast<HANDLE>(log)) ? 0 : FileErrorNumber(GetLastError()); }

int CloseLogFile(std::FILE* log, bool synced) {
    // Unbuffered, the stream's close reports only CloseHandle: a write that
    // a network share or a USB stick fails late shows only when it is flushed.
    const int flushError = synced ? 0 : SyncLogFile(LogHandle(log));
    ClearStreamError();
    if (std::fclose(log) != 0 && flushError == 0) return StreamError(EIO);
    return flushError;
}
