// lumtrex: records the bytes arriving at one serial port into lumtrex.log.
#include "../console/console.h"
#include "../serial/serial.h"
#include "capture.h"
#include "priority.h"
#include "settings.h"
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

// Asked for help or the version: says it and ends, touching no port, file or terminal mode.
[[noreturn]] void Answer(Request request) {
    OutputStart();
    if (request == Request::Version) {
        Print("lumtrex %s\n", LumtrexVersion);
    } else {
        PrintBanner();
        PrintUsage();
        Print("Comport: 1-8, COMn oder ein Geraetepfad (z.B. %s); RTS allein: lumtrex 1 9600 x -c1\n",
              DevicePathExample);
    }
    EndProgram(0);
}

}  // namespace

int main(int argc, char** argv) {
    if (const Request request = RequestOf(argc, argv); request != Request::Capture) Answer(request);
    ConsoleStart();
    PrintBanner();
    if (argc < 2) PrintUsage();
    PortSettings = ParseArguments(argc, argv, DevicePathPrefix);
    Print("\nSchnittstelle: %s Baudrate: %d Baud\n\n", PortName(PortSettings), PortSettings.BaudRate);

    OpenPort();
    bool succeeded = PortIsOpen();
    if (!succeeded) {
        Print("\n\nProgramm beenden mit beliebiger Taste\n");
        WaitForKey();
    } else {
        if (PortSettings.BaudRate > PriorityThreshold) RaisePriority();
        succeeded = RunCapture();
    }
    ClosePort();
    if (!CloseLog()) succeeded = false;
    Print("%llu\n", static_cast<unsigned long long>(ByteCount));
    EndProgram(succeeded ? 0 : 1);
}
