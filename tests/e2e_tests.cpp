// The whole program, run as a user runs it: a pseudo-terminal as its console
// and another as its serial port. Scenarios are rows; "{port}" in a row
// stands for the port as the program names it. The same rows run against the
// native program and, built with LUMTREX_WINE_EXE, against the Windows
// program under Wine, where COM1 leads to the test's pseudo-terminal.
#include <fcntl.h>
#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace {

#if defined(LUMTREX_WINE_EXE)
constexpr bool UnderWine = true;
const std::vector<std::string> Program = {LUMTREX_WINE, LUMTREX_WINE_EXE};
#else
constexpr bool UnderWine = false;
// LUMTREX_UNDER_TEST names another build of the program, such as an installed one.
const std::vector<std::string> Program = {getenv("LUMTREX_UNDER_TEST") ? getenv("LUMTREX_UNDER_TEST") : LUMTREX_BINARY};
#endif

// Wine's COM1 is a link, named in the registry, that each test points at its own
// pseudo-terminal. Wine hands the machine's own serial ports to the numbers
// left free: no row opens another COM port but COM200, which is missing.
const std::string WinePrefix = std::string(LUMTREX_TEST_DIR) + "/wineprefix";
const std::string WineCom1 = std::string(LUMTREX_TEST_DIR) + "/wine-com1";

void Run(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

class WineSetUp : public ::testing::Environment {
public:
    void SetUp() override {
        setenv("WINEPREFIX", WinePrefix.c_str(), 1);
        setenv("WINEDEBUG", "-all", 1);
        setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
        setenv("TERM", "xterm", 1);
        unsetenv("DISPLAY");  // a message box then returns at once instead of waiting unseen
        const std::string ready = WinePrefix + "/lumtrex-ready";
        if (FileSize(ready) >= 0) return;
        const std::string wine = std::string("'") + Program[0] + "'";
        // The first command makes the prefix. (No "wineboot -i" besides: with
        // Wine's services running it starts a second service manager, and then
        // each console's first key waits 10 s for a desktop that cannot start
        // its services.)
        Run(wine + " reg add 'HKLM\\Software\\Wine\\Ports' /v COM1 /t REG_SZ /d '" + WineCom1 +
            "' /f >/dev/null 2>&1");
        // Wine makes the key the link dosdevices/com1 when it starts: for the
        // suite's wineserver (wine.server_start), before the key existed.
        std::filesystem::remove(WinePrefix + "/dosdevices/com1");
        std::filesystem::create_symlink(WineCom1, WinePrefix + "/dosdevices/com1");
        WriteFile(ready, "");
    }
};

[[maybe_unused]] const auto* const WineEnvironment =
    UnderWine ? ::testing::AddGlobalTestEnvironment(new WineSetUp) : nullptr;

const std::string Banner =
    "     ***********************************\n"
    "     ** Lumtrex V1.12    16.06.2004   **\n"
    "     ** support@lumtrex.example       **\n"
    "     ***********************************\n";
const std::string Usage =
    "\nBenutzung: Lumtrex [Comport] [Baudrate] [-dx]\n"
    "Beispiel: Lumtrex 1 19200\n"
    "Default: COM1, 9600 Baud, DTR aus, RTS aus\n"
    "Ausgabe: die Datei lumtrex.log\n";
const std::string CaptureHeader = "\nEmpfang abbrechen mit beliebiger Taste\n\nEmpfangene Bytes\n0\r";
const std::string KeyPrompt = "\n\nProgramm beenden mit beliebiger Taste\n";
const std::string PreviousKept = "Vorige Logdatei: lumtrex.log.1\n";
const std::string Unsupported = " (Wert oder Einstellung nicht unterstuetzt)";

// Output that is not a terminal: every line after the settings begins with its time. The text without them.
const std::regex LineTime("(^|\n)\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d ");
std::string WithoutTimes(const std::string& text) { return std::regex_replace(text, LineTime, "$1"); }

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// A row shows as its name, in a test's name and in gtest's messages.
template <typename Row>
    requires requires(Row row) { row.Name; }
void PrintTo(const Row& row, std::ostream* out) { *out << row.Name; }
const auto ByName = [](const auto& info) { return std::string(info.param.Name); };

int ExitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

// Ended as killed by `signal` (Windows: with STATUS_CONTROL_C_EXIT), or else
// with the exit status; natively with the terminal's modes given back.
void ExpectEnded(Session& run, int signal, int status) {
    if (!UnderWine && signal != SIGKILL) { EXPECT_TRUE(run.ModesAsAtStart()) << "terminal not restored"; }
    constexpr unsigned StatusControlCExit = 0xC000013A;  // as far as a POSIX exit status holds it
    if (signal && UnderWine) {
        EXPECT_EQ(ExitCode(run.Status()), static_cast<int>(StatusControlCExit & 0xff));
    } else if (signal) {
        EXPECT_TRUE(WIFSIGNALED(run.Status()) && WTERMSIG(run.Status()) == signal) << run.Status();
    } else {
        EXPECT_EQ(ExitCode(run.Status()), status) << run.Output();
    }
}

// Natively, whether the arguments make the program open /dev/ttyS*.
bool NamesAComPort(const std::vector<std::string>& arguments) {
    return !UnderWine && (arguments.empty() ||
                          (arguments[0] != "{port}" && arguments[0].find('/') == std::string::npos));
}
const char* const NeedsNamespace = "needs root for a private mount namespace over /dev/ttyS*";

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(OpenPtyLine(port));
        dir = TempDir();
        log = dir + "/lumtrex.log";
    }
    // A passing row leaves nothing behind; a failing one keeps its folder to look at.
    void TearDown() override {
        ClosePtyLine(port);
        if (HasFailure()) {
            std::printf("The run's folder is kept: %s\n", dir.c_str());
        } else {
            std::error_code ignored;
            std::filesystem::remove_all(dir, ignored);
        }
    }

    // A numbered port runs with the test's pseudo-terminal bound over /dev/ttyS*.
    // `linkCom1`: under Wine, COM1 leads to the test's pseudo-terminal (else the row has set it).
    std::unique_ptr<Session> Launch(const std::vector<std::string>& arguments, LaunchOptions options = {},
                                    bool linkCom1 = true) {
        if (NamesAComPort(arguments)) options.BindOverComPorts = port.SlavePath;
        std::vector<std::string> command = Program;
        for (const std::string& argument : arguments) command.push_back(Expand(argument));
        if (UnderWine && linkCom1) {
            unlink(WineCom1.c_str());
            EXPECT_EQ(symlink(port.SlavePath, WineCom1.c_str()), 0);
        }
        options.WorkDir = dir;
        options.CrLfNewlines = UnderWine;
        auto run = std::make_unique<Session>(command, options);
        // Wine may be slow to start on a loaded machine: waits count from the first output.
        if (UnderWine && options.StdoutFile.empty() && !options.StdoutReaderGone && !options.StdoutPiped) {
            WaitUntil([&] { return !run->Output().empty(); }, 60s);
        }
        return run;
    }
    // The port as the program names it, the run's folder (by its drive in the device namespace, Wine's Z:), the null
    // device, a terminal device (Windows: AUX), and the codes for a folder, a held file, a device that is no port and a refused line.
    std::string Expand(const std::string& text) const {
        std::string expanded = Replace(text, "{drivedir}", UnderWine ? "\\\\.\\Z:{dir}/" : "{dir}/");
        expanded = Replace(Replace(expanded, "{port}", UnderWine ? "COM1" : port.SlavePath), "{dir}", dir);
        expanded = Replace(expanded, "{null}", UnderWine ? "\\\\.\\NUL" : "/dev/null");
        expanded = Replace(expanded, "{example}", UnderWine ? "\\\\.\\COM12" : "/dev/ttyUSB0");
        expanded = Replace(expanded, "{terminal}", UnderWine ? "aux" : "/dev/tty");
        expanded = Replace(expanded, "{EISDIR}", UnderWine ? "13 (keine Rechte, oder ein anderes Programm sperrt sie)" : "21 (ist ein Ordner)");
        expanded = Replace(expanded, "{EINVAL}", std::string(UnderWine ? "87" : "22") + Unsupported);
        return Replace(expanded, "{NOTCOMM}", UnderWine ? "6 (keine serielle Schnittstelle)" : "25 (keine serielle Schnittstelle)");
    }
    // As a UART at `rate` delivers them, a few bytes every 5 ms; at rate 0 as fast as they go.
    void Send(const std::string& bytes, int rate = 0) {
        const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
        ASSERT_TRUE(rate ? SendPaced(port.Master, data, bytes.size(), rate, 5) == bytes.size()
                         : SendAll(port.Master, data, bytes.size()));
    }
    bool WaitForLog(std::size_t size) {
        const auto limit = 20s + std::chrono::seconds(size >> 21);  // even at 2 MiB/s
        return WaitUntil([&] { return FileSize(log) == static_cast<long long>(size); }, limit);
    }
    // Presses a key and expects the run to end in order with the status; `took`: from the key to the end.
    // (The key is typed once the console's echo is off: under a loaded Wine its console may be slow to it.)
    void StopWithKey(Session& run, int status, std::chrono::milliseconds* took = nullptr) {
        const auto start = std::chrono::steady_clock::now();
        run.Type("q");
        const auto typed = std::chrono::steady_clock::now();
        ASSERT_TRUE(run.WaitForExit());
        const auto ended = std::chrono::steady_clock::now();
        const auto ms = [](auto span) { return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(span).count()); };
        if (ended - start > 2s) std::printf("key typed after %lld ms, the run ended %lld ms later\n", ms(typed - start), ms(ended - typed));
        if (took) *took = std::chrono::duration_cast<std::chrono::milliseconds>(ended - typed);
        ExpectEnded(run, 0, status);
    }

    PtyLine port;
    std::string dir, log;
};

// The finished parts of a split log (LOG.YYYYMMDD-HHMMSS[-n], as they keep
// their names), in recording order, the part being written (LOG) last.
std::vector<std::string> PartsOf(const std::string& log) {
    const std::string folder = std::filesystem::path(log).parent_path(), base = std::filesystem::path(log).filename();
    std::vector<std::string> parts;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename();
        if (name.size() >= base.size() + 16 && name.rfind(base + ".2", 0) == 0 && !name.ends_with(".times")) {
            parts.push_back(folder + "/" + name);
        }
    }
    std::sort(parts.begin(), parts.end());
    parts.push_back(log);
    return parts;
}

// The bytes in all of them.
long long PartsSize(const std::string& log) {
    long long size = 0;
    for (const std::string& part : PartsOf(log)) size += std::max(0LL, FileSize(part));
    return size;
}

// ---- What the user sees before the capture, or why there is none ----

std::vector<std::string> WithStandIn(const std::string& setting);  // the stand-in for a driver, below

enum class Prepare { Nothing, Fifo, LineRefused };  // (a port another program holds: RealDrivers)

struct StartRow {
    const char* Name;
    std::vector<std::string> Arguments;
    std::string Expected;               // the console from the banner on, before the final count
    int Nice = 0;                       // the process's nice value while it runs
    int Status = 0;                     // 1: the port cannot be used
    Prepare Before = Prepare::Nothing;  // what stands at the port when the program starts
    bool WineToo = true;                // the port names a COM port under Wine too
};

std::string Octal(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%o", value);
    return text;
}

std::string SettingsLine(const std::string& port, int rate) {
    return "\nSchnittstelle: " + port + " Baudrate: " + std::to_string(rate) + " Baud\nLogdatei: lumtrex.log\n\n";
}

// A port that cannot be used at 9600 baud: the reason, and a key ends the run.
StartRow Unusable(const char* name, const std::string& port, const std::string& reason, bool wineToo,
                  Prepare before = Prepare::Nothing) {
    return {name, {port, "9600"}, SettingsLine(port, 9600) + reason + KeyPrompt, 0, 1, before, wineToo};
}

class StartTexts : public EndToEnd, public ::testing::WithParamInterface<StartRow> {};

TEST_P(StartTexts, ShowTheSettingsInUseAndWhyAPortCannotBeUsed) {
    const StartRow& row = GetParam();
    if (UnderWine && !row.WineToo) GTEST_SKIP() << "names no Windows port";
    if (NamesAComPort(row.Arguments) && !CanBindOverComPorts()) GTEST_SKIP() << NeedsNamespace;
    if (row.Status) WriteFile(log, "older log");
    LaunchOptions options;
    switch (row.Before) {
        case Prepare::Fifo: ASSERT_EQ(mkfifo(Expand(row.Arguments[0]).c_str(), 0600), 0); break;
        case Prepare::LineRefused:  // every line at the rate the port has, so at every rate we try
            ASSERT_TRUE(LeaveLineAt4800AsAnotherProgram(port.Master, true));
            options.Environment = WithStandIn("LUMTREX_TEST_LINE=refuse:4800");
            break;
        case Prepare::Nothing: break;
    }
    auto run = Launch(row.Arguments, options);
    const std::string expected = Banner + Expand(row.Expected);
    ASSERT_TRUE(run->WaitForOutput(expected)) << run->Output();
    EXPECT_EQ(run->Output().rfind(expected, 0), 0u) << run->Output();
    if (!UnderWine) { EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(run->Pid())), row.Nice); }  // Wine's own
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(waitpid(run->Pid(), nullptr, WNOHANG), 0) << "ended without a key";
    StopWithKey(*run, row.Status);
    EXPECT_TRUE(run->Output().ends_with(expected + "0\n")) << run->Output();
    if (row.Status) { EXPECT_EQ(ReadFile(log), "older log"); }
}

// A word in 3rd place that raises nothing is said; with --no-keys no key is asked for: the run ends at once.
TEST_F(EndToEnd, AWordThatRaisesNothingIsSaidAndNoKeyIsAskedForThatEndsNothing) {
    if (UnderWine) GTEST_SKIP() << "the same texts as natively";
    auto run = Launch({"/dev/lumtrex-missing", "9600", "hour", "--no-keys"});
    ASSERT_TRUE(run->WaitForExit()) << run->Output();
    ExpectEnded(*run, 0, 1);
    EXPECT_EQ(run->Output(), Banner + "Hinweis: hour an 3. Stelle ist nicht -d1, DTR bleibt aus.\n" +
                                 SettingsLine("/dev/lumtrex-missing", 9600) +
                                 "Windows meldet nicht gefunden. /dev/lumtrex-missing existiert nicht oder wird benutzt.\n\n0\n");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StartTexts,
    ::testing::Values(
        StartRow{"NoArguments", {}, Usage + SettingsLine("COM1", 9600) + CaptureHeader},
        StartRow{"ComName", {"com1", "57600", "-d1", "-c1"}, SettingsLine("COM1", 57600) + CaptureHeader, -10},
        StartRow{"DevicePathUnsupportedRate", {"{port}", "56000"},
                 "Hinweis: Baudrate 56000 nicht in der Tabelle, es gilt 9600 (--baud 56000 nimmt jede Rate).\n" +
                     SettingsLine("{port}", 9600) + CaptureHeader},
        StartRow{"NoPortNumberAboveEight", {"9", "19200"},
                 "Hinweis: 9 ist keine Schnittstelle, es gilt COM1 (fuer COM9: COM9 schreiben).\n" +
                     SettingsLine("COM1", 19200) + CaptureHeader},
        // On POSIX a bare name is a device in /dev: never COM1 in its place.
        StartRow{"BareName", {"ttyLumtrexMissing", "9600"},
                 SettingsLine("/dev/ttyLumtrexMissing", 9600) +
                     "Windows meldet nicht gefunden. /dev/ttyLumtrexMissing existiert nicht oder wird benutzt.\n" + KeyPrompt,
                 0, 1, Prepare::Nothing, false},
        StartRow{"DevicePathRateWithoutConstant", {"{port}", "76800", "x", "-c1"},
                 SettingsLine("{port}", 76800) + CaptureHeader, -10},
        Unusable("MissingPath", "/dev/lumtrex-missing",
                 "Windows meldet nicht gefunden. /dev/lumtrex-missing existiert nicht oder wird benutzt.\n", false),
        Unusable("MissingComNumber", "COM200", "Windows meldet nicht gefunden. COM200 existiert nicht oder wird benutzt.\n",
                 true),
        Unusable("Folder", "/tmp", "Fehlercode: 21 (ist ein Ordner)\n", false),
        // Opened as given, never shortened into another path: too long for the system.
        Unusable("OverlongPath", "/tmp/" + std::string(5000, 'x'), "Fehlercode: 36 (Name zu lang)\n", false),
        // Devices and files that open but are no serial port: never recorded.
        Unusable("NullDevice", "{null}", "{null} GetCommState nicht ok !\nFehlercode: {NOTCOMM}\n", true),
        Unusable("Fifo", "{dir}/fifo", "{dir}/fifo GetCommState nicht ok !\nFehlercode: {NOTCOMM}\n", false, Prepare::Fifo),
        // A line we cannot make ours at any rate: never recorded on the line another program left.
        StartRow{"LineRefusedAtEveryRate", {"{port}", "4800"},
                 SettingsLine("{port}", 4800) + " {port} SetCommState nicht ok !\nFehlercode: {EINVAL}\n" + KeyPrompt,
                 0, 1, Prepare::LineRefused},
        // A line the system cannot set (Linux has no 2 stop bits with 5 data bits) is not recorded at all.
        StartRow{"LineTheSystemCannotSet", {"{port}", "9600", "--line", "5N2"},
                 "\nSchnittstelle: {port} Baudrate: 9600 Baud 5N2\nLogdatei: lumtrex.log\n\n {port} SetCommState nicht ok !\n"
                 "Leitung 5N2 geht an dieser Schnittstelle nicht.\nFehlercode: 22" + Unsupported + "\n" + KeyPrompt, 0, 1, Prepare::Nothing, false}),
    ByName);

// A USB adapter that drops out for a moment: the run waits for the port,
// tried again by its name, and records on into the same log; the console
// says where the gap is. Natively the port is a link that leads to a new
// pseudo-terminal once the first has hung up, under Wine COM1's link.
// RefusedRate: the returning port refuses the rate at first (the stand-in,
// while a file exists): tried again, never recorded at another rate.
// Redirected: the gap's line is in the output file during the gap, and the
// wait costs next to no CPU. LateAtStart: with --wait the port appears 3 s
// after the start. RefusedAtStart: the rate is refused at the start (recorded
// at the rate the port kept), then the port goes and comes back: recorded on
// at the kept rate.
enum class GapCase { TwoGaps, RefusedRate, Redirected, LateAtStart, HeldAtStart, RefusedAtStart };

struct GapRow {
    const char* Name;
    GapCase How;
};

class Gaps : public EndToEnd, public ::testing::WithParamInterface<GapRow> {
protected:
    // The CPU time the running program has used so far, in clock ticks.
    static long CpuTicks(pid_t pid) {
        const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string field;
        long ticks = 0;
        for (int at = 3; at <= 15 && fields >> field; ++at) {
            if (at >= 14) ticks += std::atol(field.c_str());
        }
        return ticks;
    }
};

TEST_P(Gaps, AreWaitedForAndTheCaptureGoesOn) {
    const GapRow& row = GetParam();
    const std::string link = UnderWine ? WineCom1 : dir + "/port", name = UnderWine ? "COM1" : link;
    const std::string refusing = dir + "/refusing";
    const auto leadTo = [&](const std::string& path) {
        unlink(link.c_str());
        return symlink(path.c_str(), link.c_str()) == 0;
    };
    LaunchOptions options;
    std::vector<std::string> arguments = {UnderWine ? "{port}" : link, "115200"};
    if (row.How == GapCase::RefusedRate) options.Environment = WithStandIn("LUMTREX_TEST_LINE=refuse:115200:" + refusing);
    if (row.How == GapCase::RefusedAtStart) options.Environment = WithStandIn("LUMTREX_TEST_LINE=refuse:115200");
    if (row.How == GapCase::Redirected) options.StdoutFile = dir + "/out";
    const bool late = row.How == GapCase::LateAtStart, held = row.How == GapCase::HeldAtStart;
    if (held && UnderWine) GTEST_SKIP() << "a port another Windows program holds: LateAtStart's wait";
    if (late || held) arguments.push_back("--wait");
    const int holder = held ? open(port.SlavePath, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC) : -1;  // as another serial program would
    if (held) { ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0); }
    if (row.How == GapCase::TwoGaps || row.How == GapCase::RefusedAtStart) arguments.push_back("--times");
    if (row.How == GapCase::TwoGaps) arguments.push_back("--split=4K");  // the second gap in the second part
    ASSERT_TRUE(leadTo(late ? dir + "/gone" : port.SlavePath));
    auto run = Launch(arguments, options, false);
    const auto output = [&] { return row.How == GapCase::Redirected ? CrLfAsNewline(ReadFile(dir + "/out")) : run->Output(); };
    const auto seen = [&](const std::string& text, int times = 1) {  // at least so often
        return WaitUntil([&] {
            const std::string said = output();
            int count = 0;
            for (std::size_t at = 0; (at = said.find(text, at)) != std::string::npos; ++at) ++count;
            return count >= times;
        }, 20s);
    };
    if (late || held) {  // missing, or there and held: said as it is, and waited for
        ASSERT_TRUE(seen(" " + name + (held ? " ist belegt oder gesperrt." : " ist nicht da.") + " Warte auf die Schnittstelle ...\n"))
            << output();
        std::this_thread::sleep_for(3s);
        ASSERT_TRUE(held ? close(holder) == 0 : leadTo(port.SlavePath));
        ASSERT_TRUE(seen(" " + name + " ist da.\n")) << output();
    }
    ASSERT_TRUE(seen(row.How == GapCase::Redirected ? "Empfangene Bytes\n" : CaptureHeader)) << output();
    std::string bytes;
    for (int gap = 1; gap <= 2; ++gap) {  // TwoGaps: the second ends with a key during the wait
        bytes += Bytes(Pattern::Random, 3000, gap);
        Send(bytes.substr(bytes.size() - 3000));
        ASSERT_TRUE(WaitUntil([&] { return PartsSize(log) == static_cast<long long>(bytes.size()); }, 20s))
            << PartsSize(log);  // all of it, not only the full blocks
        if (gap == 2 && row.How != GapCase::TwoGaps) break;
        std::this_thread::sleep_for(200ms);
        ASSERT_TRUE(leadTo(dir + "/gone"));  // never to another test's pseudo-terminal of the same number
        ClosePtyLine(port);  // hung up
        const auto lost = std::chrono::steady_clock::now();
        ASSERT_TRUE(seen(" " + name + " ist nicht mehr vorhanden (nach " + std::to_string(bytes.size()) + " Bytes")) << output();
        if (gap == 2) break;
        if (row.How == GapCase::Redirected) {  // written out at once, and tries that cost next to nothing
            const long before = CpuTicks(run->Pid());
            std::this_thread::sleep_for(3s);
            EXPECT_LT(CpuTicks(run->Pid()) - before, 3 * sysconf(_SC_CLK_TCK) / 10) << "the wait spins";
        }
        std::this_thread::sleep_for(1200ms - std::min<std::chrono::steady_clock::duration>(1200ms, std::chrono::steady_clock::now() - lost));
        if (row.How == GapCase::RefusedRate) WriteFile(refusing, "");
        ASSERT_TRUE(OpenPtyLine(port) && leadTo(port.SlavePath));
        if (row.How == GapCase::RefusedRate) {  // said once, tried again, and recorded only at its rate
            ASSERT_TRUE(seen(" " + name + " SetCommState nicht ok !\n" + Expand("Fehlercode: {EINVAL}\n"))) << output();
            std::this_thread::sleep_for(1500ms);
            EXPECT_EQ(output().find("ist wieder da"), std::string::npos) << output();
            unlink(refusing.c_str());
        }
        ASSERT_TRUE(seen(" " + name + " ist wieder da. Empfang laeuft weiter.\n")) << output();
        LineState line{};
        if (row.How == GapCase::RefusedRate) { EXPECT_TRUE(ReadLineState(port.Master, line) && line.Rate == 115200) << line.Rate; }
        if (row.How == GapCase::RefusedAtStart) { EXPECT_TRUE(ReadLineState(port.Master, line) && line.Rate == 38400) << line.Rate; }
    }
    const auto key = std::chrono::steady_clock::now();
    run->Type("q");  // TwoGaps: during the wait, which it ends at once
    ASSERT_TRUE(run->WaitForExit());
    if (row.How == GapCase::TwoGaps) { EXPECT_LT(std::chrono::steady_clock::now() - key, 1500ms) << "the key did not end the wait"; }
    ExpectEnded(*run, 0, 0);
    std::string logged;
    for (const std::string& part : PartsOf(log)) logged += ReadFile(part);
    EXPECT_TRUE(logged == bytes) << "the log is not what was sent";
    const std::string said = output();
    EXPECT_EQ(said.find("Baudrate bleibt"), row.How == GapCase::RefusedAtStart ? said.find("Baudrate bleibt 38400 Baud.\n")
                                                                                : std::string::npos) << said;
    EXPECT_EQ(said.find("SetCommState nicht ok"), said.rfind("SetCommState nicht ok")) << "said more than once a gap";
    const std::string stamp = "\\n\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d " + name;  // the local time
    if (row.How == GapCase::RefusedAtStart) {  // the index names the rate recorded, not the one refused
        EXPECT_TRUE(std::regex_search(ReadFile(log + ".times"), std::regex("^beginn 0 \\S+ \\S+ 38400\n"))) << ReadFile(log + ".times");
    }
    if (row.How == GapCase::TwoGaps) {
        EXPECT_TRUE(std::regex_search(said, std::regex(stamp + " ist wieder da[\\s\\S]*" + stamp +
                                                       " ist nicht mehr vorhanden \\(nach 6000 Bytes; Teil ab "
                                                       "\\d\\d:\\d\\d:\\d\\d bei 1904\\)[^\\n]*\\n6000\\n$")))
            << said;
        // The gaps where they are in the parts, as the lines say.
        const std::vector<std::string> parts = PartsOf(log);
        ASSERT_EQ(parts.size(), 2u);
        const std::string first = ReadFile(parts[0] + ".times"), index = ReadFile(log + ".times");
        EXPECT_TRUE(std::regex_search(first, std::regex("\\nweg 3000 [^\\n]+\\nwieder 3000 [^\\n]+\\n3000 "))) << first;
        EXPECT_TRUE(std::regex_search(index, std::regex("\\nweg 1904 [^\\n]+\\nende 1904 [^\\n]+\\n$"))) << index;
        // Each part by its start, as its index's beginn line gives it.
        const auto began = [](const std::string& index) { return index.substr(index.find('T') + 1, 8); };
        EXPECT_NE(said.find("(nach 3000 Bytes; Teil ab " + began(first) + " bei 3000)"), std::string::npos) << said << first;
        EXPECT_NE(said.find("; Teil ab " + began(index) + " bei 1904)"), std::string::npos) << said << index;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Gaps,
                         ::testing::Values(GapRow{"TwoGaps", GapCase::TwoGaps}, GapRow{"RefusedRate", GapCase::RefusedRate},
                                           GapRow{"Redirected", GapCase::Redirected},
                                           GapRow{"LateAtStart", GapCase::LateAtStart}, GapRow{"HeldAtStart", GapCase::HeldAtStart},
                                           GapRow{"RefusedAtStart", GapCase::RefusedAtStart}),
                         ByName);

// --for ends every wait: the start's --wait for a port that never comes
// (nothing recorded, status 1) or comes late, and a lost port's wait; each
// run ends about when --for says, counted from its start.
struct DeadlineRow {
    const char* Name;
    std::vector<std::string> Options;
    int ComesAfterMs;  // the port appears then (0: there from the start, -1: never)
    int LostAfterMs;   // and goes away then for good (-1: never)
    int EndsAfterMs;
    int Status;
    std::string Said;  // in the console
};

class Deadlines : public EndToEnd, public ::testing::WithParamInterface<DeadlineRow> {};

TEST_P(Deadlines, EndEveryWait) {
    const DeadlineRow& row = GetParam();
    const std::string link = UnderWine ? WineCom1 : dir + "/port";
    const auto leadTo = [&](const std::string& path) {
        unlink(link.c_str());
        return symlink(path.c_str(), link.c_str()) == 0;
    };
    ASSERT_TRUE(leadTo(row.ComesAfterMs == 0 ? port.SlavePath : dir + "/gone"));
    std::vector<std::string> arguments = {UnderWine ? "{port}" : link, "115200"};
    arguments.insert(arguments.end(), row.Options.begin(), row.Options.end());
    auto run = Launch(arguments, {}, false);
    const auto start = std::chrono::steady_clock::now();
    if (row.ComesAfterMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(row.ComesAfterMs));
        ASSERT_TRUE(leadTo(port.SlavePath));
    }
    if (row.LostAfterMs >= 0) {
        ASSERT_TRUE(run->WaitForOutput(CaptureHeader)) << run->Output();
        std::this_thread::sleep_until(start + std::chrono::milliseconds(row.LostAfterMs));
        ASSERT_TRUE(leadTo(dir + "/gone"));
        ClosePtyLine(port);
    }
    ASSERT_TRUE(run->WaitForExit(20s)) << run->Output();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_NEAR(took.count(), row.EndsAfterMs, UnderWine ? 1500 : 700) << run->Output();
    ExpectEnded(*run, 0, row.Status);
    EXPECT_NE(run->Output().find(Expand(row.Said)), std::string::npos) << run->Output();
    if (row.ComesAfterMs < 0) { EXPECT_EQ(FileSize(log), -1) << "a log was made"; }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Deadlines,
    ::testing::Values(DeadlineRow{"NeverThere", {"--wait", "--for=2s"}, -1, -1, 2000, 1,
                                  " ist nicht gekommen, --for ist um: nichts aufgezeichnet.\n\n0\n"},
                      DeadlineRow{"LateThenFor", {"--wait", "--for=3s"}, 1000, -1, 3000, 0, " ist da.\n"},
                      DeadlineRow{"LostThenFor", {"--for=3s"}, 0, 1000, 3000, 0,
                                  " ist nicht mehr vorhanden (nach 0 Bytes). Warte auf die Schnittstelle ...\n"}),
    ByName);

// The service template's command, run by hand as systemd runs it: as a user
// that is not root, in group dialout, in the instance's folder, its output a
// journal's file; a stop is SIGTERM. The instance names a pseudo-terminal.
TEST_F(EndToEnd, TheServiceCommandRecordsAsTheUnitRunsIt) {
    if (UnderWine) GTEST_SKIP() << "a Linux service";
    const group* dialout = getgrnam("dialout");
    if (geteuid() != 0 || !dialout) GTEST_SKIP() << "needs root and the group dialout";
    const std::string unit = ReadFile(LUMTREX_SERVICE_UNIT);
    ASSERT_TRUE(std::regex_search(unit, std::regex("\nExecStart=\\S+ /dev/%I --wait \\$LUMTREX_ARGS\n"))) << unit;
    const std::string instance = std::string(port.SlavePath).substr(5);  // pts/N, as %I unescapes pts-N
    ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0);
    ASSERT_TRUE(chown(port.SlavePath, 0, dialout->gr_gid) == 0 && chmod(port.SlavePath, 0660) == 0);
    LaunchOptions options;
    options.WorkDir = dir;
    options.StdoutFile = dir + "/journal";
    std::smatch umask;  // the unit's: its group reads the captures
    ASSERT_TRUE(std::regex_search(unit, umask, std::regex("\nUMask=(\\d+)\n"))) << unit;
    Session run({"sh", "-c", "umask " + umask[1].str() + " && exec \"$@\"", "sh", "setpriv", "--reuid=65534", "--regid=65534",
                 "--groups=" + std::to_string(dialout->gr_gid), Program[0], "/dev/" + instance, "--wait", "115200", "--times"},
                options);  // LUMTREX_ARGS=115200 --times
    ASSERT_TRUE(WaitForLog(0)) << ReadFile(dir + "/journal");
    const std::string bytes = Bytes(Pattern::Random, 3000);
    Send(bytes);
    ASSERT_TRUE(WaitForLog(bytes.size()));
    run.Signal(SIGTERM);  // systemctl stop
    ASSERT_TRUE(run.WaitForExit());
    ExpectEnded(run, SIGTERM, 0);
    EXPECT_TRUE(ReadFile(log) == bytes);
    struct stat made {};
    EXPECT_TRUE(stat(log.c_str(), &made) == 0 && made.st_uid == 65534) << "not the service's user";
    for (const std::string& file : {log, log + ".times"}) {  // the group reads them, nobody else
        EXPECT_TRUE(stat(file.c_str(), &made) == 0 && (made.st_mode & 0777) == 0640) << file << " " << std::oct << made.st_mode;
    }
    const std::string journal = ReadFile(dir + "/journal");
    EXPECT_EQ(journal.find('\r'), std::string::npos) << journal;
    EXPECT_TRUE(WithoutTimes(journal).ends_with("\n3000\n")) << journal;
}

// A capture split at local midnight into logs named by their date: the
// time zone (TZ) is chosen so that midnight comes 2 s after the start.
long long EpochMs();  // the system clock now, below

TEST_F(EndToEnd, ADatedLogSplitAtMidnightLosesNothingAtTheSeam) {
    if (UnderWine) GTEST_SKIP() << "the same seam as natively";
    const std::time_t now = std::time(nullptr);
    long offset = ((now % 86400 - (86400 - 2)) % 86400 + 86400) % 86400;  // local = UTC - offset
    if (offset > 43200) offset -= 86400;
    char zone[32];
    std::snprintf(zone, sizeof zone, "TZ=LUM%c%02ld:%02ld:%02ld", offset < 0 ? '-' : '+', std::labs(offset) / 3600,
                  std::labs(offset) / 60 % 60, std::labs(offset) % 60);
    LaunchOptions options;
    options.Environment = {zone};
    auto run = Launch({"{port}", "115200", "--split", "day", "--log", "w-%Y%m%d.log"}, options);
    ASSERT_TRUE(run->WaitForOutput(CaptureHeader)) << run->Output();
    const std::string before = Bytes(Pattern::Random, 1000, 1), after = Bytes(Pattern::Random, 2000, 2);
    Send(before.substr(0, 500));  // two reads before midnight: one part
    std::this_thread::sleep_for(100ms);
    Send(before.substr(500));
    // The line quiet across midnight: the part is finished then, not when the next byte comes.
    ASSERT_TRUE(run->WaitForOutput("Logdatei fertig: ", 5s)) << run->Output();
    EXPECT_LE(EpochMs(), (now + 2) * 1000LL + 1500);
    Send(after);
    ASSERT_TRUE(run->WaitForOutput("3000\r")) << run->Output();
    StopWithKey(*run, 0);
    std::vector<std::string> parts;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) parts.push_back(entry.path().filename());
    std::sort(parts.begin(), parts.end());
    ASSERT_EQ(parts.size(), 2u) << run->Output();
    EXPECT_TRUE(std::regex_match(parts[0], std::regex("w-\\d{8}\\.log")) && parts[0] != parts[1]) << parts[0];
    EXPECT_TRUE(ReadFile(dir + "/" + parts[0]) == before && ReadFile(dir + "/" + parts[1]) == after);
    const std::string said = run->Output();
    EXPECT_NE(said.find("Logdatei fertig: " + parts[0] + " (1000 Bytes), weiter in " + parts[1]), std::string::npos) << said;
    EXPECT_EQ(said.find("fertig"), said.rfind("fertig")) << said;
}

// ---- The capture before: kept once, whatever started the next run ----

// (One that cannot be kept: Endings.) SecondRun: a second run in the same folder
// touches neither the capture nor the log, and with a log of its own records
// beside it. LinkOfPrevious: the log hard-linked to lumtrex.log.1. Intruder:
// another program makes a file of the log's name right after the capture is
// moved away (the stand-in): never written into, kept as an earlier capture.
// KilledBetweenMoves: each capture has its index; a run killed between moving
// the log's index and the log (the stand-in), then a run: each with its index.
enum class LogBefore { Capture, Empty, LinkToCapture, SecondRun, LinkOfPrevious, Intruder, KilledBetweenMoves };

struct KeptRow {
    const char* Name;
    std::vector<std::string> Arguments;
    LogBefore Before;  // what lumtrex.log is when the run starts (lumtrex.log.1 holds an older capture)
    bool WineToo;
};

class PreviousCapture : public EndToEnd, public ::testing::WithParamInterface<KeptRow> {};

TEST_P(PreviousCapture, IsKeptAsLumtrexLog1) {
    const KeptRow& row = GetParam();
    if (UnderWine && !row.WineToo) GTEST_SKIP() << "Wine 8 does not tell a link from its file";
    if (NamesAComPort(row.Arguments) && !CanBindOverComPorts()) GTEST_SKIP() << NeedsNamespace;
    const std::string previous = log + ".1", older = "an older capture", capture = Bytes(Pattern::Random, 2000, 11);
    WriteFile(previous, older);
    switch (row.Before) {
        case LogBefore::LinkOfPrevious: ASSERT_EQ(link(previous.c_str(), log.c_str()), 0); break;
        case LogBefore::Capture:
        case LogBefore::Intruder:
        case LogBefore::SecondRun: WriteFile(log, capture); break;
        case LogBefore::KilledBetweenMoves: {
            WriteFile(log, capture);
            WriteFile(log + ".times", "beginn 0 2026-12-08T09:41:07.512+01:00 capture\n");
            WriteFile(previous + ".times", "beginn 0 2026-12-07T09:41:07.512+01:00 older\n");
            LaunchOptions killed;  // the older capture and its index moved up, the log's index moved, then killed
            killed.Environment = WithStandIn("LUMTREX_TEST_KILL_AT_RENAME=4");
            auto cut = Launch(row.Arguments, killed);
            ASSERT_TRUE(cut->WaitForExit()) << cut->Output();
            ASSERT_FALSE(std::filesystem::exists(log + ".times")) << "not killed between the moves";
            break;
        }
        case LogBefore::Empty: WriteFile(log, ""); break;
        case LogBefore::LinkToCapture:
            WriteFile(dir + "/elsewhere", capture);
            ASSERT_EQ(symlink("elsewhere", log.c_str()), 0);
            break;
    }
    LaunchOptions options;
    if (row.Before == LogBefore::Intruder) options.Environment = WithStandIn("LUMTREX_TEST_INTRUDER=lumtrex.log");
    auto run = Launch(row.Arguments, options);
    const bool moves = row.Before != LogBefore::Empty && row.Before != LogBefore::LinkToCapture;
    ASSERT_TRUE(run->WaitForOutput("Baud\nLogdatei: lumtrex.log\n\n" + (moves ? PreviousKept : "") + CaptureHeader)) << run->Output();
    if (row.Arguments.size() > 0 && row.Arguments[0] == "-V") {
        EXPECT_NE(run->Output().find("Hinweis: -V ist keine Schnittstelle, es gilt COM1.\n"), std::string::npos);
    }
    if (row.Before == LogBefore::SecondRun) {
        PtyLine otherPort;
        ASSERT_TRUE(OpenPtyLine(otherPort));
        const std::string other = UnderWine ? "{port}" : otherPort.SlavePath;  // Wine has one COM port here
        auto second = Launch({other, "9600"});
        ASSERT_TRUE(second->WaitForExit()) << second->Output();
        ExpectEnded(*second, 0, 1);
        EXPECT_TRUE(second->Output().ends_with("Baud\nLogdatei: lumtrex.log\n\nLogdatei lumtrex.log wird schon von einem anderen lumtrex "
                                               "beschrieben (--log waehlt eine andere).\n0\n")) << second->Output();
        if (!UnderWine) {
            auto beside = Launch({"--log", "b.log", other, "9600"});
            ASSERT_TRUE(beside->WaitForOutput(CaptureHeader)) << beside->Output();
            ASSERT_TRUE(SendAll(otherPort.Master, reinterpret_cast<const unsigned char*>("beside"), 6));
            ASSERT_TRUE(WaitUntil([&] { return ReadFile(dir + "/b.log") == "beside"; }, 10s));
            StopWithKey(*beside, 0);
        }
        ClosePtyLine(otherPort);
    }
    // Only now: under Wine a second run purged the line the first one reads.
    const std::string bytes = Bytes(Pattern::Random, 3000);
    Send(bytes);
    ASSERT_TRUE(WaitForLog(bytes.size())) << FileSize(log);
    StopWithKey(*run, 0);
    EXPECT_TRUE(ReadFile(log) == bytes) << "the log is not this run's capture";
    if (row.Before == LogBefore::KilledBetweenMoves) {
        EXPECT_TRUE(ReadFile(previous) == capture && ReadFile(log + ".2") == older);
        EXPECT_NE(ReadFile(previous + ".times").find(" capture\n"), std::string::npos);
        EXPECT_NE(ReadFile(log + ".2.times").find(" older\n"), std::string::npos);
        return;
    }
    if (row.Before == LogBefore::Intruder) {  // the other program's file, the capture and the older one, each whole
        EXPECT_EQ(ReadFile(previous), "intruder");
        EXPECT_TRUE(ReadFile(log + ".2") == capture && ReadFile(log + ".3") == older);
        return;
    }
    const bool capturedBefore = moves && row.Before != LogBefore::LinkOfPrevious;
    EXPECT_TRUE(ReadFile(previous) == (capturedBefore ? capture : older)) << FileSize(previous);
    EXPECT_EQ(ReadFile(log + ".2"), moves ? older : "") << "an older capture lost";
    if (row.Before == LogBefore::LinkToCapture) {
        EXPECT_TRUE(std::filesystem::is_symlink(log)) << "the link itself was moved";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PreviousCapture,
    ::testing::Values(
        // Reflexes that record COM1 over the capture just made.
        KeptRow{"Typo", {"-V", "115200"}, LogBefore::Capture, true},
        KeptRow{"EmptyLog", {"{port}", "115200"}, LogBefore::Empty, true},
        KeptRow{"SymbolicLink", {"{port}", "115200"}, LogBefore::LinkToCapture, false},
        KeptRow{"SecondRunInTheSameFolder", {"{port}", "9600"}, LogBefore::SecondRun, true},
        KeptRow{"HardLinkedPair", {"{port}", "115200"}, LogBefore::LinkOfPrevious, false},
        KeptRow{"AnotherFileInTheMeantime", {"{port}", "115200"}, LogBefore::Intruder, false},
        KeptRow{"KilledBetweenMoves", {"{port}", "115200", "--times"}, LogBefore::KilledBetweenMoves, false}),
    ByName);

// ---- Help and version: an answer, and nothing opened or touched ----

struct AnswerRow {
    const char* Name;
    std::string Argument;
    std::string Expected;  // the whole console
    int Status = 0;
};

class Answers : public EndToEnd, public ::testing::WithParamInterface<AnswerRow> {};

TEST_P(Answers, OpenNothingAndEndAtOnce) {
    const AnswerRow& row = GetParam();
    // Were it to record after all, it would be COM1: never the machine's own.
    if (NamesAComPort({row.Argument}) && !CanBindOverComPorts()) GTEST_SKIP() << NeedsNamespace;
    const bool list = row.Argument == "--list";
    if (list && !UnderWine) GTEST_SKIP() << "listed on the guest's real drivers";
    // Under Wine, the ports only their DOS names know: the drivers' registry list emptied, but for an
    // entry a driver left behind for a device that is gone (COM250: no such DOS device).
    const std::string serialComm = "'" + Program[0] + "' reg %s 'HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM' %s /f >/dev/null 2>&1";
    const auto registry = [&](const char* verb, const char* rest) {
        char command[512];
        std::snprintf(command, sizeof command, serialComm.c_str(), verb, rest);
        ::Run(command);
    };
    if (list) registry("delete", "/va");
    if (list) registry("add", "/v '\\Device\\Gone250' /t REG_SZ /d COM250");
    WriteFile(log, "older log");
    WriteFile(log + ".1", "oldest log");
    auto run = Launch({row.Argument});
    ASSERT_TRUE(run->WaitForExit()) << run->Output();
    ExpectEnded(*run, 0, row.Status);
    if (list) {  // every port once, by number, COM1 (the test's) among them
        const std::string shown = CrLfAsNewline(run->Output());
        EXPECT_TRUE(std::regex_match(shown, std::regex("COM1  [^\\n]+\\n(COM[2-9]  [^\\n]+\\n)*"))) << shown;
        registry("delete", "/v '\\Device\\Gone250'");
    } else {
        EXPECT_EQ(run->Output(), Expand(row.Expected));
    }
    EXPECT_EQ(ReadFile(log), "older log");
    EXPECT_EQ(ReadFile(log + ".1"), "oldest log");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 2) << "a file was created";
}

const std::string Help =
    Banner + Usage + "Comport: 1-8, COMn oder ein Geraetepfad (z.B. {example}); RTS allein: lumtrex 1 9600 x -c1\n"
    "Im Netz (ser2net): rfc2217://HOST:PORT oder tcp://HOST:PORT\n"
    "\nOptionen (ueberall in der Zeile):\n"
    "  --baud N        jede Rate von 50 bis 4000000 statt der Tabelle (lumtrex {example} --baud 74880)\n"
    "  --line DPS      Datenbits 5-8, Paritaet N/E/O/M/S, Stopbits 1/1.5/2 statt 8N1, z.B. 7E1 (Waage,\n"
    "                  Zaehler am optischen Kopf) oder 8E1 (Modbus RTU)\n"
    "  --log NAME      Logdatei NAME statt lumtrex.log, z.B. ein Geraet je Datei:\n"
    "                  lumtrex 3 9600 --log waage.log und lumtrex 4 9600 --log ofen.log;\n"
    "                  mit Datum: --log waage-%Y%m%d.log (%Y %m %d %H %M %S, %%)\n"
    "  --split ART     day, hour oder eine Groesse (100M, 2G): weiter in einer neuen Logdatei, kein Byte\n"
    "                  geht verloren; die fertige bleibt wie eine fruehere Aufnahme\n"
    "  --list          zeigt die vorhandenen Schnittstellen, oeffnet keine\n"
    "  --no-reconnect  eine verlorene Schnittstelle beendet den Empfang (sonst: warten)\n"
    "  --wait          fehlt die Schnittstelle beim Start oder ist belegt: warten (Dienst)\n"
    "  --any-device    nach einer Luecke jedes Geraet unter dem Namen, nicht nur derselbe Adapter\n"
    "  --for DAUER     endet nach 90s, 30m, 8h, 7d (oder Sekunden) von selbst, Status 0\n"
    "  --bytes N       endet, sobald das Log genau N Bytes hat, Status 0\n"
    "  --no-keys       Tasten beenden nichts (nur Strg+C, ein Signal, --for, --bytes), z.B. in tmux\n"
    "  --times         Zeitindex NAME.times neben dem Log: wann welche Bytes kamen, auf die ms\n"
    "  --echo [hex]    zeigt die Bytes beim Empfang wie --show ueber der Zahl; das Log bleibt roh\n"
    "  --show NAME     zeigt die Aufnahme NAME lesbar, mit Zeiten aus NAME.times (--hex: 16 Bytes je Zeile)\n"
    "  --follow        mit --show: zeigt weiter, was dazukommt (wie tail -f), auch ueber --split-Grenzen; Ende mit Taste\n"
    "  --help, --version\n";

INSTANTIATE_TEST_SUITE_P(Rows, Answers,
                         ::testing::Values(AnswerRow{"Help", "--help", Help}, AnswerRow{"SlashQuestionMark", "/?", Help},
                                           AnswerRow{"Version", "--version", "lumtrex V1.12\n"},
                                           AnswerRow{"List", "--list", ""},
                                           AnswerRow{"UnknownOption", "--no-reconect",
                                                     "Unbekannte Option --no-reconect (lumtrex --help zeigt alle)\n", 2}),
                         ByName);

// ---- A capture shown for a person: --show, with the times and gaps of its index ----

struct ShownRow {
    const char* Name;
    std::vector<std::string> Arguments;
    std::string Expected;   // the whole console
    int Status = 0;
};

class Shown : public EndToEnd, public ::testing::WithParamInterface<ShownRow> {};

// A capture of CR LF, LF and the 256 byte values with a gap after 100 bytes;
// its index as a run in UTC+1 writes it. Beside it the part before, across
// midnight, and a capture whose index is none.
TEST_P(Shown, AsTextOrHexWithTheTimesAndGapsOfItsIndex) {
    const ShownRow& row = GetParam();
    WriteFile(dir + "/w.log.1", "x\ny\n");
    WriteFile(dir + "/w.log.1.times", "beginn 0 2026-12-07T23:59:59.000+01:00 COM1 9600\n0 2026-12-07T23:59:59.900+01:00\n"
                                      "2 2026-12-08T00:00:00.100+01:00\nende 4 2026-12-08T00:00:01.000+01:00\n");
    WriteFile(dir + "/junk.log", "abc\n");
    WriteFile(dir + "/junk.log.times", "no index\nat all\n");
    WriteFile(dir + "/w.log", "ab\r\ncd\n" + Bytes(Pattern::Bytes, 256));
    WriteFile(dir + "/w.log.times",
              "beginn 0 2026-12-08T09:41:07.000+01:00 COM1 9600\n0 2026-12-08T09:41:07.512+01:00\n"
              "5 2026-12-08T09:41:08.000+01:00\nweg 100 2026-12-08T09:41:09.000+01:00\n"
              "wieder 100 2026-12-08T09:41:10.000+01:00\n100 2026-12-08T09:41:10.250+01:00\nende 263 2026-12-08T09:41:11.000+01:00\n");
    LaunchOptions options;
    options.StdoutFile = dir + "/out";  // as into less: a console would wrap the long lines
    auto run = Launch(row.Arguments, options);
    ASSERT_TRUE(run->WaitForExit()) << run->Output();
    ExpectEnded(*run, 0, row.Status);
    EXPECT_EQ(CrLfAsNewline(ReadFile(dir + "/out")), Expand(row.Expected));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 7) << "a file was created";
}

// From the line at 5 on the bytes came after a pause, all at 09:41:08.000: "cd" is two pieces.
const std::string ShownText =
    R"([09:41:07.000] --- Beginn 2026-12-08 COM1 9600 ---)" "\n"
    R"([09:41:07.512] ab)" "\n"
    R"([09:41:07.512] c)" "\n"
    R"([09:41:08.000] d)" "\n"
    R"([09:41:08.000] \x00\x01\x02\x03\x04\x05\x06\x07\x08\x09)" "\n"
    R"([09:41:08.000] \x0b\x0c\x0d\x0e\x0f\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19\x1a\x1b\x1c\x1d\x1e)"
    R"(\x1f !"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\x5c)" "\n"
    R"([09:41:09.000] --- Schnittstelle weg nach 100 Bytes ---)" "\n"
    R"([09:41:10.000] --- Schnittstelle wieder da ---)" "\n"
    R"([09:41:10.250] ]^_`abcdefghijklmnopqrstuvwxyz{|}~\x7f\x80\x81\x82\x83\x84\x85\x86\x87\x88\x89\x8a)"
    R"(\x8b\x8c\x8d\x8e\x8f\x90\x91\x92\x93\x94\x95\x96\x97\x98\x99\x9a\x9b\x9c\x9d\x9e\x9f\xa0\xa1\xa2)"
    R"(\xa3\xa4\xa5\xa6\xa7\xa8\xa9\xaa\xab\xac\xad\xae\xaf\xb0\xb1\xb2\xb3\xb4\xb5\xb6\xb7\xb8\xb9\xba)"
    R"(\xbb\xbc\xbd\xbe\xbf\xc0\xc1\xc2\xc3\xc4\xc5\xc6\xc7\xc8\xc9\xca\xcb\xcc\xcd\xce\xcf\xd0\xd1\xd2)"
    R"(\xd3\xd4\xd5\xd6\xd7\xd8\xd9\xda\xdb\xdc\xdd\xde\xdf\xe0\xe1\xe2\xe3\xe4\xe5\xe6\xe7\xe8\xe9\xea)"
    R"(\xeb\xec\xed\xee\xef\xf0\xf1\xf2\xf3\xf4\xf5\xf6\xf7\xf8\xf9\xfa\xfb\xfc\xfd\xfe\xff)" "\n"
    R"([09:41:11.000] --- Ende nach 263 Bytes ---)" "\n";
const std::string ShownHex =
    R"([09:41:07.000] --- Beginn 2026-12-08 COM1 9600 ---)" "\n"
    R"([09:41:07.512] 00000000  61 62 0d 0a 63                                    |ab..c|)" "\n"
    R"([09:41:08.000] 00000005  64 0a 00 01 02 03 04 05  06 07 08 09 0a 0b 0c 0d  |d...............|)" "\n"
    R"([09:41:08.000] 00000015  0e 0f 10 11 12 13 14 15  16 17 18 19 1a 1b 1c 1d  |................|)" "\n"
    R"([09:41:08.000] 00000025  1e 1f 20 21 22 23 24 25  26 27 28 29 2a 2b 2c 2d  |.. !"#$%&'()*+,-|)" "\n"
    R"([09:41:08.000] 00000035  2e 2f 30 31 32 33 34 35  36 37 38 39 3a 3b 3c 3d  |./0123456789:;<=|)" "\n"
    R"([09:41:08.000] 00000045  3e 3f 40 41 42 43 44 45  46 47 48 49 4a 4b 4c 4d  |>?@ABCDEFGHIJKLM|)" "\n"
    R"([09:41:08.000] 00000055  4e 4f 50 51 52 53 54 55  56 57 58 59 5a 5b 5c     |NOPQRSTUVWXYZ[\|)" "\n"
    R"([09:41:09.000] --- Schnittstelle weg nach 100 Bytes ---)" "\n"
    R"([09:41:10.000] --- Schnittstelle wieder da ---)" "\n"
    R"([09:41:10.250] 00000064  5d 5e 5f 60 61 62 63 64  65 66 67 68 69 6a 6b 6c  |]^_`abcdefghijkl|)" "\n"
    R"([09:41:10.250] 00000074  6d 6e 6f 70 71 72 73 74  75 76 77 78 79 7a 7b 7c  |mnopqrstuvwxyz{||)" "\n"
    R"([09:41:10.250] 00000084  7d 7e 7f 80 81 82 83 84  85 86 87 88 89 8a 8b 8c  |}~..............|)" "\n"
    R"([09:41:10.250] 00000094  8d 8e 8f 90 91 92 93 94  95 96 97 98 99 9a 9b 9c  |................|)" "\n"
    R"([09:41:10.250] 000000a4  9d 9e 9f a0 a1 a2 a3 a4  a5 a6 a7 a8 a9 aa ab ac  |................|)" "\n"
    R"([09:41:10.250] 000000b4  ad ae af b0 b1 b2 b3 b4  b5 b6 b7 b8 b9 ba bb bc  |................|)" "\n"
    R"([09:41:10.250] 000000c4  bd be bf c0 c1 c2 c3 c4  c5 c6 c7 c8 c9 ca cb cc  |................|)" "\n"
    R"([09:41:10.250] 000000d4  cd ce cf d0 d1 d2 d3 d4  d5 d6 d7 d8 d9 da db dc  |................|)" "\n"
    R"([09:41:10.250] 000000e4  dd de df e0 e1 e2 e3 e4  e5 e6 e7 e8 e9 ea eb ec  |................|)" "\n"
    R"([09:41:10.250] 000000f4  ed ee ef f0 f1 f2 f3 f4  f5 f6 f7 f8 f9 fa fb fc  |................|)" "\n"
    R"([09:41:10.250] 00000104  fd fe ff                                          |...|)" "\n"
    R"([09:41:11.000] --- Ende nach 263 Bytes ---)" "\n";

INSTANTIATE_TEST_SUITE_P(Rows, Shown,
                         ::testing::Values(ShownRow{"Text", {"--show={dir}/w.log"}, ShownText},
                                           ShownRow{"Hex", {"--show={dir}/w.log", "--hex"}, ShownHex},
                                           ShownRow{"NoCapture", {"--show={dir}/none.log"},
                                                    "Aufnahme {dir}/none.log kann nicht gelesen werden. Fehlercode: 2 (Datei oder Ordner fehlt)\n", 1},
                                           // As a shell gives a glob: in recording order, a date line at midnight.
                                           ShownRow{"Parts", {"--show", "{dir}/w.log", "{dir}/w.log.1"},
                                                    "=== {dir}/w.log.1 ===\n[23:59:59.000] --- Beginn 2026-12-07 COM1 9600 ---\n"
                                                    "[23:59:59.900] x\n--- 2026-12-08 ---\n[00:00:00.100] y\n"
                                                    "[00:00:01.000] --- Ende nach 4 Bytes ---\n=== {dir}/w.log ===\n" + ShownText},
                                           ShownRow{"NotAnIndex", {"--show", "{dir}/junk.log"},
                                                    "abc\n--- Zeitindex {dir}/junk.log.times: 2 von 2 Zeilen unlesbar, kein Zeitindex ---\n"}),
                         ByName);

// LIESMICH's restart loop, as a Windows user saves it as a .bat file and runs
// it in a console, with the port missing at the start: the run waits for it,
// records once it comes, and a key ends the run and the loop.
TEST_F(EndToEnd, TheBatchLoopOfTheWindowsTextRecordsAPortThatComesLater) {
    if (!UnderWine) GTEST_SKIP() << "a Windows batch file";
    const std::string text = ReadFile(std::string(LUMTREX_SOURCE_DIR) + "/doc/LIESMICH.txt");
    const std::size_t from = text.find("\n  :again\n"), to = text.find("  :done\n", from);
    ASSERT_TRUE(from != std::string::npos && to != std::string::npos) << "the loop is gone from LIESMICH.txt";
    // Its lines as printed, for COM1 (the test's) instead of COM3, the program by its full path.
    std::string loop = "@echo off" + Replace(text.substr(from, to + 8 - from), "\n  ", "\r\n");
    loop = Replace(loop, "lumtrex 3 ", "\"Z:" + Replace(Program[1], "/", "\\") + "\" 1 ");
    WriteFile(dir + "/loop.bat", Replace(loop, "\r\n\n", "\r\n"));
    unlink(WineCom1.c_str());
    ASSERT_EQ(symlink((dir + "/gone").c_str(), WineCom1.c_str()), 0);  // COM1 missing
    LaunchOptions options;
    options.WorkDir = dir;
    options.CrLfNewlines = true;
    Session run({Program[0], "cmd", "/c", "loop.bat"}, options);
    const std::string messages = dir + "/waage.txt", waage = dir + "/waage.log";
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(messages).find("Warte auf die Schnittstelle") != std::string::npos; }, 60s))
        << ReadFile(messages) << run.Output();
    unlink(WineCom1.c_str());
    ASSERT_EQ(symlink(port.SlavePath, WineCom1.c_str()), 0);  // the adapter comes
    ASSERT_TRUE(WaitUntil([&] { return FileSize(waage) == 0; }, 20s)) << ReadFile(messages);
    const std::string bytes = Bytes(Pattern::Random, 2000);
    Send(bytes);
    ASSERT_TRUE(WaitUntil([&] { return FileSize(waage) == 2000; }, 20s)) << FileSize(waage);
    run.Type("q");
    ASSERT_TRUE(run.WaitForExit(20s)) << ReadFile(messages);
    EXPECT_EQ(ExitCode(run.Status()), 0);  // the loop ended with the run
    EXPECT_TRUE(ReadFile(waage) == bytes);
    EXPECT_NE(ReadFile(messages).find(" COM1 ist da.\r\n"), std::string::npos) << ReadFile(messages);
}

// A capture followed from another window while it is split into parts of 1 KiB:
// every byte shown once, each part ended by its index's last line, the
// follower ended by a key.
TEST_F(EndToEnd, AFollowedCaptureShowsEveryByteOnceAcrossItsSeams) {
    auto run = Launch({"{port}", "115200", "--split=1K", "--times"});
    ASSERT_TRUE(run->WaitForOutput(CaptureHeader)) << run->Output();
    LaunchOptions options;
    options.StdoutFile = dir + "/followed";
    auto follower = Launch({"--show", "lumtrex.log", "--follow"}, options, false);
    std::string lines;
    for (int line = 0; line < 300; ++line) {
        char text[16];
        std::snprintf(text, sizeof text, "line %04d\n", line);
        Send(text);
        lines += text;
        if (line % 20 == 0) std::this_thread::sleep_for(300ms);  // the pauses give pieces their own times
    }
    const auto followed = [&] { return CrLfAsNewline(ReadFile(dir + "/followed")); };
    ASSERT_TRUE(WaitUntil([&] { return followed().find("line 0299\n") != std::string::npos; }, 20s)) << followed();
    follower->Type("q");
    ASSERT_TRUE(follower->WaitForExit(10s));
    ExpectEnded(*follower, 0, 0);
    StopWithKey(*run, 0);
    std::string shown, text = followed();
    std::istringstream view(text);
    for (std::string line; std::getline(view, line);) {  // the bytes, without the times and the marked lines
        if (line.find("] ---") != std::string::npos) continue;
        shown += line.substr(line.find("] ") + 2) + "\n";
    }
    EXPECT_EQ(Replace(shown, "\n", ""), Replace(lines, "\n", ""));
    std::size_t seams = 0;
    for (std::size_t at = 0; (at = text.find("--- Ende nach 1024 Bytes ---", at)) != std::string::npos; ++at) ++seams;
    EXPECT_EQ(seams, PartsOf(log).size() - 1) << text;
    EXPECT_GE(seams, 2u);
}

// ---- When each byte arrived: the time index beside the log ----

// "2026-12-08T09:41:07.512+01:00" as ms since 1970 UTC.
long long IndexEpochMs(const std::string& text) {
    std::tm time{};
    int ms = 0, hours = 0, minutes = 0;
    char sign = '+';
    std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d.%d%c%d:%d", &time.tm_year, &time.tm_mon, &time.tm_mday, &time.tm_hour,
                &time.tm_min, &time.tm_sec, &ms, &sign, &hours, &minutes);
    time.tm_year -= 1900;
    time.tm_mon -= 1;
    return (timegm(&time) - (sign == '-' ? -1 : 1) * (hours * 3600 + minutes * 60)) * 1000LL + ms;
}

long long EpochMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Lines sent at known moments into a run with --times and --echo (natively
// in a zone 1:30 east of UTC): the index says when each arrived, within 50 ms
// natively; under Wine, whose reads end on their time-outs, the figure is
// printed. The console shows each line above the count. Then a run without
// an index and one with: each capture keeps its own through the renumbering.
TEST_F(EndToEnd, TheTimeIndexSaysWhenEachLineArrivedAndStaysWithItsCapture) {
    LaunchOptions options;
    if (!UnderWine) options.Environment = {"TZ=LUM-01:30"};
    auto run = Launch({"{port}", "115200", "--times", "--echo"}, options);
    ASSERT_TRUE(run->WaitForOutput(CaptureHeader)) << run->Output();
    std::string bytes;
    std::vector<std::pair<std::size_t, long long>> sent;  // each line's offset, and when it went
    for (int pause : {300, 700, 1200, 2500, 50, 0}) {
        const std::string line = "Messwert " + std::to_string(sent.size()) + "\r\n";
        sent.emplace_back(bytes.size(), EpochMs());
        if (sent.size() == 3) {  // a line in two pieces, 400 ms apart: two lines, each with its time
            Send(line.substr(0, 4));
            std::this_thread::sleep_for(400ms);
            sent.emplace_back(bytes.size() + 4, EpochMs());
        }
        Send(line.substr(sent.size() == 4 ? 4 : 0), 9600);  // as a UART delivers it: in several reads
        bytes += line;
        std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    }
    ASSERT_TRUE(WaitForLog(bytes.size()));
    const std::string count = std::to_string(bytes.size());
    ASSERT_TRUE(run->WaitForOutput("] Messwert 6\n" + count + "\r")) << run->Output();
    StopWithKey(*run, 0);
    // The echo's lines are --show's: one formatter, the same pieces.
    const auto viewLines = [](const std::string& text) {
        std::string lines;
        std::istringstream view(text);
        for (std::string line; std::getline(view, line);) {
            line = line.substr(line.rfind('\r') == std::string::npos ? 0 : line.rfind('\r') + 1);  // the count overwritten
            if (line.starts_with("[") && line.find("] ---") == std::string::npos) lines += line + "\n";
        }
        return lines;
    };
    LaunchOptions showing;
    showing.StdoutFile = dir + "/shown";
    auto shown = Launch({"--show", "lumtrex.log"}, showing, false);
    ASSERT_TRUE(shown->WaitForExit());
    const std::string echoed = viewLines(run->Output());
    EXPECT_EQ(echoed, viewLines(CrLfAsNewline(ReadFile(dir + "/shown"))));
    EXPECT_NE(echoed.find("] Mess\n["), std::string::npos) << echoed;
    const std::string index = ReadFile(log + ".times");
    EXPECT_TRUE(index.starts_with("beginn 0 ") && index.find("\nende " + count + " ") != std::string::npos) << index;
    std::vector<std::pair<std::size_t, long long>> times;  // the index's time lines
    std::istringstream lines(index);
    long long latest = 0;  // the times never run backwards, the start's included
    for (std::string offset, time; lines >> offset >> time;) {
        if (!std::isdigit(static_cast<unsigned char>(offset[0]))) lines >> time;  // a word: its offset before the time
        EXPECT_GE(IndexEpochMs(time), latest) << index;
        latest = IndexEpochMs(time);
        if (std::isdigit(static_cast<unsigned char>(offset[0]))) times.emplace_back(std::stoul(offset), latest);
        std::getline(lines, time);
    }
    long long worst = 0;  // each line's time read from the index as a reader reads it: the line at or before it
    for (const auto& [offset, when] : sent) {
        const auto at = std::find_if(times.rbegin(), times.rend(), [&](const auto& line) { return line.first <= offset; });
        ASSERT_NE(at, times.rend()) << index;
        worst = std::max(worst, std::llabs(at->second - when));
    }
    std::printf("time index: worst line %lld ms from its sending\n", worst);
    EXPECT_LE(worst, UnderWine ? 250 : 50) << index;
    for (bool timed : {false, true}) {  // lumtrex.log.2 and its index from above, .1 without one
        const std::string more = Bytes(Pattern::Random, timed ? 700 : 500, 3);
        auto again = Launch(timed ? std::vector<std::string>{"{port}", "115200", "--times"} : std::vector<std::string>{"{port}", "115200"});
        ASSERT_TRUE(again->WaitForOutput(CaptureHeader)) << again->Output();
        Send(more);
        ASSERT_TRUE(WaitForLog(more.size()));
        StopWithKey(*again, 0);
    }
    EXPECT_TRUE(ReadFile(log + ".2") == bytes && ReadFile(log + ".2.times") == index);
    EXPECT_EQ(FileSize(log + ".1.times"), -1);
    EXPECT_NE(ReadFile(log + ".times").find("\nende 700 "), std::string::npos) << ReadFile(log + ".times");
}

// ---- Capturing: every byte, exactly ----

// The environment that preloads the stand-in (stand_in.cpp) with `setting`.
std::vector<std::string> WithStandIn(const std::string& setting) {
    const char* asan = getenv("ASAN_OPTIONS");
    return {std::string("LD_PRELOAD=") + LUMTREX_STAND_IN, setting,
            // preloaded ahead of the sanitizer's runtime
            std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0"};
}

enum class Output { Console, File, ReaderGone };  // where standard output goes

struct CaptureRow {
    const char* Name;
    Pattern Kind;
    std::size_t Size;
    int Rate;                     // paced as a UART at this rate delivers them; 0: 115200, as fast as they go
    Output To = Output::Console;
    bool WineToo = true;          // Wine reads serial ports at a few MiB/s: the volume is native only
    // A driver that cannot make the rate (the stand-in's setting), on a port another program left
    // at 4800 baud, translating and echoing, with line editing or without it and with VMIN 0.
    std::string Driver = "";
    bool LeftCanonical = true;
    bool ByOption = false;  // asked for by --baud: a rate outside the table
    int SyncMs = 0;         // each sync of the log to the disk takes this long (the stand-in)
    std::string Line = "";  // --line's value, and the c_cflag bits it must set (octal, as the stand-in records them)
    unsigned Shape = 0;
};

class Capture : public EndToEnd, public ::testing::WithParamInterface<CaptureRow> {};

// The line is set to the rate asked, raw, and nothing goes back to the
// instrument; a rate the driver refuses is said so, and the capture runs at
// the port's previous rate on a line of ours.
TEST_P(Capture, LogsEveryByteUnchangedAtTheRateAsked) {
    const CaptureRow& row = GetParam();
    if (UnderWine && !row.WineToo) GTEST_SKIP() << "native only";
    // Through the master: a program holding the port open would be refused.
    if (!row.Driver.empty()) { ASSERT_TRUE(LeaveLineAt4800AsAnotherProgram(port.Master, row.LeftCanonical)); }
    Send("sent before the open: purged");
    std::this_thread::sleep_for(100ms);
    char echoed[256];
    while (read(port.Master, echoed, sizeof echoed) > 0) {  // the echo of the line as it was left
    }
    LaunchOptions options;
    if (row.To == Output::File) options.StdoutFile = dir + "/out.txt";
    options.StdoutReaderGone = row.To == Output::ReaderGone;
    if (!row.Driver.empty()) options.Environment = WithStandIn("LUMTREX_TEST_LINE=" + row.Driver);
    const std::string syncs = dir + "/syncs", shapes = dir + "/shapes";
    if (row.SyncMs) options.Environment = WithStandIn("LUMTREX_TEST_SYNC=" + std::to_string(row.SyncMs) + ":" + syncs);
    if (!row.Line.empty()) options.Environment = WithStandIn("LUMTREX_TEST_CFLAG=" + shapes);
    const int rate = row.Rate ? row.Rate : 115200;
    std::vector<std::string> arguments = {"{port}", row.ByOption ? "--baud=" + std::to_string(rate) : std::to_string(rate)};
    if (!row.Line.empty()) arguments.insert(arguments.end(), {"--line", row.Line});
    auto run = Launch(arguments, options);
    if (!row.Driver.empty()) {
        const std::string refused = " {port} SetCommState nicht ok !\nFehlercode: {EINVAL}\nBaudrate bleibt 4800 Baud.\n";
        ASSERT_TRUE(run->WaitForOutput(Expand(refused) + CaptureHeader)) << run->Output();
    }
    ASSERT_TRUE(WaitForLog(0));
    std::this_thread::sleep_for(200ms);
    if (!row.Line.empty()) {  // the line named, and set as asked (Wine sets the pty's CS8 again with its time-outs)
        ASSERT_TRUE(run->WaitForOutput("Baud " + row.Line + "\n")) << run->Output();
        const std::string asked = "\n" + ReadFile(shapes);
        EXPECT_NE(asked.find("\n" + Octal(row.Shape) + "\n"), std::string::npos) << asked;
    }
    if (row.To == Output::File) {  // the prompt is out before the capture waits for its key
        EXPECT_NE(ReadFile(dir + "/out.txt").find("beliebiger Taste"), std::string::npos);
    }
    LineState state{};
    ASSERT_TRUE(ReadLineState(port.Master, state));  // the far end's line, as its master shows it
    EXPECT_EQ(state.Rate, row.Driver.empty() ? static_cast<unsigned>(rate) : 4800u);
    EXPECT_EQ(state.LocalModes & (ECHO | ECHONL | ICANON | ISIG | IEXTEN), 0u) << std::oct << state.LocalModes;
    EXPECT_EQ(state.InputModes & (ICRNL | INLCR | IGNCR | IXON | IXOFF | BRKINT | ISTRIP), 0u)
        << std::oct << state.InputModes;
    EXPECT_TRUE(UnderWine || state.Vmin == 1) << int{state.Vmin};  // Wine sets its own: it polls the device
    const std::string bytes = Bytes(row.Kind, row.Size);
    Send(bytes, row.Rate);
    ASSERT_TRUE(WaitForLog(bytes.size())) << FileSize(log);
    EXPECT_LE(read(port.Master, echoed, sizeof echoed), 0) << "bytes went back to the instrument";
    const std::string count = std::to_string(bytes.size());
    if (row.To == Output::Console) {
        ASSERT_TRUE(run->WaitForOutput(count + "\r"));
    }
    if (row.SyncMs) std::this_thread::sleep_for(2500ms);  // a quiet line: nothing written, nothing to sync
    std::chrono::milliseconds took{};
    StopWithKey(*run, 0, &took);
    // On Windows a key takes effect when the read in progress ends.
    EXPECT_LT(took, UnderWine ? 4000ms : 1500ms) << "the key did not end the run";
    EXPECT_TRUE(ReadFile(log) == bytes) << "the log differs from what was sent";
    if (row.SyncMs) {  // while bytes arrived, a sync about every second, none on the quiet line but the last
        std::istringstream record(ReadFile(syncs));
        std::vector<long long> began;
        for (long long start = 0, end = 0; record >> start >> end;) began.push_back(start);
        ASSERT_GE(began.size(), 3u) << ReadFile(syncs);
        for (std::size_t i = 1; i + 1 < began.size(); ++i) { EXPECT_GE(began[i] - began[i - 1], 950) << i; }
        EXPECT_GE(began.back() - began[began.size() - 2], 1400) << "synced while nothing was written";
    }
    if (row.To == Output::ReaderGone) return;  // the text went nowhere, the capture on
    std::string console = row.To == Output::File ? ReadFile(dir + "/out.txt") : run->Output();
    if (row.To == Output::File) {
        // Lines a reader can take one by one: the running count at most once a minute, each its own line,
        // then the final one. (Windows writes text mode: a newline is CR LF.)
        if (UnderWine) console = CrLfAsNewline(console);
        EXPECT_EQ(console.find('\r'), std::string::npos) << console;
        const std::size_t settings = console.find("Logdatei: lumtrex.log\n\n");
        ASSERT_NE(settings, std::string::npos) << console;
        std::istringstream after(console.substr(settings + 23));
        for (std::string line; std::getline(after, line);) {  // each line says when, for the reader of a file
            EXPECT_TRUE(line.empty() || std::regex_search("\n" + line, LineTime)) << line;
        }
        console = WithoutTimes(console);
        EXPECT_NE(console.find("Empfangene Bytes\n0\n"), std::string::npos) << console;
        const std::regex countLine("\n\\d+(?=\n)");
        const auto counts = std::distance(std::sregex_iterator(console.begin(), console.end(), countLine), {});
        const long minutes = row.Rate ? static_cast<long>(row.Size * 10 / row.Rate / 60) : 0;
        EXPECT_LE(counts, 1 + minutes + 1) << console;
        EXPECT_TRUE(console.ends_with("\n" + count + "\n")) << console;
        return;
    }
    EXPECT_NE(console.find(CaptureHeader), std::string::npos) << console;
    EXPECT_TRUE(console.ends_with("\r" + count + "\r" + count + "\n")) << console;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Capture,
    ::testing::Values(
        CaptureRow{"AllByteValues", Pattern::Bytes, 4 * 256, 0},
        CaptureRow{"Redirected", Pattern::Random, 3000, 0, Output::File},
        // 70 s of a slow instrument into a file: the start's count, one a minute later, the final one.
        CaptureRow{"RedirectedFor70s", Pattern::Random, 67200, 9600, Output::File, false},
        // | head that has ended: the text is lost, nothing else
        CaptureRow{"ReaderGone", Pattern::Random, 1 << 20, 0, Output::ReaderGone},
        CaptureRow{"Volume256MiB", Pattern::Random, 256 << 20, 0, Output::Console, false},
        // The slowest rate (a byte every 67 ms) and the fastest; every rate
        // and the line errors on real drivers: RealDrivers.
        CaptureRow{"Baud150", Pattern::Bytes, 256, 150}, CaptureRow{"Baud3000000", Pattern::Bytes, 256, 3000000},
        // Other lines, as instruments speak them: what the system is asked to set (a pty keeps 8N1).
        CaptureRow{"Line7E1", Pattern::Bytes, 256, 9600, Output::Console, true, "", true, false, 0, "7E1", CS7 | PARENB},
        CaptureRow{"Line8O2", Pattern::Bytes, 256, 0, Output::Console, false, "", true, false, 0, "8O2",
                   CS8 | PARENB | PARODD | CSTOPB},
        CaptureRow{"Line5N1AndAHalf", Pattern::Bytes, 256, 0, Output::Console, false, "", true, false, 0, "5N1.5", CS5 | CSTOPB},
        CaptureRow{"Line7M1", Pattern::Bytes, 256, 0, Output::Console, false, "", true, false, 0, "7M1",
                   CS7 | PARENB | PARODD | CMSPAR},
        // A log on a slow card: each sync 800 ms, none holding up a read of a 4 s stream.
        CaptureRow{"SlowSyncs", Pattern::Random, 400000, 1000000, Output::Console, false, "", true, false, 800},
        // Rates boards use outside the table, by --baud (Wine knows no such rate on a pseudo-terminal).
        CaptureRow{"Option74880", Pattern::Bytes, 256, 74880, Output::Console, false, "", true, true},
        // Drivers that refuse the rate when it is set (also under Wine, which sets it through the C
        // library), one that falls back to a rate it reports. (A 16550 that cannot: RealDrivers.)
        CaptureRow{"RefusedWhenSet", Pattern::Bytes, 2048, 230400, Output::Console, true, "refuse:230400"},
        CaptureRow{"RefusedWhenSetLeftWithoutLineEditing", Pattern::Bytes, 2048, 460800, Output::Console, true,
                   "refuse:460800", false},
        CaptureRow{"ReplacedByTheDriver", Pattern::Bytes, 2048, 921600, Output::Console, false,
                   "substitute:921600:9600"}),
    ByName);

// ---- A disk that stalls, a seam, an output nobody reads: the reads go on ----
// The stand-in makes the log's writes or syncs slow (Wine's too); the sender
// paces a stream as a UART at 921600 baud delivers it and sees how long the
// line stayed full, that is how long the reads paused: never over 100 ms.
// SlowDisk: writes of 1.5 s every 3 s and syncs of 1.5 s. Seams: parts of
// 20 KiB, each sync 800 ms, every index line within 50 ms of its sending.
// EchoUnread: the echo into a pipe nobody reads, then read (the left-out
// lines said), then full again and a stop. RingFull: a ring of 64 KiB, the
// pseudo-terminal read on as a UART is (not held back while the ring is
// full), and a write that stalls for 5 s: the loss said, marked and the run failed, every
// byte before and after it exact. HangsAtTheEnd: a stop while a write hangs
// for 10 s: the end waits for it and says so, a second stop ends it at once.
enum class Stall { SlowDisk, Seams, EchoUnread, RingFull, HangsAtTheEnd };

struct StallRow {
    const char* Name;
    Stall What;
    std::vector<std::string> Options;   // after the port and the rate
    std::vector<std::string> StandIn;   // the stand-in's settings
};

class Stalls : public EndToEnd, public ::testing::WithParamInterface<StallRow> {
protected:
    static constexpr int Rate = 921600;
    // Sends `bytes` paced, 5 ms a piece, each piece's offset and time (ms since 1970) in `pieces`;
    // the longest the line stayed full.
    long long Stream(const std::string& bytes, std::vector<std::pair<std::size_t, long long>>* pieces = nullptr) {
        long long longest = 0;
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t done = 0; done < bytes.size();) {
            std::this_thread::sleep_for(5ms);
            const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            const std::size_t due = std::min(bytes.size(), static_cast<std::size_t>(elapsed * Rate / 10));
            if (due == done) continue;
            if (pieces) pieces->emplace_back(done, EpochMs());
            EXPECT_TRUE(SendAll(port.Master, reinterpret_cast<const unsigned char*>(bytes.data()) + done, due - done, &longest));
            done = due;
        }
        return longest;
    }
    // What the program wrote into the pipe so far (StdoutPiped), waiting up to `limit` for `text`.
    bool PipeShows(Session& run, std::string& shown, const std::string& text, std::chrono::milliseconds limit) {
        return WaitUntil([&] {
            char chunk[65536];
            for (ssize_t got; (got = read(run.StdoutPipe(), chunk, sizeof chunk)) > 0;) shown.append(chunk, static_cast<std::size_t>(got));
            return (UnderWine ? CrLfAsNewline(shown) : shown).find(text) != std::string::npos;
        }, limit);
    }
};

TEST_P(Stalls, NeverHoldUpTheReads) {
    const StallRow& row = GetParam();
    if (UnderWine && row.What == Stall::HangsAtTheEnd) GTEST_SKIP() << "POSIX signals";
    LaunchOptions options;
    for (const std::string& setting : row.StandIn) {
        if (options.Environment.empty()) options.Environment = WithStandIn(setting); else options.Environment.push_back(setting);
    }
    options.StdoutPiped = row.What == Stall::EchoUnread;
    std::vector<std::string> arguments = {"{port}", std::to_string(Rate)};
    arguments.insert(arguments.end(), row.Options.begin(), row.Options.end());
    auto run = Launch(arguments, options);
    std::string logged, shown;
    if (options.StdoutPiped) fcntl(run->StdoutPipe(), F_SETFL, O_NONBLOCK);
    ASSERT_TRUE(options.StdoutPiped ? PipeShows(*run, shown, "Empfangene Bytes\n", 60s) : run->WaitForOutput(CaptureHeader, 60s))
        << run->Output();
    std::this_thread::sleep_for(1s);  // Wine makes its first read a while after the header
    const std::string bytes = Bytes(Pattern::Random, Rate / 10 * (row.What == Stall::SlowDisk ? 100 : row.What == Stall::Seams ? 15 : 30) / 10);
    std::vector<std::pair<std::size_t, long long>> pieces;
    EXPECT_LE(Stream(bytes, &pieces), 100) << "the reads paused";
    logged = bytes;
    switch (row.What) {
        case Stall::SlowDisk: break;
        case Stall::Seams: {  // every part written, each index line as its bytes were sent
            ASSERT_TRUE(WaitUntil([&] { return PartsSize(log) == static_cast<long long>(bytes.size()); }, 60s));
            logged.clear();
            long long worst = 0;
            for (const std::string& name : PartsOf(log)) {
                std::istringstream lines(ReadFile(name + ".times"));
                for (std::string offset, time; lines >> offset >> time;) {
                    if (std::isdigit(static_cast<unsigned char>(offset[0]))) {
                        const std::size_t at = logged.size() + std::stoul(offset);
                        const auto piece = std::prev(std::upper_bound(pieces.begin(), pieces.end(), std::pair{at, LLONG_MAX}));
                        worst = std::max(worst, std::llabs(IndexEpochMs(time) - piece->second));
                    }
                    std::getline(lines, time);
                }
                logged += ReadFile(name);
            }
            EXPECT_TRUE(logged == bytes) << "the parts are not the stream";
            EXPECT_LE(worst, UnderWine ? 250 : 50) << "an index line's time";
            StopWithKey(*run, 0);
            return;
        }
        case Stall::EchoUnread: {  // read again: the left-out lines said; then full again, and a stop ends it at once
            ASSERT_TRUE(WaitForLog(bytes.size()));
            for (std::size_t before = 0; PipeShows(*run, shown, "", 0ms), shown.size() != before;) {  // until nothing more comes
                before = shown.size();
                std::this_thread::sleep_for(500ms);
            }
            Send("gelesen\r\n");
            EXPECT_TRUE(PipeShows(*run, shown, " Zeilen nicht gezeigt (Ausgabe zu langsam) ---\n", 20s)) << shown.size();
            logged += "gelesen\r\n" + bytes;
            EXPECT_LE(Stream(bytes), 100) << "the reads paused";
            ASSERT_TRUE(WaitForLog(logged.size()));
            const auto stop = std::chrono::steady_clock::now();
            if (UnderWine) run->Type("\x03"); else run->Signal(SIGTERM);
            ASSERT_TRUE(run->WaitForExit());
            EXPECT_LT(std::chrono::steady_clock::now() - stop, UnderWine ? 4000ms : 1500ms) << "the output held the end";
            ExpectEnded(*run, UnderWine ? SIGINT : SIGTERM, 0);
            EXPECT_TRUE(ReadFile(log) == logged) << FileSize(log);
            return;
        }
        case Stall::HangsAtTheEnd: {
            run->Signal(SIGTERM);
            ASSERT_TRUE(run->WaitForOutput(" Die Logdatei haengt: noch ", 3s)) << run->Output();
            const auto again = std::chrono::steady_clock::now();
            run->Signal(SIGINT);
            ASSERT_TRUE(run->WaitForExit());
            EXPECT_LT(std::chrono::steady_clock::now() - again, 1500ms);
            ExpectEnded(*run, SIGTERM, 0);
            EXPECT_NE(run->Output().find(" Bytes nicht mehr in die Logdatei geschrieben: sie haengt.\n"), std::string::npos);
            EXPECT_TRUE(bytes.starts_with(ReadFile(log))) << FileSize(log);
            return;
        }
        case Stall::RingFull: {  // the loss said when it began and when it ended, and marked where it is
            ASSERT_TRUE(run->WaitForOutput(" Die Logdatei kommt nicht nach: Bytes gehen verloren (nach ", 20s)) << run->Output();
            const std::string said = run->Output(), from = "verloren (nach ";
            const std::size_t kept = std::stoul(said.substr(said.find(from) + from.size()));
            std::this_thread::sleep_for(3s);  // the stall is over
            const std::string tail = Bytes(Pattern::Random, 5000, 9);
            Send(tail);
            const std::string lost = std::to_string(bytes.size() - kept) + " Bytes verloren (nach " + std::to_string(kept) + " Bytes)";
            ASSERT_TRUE(run->WaitForOutput(lost + ". Empfang laeuft weiter.\n", 20s)) << run->Output();
            logged = bytes.substr(0, kept) + tail;
            ASSERT_TRUE(WaitForLog(logged.size()));
            StopWithKey(*run, 1);
            EXPECT_NE(ReadFile(log + ".times").find("\nverlust " + std::to_string(kept) + " "), std::string::npos);
            EXPECT_TRUE(ReadFile(log) == logged) << FileSize(log);
            return;
        }
    }
    ASSERT_TRUE(WaitForLog(logged.size()));
    StopWithKey(*run, 0);
    EXPECT_TRUE(ReadFile(log) == logged) << FileSize(log);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Stalls,
    ::testing::Values(StallRow{"SlowDisk", Stall::SlowDisk, {}, {"LUMTREX_TEST_WRITE=1500:3000", "LUMTREX_TEST_SYNC=1500"}},
                      StallRow{"Seams", Stall::Seams, {"--split=20K", "--times"}, {"LUMTREX_TEST_SYNC=800"}},
                      StallRow{"EchoUnread", Stall::EchoUnread, {"--echo"}, {}},
                      StallRow{"EchoHexUnread", Stall::EchoUnread, {"--echo=hex"}, {}},
                      StallRow{"RingFull", Stall::RingFull, {"--times"}, {"LUMTREX_TEST_RING=65536:lose", "LUMTREX_TEST_WRITE=5000:500:1"}},
                      StallRow{"HangsAtTheEnd", Stall::HangsAtTheEnd, {}, {"LUMTREX_TEST_WRITE=10000:500:1"}}),
    ByName);

// ---- Ways a capture ends: signals, a lost device, a log that fails ----

enum class Ending {
    Signalled,                                   // the system ends the process
    // Keys typed once 3000 bytes are in: any key ends the capture in order,
    // the control keys a terminal would take for itself among them (quit,
    // suspend, output stop and start), and Ctrl+C. Under Windows the cursor
    // keys arrive without a character, as extended keys.
    Key,
    InTheBackground,                             // signalled in a terminal whose foreground job is another's
    HangUpIgnored,                               // SIGHUP ignored from the start (nohup), sent; then a key
    KeyTypedAhead,                               // ends at once, the log empty
    LineClosedMidBlock,                          // the device goes away
    LogIsFull, LogSpaceRunsOut, LogIsAFolder,    // the log cannot take the bytes
    PreviousIsAFolder,                           // the capture before cannot be kept as lumtrex.log.1
    LogCloseFails,                               // a key, but the log's file system reports an error at the close
    LogSyncFails,                                // its write-back fails: the capture ends by itself
    LogIsADevice,                                // --log names one: refused before anything is opened
    ByItself,                                    // --for or --bytes: it ends in order on its own
    KeysIgnored,                                 // --no-keys: a key ends nothing, SIGTERM then does
    // A key (or a signal) while the program is held stopped, 12 KiB queued
    // in the driver (as much as a pseudo-terminal holds): they arrived before it, so they are logged, all of them.
    WhileBytesWait,
    KilledAfterAPause,                           // kill -9 a moment after the bytes came: every one was read and kept
    // --split 1K: natively the stand-in refuses the first finished part's move once (a "tail" that holds
    // it on Windows, sharing all but its deletion): the part goes on to the next seam. Under Wine a Windows
    // program holds an earlier capture so (a spreadsheet on yesterday's part), which no seam moves. Then a key.
    SeamRefused,
};

struct EndingRow {
    const char* Name;
    Ending How;
    std::string Expected;  // the end of the console text
    int Signal;            // the signal sent, which then ends the process, or 0
    int Status;            // the exit status otherwise
    std::size_t Logged;    // bytes in the log at the end
    bool WineToo;          // Wine can show it
    std::string Keys = "q";
    int SyncError = 0;     // each sync of the log fails with this error number
    std::string Log = "";  // --log's value: "{other}" another pseudo-terminal, "{dir}/fifo" a FIFO made for it
    std::string Option = "";  // one more option
    std::string StandIn = "";  // the stand-in's setting
};

std::string DeviceLog(const std::string& name, const std::string& log = "") {
    return "Baud\nLogdatei: " + (log.empty() ? name : log) + "\n\nLogdatei " + name + " ist ein Geraet, keine Datei.\n0\n";
}
const std::string NotCreated = "Baud\nLogdatei: lumtrex.log\n\nLogdatei lumtrex.log kann nicht angelegt werden. Fehlercode: {EISDIR}\n0\n";

class Endings : public EndToEnd, public ::testing::WithParamInterface<EndingRow> {};

TEST_P(Endings, KeepWhatArrivedAndSayWhy) {
    const EndingRow& row = GetParam();
    if (UnderWine && !row.WineToo) GTEST_SKIP() << "a POSIX signal or device";
    if (row.How == Ending::LogIsFull) { ASSERT_EQ(symlink("/dev/full", log.c_str()), 0); }
    if (row.How == Ending::LogIsAFolder) { ASSERT_EQ(mkdir(log.c_str(), 0755), 0); }
    // A log that cannot be made is said before the port is opened: held here, a run that opened it would say so instead.
    const int held = row.How == Ending::LogIsAFolder && !UnderWine ? open(port.SlavePath, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    if (held >= 0) { ASSERT_EQ(flock(held, LOCK_EX), 0); }
    const std::string bytes = Bytes(Pattern::Random, std::max<std::size_t>(3000, row.Logged));
    if (row.How == Ending::PreviousIsAFolder) {  // the capture before must stay where it is
        WriteFile(log, bytes);
        ASSERT_EQ(mkdir((log + ".1").c_str(), 0755), 0);
        WriteFile(log + ".1/inside", "older");
    }
    LaunchOptions options;
    options.InBackground = row.How == Ending::InTheBackground;
    options.HangUpIgnored = row.How == Ending::HangUpIgnored;
    if (row.How == Ending::KeyTypedAhead) options.TypeAhead = "k";
    if (row.How == Ending::LogSpaceRunsOut) options.FileSizeLimit = 2500;
    if (row.How == Ending::LogCloseFails) options.Environment = WithStandIn("LUMTREX_TEST_CLOSE_ERROR=122");
    if (row.SyncError) options.Environment = WithStandIn("LUMTREX_TEST_SYNC_ERROR=" + std::to_string(row.SyncError));
    if (!row.StandIn.empty()) options.Environment = WithStandIn(row.StandIn);
    // A line that closes ends the run only when asked to.
    std::vector<std::string> arguments = {"{port}", "115200"};
    if (row.How == Ending::LineClosedMidBlock) arguments.push_back("--no-reconnect");
    PtyLine other;
    ASSERT_TRUE(OpenPtyLine(other));
    if (!row.Log.empty()) arguments.insert(arguments.end(), {"--log", Replace(row.Log, "{other}", other.SlavePath)});
    if (!row.Option.empty()) arguments.push_back(row.Option);
    const bool split = row.Option.starts_with("--split");
    if (split) arguments.push_back("--times");
    for (int earlier = 0; split && earlier <= 3; ++earlier) {  // a capture and three before it, all to move on
        WriteFile(earlier ? log + "." + std::to_string(earlier) : log, "capture " + std::to_string(earlier));
    }
    const std::string own = Replace(row.Log, "{drivedir}", "");  // a name of its own, in the run's folder
    if (own.find('{') == std::string::npos && !own.empty()) log = dir + "/" + own;
    if (row.Log == "{dir}/fifo") { ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0); }
    if (row.Option == "--times") { ASSERT_EQ(symlink(other.SlavePath, (log + ".times").c_str()), 0); }
    if (row.Log == "{dir}/x.log") {  // an earlier capture's name leads to another port
        WriteFile(dir + "/x.log", "older");
        ASSERT_EQ(symlink(other.SlavePath, (dir + "/x.log.1").c_str()), 0);
    }
    auto run = Launch(arguments, options);
    if (row.How != Ending::LogIsAFolder && row.How != Ending::PreviousIsAFolder && row.How != Ending::KeyTypedAhead &&
        row.How != Ending::LogIsADevice) {
        ASSERT_TRUE(run->WaitForOutput(row.How == Ending::KeysIgnored ? "mit Strg+C\n\nEmpfangene Bytes\n0\r" : CaptureHeader))
            << run->Output();
        if (row.How == Ending::InTheBackground) run->TypeAtOnce("x");  // the foreground job's key, not ours
        if (row.How == Ending::WhileBytesWait) {
            std::this_thread::sleep_for(300ms);  // a read waits on the silent line
            run->Signal(SIGSTOP);
        }
        if (row.How == Ending::KeysIgnored) {  // keys typed while the bytes stream end nothing
            std::thread sender([&] { Send(bytes, 9600); });
            std::this_thread::sleep_for(1s);
            run->Type(row.Keys);
            sender.join();
        } else if (row.How == Ending::SeamRefused) {
            std::thread holder([&] {
                const std::string ping = "cmd /c \"ping -n 6 127.0.0.1 > NUL < lumtrex.log.1\"";  // about 5 s
                if (UnderWine) (void)std::system(("cd '" + dir + "' && '" + Program[0] + "' " + ping).c_str());
            });
            if (UnderWine) std::this_thread::sleep_for(2500ms);  // once it has the file open
            Send(bytes.substr(0, 1025));  // a seam comes with the first byte after it
            EXPECT_TRUE(run->WaitForOutput(UnderWine ? "weiter in lumtrex.log\n" : "bis zur naechsten Grenze.\n")) << run->Output();
            holder.join();
            Send(bytes.substr(1025));
        } else {
            Send(bytes);
        }
        if (row.How == Ending::LogIsFull || row.How == Ending::LogSpaceRunsOut) {
            ASSERT_TRUE(run->WaitForOutput("Fehlercode")) << run->Output();
        } else if (row.How == Ending::LineClosedMidBlock) {
            ASSERT_TRUE(WaitForLog(3000));  // before the read waits for more
            std::this_thread::sleep_for(200ms);
        } else if (row.How == Ending::KilledAfterAPause) {
            std::this_thread::sleep_for(400ms);
        } else if (row.How == Ending::ByItself) {  // --for 3s: after 3 s of capture, whatever comes
            const auto started = std::chrono::steady_clock::now();
            ASSERT_TRUE(run->WaitForExit(10s)) << run->Output();
            const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            // Windows ends it when the read in progress ends (at most 2.05 s on a silent line).
            if (row.Option == "--for=3s") { EXPECT_TRUE(took > 2.5 && took < (UnderWine ? 5.6 : 3.5)) << took; }
        } else if (row.How != Ending::WhileBytesWait) {
            ASSERT_TRUE(run->WaitForOutput(std::to_string(bytes.size()) + "\r")) << run->Output();
        }
    }
    switch (row.How) {
        case Ending::Signalled:
        case Ending::KilledAfterAPause:
        case Ending::InTheBackground: run->Signal(row.Signal); break;
        case Ending::HangUpIgnored: run->Signal(SIGHUP); [[fallthrough]];
        case Ending::Key:
        case Ending::SeamRefused:
        case Ending::LogCloseFails: run->Type(row.Keys); break;
        case Ending::LineClosedMidBlock: ClosePtyLine(port); break;
        case Ending::KeysIgnored:
            EXPECT_EQ(waitpid(run->Pid(), nullptr, WNOHANG), 0) << "a key ended it";
            run->Signal(SIGTERM);
            break;
        case Ending::WhileBytesWait:
            if (row.Signal) run->Signal(row.Signal); else run->TypeAtOnce(row.Keys);
            std::this_thread::sleep_for(300ms);
            run->Signal(SIGCONT);
            break;
        default: break;
    }
    ASSERT_TRUE(run->WaitForExit()) << run->Output();
    ExpectEnded(*run, row.Signal, row.Status);
    EXPECT_TRUE(run->Output().ends_with(Replace(Expand(row.Expected), "{other}", other.SlavePath))) << run->Output();
    if (row.How == Ending::LogIsADevice) {  // nothing went out of any terminal, no file was made
        char out[64];
        EXPECT_LE(read(port.Master, out, sizeof out), 0);
        EXPECT_LE(read(other.Master, out, sizeof out), 0);
        // Windows finds an index's link to a port only once it is opened, beside the log it has made.
        const auto made = row.Option == "--times" ? (UnderWine ? 2 : 1) : row.Log == "{dir}/fifo" ? 1 : row.Log == "{dir}/x.log" ? 2 : 0;
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), made);
    }
    ClosePtyLine(other);
    if (split) {  // the parts, oldest first, that together are the stream, each index ended once; then the captures before
        // A seam whose move is refused: the part goes on to the next seam, where the move is made.
        const bool refusal = !row.StandIn.empty() && !UnderWine;
        const std::vector<long long> sizes = row.StandIn.empty() ? std::vector<long long>{1024, 1024, 952}
                                             : refusal           ? std::vector<long long>{2048, 1024, 1024, 904}
                                                                 : std::vector<long long>{1024, 1024, 1024, 1024, 904};
        const std::vector<std::string> named = PartsOf(log);
        ASSERT_EQ(named.size(), sizes.size()) << run->Output();
        std::string parts;
        for (std::size_t part = 0; part < named.size(); ++part) {
            const std::string& name = named[part];
            const std::string index = ReadFile(name + ".times");
            EXPECT_EQ(FileSize(name), sizes[part]) << name;
            EXPECT_EQ(index.find("\nende "), index.rfind("\nende ")) << index;
            EXPECT_NE(index.find("\nende " + std::to_string(FileSize(name)) + " "), std::string::npos) << name;
            parts += ReadFile(name);
        }
        EXPECT_TRUE(parts == bytes) << parts.size();
        const std::string refused = " nicht verschiebbar: weiter in lumtrex.log bis zur naechsten Grenze.\nFehlercode: 13 (keine Rechte, oder ein "
                                    "anderes Programm sperrt sie)\n";  // the part or its index
        EXPECT_EQ(refusal, run->Output().find(refused) != std::string::npos) << run->Output();
        for (int earlier = 0; earlier <= 3; ++earlier) {  // moved once, at the start; no seam renames a capture
            EXPECT_EQ(ReadFile(log + "." + std::to_string(earlier + 1)), "capture " + std::to_string(earlier));
        }
    } else if (row.How != Ending::LogIsFull && row.How != Ending::LogIsAFolder && row.How != Ending::LogIsADevice) {
        EXPECT_TRUE(ReadFile(log) == bytes.substr(0, row.Logged)) << FileSize(log);  // byte for byte
    }
    if (row.How == Ending::PreviousIsAFolder) { EXPECT_EQ(ReadFile(log + ".1/inside"), "older"); }
    if (held >= 0) close(held);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Endings,
    ::testing::Values(
        // In the background it neither stops itself on the terminal nor takes its keys or modes.
        EndingRow{"TerminateInTheBackground", Ending::InTheBackground, "3000\r3000\n", SIGTERM, 0, 3000, false},
        EndingRow{"HangUpSignal", Ending::Signalled, "3000\r3000\n", SIGHUP, 0, 3000, false},
        EndingRow{"HangUpIgnored", Ending::HangUpIgnored, "3000\r3000\n", 0, 0, 3000, false},
        // Signals that end a process by default (SIGQUIT with a core) end it in order.
        EndingRow{"UserSignal", Ending::Signalled, "3000\r3000\n", SIGUSR1, 0, 3000, false},
        EndingRow{"Quit", Ending::Signalled, "3000\r3000\n", SIGQUIT, 0, 3000, false},
        EndingRow{"RealTimeSignal", Ending::Signalled, "3000\r3000\n", SIGRTMIN, 0, 3000, false},
        EndingRow{"IoSignal", Ending::Signalled, "3000\r3000\n", SIGIO, 0, 3000, false},
        EndingRow{"CpuTimeLimit", Ending::Signalled, "3000\r3000\n", SIGXCPU, 0, 3000, false},
        // A fault ends at once, but gives the terminal its modes back first.
        EndingRow{"Abort", Ending::Signalled, "3000\r", SIGABRT, 0, 3000, false},
        EndingRow{"KeyEnter", Ending::Key, "3000\r3000\n", 0, 0, 3000, true, "\r"},
        EndingRow{"KeyCursorUp", Ending::Key, "3000\r3000\n", 0, 0, 3000, true, "\x1b[A"},
        // Wine's console leaves the terminal its quit and suspend characters (Wine itself is then stopped).
        EndingRow{"KeyCtrlBackslash", Ending::Key, "3000\r3000\n", 0, 0, 3000, false, "\x1c"},
        EndingRow{"KeyCtrlZ", Ending::Key, "3000\r3000\n", 0, 0, 3000, false, "\x1a"},
        EndingRow{"KeyCtrlS", Ending::Key, "3000\r3000\n", 0, 0, 3000, true, "\x13"},
        EndingRow{"KeyCtrlQ", Ending::Key, "3000\r3000\n", 0, 0, 3000, true, "\x11"},
        EndingRow{"KeyCtrlC", Ending::Key, "3000\r3000\n", SIGINT, 0, 3000, true, "\x03"},
        EndingRow{"KeyWhileBytesWait", Ending::WhileBytesWait, "\r12288\n", 0, 0, 12288, true},
        EndingRow{"StopWhileBytesWait", Ending::WhileBytesWait, "\r12288\n", SIGTERM, 0, 12288, false},
        EndingRow{"KilledAfterAPause", Ending::KilledAfterAPause, "", SIGKILL, 0, 3000, false},
        EndingRow{"KeyTypedAhead", Ending::KeyTypedAhead, CaptureHeader + "0\n", 0, 0, 0, true},
        EndingRow{"LineClosedMidBlock", Ending::LineClosedMidBlock,
                  "3000\r\n{port} ist nicht mehr vorhanden. Empfang beendet.\n3000\n", 0, 1, 3000, true},
        EndingRow{"LogSpaceRunsOut", Ending::LogSpaceRunsOut,
                  "2500\r\nSchreiben in lumtrex.log fehlgeschlagen. Fehlercode: 27 (Datei zu gross fuer die Groessengrenze (ulimit -f))\n2500\n", 0, 1, 2500, false},
        // 122: the quota is exceeded
        EndingRow{"LogCloseFails", Ending::LogCloseFails,
                  "3000\r\nSchreiben in lumtrex.log fehlgeschlagen. Fehlercode: 122 (Kontingent (Quota) erschoepft)\n3000\n", 0, 1, 3000, false},
        // A file system gone read-only after an error (ext4 errors=remount-ro) when the log is put on the
        // disk is a failed write; one that cannot sync (EINVAL) is written as any other.
        EndingRow{"LogSyncFails", Ending::LogSyncFails,
                  "3000\r\nSchreiben in lumtrex.log fehlgeschlagen. Fehlercode: 30 (Datentraeger nur lesbar oder schreibgeschuetzt)\n3000\n", 0, 1, 3000, false, "", 30},
        EndingRow{"LogCannotSync", Ending::Key, "3000\r3000\n", 0, 0, 3000, false, "q", 22},
        EndingRow{"LogIsFull", Ending::LogIsFull,
                  "\nSchreiben in lumtrex.log fehlgeschlagen. Fehlercode: 28 (Datentraeger voll)\n0\n", 0, 1, 0, true},
        EndingRow{"LogIsAFolder", Ending::LogIsAFolder, NotCreated, 0, 1, 0, true},
        EndingRow{"LogFolderMissing", Ending::LogIsAFolder,
                  "Baud\nLogdatei: {dir}/missing/x.log\n\nLogdatei {dir}/missing/x.log kann nicht angelegt werden. Fehlercode: 2 (Datei oder Ordner fehlt)\n0\n", 0, 1, 0, true, "q", 0,
                  "{dir}/missing/x.log"},
        // A log that names a device would send the capture out of it: another port, the recorded port
        // itself, a FIFO (whose open would wait for a reader); under Wine DOS devices with an extension or
        // without, and names that lead to a port (found once opened). The null device records with the count alone.
        EndingRow{"LogIsAnotherPort", Ending::LogIsADevice, DeviceLog("{other}"), 0, 1, 0, true, "", 0, "{other}"},
        EndingRow{"LogIsThePort", Ending::LogIsADevice, DeviceLog(UnderWine ? "com1.log" : "{port}"), 0, 1, 0, true, "", 0,
                  UnderWine ? "com1.log" : "{port}"},
        EndingRow{"EarlierCaptureIsAPort", Ending::LogIsADevice, DeviceLog("{dir}/x.log.1", "{dir}/x.log"), 0, 1, 0, false, "", 0,
                  "{dir}/x.log"},
        EndingRow{"LogIsAFifo", Ending::LogIsADevice, DeviceLog("{dir}/fifo"), 0, 1, 0, false, "", 0, "{dir}/fifo"},
        EndingRow{"IndexIsAPort", Ending::LogIsADevice, DeviceLog("lumtrex.log.times", "lumtrex.log"), 0, 1, 0, true, "", 0, "", "--times"},
        EndingRow{"LogIsATerminal", Ending::LogIsADevice, DeviceLog("{terminal}"), 0, 1, 0, true, "", 0, "{terminal}"},
        EndingRow{"LogIsTheNullDevice", Ending::Key, "3000\r3000\n", 0, 0, 0, true, "q", 0, "{null}"},
        // Captures that end by themselves, and one that no key ends.
        EndingRow{"ForThreeSeconds", Ending::ByItself, "3000\r3000\n", 0, 0, 3000, true, "", 0, "", "--for=3s"},
        EndingRow{"UpToByteCount", Ending::ByItself, "2000\r2000\n", 0, 0, 2000, true, "", 0, "", "--bytes=2000"},
        EndingRow{"SplitBySize", Ending::Key, "3000\r3000\n", 0, 0, 3000, true, "q", 0, "", "--split=1K"},
        // Another program holds an earlier capture (on Windows, without sharing its deletion) at the second seam.
        EndingRow{"SplitWhileACaptureIsHeld", Ending::SeamRefused, "5000\r5000\n", 0, 0, 5000, true, "q", 0, "", "--split=1K",
                  "LUMTREX_TEST_RENAME_REFUSED=lumtrex.log.20:1"},
        EndingRow{"KeysIgnored", Ending::KeysIgnored, "3000\r3000\n", SIGTERM, 0, 3000, false, "q\r", 0, "", "--no-keys"},
        // A driver that counted parity errors alone: reported too.
        EndingRow{"ParityErrorsOnly", Ending::Key,
                  "3000\r\nEmpfangsfehler: Ueberlauf 0, Rahmenfehler 0, Break 0, Paritaetsfehler 5\n3000\n", 0, 0, 3000, false, "q", 0,
                  "", "", "LUMTREX_TEST_PARITY=5"},
        // A name in any script is that file, also on Windows beyond its ANSI code page.
        EndingRow{"LogNamedInAnyScript", Ending::Key, "3000\r3000\n", 0, 0, 3000, true, "q", 0, "Łódź-Wärme.log"},
        // Under Windows a file by its drive's name in the device namespace (\\.\Z:\...) is a file all the same.
        EndingRow{"LogByItsDrivesDevicePath", Ending::Key, "3000\r3000\n", 0, 0, 3000, true, "q", 0, "{drivedir}y.log"},
        EndingRow{"PreviousIsAFolder", Ending::PreviousIsAFolder, NotCreated, 0, 1, 3000, true}),
    ByName);

// ---- A port another machine exports: the real ser2net, and a server of our own ----
// ser2net (never its package's service or configuration) runs on free
// loopback ports with the test's pseudo-terminal behind an RFC 2217 and a raw
// TCP accepter, started and ended by the row. What ser2net will not do on
// demand a server of the row's own does: line errors, a refused rate, no
// answers, a hostile stream.

int FreeTcpPort() {
    const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    const bool bound = bind(probe, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
                       getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size) == 0;
    close(probe);
    return bound ? ntohs(address.sin_port) : 0;
}

bool Listening(int tcpPort) {
    char state[40];
    std::snprintf(state, sizeof state, ":%04X 00000000:0000 0A", tcpPort);
    return ReadFile("/proc/net/tcp").find(state) != std::string::npos;
}

// ServerRestarts: ser2net ended and started again mid-capture. ServerLater:
// --wait, ser2net started 2 s later. SecondClient: a second run on the port.
// NotRfc2217: rfc2217:// at the raw accepter: refused, nothing sent there.
// With ser2net, nothing the program sends ever reaches the device.
// Ours: LineErrors (all four reported once the line is set), RateRefused
// (every rate answered 9600), Silent (no answer at all), Hostile (a flood of
// IAC NOP and of every option asked, then an endless subnegotiation).
enum class Remote { Exact, ServerRestarts, ServerLater, SecondClient, NotRfc2217, LineErrors, RateRefused, Silent, Hostile };

struct RemoteRow {
    const char* Name;
    Remote How;
    std::string Scheme;    // rfc2217 or tcp
    int Rate;              // asked; with ser2net the pseudo-terminal is set to it (tcp: to 9600)
    std::string Expected;  // in the console text
};

class RemotePorts : public EndToEnd, public ::testing::WithParamInterface<RemoteRow> {
protected:
    void TearDown() override {
        StopServer();
        if (ours.joinable()) ours.join();
        EndToEnd::TearDown();
    }
    void StartServer() {
        const std::string connector = "\n  connector: serialdev," + std::string(port.SlavePath) + ",9600n81,local\n";
        WriteFile(dir + "/ser2net.yaml", "%YAML 1.1\n---\nconnection: &rfc\n  accepter: telnet(rfc2217),tcp,127.0.0.1," +
                  std::to_string(rfc) + connector + "connection: &raw\n  accepter: tcp,127.0.0.1," + std::to_string(raw) + connector);
        const std::string yaml = dir + "/ser2net.yaml", out = dir + "/ser2net.out";
        server = fork();
        if (server == 0) {
            const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(fd, 1), dup2(fd, 2);
            execlp("ser2net", "ser2net", "-n", "-d", "-c", yaml.c_str(), nullptr);
            _exit(127);
        }
        ASSERT_TRUE(WaitUntil([&] { return Listening(rfc) && Listening(raw); }, 10s)) << ReadFile(out);
    }
    void StopServer() {
        if (server > 0) kill(server, SIGTERM), waitpid(server, nullptr, 0);
        server = -1;
    }
    // Ours: answers each COM port command as asked (a rate with 9600 if so), unless silent; once `go`, the row's bytes.
    void StartOurs(const RemoteRow& row, const std::string& script) {
        const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(rfc));
        ASSERT_TRUE(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(listener, 1) == 0);
        ours = std::thread([this, listener, how = row.How, script] {
            pollfd waiting{listener, POLLIN, 0};
            const int client = poll(&waiting, 1, 30000) == 1 ? accept(listener, nullptr, nullptr) : -1;
            close(listener);
            if (client >= 0) SendAll(client, reinterpret_cast<const unsigned char*>("\xff\xfd\x2c\xff\xfb\x03\xff\xfb\x00"), 9);
            std::string heard;
            bool sent = false;
            for (char buffer[4096]; client >= 0 && !over;) {
                pollfd watched{client, POLLIN, 0};
                if (poll(&watched, 1, 20) == 1) {
                    const ssize_t got = read(client, buffer, sizeof buffer);
                    if (got <= 0) break;
                    heard.append(buffer, static_cast<std::size_t>(got));
                    answered += got;
                }
                for (std::size_t at; how != Remote::Silent && (at = heard.find("\xff\xfa\x2c")) != std::string::npos;) {
                    const std::size_t end = heard.find("\xff\xf0", at);
                    if (end == std::string::npos) break;
                    std::string value = heard.substr(at + 4, end - at - 4);
                    if (heard[at + 3] == 1 && how == Remote::RateRefused) value = std::string("\0\0\x25\x80", 4);
                    const std::string answer = "\xff\xfa\x2c" + std::string(1, char(heard[at + 3] + 100)) + value + "\xff\xf0";
                    EXPECT_EQ(write(client, answer.data(), answer.size()), static_cast<ssize_t>(answer.size()));
                    heard.erase(0, end + 2);
                }
                if (go && !sent) sent = SendAll(client, reinterpret_cast<const unsigned char*>(script.data()), script.size());
            }
            if (client >= 0) close(client);
        });
    }
    std::string Url(const RemoteRow& row) const {
        return row.Scheme + "://127.0.0.1:" + std::to_string(row.Scheme == "tcp" ? raw : rfc);
    }
    int rfc = FreeTcpPort(), raw = FreeTcpPort();
    pid_t server = -1;
    std::thread ours;
    std::atomic<bool> go{false}, over{false};
    std::atomic<long> answered{0};  // bytes the program sent our server
};

TEST_P(RemotePorts, RecordWhatTheServerExports) {
    const RemoteRow& row = GetParam();
    const bool withSer2net = row.How < Remote::LineErrors;
    if (withSer2net && std::system("command -v ser2net > /dev/null") != 0) {
        ASSERT_STRNE(getenv("CI"), "true") << "ser2net is missing";
        GTEST_SKIP() << "ser2net is missing (apt-get install ser2net)";
    }
    const std::string bytes = Bytes(Pattern::Bytes, 64 * 1024);  // every byte value, 0xFF too
    std::string script = "abc";  // ours: what comes once the capture runs
    if (row.How == Remote::LineErrors) script += std::string("\xff\xfa\x2c\x6a\x1e\xff\xf0", 7) + "def";
    if (row.How == Remote::Hostile) {
        for (int option = 0; option < 256; ++option) script += std::string("\xff\xfd") + char(option) + "\xff\xfb" + char(option) + "\xff\xf1";
        script += std::string(200000, '\xff') + "def";  // doubled: 100000 of the port's 0xFF bytes
        script += std::string("\xff\xfa\x2c\x01") + std::string(1 << 20, 'x');  // never ended
    }
    if (withSer2net && row.How != Remote::ServerLater) StartServer();
    if (!withSer2net) StartOurs(row, script);
    std::vector<std::string> arguments = {Url(row), std::to_string(row.Rate), "--times"};
    if (row.How == Remote::ServerLater) arguments.push_back("--wait");
    if (row.How == Remote::NotRfc2217) arguments[0] = Replace(Url(row), std::to_string(rfc), std::to_string(raw));
    auto run = Launch(arguments);
    if (row.How == Remote::NotRfc2217) {
        ASSERT_TRUE(run->WaitForOutput("Programm beenden mit beliebiger Taste\n", 20s)) << run->Output();
        StopWithKey(*run, 1);
        char sent[64];
        EXPECT_LE(read(port.Master, sent, sizeof sent), 0) << "bytes went to the device";
        EXPECT_NE(run->Output().find(arguments[0] + " verhandelt kein RFC 2217: nichts gesendet (rohe Bytes: tcp://).\n"),
                  std::string::npos) << run->Output();
        return;
    }
    if (row.How == Remote::ServerLater) {
        ASSERT_TRUE(run->WaitForOutput(" ist nicht da. Warte auf die Schnittstelle ...\n")) << run->Output();
        std::this_thread::sleep_for(2s);
        StartServer();
    }
    ASSERT_TRUE(run->WaitForOutput(CaptureHeader, 20s)) << run->Output();
    std::string logged = bytes;
    if (withSer2net) {
        if (row.How == Remote::SecondClient) {
            auto second = Launch({Url(row), std::to_string(row.Rate), "--log", "b.log"});  // (this folder's log is the first's)
            ASSERT_TRUE(second->WaitForOutput("Programm beenden mit beliebiger Taste\n")) << second->Output();
            EXPECT_NE(second->Output().find("Windows verweigert Zugriff. " + Url(row) + " wird benutzt.\n"), std::string::npos);
            StopWithKey(*second, 1);
        }
        termios shown{};
        EXPECT_EQ(tcgetattr(port.Master, &shown), 0);
        EXPECT_EQ(cfgetospeed(&shown), row.Scheme == "tcp" ? B9600 : row.Rate == 921600 ? B921600 : B115200);
        const long long sentAt = EpochMs();
        Send(bytes.substr(0, 1000));
        ASSERT_TRUE(WaitForLog(1000)) << FileSize(log);
        const std::string first = ReadFile(log + ".times");
        const std::size_t line = first.find("\n0 ");
        ASSERT_NE(line, std::string::npos) << first;
        EXPECT_LT(std::llabs(IndexEpochMs(first.substr(line + 3)) - sentAt), UnderWine ? 250 : 50) << first;
        if (row.How == Remote::ServerRestarts) {
            StopServer();
            ASSERT_TRUE(run->WaitForOutput(" ist nicht mehr vorhanden (nach 1000 Bytes). Warte auf die Schnittstelle ...\n"));
            StartServer();
            ASSERT_TRUE(run->WaitForOutput(" ist wieder da. Empfang laeuft weiter.\n", 20s)) << run->Output();
        }
        Send(bytes.substr(1000));
    } else {
        go = true;
        logged = row.How == Remote::Hostile ? "abc" + std::string(100000, '\xff') + "def" : row.How == Remote::LineErrors ? "abcdef" : "abc";
    }
    ASSERT_TRUE(WaitForLog(logged.size())) << FileSize(log);
    if (row.How == Remote::Hostile) std::this_thread::sleep_for(1s);  // the endless subnegotiation
    std::chrono::milliseconds took{};
    StopWithKey(*run, 0, &took);
    over = true;
    EXPECT_LT(took.count(), 2000);
    EXPECT_TRUE(ReadFile(log) == logged) << FileSize(log);
    char sent[64];
    if (withSer2net) { EXPECT_LE(read(port.Master, sent, sizeof sent), 0) << "bytes went to the device"; }
    EXPECT_NE(run->Output().find(Replace(row.Expected, "{url}", Url(row))), std::string::npos) << run->Output();
    const std::string index = ReadFile(log + ".times");
    if (row.How == Remote::LineErrors) { EXPECT_NE(index.find(" Ueberlauf 1 Rahmenfehler 1 Break 1 Paritaetsfehler 1\n"), std::string::npos); }
    if (row.How == Remote::ServerRestarts) {
        EXPECT_TRUE(index.find("\nweg 1000 ") != std::string::npos && index.find("\nwieder 1000 ") != std::string::npos) << index;
    }
    if (row.How == Remote::Hostile) {  // each option refused once, whatever the flood
        EXPECT_LT(answered.load(), 4000);
        if (!UnderWine) { EXPECT_LT(run->Usage().ru_maxrss, 64 * 1024); }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RemotePorts,
    ::testing::Values(
        RemoteRow{"Rfc2217", Remote::Exact, "rfc2217", 115200, "Schnittstelle: {url} Baudrate: 115200 Baud\n"},
        RemoteRow{"Rfc2217Fast", Remote::Exact, "rfc2217", 921600, "\r65536\n"},
        RemoteRow{"RawTcp", Remote::Exact, "tcp", 115200, "Schnittstelle: {url} (Baudrate und Leitung stellt der Server)\n"},
        RemoteRow{"ServerRestarts", Remote::ServerRestarts, "rfc2217", 115200, "\r65536\n"},
        RemoteRow{"ServerLater", Remote::ServerLater, "rfc2217", 115200, " {url} ist da.\n"},
        RemoteRow{"SecondClient", Remote::SecondClient, "rfc2217", 115200, "\r65536\n"},
        RemoteRow{"SecondClientRaw", Remote::SecondClient, "tcp", 115200, "\r65536\n"},
        RemoteRow{"NotRfc2217", Remote::NotRfc2217, "rfc2217", 115200, ""},
        RemoteRow{"LineErrors", Remote::LineErrors, "rfc2217", 115200,
                  "Empfangsfehler: Ueberlauf 1, Rahmenfehler 1, Break 1, Paritaetsfehler 1\n"},
        RemoteRow{"RateRefused", Remote::RateRefused, "rfc2217", 115200, " {url} SetCommState nicht ok !\nFehlercode: 22" + Unsupported + "\nBaudrate bleibt 9600 Baud.\n"},
        RemoteRow{"Silent", Remote::Silent, "rfc2217", 115200, "{url} beantwortet die Einstellungen nicht: Rate und Leitung nicht bestaetigt.\n"},
        RemoteRow{"Hostile", Remote::Hostile, "rfc2217", 115200, "\r100006\n"}),
    ByName);

// ---- Real drivers: the program in a Linux guest under QEMU ----
// On the kernel's 8250 driver (ttyS1, QEMU's 16550A) and ftdi_sio (ttyUSB0, an
// FTDI adapter), every row on one boot made by tests/real_drivers.sh. QEMU's
// trace says what the drivers programmed; its monitor reads the UART's modem
// lines, sends a break and unplugs the adapter. A row's folder is shared with
// the guest. Without a terminal, SIGTERM ends a capture (status 143).

enum class Probe { Bytes, Rate, Lines, Break, Unplug, Swap, Held, PowerCut, Line, Gadget, Silent };

struct GuestRow {
    std::string Name;
    std::string Arguments;  // the program's, in the guest
    Probe What;
    // Bytes: the pace in baud, 0 as fast as the emulation goes. Rate: the rate
    // the driver must program (within 1 %). Lines: DTR (1) and RTS (2) during
    // the capture. Break: the bytes a break adds to the log, -1 unchecked.
    // PowerCut: the log on the guest's ext4 disk; QEMU is killed and booted again.
    // Line: ttyS1, the 16550's line control register (its low 6 bits); ttyUSB0, what QEMU's adapter was told.
    // Gadget: bytes from the gadget's ttyGS0 to ttyACM0, the gadget reset (Value 1) in between. Silent:
    // nothing for 6 s, then the console's Expected there (Value 1) or not. Swap: a second adapter (LUMB) as
    // ttyUSB1, recorded by a second run, both unplugged and added back the other way round (Value 1: this run
    // alone, with --any-device; 2: B is LUMA's twin, in USB port 2 from the start, LUMA in 1 and each added
    // back into its own; 3: the twin comes after the start and stays as LUMA alone drops out).
    int Value = 0;
    std::string Holder = "";    // Held: run in /tmp before the program, such as what holds the port
    std::string Expected = "";  // in the console text
    int Status = 143;           // as the guest's shell reports it
    std::string Told = "";      // Line on ttyUSB0: what QEMU's adapter was told last
};

class RealDrivers : public ::testing::TestWithParam<GuestRow> {
protected:
    static void SetUpTestSuite() { guest = new Guest(getenv("LUMTREX_GUEST"), getenv("LUMTREX_GUEST_ACCEL")); }
    static void TearDownTestSuite() { delete guest; }
    // What the trace shows last after `key`, from `from` on, up to the line's end.
    static std::string Programmed(std::size_t from, const std::string& key) {
        const std::string trace = guest->Trace().substr(from);
        const std::size_t at = trace.rfind(key);
        return at == std::string::npos ? "" : trace.substr(at + key.size(), trace.find('\n', at) - at - key.size());
    }
    static int ModemControl() { return Register(4); }  // the 16550's MCR
    static int Register(int offset) {  // at COM2's base + offset
        const std::string answer = guest->Monitor(R"({"execute":"human-monitor-command","arguments":{"command-line":"i /b )" +
                                                  std::to_string(0x2f8 + offset) + R"("}})");
        const std::size_t at = answer.find("= 0x");
        return at == std::string::npos ? -1 : static_cast<int>(std::strtol(answer.c_str() + at + 2, nullptr, 16));
    }
    static Guest* guest;
};
Guest* RealDrivers::guest = nullptr;

TEST_P(RealDrivers, ShowWhatTheKernelsDriversDo) {
    const GuestRow& row = GetParam();
    ASSERT_TRUE(guest->Ready());
    const std::string folder = guest->Share + "/" + row.Name, log = folder + "/lumtrex.log";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    const std::string device = row.Arguments.substr(0, row.Arguments.find(' '));
    const int line = device == "/dev/ttyS1" ? guest->Serial : guest->Usb;  // ttyACM0: fed in the guest
    const std::size_t traced = guest->Trace().size();
    if (!row.Holder.empty()) {  // once it has the port open, or has ended
        guest->Shell("cd /tmp; " + row.Holder + " > /dev/null 2>&1 & H=$!; for i in $(seq 100); do ls -l /proc/$H/fd | "
                     "grep -q -e " + device + " -e held && break; [ -d /proc/$H ] && sleep 0.1; done");
    }
    const auto plug = [&](const std::string& id, const std::string& line, const std::string& serial, const std::string& port = "") {
        return guest->Monitor(R"({"execute":"device_add","arguments":{"driver":"usb-serial","id":")" + id + R"(","chardev":")" +
                              line + R"(","serial":")" + serial + (port.empty() ? "" : R"(","port":")" + port) + R"("}})")
                   .find("error") == std::string::npos;
    };
    const auto unplug = [&](const std::string& id) {
        guest->Monitor(R"({"execute":"device_del","arguments":{"id":")" + id + R"("}})");
    };
    const auto noAdapter = [&] {  // both adapters' nodes gone, once QEMU has let go of them
        return guest->Shell("for i in $(seq 100); do [ -e /dev/ttyUSB0 ] || [ -e /dev/ttyUSB1 ] || break; sleep 0.1; done; "
                            "! [ -e /dev/ttyUSB0 ] && ! [ -e /dev/ttyUSB1 ]") == 0;
    };
    const auto present = [&](const std::string& node) {
        return guest->Shell("for i in $(seq 100); do [ -e " + node + " ] && break; sleep 0.1; done; [ -e " + node + " ]") == 0;
    };
    if (row.What == Probe::Swap && row.Value >= 2) {  // LUMA in USB port 1; Value 2: its twin in port 2 from the start
        unplug("ftdi");
        ASSERT_TRUE(noAdapter() && WaitUntil([&] { return plug("ftdi", "usb", "LUMA", "1"); }, 10s) && present("/dev/ttyUSB0"));
        if (row.Value == 2) { ASSERT_TRUE(plug("ftdi2", "usb2", "LUMA", "2") && present("/dev/ttyUSB1")); }
    }
    const int lines = ModemControl() & 3;  // DTR and RTS as the holder has them, or as the last run left them
    guest->Shell("cd /share/" + row.Name + "; lumtrex " + row.Arguments + " > out 2>&1 & P=$!");
    int status = -1;
    std::string bytes;
    if (row.What == Probe::Held) {  // refused, it ends by itself; else SIGTERM after 10 s
        status = guest->Shell("for i in $(seq 100); do kill -0 $P 2>/dev/null && sleep 0.1; done; kill $P; wait $P");
        EXPECT_EQ(ModemControl() & 3, lines) << "DTR and RTS were changed";
        guest->Shell("kill $H; wait $H");
    } else if (row.What != Probe::PowerCut) {
        EXPECT_TRUE(WaitUntil([&] { return FileSize(log) == 0; }, 10s)) << "no capture";
    }
    const auto send = [&](std::size_t size, int rate, Pattern kind = Pattern::Bytes) {  // and all of it logged
        const std::string part = Bytes(kind, size, bytes.size() + 1);
        bytes += part;
        const auto* data = reinterpret_cast<const unsigned char*>(part.data());
        ASSERT_TRUE(rate ? SendPaced(line, data, size, rate, 5) == size : SendAll(line, data, size));
        ASSERT_TRUE(WaitUntil([&] { return FileSize(log) == static_cast<long long>(bytes.size()); }, 60s)) << FileSize(log);
    };
    const auto said = [&](const std::string& text) {  // how often
        const std::string console = ReadFile(folder + "/out");
        int times = 0;
        for (std::size_t at = 0; (at = console.find(text, at)) != std::string::npos; ++at) ++times;
        return times;
    };
    switch (row.What) {
        case Probe::Bytes: send(row.Value ? 4 * 256 : 256 * 256, row.Value); break;
        case Probe::Rate: {
            const std::string made = Programmed(traced, line == guest->Serial ? "baudrate=" : "baud rate ");
            EXPECT_NEAR(std::atoi(made.c_str()), row.Value, row.Value / 100.0) << made;
            if (line == guest->Serial) { EXPECT_TRUE(made.ends_with(" parity='N' data=8 stop=1")) << made; }
            break;
        }
        case Probe::Lines: EXPECT_EQ(ModemControl() & 3, row.Value); break;
        case Probe::Line:
            if (line == guest->Serial) {  // the even-parity bit means nothing without parity: Linux sets it then
                const int lcr = Register(3);
                EXPECT_EQ(lcr & (lcr & 0x08 ? 0x3f : 0x0f), row.Value) << "LCR " << lcr;
            }
            if (line == guest->Usb) { EXPECT_EQ(Programmed(traced, "usb_serial_set_data"), row.Told) << guest->Trace().substr(traced); }
            if (row.Status == 143) send(1024, 0);  // recorded: every byte as it came
            break;
        case Probe::Break:
            send(3000, 0);
            std::this_thread::sleep_for(300ms);
            guest->Monitor(R"({"execute":"chardev-send-break","arguments":{"id":"serial"}})");
            std::this_thread::sleep_for(500ms);
            break;
        case Probe::Unplug:  // twice, each time back with the same serial number
            for (int gap = 1; gap <= 2; ++gap) {
                send(20000, 115200, Pattern::Random);
                guest->Monitor(R"({"execute":"device_del","arguments":{"id":"ftdi"}})");
                ASSERT_TRUE(WaitUntil([&] { return said("(nach " + std::to_string(bytes.size()) + " Bytes)") == 1; }, 20s));
                // Once QEMU has let go of the old one.
                EXPECT_TRUE(WaitUntil([&] {
                    return plug("ftdi", "usb", "LUMA");
                }, 10s));
                ASSERT_TRUE(WaitUntil([&] { return said("ist wieder da. Empfang laeuft weiter.\n") == gap; }, 20s))
                    << ReadFile(folder + "/out");
            }
            break;
        case Probe::Swap: {  // A (this run) on LUMA, B on LUMB or a twin; each log its own adapter's bytes only
            const bool any = row.Value == 1, twin = row.Value >= 2, stays = row.Value == 3;
            const std::string portA = twin ? "1" : "", portB = twin ? "2" : "";
            if (row.Value != 2) { ASSERT_TRUE(plug("ftdi2", "usb2", twin ? "LUMA" : "LUMB", portB) && present("/dev/ttyUSB1")); }
            if (!any && !stays) guest->Shell("lumtrex /dev/ttyUSB1 115200 --log b.log > outb 2>&1 & Q=$!");
            std::string other;  // what B's adapter sends
            const auto both = [&](int part) {
                const bool anyAfter = any && part == 2;  // this run on LUMB now, LUMA read by none
                if (!anyAfter) send(8000, 115200, Pattern::Random);
                if (stays || (any && part == 1)) return;  // B read by none (yet)
                const std::string more = Bytes(Pattern::Random, 8000, 40 + part);
                (anyAfter ? bytes : other) += more;
                ASSERT_EQ(SendPaced(guest->Usb2, reinterpret_cast<const unsigned char*>(more.data()), more.size(), 115200, 5),
                          more.size());
                const std::string log2 = anyAfter ? log : folder + "/b.log";
                const std::size_t size2 = anyAfter ? bytes.size() : other.size();
                ASSERT_TRUE(WaitUntil([&] { return FileSize(log2) == static_cast<long long>(size2); }, 30s)) << FileSize(log2);
            };
            both(1);
            unplug("ftdi");
            if (stays) {  // the twin, still there as ttyUSB1, is not this run's adapter: its bytes are not recorded
                ASSERT_TRUE(WaitUntil([&] { return said("ist nicht mehr vorhanden") == 1; }, 20s));
                std::this_thread::sleep_for(1500ms);
                const std::string twins = Bytes(Pattern::Random, 1000, 7);
                ASSERT_EQ(SendPaced(guest->Usb2, reinterpret_cast<const unsigned char*>(twins.data()), twins.size(), 115200, 5),
                          twins.size());
                std::this_thread::sleep_for(500ms);
                EXPECT_TRUE(WaitUntil([&] { return plug("ftdi", "usb", "LUMA", portA); }, 10s));
                ASSERT_TRUE(WaitUntil([&] { return said(" /dev/ttyUSB0 ist wieder da") == 1; }, 20s)) << ReadFile(folder + "/out");
            } else {
                unplug("ftdi2");
                ASSERT_TRUE(WaitUntil([&] { return said("ist nicht mehr vorhanden") == 1; }, 20s) && noAdapter());
                EXPECT_TRUE(WaitUntil([&] { return plug("ftdi2", "usb2", twin ? "LUMA" : "LUMB", portB); }, 10s));  // now ttyUSB0
                ASSERT_TRUE(present("/dev/ttyUSB0"));
                EXPECT_TRUE(WaitUntil([&] { return plug("ftdi", "usb", "LUMA", portA); }, 10s));
                ASSERT_TRUE(present("/dev/ttyUSB1"));
                ASSERT_TRUE(WaitUntil([&] { return said("ist wieder da") == 1; }, 20s)) << ReadFile(folder + "/out");
                // The line names the port the capture has now.
                if (!any) { EXPECT_EQ(said(" /dev/ttyUSB1 ist wieder da"), 1) << ReadFile(folder + "/out"); }
            }
            if (!any && !stays) {
                ASSERT_TRUE(WaitUntil([&] { return ReadFile(folder + "/outb").find("ist wieder da") != std::string::npos; }, 20s))
                    << ReadFile(folder + "/outb");
            }
            both(2);
            if (!any && !stays) {
                EXPECT_EQ(guest->Shell("kill -TERM $Q; wait $Q"), 143);
                EXPECT_TRUE(ReadFile(folder + "/b.log") == other) << FileSize(folder + "/b.log");
                EXPECT_NE(ReadFile(folder + "/outb").find(" /dev/ttyUSB1 ist jetzt /dev/ttyUSB0.\n"), std::string::npos)
                    << ReadFile(folder + "/outb");
            }
            status = guest->Shell("kill -TERM $P; wait $P");
            // As the rows after expect it: LUMA alone, as ttyUSB0.
            unplug("ftdi");
            unplug("ftdi2");
            EXPECT_TRUE(noAdapter());
            EXPECT_TRUE(WaitUntil([&] { return plug("ftdi", "usb", "LUMA"); }, 10s));
            EXPECT_TRUE(present("/dev/ttyUSB0"));
            break;
        }
        case Probe::Held: break;
        case Probe::Gadget:
            for (int part = 0; part <= row.Value; ++part) {
                const std::string more = Bytes(Pattern::Random, 20000, part + 3);
                bytes += more;
                WriteFile(folder + "/sent", more);
                EXPECT_EQ(guest->Shell("stty -F /dev/ttyGS0 raw -echo && cat /share/" + row.Name + "/sent > /dev/ttyGS0"), 0);
                ASSERT_TRUE(WaitUntil([&] { return FileSize(log) == static_cast<long long>(bytes.size()); }, 20s)) << FileSize(log);
                if (part == row.Value) break;
                // A board's reset: its USB goes away and comes back.
                guest->Shell("rmmod g_serial");
                ASSERT_TRUE(WaitUntil([&] { return said("ist nicht mehr vorhanden") == 1; }, 20s)) << ReadFile(folder + "/out");
                guest->Shell("insmod /modules/g_serial.ko");
                ASSERT_TRUE(WaitUntil([&] { return said("ist wieder da") == 1; }, 20s)) << ReadFile(folder + "/out");
            }
            break;
        case Probe::Silent:
            std::this_thread::sleep_for(6500ms);
            EXPECT_EQ(said(row.Expected), row.Value) << ReadFile(folder + "/out");
            break;
        case Probe::PowerCut: {  // 3 s of bytes, and 2 s later the power goes (Value 1: at once, no bytes)
            const std::string onDisk = "/disk/" + row.Name;
            ASSERT_EQ(guest->Shell("for i in $(seq 100); do [ -e " + onDisk + "/lumtrex.log.1 ] && break; sleep 0.1; "
                                   "done; sleep 0.3; [ -e " + onDisk + "/lumtrex.log ]"), 0) << "no capture";
            if (row.Value == 0) {
                bytes = Bytes(Pattern::Random, 34000, 5);
                const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
                ASSERT_EQ(SendPaced(line, data, bytes.size(), 115200, 5), bytes.size());
                std::this_thread::sleep_for(2s);
            }
            guest->PowerCut();
            ASSERT_TRUE(guest->Ready());
            EXPECT_EQ(guest->Shell("cp " + onDisk + "/lumtrex.log " + onDisk + "/lumtrex.log.1 " +
                                   (row.Value ? onDisk + "/lumtrex.log.times " : "") + "/share/" + row.Name), 0);
            EXPECT_EQ(ReadFile(log + ".1"), "an earlier capture") << "the capture before lost its name";
            EXPECT_TRUE(ReadFile(log) == bytes) << FileSize(log) << " of " << bytes.size() << " bytes on the disk";
            return;
        }
    }
    if (status < 0) status = guest->Shell("kill -TERM $P; wait $P");
    EXPECT_EQ(status, row.Status);
    // (Into a file every line carries its time: the messages are looked for as written and without them.)
    const std::string logged = ReadFile(log), console = ReadFile(folder + "/out"), untimed = WithoutTimes(console);
    if (row.What != Probe::Silent) {
        EXPECT_TRUE(console.find(row.Expected) != std::string::npos || untimed.find(row.Expected) != std::string::npos) << console;
    }
    if (row.What == Probe::Held) {
        EXPECT_EQ(FileSize(log), -1);
        if (row.Status == 0) {  // a listing: these ports and no other, and none opened
            EXPECT_EQ(console, row.Expected);
            EXPECT_EQ(Programmed(traced, "baudrate="), "") << "a port was opened";
        }
        return;
    }
    EXPECT_EQ(untimed.substr(untimed.find_last_of("\r\n", untimed.size() - 2) + 1),
              std::to_string(logged.size()) + "\n") << console;
    if (row.What == Probe::Lines) { EXPECT_EQ(ModemControl() & 3, 0) << "left raised"; }
    EXPECT_TRUE(logged.substr(0, bytes.size()) == bytes.substr(0, logged.size())) << "not what was sent";
    if (row.What == Probe::Bytes || row.What == Probe::Unplug || row.What == Probe::Swap || row.What == Probe::Gadget) {
        EXPECT_EQ(logged.size(), bytes.size());
    }
    if (row.What == Probe::Break && row.Value >= 0) { EXPECT_EQ(logged.size(), bytes.size() + row.Value); }
}

std::vector<GuestRow> GuestRows() {
    if (!getenv("LUMTREX_GUEST")) return {};
    const std::string refused = "Windows verweigert Zugriff. /dev/ttyS1 wird benutzt.\n\n0\n";  // no key to press there: no prompt
    const auto notMade = [](int kept) {
        return " /dev/ttyS1 SetCommState nicht ok !\nFehlercode: 22" + Unsupported + "\nBaudrate bleibt " + std::to_string(kept) +
               " Baud.\n";
    };
    std::vector<GuestRow> rows = {
        {"S1Bytes9600", "/dev/ttyS1 9600", Probe::Bytes, 9600},
        {"S1BytesAtOnce", "/dev/ttyS1 115200", Probe::Bytes, 0},
        {"U0Bytes9600", "/dev/ttyUSB0 9600", Probe::Bytes, 9600},
        {"U0BytesAtOnce", "/dev/ttyUSB0 115200", Probe::Bytes, 0},
        {"S1LinesNoOption", "/dev/ttyS1 9600", Probe::Lines, 0},
        {"S1LinesDtr", "/dev/ttyS1 9600 -d1", Probe::Lines, 1},
        {"S1LinesRts", "/dev/ttyS1 9600 x -c1", Probe::Lines, 2},
        {"S1LinesRtsOnlyInFourthPlace", "/dev/ttyS1 9600 -c1", Probe::Lines, 0},
        // The 16550's LCR: word length in bits 0-1, 1.5 or 2 stop bits in 2, parity in 3 (on), 4 (even), 5 (stuck).
        {"S1Line7E1", "/dev/ttyS1 9600 --line 7E1", Probe::Line, 0x1a},
        {"S1Line8O2", "/dev/ttyS1 9600 --line 8O2", Probe::Line, 0x0f},
        {"S1Line5N1AndAHalf", "/dev/ttyS1 9600 --line 5N1.5", Probe::Line, 0x04},
        {"S1Line7M1", "/dev/ttyS1 9600 --line 7M1", Probe::Line, 0x2a},
        // ftdi_sio takes 5 data bits as its "CS5 quirk" (0 to the adapter, which QEMU's reads as 8); no 1.5 stop bits.
        {"U0Line7E1", "/dev/ttyUSB0 9600 --line 7E1", Probe::Line, 0, "", "", 143, " dev 0:1 parity E, data bits 7, stop bits 1"},
        {"U0Line8O2", "/dev/ttyUSB0 9600 --line 8O2", Probe::Line, 0, "", "", 143, " dev 0:1 parity O, data bits 8, stop bits 2"},
        {"U0Line5N1AndAHalf", "/dev/ttyUSB0 9600 --line 5N1.5", Probe::Line, 0, "", "", 143,
         " dev 0:1 parity N, data bits 8, stop bits 2"},
        // Sent on an idle, drained line: counted, and no 0x00 byte in the log.
        {"S1Break", "/dev/ttyS1 115200", Probe::Break, 0, "", "Break 1\n"},
        {"S1HeldByLumtrex", "/dev/ttyS1 9600", Probe::Held, 0, "lumtrex /dev/ttyS1 9600", refused, 1},
        // A reader that takes no lock would split the bytes with the program; it is refused before it could
        // drop the reader's lines, also where the reader has the port under another name (as in a chroot).
        {"S1HeldByCat", "/dev/ttyS1 9600", Probe::Held, 0,
         "touch held; unshare -m sh -c 'mount --bind /dev/ttyS1 held && exec cat held'", refused, 1},
    };
    int before = 9600;  // the rate ttyS1 has after the rows above
    for (int rate : {150, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 28800, 38400, 57600, 76800, 115200, 230400,
                     460800, 500000, 576000, 921600, 1000000, 1152000, 1500000, 2000000, 3000000}) {
        const std::string baud = std::to_string(rate);
        // This UART's 1.8432 MHz clock cannot make 76800 nor more than 115200:
        // refused, the line left at the rate it had.
        if (rate == 76800 || rate > 115200) {
            rows.push_back({"S1Refuses" + baud, "/dev/ttyS1 " + baud, Probe::Rate, before, "", notMade(before)});
        } else {
            rows.push_back({"S1Baud" + baud, "/dev/ttyS1 " + baud, Probe::Rate, before = rate});
        }
        if (rate >= 300) rows.push_back({"U0Baud" + baud, "/dev/ttyUSB0 " + baud, Probe::Rate, rate});
    }
    // Listed from sysfs, the placeholders ttyS2 and ttyS3, the virtual terminals and the gadget's own
    // ttyGS0 left out, the adapters with their identity and the stable name udev would make.
    rows.push_back({"ListPorts", "--list", Probe::Held, 0, "mkdir -p /dev/serial/by-id; ln -sf ../../ttyUSB0 /dev/serial/by-id/usb-Q",
                    "/dev/ttyACM0  cdc_acm  0525:a4a7 Gadget Serial v2.4\n"
                    "/dev/ttyS0  serial  16550A\n/dev/ttyS1  serial  16550A\n/dev/ttyUSB0  ftdi_sio  0403:6001 QEMU USB SERIAL  "
                    "/dev/serial/by-id/usb-Q\n", 0});
    // An adapter that drops out: waited for, and the capture goes on.
    rows.push_back({"U0Unplugged", "/dev/ttyUSB0 115200", Probe::Unplug, 0, "",
                    "/dev/ttyUSB0 ist nicht mehr vorhanden (nach 20000 Bytes). Warte auf die Schnittstelle ...\n"});
    // Two adapters come back the other way round: each run follows its own, or with --any-device takes the other.
    rows.push_back({"U0SwappedWithAnother", "/dev/ttyUSB0 115200", Probe::Swap, 0, "", " /dev/ttyUSB0 ist jetzt /dev/ttyUSB1.\n"});
    rows.push_back({"U0SwappedAnyDevice", "/dev/ttyUSB0 115200 --any-device", Probe::Swap, 1, "",
                    " /dev/ttyUSB0 ist wieder da. Empfang laeuft weiter.\n"});
    // Two adapters with one serial number (as CP210x's 0001): told apart by their USB ports, also where the
    // twin came after the start; the twin's bytes are never recorded.
    const std::string twin = "Hinweis: /dev/ttyUSB1 hat dieselbe Seriennummer (0403:6001 Nr. LUMA): wiedererkannt wird nur "
                             "0403:6001 Nr. LUMA an USB-Port 1-1.\n";
    rows.push_back({"U0SwappedWithATwin", "/dev/ttyUSB0 115200", Probe::Swap, 2, "", "\n" + twin});
    rows.push_back({"U0TwinStaysAsOursDrops", "/dev/ttyUSB0 115200", Probe::Swap, 3, "", " " + twin});
    // A board with its own USB (CDC-ACM): its bytes, its reset ridden out, the hint at DTR when it stays silent.
    const std::string hint = "Hinweis: seit 5 s nichts empfangen. /dev/ttyACM0 ist ein USB-CDC-Geraet; solche Platinen "
                             "senden oft erst mit DTR (-d1).\n";
    rows.push_back({"A0Bytes", "/dev/ttyACM0 115200", Probe::Gadget, 0});
    rows.push_back({"A0ResetOfTheBoard", "/dev/ttyACM0 115200", Probe::Gadget, 1});
    rows.push_back({"A0SilentWithoutDtr", "/dev/ttyACM0 115200", Probe::Silent, 1, "", hint});
    rows.push_back({"A0SilentWithDtr", "/dev/ttyACM0 115200 -d1", Probe::Silent, 0, "", hint});
    // Last: the power goes while the log is on ext4, the capture before it renumbered just before; once a
    // moment after the start, before any sync of data (the names are on the disk all the same).
    // At the start, with the time index: its name is on the disk too.
    for (const auto& [name, value] : {std::pair{"S1PowerCutAtStart", 1}, {"S1PowerCut", 0}}) {
        rows.push_back({name, "/dev/ttyS1 115200 --log /disk/" + std::string(name) + "/lumtrex.log" + (value ? " --times" : ""), Probe::PowerCut, value,
                        "mkdir /disk/" + std::string(name) + " && printf 'an earlier capture' > /disk/" + name + "/lumtrex.log && sync"});
    }
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Rows, RealDrivers, ::testing::ValuesIn(GuestRows()),
                         ByName);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(RealDrivers);

}  // namespace
