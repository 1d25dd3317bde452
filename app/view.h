// view.h: a capture's bytes as a person reads them, the same for --show and --echo.
//
//   Text: lines, each beginning "[hh:mm:ss.mmm] " with the arrival of its
//   first byte where that is known; printable ASCII as it is, every other
//   byte and the backslash as \xNN; CR LF or LF ends a line (and is not
//   shown), a line is cut after 4096 bytes.
//   Hex: 16 bytes a line: its time, the offset, the bytes in hex, the
//   printable ones ("." for the others).
//   A piece that came after a pause (PieceGap or more after the time before)
//   begins a line of its own in text and a row of its own in hex, so that
//   each piece carries its own time (an LF, or a CR LF, split from its line
//   by the pause still ends that line).
//   An event (a gap, the start) is a line of its own: "[time] --- text ---".
//   Where a time's day is not the day of the time before, a line with the
//   date comes first: "--- 2026-12-09 ---".
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

enum class ViewKind { Text, Hex };

// When the byte at `offset` arrived, as local wall-clock milliseconds since
// 1970; false when that is not known.
using ArrivalOf = bool (*)(std::uint64_t offset, std::int64_t& localMs);
// Whether a piece that came after a pause begins at the byte at `offset`.
using PieceAt = bool (*)(std::uint64_t offset);

inline constexpr std::int64_t PieceGap = 200;  // ms between two times that makes a pause
inline bool AfterAPause(std::int64_t beforeMs, std::int64_t ms) { return ms - beforeMs >= PieceGap; }

struct View {
    ViewKind Kind = ViewKind::Text;
    ArrivalOf Arrival = nullptr;
    PieceAt Piece = nullptr;
    std::uint64_t Offset = 0;  // of the next byte
    bool Open = false;         // a line has begun and not ended
    std::size_t InLine = 0;    // its bytes
    bool CrWaits = false;      // it ended in a CR that an LF may follow
    unsigned char Row[16] = {};
    std::int64_t Day = INT64_MIN;  // of the last time shown (local days since 1970)
};

inline constexpr std::size_t LongestViewLine = 4096;

// Appends the lines `size` bytes make to `out`; a line not yet ended stays open.
void ViewBytes(View& view, const unsigned char* bytes, std::size_t size, std::string& out);
// Ends the open line, if any, as it is.
void FinishViewLine(View& view, std::string& out);
// The open line ended, then `text` as a line of its own at `localMs` (timed: known).
void ViewEvent(View& view, bool timed, std::int64_t localMs, const char* text, std::string& out);
// "hh:mm:ss.mmm" of a local wall-clock time.
void AppendClock(std::int64_t localMs, std::string& out);
// "2026-12-09", its date.
void AppendDate(std::int64_t localMs, std::string& out);
