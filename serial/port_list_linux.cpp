// The serial ports present on Linux, from sysfs: a listing must open no tty,
// for an open raises DTR and RTS, which resets many boards.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../console/console.h"
#include "line_linux.h"
#include "serial_platform.h"

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

// What identifies the USB adapter a tty belongs to across a replug: its
// vendor and product with its serial number, or the USB port it is plugged
// into where it has none (two CH340s, most PL2303s), or with `atPort` both
// (two adapters with one serial number); the interface and port number for a
// tty of a dual adapter. "" for a tty without a USB device behind it.
std::string UsbPortIdentity(const fs::path& device, bool atPort) {
    std::error_code error;
    const fs::path tty = fs::canonical(device, error);
    if (error) return "";
    const std::string port = FirstLine(tty / "port_number");  // a usb-serial port; cdc_acm has none
    fs::path at = tty;
    for (int up = 0; up < 4 && at.has_relative_path(); ++up, at = at.parent_path()) {
        if (!fs::exists(at / "bInterfaceNumber", error)) continue;
        const fs::path usb = at.parent_path();
        const std::string serial = FirstLine(usb / "serial"), part = FirstLine(at / "bInterfaceNumber");
        std::string identity = FirstLine(usb / "idVendor") + ":" + FirstLine(usb / "idProduct");
        const std::string where = " an USB-Port " + usb.filename().string();
        identity += serial.empty() ? where : " Nr. " + serial + (atPort ? where : "");
        if (part != "00" || (!port.empty() && port != "0")) identity += " Teil " + part + (port.empty() ? "" : "." + port);
        return identity;
    }
    return "";
}

// The sysfs device behind a device node, such as /sys/dev/char/188:0/device.
bool NodeDevice(const char* name, dev_t& number, fs::path& device) {
    struct stat node {};
    if (stat(name, &node) != 0) return false;
    number = node.st_rdev;
    char path[64];
    std::snprintf(path, sizeof path, "/sys/dev/char/%u:%u/device", major(node.st_rdev), minor(node.st_rdev));
    device = S_ISCHR(node.st_mode) ? fs::path(path) : fs::path();
    return true;
}

}  // namespace

std::string DriverOf(const std::string& device) {
    std::error_code error;
    fs::path at = fs::canonical(device, error);
    for (int up = 0; !error && up < 3; ++up, at = at.parent_path()) {
        const std::string driver = fs::read_symlink(at / "driver", error).string();
        if (!error && driver.find("/serial-base/") == std::string::npos) return fs::path(driver).filename().string();
    }
    return "";
}

bool SettledFor(bool udevRuns, bool recorded, std::int64_t sinceSeenMs) {
    return !udevRuns || recorded || sinceSeenMs >= 2000;
}

bool DeviceIdentity(const char* name, std::string& identity, bool atPort) {
    dev_t number = 0;
    fs::path device;
    if (!NodeDevice(name, number, device)) return false;
    identity = device.empty() ? "" : UsbPortIdentity(device, atPort);
    return true;
}

std::vector<std::string> NamesWithIdentity(const std::string& identity, bool atPort) {
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator entry("/sys/class/tty", error), end; !error && entry != end; entry.increment(error)) {
        std::error_code missing;
        if (!fs::exists(entry->path() / "device", missing) || UsbPortIdentity(entry->path() / "device", atPort) != identity) continue;
        const std::string name = "/dev/" + entry->path().filename().string();
        struct stat node {};
        if (stat(name.c_str(), &node) == 0) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A modem manager probes a USB node that has just appeared (it opens it,
// flushes it, sends AT commands): such a node is left alone until udev, which
// tells the manager, has finished with it, or 2 s have passed.
bool DeviceSettled(const char* name, bool usb) {
    using Clock = std::chrono::steady_clock;
    static dev_t seen = 0;
    static Clock::time_point seenAt;
    struct stat node {};
    if (stat(name, &node) != 0 || !usb) {
        seen = 0;  // gone (or no adapter): when it comes back, it is new
        return true;
    }
    const dev_t number = node.st_rdev;
    if (number != seen) seenAt = Clock::now();
    seen = number;
    char record[64];
    std::snprintf(record, sizeof record, "/run/udev/data/c%u:%u", major(number), minor(number));
    const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - seenAt).count();
    return SettledFor(access("/run/udev/control", F_OK) == 0, access(record, F_OK) == 0, since);
}

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
        const std::string driver = DriverOf(tty / "device");
        std::string line = dev + "/" + name + "  " + (driver.empty() ? "?" : driver);
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
