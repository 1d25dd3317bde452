// lumbench: what lumtrex costs, measured against the least work possible:
// cat reading the same kind of raw pseudo-terminal into a file (and picocom
// --logfile where it is installed). Prints one table, also as Markdown.
//
//   lumbench [--quick] [--markdown FILE]
//
// Exit status: 0 when every target is met (with --quick: when no byte was
// lost), 1 otherwise.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using Clock = std::chrono::steady_clock;

// LumtrexSlowSync: each sync of the log takes 800 ms more (the test's stand-in), as on an SD card.
// LumtrexTimes: with its time index (--times).
// LumtrexRemote: through ser2net on loopback (rfc2217://), the pseudo-terminal behind it; ser2net's own CPU not counted.
enum class Reader { Lumtrex, Cat, Picocom, LumtrexSlowSync, LumtrexTimes, LumtrexRemote };
const char* const ReaderNames[] = {"lumtrex", "cat", "picocom --logfile", "lumtrex, each sync 800 ms", "lumtrex --times",
                                   "lumtrex rfc2217:// via ser2net"};
pid_t Ser2net = -1;

// ser2net with an RFC 2217 accepter for `device` on a free loopback port: the port's number.
int StartSer2net(const std::string& device, const std::string& dir) {
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(probe, reinterpret_cast<sockaddr*>(&address), size);
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
    close(probe);
    const int tcpPort = ntohs(address.sin_port);
    const std::string yaml = dir + "/ser2net.yaml";
    WriteFile(yaml, "%YAML 1.1\n---\nconnection: &rfc\n  accepter: telnet(rfc2217),tcp,127.0.0.1," + std::to_string(tcpPort) +
                        "\n  connector: serialdev," + device + ",115200n81,local\n");
    Ser2net = fork();
    if (Ser2net == 0) {
        const int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, 1), dup2(quiet, 2);
        execlp("ser2net", "ser2net", "-n", "-c", yaml.c_str(), nullptr);
        _exit(127);
    }
    char listening[40];
    std::snprintf(listening, sizeof listening, ":%04X 00000000:0000 0A", tcpPort);
    WaitUntil([&] { return ReadFile("/proc/net/tcp").find(listening) != std::string::npos; }, 10s);
    return tcpPort;
}

struct Measurement {
    double Seconds = 0;       // until the last byte was in the log
    double CpuSeconds = 0;    // user + system, whole process life
    long PeakRssKb = 0;
    std::size_t Sent = 0, Logged = 0;
    bool Exact = false;       // the log is byte for byte what was sent
    double CountsPerSecond = 0;  // running counts lumtrex showed
    long long IndexBytes = -1;   // the time index's size, where there is one
};

double Elapsed(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

std::unique_ptr<Session> StartReader(Reader reader, const PtyLine& port, int rate, const std::string& dir,
                                     const std::string& log) {
    LaunchOptions options;
    options.WorkDir = dir;
    const std::string baud = std::to_string(rate);
    std::unique_ptr<Session> run;
    switch (reader) {
        case Reader::LumtrexSlowSync:
            options.Environment = {std::string("LD_PRELOAD=") + LUMTREX_STAND_IN, "LUMTREX_TEST_SYNC=800"};
            [[fallthrough]];
        case Reader::Lumtrex:
        case Reader::LumtrexTimes:
        case Reader::LumtrexRemote:
        {
            const std::string name = reader == Reader::LumtrexRemote
                                         ? "rfc2217://127.0.0.1:" + std::to_string(StartSer2net(port.SlavePath, dir))
                                         : std::string(port.SlavePath);
            std::vector<std::string> command = {LUMTREX_BINARY, name, baud};
            if (reader == Reader::LumtrexTimes) command.push_back("--times");
            run = std::make_unique<Session>(command, options);
        }
            run->WaitForOutput("Empfangene Bytes");
            break;
        case Reader::Cat:
            run = std::make_unique<Session>(
                std::vector<std::string>{"sh", "-c", "exec cat \"$0\" > \"$1\"", port.SlavePath, log}, options);
            break;
        case Reader::Picocom:
            run = std::make_unique<Session>(
                std::vector<std::string>{"picocom", "-q", "-b", baud, "--logfile", log, port.SlavePath}, options);
            break;
    }
    WaitUntil([&] { return FileSize(log) >= 0; }, 5s);
    std::this_thread::sleep_for(300ms);
    return run;
}

// Peak resident memory of a running process since its exec (the rusage
// figure would count the forked copy of this benchmark before it).
long PeakRssKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

// Sends `data` (paced at `rate`, or as fast as the line takes it) to a reader
// and measures it from its start to its end.
Measurement Stream(Reader reader, const std::string& data, int rate, bool paced) {
    PtyLine port;
    OpenPtyLine(port);
    const std::string dir = TempDir();
    const std::string log = dir + "/lumtrex.log";
    auto run = StartReader(reader, port, rate, dir, log);
    const auto start = Clock::now();
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    if (paced) {
        SendPaced(port.Master, bytes, data.size(), rate, 1);
    } else {
        SendAll(port.Master, bytes, data.size());
    }
    WaitUntil([&] { return FileSize(log) >= static_cast<long long>(data.size()); }, 30s);
    Measurement result;
    result.Seconds = Elapsed(start);
    result.PeakRssKb = PeakRssKb(run->Pid());
    const std::string shown = run->Output();
    // Left out: the count before the first byte and the one after the last (the line quiet).
    result.CountsPerSecond = static_cast<double>(std::count(shown.begin(), shown.end(), '\r') - 2) / result.Seconds;
    if (reader != Reader::Cat && reader != Reader::Picocom) {
        run->Type("q");
    } else {
        run->Signal(SIGTERM);
    }
    run->WaitForExit(30s);
    if (Ser2net > 0) kill(Ser2net, SIGTERM), waitpid(Ser2net, nullptr, 0), Ser2net = -1;
    const rusage& usage = run->Usage();
    result.CpuSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                        usage.ru_stime.tv_usec / 1e6;
    result.Sent = data.size();
    const std::string logged = ReadFile(log);
    result.Logged = logged.size();
    result.Exact = logged == data;
    result.IndexBytes = FileSize(log + ".times");
    ClosePtyLine(port);
    return result;
}

// CPU time of a running process in seconds, to the nanosecond where the
// kernel keeps scheduler statistics.
double CpuOf(pid_t pid) {
    std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
    double nanoseconds = 0;
    if (schedstat >> nanoseconds) return nanoseconds / 1e9;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    double ticks = 0;
    for (int i = 1; stat >> field && i <= 15; ++i) {
        if (i == 14 || i == 15) ticks += std::stod(field);
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Percent of one core used while lumtrex waits: on a silent line, or for a
// key after a failed open.
double IdlePercent(bool failedOpen, double seconds) {
    PtyLine port;
    OpenPtyLine(port);
    LaunchOptions options;
    options.WorkDir = TempDir();
    Session run({LUMTREX_BINARY, failedOpen ? "/dev/lumtrex-missing" : port.SlavePath, "115200"}, options);
    run.WaitForOutput(failedOpen ? "beliebiger Taste" : "Empfangene Bytes");
    std::this_thread::sleep_for(1s);
    const double before = CpuOf(run.Pid());
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double used = CpuOf(run.Pid()) - before;
    run.Type("q");
    run.WaitForExit();
    ClosePtyLine(port);
    return 100.0 * used / seconds;
}

// Many instruments at their real rate: `count` readers at once, each on a
// pseudo-terminal fed a piece every 10 ms at 115200 baud for `seconds`, each
// into a log of its own in one folder, each with its own console. Their CPU
// time in all; `exact` whether every log is what was sent.
double ManyAtOnce(Reader reader, int count, double seconds, bool& exact) {
    constexpr int Rate = 115200;
    const std::string dir = TempDir();
    const std::string stream = Bytes(Pattern::Text, static_cast<std::size_t>(seconds * Rate / 10), 17);
    std::vector<PtyLine> ports(static_cast<std::size_t>(count));
    std::vector<std::unique_ptr<Session>> runs;
    for (int i = 0; i < count; ++i) {
        OpenPtyLine(ports[static_cast<std::size_t>(i)]);
        const std::string log = dir + "/log" + std::to_string(i), port = ports[static_cast<std::size_t>(i)].SlavePath;
        LaunchOptions options;
        options.WorkDir = dir;
        runs.push_back(std::make_unique<Session>(
            reader == Reader::Cat ? std::vector<std::string>{"sh", "-c", "exec cat \"$0\" > \"$1\"", port, log}
                                  : std::vector<std::string>{LUMTREX_BINARY, port, std::to_string(Rate), "--log", log},
            options));
        WaitUntil([&] { return FileSize(log) >= 0; }, 10s);
    }
    std::this_thread::sleep_for(500ms);
    const auto start = Clock::now();
    for (std::size_t sent = 0; sent < stream.size();) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(10) * (sent * 100 / (Rate / 10) + 1));
        const std::size_t due = std::min(stream.size(), static_cast<std::size_t>(Elapsed(start) * Rate / 10));
        for (const PtyLine& port : ports) SendAll(port.Master, reinterpret_cast<const unsigned char*>(stream.data()) + sent, due - sent);
        sent = due;
    }
    double cpu = 0;
    exact = true;
    for (int i = 0; i < count; ++i) {
        const std::string log = dir + "/log" + std::to_string(i);
        WaitUntil([&] { return FileSize(log) >= static_cast<long long>(stream.size()); }, 10s);
        Session& run = *runs[static_cast<std::size_t>(i)];
        if (reader == Reader::Cat) run.Signal(SIGTERM); else run.Type("q");
        run.WaitForExit(30s);
        const rusage& usage = run.Usage();
        cpu += usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
        exact = exact && ReadFile(log) == stream;
        ClosePtyLine(ports[static_cast<std::size_t>(i)]);
    }
    return cpu;
}

// Seconds from a key press to the final count on the screen, on a silent
// line or while a stream at 115200 baud runs.
std::vector<double> StopLatencies(int tries, bool streaming) {
    std::vector<double> latencies;
    const std::string stream = Bytes(Pattern::Text, 115200 / 10 * 10);
    for (int i = 0; i < tries; ++i) {
        PtyLine port;
        OpenPtyLine(port);
        LaunchOptions options;
        options.WorkDir = TempDir();
        Session run({LUMTREX_BINARY, port.SlavePath, "115200"}, options);
        run.WaitForOutput("Empfangene Bytes\n0\r");
        volatile bool stop = false;
        std::thread sender([&] {
            if (streaming) SendPaced(port.Master, reinterpret_cast<const unsigned char*>(stream.data()), stream.size(),
                                     115200, 1, &stop);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(300 + 437 * i % 2000));  // spread over a read
        const auto pressed = Clock::now();
        run.Type("q");
        WaitUntil([&] { return run.Output().ends_with("\n"); }, 10s);  // the final count ends its line
        latencies.push_back(Elapsed(pressed));
        run.WaitForExit();
        stop = true;
        sender.join();
        ClosePtyLine(port);
    }
    std::sort(latencies.begin(), latencies.end());
    return latencies;
}

// --show on a capture of 2 GiB (sparse) with an index line every KiB: the
// seconds to its first line, and its peak resident memory over 2 s of output.
std::pair<double, long> ShowOfTwoGiB() {
    const std::string dir = TempDir(), log = dir + "/big.log";
    constexpr long long Size = 2LL << 30;
    const int file = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const bool made = file >= 0 && ftruncate(file, Size) == 0;
    if (file >= 0) close(file);
    {
        std::ofstream index(log + ".times");
        index << "beginn 0 2026-12-08T00:00:00.000+01:00 COM1 115200\n";
        char line[64];
        for (long long at = 0, ms = 0; at < Size; at += 1024, ms += 90) {  // 1 KiB in 90 ms, at 115200 baud
            std::snprintf(line, sizeof line, "%lld 2026-12-08T%02lld:%02lld:%02lld.%03lld+01:00\n", at, ms / 3600000,
                          ms / 60000 % 60, ms / 1000 % 60, ms % 1000);
            index << line;
        }
    }
    int out[2] = {-1, -1};
    std::pair<double, long> result{-1, -1};
    if (made && pipe(out) == 0) {
        const auto start = Clock::now();
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            execl(LUMTREX_BINARY, LUMTREX_BINARY, "--show", log.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        char chunk[65536];
        for (ssize_t got = 0; result.first < 0 && (got = read(out[0], chunk, sizeof chunk)) > 0;) {
            if (std::memchr(chunk, '\n', static_cast<std::size_t>(got))) result.first = std::chrono::duration<double>(Clock::now() - start).count();
        }
        for (const auto until = Clock::now() + std::chrono::seconds(2); Clock::now() < until && read(out[0], chunk, sizeof chunk) > 0;) {
        }
        result.second = PeakRssKb(pid);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        close(out[0]);
    }
    std::filesystem::remove_all(dir);
    return result;
}

std::string MachineLine() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line, model = "unknown processor";
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    }
    utsname system{};
    uname(&system);
    return model + ", " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cores, " + system.sysname + " " +
           system.release;
}

bool Installed(const char* program) {
    return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

class Report {
public:
    void Row(const std::vector<std::string>& cells) { rows_.push_back(cells); }
    void Target(const std::string& what, bool met) {
        targets_.push_back((met ? "met:    " : "MISSED: ") + what);
        allMet_ = allMet_ && met;
    }
    bool AllMet() const { return allMet_; }
    std::string Markdown(const std::string& machine) const {
        std::ostringstream out;
        out << "Machine: " << machine << "\n\n";
        for (std::size_t r = 0; r < rows_.size(); ++r) {
            out << "|";
            for (const std::string& cell : rows_[r]) out << " " << cell << " |";
            out << "\n";
            if (r == 0) {
                out << "|";
                for (std::size_t c = 0; c < rows_[r].size(); ++c) out << "---|";
                out << "\n";
            }
        }
        out << "\n";
        for (const std::string& target : targets_) out << "- " << target << "\n";
        return out.str();
    }

private:
    std::vector<std::vector<std::string>> rows_;
    std::vector<std::string> targets_;
    bool allMet_ = true;
};

std::string Fixed(double value, int digits) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", digits, value);
    return text;
}

std::string Ratio(const Measurement& m) { return Fixed(static_cast<double>(m.Logged) / static_cast<double>(m.Sent), 6) + (m.Exact ? " exact" : " DIFFERS"); }

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    std::string markdownFile = "lumbench-results.md";
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) quick = true;
        else if (std::strcmp(argv[i], "--markdown") == 0 && i + 1 < argc) markdownFile = argv[++i];
        else {
            std::fprintf(stderr, "usage: lumbench [--quick] [--markdown FILE]\n");
            return 2;
        }
    }
    const std::size_t volume = (quick ? 8u : 64u) << 20;
    const double lineSeconds = quick ? 4 : 60, slowSeconds = quick ? 3 : 20, idleSeconds = quick ? 2 : 10;
    std::vector<Reader> readers = {Reader::Lumtrex, Reader::Cat, Reader::LumtrexTimes};
    const bool slowSyncs = *LUMTREX_STAND_IN != 0;  // the stand-in is built with the tests
    if (slowSyncs) readers.push_back(Reader::LumtrexSlowSync);
    if (Installed("picocom")) readers.push_back(Reader::Picocom);
    const bool remote = Installed("ser2net");
    if (remote) readers.push_back(Reader::LumtrexRemote);  // at full speed ser2net hands on small pieces: shown, not judged

    Report report;
    bool lossless = true;
    report.Row({"measurement", "reader", "MiB/s", "CPU s/MiB", "CPU % of a core", "peak RSS KiB", "logged/sent"});

    const std::string data = Bytes(Pattern::Random, volume, 11);
    std::vector<Measurement> full;
    for (Reader reader : readers) {
        std::fprintf(stderr, "lumbench: %zu MiB at full speed into %s\n", volume >> 20, ReaderNames[int(reader)]);
        const Measurement m = Stream(reader, data, 115200, false);
        full.push_back(m);
        lossless = lossless && m.Exact;
        report.Row({std::to_string(volume >> 20) + " MiB, full speed", ReaderNames[int(reader)],
                    Fixed(static_cast<double>(volume >> 20) / m.Seconds, 1), Fixed(m.CpuSeconds / static_cast<double>(volume >> 20), 4),
                    Fixed(100 * m.CpuSeconds / m.Seconds, 1), std::to_string(m.PeakRssKb), Ratio(m)});
    }
    const double perMibRatio = full[0].CpuSeconds / std::max(full[1].CpuSeconds, 1e-6);
    const double timedRatio = full[2].CpuSeconds / std::max(full[1].CpuSeconds, 1e-6);
    const double indexShare = 100.0 * static_cast<double>(full[2].IndexBytes) / static_cast<double>(volume);

    std::vector<double> lineRatios;
    Measurement remoteAt115200;
    double lineCpu115200 = 0;
    double countsPerSecond = 0;  // at 115200 baud
    for (int rate : {115200, 9600}) {
        const double seconds = rate == 115200 ? lineSeconds : slowSeconds;
        const std::string stream = Bytes(Pattern::Random, static_cast<std::size_t>(seconds * rate / 10), 13);
        Measurement lumtrex, cat;
        std::vector<Reader> paced = {Reader::Lumtrex, Reader::Cat};
        if (remote && rate == 115200) paced.push_back(Reader::LumtrexRemote);
        for (Reader reader : paced) {
            std::fprintf(stderr, "lumbench: %.0f s at %d baud into %s\n", seconds, rate, ReaderNames[int(reader)]);
            const Measurement m = Stream(reader, stream, rate, true);
            (reader == Reader::Lumtrex ? lumtrex : reader == Reader::Cat ? cat : remoteAt115200) = m;
            lossless = lossless && m.Exact;
            report.Row({Fixed(seconds, 0) + " s at " + std::to_string(rate) + " baud", ReaderNames[int(reader)], "",
                        "", Fixed(100 * m.CpuSeconds / m.Seconds, 3), std::to_string(m.PeakRssKb), Ratio(m)});
        }
        lineRatios.push_back(lumtrex.CpuSeconds / std::max(cat.CpuSeconds, 1e-6));
        if (rate == 115200) lineCpu115200 = lumtrex.CpuSeconds, countsPerSecond = lumtrex.CountsPerSecond;
    }

    const int instruments = 32;
    const double manySeconds = quick ? 5 : 20;
    double manyCpu[2] = {};
    for (Reader reader : {Reader::Lumtrex, Reader::Cat}) {
        std::fprintf(stderr, "lumbench: %d instruments at 115200 baud for %.0f s into %s\n", instruments, manySeconds,
                     ReaderNames[int(reader)]);
        bool exact = false;
        const double cpu = ManyAtOnce(reader, instruments, manySeconds, exact);
        manyCpu[reader == Reader::Cat] = cpu;
        lossless = lossless && exact;
        report.Row({std::to_string(instruments) + " instruments at 115200 baud, pieces every 10 ms, " + Fixed(manySeconds, 0) + " s",
                    ReaderNames[int(reader)], "", Fixed(cpu, 2) + " s in all", Fixed(100 * cpu / manySeconds, 1), "",
                    exact ? "1.000000 exact" : "DIFFERS"});
    }
    const double manyRatio = manyCpu[0] / std::max(manyCpu[1], 1e-6);

    std::fprintf(stderr, "lumbench: idle\n");
    const double idle = IdlePercent(false, idleSeconds);
    const double waiting = IdlePercent(true, idleSeconds);
    report.Row({Fixed(idleSeconds, 0) + " s, no data", "lumtrex", "", "", Fixed(idle, 4), "", ""});
    report.Row({Fixed(idleSeconds, 0) + " s, key wait after a failed open", "lumtrex", "", "", Fixed(waiting, 4), "", ""});

    std::fprintf(stderr, "lumbench: stop latency\n");
    double slowestMedian = 0;
    for (bool streaming : {false, true}) {
        const std::vector<double> latencies = StopLatencies(quick ? 3 : 7, streaming);
        const double median = latencies[latencies.size() / 2];
        slowestMedian = std::max(slowestMedian, median);
        report.Row({std::string("key to final count, ") + (streaming ? "115200 baud stream" : "silent line") +
                        ", median of " + std::to_string(latencies.size()) + " (min " + Fixed(latencies.front(), 2) +
                        " s, max " + Fixed(latencies.back(), 2) + " s)",
                    "lumtrex", "", "", Fixed(median, 2) + " s", "", ""});
    }

    report.Target("logged/sent = 1.0 in every row, byte for byte", lossless);
    report.Target("CPU per MiB at most 1.2 x cat's (" + Fixed(perMibRatio, 2) + " x)", perMibRatio <= 1.2);
    report.Target(std::to_string(instruments) + " instruments at 115200 baud: at most cat's CPU (" + Fixed(manyRatio, 2) + " x)",
                  manyRatio <= 1.0);
    report.Target("with --times, CPU per MiB at most 1.6 x cat's (" + Fixed(timedRatio, 2) + " x)", timedRatio <= 1.6);
    report.Target("with --times, the index under 2 % of the log (" + std::to_string(full[2].IndexBytes) + " bytes, " +
                      Fixed(indexShare, 4) + " %)", full[2].IndexBytes > 0 && indexShare < 2);
    const double slowed = slowSyncs && full[0].Seconds > 0 ? full[3].Seconds / full[0].Seconds : 0;
    report.Target("with 800 ms syncs, the full-speed run within 30 % of its time without (" +
                      (slowSyncs ? Fixed(slowed, 2) + " x)" : "not measured: build with -DBUILD_TESTING=ON)"),
                  slowSyncs && slowed <= 1.3);
    report.Target("at most 20 counts a second on the console at 115200 baud (" + Fixed(countsPerSecond, 1) + ")",
                  countsPerSecond <= 20);
    report.Target("CPU at 115200 baud at most 2 x cat's (" + Fixed(lineRatios[0], 2) + " x)", lineRatios[0] <= 2);
    report.Target("CPU at 9600 baud at most 2 x cat's (" + Fixed(lineRatios[1], 2) + " x)", lineRatios[1] <= 2);
    report.Target("idle under 0.1 % of a core (" + Fixed(idle, 4) + " %, key wait " + Fixed(waiting, 4) + " %)",
                  idle < 0.1 && waiting < 0.1);
    const double remoteRatio = remote ? remoteAt115200.CpuSeconds / std::max(lineCpu115200, 1e-6) : 0;
    report.Target("through ser2net (rfc2217://) at 115200 baud, CPU at most 2 x the local pseudo-terminal's (" +
                      (remote ? Fixed(remoteRatio, 2) + " x)" : "not measured: ser2net is missing)"),
                  remote && remoteRatio <= 2);
    report.Target("peak resident memory of lumtrex under 8 MiB at 115200 baud, its ring of 1 MiB filled (" +
                      std::to_string(full[0].PeakRssKb) + " KiB)", full[0].PeakRssKb < 8192);
    report.Target("key to final count under 0.4 s, 250 ms close included (median " + Fixed(slowestMedian, 2) + " s)",
                  slowestMedian < 0.4);
    const auto [firstLine, showRss] = ShowOfTwoGiB();
    report.Row({"--show of a 2 GiB capture with its index (2 M lines): first line after " + Fixed(firstLine, 2) + " s",
                "lumtrex", "", "", "", std::to_string(showRss), ""});
    report.Target("--show of a 2 GiB capture: first line within 1 s (" + Fixed(firstLine, 2) + " s), memory under 16 MiB (" +
                      std::to_string(showRss) + " KiB)", firstLine >= 0 && firstLine < 1 && showRss > 0 && showRss < 16384);

    const std::string markdown = report.Markdown(MachineLine());
    std::fputs(markdown.c_str(), stdout);
    std::ofstream(markdownFile) << markdown;
    std::fprintf(stderr, "lumbench: table written to %s\n", markdownFile.c_str());
    return quick ? (lossless ? 0 : 1) : (report.AllMet() ? 0 : 1);
}
