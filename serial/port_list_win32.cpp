// The serial ports present on Windows, as the drivers registered them; no
// port is opened. The device name tells the driver: \Device\Serial0 an
// onboard port, \Device\VCP0 an FTDI adapter, \Device\USBSER000 a CDC one.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "../console/console.h"
#include "serial.h"

void ListPorts() {
    std::vector<std::pair<int, std::string>> ports;  // the COM number, the line
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) == ERROR_SUCCESS) {
        for (DWORD index = 0;; ++index) {
            char device[256], com[64];
            DWORD deviceSize = sizeof device, comSize = sizeof com - 1, type = 0;
            const LONG result = RegEnumValueA(key, index, device, &deviceSize, nullptr, &type,
                                              reinterpret_cast<BYTE*>(com), &comSize);
            if (result == ERROR_MORE_DATA) continue;
            if (result != ERROR_SUCCESS) break;
            if (type != REG_SZ) continue;
            com[comSize] = 0;
            const int number = (com[0] | 0x20) == 'c' ? std::atoi(com + 3) : 0;
            ports.emplace_back(number, std::string(com) + "  " + device);
        }
        RegCloseKey(key);
    }
    std::sort(ports.begin(), ports.end());
    for (const auto& port : ports) Print("%s\n", port.second.c_str());
    if (ports.empty()) {
        Print("Keine serielle Schnittstelle gefunden. Adapter eingesteckt? Treiber im Geraete-Manager pruefen "
              "(Anschluesse (COM & LPT)).\n");
    }
}
