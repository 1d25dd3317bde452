// time_index.h: when the bytes of a capture arrived (--times), in a text file
// beside the log, NAME.times, which moves along with it (NAME.1.times, ...).
//
// Each line gives an offset in the log and the local arrival time of the byte
// there, to the millisecond, with the UTC offset:
//     1234 2026-12-08T09:41:07.512+01:00
// A line comes for the first bytes after a pause of 20 ms or more, and
// otherwise at most one every 100 ms while bytes stream. Marked lines begin
// with a word:
//     beginn 0 TIME PORT RATE         the capture (or a part of it) begins
//     weg N TIME / wieder N TIME      the port was lost after N bytes, and is back
//     fehler N TIME Ueberlauf A Rahmenfehler B Break C Paritaetsfehler D
//     ende N TIME                     the capture (or its part) ends with N bytes
// The file is written at once, line by line, and synced with the log; the
// times are those the reader took when the bytes came (never before the
// part's beginn line: the times never run backwards), whenever the line is
// written.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

std::string IndexName(const std::string& log);  // LOG.times

// The index of the part just created, empty; null with errno set when it cannot be made.
std::FILE* OpenTimeIndex(const char* logName);
// A line "OFFSET TIME" for the bytes from `offset` on, which arrived at
// `epochMs`, or with a word a marked line: "WORD OFFSET TIME REST". 0, or the
// error of a failed write.
int WriteIndexLine(std::FILE* index, const char* word, std::uint64_t offset, std::int64_t epochMs, const char* rest = "");

// Whether bytes that arrived from `firstMs` to `lastMs` (ms since 1970) get
// a time line: the first bytes, those after a pause of 20 ms or more, and
// otherwise one every 100 ms while bytes stream. A marked line (a gap) makes
// the next bytes the first again (Lined false).
struct LineTimes {
    bool Lined = false;
    std::int64_t LastLine = 0, LastBytes = 0;
};
bool TimeLineDue(LineTimes& times, std::int64_t firstMs, std::int64_t lastMs);

// The local wall-clock time of `epochMs` (ms since 1970 UTC) as ms since a
// local 1970, and its UTC offset in seconds.
std::int64_t LocalMs(std::int64_t epochMs, int& offsetSeconds);
std::int64_t NowEpochMs();
// "2026-12-08T09:41:07.512+01:00" for a local wall-clock time and its offset, into `text` (64 bytes).
void FormatIndexTime(std::int64_t localMs, int offsetSeconds, char* text);

// One line of an index as read back: its offset, its local time, and for a
// marked line the word and what follows the time. False for a line that is neither.
struct IndexLine {
    std::uint64_t Offset = 0;
    std::int64_t LocalMs = 0;
    std::string Word, Rest;
};
bool ParseIndexLine(const std::string& text, IndexLine& line);

// The arrival of the byte at `offset` from the time lines (by offset, as the
// index has them): between two lines 100 to 150 ms apart, where bytes
// streamed, as the bytes went; else (the line after came for a pause) the
// time of the line before. False before the first line.
bool ArrivalFromIndex(const IndexLine* lines, std::size_t count, std::uint64_t offset, std::int64_t& localMs);
