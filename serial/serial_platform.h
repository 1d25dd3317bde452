// serial_platform.h: what each operating system supplies to serial.cpp.
// The steps return 0 or the system's error code of the failure.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "serial.h"

enum class ModemLine { Dtr, Rts };

bool CreateReadEvent();
// The device the settings name, as this system opens it: the path the user
// gave, or the COM port's name formatted into `buffer`.
const char* DeviceName(const Settings& settings, char* buffer, std::size_t size);
// Opens for exclusive use and sets PortHandle; on failure nothing stays open.
int OpenDevice(const char* name);
int GetLineState();
// A line for the console when the driver keeps fewer bytes between two reads
// than a moment without a read needs (Windows' receive queue, at the rate in
// use), "" otherwise; POSIX asks for no queue.
std::string ReceiveQueueNote(const char* name);
int SetLineState(int baudRate);
// Our line at the rate GetLineState found, for a port that refused SetLineState;
// PortRate() is that rate, in baud.
int SetLineAtPortRate();
unsigned PortRate();
int SetReadTimeouts();
void PurgePort();
void SetModemLine(ModemLine line, bool raised);  // failures go unnoticed
void CloseDevice();
OpenFault ClassifyOpenError(int code);
// A port's error number with what it means (POSIX: the C library's numbers; Windows: the system's own).
std::string DeviceErrorText(int code);
// How long one byte takes on the line at the rate in use, in microseconds.
std::int64_t ByteMicroseconds();

// What identifies the device behind `name` across a replug, "" where it has
// nothing of its own (Linux: the USB serial number, else the USB port path,
// of a USB adapter, with `atPort` both; Windows: nothing beyond the COM name,
// which Windows gives each device instance); false when no device has the name now.
bool DeviceIdentity(const char* name, std::string& identity, bool atPort = false);
// The names under which a device with `identity` (as DeviceIdentity gives it
// with `atPort`) is present now, in order.
std::vector<std::string> NamesWithIdentity(const std::string& identity, bool atPort = false);
// Whether a node that has just appeared is left alone by the device manager
// now (Linux: udev has finished with a USB node, or about 2 s passed); `usb`:
// DeviceIdentity found a USB adapter behind it.
bool DeviceSettled(const char* name, bool usb);

// A reason the port cannot be used, said as the open sequence says its own:
// once a gap while the port is waited for.
void SayOnceAGap(const char* line);

// A kind of port: the steps of its open and close sequence, as above. The
// system's own serial devices (the functions above) and a port another
// machine exports over the network (remote.cpp); serial.cpp takes the one the
// port's name gives.
struct PortKind {
    int (*Open)(const char* name);
    int (*GetLineState)();
    int (*SetLineState)(int baudRate);
    int (*SetLineAtPortRate)();
    unsigned (*Rate)();
    int (*SetReadTimeouts)();
    void (*Purge)();
    void (*SetModemLine)(ModemLine line, bool raised);
    void (*Close)();
    OpenFault (*Classify)(int code);
    bool (*Identity)(const char* name, std::string& identity, bool atPort);
    std::vector<std::string> (*Elsewhere)(const std::string& identity, bool atPort);
    bool (*Settled)(const char* name, bool usb);
    std::string (*ErrorText)(int code);  // its error number with what it means
};
extern const PortKind RemotePort;
