// The serial port on POSIX: a terminal device opened non-blocking, locked
// with flock and TIOCEXCL, and read with poll against the program's own
// time-outs (POSIX has no COMMTIMEOUTS).
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <cstdio>

#include "../console/console.h"
#include "../console/wake_posix.h"
#include "line_posix.h"
#include "port_users.h"
#include "remote.h"
#include "serial_platform.h"

const char DevicePathPrefix[] = "/";
const char DevicePathExample[] = "/dev/ttyUSB0";
const char DeviceFolder[] = "/dev/";

namespace {

int Fd() { return static_cast<int>(PortHandle); }

void DropModemLines(int fd) {
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIC, &lines);  // fails on a pseudo-terminal; nothing to do then
}

std::int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool IsLostDeviceError(int error) { return error == EIO || error == ENXIO || error == ENODEV; }

// A read of what has arrived: a remote port's telnet commands taken out.
ssize_t Receive(int fd, unsigned char* buffer, std::size_t size) {
    return PortSettings.Remote == RemoteKind::None ? read(fd, buffer, size) : RemoteReceive(buffer, size);
}

bool ReadFault(ReadResult& result) {
    WarningBox("Message", "Something went wrong when calling Windows to read from comport.");
    result.End = ReadEnd::Failed;
    return false;
}

}  // namespace

bool CreateReadEvent() { return true; }  // poll needs no event object

const char* DeviceName(const Settings& settings, char* buffer, std::size_t size) {
    if (settings.DevicePath) return settings.DevicePath;
    std::snprintf(buffer, size, "/dev/ttyS%d", settings.PortIndex);
    return buffer;
}

int OpenDevice(const char* name) {
    // A program that takes no lock may hold it: looked at before the open,
    // since Linux raises DTR and RTS in the open itself, which resets many
    // boards on a port that is not ours.
    if (OpenElsewhere(name)) return EBUSY;
    const int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    // Other serial programs take the flock, and of two runs started together
    // exactly one gets it; TIOCEXCL keeps out those that take no lock (it
    // fails on non-terminals, and root passes it anyway).
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        return error;
    }
    ioctl(fd, TIOCEXCL);
    // Linux raised DTR and RTS when it opened the device; drop them now.
    DropModemLines(fd);
    // One that opened it in the same moment (a modem manager probing a USB
    // node that has just appeared) would share the bytes: the open is given
    // up. Modem managers probe USB adapters only; no other port is scanned twice.
    std::string identity;
    if (DeviceIdentity(name, identity) && !identity.empty() && OpenElsewhere(name)) {
        ioctl(fd, TIOCNXCL);
        close(fd);
        return EBUSY;
    }
    PortHandle = fd;
    return 0;
}

int GetLineState() { return ReadLineConfiguration(Fd()); }

std::string ReceiveQueueNote(const char*) { return ""; }

int SetLineState(int baudRate) {
    const int error = ApplyRawLine(Fd(), baudRate, PortSettings.Line);
    if (error == 0) DropModemLines(Fd());  // some drivers raise them on a rate change
    return error;
}

int SetLineAtPortRate() {
    const int error = ApplyRawLineAtPreviousRate(Fd(), PortSettings.Line);
    if (error == 0) DropModemLines(Fd());
    return error;
}

unsigned PortRate() { return PreviousRate(); }

bool PortIsCdcAcm() { return IsCdcAcm(Fd()); }

bool PortHoldsSenderBack() { return IsPseudoTerminal(Fd()); }

int SetReadTimeouts() { return 0; }  // ReadBlock keeps PortTimeouts itself

bool ReadLineCounters(LineCounters& counters) {
    return PortSettings.Remote == RemoteKind::None ? LineErrorCounters(Fd(), counters) : RemoteLineCounters(counters);
}

std::uint32_t ReadQueued(PortHandleType port, unsigned char* buffer, std::uint32_t length) {
    const ssize_t got = Receive(static_cast<int>(port), buffer, length);  // non-blocking
    return got > 0 ? static_cast<std::uint32_t>(got) : 0;
}

void PurgePort() { FlushLine(Fd()); }

void SetModemLine(ModemLine line, bool raised) {
    int bits = line == ModemLine::Dtr ? TIOCM_DTR : TIOCM_RTS;
    ioctl(Fd(), raised ? TIOCMBIS : TIOCMBIC, &bits);
}

void CloseDevice() {
    ioctl(Fd(), TIOCNXCL);  // the port is free for others again
    close(Fd());
}

std::string DeviceErrorText(int code) { return CodeText(code); }

OpenFault ClassifyOpenError(int code) {
    switch (code) {
        case 0: return OpenFault::None;
        case ENOENT:
        case ENXIO:
        case ENODEV:
        case EIO:  // a /dev/ttyS node without a UART behind it
            return OpenFault::NotFound;
        case EWOULDBLOCK:  // the flock is taken
        case EBUSY:
        case EACCES:
        case EPERM:
            return OpenFault::AccessDenied;
        default: return OpenFault::Other;
    }
}

const std::uint32_t ReadSize = LargestRead;

namespace {

std::int64_t LastReturn = 0;       // when the read before returned with bytes (steady ms)
std::int64_t WaitBeforeRead = 0;   // ms after it for the next read: the bytes streaming meanwhile in one go

// Dates what a read brought and decides when the next one comes. A read
// after a wait took what streamed during it: its first byte came about when
// the read before ended, at most its bytes' time on the line before now.
void Dated(ReadResult& result, bool waited) {
    const std::int64_t now = NowMs(), since = now - LastReturn;
    if (result.Delivered == 0) return;
    if (waited) result.FirstByteAgeMs = std::min<std::int64_t>(since, result.Delivered * ByteMicroseconds() / 1000);
    // Not with --times or --echo: a pause inside the wait would have no time line of its own.
    WaitBeforeRead = result.End == ReadEnd::Paused && !PortSettings.TimedReads
                         ? NextReadAfter(result.Delivered, since, ByteMicroseconds()) : 0;
    LastReturn = now;
}

}  // namespace

bool ReadBlock(PortHandleType port, unsigned char* buffer, std::uint32_t length, ReadResult& result, int limitMs,
               void (*beforeWait)()) {
    const int fd = static_cast<int>(port);
    const std::int64_t start = NowMs();
    result = ReadResult{};
    bool ending = false;  // a key or an end came: take what the driver holds, then end
    // While bytes stream, a moment's wait that only a key or an end cuts short.
    const std::int64_t wait = std::min<std::int64_t>(LastReturn + WaitBeforeRead - start, limitMs < 0 ? WaitBeforeRead : limitMs);
    bool waited = wait > 0;  // a read after a wait while bytes streamed: dated from the bytes' time on the line
    bool handedOn = false;   // beforeWait called
    if (waited && beforeWait) beforeWait(), handedOn = true;
    result.KeysWatched = waited;
    if (waited) {
        pollfd watched[WakeDescriptorCount];
        int timeout = static_cast<int>(wait);
        const int count = WatchForWakeUps(watched, timeout);
        if (poll(watched, static_cast<nfds_t>(count), timeout) > 0) ending = WokenForKeyOrStop(watched, count);
    }
    for (;;) {
        const std::uint32_t asked = length - result.Delivered;
        const ssize_t got = Receive(fd, buffer + result.Delivered, asked);
        const int readError = errno;
        if (got > 0) {
            result.Delivered += static_cast<std::uint32_t>(got);
            if (result.Delivered == length) {
                result.End = ReadEnd::Complete;
                Dated(result, waited);
                return true;
            }
            // Less than asked: the driver held no more. What was read goes
            // to the ring before any wait, so that a kill never takes it.
            if (static_cast<std::uint32_t>(got) < asked) break;
            continue;
        }
        if (got == 0 || IsLostDeviceError(readError)) {  // 0 bytes: hung up, or not a terminal at all
            result.End = ReadEnd::DeviceLost;
            Dated(result, waited);
            return false;
        }
        if (readError != EAGAIN && readError != EINTR) {
            return ReadFault(result);
        }
        if (result.Delivered > 0 || ending) break;
        const std::int64_t elapsed = NowMs() - start;
        std::int64_t left = ReadWaitLeft(PortTimeouts, BlockSize, elapsed, 0, false);
        if (limitMs >= 0 && limitMs - elapsed < left) left = limitMs - elapsed;
        if (left <= 0) {
            result.End = ReadEnd::TimedOut;
            return false;
        }
        // A key or an end ends the read at once, keeping what it has. What
        // came before is handed on once the port has been quiet a moment:
        // bytes that follow at once join it.
        if (beforeWait && !handedOn && elapsed >= HandOnAfter) beforeWait(), handedOn = true;
        result.KeysWatched = true;
        waited = false;  // the line went quiet: the first byte that wakes this poll is dated as it comes
        pollfd watched[1 + WakeDescriptorCount] = {{fd, POLLIN, 0}};
        int timeout = static_cast<int>(beforeWait && !handedOn ? std::min<std::int64_t>(left, HandOnAfter - elapsed) : left);
        const int count = 1 + WatchForWakeUps(watched + 1, timeout);
        const int ready = poll(watched, static_cast<nfds_t>(count), timeout);
        if (ready < 0 && errno != EINTR) {
            return ReadFault(result);
        }
        if (ready > 0 && (watched[0].revents & (POLLHUP | POLLERR | POLLNVAL)) && !(watched[0].revents & POLLIN)) {
            result.End = ReadEnd::DeviceLost;
            return false;
        }
        ending = WokenForKeyOrStop(watched + 1, count - 1);
    }
    result.End = ending ? ReadEnd::Stopped : ReadEnd::Paused;
    Dated(result, waited);
    return false;
}
