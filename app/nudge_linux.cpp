// Doze and Nudge on Linux: a futex word, 1 once nudged.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <ctime>

#include "nudge.h"

namespace {
std::atomic<std::uint32_t> Nudged{0};
}

void Doze(int milliseconds) {
    if (Nudged.exchange(0) == 1) return;
    const timespec limit{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000};
    syscall(SYS_futex, &Nudged, FUTEX_WAIT_PRIVATE, 0, &limit, nullptr, 0);  // at once unless still 0
    Nudged.exchange(0);  // read, so what the nudger put before it is seen
}

void Nudge() {
    if (Nudged.exchange(1) == 0) syscall(SYS_futex, &Nudged, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}
