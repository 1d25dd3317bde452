// The serial ports present on other POSIX systems: the call-out devices in
// /dev by the names macOS and the BSDs give them; none is opened.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "../console/console.h"
#include "serial_platform.h"

void ListPorts() {
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator entry("/dev", error), end; !error && entry != end; entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        for (const char* start : {"cu.", "cuaU", "cuau", "ttyU", "ttyu"}) {
            if (name.rfind(start, 0) == 0) names.push_back("/dev/" + name);
        }
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) Print("%s\n", name.c_str());
    if (names.empty()) Print("Keine serielle Schnittstelle gefunden. Adapter eingesteckt? Rechte pruefen.\n");
}

// A device's name is all these systems give to find it again.
bool DeviceIdentity(const char* name, std::string& identity, bool) {
    struct stat device {};
    identity.clear();
    return stat(name, &device) == 0;
}

std::vector<std::string> NamesWithIdentity(const std::string&, bool) { return {}; }

bool DeviceSettled(const char*, bool) { return true; }
