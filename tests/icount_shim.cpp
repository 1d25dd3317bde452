// Preloaded into the program under test, this stands in for what a serial
// driver does and a pseudo-terminal does not:
// - LUMTREX_TEST_ICOUNT: line-error counters. TIOCGICOUNT is answered with
//   two readings, "overrun,buf_overrun,frame,brk" each, separated by ";":
//   the first to the first call, the second to every later one.
// - LUMTREX_TEST_LINE: a driver that cannot make a rate.
//   "refuse:R"        TCSETS2 or tcsetattr at rate R fails with EINVAL and
//                     changes nothing (as drivers of other systems refuse
//                     in tcsetattr, and Windows drivers in SetCommState);
//   "substitute:R:M"  TCSETS2 at rate R sets rate M instead, which the line
//                     then reports (as drivers that fall back do);
//   "uart:B:D"        TIOCGSERIAL answers a 16550A with baud_base B, and the
//                     device's driver in sysfs is named D.
// - LUMTREX_TEST_CLOSE_ERROR: a file system that reports an error only when
//   a file is closed (NFS, FUSE): the close of lumtrex.log fails with that
//   error number, after it really closed.
// Every other call is passed on.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <dlfcn.h>
#include <linux/serial.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int Calls = 0;

bool Scripted(serial_icounter_struct* counts) {
    const char* script = std::getenv("LUMTREX_TEST_ICOUNT");
    if (!script) return false;
    unsigned values[2][4] = {};
    if (std::sscanf(script, "%u,%u,%u,%u;%u,%u,%u,%u", &values[0][0], &values[0][1], &values[0][2], &values[0][3],
                    &values[1][0], &values[1][1], &values[1][2], &values[1][3]) != 8) {
        return false;
    }
    const unsigned* reading = values[Calls++ == 0 ? 0 : 1];
    *counts = serial_icounter_struct{};
    counts->overrun = static_cast<int>(reading[0]);  // the driver's counters are ints that wrap
    counts->buf_overrun = static_cast<int>(reading[1]);
    counts->frame = static_cast<int>(reading[2]);
    counts->brk = static_cast<int>(reading[3]);
    return true;
}

struct LineScript {
    char Kind[16] = {};
    unsigned Rate = 0, Made = 0;  // refuse, substitute
    unsigned BaudBase = 0;        // uart
    char Driver[32] = {};
};

bool Line(LineScript& script) {
    const char* text = std::getenv("LUMTREX_TEST_LINE");
    if (!text) return false;
    const char* kind = nullptr;
    if (std::sscanf(text, "refuse:%u", &script.Rate) == 1) kind = "refuse";
    if (std::sscanf(text, "substitute:%u:%u", &script.Rate, &script.Made) == 2) kind = "substitute";
    if (std::sscanf(text, "uart:%u:%31s", &script.BaudBase, script.Driver) == 2) kind = "uart";
    if (kind) std::snprintf(script.Kind, sizeof script.Kind, "%s", kind);
    return kind != nullptr;
}

bool Is(const LineScript& script, const char* kind) { return std::strcmp(script.Kind, kind) == 0; }

using Ioctl = int (*)(int, unsigned long, ...);

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
    std::va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    static const auto real = reinterpret_cast<Ioctl>(dlsym(RTLD_NEXT, "ioctl"));
    if (request == TIOCGICOUNT && Scripted(static_cast<serial_icounter_struct*>(argument))) return 0;
    LineScript script;
    if (!Line(script)) return real(fd, request, argument);
    if (request == TIOCGSERIAL && Is(script, "uart")) {
        auto* serial = static_cast<serial_struct*>(argument);
        *serial = serial_struct{};
        serial->type = PORT_16550A;
        serial->baud_base = static_cast<int>(script.BaudBase);
        return 0;
    }
    const bool setting = request == TCSETS2 || request == TCSETSW2 || request == TCSETSF2;
    auto* line = static_cast<termios2*>(argument);
    if (setting && (line->c_cflag & CBAUD) == BOTHER && line->c_ospeed == script.Rate) {
        if (Is(script, "refuse")) {
            errno = EINVAL;
            return -1;
        }
        if (Is(script, "substitute")) {
            termios2 made = *line;
            made.c_ispeed = made.c_ospeed = script.Made;
            return real(fd, request, &made);
        }
    }
    return real(fd, request, argument);
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

// The driver a device in sysfs is bound to.
extern "C" ssize_t readlink(const char* path, char* buffer, size_t size) {
    LineScript script;
    const char* end = path + std::strlen(path);
    constexpr char Suffix[] = "/device/driver";
    if (Line(script) && Is(script, "uart") && std::strncmp(path, "/sys/dev/char/", 14) == 0 &&
        end - path > static_cast<long>(sizeof Suffix) && std::strcmp(end - (sizeof Suffix - 1), Suffix) == 0) {
        const int length = std::snprintf(buffer, size, "../../../bus/pnp/drivers/%s", script.Driver);
        return length < 0 ? -1 : std::min<ssize_t>(length, static_cast<ssize_t>(size) - 1);
    }
    using Readlink = ssize_t (*)(const char*, char*, size_t);
    static const auto real = reinterpret_cast<Readlink>(dlsym(RTLD_NEXT, "readlink"));
    return real(path, buffer, size);
}

// Wine sets a line through the C library, not through ioctl. Its termios
// stays opaque here: the kernel's struct of that name is in scope.
extern "C" int tcsetattr(int fd, int when, const void* modes) {
    using Set = int (*)(int, int, const void*);
    using Get = int (*)(int, void*);
    static const auto real = reinterpret_cast<Set>(dlsym(RTLD_NEXT, "tcsetattr"));
    static const auto get = reinterpret_cast<Get>(dlsym(RTLD_NEXT, "tcgetattr"));
    static const auto control = reinterpret_cast<Ioctl>(dlsym(RTLD_NEXT, "ioctl"));
    LineScript script;
    if (!Line(script) || !Is(script, "refuse")) return real(fd, when, modes);
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
