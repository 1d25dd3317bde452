// ring.h: what the reader hands the recorder, in memory made once: the
// bytes of the reads, in order, and marks among them (when bytes came, a
// gap, a loss, the line errors). One thread puts (the reader), one takes
// (the recorder); neither ever waits for the other here.
//
//   MakeRing()     once, before the threads: RingSize(rate) bytes and
//                  MarkCount marks.
//   RingRoom()     how many bytes fit now; PutBytes() appends that many at most.
//   PutMark()      a mark at the offset of the next byte put; false when the
//                  marks' ring is full (time marks leave MarkReserve for the others).
//   PutTotal()     every byte put so far: the offset of the next.
//   NextBytes() / TakeBytes()  the taker's side: the bytes up to the next
//                  mark (a contiguous piece of them), then TakenTotal() is its offset.
//   NextMark() / TakeMark()    the next mark, once every byte before it is taken.
//   RingEmpty()    whether everything put has been taken.
#pragma once
#include <cstddef>
#include <cstdint>

enum class MarkKind {
    Time,    // the byte at Offset (and those after it, until the next) arrived at EpochMs; Value[0] 1: a time line
    Lost,    // the port went away after Offset bytes
    Back,    // and is back
    Loss,    // Value[0] bytes that arrived here did not fit in the ring: missing from the log
    Errors,  // the line errors counted during the capture: overrun, frame, break, parity in Value
};

struct Mark {
    MarkKind Kind = MarkKind::Time;
    std::uint64_t Offset = 0;     // bytes of the capture before it
    std::int64_t EpochMs = 0;     // ms since 1970 UTC
    std::uint64_t Value[4] = {};
};

inline constexpr std::size_t SmallestRing = 1 << 20;  // 1 MiB
inline constexpr std::size_t LargestRing = 64 << 20;  // 64 MiB
inline constexpr std::size_t MarkCount = 4096;
inline constexpr std::size_t MarkReserve = 256;

// The bytes of 10 s at `bytesPerSecond`, at least SmallestRing and at most
// LargestRing; `asked` (a test's, 0: none) instead where given.
std::size_t RingSize(std::uint64_t bytesPerSecond, std::size_t asked);

void MakeRing(std::size_t bytes);
std::size_t RingCapacity();
std::size_t RingRoom();
void PutBytes(const unsigned char* bytes, std::size_t size);
bool PutMark(const Mark& mark);
std::uint64_t PutTotal();

std::size_t NextBytes(const unsigned char*& bytes);
void TakeBytes(std::size_t size);
std::uint64_t TakenTotal();
bool NextMark(Mark& mark);
void TakeMark();
bool RingEmpty();
