// siminst: a simulated serial instrument on a pseudo-terminal.
//
//   siminst [--rate R] [--pattern text|bytes|random] [--seed S] [--bytes N]
//           [--start-ms MS] [--sent FILE] [--check LOG] [--print-path]
//           [-- COMMAND ARG...]
//
// Creates a pseudo-terminal, says where it is and sends the pattern at the
// pace of R baud (--print-path: its bare path first on standard output, for
// scripts). With a command, runs it with every "{}" replaced by the path and
// ends with it; without one, sends until N bytes are out or it is told to
// stop. It keeps its side open until then: closing it would make Linux drop
// what the reader has not read yet. With --check, it then compares LOG with
// what it sent and says whether every logged byte is exactly as sent.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "pty_source.h"

namespace {

volatile bool Stop = false;

struct Options {
    int Rate = 115200;
    Pattern Kind = Pattern::Text;
    std::uint64_t Seed = 1;
    std::uint64_t Bytes = UINT64_MAX;
    int StartMs = 1000;
    const char* SentFile = nullptr;
    const char* CheckFile = nullptr;
    bool PrintPath = false;
    std::vector<char*> Command;
};

[[noreturn]] void Usage() {
    std::fprintf(stderr,
                 "usage: siminst [--rate R] [--pattern text|bytes|random] [--seed S] [--bytes N]\n"
                 "               [--start-ms MS] [--sent FILE] [--check LOG] [--print-path]\n"
                 "               [-- COMMAND ARG...]\n"
                 "               ({} in the command stands for the port)\n");
    std::exit(2);
}

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--") {
            options.Command.assign(argv + i + 1, argv + argc);
            break;
        }
        if (option == "--print-path") {
            options.PrintPath = true;
            continue;
        }
        if (i + 1 >= argc) Usage();
        const char* value = argv[++i];
        if (option == "--rate") options.Rate = std::atoi(value);
        else if (option == "--seed") options.Seed = std::strtoull(value, nullptr, 10);
        else if (option == "--bytes") options.Bytes = std::strtoull(value, nullptr, 10);
        else if (option == "--start-ms") options.StartMs = std::atoi(value);
        else if (option == "--sent") options.SentFile = value;
        else if (option == "--check") options.CheckFile = value;
        else if (option == "--pattern") {
            const std::string kind = value;
            options.Kind = kind == "bytes" ? Pattern::Bytes : kind == "random" ? Pattern::Random : Pattern::Text;
            if (kind != "bytes" && kind != "random" && kind != "text") Usage();
        } else Usage();
    }
    if (options.Rate <= 0) Usage();
    return options;
}

std::uint64_t SentBytes = 0;

void Send(const Options& options, int master) {
    std::FILE* sent = options.SentFile ? std::fopen(options.SentFile, "wb") : nullptr;
    std::this_thread::sleep_for(std::chrono::milliseconds(options.StartMs));
    unsigned char chunk[4096];
    for (std::uint64_t offset = 0; offset < options.Bytes && !Stop;) {
        const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof chunk, options.Bytes - offset));
        FillPattern(options.Kind, options.Seed, offset, chunk, size);
        const std::size_t done = SendPaced(master, chunk, size, options.Rate, 2, &Stop);
        if (sent) std::fwrite(chunk, 1, done, sent);
        offset += done;
        SentBytes = offset;
        // A reader that took nothing for a while (stopped, or a box waiting
        // for Enter) may read again later: wait and go on.
        if (done < size && !Stop) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (sent) std::fclose(sent);
}

// The log must be what was sent, from the first byte on; bytes sent after
// the reader stopped are naturally missing from its end.
bool Check(const Options& options) {
    std::FILE* log = std::fopen(options.CheckFile, "rb");
    if (!log) {
        std::fprintf(stderr, "siminst: %s cannot be read\n", options.CheckFile);
        return false;
    }
    unsigned char logged[4096], expected[4096];
    std::uint64_t offset = 0;
    bool same = true;
    for (std::size_t got; same && (got = std::fread(logged, 1, sizeof logged, log)) > 0; offset += got) {
        FillPattern(options.Kind, options.Seed, offset, expected, got);
        same = offset + got <= SentBytes && std::memcmp(logged, expected, got) == 0;
    }
    std::fclose(log);
    if (same) {
        std::fprintf(stderr, "siminst: %s holds %llu bytes, every one as sent (%llu sent in all)\n",
                     options.CheckFile, static_cast<unsigned long long>(offset),
                     static_cast<unsigned long long>(SentBytes));
    } else {
        std::fprintf(stderr, "siminst: %s differs from what was sent near byte %llu\n", options.CheckFile,
                     static_cast<unsigned long long>(offset));
    }
    return same;
}

// The dispositions of the stop signals as siminst got them, for the command.
struct sigaction Inherited[3];
constexpr int StopSignals[3] = {SIGINT, SIGTERM, SIGHUP};

pid_t StartCommand(std::vector<char*> command, const char* port) {
    std::vector<std::string> words(command.begin(), command.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        for (std::size_t at; (at = word.find("{}")) != std::string::npos;) word.replace(at, 2, port);
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        // As a shell would hand them on: Ctrl+C is the command's, and what
        // was ignored (nohup) stays ignored.
        for (int i = 0; i < 3; ++i) {
            signal(StopSignals[i], Inherited[i].sa_handler == SIG_IGN ? SIG_IGN : SIG_DFL);
        }
        execvp(argv[0], argv.data());
        std::perror(argv[0]);
        _exit(127);
    }
    return child;
}

void OnSignal(int) { Stop = true; }

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    PtyLine line;
    if (!OpenPtyLine(line)) {
        std::perror("siminst: no pseudo-terminal");
        return 1;
    }
    if (options.PrintPath) {
        std::printf("%s\n", line.SlavePath);
        std::fflush(stdout);
    }
    std::fprintf(stderr, "siminst: the simulated instrument sends on %s at %d baud.\n", line.SlavePath, options.Rate);

    for (int i = 0; i < 3; ++i) sigaction(StopSignals[i], nullptr, &Inherited[i]);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    if (options.Command.empty()) sigaction(SIGINT, &action, nullptr);
    else signal(SIGINT, SIG_IGN);  // Ctrl+C is the command's to handle

    int status = 0;
    if (options.Command.empty()) {
        Send(options, line.Master);
        while (!Stop) pause();  // keep the line open until told to stop
    } else {
        const pid_t child = StartCommand(options.Command, line.SlavePath);
        std::thread sender(Send, std::cref(options), line.Master);
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
        Stop = true;
        sender.join();
        if (options.CheckFile && !Check(options)) return 3;
    }
    ClosePtyLine(line);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 0;
}
