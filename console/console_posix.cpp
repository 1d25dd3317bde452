// The console on POSIX: the controlling terminal is the keyboard, signals
// are the stop requests.
#include "console.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int Keyboard = -1;             // /dev/tty, or -1 without a terminal
termios SavedModes{};
bool ModesChanged = false;
int StopPipe[2] = {-1, -1};    // the signal handler writes, blocked reads poll
volatile sig_atomic_t StopSignal = 0;
constexpr int StopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void OnStopSignal(int signal) {
    const int savedErrno = errno;
    if (StopSignal == 0) StopSignal = signal;
    const char byte = 1;
    [[maybe_unused]] ssize_t written = write(StopPipe[1], &byte, 1);
    errno = savedErrno;
}

void RestoreKeyboard() {
    if (ModesChanged) tcsetattr(Keyboard, TCSANOW, &SavedModes);
    ModesChanged = false;
}

void OpenKeyboard() {
    Keyboard = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (Keyboard < 0 || tcgetattr(Keyboard, &SavedModes) != 0) return;
    // Keys count one by one and do not echo; Ctrl+C stays a signal and
    // output stays as it was. TCSANOW keeps a key typed ahead.
    termios modes = SavedModes;
    modes.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    ModesChanged = tcsetattr(Keyboard, TCSANOW, &modes) == 0;
    std::atexit(RestoreKeyboard);
}

void InstallStopSignals() {
    if (pipe(StopPipe) != 0) return;
    for (int end : StopPipe) fcntl(end, F_SETFL, fcntl(end, F_GETFL) | O_NONBLOCK);
    for (int end : StopPipe) fcntl(end, F_SETFD, FD_CLOEXEC);
    struct sigaction action {};
    action.sa_handler = OnStopSignal;  // no SA_RESTART: a blocked poll returns at once
    sigemptyset(&action.sa_mask);
    for (int signal : StopSignals) sigaction(signal, &action, nullptr);
}

}  // namespace

bool OutputIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

void PlatformConsoleStart() {
    OpenKeyboard();
    InstallStopSignals();
}

bool KeyWaiting() {
    int pending = 0;
    return Keyboard >= 0 && ioctl(Keyboard, FIONREAD, &pending) == 0 && pending > 0;
}

void WaitForKey() {
    bool watchKeyboard = Keyboard >= 0;
    while (!KeyWaiting() && !StopRequested()) {
        pollfd watched[2] = {{StopPipe[0], POLLIN, 0}, {Keyboard, POLLIN, 0}};
        if (poll(watched, watchKeyboard ? 2 : 1, -1) < 0 && errno != EINTR) return;
        // A terminal that hung up stays readable for ever: from then on only
        // a signal ends the wait.
        if (watched[1].revents & (POLLHUP | POLLERR | POLLNVAL)) watchKeyboard = false;
    }
}

bool StopRequested() { return StopSignal != 0; }

std::intptr_t StopWakeHandle() { return StopPipe[0]; }

void WarningBox(const char* title, const char* text) {
    // Shown on the terminal itself, even when standard output goes to a file.
    const int width = static_cast<int>(std::max(std::strlen(text), std::strlen(title) + 4));
    const std::string rule(static_cast<std::size_t>(width) + 2, '-');
    const int out = Keyboard >= 0 ? Keyboard : STDERR_FILENO;
    dprintf(out, "\n+%s+\n| (!) %-*s |\n| %-*s |\n| %*s |\n+%s+\n", rule.c_str(), width - 4, title, width, text,
            width, "[ OK: Enter ]", rule.c_str());
    if (Keyboard < 0) return;  // nobody to confirm it: the capture goes on
    // The box consumes what is typed while it shows, up to the Enter.
    char key = 0;
    while (!StopRequested()) {
        const ssize_t got = read(Keyboard, &key, 1);
        if (got == 1 && (key == '\n' || key == '\r')) break;
        if (got == 0 || (got < 0 && errno != EINTR)) break;
    }
}

void EndProgram(int status) {
    std::fflush(stdout);
    RestoreKeyboard();
    if (StopSignal != 0) {
        // End the way the signal would have ended us, so callers see it.
        signal(StopSignal, SIG_DFL);
        sigset_t unblocked;
        sigemptyset(&unblocked);
        sigaddset(&unblocked, StopSignal);
        sigprocmask(SIG_UNBLOCK, &unblocked, nullptr);
        raise(StopSignal);
        // Only reached if the signal could not end the process after all.
        // cppcheck-suppress unreachableCode
        _exit(128 + StopSignal);
    }
    std::exit(status);
}
