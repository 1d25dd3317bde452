// log_file.h: the log of one run, one implementation per system.
#pragma once
#include <cstdio>

// Opens `name` for this run alone, empty. A previous capture in it (a regular
// file with bytes in it, not reached through a symbolic link) is first moved
// to `previousName`, replacing that, and `keptPrevious` says so; only the run
// that holds the file moves it. Null, with errno set, when the log cannot be
// created or the previous capture cannot be moved (it then stays where it
// was), or another run is writing it (whose log is left exactly as it was).
std::FILE* CreateLog(const char* name, const char* previousName, bool& keptPrevious);
// Writes out what the system still holds of the log and closes it: 0, or the
// error number of the first failure (a late write error shows only now).
int CloseLogFile(std::FILE* log);
