// The log's write-back on its own thread: a sync that takes hundreds of
// milliseconds (an SD card, a USB stick, a network share) never holds up a
// read. The thread is handed the log's handle and shares nothing else but
// the flag that bytes were written, the request to stop and the first
// failure.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "../console/console.h"
#include "log_file.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto Interval = std::chrono::seconds(1);

std::intptr_t Synced = -1, SyncedIndex = -1;
std::thread* Syncer = nullptr;  // not an object: a process that ends while it runs must not meet its destructor
std::mutex Guard;
std::condition_variable Woken;
bool Stopping = false;
std::atomic<bool> Written{false};
std::atomic<int> Failure{0};

void Keep(int error) {
    if (error == 0) return;
    int none = 0;
    Failure.compare_exchange_strong(none, error);
}

// A second after the last sync began, if bytes were written since.
void SyncEverySecond() {
    KeepSignalsAway();
    std::unique_lock<std::mutex> lock(Guard);
    for (auto next = Clock::now() + Interval; !Stopping;) {
        if (Woken.wait_until(lock, next, [] { return Stopping; })) break;
        next = Clock::now() + Interval;
        if (!Written.exchange(false)) continue;
        lock.unlock();
        Keep(SyncLogFile(Synced));
        if (SyncedIndex != -1) Keep(SyncLogFile(SyncedIndex));
        lock.lock();
    }
}

}  // namespace

void StartLogSync(std::FILE* log, std::FILE* index) {
    Synced = LogHandle(log);
    SyncedIndex = index ? LogHandle(index) : -1;
    Written = false;
    Failure = 0;
    Stopping = false;
    try {
        Syncer = new std::thread(SyncEverySecond);
    } catch (const std::exception&) {
        Syncer = nullptr;  // no thread to be had: the log is synced at a gap and at the end only
    }
}

void NoteLogWritten() { Written.store(true, std::memory_order_relaxed); }

int LogSyncFailure() { return Failure.load(std::memory_order_relaxed); }

int StopLogSync() {
    if (Syncer) {
        {
            const std::lock_guard<std::mutex> lock(Guard);
            Stopping = true;
        }
        Woken.notify_one();
        Syncer->join();
        delete Syncer;
        Syncer = nullptr;
    }
    if (Synced != -1) Keep(SyncLogFile(Synced));
    if (SyncedIndex != -1) Keep(SyncLogFile(SyncedIndex));
    Synced = SyncedIndex = -1;
    return Failure.load();
}
