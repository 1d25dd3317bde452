// The console on POSIX: the controlling terminal is the keyboard, signals
// are the stop requests. The terminal's modes are ours only while the
// program is its foreground job, so it also records in the background of a
// job-control shell, under nohup and with its output in a pipe.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "console.h"
#include "wake_posix.h"

namespace {

int Keyboard = -1;                    // /dev/tty, or -1 without a terminal
bool KeyboardHungUp = false;          // a hung-up terminal stays readable for ever
termios SavedModes{};                 // the terminal as it was when we took it
volatile sig_atomic_t ModesTaken = 0;
volatile sig_atomic_t Continued = 0;  // after a stop, another job may have set its own modes
int WakePipe[2] = {-1, -1};           // the signal handlers write, blocked waits poll
volatile sig_atomic_t StopSignal = 0;
// Each ends the run in order: the ones a user sends, and every other that
// ends a process by default without a fault of its own (the real-time
// signals too, see InstallSignals). SIGPOLL is Linux's SIGIO; elsewhere
// SIGIO is ignored by default and left alone.
constexpr int StopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU,
#ifdef SIGPOLL
                               SIGPOLL,
#endif
#ifdef SIGPWR
                               SIGPWR,
#endif
#ifdef SIGSTKFLT
                               SIGSTKFLT,
#endif
};
// A fault ends the process as it would have, once the terminal has its modes back.
constexpr int FaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGSYS, SIGTRAP};
struct sigaction BeforeFault[std::size(FaultSignals)];  // what ran before us: the default, or a sanitizer's
// The handlers' own stack, so a stack overflow still reaches the fault handler.
alignas(16) char FaultStack[64 * 1024];

void Wake() {
    const char byte = 1;
    [[maybe_unused]] ssize_t written = write(WakePipe[1], &byte, 1);
}

volatile sig_atomic_t StopCount = 0;

void OnStopSignal(int signal) {
    const int savedErrno = errno;
    if (StopSignal == 0) StopSignal = signal;
    StopCount = StopCount + 1;
    Wake();
    errno = savedErrno;
}

bool InForeground() { return Keyboard >= 0 && tcgetpgrp(Keyboard) == getpgrp(); }

// Whether the program is the terminal's foreground job, without asking the
// system while the modes are ours and nothing continued it: only a stop and
// a continue move a job between foreground and background.
bool StillForeground() { return (ModesTaken && !Continued) || InForeground(); }

// Gives the terminal its modes back while they are ours to give: once the
// program was stopped and sent to the background, the foreground job's modes
// are not to be overwritten. Safe in a signal handler.
void GiveBackKeyboard() {
    if (ModesTaken && InForeground()) tcsetattr(Keyboard, TCSANOW, &SavedModes);
    ModesTaken = 0;
}

void OnFault(int signal, siginfo_t* info, void*) {
    GiveBackKeyboard();
    for (std::size_t i = 0; i < std::size(FaultSignals); ++i) {
        if (FaultSignals[i] == signal) sigaction(signal, &BeforeFault[i], nullptr);
    }
    // A fault recurs when the instruction runs again and meets the handler
    // that was there before. A fault sent from outside (kill, abort) is sent
    // again, and so is a trap or a refused system call: the instruction
    // after them runs next, and nothing would end the process.
    if (info->si_code <= 0 || signal == SIGTRAP || signal == SIGSYS) raise(signal);
}

// SIGTSTP sent from outside (Ctrl+Z is an ordinary key here): stop as asked,
// leaving the terminal as we found it. After SIGCONT the next key test takes
// it again, if we are in the foreground then.
void OnTerminalStop(int) {
    const int savedErrno = errno;
    GiveBackKeyboard();
    struct sigaction standard {}, ours {};
    standard.sa_handler = SIG_DFL;
    sigaction(SIGTSTP, &standard, &ours);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(SIGTSTP);  // stops here until SIGCONT
    // cppcheck-suppress unreachableCode ; raise returns once the process is continued
    sigaction(SIGTSTP, &ours, nullptr);
    errno = savedErrno;
}

void OnContinue(int) {
    const int savedErrno = errno;
    Continued = 1;
    Wake();  // a blocked wait looks again whether the keyboard is ours now
    errno = savedErrno;
}

// Keys waiting in the terminal, or -1 when it cannot say.
int PendingKeys() {
    int pending = 0;
    return ioctl(Keyboard, FIONREAD, &pending) == 0 ? pending : -1;
}

// Every key is a key: no line editing, no echo, and none of the characters
// that quit, suspend, freeze output or quote (Ctrl+\, Ctrl+Z, Ctrl+Y, Ctrl+S,
// Ctrl+Q, Ctrl+V, Ctrl+O). Ctrl+C stays a stop request; output stays as it was.
termios KeyModes(termios modes) {
    modes.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | IEXTEN);
    modes.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
    modes.c_cc[VQUIT] = _POSIX_VDISABLE;
    modes.c_cc[VSUSP] = _POSIX_VDISABLE;
    modes.c_cc[VMIN] = 1;
    modes.c_cc[VTIME] = 0;
    return modes;
}

// Takes the terminal's modes when they are ours to take: we are its
// foreground job and have not taken them yet, or have been continued after a
// stop we could not see (SIGSTOP), during which the shell put its own back.
// TCSANOW keeps a key typed ahead.
void TakeKeyboard() {
    if (Keyboard < 0 || KeyboardHungUp || (ModesTaken && !Continued)) return;
    sigset_t stops, before;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTSTP);
    sigprocmask(SIG_BLOCK, &stops, &before);  // the stop handler gives back what we take here
    // In the background they are not ours: looked at again at the next key test.
    if (InForeground() && (ModesTaken || tcgetattr(Keyboard, &SavedModes) == 0)) {
        const termios modes = KeyModes(SavedModes);
        if (tcsetattr(Keyboard, TCSANOW, &modes) == 0) ModesTaken = 1;
        Continued = 0;
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
}

void Install(int signal, void (*handler)(int), int flags) {
    struct sigaction action {}, inherited {};
    sigaction(signal, nullptr, &inherited);
    if (inherited.sa_handler == SIG_IGN) return;  // nohup, trap '' HUP: it stays ignored
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

void InstallFaultHandlers() {
    // On an alternate stack, so a stack overflow still reaches us (and then
    // a sanitizer's report); ours unless one was set up already (a sanitizer
    // sets its own).
    stack_t alternate {};
    if (sigaltstack(nullptr, &alternate) == 0 && (alternate.ss_flags & SS_DISABLE)) {
        alternate = {};
        alternate.ss_sp = FaultStack;
        alternate.ss_size = sizeof FaultStack;
        sigaltstack(&alternate, nullptr);
    }
    for (std::size_t i = 0; i < std::size(FaultSignals); ++i) {
        struct sigaction action {};
        action.sa_sigaction = OnFault;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        sigaction(FaultSignals[i], &action, &BeforeFault[i]);
    }
}

void InstallSignals() {
    // Setting the terminal's modes or writing to it from the background
    // must not stop the capture, nor must a read of it there.
    sigset_t terminalStops;
    sigemptyset(&terminalStops);
    sigaddset(&terminalStops, SIGTTOU);
    sigaddset(&terminalStops, SIGTTIN);
    sigprocmask(SIG_BLOCK, &terminalStops, nullptr);
    // A reader of standard output that went away is no reason to lose the
    // capture; a log over the file size limit is a write error to report.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    if (pipe(WakePipe) == 0) {
        for (int end : WakePipe) fcntl(end, F_SETFL, fcntl(end, F_GETFL) | O_NONBLOCK);
        for (int end : WakePipe) fcntl(end, F_SETFD, FD_CLOEXEC);
    }
    // No SA_RESTART: a blocked poll or read returns at once for a stop.
    for (int signal : StopSignals) Install(signal, OnStopSignal, 0);
#ifdef SIGRTMIN
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) Install(signal, OnStopSignal, 0);
#endif
    Install(SIGTSTP, OnTerminalStop, SA_RESTART);
    Install(SIGCONT, OnContinue, SA_RESTART);
    InstallFaultHandlers();
}

}  // namespace

bool OutputIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

void PlatformConsoleStart() {
    InstallSignals();
    Keyboard = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    TakeKeyboard();
}

void WriteOutput(const char* text, std::size_t size) {
    while (size > 0) {
        const ssize_t written = write(STDOUT_FILENO, text, size);
        if (written < 0 && errno == EINTR) {
            // A signal came first: the text still goes out, but after a stop
            // request only while the reader takes it. A frozen terminal or a
            // full pipe must not hold the program once it was asked to end.
            pollfd writable{STDOUT_FILENO, POLLOUT, 0};
            if (StopRequested() && poll(&writable, 1, 500) <= 0) return;
            continue;
        }
        if (written <= 0) return;  // the reader went away: the capture goes on
        text += written;
        size -= static_cast<std::size_t>(written);
    }
}

bool KeyWaiting() {
    TakeKeyboard();
    return !KeysIgnored() && StillForeground() && PendingKeys() > 0;
}

int WatchForWakeUps(pollfd* watched, int& timeout) {
    watched[0] = {WakePipe[0], POLLIN, 0};
    TakeKeyboard();
    if (Keyboard < 0 || KeyboardHungUp || KeysIgnored()) return 1;
    if (!StillForeground()) {
        // A shell's fg of a running job sends no SIGCONT: look again soon.
        constexpr int BackgroundLook = 200;  // ms
        if (timeout < 0 || timeout > BackgroundLook) timeout = BackgroundLook;
        return 1;
    }
    watched[1] = {Keyboard, POLLIN, 0};
    return 2;
}

bool WokenForKeyOrStop(const pollfd* watched, int count) {
    if (watched[0].revents & POLLIN) {
        char drained[64];
        while (read(WakePipe[0], drained, sizeof drained) > 0) {
        }
    }
    const bool keyboardWoke = count > 1 && watched[1].revents != 0;
    if (keyboardWoke && !StopRequested() && !KeyWaiting()) {
        // Hung up, or at the end of its input (readable for ever with nothing
        // to read): from now on only a signal ends the wait, or it would never
        // sleep again. With our modes an empty wake-up only means that another
        // reader took the key.
        const bool atEnd = !ModesTaken && InForeground();
        if ((watched[1].revents & (POLLHUP | POLLERR | POLLNVAL)) || atEnd) KeyboardHungUp = true;
        return false;
    }
    return EndDue() || keyboardWoke;
}

bool KeyCanEnd() { return Keyboard >= 0 && !KeyboardHungUp && !KeysIgnored(); }

void WaitForKey() {
    FlushOutput();  // redirected, the prompt must not stay in our buffer
    // Without a terminal nobody can press a key: the wait would never end.
    while (KeyCanEnd() && !KeyWaiting() && !EndDue()) {
        pollfd watched[WakeDescriptorCount];
        int timeout = UntilDeadline(-1);
        const int count = WatchForWakeUps(watched, timeout);
        if (poll(watched, static_cast<nfds_t>(count), timeout) < 0 && errno != EINTR) return;
        WokenForKeyOrStop(watched, count);
    }
}

bool EndWithin(int milliseconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!KeyWaiting() && !EndDue()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd watched[WakeDescriptorCount];
        int timeout = UntilDeadline(static_cast<int>(left.count()));
        const int count = WatchForWakeUps(watched, timeout);
        if (poll(watched, static_cast<nfds_t>(count), timeout) < 0 && errno != EINTR) return false;
        WokenForKeyOrStop(watched, count);
    }
    return true;
}

bool StopRequested() { return StopSignal != 0; }

int StopRequests() { return StopCount; }

void WakeWaits() { Wake(); }

void KeepSignalsAway() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

bool LocalTime(std::time_t when, std::tm& local) { return localtime_r(&when, &local) != nullptr; }

void WarningBox(const char* title, const char* text) {
    // Shown on the terminal itself, even when standard output goes to a file;
    // in the background, or without a terminal, on standard error, unconfirmed.
    const bool atTerminal = !KeyboardHungUp && InForeground();
    FlushOutput();  // redirected, the text before the box must not wait in our buffer with it
    const int width = static_cast<int>(std::max(std::strlen(text), std::strlen(title) + 4));
    const std::string rule(static_cast<std::size_t>(width) + 2, '-');
    dprintf(atTerminal ? Keyboard : STDERR_FILENO, "\n+%s+\n| (!) %-*s |\n| %-*s |\n| %*s |\n+%s+\n", rule.c_str(),
            width - 4, title, width, text, width, "[ OK: Enter ]", rule.c_str());
    if (!atTerminal) return;  // nobody to confirm it: the capture goes on
    // The box consumes what is typed while it shows, up to the Enter; the end
    // of the run (a stop, --for, a failed log) closes it too.
    char key = 0;
    while (!EndDue()) {
        pollfd watched[2] = {{Keyboard, POLLIN, 0}, {WakePipe[0], POLLIN, 0}};
        if (poll(watched, 2, UntilDeadline(-1)) < 0 && errno != EINTR) break;
        if (watched[1].revents & POLLIN) {
            char drained[64];
            while (read(WakePipe[0], drained, sizeof drained) > 0) {
            }
        }
        if (!(watched[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const ssize_t got = read(Keyboard, &key, 1);
        if (got == 1 && (key == '\n' || key == '\r')) break;
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) break;
    }
}

void EndProgram(int status) {
    const bool written = OutputFinished();
    GiveBackKeyboard();
    if (StopSignal != 0) {
        // End the way the signal would have ended us, so callers see it,
        // but without a core file: SIGQUIT asked for an end, not a fault.
        rlimit noCore{};
        getrlimit(RLIMIT_CORE, &noCore);
        noCore.rlim_cur = 0;
        setrlimit(RLIMIT_CORE, &noCore);
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
    if (!written) std::_Exit(status);  // a thread still writes the output: no exit handler may wait for it
    std::exit(status);
}
