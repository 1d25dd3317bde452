// capture.h: the capture stage and the log file "lumtrex.log".
//
//   RunCapture()  creates the log, then reads the port and appends every
//                 byte it delivers until a key waits or a stop is requested.
//                 Returns false when the run failed (log not creatable, log
//                 write failed, device lost); it has said why.
//   CloseLog()    closes the log if it was created.
//   ByteCount     the bytes received and written to the log in this run.
#pragma once
#include <cstdint>

extern std::uint64_t ByteCount;

bool RunCapture();
// Appends `length` bytes to the log; false (errno set) when not all of them got there.
bool WriteBlock(const unsigned char* bytes, std::uint32_t length);
void CloseLog();
