#include "pty_source.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

bool OpenPtyLine(PtyLine& line) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return false;
    const char* name = (grantpt(master) == 0 && unlockpt(master) == 0) ? ptsname(master) : nullptr;
    const int slave = name ? open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    termios modes{};
    if (slave < 0 || tcgetattr(slave, &modes) != 0) {
        if (slave >= 0) close(slave);
        close(master);
        return false;
    }
    cfmakeraw(&modes);
    tcsetattr(slave, TCSANOW, &modes);
    close(slave);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);  // SendAll waits, and can give up
    line.Master = master;
    std::snprintf(line.SlavePath, sizeof line.SlavePath, "%s", name);
    return true;
}

void ClosePtyLine(PtyLine& line) {
    if (line.Master >= 0) close(line.Master);
    line.Master = -1;
}

bool SendAll(int fd, const unsigned char* data, std::size_t size, long long* longestWaitMs) {
    using Clock = std::chrono::steady_clock;
    auto lastProgress = Clock::now();
    const auto waited = [&] {
        const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastProgress).count();
        if (longestWaitMs && ms > *longestWaitMs) *longestWaitMs = ms;
    };
    while (size > 0) {
        const ssize_t sent = write(fd, data, size);
        if (sent < 0 && errno == EAGAIN) {
            // A reader that takes nothing for this long has died or hangs.
            if (Clock::now() - lastProgress > std::chrono::seconds(20)) return false;
            pollfd writable{fd, POLLOUT, 0};
            poll(&writable, 1, 100);
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        waited();
        data += sent;
        size -= static_cast<std::size_t>(sent);
        lastProgress = Clock::now();
    }
    return true;
}

std::size_t SendPaced(int fd, const unsigned char* data, std::size_t size, int baudRate, int chunkMs,
                      const volatile bool* stop, long long* longestWaitMs) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const double bytesPerSecond = baudRate / 10.0;
    std::size_t sent = 0;
    while (sent < size && !(stop && *stop)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(chunkMs));
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        std::size_t due = static_cast<std::size_t>(elapsed * bytesPerSecond);
        if (due > size) due = size;
        if (due > sent && !SendAll(fd, data + sent, due - sent, longestWaitMs)) break;
        if (due > sent) sent = due;
    }
    return sent;
}

namespace {

std::uint64_t Mix(std::uint64_t x) {  // splitmix64: a fixed, seedable byte source
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

constexpr std::size_t TextLineLength = 32;

// "Messwert 00000042: 12.3 V", padded with blanks, ending in CR LF.
void TextLine(std::uint64_t number, char (&line)[TextLineLength + 1]) {
    const unsigned tenths = static_cast<unsigned>(Mix(number) % 1000);
    const int used = std::snprintf(line, sizeof line, "Messwert %08llu: %2u.%u V",
                                   static_cast<unsigned long long>(number % 100000000ull), tenths / 10, tenths % 10);
    std::memset(line + used, ' ', TextLineLength - 2 - static_cast<std::size_t>(used));
    std::memcpy(line + TextLineLength - 2, "\r\n", 3);
}

}  // namespace

void FillPattern(Pattern pattern, std::uint64_t seed, std::uint64_t offset, unsigned char* out, std::size_t size) {
    char line[TextLineLength + 1];
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint64_t at = offset + i;
        switch (pattern) {
            case Pattern::Bytes: out[i] = static_cast<unsigned char>(at); break;
            case Pattern::Random: out[i] = static_cast<unsigned char>(Mix(seed ^ Mix(at / 8)) >> (8 * (at % 8))); break;
            case Pattern::Text: {
                if (i == 0 || at % TextLineLength == 0) TextLine(at / TextLineLength, line);
                out[i] = static_cast<unsigned char>(line[at % TextLineLength]);
                break;
            }
        }
    }
}
