// The ring between the reader and the recorder: a single-producer,
// single-consumer queue of bytes and one of marks. Each side owns its own
// count; the other only reads it. The putter publishes a mark before the
// bytes it dates, and the taker looks at the bytes first, then the marks:
// whoever sees the bytes sees their mark.
#include "ring.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace {

unsigned char* Bytes = nullptr;  // made once, never freed: the process ends with it
std::size_t Capacity = 0;
std::atomic<std::uint64_t> Put{0}, Taken{0};

Mark Marks[MarkCount];
std::atomic<std::uint64_t> MarksPut{0}, MarksTaken{0};

// The next mark not taken, if one is put.
bool Pending(Mark& mark) {
    const std::uint64_t taken = MarksTaken.load(std::memory_order_relaxed);
    if (taken == MarksPut.load(std::memory_order_acquire)) return false;
    mark = Marks[taken % MarkCount];
    return true;
}

}  // namespace

std::size_t RingSize(std::uint64_t bytesPerSecond, std::size_t asked) {
    if (asked > 0) return asked;
    return static_cast<std::size_t>(std::clamp<std::uint64_t>(bytesPerSecond * 10, SmallestRing, LargestRing));
}

void MakeRing(std::size_t bytes) {
    if (Bytes) return;
    Bytes = new unsigned char[bytes];
    Capacity = bytes;
}

std::size_t RingCapacity() { return Capacity; }

std::size_t RingRoom() {
    return Capacity - static_cast<std::size_t>(Put.load(std::memory_order_relaxed) - Taken.load(std::memory_order_acquire));
}

void PutBytes(const unsigned char* bytes, std::size_t size) {
    std::uint64_t put = Put.load(std::memory_order_relaxed);
    for (std::size_t at = 0; at < size;) {
        const std::size_t offset = static_cast<std::size_t>(put % Capacity);
        const std::size_t piece = std::min(size - at, Capacity - offset);
        std::memcpy(Bytes + offset, bytes + at, piece);
        at += piece;
        put += piece;
    }
    Put.store(put, std::memory_order_release);
}

bool PutMark(const Mark& mark) {
    const std::uint64_t put = MarksPut.load(std::memory_order_relaxed);
    const std::size_t limit = mark.Kind == MarkKind::Time ? MarkCount - MarkReserve : MarkCount;
    if (put - MarksTaken.load(std::memory_order_acquire) >= limit) return false;
    Marks[put % MarkCount] = mark;
    Marks[put % MarkCount].Offset = Put.load(std::memory_order_relaxed);
    MarksPut.store(put + 1, std::memory_order_release);
    return true;
}

std::uint64_t PutTotal() { return Put.load(std::memory_order_relaxed); }

std::size_t NextBytes(const unsigned char*& bytes) {
    const std::uint64_t taken = Taken.load(std::memory_order_relaxed);
    std::uint64_t until = Put.load(std::memory_order_acquire);
    Mark mark;
    if (Pending(mark)) until = std::min(until, mark.Offset);
    const std::size_t offset = static_cast<std::size_t>(taken % Capacity);
    bytes = Bytes + offset;
    return static_cast<std::size_t>(std::min<std::uint64_t>(until - taken, Capacity - offset));
}

void TakeBytes(std::size_t size) { Taken.store(Taken.load(std::memory_order_relaxed) + size, std::memory_order_release); }

std::uint64_t TakenTotal() { return Taken.load(std::memory_order_relaxed); }

bool NextMark(Mark& mark) { return Pending(mark) && mark.Offset <= Taken.load(std::memory_order_relaxed); }

void TakeMark() { MarksTaken.store(MarksTaken.load(std::memory_order_relaxed) + 1, std::memory_order_release); }

bool RingEmpty() {
    return Taken.load(std::memory_order_relaxed) == Put.load(std::memory_order_acquire) &&
           MarksTaken.load(std::memory_order_relaxed) == MarksPut.load(std::memory_order_acquire);
}
