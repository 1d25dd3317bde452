// serial.h: the serial port of one capture run. It only ever receives.
//
//   OpenPort()   opens the port that PortSettings names for exclusive use,
//                configures it (rate, line as --line asks, 8N1 unless,
//                binary, no flow control, DTR and RTS low), sets the read time-outs, purges it and raises the
//                lines the options ask for. Reports failures on the console.
//                A rate the port refuses or cannot make is reported, and the
//                port keeps its previous rate (said in one line) on the rest
//                of our line. A device that cannot report line settings is
//                no serial port, and one that refuses our line at its
//                previous rate too cannot be used: either is closed again
//                and PortHandle stays invalid.
//   PortIsOpen() whether PortHandle holds an open device afterwards.
//   ReadBlock()  one read of up to `length` bytes (at most ReadSize) under
//                the time-outs; on POSIX it hands over what the driver held
//                before it waits for more, and while bytes stream at the
//                line's rate it takes them a moment (NextReadAfter) after the read before.
//   PortRateInUse() the rate the port records at (after a refusal, the one it kept).
//   ReadQueued() after the capture: a read of the bytes the driver still
//                holds that waits for no more.
//   ReadLineCounters()  the line errors the port has counted so far.
//   ReopenPort() after a lost device: closes it and opens the same port again
//                every 500 ms, the whole sequence, until it is there again
//                or the run is to end (a key, a stop request, the deadline).
//                A USB adapter is known by what identifies it (its serial
//                number, else the USB port it is plugged into): another
//                device under its name is not recorded, and the adapter is
//                followed to another name (unless --any-device).
//   AwaitPort()  the same wait for a port that could not be opened at the start (--wait).
//   ClosePort()  drops the raised lines, closes the device, pauses 250 ms.
//   PortIsCdcAcm() whether the open port is a USB CDC-ACM device.
//   PortHoldsSenderBack() whether its sender waits while its bytes go unread.
//   ListPorts()  prints the serial ports present, opening none.
//
// The decisions, plain functions of plain values: TotalReadTimeout() and
// ReadWaitLeft() (the time-outs), FirstByteAge() and LastByteAge() (when the
// bytes of a read that only tells its end came), NextReadAfter() (the pace
// of reads while bytes stream), ChooseReopening() (which device a reopen
// takes), OpenFaultText() (the message for an open that failed), LineText()
// (a line's short form).
//
// Call OpenPort once, ReadBlock as often as needed, ClosePort once.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr int DefaultBaudRate = 9600;

// Data bits, parity and stop bits.
struct LineShape {
    int DataBits = 8;      // 5 to 8
    char Parity = 'N';     // N, E, O, M (mark) or S (space)
    int HalfStopBits = 2;  // 2: one stop bit, 3: one and a half, 4: two
};
inline bool IsPlain8N1(const LineShape& line) { return line.DataBits == 8 && line.Parity == 'N' && line.HalfStopBits == 2; }
// The line in its short form ("7E1", "5N1.5"), written into `text` (8 bytes do).
const char* LineText(const LineShape& line, char* text, std::size_t size);

// A port another machine exports over the network (remote.h): none, the
// telnet COM port option (rfc2217://), raw bytes (tcp://).
enum class RemoteKind { None, Rfc2217, Tcp };

// The port a run records and how.
struct Settings {
    int PortIndex = 0;                 // COM number minus one (0 to 254)
    int BaudRate = DefaultBaudRate;    // a rate of the table, or any the user asked for by --baud
    bool DtrOption = false;            // raise DTR while capturing
    bool RtsOption = false;            // raise RTS while capturing
    LineShape Line;                    // 8N1 unless --line asks for another
    const char* DevicePath = nullptr;  // a device named by path, else null (after a move: the new name)
    RemoteKind Remote = RemoteKind::None;  // a remote port, named by DevicePath
    bool AnyDevice = false;            // --any-device: a reopen records whatever device has the name
    bool TimedReads = false;           // --times, --echo: reads under TimedReadTimeouts where the system has them
    char ComName[8] = "COM1";          // "COM<PortIndex + 1>"
};

// Filled once by the run sequence before OpenPort, only read afterwards.
extern Settings PortSettings;

// The port as the user named it, for every message.
inline const char* PortName(const Settings& settings) {
    return settings.DevicePath ? settings.DevicePath : settings.ComName;
}

// A file descriptor on POSIX, a HANDLE on Windows; all bits set when closed.
using PortHandleType = std::intptr_t;
inline constexpr PortHandleType InvalidPortHandle = -1;
extern PortHandleType PortHandle;

inline constexpr std::uint32_t BlockSize = 1024;
// The most one read takes on this system: a block on Windows, whose read
// time-outs count from it; on POSIX all the driver holds, up to LargestRead.
inline constexpr std::uint32_t LargestRead = 64 * 1024;
extern const std::uint32_t ReadSize;

// Read time-outs in milliseconds, in the shape of the Windows record: a read
// ends when more than ReadIntervalTimeout passes between two bytes, or after
// ReadTotalTimeoutMultiplier * length + ReadTotalTimeoutConstant in all.
struct ReadTimeouts {
    std::uint32_t ReadIntervalTimeout;
    std::uint32_t ReadTotalTimeoutMultiplier;
    std::uint32_t ReadTotalTimeoutConstant;
};
inline constexpr ReadTimeouts PortTimeouts{1000, 2, 2};
// Where a read only tells when it ended (Windows) and the arrival times are
// asked for (--times, --echo): a read ends 20 ms after a burst instead, so
// that its end says when the burst came. The log receives the same bytes.
inline constexpr ReadTimeouts TimedReadTimeouts{20, 2, 2};

std::int64_t TotalReadTimeout(const ReadTimeouts& timeouts, std::uint32_t length);

// How long a read may still wait, in ms; 0 or less means it has timed out.
// `sinceLastByte` only counts once a byte has arrived.
std::int64_t ReadWaitLeft(const ReadTimeouts& timeouts, std::uint32_t length, std::int64_t elapsed,
                          std::int64_t sinceLastByte, bool anyByte);

enum class ReadEnd {
    Complete,    // every byte asked for arrived
    TimedOut,    // a time-out ended the read early
    Stopped,     // a stop request ended the read early
    ShortAtOnce, // it ended at once with part of a block: the user is shown its first bytes
    Paused,      // the driver held no more: what arrived is handed over before the read waits
    Failed,      // the system reported a fault (the user has been told)
    Aborted,     // a line error aborted the read: read again
    DeviceLost,  // the device is gone for good
};

struct ReadResult {
    std::uint32_t Delivered = 0;  // bytes placed in the buffer, on every path
    ReadEnd End = ReadEnd::TimedOut;
    std::int64_t FirstByteAgeMs = 0;  // how long before the read ended its first byte arrived, as far as known
    std::int64_t LastByteAgeMs = 0;   // and its last
    std::uint32_t Queued = 0;         // the first of them the driver held when the read began (Windows)
    std::int64_t ArrivedAgeMs = 0;    // how long before the end the first byte after those arrived
    bool KeysWatched = false;         // it waited, and a key would have ended it (POSIX)
};

// While bytes stream at about the line's rate (a read brought what the line
// carries in 3/4 to 2 times the time since the read before), the next read
// waits a moment and takes what came meanwhile in one go: at most
// StreamPause, and no longer than half a terminal read's worth of bytes take
// on the line, so the terminal layer's buffer never fills (so not at all
// above about 2 Mbaud, where that is under ShortestPause). After a pause, when
// bytes come faster than a line carries them (a pseudo-terminal), or after a
// read that took all a terminal read gives (more may wait), the next read
// takes the first byte at once. 0 or the wait, in ms. With --times or --echo
// reads do not wait so: a pause inside the wait would have no time line.
inline constexpr std::int64_t StreamPause = 50;
inline constexpr std::int64_t ShortestPause = 10;
inline constexpr std::uint32_t TerminalRead = 4095;  // the most Linux's terminal layer hands over in one read
std::int64_t NextReadAfter(std::uint32_t delivered, std::int64_t sinceLastMs, std::int64_t byteMicroseconds);

// Where a read that took `elapsedMs` only tells when it ended (Windows): how
// long before its end the first of `delivered` bytes that arrived during it
// came (the first `queued` were in the driver before it began: the read's
// whole time for none else). A full read ended on its last byte; a short one
// on the interval time-out after its last byte, or on the total time-out
// (the last byte then within the interval before, taken halfway); the bytes
// before the last came a byte time apart.
std::int64_t FirstByteAge(const ReadTimeouts& timeouts, std::uint32_t asked, std::uint32_t delivered, std::uint32_t queued,
                          std::int64_t elapsedMs, std::int64_t byteMicroseconds);
std::int64_t LastByteAge(const ReadTimeouts& timeouts, std::uint32_t asked, std::uint32_t delivered, std::int64_t elapsedMs);

void OpenPort();
bool PortIsOpen();
// Whether the last try to open the port was refused (another program holds
// it, or no rights), not that it is missing.
bool PortRefused();
unsigned PortRateInUse();
// How long one byte of the run's line takes at `rate`, in microseconds.
std::int64_t ByteMicrosecondsAt(unsigned rate);
// True once the port is open again; false when the run is to end first (the
// port is then closed). Says once per gap why a port that is there cannot be
// used (held by another program, refused), never that it is missing.
bool ReopenPort();
bool AwaitPort();

// What a reopen does with the name, for an adapter first opened with
// `noted` identity ("" for a device without one: an onboard UART, a
// pseudo-terminal, a Windows COM name, which is its device's identity):
// open it (Name), open the adapter under its new name (Follow), leave
// another device alone (Other), or wait (nothing has the name).
enum class Reopening { Name, Follow, Other, Wait };
Reopening ChooseReopening(const std::string& noted, bool anyDevice, bool present, const std::string& now,
                          bool foundElsewhere);
// Whether another adapter has our adapter's serial number (CP210x adapters
// ship with 0001, clone FTDI chips share one), from the identities with the
// USB port (`ours` as first opened) of the ttys with that serial number now:
// at the first open or as a gap begins, any at another port; while a gap
// lasts (`oursMayBeBack`, perhaps in another port), two or more. From then
// on the adapter is known by its USB port as well.
bool TwinSeen(const std::vector<std::string>& atPorts, const std::string& ours, bool oursMayBeBack);
void ClosePort();
// Whether the open port is a USB CDC-ACM device (Linux: driver cdc_acm;
// Windows: usbser), whose board may send only once DTR is raised.
bool PortIsCdcAcm();
// Whether the open port's sender waits while its bytes go unread, so that
// none is lost (a pseudo-terminal); a UART or a USB adapter overflows instead.
bool PortHoldsSenderBack();
// One line a port (its name, driver and what identifies it), or a line that
// says none was found and what to check.
void ListPorts();
// True exactly when all `length` bytes arrived; `result` tells the rest.
// `limitMs`: where the program waits itself (POSIX), at most that many ms
// for a first byte (-1: the time-outs alone); Windows' read time-outs decide there.
// `beforeWait`, where given, is called once before the read waits while
// bytes stream, or once it has waited HandOnAfter for the port: what came
// before is handed on then (bytes that follow at once join it).
inline constexpr std::int64_t HandOnAfter = 5;  // ms
bool ReadBlock(PortHandleType port, unsigned char* buffer, std::uint32_t length, ReadResult& result,
               int limitMs = -1, void (*beforeWait)() = nullptr);

// A read of up to `length` of the bytes the driver holds now that waits for
// no more: the bytes placed in `buffer`.
std::uint32_t ReadQueued(PortHandleType port, unsigned char* buffer, std::uint32_t length);

// Running counts of the line errors the port reported, each wrapping at 2^32
// as the systems keep them; only the difference between two readings means
// anything.
struct LineCounters {
    std::uint32_t Overrun = 0;        // the receiver's FIFO overflowed
    std::uint32_t BufferOverrun = 0;  // the driver's queue overflowed
    std::uint32_t Frame = 0;          // a byte without its stop bit: usually the wrong rate
    std::uint32_t Break = 0;          // the line held low for longer than a byte
    std::uint32_t Parity = 0;         // a byte whose parity bit was wrong
};
// The open port's counters now; false where the system keeps none.
bool ReadLineCounters(LineCounters& counters);

// How an open failure is reported: the two faults with a text of their own,
// and every other one with its code.
enum class OpenFault { None, NotFound, AccessDenied, Other };
const char* OpenFaultText(OpenFault fault);

// How device paths begin on this system; any other argument names a COM port.
extern const char DevicePathPrefix[];
// A device path as a user of this system would give it, for the usage text.
extern const char DevicePathExample[];
// Where this system keeps its named devices ("/dev/"), or "" where a port is
// not named so.
extern const char DeviceFolder[];
