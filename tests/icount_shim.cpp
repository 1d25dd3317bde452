// Preloaded into the program under test, this stands in for a serial
// driver's line-error counters, which a pseudo-terminal does not keep: it
// answers TIOCGICOUNT from LUMTREX_TEST_ICOUNT and passes every other ioctl
// on. The variable holds two readings, "overrun,buf_overrun,frame,brk" each,
// separated by ";": the first is answered to the first call, the second to
// every later one.
// It also stands in for a file system that reports an error only when a
// file is closed (NFS, FUSE): with LUMTREX_TEST_CLOSE_ERROR set, the close
// of lumtrex.log fails with that error number, after it really closed.
#include <asm/ioctls.h>
#include <dlfcn.h>
#include <linux/serial.h>
#include <unistd.h>

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

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
    std::va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if (request == TIOCGICOUNT && Scripted(static_cast<serial_icounter_struct*>(argument))) return 0;
    using Ioctl = int (*)(int, unsigned long, ...);
    static const auto real = reinterpret_cast<Ioctl>(dlsym(RTLD_NEXT, "ioctl"));
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
