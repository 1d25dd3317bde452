// lumtrex: records the bytes arriving at one serial port into lumtrex.log.
#include <cstdio>
#include <ctime>
#include <string>

#include "../console/console.h"
#include "../serial/serial.h"
#include "capture.h"
#include "log_file.h"
#include "priority.h"
#include "recording.h"
#include "settings.h"
#include "show.h"
#include "version.h"

namespace {

constexpr char ContactAddress[] = "support@lumtrex.example";

void PrintBanner() {
    Print("     ***********************************\n");
    Print("     ** Lumtrex %s    16.06.2004   **\n", LumtrexVersion);
    Print("     ** %-30s**\n", ContactAddress);
    Print("     ***********************************\n");
}

void PrintUsage() {
    Print("\nBenutzung: Lumtrex [Comport] [Baudrate] [-dx]\n");
    Print("Beispiel: Lumtrex 1 19200\n");
    Print("Default: COM1, 9600 Baud, DTR aus, RTS aus\n");
    Print("Ausgabe: die Datei lumtrex.log\n");
}

// Asked for help, the version or the ports: says it and ends, touching no
// port, file or terminal mode. A bad option ends with status 2.
[[noreturn]] void Answer(const Options& options, int argc, const char** argv) {
    OutputStart();
    switch (options.Asked) {
        case Request::Version: Print("lumtrex %s\n", LumtrexVersion); break;
        case Request::List: ListPorts(); break;
        case Request::BadOption: Print(options.Complaint, options.Bad); break;
        case Request::Show: {  // also the names after it (--show boot.log.*, as the shell gives them)
            std::vector<const char*> names = options.ShowNames;
            names.insert(names.end(), argv + 1, argv + argc);
            if (options.Follow) {  // followed until a key or a stop
                ConsoleStart();
                LimitRun({.Keys = !options.NoKeys, .ForSeconds = options.ForSeconds});
            }
            EndProgram(ShowCaptures(names, options.Hex, options.Follow));
        }
        default:
            PrintBanner();
            PrintUsage();
            Print("Comport: 1-8, COMn oder ein Geraetepfad (z.B. %s); RTS allein: lumtrex 1 9600 x -c1\n",
                  DevicePathExample);
            Print("Im Netz (ser2net): rfc2217://HOST:PORT oder tcp://HOST:PORT\n");
            Print("\nOptionen (ueberall in der Zeile):\n");
            for (int i = 0; i < OptionCount; ++i) {
                const OptionRow& row = OptionTable[i];
                if (!row.Shown) continue;
                char help[256];
                std::snprintf(help, sizeof help, row.Help, DevicePathExample);
                Print(*help ? "  %-14s  %s\n" : "  %s\n", row.Shown, help);  // a line in one piece
            }
            break;
    }
    EndProgram(options.Asked == Request::BadOption ? 2 : 0);
}

// Where a positional argument was replaced, one line says so.
void PrintFallbacks(const Fallbacks& fallbacks) {
    if (fallbacks.MeantCom) {
        Print("Hinweis: %s ist keine Schnittstelle, es gilt COM1 (fuer COM%d: COM%d schreiben).\n", fallbacks.Port,
              fallbacks.MeantCom, fallbacks.MeantCom);
    } else if (fallbacks.Port) {
        Print("Hinweis: %s ist keine Schnittstelle, es gilt COM1.\n", fallbacks.Port);
    }
    if (fallbacks.Dtr) Print("Hinweis: %s an 3. Stelle ist nicht -d1, DTR bleibt aus.\n", fallbacks.Dtr);
    if (fallbacks.Rts) Print("Hinweis: %s an 4. Stelle ist nicht -c1, RTS bleibt aus.\n", fallbacks.Rts);
    if (fallbacks.Rate) {
        Print("Hinweis: Baudrate %s nicht in der Tabelle, es gilt 9600 (--baud %s nimmt jede Rate).\n",
              fallbacks.Rate, fallbacks.Rate);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char** arguments = const_cast<const char**>(argv);
    RunOptions = TakeOptions(argc, arguments);
    if (RunOptions.Asked != Request::Capture) Answer(RunOptions, argc, arguments);
    ConsoleStart();
    // Every wait from here on ends as the options say: the failed open's and --wait's too.
    LimitRun({.Keys = !RunOptions.NoKeys, .ForSeconds = RunOptions.ForSeconds});
    PrintBanner();
    if (argc < 2) PrintUsage();
    Fallbacks fallbacks;
    PortSettings = MakeSettings(RunOptions, argc, arguments, DevicePathPrefix, DeviceFolder, fallbacks);
    PrintFallbacks(fallbacks);
    char line[8] = "";
    if (!IsPlain8N1(PortSettings.Line)) LineText(PortSettings.Line, line, sizeof line);
    if (PortSettings.Remote == RemoteKind::Tcp) {  // raw bytes: the server sets the line
        Print("\nSchnittstelle: %s (Baudrate und Leitung stellt der Server)\n", PortName(PortSettings));
    } else {
        Print("\nSchnittstelle: %s Baudrate: %d Baud%s%s\n", PortName(PortSettings), PortSettings.BaudRate,
              *line ? " " : "", line);
    }
    const std::string announced = ExpandedLogName(RunOptions.LogName, std::time(nullptr));  // a dated name as it is now
    Print("Logdatei: %s\n\n", announced.c_str());
    TimeEachLine();  // in a file or a journal, each line from now on says when

    bool succeeded = false;
    // A log that names a device, or that cannot be made, is refused before
    // anything is opened: not a byte goes out of it, no port's lines move.
    const bool logIsAFile = LogCanBeMade(RunOptions.LogName);
    if (logIsAFile) OpenPort();
    if (logIsAFile && !PortIsOpen() && RunOptions.Wait) {
        Print("%s %s ist %s. Warte auf die Schnittstelle ...\n", ClockText(), PortName(PortSettings),
              PortRefused() ? "belegt oder gesperrt" : "nicht da");
        FlushOutput();
        if (AwaitPort()) {
            Print("%s %s ist da.\n", ClockText(), PortName(PortSettings));
        } else if (DeadlinePassed()) {
            Print("%s %s ist nicht gekommen, --for ist um: nichts aufgezeichnet.\n", ClockText(), PortName(PortSettings));
        }
    }
    if (logIsAFile && !PortIsOpen() && RunOptions.Wait) {
        Print("\n");  // the wait ended (a key, a stop, --for): nothing was recorded
    } else if (logIsAFile && !PortIsOpen()) {
        // Only where a key can be pressed (and, with --for, until its time).
        Print(KeyCanEnd() ? "\n\nProgramm beenden mit beliebiger Taste\n" : "\n");
        WaitForKey();
    } else if (logIsAFile) {
        if (PortSettings.BaudRate > PriorityThreshold) RaisePriority();
        succeeded = RunCapture(announced);
    }
    ClosePort();
    // A log that failed before was said; its close may fail again.
    if (const LogProblem closed = CloseLog()) {
        if (succeeded) SayProblem(closed);
        succeeded = false;
    }
    Print("%llu\n", static_cast<unsigned long long>(LoggedBytes()));
    EndProgram(succeeded ? 0 : 1);
}
