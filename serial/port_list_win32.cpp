// The serial ports present on Windows; no port is opened. Every COM name the
// drivers registered (HARDWARE\DEVICEMAP\SERIALCOMM) that still names a
// device (a driver may leave its entry behind when its device is gone), and
// every one that only the DOS device names know (some virtual and vendor
// drivers), each once, by number; with the name Device Manager shows and
// the USB IDs where SetupAPI knows them. SetupAPI is loaded only here: it brings user32, and a
// console program with user32 gets no logoff or shutdown event.
#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../console/console.h"
#include "serial.h"
#include "serial_win32.h"

namespace {

struct Port {
    int Number = 0;
    std::string Name, Device, Friendly, HardwareId;
};

int ComNumber(const std::string& name) {
    if (name.size() < 4 || _strnicmp(name.c_str(), "COM", 3) != 0) return 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return 0;
    }
    return std::atoi(name.c_str() + 3);
}

Port* Find(std::vector<Port>& ports, const std::string& name) {
    for (Port& port : ports) {
        if (_stricmp(port.Name.c_str(), name.c_str()) == 0) return &port;
    }
    return nullptr;
}

void FromRegistry(std::vector<Port>& ports) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    for (DWORD index = 0;; ++index) {
        char device[256], com[64];
        DWORD deviceSize = sizeof device, comSize = sizeof com - 1, type = 0;
        const LONG result =
            RegEnumValueA(key, index, device, &deviceSize, nullptr, &type, reinterpret_cast<BYTE*>(com), &comSize);
        if (result == ERROR_MORE_DATA) continue;
        if (result != ERROR_SUCCESS) break;
        if (type != REG_SZ) continue;
        com[comSize] = 0;
        if (ComNumber(com) > 0 && DosNameKnown(com) && !Find(ports, com)) ports.push_back({ComNumber(com), com, device, "", ""});
    }
    RegCloseKey(key);
}

void FromDosDevices(std::vector<Port>& ports) {
    std::vector<char> names(1 << 16);
    DWORD length = 0;
    while ((length = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()))) == 0 &&
           GetLastError() == ERROR_INSUFFICIENT_BUFFER && names.size() < (1u << 24)) {
        names.resize(names.size() * 2);
    }
    for (const char* name = names.data(); length > 0 && *name; name += std::strlen(name) + 1) {
        char target[512] = {};
        if (ComNumber(name) == 0 || Find(ports, name)) continue;
        if (QueryDosDeviceA(name, target, sizeof target) == 0) target[0] = 0;
        ports.push_back({ComNumber(name), name, target, "", ""});
    }
}

std::string Property(HDEVINFO devices, SP_DEVINFO_DATA& device, DWORD property,
                     decltype(&SetupDiGetDeviceRegistryPropertyA) get) {
    char text[512] = {};
    DWORD type = 0;
    return get(devices, &device, property, &type, reinterpret_cast<BYTE*>(text), sizeof text - 2, nullptr) ? text : "";
}

void FromSetupApi(std::vector<Port>& ports) {
    const HMODULE setup = LoadLibraryExA("setupapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);  // never a copy beside the program
    if (!setup) return;
    const auto classDevices = reinterpret_cast<decltype(&SetupDiGetClassDevsA)>(
        reinterpret_cast<void*>(GetProcAddress(setup, "SetupDiGetClassDevsA")));
    const auto enumerate = reinterpret_cast<decltype(&SetupDiEnumDeviceInfo)>(
        reinterpret_cast<void*>(GetProcAddress(setup, "SetupDiEnumDeviceInfo")));
    const auto property = reinterpret_cast<decltype(&SetupDiGetDeviceRegistryPropertyA)>(
        reinterpret_cast<void*>(GetProcAddress(setup, "SetupDiGetDeviceRegistryPropertyA")));
    const auto openKey = reinterpret_cast<decltype(&SetupDiOpenDevRegKey)>(
        reinterpret_cast<void*>(GetProcAddress(setup, "SetupDiOpenDevRegKey")));
    const auto destroy = reinterpret_cast<decltype(&SetupDiDestroyDeviceInfoList)>(
        reinterpret_cast<void*>(GetProcAddress(setup, "SetupDiDestroyDeviceInfoList")));
    // GUID_DEVCLASS_PORTS: "Ports (COM & LPT)".
    static const GUID PortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    const HDEVINFO devices =
        classDevices && enumerate && property && openKey && destroy ? classDevices(&PortsClass, nullptr, nullptr, DIGCF_PRESENT)
                                                                    : INVALID_HANDLE_VALUE;
    for (DWORD index = 0; devices != INVALID_HANDLE_VALUE; ++index) {
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        if (!enumerate(devices, index, &device)) break;
        const HKEY key = openKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        char name[64] = {};
        DWORD size = sizeof name - 1, type = 0;
        const bool named = RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size) ==
                           ERROR_SUCCESS && type == REG_SZ;
        RegCloseKey(key);
        if (Port* port = named ? Find(ports, name) : nullptr) {
            port->Friendly = Property(devices, device, SPDRP_FRIENDLYNAME, property);
            port->HardwareId = Property(devices, device, SPDRP_HARDWAREID, property);  // the first of its list
        }
    }
    if (devices != INVALID_HANDLE_VALUE) destroy(devices);
    FreeLibrary(setup);
}

std::string Hex4After(const std::string& text, const char* key) {
    std::string upper = text;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::size_t at = upper.find(key);
    if (at == std::string::npos || at + std::strlen(key) + 4 > text.size()) return "";
    std::string digits = text.substr(at + std::strlen(key), 4);
    for (char& c : digits) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return "";
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return digits;
}

}  // namespace

std::string PortLine(const std::string& com, const std::string& device, const std::string& friendly,
                     const std::string& hardwareId, std::size_t width) {
    std::string name = friendly;
    // "USB Serial Port (COM5)": the number stands first already.
    const std::string suffix = " (" + com + ")";
    if (name.size() > suffix.size() && _stricmp(name.c_str() + name.size() - suffix.size(), suffix.c_str()) == 0) {
        name.erase(name.size() - suffix.size());
    }
    const std::string column = com + std::string(std::max(width, com.size()) - com.size() + 2, ' ');
    if (name.empty()) return column + device;
    const std::string vendor = Hex4After(hardwareId, "VID_"), product = Hex4After(hardwareId, "PID_");
    return column + name + (vendor.empty() || product.empty() ? "" : "  " + vendor + ":" + product);
}

void ListPorts() {
    std::vector<Port> ports;
    FromRegistry(ports);
    FromDosDevices(ports);
    FromSetupApi(ports);
    std::sort(ports.begin(), ports.end(), [](const Port& a, const Port& b) { return a.Number < b.Number; });
    std::size_t width = 0;
    for (const Port& port : ports) width = std::max(width, port.Name.size());
    for (const Port& port : ports) {
        Print("%s\n", PortLine(port.Name, port.Device, port.Friendly, port.HardwareId, width).c_str());
    }
    if (ports.empty()) {
        Print("Keine serielle Schnittstelle gefunden. Adapter eingesteckt? Treiber im Geraete-Manager pruefen "
              "(Anschluesse (COM & LPT)).\n");
    }
}
