// socket.h: a TCP connection to a port another machine exports, one
// implementation per system (socket_posix.cpp, socket_win32.cpp). Error
// numbers are the C library's (ECONNREFUSED, ETIMEDOUT, ...) on every system.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Resolves HOST (a name, an IPv4 address, an IPv6 address without brackets)
// and connects to PORT within `timeoutMs`, non-blocking from then on, with
// TCP keepalive that finds a silent peer in about 10 s. 0, `handle` and the
// address connected to (numeric), or the error number; a name that does not
// resolve: EHOSTUNREACH, with the resolver's text in `resolverText`.
int ConnectSocket(const char* host, const char* port, int timeoutMs, std::intptr_t& handle, std::string& resolverText,
                  std::string& address);
// Sends all of `data` (commands only, a few bytes): false when the connection failed.
bool SendSocket(std::intptr_t handle, const unsigned char* data, std::size_t size);
// What has arrived, without waiting: > 0 bytes, 0 when the peer closed,
// -1 when nothing has, -2 when the connection failed (reset, timed out).
long ReceiveSocket(std::intptr_t handle, unsigned char* buffer, std::size_t size);
// Waits at most `timeoutMs` for bytes or the peer's close: true when there is something to receive.
bool WaitSocket(std::intptr_t handle, int timeoutMs);
void CloseSocket(std::intptr_t handle);
