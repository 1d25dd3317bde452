// settings.h: the run's settings, read once from the command line.
//
//   TakeOptions()     takes the options ("--word", anywhere) out of argv and
//                     says what the command line asks for: help, the version,
//                     the list of ports, a capture, or nothing (a bad option).
//                     The run keeps them in RunOptions, read by name.
//   ParseArguments()  turns the positional arguments into a Settings record
//                     (never fails: bad arguments fall back to COM1 and 9600
//                     baud, and the fallbacks say which were replaced).
//   MakeSettings()    the port's settings from the options and the arguments.
#pragma once
#include <cstdint>
#include <vector>

#include "../serial/serial.h"  // Settings, PortSettings, PortName

inline constexpr int PriorityThreshold = 38400;   // rates above it raise the priority
inline constexpr std::int32_t LowestRate = 50, HighestRate = 4000000;  // what --baud takes
inline constexpr char DefaultLogName[] = "lumtrex.log";
inline constexpr std::int64_t LongestFor = 36500LL * 86400;  // --for: a hundred years, well within the clock

// Decimal value of an argument: white space, an optional sign, digits.
// Returns false when the value lies outside the 32-bit range.
bool DecimalValue(const char* text, std::int32_t& value);

bool IsSupportedRate(std::int64_t rate);

// A line in its short form, case-insensitive: data bits 5 to 8, parity N, E,
// O, M or S, stop bits 1, 1.5 or 2 ("7E1", "8n2", "5N1.5"); false for any other text.
bool ParseLine(const char* text, LineShape& line);

// A count with an optional unit, one of `units` (any case), each worth its
// factor ("90s", "8h", "100M"): at least 1, digits only before the unit,
// false beyond 2^62 or for any other text. Durations and sizes:
inline constexpr char DurationUnits[] = "smhd";
inline constexpr std::int64_t DurationFactors[] = {1, 60, 3600, 86400};
inline constexpr char SizeUnits[] = "kmg";
inline constexpr std::int64_t SizeFactors[] = {1 << 10, 1 << 20, 1 << 30};
bool UnitValue(const char* text, const char* units, const std::int64_t* factors, std::int64_t& value);

// A log name's fields: %Y %m %d %H %M %S (as strftime fills them) and %% only.
bool DatedNameValid(const char* name);

// What the command line asks for: the usage text ("--help" anywhere, or "-h",
// "-?" or "/?" first), the version, the ports present, or else a capture.
// BadOption: an option unknown or without a usable value; Complaint (a
// printf format for Bad) says which.
enum class Request { Capture, BadOption, Help, Version, List, Show };  // the first asked for wins

enum class SplitKind { None, Day, Hour, Size };
enum class EchoKind { None, Text, Hex };

struct Options {
    Request Asked = Request::Capture;
    const char* LogName = DefaultLogName;  // --log NAME
    bool NoReconnect = false;              // --no-reconnect: a lost device ends the run
    std::int32_t BaudRate = 0;             // --baud N, any rate from LowestRate to HighestRate; 0: not given
    LineShape Line;                        // --line DPS
    std::int64_t ForSeconds = 0;           // --for DURATION: the run ends by itself then; 0: never
    std::int64_t ByteLimit = 0;            // --bytes N: the capture ends once the log holds N bytes; 0: never
    bool NoKeys = false;                   // --no-keys: keys end nothing
    bool Wait = false;                     // --wait: a port missing or held at the start is waited for
    bool AnyDevice = false;                // --any-device: after a gap, whatever device has the port's name
    SplitKind Split = SplitKind::None;     // --split day|hour|SIZE: the capture goes on in a fresh log
    std::int64_t SplitSize = 0;            // with SplitKind::Size, in bytes
    bool Times = false;                    // --times: the time index NAME.times beside the log
    EchoKind Echo = EchoKind::None;        // --echo [hex]: the bytes shown as they arrive
    std::vector<const char*> ShowNames;    // --show NAME (each time it is given): captures shown, nothing recorded
    bool Hex = false;                      // --hex: --show as hex
    bool Follow = false;                   // --follow: --show on as the capture grows
    const char* Bad = nullptr;
    const char* Complaint = nullptr;
};

// Every argument that starts with "--" is an option, wherever it stands; the
// value of one that takes a value is the next argument or follows "=". They
// are taken out of argv, the other arguments keep their order, and argc
// becomes their count (argv[0] included).
Options TakeOptions(int& argc, const char** argv);
// The run's options: filled once by the run sequence, only read afterwards.
extern Options RunOptions;

// The options, one row each: the parser and the usage text both read them.
// Optional: the value follows "=", or is the next argument where the option takes that one.
enum class ValueKind { None, Text, Optional };
struct OptionRow {
    const char* Name;   // after "--"
    ValueKind Kind = ValueKind::None;
    // Where the value goes (null for an option without one); false when the value is not usable.
    bool (*Take)(Options& options, const char* value) = nullptr;
    const char* Shown = nullptr;  // the usage text's left column, null: not listed on its own
    const char* Help = nullptr;   // its usage line(s); a "%s" stands for the example device path
    Request Asks = Request::Capture;  // what an option without a value asks for instead of a capture
    const char* Complaint = nullptr;  // for an unusable value: a printf format for it
    bool Options::*Flag = nullptr;    // the flag an option without a value sets
};
extern const OptionRow OptionTable[];
extern const int OptionCount;

// Where the positional rules replaced an argument, so the user can be told.
struct Fallbacks {
    const char* Port = nullptr;  // no port: COM1 is recorded
    int MeantCom = 0;            // Port is a number from 9 to 255: COMn is written so
    const char* Rate = nullptr;  // not in the table: 9600
    // In 3rd or 4th place something other than -d1, -c1 or what clearly
    // stands for "not raised" (x, -, -d0, -c0): the line stays low.
    const char* Dtr = nullptr;
    const char* Rts = nullptr;
};

// devicePathPrefix: how a device path begins on this system ("\\.\" on
// Windows). deviceFolder: where a system with named devices keeps them
// ("/dev/"), or "" where there is none; there any argument with a "/" is a
// path and a bare name beginning with a letter, other than COMn, a device in
// that folder (valid until the next call).
Settings ParseArguments(int argc, const char* const* argv, const char* devicePathPrefix, const char* deviceFolder,
                        Fallbacks& fallbacks);
// The positional arguments with what the options say of the port: --baud
// (then no rate fallback is said), --line, --any-device, and whether the
// reads are timed (--times, --echo).
Settings MakeSettings(const Options& options, int argc, const char* const* argv, const char* devicePathPrefix,
                      const char* deviceFolder, Fallbacks& fallbacks);
