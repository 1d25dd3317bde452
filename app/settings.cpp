#include "settings.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <cstring>
#include <string>

#include "../serial/remote.h"

namespace {

// Above 115200 the rates of current adapters and microcontrollers; 2500000
// and above 3000000 stay out: common adapters cannot make them, and their
// driver silently sends another rate.
constexpr std::int32_t SupportedRates[] = {150,     300,     600,     1200,    2400,    4800,   9600,
                                           14400,   19200,   28800,   38400,   57600,   76800,  115200,
                                           230400,  460800,  500000,  576000,  921600,  1000000, 1152000,
                                           1500000, 2000000, 3000000};
constexpr int MaxComNumber = 255;
constexpr int HighestNumberedPort = 8;  // a bare number names COM1 to COM8
constexpr char Unknown[] = "Unbekannte Option %s (lumtrex --help zeigt alle)\n";
constexpr char NoValue[] = "Option %s braucht einen Wert (lumtrex --help zeigt alle)\n";
constexpr char BadLine[] = "Leitung %s geht nicht: --line nimmt z.B. 8N1, 7E1, 8O2 oder 5N1.5 (lumtrex --help zeigt alle)\n";
constexpr char BadDuration[] = "Dauer %s geht nicht: --for nimmt z.B. 90s, 30m, 8h, 7d oder Sekunden (lumtrex --help zeigt alle)\n";
constexpr char BadCount[] = "Anzahl %s geht nicht: --bytes nimmt eine Zahl ab 1 (lumtrex --help zeigt alle)\n";
constexpr char BadLogName[] = "Logdatei %s geht nicht: ein Name nimmt %%Y %%m %%d %%H %%M %%S und %%%% (lumtrex --help zeigt alle)\n";
constexpr char BadSplit[] = "Teilung %s geht nicht: --split nimmt day, hour oder eine Groesse ab 1K wie 100M (lumtrex --help zeigt alle)\n";
constexpr std::int64_t SmallestSplit = 1024;  // (--split 1 hour, a typo, made parts of one byte)
constexpr char BadEcho[] = "Ansicht %s geht nicht: --echo nimmt hex oder nichts (lumtrex --help zeigt alle)\n";
constexpr char BadRate[] = "Baudrate %s geht nicht: --baud nimmt 50 bis 4000000 (lumtrex --help zeigt alle)\n";
std::string NamedDevice;  // a bare device name in the system's device folder

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// "COMn" in any case, n from 1 to MaxComNumber without sign or blanks; the
// DOS form "COMn:" too.
bool ComNumber(const char* text, int& number) {
    if (std::strlen(text) < 4) return false;
    for (int i = 0; i < 3; ++i) {
        if ((text[i] | 0x20) != "com"[i]) return false;
    }
    number = 0;
    for (const char* p = text + 3; *p; ++p) {
        if (*p == ':' && p[1] == 0 && p > text + 3) break;
        if (!IsDigit(*p)) return false;
        number = number * 10 + (*p - '0');
        if (number > MaxComNumber) return false;
    }
    return number >= 1;
}

void SetPort(Settings& settings, const char* argument, const char* devicePathPrefix, const char* deviceFolder,
             Fallbacks& fallbacks) {
    settings.Remote = RemoteKindOf(argument);
    if (settings.Remote != RemoteKind::None) {  // a port another machine exports
        settings.DevicePath = argument;
        return;
    }
    const bool namedDevices = *deviceFolder != 0;
    const std::size_t prefixLength = std::strlen(devicePathPrefix);
    const bool isPath = namedDevices ? std::strchr(argument, '/') != nullptr
                                     : prefixLength > 0 && std::strncmp(argument, devicePathPrefix, prefixLength) == 0;
    if (isPath) {
        settings.DevicePath = argument;
        return;
    }
    int number = 0;
    std::int32_t value = 0;
    const bool numeric = DecimalValue(argument, value);
    if (ComNumber(argument, number)) {
        settings.PortIndex = number - 1;
    } else if (numeric && value >= 1 && value <= HighestNumberedPort) {
        settings.PortIndex = value - 1;
    } else if (namedDevices && IsLetter(argument[0])) {
        NamedDevice = std::string(deviceFolder) + argument;
        settings.DevicePath = NamedDevice.c_str();
        return;
    } else {
        settings.PortIndex = 0;
        fallbacks.Port = argument;
        if (numeric && value > HighestNumberedPort && value <= MaxComNumber) fallbacks.MeantCom = value;
    }
    std::snprintf(settings.ComName, sizeof settings.ComName, "COM%d", settings.PortIndex + 1);
}

// A rate for --baud: digits only, within the range.
bool RateValue(const char* text, std::int32_t& rate) {
    if (!IsDigit(*text)) return false;
    for (const char* p = text; *p; ++p) {
        if (!IsDigit(*p)) return false;
    }
    return DecimalValue(text, rate) && rate >= LowestRate && rate <= HighestRate;
}

void Refuse(Options& options, const char* bad, const char* complaint) {
    if (options.Asked == Request::BadOption) return;  // the first is said
    options.Asked = Request::BadOption;
    options.Bad = bad;
    options.Complaint = complaint;
}

// Where each option's value goes.
bool TakeRate(Options& options, const char* value) {
    std::int32_t rate = 0;
    if (!RateValue(value, rate)) return false;
    options.BaudRate = rate;
    return true;
}
bool TakeLine(Options& options, const char* value) { return ParseLine(value, options.Line); }
bool TakeDuration(Options& options, const char* value) {
    return UnitValue(value, DurationUnits, DurationFactors, options.ForSeconds) && options.ForSeconds <= LongestFor;
}
bool TakeByteLimit(Options& options, const char* value) { return UnitValue(value, "", nullptr, options.ByteLimit); }
bool TakeLogName(Options& options, const char* value) {
    options.LogName = value;
    return DatedNameValid(value);
}
bool TakeSplit(Options& options, const char* value) {
    options.Split = std::strcmp(value, "day") == 0 ? SplitKind::Day : std::strcmp(value, "hour") == 0 ? SplitKind::Hour : SplitKind::Size;
    return options.Split != SplitKind::Size ||
           (UnitValue(value, SizeUnits, SizeFactors, options.SplitSize) && options.SplitSize >= SmallestSplit);
}
bool TakeEcho(Options& options, const char* value) {
    if (value && std::strcmp(value, "hex") != 0) return false;
    options.Echo = value ? EchoKind::Hex : EchoKind::Text;
    return true;
}
bool TakeShow(Options& options, const char* value) {
    options.ShowNames.push_back(value);
    if (options.Asked == Request::Capture) options.Asked = Request::Show;
    return true;
}

const OptionRow* FindOption(const char* name, std::size_t length) {
    for (int i = 0; i < OptionCount; ++i) {
        const char* word = OptionTable[i].Name;
        if (std::strlen(word) == length && std::strncmp(name, word, length) == 0) return &OptionTable[i];
    }
    return nullptr;
}

// Takes the option in argv[at] (and a value after it); `at` then stands on the last argument it used.
void TakeOption(Options& options, int argc, const char** argv, int& at) {
    const char* option = argv[at];
    const char* name = option + 2;
    const char* equals = std::strchr(name, '=');
    const std::size_t length = equals ? static_cast<std::size_t>(equals - name) : std::strlen(name);
    const OptionRow* row = FindOption(name, length);
    if (!row || (row->Kind == ValueKind::None && equals)) {
        Refuse(options, option, Unknown);
        return;
    }
    if (row->Kind == ValueKind::None) {
        if (row->Flag) {
            options.*row->Flag = true;
        } else if (options.Asked == Request::Capture || row->Asks < options.Asked) {
            options.Asked = row->Asks;  // a bad option before help, help before the version, the version before the list
        }
        return;
    }
    const char* value = equals ? equals + 1 : nullptr;
    const bool next = !equals && at + 1 < argc && std::strncmp(argv[at + 1], "--", 2) != 0;
    if (row->Kind == ValueKind::Optional && !equals) {  // the next argument only where it is this option's
        if (!next || !row->Take(options, argv[at + 1])) row->Take(options, nullptr); else ++at;
        return;
    }
    if (next) value = argv[++at];
    if (!value || !*value) {
        Refuse(options, option, NoValue);
    } else if (!row->Take(options, value)) {
        Refuse(options, value, row->Complaint ? row->Complaint : NoValue);
    }
}

}  // namespace

const OptionRow OptionTable[] = {
    {.Name = "baud", .Kind = ValueKind::Text, .Take = TakeRate, .Shown = "--baud N",
     .Help = "jede Rate von 50 bis 4000000 statt der Tabelle (lumtrex %s --baud 74880)", .Complaint = BadRate},
    {.Name = "line", .Kind = ValueKind::Text, .Take = TakeLine, .Shown = "--line DPS",
     .Help = "Datenbits 5-8, Paritaet N/E/O/M/S, Stopbits 1/1.5/2 statt 8N1, z.B. 7E1 (Waage,\n"
             "                  Zaehler am optischen Kopf) oder 8E1 (Modbus RTU)",
     .Complaint = BadLine},
    {.Name = "log", .Kind = ValueKind::Text, .Take = TakeLogName, .Shown = "--log NAME",
     .Help = "Logdatei NAME statt lumtrex.log, z.B. ein Geraet je Datei:\n"
             "                  lumtrex 3 9600 --log waage.log und lumtrex 4 9600 --log ofen.log;\n"
             "                  mit Datum: --log waage-%%Y%%m%%d.log (%%Y %%m %%d %%H %%M %%S, %%%%)",
     .Complaint = BadLogName},
    {.Name = "split", .Kind = ValueKind::Text, .Take = TakeSplit, .Shown = "--split ART",
     .Help = "day, hour oder eine Groesse (100M, 2G): weiter in einer neuen Logdatei, kein Byte\n"
             "                  geht verloren; die fertige bleibt wie eine fruehere Aufnahme",
     .Complaint = BadSplit},
    {.Name = "list", .Shown = "--list", .Help = "zeigt die vorhandenen Schnittstellen, oeffnet keine", .Asks = Request::List},
    {.Name = "no-reconnect", .Shown = "--no-reconnect", .Help = "eine verlorene Schnittstelle beendet den Empfang (sonst: warten)",
     .Flag = &Options::NoReconnect},
    {.Name = "wait", .Shown = "--wait", .Help = "fehlt die Schnittstelle beim Start oder ist belegt: warten (Dienst)",
     .Flag = &Options::Wait},
    {.Name = "any-device", .Shown = "--any-device",
     .Help = "nach einer Luecke jedes Geraet unter dem Namen, nicht nur derselbe Adapter", .Flag = &Options::AnyDevice},
    {.Name = "for", .Kind = ValueKind::Text, .Take = TakeDuration, .Shown = "--for DAUER",
     .Help = "endet nach 90s, 30m, 8h, 7d (oder Sekunden) von selbst, Status 0", .Complaint = BadDuration},
    {.Name = "bytes", .Kind = ValueKind::Text, .Take = TakeByteLimit, .Shown = "--bytes N",
     .Help = "endet, sobald das Log genau N Bytes hat, Status 0", .Complaint = BadCount},
    {.Name = "no-keys", .Shown = "--no-keys", .Help = "Tasten beenden nichts (nur Strg+C, ein Signal, --for, --bytes), z.B. in tmux",
     .Flag = &Options::NoKeys},
    {.Name = "times", .Shown = "--times", .Help = "Zeitindex NAME.times neben dem Log: wann welche Bytes kamen, auf die ms",
     .Flag = &Options::Times},
    {.Name = "echo", .Kind = ValueKind::Optional, .Take = TakeEcho, .Shown = "--echo [hex]",
     .Help = "zeigt die Bytes beim Empfang wie --show ueber der Zahl; das Log bleibt roh", .Complaint = BadEcho},
    {.Name = "show", .Kind = ValueKind::Text, .Take = TakeShow, .Shown = "--show NAME",
     .Help = "zeigt die Aufnahme NAME lesbar, mit Zeiten aus NAME.times (--hex: 16 Bytes je Zeile)"},
    {.Name = "hex", .Flag = &Options::Hex},
    {.Name = "follow", .Shown = "--follow",
     .Help = "mit --show: zeigt weiter, was dazukommt (wie tail -f), auch ueber --split-Grenzen; Ende mit Taste",
     .Flag = &Options::Follow},
    {.Name = "help", .Shown = "--help, --version", .Help = "", .Asks = Request::Help},
    {.Name = "version", .Asks = Request::Version},
};
const int OptionCount = static_cast<int>(std::size(OptionTable));

bool DecimalValue(const char* text, std::int32_t& value) {
    constexpr std::int64_t Limit = std::int64_t{1} << 32;  // any magnitude beyond is out of range
    const char* p = text;
    while (IsBlank(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    std::int64_t magnitude = 0;
    for (; IsDigit(*p); ++p) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > Limit) return false;
    }
    const std::int64_t result = negative ? -magnitude : magnitude;
    if (result < INT32_MIN || result > INT32_MAX) return false;
    value = static_cast<std::int32_t>(result);
    return true;
}

bool IsSupportedRate(std::int64_t rate) {
    return std::find(std::begin(SupportedRates), std::end(SupportedRates), rate) != std::end(SupportedRates);
}

bool ParseLine(const char* text, LineShape& line) {
    if (std::strlen(text) < 3 || text[0] < '5' || text[0] > '8') return false;
    const char parity = static_cast<char>(text[1] & ~0x20);
    if (!std::strchr("NEOMS", parity) || !IsLetter(text[1])) return false;
    const char* stops = text + 2;
    const int half = std::strcmp(stops, "1") == 0 ? 2 : std::strcmp(stops, "1.5") == 0 ? 3 : std::strcmp(stops, "2") == 0 ? 4 : 0;
    if (half == 0) return false;
    line = {text[0] - '0', parity, half};
    return true;
}

bool DatedNameValid(const char* name) {
    for (const char* p = std::strchr(name, '%'); p; p = std::strchr(p + 2, '%')) {
        if (!p[1] || !std::strchr("YmdHMS%", p[1])) return false;
    }
    return true;
}

bool UnitValue(const char* text, const char* units, const std::int64_t* factors, std::int64_t& value) {
    constexpr std::int64_t Limit = std::int64_t{1} << 62;
    std::int64_t count = 0;
    const char* p = text;
    for (; IsDigit(*p); ++p) {
        if (count > Limit / 10) return false;
        count = count * 10 + (*p - '0');
    }
    std::int64_t factor = 1;
    if (p != text && *p && !p[1] && IsLetter(*p) && std::strchr(units, *p | 0x20)) {
        factor = factors[std::strchr(units, *p | 0x20) - units];
        ++p;
    }
    if (p == text || *p || count < 1 || count > Limit / factor) return false;
    value = count * factor;
    return true;
}

Options RunOptions;

Options TakeOptions(int& argc, const char** argv) {
    Options options;
    int kept = 1;
    for (int at = 1; at < argc; ++at) {
        if (std::strncmp(argv[at], "--", 2) == 0) {
            TakeOption(options, argc, argv, at);
        } else {
            argv[kept++] = argv[at];
        }
    }
    argc = kept;
    if (options.Asked == Request::Capture && argc > 1) {
        for (const char* help : {"-h", "-?", "/?"}) {
            if (std::strcmp(argv[1], help) == 0) options.Asked = Request::Help;
        }
    }
    return options;
}

Settings MakeSettings(const Options& options, int argc, const char* const* argv, const char* devicePathPrefix,
                      const char* deviceFolder, Fallbacks& fallbacks) {
    Settings settings = ParseArguments(argc, argv, devicePathPrefix, deviceFolder, fallbacks);
    if (options.BaudRate) {
        settings.BaudRate = options.BaudRate;
        fallbacks.Rate = nullptr;
    }
    settings.Line = options.Line;
    settings.AnyDevice = options.AnyDevice;
    settings.TimedReads = options.Times || options.Echo != EchoKind::None;
    return settings;
}

Settings ParseArguments(int argc, const char* const* argv, const char* devicePathPrefix, const char* deviceFolder,
                        Fallbacks& fallbacks) {
    Settings settings;
    fallbacks = Fallbacks{};
    if (argc > 1) SetPort(settings, argv[1], devicePathPrefix, deviceFolder, fallbacks);
    std::int32_t rate = 0;
    if (argc > 2 && DecimalValue(argv[2], rate) && IsSupportedRate(rate)) {
        settings.BaudRate = rate;
    } else if (argc > 2) {
        fallbacks.Rate = argv[2];
    }
    const auto placeholder = [](const char* text, const char* off) {
        return std::strcmp(text, "x") == 0 || std::strcmp(text, "X") == 0 || std::strcmp(text, "-") == 0 || std::strcmp(text, off) == 0;
    };
    if (argc > 3) settings.DtrOption = std::strcmp(argv[3], "-d1") == 0;
    if (argc > 3 && !settings.DtrOption && !placeholder(argv[3], "-d0")) fallbacks.Dtr = argv[3];
    if (argc > 4) settings.RtsOption = std::strcmp(argv[4], "-c1") == 0;
    if (argc > 4 && !settings.RtsOption && !placeholder(argv[4], "-c0")) fallbacks.Rts = argv[4];
    return settings;
}
