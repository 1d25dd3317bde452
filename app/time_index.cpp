#include "time_index.h"

#include "../console/console.h"
#include "log_file.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::int64_t Pause = 20;    // ms: a line for the bytes after it
constexpr std::int64_t Stream = 100;  // ms: at most one a stretch while bytes stream
// Two lines 100 to 150 ms apart belong to one stream; closer, the second came after a pause.
constexpr std::int64_t StreamShortest = 100, StreamLongest = 150;

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar.
std::int64_t CivilDays(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(year - era * 400);
    const unsigned doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

std::int64_t SecondsOf(const std::tm& time) {
    return CivilDays(time.tm_year + 1900, static_cast<unsigned>(time.tm_mon + 1), static_cast<unsigned>(time.tm_mday)) * 86400 +
           time.tm_hour * 3600 + time.tm_min * 60 + time.tm_sec;
}

}  // namespace

int WriteIndexLine(std::FILE* index, const char* word, std::uint64_t offset, std::int64_t epochMs, const char* rest) {
    int offsetSeconds = 0;
    char time[64], line[320];
    const std::int64_t local = LocalMs(epochMs, offsetSeconds);
    FormatIndexTime(local, offsetSeconds, time);
    const int length = std::snprintf(line, sizeof line, "%s%s%llu %s%s%s\n", word, *word ? " " : "",
                                     static_cast<unsigned long long>(offset), time, *rest ? " " : "", rest);
    const std::size_t size = length > 0 ? std::min<std::size_t>(static_cast<std::size_t>(length), sizeof line - 1) : 0;
    ClearStreamError();
    if (std::fwrite(line, 1, size, index) == size) return 0;
    return StreamError(ENOSPC);
}

std::string IndexName(const std::string& log) { return log + ".times"; }

std::FILE* OpenTimeIndex(const char* logName) {
    ClearStreamError();
    std::FILE* index = std::fopen(IndexName(logName).c_str(), "wb");
    if (index) std::setvbuf(index, nullptr, _IONBF, 0);  // each line to the system at once, as the log's bytes
    return index;
}

std::int64_t NowEpochMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::int64_t LocalMs(std::int64_t epochMs, int& offsetSeconds) {
    const std::int64_t seconds = (epochMs >= 0 ? epochMs : epochMs - 999) / 1000;
    std::tm local{};
    offsetSeconds = LocalTime(static_cast<std::time_t>(seconds), local) ? static_cast<int>(SecondsOf(local) - seconds) : 0;
    return epochMs + std::int64_t{offsetSeconds} * 1000;
}

void FormatIndexTime(std::int64_t localMs, int offsetSeconds, char* text) {
    const std::int64_t days = (localMs >= 0 ? localMs : localMs - 86399999) / 86400000;
    const std::int64_t ms = localMs - days * 86400000;
    // The date of a day number (the inverse of CivilDays).
    const std::int64_t z = days + 719468, era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
    const unsigned day = doy - (153 * mp + 2) / 5 + 1, month = mp < 10 ? mp + 3 : mp - 9;
    const long long year = static_cast<long long>(yoe) + era * 400 + (month <= 2);
    const int offset = offsetSeconds < 0 ? -offsetSeconds : offsetSeconds;
    std::snprintf(text, 64, "%04lld-%02u-%02uT%02d:%02d:%02d.%03d%c%02d:%02d", year, month, day,
                  static_cast<int>(ms / 3600000), static_cast<int>(ms / 60000 % 60), static_cast<int>(ms / 1000 % 60),
                  static_cast<int>(ms % 1000), offsetSeconds < 0 ? '-' : '+', offset / 3600, offset / 60 % 60);
}

bool TimeLineDue(LineTimes& times, std::int64_t firstMs, std::int64_t lastMs) {
    const bool due = !times.Lined || firstMs - times.LastBytes >= Pause || firstMs - times.LastLine >= Stream;
    times.LastBytes = lastMs;
    if (!due) return false;
    times.Lined = true;
    times.LastLine = firstMs;
    return true;
}

bool ParseIndexLine(const std::string& text, IndexLine& line) {
    const char* p = text.c_str();
    line = IndexLine{};
    if (*p < '0' || *p > '9') {
        const char* space = std::strchr(p, ' ');
        if (!space || space == p) return false;
        line.Word.assign(p, space);
        p = space + 1;
    }
    char* end = nullptr;
    line.Offset = std::strtoull(p, &end, 10);
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0, used = 0;
    if (end == p || std::sscanf(end, " %4d-%2d-%2dT%2d:%2d:%2d.%3d%*[+-]%*2d:%*2d%n", &year, &month, &day, &hour, &minute,
                                &second, &ms, &used) < 7 || used == 0) {
        return false;
    }
    line.LocalMs = (CivilDays(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 + hour * 3600 +
                    minute * 60 + second) * 1000 + ms;
    p = end + used;
    if (*p == ' ') line.Rest = p + 1;
    return true;
}

bool ArrivalFromIndex(const IndexLine* lines, std::size_t count, std::uint64_t offset, std::int64_t& localMs) {
    // The last line at or before the offset (binary search: lines by offset).
    std::size_t low = 0, high = count;
    while (low < high) {
        const std::size_t middle = (low + high) / 2;
        if (lines[middle].Offset <= offset) low = middle + 1; else high = middle;
    }
    if (low == 0) return false;
    const IndexLine& before = lines[low - 1];
    localMs = before.LocalMs;
    if (low < count) {
        const IndexLine& after = lines[low];
        const std::int64_t span = after.LocalMs - before.LocalMs;
        if (span >= StreamShortest && span < StreamLongest && after.Offset > before.Offset) {
            localMs += static_cast<std::int64_t>(static_cast<double>(span) * static_cast<double>(offset - before.Offset) /
                                                 static_cast<double>(after.Offset - before.Offset));
        }
    }
    return true;
}
