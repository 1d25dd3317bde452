#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

#include <cerrno>

#include "socket.h"

namespace {

SOCKET Socket(std::intptr_t handle) { return static_cast<SOCKET>(handle); }

// The C library's number for Winsock's.
int ErrorNumber(int error) {
    switch (error) {
        case WSAECONNREFUSED: return ECONNREFUSED;
        case WSAETIMEDOUT: return ETIMEDOUT;
        case WSAEHOSTUNREACH:
        case WSAEHOSTDOWN: return EHOSTUNREACH;
        case WSAENETUNREACH:
        case WSAENETDOWN: return ENETUNREACH;
        case WSAECONNRESET:
        case WSAECONNABORTED: return ECONNRESET;
        default: return EIO;
    }
}

bool Started() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

// About 10 s of silence: 4 s idle, then probes 0.6 s apart (Windows sends ten).
void KeepAlive(SOCKET socket) {
    tcp_keepalive values{1, 4000, 600};
    DWORD returned = 0;
    WSAIoctl(socket, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr);
}

int ConnectTo(const addrinfo& address, int timeoutMs, SOCKET& socket) {
    socket = WSASocketW(address.ai_family, address.ai_socktype, address.ai_protocol, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET) return ErrorNumber(WSAGetLastError());
    u_long nonBlocking = 1;
    ioctlsocket(socket, FIONBIO, &nonBlocking);
    int error = 0;
    if (connect(socket, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0) {
        error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            fd_set writable, failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(socket, &writable);
            FD_SET(socket, &failed);
            timeval wait{timeoutMs / 1000, timeoutMs % 1000 * 1000};
            const int ready = select(0, nullptr, &writable, &failed, &wait);
            int reported = 0, size = sizeof reported;
            if (ready == 0) error = WSAETIMEDOUT;
            else if (ready < 0) error = WSAGetLastError();
            else if (FD_ISSET(socket, &failed)) error = getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&reported), &size) == 0 && reported ? reported : WSAECONNREFUSED;
            else error = 0;
        }
    }
    if (error != 0) closesocket(socket);
    return error != 0 ? ErrorNumber(error) : 0;
}

}  // namespace

int ConnectSocket(const char* host, const char* port, int timeoutMs, std::intptr_t& handle, std::string& resolverText,
                  std::string& address) {
    if (!Started()) return EIO;
    addrinfo hints{}, *found = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_ADDRCONFIG;
    if (const int failed = getaddrinfo(host, port, &hints, &found)) {
        resolverText = gai_strerrorA(failed);
        return EHOSTUNREACH;
    }
    int error = ENOENT;
    SOCKET socket = INVALID_SOCKET;
    for (const addrinfo* at = found; at; at = at->ai_next) {
        error = ConnectTo(*at, timeoutMs, socket);
        if (error != 0) continue;
        char numeric[NI_MAXHOST] = "";
        getnameinfo(at->ai_addr, static_cast<socklen_t>(at->ai_addrlen), numeric, sizeof numeric, nullptr, 0, NI_NUMERICHOST);
        address = numeric;
        break;
    }
    freeaddrinfo(found);
    if (error != 0) return error;
    KeepAlive(socket);
    handle = static_cast<std::intptr_t>(socket);
    return 0;
}

bool SendSocket(std::intptr_t handle, const unsigned char* data, std::size_t size) {
    while (size > 0) {
        const int sent = send(Socket(handle), reinterpret_cast<const char*>(data), static_cast<int>(size), 0);
        if (sent == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
            fd_set writable;
            FD_ZERO(&writable);
            FD_SET(Socket(handle), &writable);
            timeval wait{1, 0};  // a peer that takes no bytes for a second
            if (select(0, nullptr, &writable, nullptr, &wait) <= 0) return false;
            continue;
        }
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

long ReceiveSocket(std::intptr_t handle, unsigned char* buffer, std::size_t size) {
    const int got = recv(Socket(handle), reinterpret_cast<char*>(buffer), static_cast<int>(size), 0);
    if (got >= 0) return got;
    return WSAGetLastError() == WSAEWOULDBLOCK ? -1 : -2;
}

bool WaitSocket(std::intptr_t handle, int timeoutMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(Socket(handle), &readable);
    timeval wait{timeoutMs / 1000, timeoutMs % 1000 * 1000};
    return select(0, &readable, nullptr, nullptr, &wait) > 0;
}

void CloseSocket(std::intptr_t handle) { closesocket(Socket(handle)); }
