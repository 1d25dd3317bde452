// nudge.h: one thread sleeps until another nudges it, or until a time has
// passed; one system call each way where the system has a cheap one (Linux:
// a futex; Windows: an event). The recorder sleeps so, the reader nudges.
//
//   Doze()   sleeps up to `milliseconds`, less when nudged since the last
//            doze began (or for no reason: the sleeper looks again).
//   Nudge()  wakes the dozing thread, or ends its next doze at once; a
//            nudge while one is pending costs nothing.
#pragma once

void Doze(int milliseconds);
void Nudge();
