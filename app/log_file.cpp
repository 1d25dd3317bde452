#include "log_file.h"

#include <cstdio>
#include <cstring>
#include <cwctype>

#include "../console/console.h"
#include "time_index.h"

std::string EarlierCapture(const char* name, int number) { return std::string(name) + "." + std::to_string(number); }

std::string ExpandedLogName(const char* pattern, std::time_t when) {
    if (!std::strchr(pattern, '%')) return pattern;
    std::tm local{};
    LocalTime(when, local);
    std::string name(std::strlen(pattern) * 2 + 64, '\0');  // each field at most twice its pattern, %Y aside
    name.resize(std::strftime(name.data(), name.size(), pattern, &local));
    return name;
}

std::string KeptPartName(const std::string& name, std::time_t began) {
    std::string pattern;
    for (const char c : name) pattern += c == '%' ? "%%" : std::string(1, c);  // the name's own, as it is
    const std::string dated = ExpandedLogName((pattern + ".%Y%m%d-%H%M%S").c_str(), began);
    std::string kept = dated;
    for (int more = 2; IsEarlierCapture(kept.c_str()) || IsEarlierCapture(IndexName(kept).c_str()); ++more) {
        kept = dated + "-" + std::to_string(more);
    }
    return kept;
}

std::string WithOffset(const std::string& name, int offsetSeconds) {
    const int minutes = (offsetSeconds < 0 ? -offsetSeconds : offsetSeconds) / 60;
    char offset[16];
    std::snprintf(offset, sizeof offset, "_%c%02d%02d", offsetSeconds < 0 ? '-' : '+', minutes / 60 % 100, minutes % 60);
    const std::size_t folder = name.find_last_of("/\\"), dot = name.rfind('.');
    const bool extension = dot != std::string::npos && dot > 0 && (folder == std::string::npos || dot > folder + 1);
    std::string named = name;
    return named.insert(extension ? dot : named.size(), offset);
}

bool IsDevicePath(const wchar_t* fullPath) {
    std::wstring path = fullPath;
    for (wchar_t& c : path) c = static_cast<wchar_t>(std::towupper(static_cast<std::wint_t>(c)));
    if (path.rfind(L"\\\\?\\", 0) != 0 && path.rfind(L"\\\\.\\", 0) != 0) return false;
    // The device namespace (\\.\, \\?\) holds files too: those on a drive
    // (X:\), a volume (Volume{GUID}\) or a share (UNC\). The drive or the
    // volume itself (\\.\C:) is a device, and so is any other name there (a
    // GLOBALROOT path may be either, and is never opened to find out).
    const std::wstring rest = path.substr(4);
    const bool drive = rest.size() >= 3 && rest[0] >= L'A' && rest[0] <= L'Z' && rest[1] == L':' && rest[2] == L'\\';
    const std::size_t guidEnd = rest.find(L'}');
    const bool volume = rest.rfind(L"VOLUME{", 0) == 0 && guidEnd != std::wstring::npos && rest.find(L'\\') == guidEnd + 1;
    if (drive || volume || rest.rfind(L"UNC\\", 0) == 0) return false;
    return rest.substr(0, rest.find(L'.')) != L"NUL";  // NUL.1: the null device's earlier "capture"
}

std::string DeviceAmongLogNames(const char* name) {
    if (IsDevice(name)) return name;
    // The earlier captures there are, and the free name the oldest moves to.
    for (int number = 1;; ++number) {
        std::string earlier = EarlierCapture(name, number);
        if (IsDevice(earlier.c_str())) return earlier;
        if (!IsEarlierCapture(earlier.c_str())) return "";
    }
}

namespace {

std::string Refused;  // the recorder's alone: only it moves captures while a run records

// NAME.0 is NAME itself.
std::string Numbered(const char* name, int number) { return number == 0 ? name : EarlierCapture(name, number); }

void PairIndexes(const char* name) {
    // A capture's index moves first: a run ended between the two moves left
    // the capture without its index, and the index beside no capture one
    // number up. It goes back before anything else moves (else it would be
    // taken for an index that belongs to nothing).
    for (int number = 0; IsEarlierCapture(Numbered(name, number).c_str()); ++number) {
        const std::string index = IndexName(Numbered(name, number)), moved = IndexName(EarlierCapture(name, number + 1));
        if (!IsEarlierCapture(index.c_str()) && IsEarlierCapture(moved.c_str()) &&
            !IsEarlierCapture(EarlierCapture(name, number + 1).c_str())) {
            MoveReplacing(moved.c_str(), index.c_str());
        }
    }
}

}  // namespace

std::string RefusedMove() { return Refused; }

bool MoveEarlierCaptures(const char* name) {
    Refused.clear();
    PairIndexes(name);
    // Numbered on from the first without a gap; a folder ends the row, and
    // the move onto it then fails, as a failed move of NAME itself would.
    int oldest = 0;
    while (IsEarlierCapture(EarlierCapture(name, oldest + 1).c_str())) ++oldest;
    for (int number = oldest; number >= 1; --number) {
        if (!MoveWithIndex(EarlierCapture(name, number).c_str(), EarlierCapture(name, number + 1).c_str(), MoveCapture)) {
            return false;
        }
    }
    return true;
}

bool MoveWithIndex(const char* from, const char* to, bool (*move)(const char* from, const char* to)) {
    const std::string index = IndexName(from), moved = IndexName(to);
    const bool indexed = IsEarlierCapture(index.c_str());
    Refused = index;
    if (indexed && !MoveReplacing(index.c_str(), moved.c_str())) return false;
    if (!indexed && IsEarlierCapture(moved.c_str())) std::remove(moved.c_str());
    Refused = from;
    if (move(from, to)) {
        Refused.clear();
        return true;
    }
    const int error = errno;
    if (indexed) MoveReplacing(moved.c_str(), index.c_str());
    errno = error;
    return false;
}
