// Doze and Nudge on Windows: an auto-reset event.
#include <windows.h>

#include "nudge.h"

namespace {
HANDLE Nudged() {
    static const HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return event;
}
}

void Doze(int milliseconds) {
    if (WaitForSingleObject(Nudged(), static_cast<DWORD>(milliseconds)) == WAIT_FAILED) Sleep(static_cast<DWORD>(milliseconds));
}

void Nudge() { SetEvent(Nudged()); }
