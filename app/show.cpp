// --show: captures and their indexes, read as they are on the disk now (a
// capture still being written shows what it holds), printed as a view. The
// index is read along with the capture, a line ahead: its memory stays the
// same whatever its length, and the first line is shown at once.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../console/console.h"
#include "log_file.h"
#include "show.h"
#include "time_index.h"
#include "view.h"

namespace {

// The index, read along with the capture: one reader for its time lines
// (the one at or before the byte being shown and the one after, the marked
// lines skipped), one for its marked lines, which takes every line in turn
// so that it never reads ahead of the bytes being shown.
struct IndexReader {
    std::FILE* File = nullptr;
    std::size_t Lines = 0, Unread = 0;  // lines read, and those that were no index line
    std::string Pending;                // a line read in part
};
bool Following = false;  // --follow: the capture and its index still grow
IndexReader TimeLines, MarkLines;
IndexLine Before, After, Mark;
bool HasBefore = false, HasAfter = false, HasMark = false;
std::int64_t EarlierMs = 0;  // the time line's before Before
bool HasEarlier = false;

enum class LineKind { Time, Any };  // a time line; any line (the marked ones are shown)

// The next line of the kind, or false at the index's end.
bool Next(IndexReader& reader, LineKind kind, IndexLine& line) {
    char piece[512];
    std::string& text = reader.Pending;
    while (reader.File) {
        if (std::fgets(piece, sizeof piece, reader.File)) {
            text += piece;
            if (text.back() != '\n' && !std::feof(reader.File)) continue;  // the rest of a long line
        }
        // At the index's end: a line still being written waits while following, else it is the last.
        if (text.empty() || (text.back() != '\n' && Following)) {
            ReadOn(reader.File);  // (a line may come yet)
            return false;
        }
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        ++reader.Lines;
        const bool parsed = ParseIndexLine(text, line);
        text.clear();
        if (!parsed) ++reader.Unread;
        if (parsed && (kind == LineKind::Any || line.Word.empty())) return true;
    }
    return false;
}

void CloseIndex() {
    for (IndexReader* reader : {&TimeLines, &MarkLines}) {
        if (reader->File) std::fclose(reader->File);
        *reader = IndexReader{};
    }
    HasBefore = HasAfter = HasMark = HasEarlier = false;
}

bool OpenIndex(const char* name) {
    CloseIndex();
    TimeLines.File = OpenToRead(IndexName(name).c_str());
    MarkLines.File = TimeLines.File ? OpenToRead(IndexName(name).c_str()) : nullptr;
    if (!MarkLines.File) {  // a capture without one
        CloseIndex();
        return false;
    }
    HasAfter = Next(TimeLines, LineKind::Time, After);
    HasMark = Next(MarkLines, LineKind::Any, Mark);
    return true;
}

bool Arrival(std::uint64_t offset, std::int64_t& localMs) {
    if (Following && !HasAfter) HasAfter = Next(TimeLines, LineKind::Time, After);
    while (HasAfter && After.Offset <= offset) {
        EarlierMs = Before.LocalMs;
        HasEarlier = HasBefore;
        Before = After;
        HasBefore = true;
        HasAfter = Next(TimeLines, LineKind::Time, After);
    }
    if (!HasBefore) return false;
    const IndexLine lines[2] = {Before, After};
    return ArrivalFromIndex(lines, HasAfter ? 2 : 1, offset, localMs);
}

// A time line at the byte that came after a pause begins a piece.
bool PieceFromIndex(std::uint64_t offset) {
    std::int64_t ignored = 0;
    Arrival(offset, ignored);
    return HasBefore && HasEarlier && Before.Offset == offset && AfterAPause(EarlierMs, Before.LocalMs);
}

// What a marked line says, for a person: its text, the count where it has one, what follows.
std::string EventText(const IndexLine& mark) {
    struct Said {
        const char* Word;
        const char* Text;
        bool Counted;
        const char* RestAfter = "";  // after what follows the time
    };
    constexpr Said Texts[] = {{"beginn", "Beginn", false}, {"weg", "Schnittstelle weg", true},
                              {"wieder", "Schnittstelle wieder da", false}, {"fehler", "Empfangsfehler:", false},
                              {"verlust", "Verlust", true, " Bytes (Aufnahme zu langsam)"}, {"ende", "Ende", true}};
    std::string text = mark.Word, after;
    bool counted = true;
    for (const Said& said : Texts) {
        if (mark.Word == said.Word) text = said.Text, counted = said.Counted, after = said.RestAfter;
    }
    if (mark.Word == "beginn") {  // the day the capture begins
        text += ' ';
        AppendDate(mark.LocalMs, text);
    }
    if (counted) text += " nach " + std::to_string(mark.Offset) + " Bytes" + (after.empty() || mark.Rest.empty() ? "" : ":");
    return mark.Rest.empty() ? text : text + " " + mark.Rest + after;
}

// The view's text so far, printed.
void PrintOut(std::string& out) {
    Print("%.*s", static_cast<int>(out.size()), out.c_str());
    out.clear();
}

void ShowMarks(View& view, std::uint64_t upTo, std::string& out) {  // the marked lines before the byte at `upTo`
    if (Following && !HasMark) HasMark = Next(MarkLines, LineKind::Any, Mark);
    for (; HasMark && Mark.Offset < upTo; HasMark = Next(MarkLines, LineKind::Any, Mark)) {
        if (!Mark.Word.empty()) ViewEvent(view, true, Mark.LocalMs, EventText(Mark).c_str(), out);
    }
}

// Bytes read, each marked line before the byte it stands at; printed.
void ShowRead(View& view, const unsigned char* bytes, std::size_t size, std::string& out) {
    for (std::size_t at = 0; at < size;) {
        ShowMarks(view, view.Offset + 1, out);
        // Up to the index's next line inside them, or their end.
        std::size_t piece = size - at;
        if (HasMark && Mark.Offset < view.Offset + piece) piece = Mark.Offset - view.Offset;
        ViewBytes(view, bytes + at, piece, out);
        at += piece;
    }
    PrintOut(out);
}

// The open line ended, the index's remaining marked lines, and an index it cannot read said.
void EndView(const char* name, bool indexed, View& view, std::string& out) {
    FinishViewLine(view, out);
    ShowMarks(view, UINT64_MAX, out);
    PrintOut(out);
    if (!indexed) return;
    if (MarkLines.Unread > 0) {  // (the marks' reader has read all of it by now)
        Print("--- Zeitindex %s: %llu von %llu Zeilen unlesbar%s ---\n", IndexName(name).c_str(),
              static_cast<unsigned long long>(MarkLines.Unread), static_cast<unsigned long long>(MarkLines.Lines),
              MarkLines.Unread == MarkLines.Lines ? ", kein Zeitindex" : "");
    }
    CloseIndex();
}

// A view of the capture `name`, with its index where it has one.
View Viewing(const char* name, bool hex, bool& indexed, std::int64_t day = INT64_MIN) {
    indexed = OpenIndex(name);
    View view;
    view.Kind = hex ? ViewKind::Hex : ViewKind::Text;
    view.Day = day;
    if (indexed) view.Arrival = Arrival, view.Piece = PieceFromIndex;
    return view;
}

constexpr int FollowPause = 250;  // ms between two looks at a capture that grows
constexpr int IndexLag = 50;      // ms by which the index's line may follow the bytes it dates

// The capture as it is now; with `follow` on as it grows, until a key or a
// stop, also after its run moved it (a --split seam, a new run): then on in
// what has its name now.
int ShowOne(const char* name, bool hex, bool follow) {
    if (IsDevice(name)) {  // never opened: the open of a port alone moves its lines
        Print("Aufnahme %s ist ein Geraet, keine Datei.\n", name);
        return 1;
    }
    std::FILE* capture = OpenToRead(name);
    if (!capture) {
        Print("Aufnahme %s kann nicht gelesen werden. Fehlercode: %s\n", name, CodeText(errno).c_str());
        return 1;
    }
    Following = follow;
    bool indexed = false;
    View view = Viewing(name, hex, indexed);
    std::string out;
    static unsigned char block[1 << 16];
    int error = 0;
    for (bool drained = false;;) {  // drained: what a moved capture held at its move is read
        ClearStreamError();
        const std::size_t got = std::fread(block, 1, sizeof block, capture);
        if (got > 0 && Following) EndWithin(IndexLag);
        ShowRead(view, block, got, out);
        if (got == sizeof block) continue;
        if (std::ferror(capture)) {
            error = StreamError(EIO);
            break;
        }
        if (!Following) break;
        ReadOn(capture);
        if (got > 0) continue;
        if (!StillNamed(capture, name)) {
            if (!drained) {
                drained = true;
                continue;
            }
            EndWithin(IndexLag);  // its index's last line
            EndView(name, indexed, view, out);
            std::fclose(capture);
            while (!(capture = OpenToRead(name))) {  // (between the move and the new part)
                if (EndWithin(FollowPause)) return 0;
            }
            view = Viewing(name, hex, indexed, view.Day);
            drained = false;
            continue;
        }
        drained = false;
        if (EndWithin(FollowPause)) break;
    }
    std::fclose(capture);
    EndView(name, indexed, view, out);
    if (error == 0) return 0;
    Print("Aufnahme %s kann nicht gelesen werden. Fehlercode: %s\n", name, CodeText(error).c_str());
    return 1;
}

// When a capture began: its index's beginn line, if it has one.
bool Began(const char* name, std::int64_t& localMs) {
    const bool known = OpenIndex(name) && HasMark && Mark.Word == "beginn" && Mark.Offset == 0;
    if (known) localMs = Mark.LocalMs;
    CloseIndex();
    return known;
}

}  // namespace

long CaptureNumber(const std::string& name, std::string& stem) {
    const std::size_t dot = name.rfind('.');
    stem = name;
    if (dot == std::string::npos || dot + 1 == name.size() || name.size() - dot > 10 ||
        name.find_first_not_of("0123456789", dot + 1) != std::string::npos || name[dot + 1] == '0') {
        return 0;
    }
    stem = name.substr(0, dot);
    return std::strtol(name.c_str() + dot + 1, nullptr, 10);
}

int ShowCaptures(const std::vector<const char*>& names, bool hex, bool follow) {
    // In recording order: by the index's start where every capture has one,
    // else the earlier captures of a log by their numbers (NAME.3, NAME.2,
    // NAME.1, NAME), each log where its first name stands.
    struct Shown {
        std::int64_t Began = 0;
        std::size_t Log = 0;  // where its log's first name stands
        long Number = 0;
        const char* Name;
    };
    std::vector<Shown> ordered;
    std::vector<std::string> logs;
    bool allBegan = true;
    for (const char* name : names) {
        Shown shown{0, 0, 0, name};
        allBegan = Began(name, shown.Began) && allBegan;
        std::string stem;
        shown.Number = CaptureNumber(name, stem);
        shown.Log = static_cast<std::size_t>(std::find(logs.begin(), logs.end(), stem) - logs.begin());
        if (shown.Log == logs.size()) logs.push_back(stem);
        ordered.push_back(shown);
    }
    const auto older = [](long number) { return number == 0 ? -1 : number; };  // NAME itself the newest
    std::stable_sort(ordered.begin(), ordered.end(), [&](const Shown& a, const Shown& b) {
        if (allBegan) return a.Began < b.Began;
        return a.Log != b.Log ? a.Log < b.Log : older(a.Number) > older(b.Number);
    });
    int status = 0;
    for (const Shown& shown : ordered) {
        const char* name = shown.Name;
        if (names.size() > 1) Print("=== %s ===\n", name);
        status = std::max(status, ShowOne(name, hex, follow && &shown == &ordered.back()));  // the newest followed
    }
    return status;
}
