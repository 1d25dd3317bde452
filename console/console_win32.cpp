// The console on Windows: the console input device is the keyboard, the
// console control events are the stop requests.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <io.h>
#include <vector>

#include "console.h"

namespace {

HANDLE Keyboard = nullptr;        // CONIN$, opened at the first key test
std::vector<INPUT_RECORD> Pending; // grows to the longest input queue seen
HANDLE StopEvent = nullptr;       // set by the control handler
HANDLE FinishedEvent = nullptr;   // set once the run has ended in order
volatile LONG StopType = -1;      // the control event that asked to stop

BOOL WINAPI OnConsoleControl(DWORD type) {
    InterlockedCompareExchange(&StopType, static_cast<LONG>(type), -1);
    SetEvent(StopEvent);
    // For these Windows ends the process when the handler returns: hold it
    // until port and log are closed, within the time Windows grants.
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        WaitForSingleObject(FinishedEvent, 4500);
    }
    return TRUE;
}

bool IsAltCombination(WORD key) {
    return (key >= '0' && key <= '9') || (key >= 'A' && key <= 'Z') || (key >= VK_OEM_1 && key <= VK_OEM_3) ||
           (key >= VK_OEM_4 && key <= VK_OEM_8) || key == VK_OEM_102 || key == VK_ESCAPE || key == VK_BACK ||
           key == VK_RETURN;
}

// A key press in the console's sense: one that gives a character or one of
// the keys with an extended code; modifiers and locks alone do not count.
bool CountsAsKey(const KEY_EVENT_RECORD& key) {
    if (!key.bKeyDown) return false;
    if (key.uChar.AsciiChar != 0) return true;
    const WORD code = key.wVirtualKeyCode;
    const DWORD state = key.dwControlKeyState;
    if (code >= VK_F1 && code <= VK_F12) return true;
    if ((code >= VK_PRIOR && code <= VK_DOWN) || code == VK_INSERT || code == VK_DELETE) return true;
    if (code == VK_DIVIDE || (code == VK_RETURN && (state & ENHANCED_KEY))) return true;
    if ((state & (LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED)) && IsAltCombination(code)) return true;
    if (code == VK_TAB && (state & (SHIFT_PRESSED | LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED | LEFT_ALT_PRESSED |
                                    RIGHT_ALT_PRESSED))) {
        return true;
    }
    return code == '2' && (state & (LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED));
}

}  // namespace

bool OutputIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

void PlatformConsoleStart() {
    StopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    FinishedEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool KeyWaiting() {
    if (!Keyboard) {
        Keyboard = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    }
    if (Keyboard == INVALID_HANDLE_VALUE) return false;
    WaitForSingleObject(Keyboard, 0);  // under Wine this brings pending terminal input in
    DWORD pending = 0;
    if (!GetNumberOfConsoleInputEvents(Keyboard, &pending) || pending == 0) return false;
    if (Pending.size() < pending) Pending.resize(pending);
    DWORD seen = 0;
    if (!PeekConsoleInputA(Keyboard, Pending.data(), pending, &seen)) return false;
    for (DWORD i = 0; i < seen; ++i) {
        if (Pending[i].EventType == KEY_EVENT && CountsAsKey(Pending[i].Event.KeyEvent)) return true;
    }
    return false;
}

void WaitForKey() {
    // A wait on the console handle stays signalled while any event is queued
    // (a released key, a mouse move), so look every 50 ms instead.
    while (!KeyWaiting() && WaitForSingleObject(StopEvent, 50) == WAIT_TIMEOUT) {
    }
}

void WarningBox(const char* title, const char* text) {
    MessageBoxA(nullptr, text, title, MB_ICONEXCLAMATION);
}

bool StopRequested() { return WaitForSingleObject(StopEvent, 0) == WAIT_OBJECT_0; }

std::intptr_t StopWakeHandle() { return reinterpret_cast<std::intptr_t>(StopEvent); }

void EndProgram(int status) {
    std::fflush(stdout);
    const LONG type = StopType;
    SetEvent(FinishedEvent);
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) ExitProcess(STATUS_CONTROL_C_EXIT);
    std::exit(status);
}
