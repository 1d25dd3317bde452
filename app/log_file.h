// log_file.h: the log of one run, one implementation per system, and the
// numbering of the earlier captures, the same on every system.
#pragma once
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

// Opens `name` for this run alone, empty. A previous capture in it (a regular
// file with bytes in it, not reached through a symbolic link) is first moved
// to NAME.1, the earlier captures moving up one number each (NAME.1 to
// NAME.2, ...), none replaced; `keptPrevious` says so. Only the run that holds
// the file moves anything. Null, with errno set, when the log cannot be
// created or a capture cannot be moved (the captures then are all still
// there), or another run is writing it (errno EWOULDBLOCK; its log is left
// exactly as it was), or the name leads to a device after all (errno ENODEV,
// on Windows: a symbolic link to COM3), which is closed before a byte went to it.
std::FILE* CreateLog(const char* name, bool& keptPrevious);
// The log `name` opened again for this run alone, to go on at its end (a
// seam whose new part could not be made); null with errno set.
std::FILE* ReopenLog(const char* name);
// Whether the log `name` could be created now, without making or changing
// anything: 0, EWOULDBLOCK when another run is writing it, or the error its
// creation would meet where that can be known before (a folder missing, a
// folder of that name; on POSIX no rights or a read-only file system too).
int ProbeLog(const char* name);
// Writes out what the system still holds of the log (unless it was `synced`
// just now) and closes it: 0, or the error number of the first failure (a
// late write error shows only now).
int CloseLogFile(std::FILE* log, bool synced = false);

// The error number of a stream call on a log, an index or a capture that
// failed after ClearStreamError(): errno on POSIX; on Windows the system's
// own error as FileErrorNumber numbers it, or errno where the C runtime
// failed without one; `otherwise` where neither says anything.
void ClearStreamError();
int StreamError(int otherwise);

// The log as the system knows it, for a sync from another thread.
std::intptr_t LogHandle(std::FILE* log);
// Whether the log is a file on a disk (not the null device or another device).
bool IsRegularLog(std::FILE* log);
// Asks the system to put what was written to the log on the disk and waits
// for it: 0, or the error number of a failure (a write-back that failed). A
// log that cannot be synced (a device, a pipe, a file system without syncs)
// counts as synced.
int SyncLogFile(std::intptr_t log);
// Puts the names in the folder that holds `name` on the disk (POSIX: an
// fsync of the folder; Windows keeps names in its file system's journal): 0,
// or the error number of a failure.
int SyncFolderOf(const char* name);

// The log's write-back, off the read path: one thread owns nothing but the
// sync of the log it is handed (and its time index, if any), at most once a
// second and only when bytes were written since the last one (NoteLogWritten,
// a flag and nothing else).
// A failure is kept for LogSyncFailure; StopLogSync ends the thread and says
// the first failure, 0 if none.
void StartLogSync(std::FILE* log, std::FILE* index = nullptr);
void NoteLogWritten();
int LogSyncFailure();
int StopLogSync();

// Whether the log NAME, or a name its earlier captures would move to, is a
// device (a terminal, a serial port, a FIFO, a socket; on Windows a DOS
// device such as COM3 or AUX, with or without an extension): such a log
// would send the capture out of it. The null device is no such device (a
// count without a log), nor, on POSIX, /dev/full. The name that is one, or "".
std::string DeviceAmongLogNames(const char* name);

// A log name with its date and time fields (%Y %m %d %H %M %S, %%) filled
// for `when`, in local time; a name without fields as it is.
std::string ExpandedLogName(const char* pattern, std::time_t when);

// The dated name of a part that begins in the hour the clocks went back,
// which the part before already had: the UTC offset added before the
// extension (x-20261025-02.log: x-20261025-02_+0100.log), so it sorts after it.
std::string WithOffset(const std::string& name, int offsetSeconds);

// The name a finished part of the log NAME keeps: NAME.YYYYMMDD-HHMMSS, its
// start in local time, with -2, -3, ... where that is taken (names that sort
// in recording order).
std::string KeptPartName(const std::string& name, std::time_t began);

// NAME.number: an earlier capture of the log NAME, 1 the newest.
std::string EarlierCapture(const char* name, int number);
// Moves NAME.1, NAME.2, ... up one number each, the oldest first, so that
// NAME.1 is free; false (errno set) when a move failed. Each capture's time
// index moves with it (MoveWithIndex). First an index that a run ended
// between its two moves left one number up goes back beside its capture.
bool MoveEarlierCaptures(const char* name);
// The capture `from` moved to `to` by `move`, with its index: first FROM.times,
// if there is one, over TO.times, or else an old TO.times, which belongs to
// nothing now, removed; then the capture, and where that fails the index back.
// False (errno set) when a move failed.
bool MoveWithIndex(const char* from, const char* to, bool (*move)(const char* from, const char* to));
// The capture (or index) whose move failed last, "" when the last moves went through.
std::string RefusedMove();
// Supplied by each system: a move onto a name that may be taken (an index,
// the log onto NAME.1), and a capture opened for reading that keeps no run
// from moving it (--show).
bool MoveReplacing(const char* from, const char* to);
std::FILE* OpenToRead(const char* name);
// Whether `name` names the file `open` reads now (false once the file was
// moved away, or another took its name).
bool StillNamed(std::FILE* open, const char* name);
// A file read to its end made ready to read what is added to it since (on
// Windows the C runtime keeps its end until the position is set again).
void ReadOn(std::FILE* open);

// Supplied by each system: whether `path` is a capture to move along (a
// file or a link, not a folder), and a move to a name that is free.
bool IsEarlierCapture(const char* path);
bool IsDevice(const char* path);  // as DeviceAmongLogNames says, for one name
bool IsSymbolicLink(const char* path);  // a log through one is emptied, never moved

// Windows' verdict on a full path (GetFullPathNameW's): a device has the
// \\.\ or \\?\ form, unless the path goes on to a file on a drive, a volume
// or a share (\\.\C:\x.log, \\?\Volume{GUID}\x.log, \\?\UNC\server\share\x.log);
// the null device (NUL) is none.
bool IsDevicePath(const wchar_t* fullPath);
// Windows' error (GetLastError's) as the C runtime's error number the
// messages give, one meaning each: 13 held by another program or forbidden,
// 5 the drive or the share failed or went away, 30 write-protected, 28 full,
// 2 not found, 22 a name or a call Windows refuses.
int FileErrorNumber(unsigned long windowsError);
// Windows' verdict on what an opened log leads to, from GetFileType's type and
// the device type the system reports (FileFsDeviceInformation's, 0 if none): a
// file on a disk and the null device are places for the bytes; anything else
// is a device (a console, a pipe, a COM port behind a link).
bool IsDeviceHandle(unsigned long fileType, unsigned long deviceType);
bool MoveCapture(const char* from, const char* to);
