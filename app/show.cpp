// --show: a capture and its index, read as they are on the disk now (a
// capture still being written shows what it holds), printed as a view.
#include <cerrno>
#include <cstdio>
#include <vector>

#include "../console/console.h"
#include "log_file.h"
#include "show.h"
#include "time_index.h"
#include "view.h"

namespace {

std::vector<IndexLine> Times, Marks;  // the index's time lines and its marked lines, in its order

bool Arrival(std::uint64_t offset, std::int64_t& localMs) {
    return ArrivalFromIndex(Times.data(), Times.size(), offset, localMs);
}

void ReadIndex(const char* name) {
    std::FILE* index = OpenToRead(IndexName(name).c_str());
    if (!index) return;  // a capture without one
    std::string text;
    char piece[256];
    while (std::fgets(piece, sizeof piece, index)) {
        text += piece;
        if (text.back() != '\n' && !std::feof(index)) continue;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        IndexLine line;
        if (ParseIndexLine(text, line)) (line.Word.empty() ? Times : Marks).push_back(line);
        text.clear();
    }
    std::fclose(index);
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
    if (counted) text += " nach " + std::to_string(mark.Offset) + " Bytes" + (after.empty() || mark.Rest.empty() ? "" : ":");
    return mark.Rest.empty() ? text : text + " " + mark.Rest + after;
}

}  // namespace

int ShowCapture(const char* name, bool hex) {
    if (IsDevice(name)) {  // never opened: the open of a port alone moves its lines
        Print("Aufnahme %s ist ein Geraet, keine Datei.\n", name);
        return 1;
    }
    std::FILE* capture = OpenToRead(name);
    if (!capture) {
        Print("Aufnahme %s kann nicht gelesen werden. Fehlercode: %d\n", name, errno);
        return 1;
    }
    ReadIndex(name);
    View view;
    view.Kind = hex ? ViewKind::Hex : ViewKind::Text;
    if (!Times.empty()) view.Arrival = Arrival;
    std::size_t mark = 0;
    std::string out;
    const auto showMarks = [&](std::uint64_t upTo) {  // the marked lines before the byte at `upTo`
        for (; mark < Marks.size() && Marks[mark].Offset < upTo; ++mark) {
            ViewEvent(view, true, Marks[mark].LocalMs, EventText(Marks[mark]).c_str(), out);
        }
    };
    static unsigned char block[1 << 16];
    int error = 0;
    for (;;) {
        ClearStreamError();
        const std::size_t got = std::fread(block, 1, sizeof block, capture);
        for (std::size_t at = 0; at < got;) {
            showMarks(view.Offset + 1);
            // Up to the next marked line inside the block, or the block's end.
            std::size_t piece = got - at;
            if (mark < Marks.size() && Marks[mark].Offset < view.Offset + piece) piece = Marks[mark].Offset - view.Offset;
            ViewBytes(view, block + at, piece, out);
            at += piece;
        }
        Print("%.*s", static_cast<int>(out.size()), out.c_str());
        out.clear();
        if (got < sizeof block) {
            if (std::ferror(capture)) error = StreamError(EIO);
            break;
        }
    }
    std::fclose(capture);
    FinishViewLine(view, out);
    showMarks(UINT64_MAX);
    Print("%.*s", static_cast<int>(out.size()), out.c_str());
    if (error == 0) return 0;
    Print("Aufnahme %s kann nicht gelesen werden. Fehlercode: %d\n", name, error);
    return 1;
}
