// Doze and Nudge where the system has no futex (macOS, the BSDs): a flag under a lock.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "nudge.h"

namespace {
std::mutex& Guard = *new std::mutex;  // not objects: a process that ends while one dozes must not meet their destructors
std::condition_variable& Woken = *new std::condition_variable;
bool Nudged = false;
}

void Doze(int milliseconds) {
    std::unique_lock<std::mutex> lock(Guard);
    Woken.wait_for(lock, std::chrono::milliseconds(milliseconds), [] { return Nudged; });
    Nudged = false;
}

void Nudge() {
    {
        const std::lock_guard<std::mutex> lock(Guard);
        Nudged = true;
    }
    Woken.notify_one();
}
