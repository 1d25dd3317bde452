#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "socket.h"

namespace {

// About 10 s of silence: 4 s idle, then 3 probes 2 s apart (where the system lets them be set).
// (Each where the system has it; macOS names the idle time TCP_KEEPALIVE.)
#if !defined(TCP_KEEPIDLE) && defined(TCP_KEEPALIVE)
#define TCP_KEEPIDLE TCP_KEEPALIVE
#endif
void KeepAlive(int fd) {
    int on = 1, idle = 4, interval = 2, count = 3;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
#if defined(TCP_KEEPIDLE)
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
#endif
#if defined(TCP_KEEPINTVL)
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
#endif
#if defined(TCP_KEEPCNT)
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
#endif
    (void)idle, (void)interval, (void)count;
}

// One address: 0 once connected, else the error.
int ConnectTo(const addrinfo& address, int timeoutMs, int& fd) {
    fd = socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    if (fd < 0) return errno;
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    if (connect(fd, address.ai_addr, address.ai_addrlen) != 0 && errno != EINPROGRESS) {
        const int error = errno;
        close(fd);
        return error;
    }
    pollfd watched{fd, POLLOUT, 0};
    int error = 0;
    socklen_t size = sizeof error;
    int ready = 0;
    while ((ready = poll(&watched, 1, timeoutMs)) < 0 && errno == EINTR) {
    }
    if (ready == 0) error = ETIMEDOUT;
    if (ready < 0) error = errno;
    if (ready > 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
    if (error != 0) close(fd);
    return error;
}

}  // namespace

int ConnectSocket(const char* host, const char* port, int timeoutMs, std::intptr_t& handle, std::string& resolverText,
                  std::string& address) {
    addrinfo hints{}, *found = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;  // no IPv6 address tried where the machine has none
    if (const int failed = getaddrinfo(host, port, &hints, &found)) {
        resolverText = gai_strerror(failed);
        return EHOSTUNREACH;
    }
    int error = ENOENT, fd = -1;
    for (const addrinfo* at = found; at; at = at->ai_next) {
        error = ConnectTo(*at, timeoutMs, fd);
        if (error != 0) continue;
        char numeric[NI_MAXHOST] = "";
        getnameinfo(at->ai_addr, at->ai_addrlen, numeric, sizeof numeric, nullptr, 0, NI_NUMERICHOST);
        address = numeric;
        break;
    }
    freeaddrinfo(found);
    if (error != 0) return error;
    KeepAlive(fd);
    handle = fd;
    return 0;
}

bool SendSocket(std::intptr_t handle, const unsigned char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t sent = send(static_cast<int>(handle), data, size, 0);  // (SIGPIPE is ignored: EPIPE)
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd watched{static_cast<int>(handle), POLLOUT, 0};
            if (poll(&watched, 1, 1000) <= 0) return false;  // a peer that takes no bytes for a second
            continue;
        }
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

long ReceiveSocket(std::intptr_t handle, unsigned char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t got = recv(static_cast<int>(handle), buffer, size, 0);
        if (got >= 0) return static_cast<long>(got);
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? -1 : -2;
    }
}

bool WaitSocket(std::intptr_t handle, int timeoutMs) {
    pollfd watched{static_cast<int>(handle), POLLIN, 0};
    return poll(&watched, 1, timeoutMs) > 0;
}

void CloseSocket(std::intptr_t handle) { close(static_cast<int>(handle)); }
