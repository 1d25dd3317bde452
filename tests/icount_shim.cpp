// Preloaded into the program under test, this stands in for a serial
// driver's line-error counters, which a pseudo-terminal does not keep: it
// answers TIOCGICOUNT from LUMTREX_TEST_ICOUNT and passes every other ioctl
// on. The variable holds two readings, "overrun,buf_overrun,frame,brk" each,
// separated by ";": the first is answered to the first call, the second to
// every later one.
#include <asm/ioctls.h>
#include <dlfcn.h>
#include <linux/serial.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

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
