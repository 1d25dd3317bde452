// The serial ports present on Linux, from sysfs: a listing must open no tty,
// for an open raises DTR and RTS, which resets many boards.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../console/console.h"
#include "line_linux.h"
#include "serial.h"

namespace fs = std::filesystem;

namespace {

std::string FirstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// The UART types the 8250 driver reports most (PORT_8250 to PORT_16550A).
std::string UartType(const std::string& type) {
    static const char* const Names[] = {"", "8250", "16450", "16550", "16550A"};
    const int number = std::atoi(type.c_str());
    if (number >= 1 && number <= 4) return Names[number];
    return "UART-Typ " + type;
}

// The USB device the tty belongs to: the nearest folder above it with a vendor.
std::string UsbIdentity(const fs::path& device) {
    std::error_code error;
    fs::path at = fs::canonical(device, error);
    for (int up = 0; !error && up < 4 && at.has_relative_path(); ++up, at = at.parent_path()) {
        if (!fs::exists(at / "idVendor", error)) continue;
        std::string identity = FirstLine(at / "idVendor") + ":" + FirstLine(at / "idProduct");
        const std::string product = FirstLine(at / "product");
        return product.empty() ? identity : identity + " " + product;
    }
    return "";
}

// The driver of the hardware behind a tty's device: since Linux 6.5 the
// serial core puts devices of its own (its serial-base bus) in between.
std::string DriverOf(const fs::path& device) {
    std::error_code error;
    fs::path at = fs::canonical(device, error);
    for (int up = 0; !error && up < 3; ++up, at = at.parent_path()) {
        const std::string driver = fs::read_symlink(at / "driver", error).string();
        if (!error && driver.find("/serial-base/") == std::string::npos) return fs::path(driver).filename().string();
    }
    return "?";
}

// The stable name udev gave the device, if any: a link that leads to the same
// device. (std::filesystem::equivalent refuses to compare two device nodes.)
std::string StableName(const fs::path& byId, const fs::path& node) {
    struct stat device {}, named {};
    if (stat(node.c_str(), &device) != 0 || !S_ISCHR(device.st_mode)) return "";
    std::error_code error;
    for (fs::directory_iterator entry(byId, error), end; !error && entry != end; entry.increment(error)) {
        if (stat(entry->path().c_str(), &named) == 0 && S_ISCHR(named.st_mode) && named.st_rdev == device.st_rdev) {
            return entry->path().string();
        }
    }
    return "";
}

}  // namespace

std::string PortsUnder(const std::string& sys, const std::string& dev) {
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator entry(sys + "/class/tty", error), end; !error && entry != end; entry.increment(error)) {
        names.push_back(entry->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    std::string lines;
    for (const std::string& name : names) {
        const fs::path tty = fs::path(sys) / "class/tty" / name;
        std::error_code missing;
        if (!fs::exists(tty / "device", missing)) continue;  // a virtual terminal, a pseudo-terminal
        const std::string type = FirstLine(tty / "type");
        if (type == "0") continue;  // an 8250 placeholder without a UART
        std::string line = dev + "/" + name + "  " + DriverOf(tty / "device");
        if (!type.empty()) line += "  " + UartType(type);
        const std::string usb = UsbIdentity(tty / "device");
        if (!usb.empty()) line += "  " + usb;
        const std::string stable = StableName(dev + "/serial/by-id", dev + "/" + name);
        if (!stable.empty()) line += "  " + stable;
        lines += line + "\n";
    }
    return lines;
}

void ListPorts() {
    const std::string lines = PortsUnder("/sys", "/dev");
    if (lines.empty()) {
        Print("Keine serielle Schnittstelle gefunden. Adapter eingesteckt? Rechte: Gruppe dialout "
              "(sudo usermod -aG dialout $USER, dann neu anmelden).\n");
    } else {
        Print("%s", lines.c_str());
    }
}
