// Preloaded into the program under test: what a serial driver or a file
// system does and a pseudo-terminal or a local disk does not.
// - LUMTREX_TEST_LINE "refuse:R[:FILE]": setting rate R fails with EINVAL and changes
//   nothing (with FILE: while it exists) (in TCSETS2 and, for Wine, tcsetattr), as drivers of other systems
//   refuse it; "substitute:R:M": TCSETS2 at rate R sets M, as drivers that fall back do.
// - LUMTREX_TEST_CFLAG FILE: the line's shape each set asks for (the c_cflag
//   bits CSIZE, PARENB, PARODD, CMSPAR, CSTOPB, in octal) is appended to FILE as
//   a line: a pseudo-terminal forces CS8 without parity whatever is set.
// - LUMTREX_TEST_CLOSE_ERROR: the close of lumtrex.log fails with that error
//   number after it really closed, as on NFS or FUSE.
// - LUMTREX_TEST_SYNC "MS[:FILE]": each fdatasync takes MS milliseconds more,
//   as on an SD card or a USB stick, and appends when it began and ended
//   (steady ms) as a line to FILE. LUMTREX_TEST_SYNC_ERROR: it fails with that
//   error number after it really synced, as a write-back that failed, or a
//   file system that cannot sync. (fsync of a file too, which Wine calls;
//   a folder's sync is left as it is.)
// - LUMTREX_TEST_PARITY N: the line's error counters (TIOCGICOUNT) read
//   nothing at first and N parity errors from then on, as a driver that counts.
// - LUMTREX_TEST_INTRUDER NAME: right after NAME is renamed (the first time),
//   another program makes a file of that name, as a second run could.
// - LUMTREX_TEST_RENAME_REFUSED "PREFIX:TIMES": the first TIMES renames onto a
//   name that begins with PREFIX fail with EACCES, as a file another program
//   holds on Windows.
// - LUMTREX_TEST_KILL_AT_RENAME N: the N-th rename kills the process
//   (SIGKILL) before it is done, as a power cut or kill -9 between two moves.
// - LUMTREX_TEST_WRITE "MS:EVERY[:TIMES]": a write of the log (a file named
//   *.log) takes MS milliseconds more once EVERY ms passed since the first
//   write, or since the last slow one ended; TIMES of them at most. As a slow
//   card, a share that stalls. (fwrite, and write and pwrite, which Wine calls.)
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <linux/serial.h>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

struct LineScript {
    bool Refuse = false;
    unsigned Rate = 0, Made = 0;
};

bool Line(LineScript& script) {
    const char* text = std::getenv("LUMTREX_TEST_LINE");
    if (!text) return false;
    char path[256] = "";
    script.Refuse = std::sscanf(text, "refuse:%u:%255s", &script.Rate, path) >= 1 && (!*path || access(path, F_OK) == 0);
    return script.Refuse || std::sscanf(text, "substitute:%u:%u", &script.Rate, &script.Made) == 2;
}

using Ioctl = int (*)(int, unsigned long, ...);

void RecordShape(unsigned cflag) {
    const char* file = std::getenv("LUMTREX_TEST_CFLAG");
    std::FILE* record = file ? std::fopen(file, "a") : nullptr;
    if (!record) return;
    std::fprintf(record, "%o\n", cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB));
    std::fclose(record);
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
    std::va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    static const auto real = reinterpret_cast<Ioctl>(dlsym(RTLD_NEXT, "ioctl"));
    if (const char* parity = std::getenv("LUMTREX_TEST_PARITY"); parity && request == TIOCGICOUNT) {
        static int readings = 0;
        serial_icounter_struct counts{};
        if (readings++ > 0) counts.parity = std::atoi(parity);
        *static_cast<serial_icounter_struct*>(argument) = counts;
        return 0;
    }
    LineScript script;
    const bool setting = request == TCSETS2 || request == TCSETSW2 || request == TCSETSF2;
    auto* line = static_cast<termios2*>(argument);
    if (setting) RecordShape(line->c_cflag);
    if (!Line(script) || !setting || line->c_ospeed != script.Rate) {
        return real(fd, request, argument);
    }
    if (script.Refuse) {
        errno = EINVAL;
        return -1;
    }
    termios2 made = *line;  // substituted
    made.c_ispeed = made.c_ospeed = script.Made;
    return real(fd, request, &made);
}

extern "C" int fclose(std::FILE* stream) {
    using Fclose = int (*)(std::FILE*);
    static const auto real = reinterpret_cast<Fclose>(dlsym(RTLD_NEXT, "fclose"));
    const char* error = std::getenv("LUMTREX_TEST_CLOSE_ERROR");
    char link[64], target[4096] = {};
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fileno(stream));
    const ssize_t length = error ? readlink(link, target, sizeof target - 1) : -1;
    constexpr char LogName[] = "/lumtrex.log";
    const bool isLog = length >= static_cast<ssize_t>(sizeof LogName - 1) &&
                       std::strcmp(target + length - (sizeof LogName - 1), LogName) == 0;
    const int result = real(stream);
    if (result != 0 || !isLog) return result;
    errno = std::atoi(error);
    return EOF;
}

// Wine sets a line through the C library, not through ioctl. Its termios
// stays opaque here: the kernel's struct of that name is in scope.
extern "C" int tcsetattr(int fd, int when, const void* modes) {
    using Set = int (*)(int, int, const void*);
    using Get = int (*)(int, void*);
    static const auto real = reinterpret_cast<Set>(dlsym(RTLD_NEXT, "tcsetattr"));
    static const auto get = reinterpret_cast<Get>(dlsym(RTLD_NEXT, "tcgetattr"));
    static const auto control = reinterpret_cast<Ioctl>(dlsym(RTLD_NEXT, "ioctl"));
    RecordShape(static_cast<const unsigned*>(modes)[2]);  // c_cflag follows c_iflag and c_oflag in glibc's termios
    LineScript script;
    if (!Line(script) || !script.Refuse) return real(fd, when, modes);
    alignas(16) unsigned char before[256];
    if (get(fd, before) != 0) return real(fd, when, modes);
    if (const int result = real(fd, when, modes)) return result;
    termios2 now{};
    if (control(fd, TCGETS2, &now) == 0 && now.c_ospeed == script.Rate) {
        real(fd, TCSANOW, before);
        errno = EINVAL;
        return -1;
    }
    return 0;
}

namespace {
long long SteadyMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}
}  // namespace

namespace {

int Synced(int fd, const char* name) {
    using Sync = int (*)(int);
    const auto real = reinterpret_cast<Sync>(dlsym(RTLD_NEXT, name));
    struct stat file {};
    if (fstat(fd, &file) == 0 && S_ISDIR(file.st_mode)) return real(fd);  // a folder's sync: as it is
    if (const char* error = std::getenv("LUMTREX_TEST_SYNC_ERROR")) {
        real(fd);
        errno = std::atoi(error);
        return -1;
    }
    const char* setting = std::getenv("LUMTREX_TEST_SYNC");
    if (!setting) return real(fd);
    const long long began = SteadyMs();
    const int result = real(fd);
    const int error = errno;
    usleep(static_cast<useconds_t>(std::atoi(setting)) * 1000);
    if (const char* record = std::strchr(setting, ':')) {
        if (std::FILE* file = std::fopen(record + 1, "a")) {
            std::fprintf(file, "%lld %lld\n", began, SteadyMs());
            std::fclose(file);
        }
    }
    errno = error;
    return result;
}

bool IsLog(int fd) {
    char link[64], target[4096] = {};
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, target, sizeof target - 1);
    return length > 4 && std::strcmp(target + length - 4, ".log") == 0;
}

// A write of the log, slow when it is due to be.
void Stall(int fd) {
    static long long first = -1, lastSlow = -1;
    static int slow = 0;
    const char* setting = std::getenv("LUMTREX_TEST_WRITE");
    int ms = 0, every = 0, times = 0;
    if (!setting || std::sscanf(setting, "%d:%d:%d", &ms, &every, &times) < 2 || !IsLog(fd)) return;
    const long long now = SteadyMs();
    if (first < 0) first = now;
    if ((times > 0 && slow >= times) || now - (lastSlow < 0 ? first : lastSlow) < every) return;
    usleep(static_cast<useconds_t>(ms) * 1000);
    lastSlow = SteadyMs();
    ++slow;
}

}  // namespace

// Whether a rename onto `to` is refused (EACCES), as LUMTREX_TEST_RENAME_REFUSED says.
bool RenameRefused(const char* to) {
    static int refusals = 0;
    char held[256] = "";
    int times = 0;
    const char* refused = std::getenv("LUMTREX_TEST_RENAME_REFUSED");
    if (!refused || std::sscanf(refused, "%255[^:]:%d", held, &times) != 2 || refusals >= times ||
        std::strncmp(std::strrchr(to, '/') ? std::strrchr(to, '/') + 1 : to, held, std::strlen(held)) != 0) {
        return false;
    }
    ++refusals;
    errno = EACCES;
    return true;
}

extern "C" int renameat2(int fromAt, const char* from, int toAt, const char* to, unsigned flags) {  // Wine's
    using Rename = int (*)(int, const char*, int, const char*, unsigned);
    static const auto real = reinterpret_cast<Rename>(dlsym(RTLD_NEXT, "renameat2"));
    return RenameRefused(to) ? -1 : real(fromAt, from, toAt, to, flags);
}

extern "C" int renameat(int fromAt, const char* from, int toAt, const char* to) {
    using Rename = int (*)(int, const char*, int, const char*);
    static const auto real = reinterpret_cast<Rename>(dlsym(RTLD_NEXT, "renameat"));
    return RenameRefused(to) ? -1 : real(fromAt, from, toAt, to);
}

extern "C" int rename(const char* from, const char* to) {
    using Rename = int (*)(const char*, const char*);
    static const auto real = reinterpret_cast<Rename>(dlsym(RTLD_NEXT, "rename"));
    static bool intruded = false;
    static int renames = 0;
    const char* kill = std::getenv("LUMTREX_TEST_KILL_AT_RENAME");
    if (kill && ++renames == std::atoi(kill)) raise(SIGKILL);
    if (RenameRefused(to)) return -1;
    const int result = real(from, to);
    const char* name = std::getenv("LUMTREX_TEST_INTRUDER");
    if (result == 0 && name && !intruded && std::strcmp(from, name) == 0) {
        intruded = true;
        if (std::FILE* file = std::fopen(name, "wx")) {
            std::fputs("intruder", file);
            std::fclose(file);
        }
    }
    return result;
}

extern "C" int fdatasync(int fd) { return Synced(fd, "fdatasync"); }
extern "C" int fsync(int fd) { return Synced(fd, "fsync"); }

extern "C" std::size_t fwrite(const void* data, std::size_t size, std::size_t count, std::FILE* stream) {
    using Write = std::size_t (*)(const void*, std::size_t, std::size_t, std::FILE*);
    static const auto real = reinterpret_cast<Write>(dlsym(RTLD_NEXT, "fwrite"));
    Stall(fileno(stream));
    return real(data, size, count, stream);
}

extern "C" ssize_t write(int fd, const void* data, std::size_t size) {
    using Write = ssize_t (*)(int, const void*, std::size_t);
    static const auto real = reinterpret_cast<Write>(dlsym(RTLD_NEXT, "write"));
    Stall(fd);
    return real(fd, data, size);
}

extern "C" ssize_t pwrite(int fd, const void* data, std::size_t size, off_t offset) {
    using Write = ssize_t (*)(int, const void*, std::size_t, off_t);
    static const auto real = reinterpret_cast<Write>(dlsym(RTLD_NEXT, "pwrite"));
    Stall(fd);
    return real(fd, data, size, offset);
}

extern "C" ssize_t pwrite64(int fd, const void* data, std::size_t size, off64_t offset) {
    using Write = ssize_t (*)(int, const void*, std::size_t, off64_t);
    static const auto real = reinterpret_cast<Write>(dlsym(RTLD_NEXT, "pwrite64"));
    Stall(fd);
    return real(fd, data, size, offset);
}
