// pty_source.h: a pseudo-terminal standing in for a serial line, and ways to
// send bytes into it as an instrument would. The program under test opens
// SlavePath as its port; we write to Master.
#pragma once
#include <cstddef>
#include <cstdint>

struct PtyLine {
    int Master = -1;
    char SlavePath[64] = {};
};

// A new pair, its line raw so nothing sent before the reader opens is altered.
bool OpenPtyLine(PtyLine& line);
void ClosePtyLine(PtyLine& line);

// Writes all bytes, waiting while the line is full; false when the reader is
// gone or has taken nothing for 20 s. `longestWaitMs`: the longest the line
// was full (the reader took nothing), raised where it was longer.
bool SendAll(int fd, const unsigned char* data, std::size_t size, long long* longestWaitMs = nullptr);

// Writes at the pace of a UART at `baudRate` (10 bit times a byte), in chunks
// every `chunkMs` milliseconds as a receive FIFO hands them on. Stops early
// when *stop turns true; returns the bytes sent.
std::size_t SendPaced(int fd, const unsigned char* data, std::size_t size, int baudRate, int chunkMs,
                      const volatile bool* stop = nullptr, long long* longestWaitMs = nullptr);

enum class Pattern { Text, Bytes, Random };

// Byte `offset` onwards of a pattern: readable measurement lines, the 256 byte
// values in turn, or random bytes from `seed` (the same for the same seed).
void FillPattern(Pattern pattern, std::uint64_t seed, std::uint64_t offset, unsigned char* out, std::size_t size);
