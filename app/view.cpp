#include "view.h"

#include <cstdint>
#include <cstdio>

#include "time_index.h"

namespace {

constexpr char Digits[] = "0123456789abcdef";

void AppendHex(unsigned char byte, std::string& out) {
    out += Digits[byte >> 4];
    out += Digits[byte & 15];
}

bool Printable(unsigned char byte) { return byte >= 0x20 && byte < 0x7f; }

constexpr std::int64_t DayMs = 86400000;

void AppendStamp(View& view, std::int64_t localMs, std::string& out) {
    const std::int64_t day = localMs / DayMs - (localMs % DayMs < 0 ? 1 : 0);
    if (view.Day != INT64_MIN && day != view.Day) {  // a new day: its date first (the start's is in its line)
        out += "--- ";
        AppendDate(localMs, out);
        out += " ---\n";
    }
    view.Day = day;
    out += '[';
    AppendClock(localMs, out);
    out += "] ";
}

// The time and, in hex, the offset of a line whose first byte is the next.
void Begin(View& view, std::string& out) {
    if (view.Open) return;
    view.Open = true;
    view.InLine = 0;
    std::int64_t localMs = 0;
    if (view.Arrival && view.Arrival(view.Offset, localMs)) AppendStamp(view, localMs, out);
    if (view.Kind == ViewKind::Hex) {
        char offset[24];
        std::snprintf(offset, sizeof offset, "%08llx  ", static_cast<unsigned long long>(view.Offset));
        out += offset;
    }
}

void End(View& view, std::string& out) {
    if (!view.Open) return;
    if (view.CrWaits) out += "\\x0d";
    view.CrWaits = false;
    if (view.Kind == ViewKind::Hex) {
        for (std::size_t i = 0; i < 16; ++i) {
            if (i < view.InLine) {
                AppendHex(view.Row[i], out);
                out += ' ';
            } else {
                out += "   ";
            }
            if (i == 7) out += ' ';
        }
        out += " |";
        for (std::size_t i = 0; i < view.InLine; ++i) out += Printable(view.Row[i]) ? static_cast<char>(view.Row[i]) : '.';
        out += '|';
    }
    out += '\n';
    view.Open = false;
}

void TextByte(View& view, unsigned char byte, std::string& out) {
    if (view.CrWaits) {
        view.CrWaits = false;
        if (byte == '\n') {
            End(view, out);
            return;
        }
        out += "\\x0d";
    }
    if (byte == '\n') {
        Begin(view, out);
        End(view, out);
        return;
    }
    if (view.Open && view.InLine >= LongestViewLine) End(view, out);
    Begin(view, out);
    ++view.InLine;
    if (byte == '\r') {
        view.CrWaits = true;
    } else if (Printable(byte) && byte != '\\') {
        out += static_cast<char>(byte);
    } else {
        out += "\\x";
        AppendHex(byte, out);
    }
}

}  // namespace

void AppendClock(std::int64_t localMs, std::string& out) {
    const std::int64_t ms = (localMs % DayMs + DayMs) % DayMs;
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", static_cast<int>(ms / 3600000), static_cast<int>(ms / 60000 % 60),
                  static_cast<int>(ms / 1000 % 60), static_cast<int>(ms % 1000));
    out += text;
}

void AppendDate(std::int64_t localMs, std::string& out) {
    char text[64];
    FormatIndexTime(localMs, 0, text);  // "2026-12-09T..."
    out.append(text, 10);
}

void ViewBytes(View& view, const unsigned char* bytes, std::size_t size, std::string& out) {
    for (std::size_t i = 0; i < size; ++i, ++view.Offset) {
        const bool lineEnd = view.Kind == ViewKind::Text && bytes[i] == '\n';  // (a CR LF the pause split too)
        if (view.Open && !lineEnd && view.Piece && view.Piece(view.Offset)) End(view, out);
        if (view.Kind == ViewKind::Text) {
            TextByte(view, bytes[i], out);
            continue;
        }
        Begin(view, out);
        view.Row[view.InLine++] = bytes[i];
        if (view.InLine == 16) End(view, out);
    }
}

void FinishViewLine(View& view, std::string& out) { End(view, out); }

void ViewEvent(View& view, bool timed, std::int64_t localMs, const char* text, std::string& out) {
    End(view, out);
    if (timed) AppendStamp(view, localMs, out);
    out += "--- ";
    out += text;
    out += " ---\n";
}
