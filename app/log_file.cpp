#include "log_file.h"

std::string EarlierCapture(const char* name, int number) { return std::string(name) + "." + std::to_string(number); }

bool MoveEarlierCaptures(const char* name) {
    // Numbered on from the first without a gap; a folder ends the row, and
    // the move onto it then fails, as a failed move of NAME itself would.
    int oldest = 0;
    while (IsEarlierCapture(EarlierCapture(name, oldest + 1).c_str())) ++oldest;
    for (int number = oldest; number >= 1; --number) {
        if (!MoveCapture(EarlierCapture(name, number).c_str(), EarlierCapture(name, number + 1).c_str())) return false;
    }
    return true;
}
