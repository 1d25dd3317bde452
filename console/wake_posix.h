// wake_posix.h: what a blocked wait on POSIX watches besides its own
// descriptor, so that a key or a stop request ends it at once.
//
//   WatchForWakeUps()   fills poll entries: the wake-up pipe that the signal
//                       handlers write, and the keyboard while the program is
//                       the terminal's foreground job and it has not hung up;
//                       in the background it shortens the poll's time-out, so
//                       the program soon sees that it came to the foreground.
//   WokenForKeyOrStop() after poll: takes the wake-ups, notes a keyboard that
//                       hung up, and says whether the wait should end.
#pragma once
#include <poll.h>

inline constexpr int WakeDescriptorCount = 2;

// Returns how many of the WakeDescriptorCount entries it filled; `timeout`
// (ms, -1: none) may come back shorter.
int WatchForWakeUps(pollfd* watched, int& timeout);
bool WokenForKeyOrStop(const pollfd* watched, int count);
