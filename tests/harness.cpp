#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

namespace {

// A mount namespace of its own whose /dev changes nothing outside it. In a
// chroot the root is no mount point, so /dev alone is made private there.
const char* const PrivateDev = "{ mount --make-rprivate / || mount --make-rprivate /dev; } 2>/dev/null || exit 99";

std::vector<std::string> InNamespace(const std::vector<std::string>& command, const std::string& pty) {
    std::vector<std::string> wrapped = {
        "unshare", "--mount", "--propagation", "unchanged", "sh", "-c",
        std::string(PrivateDev) + "; for node in /dev/ttyS*; do mount --bind \"$0\" \"$node\" || exit 99; done; exec \"$@\"",
        pty};
    wrapped.insert(wrapped.end(), command.begin(), command.end());
    return wrapped;
}

[[noreturn]] void StartChild(const std::vector<std::string>& command, const LaunchOptions& options,
                             const char* consoleName, int stdoutPipe) {
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT}) {
        ::signal(signal, SIG_DFL);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    setsid();
    const int console = open(consoleName, O_RDWR);
    ioctl(console, TIOCSCTTY, 0);
    if (options.HangUpIgnored) ::signal(SIGHUP, SIG_IGN);
    if (options.InBackground && fork() == 0) {  // the foreground job, until the session's end hangs it up
        ::signal(SIGTTOU, SIG_IGN);
        setpgid(0, 0);
        tcsetpgrp(console, getpgrp());
        for (;;) pause();
    }
    while (options.InBackground && tcgetpgrp(console) == getpgrp()) usleep(1000);
    dup2(console, 0);
    dup2(console, 1);
    dup2(console, 2);
    if (!options.StdoutFile.empty()) {
        const int out = open(options.StdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
    }
    if (stdoutPipe >= 0) dup2(stdoutPipe, 1);
    if (!options.WorkDir.empty() && chdir(options.WorkDir.c_str()) != 0) _exit(126);
    for (const std::string& variable : options.Environment) putenv(const_cast<char*>(variable.c_str()));
    if (options.FileSizeLimit > 0) {
        const rlimit limit{static_cast<rlim_t>(options.FileSizeLimit), static_cast<rlim_t>(options.FileSizeLimit)};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    std::vector<char*> argv(command.size() + 1, nullptr);
    std::transform(command.begin(), command.end(), argv.begin(),
                   [](const std::string& word) { return const_cast<char*>(word.c_str()); });
    execvp(argv[0], argv.data());
    _exit(127);
}

// Terminal text without its control sequences (Wine's console draws with
// them): CSI up to its final byte, OSC up to BEL or ST (ESC \), or ESC and one byte.
std::string WithoutControlSequences(const std::string& text) {
    if (text.find('\x1b') == std::string::npos) return text;
    static const std::regex sequence("\x1b(\\[[\x20-\x3f]*[\x40-\x7e]?|\\][^\a\x1b]*(\a|\x1b\\\\)?|[^]?)");
    return std::regex_replace(text, sequence, "");
}

int ConnectTo(const std::string& path) {
    int fd = -1;
    WaitUntil([&] {
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return true;
        close(fd);
        fd = -1;
        return false;
    }, 10s);
    return fd;
}

// Reads from `fd` until `mark` arrives; false after `limit`.
bool ReadUntil(int fd, std::string& text, const std::string& mark, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (text.find(mark) == std::string::npos) {
        pollfd readable{fd, POLLIN, 0};
        if (std::chrono::steady_clock::now() > end || poll(&readable, 1, 100) < 0) return false;
        char chunk[4096];
        const ssize_t got = readable.revents ? read(fd, chunk, sizeof chunk) : 0;
        if (readable.revents && got <= 0) return false;
        text.append(chunk, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    }
    return true;
}

}  // namespace

bool CanBindOverComPorts() {
    return geteuid() == 0 && system((std::string("unshare --mount --propagation unchanged sh -c '") + PrivateDev +
                                     "' 2>/dev/null").c_str()) == 0;
}

std::string TempDir() {
    char name[] = "/tmp/lumtrex-test-XXXXXX";
    return mkdtemp(name) ? name : "";
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

long long FileSize(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

std::string Bytes(Pattern pattern, std::size_t size, std::uint64_t seed) {
    std::string bytes(size, '\0');
    FillPattern(pattern, seed, 0, reinterpret_cast<unsigned char*>(bytes.data()), size);
    return bytes;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

Session::Session(const std::vector<std::string>& command, const LaunchOptions& options)
    : crLfNewlines_(options.CrLfNewlines) {
    console_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (console_ < 0 || grantpt(console_) != 0 || unlockpt(console_) != 0) return;
    const std::string consoleName = ptsname(console_);
    // Held open from now on, so that keys typed ahead wait in its input.
    const int holder = open(consoleName.c_str(), O_RDWR | O_NOCTTY);
    const winsize size{25, 132, 0, 0};  // so wide that Wine's console wraps no line
    ioctl(holder, TIOCSWINSZ, &size);
    tcgetattr(holder, &modesAtStart_);
    TypeAtOnce(options.TypeAhead);
    const std::vector<std::string> run =
        options.BindOverComPorts.empty() ? command : InNamespace(command, options.BindOverComPorts);
    int stdoutPipe[2] = {-1, -1};
    if ((options.StdoutReaderGone || options.StdoutPiped) && pipe2(stdoutPipe, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) StartChild(run, options, consoleName.c_str(), stdoutPipe[1]);
    close(holder);
    if (options.StdoutPiped) std::swap(stdoutPipe_, stdoutPipe[0]);
    for (int end : stdoutPipe) {
        if (end >= 0) close(end);  // the reader is gone before the program writes
    }
    reader_ = std::thread(&Session::Collect, this);
}

Session::~Session() {
    if (pid_ > 0 && !exited_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (stdoutPipe_ >= 0) close(stdoutPipe_);
    if (console_ >= 0) {
        shutdown_ = true;
        if (reader_.joinable()) reader_.join();
        close(console_);
    }
}

void Session::Collect() {
    char chunk[4096];
    while (!shutdown_) {
        pollfd readable{console_, POLLIN, 0};
        const ssize_t got = poll(&readable, 1, 50) > 0 ? read(console_, chunk, sizeof chunk) : 0;
        if (got < 0) std::this_thread::sleep_for(20ms);  // nobody holds the console just now
        std::lock_guard lock(mutex_);
        raw_.append(chunk, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    }
}

std::string CrLfAsNewline(std::string text) {
    for (std::size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos; ++at) text.erase(at, 1);
    return text;
}

std::string Session::Output() {
    std::string text;
    {
        std::lock_guard lock(mutex_);
        text = raw_;
    }
    text = CrLfAsNewline(WithoutControlSequences(text));
    return crLfNewlines_ ? CrLfAsNewline(text) : text;
}

bool Session::WaitForOutput(const std::string& text, std::chrono::milliseconds limit) {
    return WaitUntil([&] { return Output().find(text) != std::string::npos; }, limit);
}

void Session::Type(const std::string& keys) {
    WaitUntil([&] {
        termios modes{};
        return tcgetattr(console_, &modes) == 0 && !(modes.c_lflag & ECHO);
    }, 5s);
    TypeAtOnce(keys);
}

void Session::TypeAtOnce(const std::string& keys) {
    SendAll(console_, reinterpret_cast<const unsigned char*>(keys.data()), keys.size());
}

bool Session::ModesAsAtStart() const {
    termios now{};
    if (tcgetattr(console_, &now) != 0) return false;
    const termios& was = modesAtStart_;
    return now.c_iflag == was.c_iflag && now.c_oflag == was.c_oflag && now.c_cflag == was.c_cflag &&
           now.c_lflag == was.c_lflag && std::memcmp(now.c_cc, was.c_cc, sizeof now.c_cc) == 0;
}

void Session::Signal(int signal) { kill(pid_, signal); }

bool Session::WaitForExit(std::chrono::milliseconds limit) {
    exited_ = exited_ || WaitUntil([&] { return wait4(pid_, &status_, WNOHANG, &usage_) == pid_; }, limit);
    if (exited_) std::this_thread::sleep_for(100ms);  // let the reader take the last output
    return exited_;
}

Guest::Guest(const std::string& guestDir, const std::string& accel) : dir_(TempDir()), guestDir_(guestDir), accel_(accel) {
    Share = dir_ + "/share";
    mkdir(Share.c_str(), 0755);
    Boot();
}

void Guest::Boot() {
    const auto socket = [&](const std::string& id) {
        unlink((dir_ + "/" + id).c_str());
        return "socket,id=" + id + ",path=" + dir_ + "/" + id + ",server=on,wait=off";
    };
    std::vector<std::string> command = {
        "qemu-system-x86_64", "-accel", accel_, "-smp", "1", "-m", "256", "-nodefaults", "-display", "none",
        "-no-reboot", "-kernel", guestDir_ + "/vmlinux", "-initrd", guestDir_ + "/initramfs.cpio",
        "-append", "console=ttyS0 quiet panic=-1", "-chardev", socket("console"), "-serial", "chardev:console",
        "-chardev", socket("serial"), "-serial", "chardev:serial", "-device", "qemu-xhci",
        "-chardev", socket("usb"), "-device", "usb-serial,id=ftdi,chardev=usb,serial=LUMA", "-chardev", socket("usb2"),
        "-qmp", "unix:" + dir_ + "/qmp,server=on,wait=off",
        "-fsdev", "local,id=share,path=" + Share + ",security_model=none",
        "-device", "virtio-9p-pci,fsdev=share,mount_tag=share", "-D", dir_ + "/trace",
        "-trace", "serial_update_parameters", "-trace", "usb_serial_set_baud", "-trace", "usb_serial_set_data",
        "-trace", "usb_serial_unsupported_data_bits", "-trace", "usb_serial_unsupported_stopbits"};
    // A disk the guest keeps across boots: ext4, seen there as /disk.
    if (FileSize(guestDir_ + "/disk.img") > 0) {
        command.push_back("-drive");
        command.push_back("file=" + guestDir_ + "/disk.img,if=virtio,format=raw");
    }
    qemu_ = std::make_unique<Session>(command, LaunchOptions{});
    console_ = ConnectTo(dir_ + "/console");
    Serial = ConnectTo(dir_ + "/serial");
    Usb = ConnectTo(dir_ + "/usb");  // the adapter is plugged in once its line is connected
    Usb2 = ConnectTo(dir_ + "/usb2");
    monitor_ = ConnectTo(dir_ + "/qmp");
    std::string greeting, boot;
    ready_ = ReadUntil(monitor_, greeting, "\n", 10s) &&
             Monitor(R"({"execute":"qmp_capabilities"})").find("return") != std::string::npos &&
             ReadUntil(console_, boot, "guest ready\n", 60s);
    if (!ready_) std::fprintf(stderr, "the guest did not start: %s%s\n", qemu_->Output().c_str(), boot.c_str());
}

void Guest::PowerCut() {
    qemu_->Signal(SIGKILL);
    qemu_->WaitForExit(10s);
    for (int* fd : {&console_, &Serial, &Usb, &Usb2, &monitor_}) {
        close(*fd);
        *fd = -1;
    }
    Boot();
}

Guest::~Guest() {
    if (console_ >= 0) SendAll(console_, reinterpret_cast<const unsigned char*>("exit\n"), 5);
    qemu_->WaitForExit(10s);
    for (int fd : {console_, Serial, Usb, Usb2, monitor_}) close(fd);
    std::filesystem::remove_all(dir_);
}

int Guest::Shell(const std::string& line) {
    const std::string command = line + "\necho \"@@ $? @@\"\n";
    std::string answer;
    // A guest that stops answering fails every row after at once.
    ready_ = ready_ && SendAll(console_, reinterpret_cast<const unsigned char*>(command.data()), command.size()) &&
             ReadUntil(console_, answer, " @@\n", 30s);
    const std::size_t mark = answer.rfind("@@ ", answer.find(" @@\n"));
    return ready_ && mark != std::string::npos ? std::atoi(answer.c_str() + mark + 3) : -1;
}

std::string Guest::Monitor(const std::string& command) {
    SendAll(monitor_, reinterpret_cast<const unsigned char*>(command.data()), command.size());
    std::string answer;
    // Events come in between: the answer is the line with "return" or "error".
    while (ReadUntil(monitor_, answer, "\n", 10s)) {
        const std::string line = answer.substr(0, answer.find('\n'));
        if (line.find("\"return\"") != std::string::npos || line.find("\"error\"") != std::string::npos) return line;
        answer.erase(0, line.size() + 1);
    }
    return answer;
}
