// log_file.h: the log of one run, one implementation per system.
#pragma once
#include <cstdio>

// Opens `name` for this run alone and empties it. Null, with errno set, when
// it cannot be created or another run is writing it; that run's log is then
// left exactly as it was.
std::FILE* CreateLog(const char* name);
