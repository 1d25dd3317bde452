// The console on Windows: the console input device is the keyboard, the
// console control events are the stop requests.
#include "console_win32.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <io.h>
#include <vector>

#include "console.h"

namespace {

bool IsAltCombination(WORD key) {
    return (key >= '0' && key <= '9') || (key >= 'A' && key <= 'Z') || (key >= VK_OEM_1 && key <= VK_OEM_3) ||
           (key >= VK_OEM_4 && key <= VK_OEM_8) || key == VK_OEM_102 || key == VK_ESCAPE || key == VK_BACK ||
           key == VK_RETURN;
}

}  // namespace

// A key press in the console's sense: one that gives a character or one of
// the keys with an extended code; modifiers and locks alone do not count.
bool CountsAsKey(const INPUT_RECORD& event) {
    if (event.EventType != KEY_EVENT) return false;
    const KEY_EVENT_RECORD& key = event.Event.KeyEvent;
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

DWORD RestoredInputMode(DWORD saved) {
    // QuickEdit and insert mode show in a mode only with ENABLE_EXTENDED_FLAGS.
    // Hidden, they were the console's own settings, on by default: put those
    // back rather than leave QuickEdit off for the programs that follow.
    if (saved & ENABLE_EXTENDED_FLAGS) return saved;
    return saved | ENABLE_EXTENDED_FLAGS | ENABLE_QUICK_EDIT_MODE | ENABLE_INSERT_MODE;
}

namespace {

constexpr DWORD HandlerHold = 4500;  // ms, within the 5 s Windows grants a closing console

HANDLE Keyboard = INVALID_HANDLE_VALUE;  // CONIN$, opened at start
DWORD SavedInputMode = 0;
bool InputModeSet = false;
std::vector<INPUT_RECORD> Pending;  // grows to the longest input queue seen
HANDLE StopEvent = nullptr;         // set by the control handler
HANDLE FinishedEvent = nullptr;     // set once the run has ended in order
volatile LONG StopType = -1;        // the control event that asked to stop
DWORD MainThread = 0;

// user32 is loaded when the first box is shown, never imported: Windows sends
// no logoff or shutdown event to a console program that has it loaded.
using MessageBoxFunction = int(WINAPI*)(HWND, LPCSTR, LPCSTR, UINT);
using EnumThreadWindowsFunction = BOOL(WINAPI*)(DWORD, WNDENUMPROC, LPARAM);
using GetClassNameFunction = int(WINAPI*)(HWND, LPSTR, int);
using PostMessageFunction = BOOL(WINAPI*)(HWND, UINT, WPARAM, LPARAM);
MessageBoxFunction ShowMessageBox = nullptr;
EnumThreadWindowsFunction ListThreadWindows = nullptr;
GetClassNameFunction ClassOfWindow = nullptr;
PostMessageFunction PostToWindow = nullptr;
std::atomic<bool> BoxOpen{false};  // the functions above are set before it turns true

template <typename Function>
Function Lookup(HMODULE module, const char* name) {
    // Through void (*)(), the one function type that stands for any other.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

bool LoadBoxFunctions() {
    if (ShowMessageBox) return true;
    const HMODULE user32 = LoadLibraryExA("user32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!user32) return false;
    ListThreadWindows = Lookup<EnumThreadWindowsFunction>(user32, "EnumThreadWindows");
    ClassOfWindow = Lookup<GetClassNameFunction>(user32, "GetClassNameA");
    PostToWindow = Lookup<PostMessageFunction>(user32, "PostMessageA");
    ShowMessageBox = Lookup<MessageBoxFunction>(user32, "MessageBoxA");
    return ShowMessageBox != nullptr;
}

BOOL CALLBACK AskBoxToClose(HWND window, LPARAM) {
    char name[16] = {};
    if (ClassOfWindow(window, name, sizeof name) > 0 && std::strcmp(name, "#32770") == 0) {
        PostToWindow(window, WM_CLOSE, 0, 0);  // an OK box closes as if OK was pressed
    }
    return TRUE;
}

void CloseOpenBox() {
    if (BoxOpen && ListThreadWindows && ClassOfWindow && PostToWindow) {
        ListThreadWindows(MainThread, AskBoxToClose, 0);
    }
}

void RestoreInputMode() {
    if (InputModeSet) SetConsoleMode(Keyboard, RestoredInputMode(SavedInputMode));
}

BOOL WINAPI OnConsoleControl(DWORD type) {
    const bool interrupt = type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT;
    if (InterlockedCompareExchange(&StopType, static_cast<LONG>(type), -1) != -1 && interrupt) {
        // Asked again while the run is still ending: something holds it (a
        // wedged driver, a hung disk). Let Windows end the process; every
        // completed read is in the log already.
        RestoreInputMode();
        return FALSE;
    }
    SetEvent(StopEvent);
    // Hold the handler until port and log are closed: for close, logoff and
    // shutdown Windows ends the process when it returns. Meanwhile close a
    // box the run may be waiting on (it may only just be opening).
    const ULONGLONG until = GetTickCount64() + HandlerHold;
    do {
        CloseOpenBox();
    } while (WaitForSingleObject(FinishedEvent, 100) == WAIT_TIMEOUT && GetTickCount64() < until);
    const bool ending = type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT;
    if (ending) RestoreInputMode();
    return TRUE;
}

void TakeKeyboard() {
    Keyboard = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (Keyboard != INVALID_HANDLE_VALUE && GetConsoleMode(Keyboard, &SavedInputMode)) {
        InputModeSet = SetConsoleMode(Keyboard, CaptureInputMode) != 0;
    }
}

}  // namespace

bool OutputIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

namespace {

// The bytes of `text` that end in a whole UTF-8 character: a sequence cut by
// the end of a piece waits for the next.
std::size_t WholeCharacters(const char* text, std::size_t size) {
    for (std::size_t back = 1; back <= 3 && back <= size; ++back) {
        const unsigned char byte = static_cast<unsigned char>(text[size - back]);
        if ((byte & 0xC0) == 0x80) continue;  // a continuation byte: look further back
        const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        return length > back ? size - back : size;
    }
    return size;
}

// A newline as CR LF, as text mode writes it, into `lines`; the bytes of `text` taken.
std::size_t WithCrLf(const char* text, std::size_t size, char* lines, std::size_t room, std::size_t& used) {
    std::size_t taken = 0;
    for (used = 0; taken < size && used + 2 <= room; ++taken) {
        if (text[taken] == '\n') lines[used++] = '\r';
        lines[used++] = text[taken];
    }
    return taken;
}

}  // namespace

// Straight to the handle, never through the C runtime's stream, whose lock a
// write that waits for ever would hold at the exit. A console takes the text
// as UTF-16 (WriteConsoleW), so a name in any script shows as it is whatever
// the console's code page; anything else takes the program's UTF-8 bytes.
void WriteOutput(const char* text, std::size_t size) {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    const bool console = GetConsoleMode(output, &mode) != 0;
    static char carried[4];  // a character cut by the end of the last piece (one writer at a time)
    static std::size_t carriedSize = 0;
    char lines[8192];
    wchar_t wide[8192];
    while (size > 0) {
        std::size_t used = 0;
        std::memcpy(lines, carried, carriedSize);
        const std::size_t taken = WithCrLf(text, size, lines + carriedSize, sizeof lines - carriedSize - 4, used);
        used += carriedSize;
        carriedSize = 0;
        text += taken;
        size -= taken;
        std::size_t whole = used;
        if (console) {
            whole = WholeCharacters(lines, used);
            carriedSize = used - whole;
            std::memcpy(carried, lines + whole, carriedSize);
        }
        const int count = console ? MultiByteToWideChar(CP_UTF8, 0, lines, static_cast<int>(whole), wide, 8192) : 0;
        for (std::size_t at = 0, end = console ? static_cast<std::size_t>(count) : whole; at < end;) {
            DWORD written = 0;
            const BOOL done = console ? WriteConsoleW(output, wide + at, static_cast<DWORD>(end - at), &written, nullptr)
                                      : WriteFile(output, lines + at, static_cast<DWORD>(end - at), &written, nullptr);
            if (!done || written == 0) return;
            at += written;
        }
    }
}

void PlatformConsoleStart() {
    MainThread = GetCurrentThreadId();
    StopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    FinishedEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);  // first: it gives back the mode TakeKeyboard sets
    TakeKeyboard();
}

bool KeyWaiting() {
    if (Keyboard == INVALID_HANDLE_VALUE || KeysIgnored()) return false;
    WaitForSingleObject(Keyboard, 0);  // under Wine this brings pending terminal input in
    DWORD pending = 0;
    if (!GetNumberOfConsoleInputEvents(Keyboard, &pending) || pending == 0) return false;
    if (Pending.size() < pending) Pending.resize(pending);
    DWORD seen = 0;
    if (!PeekConsoleInputA(Keyboard, Pending.data(), pending, &seen)) return false;
    for (DWORD i = 0; i < seen; ++i) {
        if (CountsAsKey(Pending[i])) return true;
    }
    return false;
}

bool KeyCanEnd() { return Keyboard != INVALID_HANDLE_VALUE && GetConsoleWindow() && !KeysIgnored(); }

void WaitForKey() {
    FlushOutput();  // redirected, the prompt must not stay in our buffer
    // Without a console (a detached start), or with one that has no window
    // (a scheduled task, CREATE_NO_WINDOW), nobody can press a key: a wait
    // would leave an invisible process behind. Windows Terminal and Wine
    // give their consoles a window handle.
    if (!KeyCanEnd()) return;
    // A wait on the console handle stays signalled while any event is queued
    // (a released key, a mouse move), so look every 50 ms instead.
    while (!KeyWaiting() && !EndDue()) {
        if (WaitForSingleObject(StopEvent, 50) == WAIT_FAILED) Sleep(50);
    }
}

void WarningBox(const char* title, const char* text) {
    if (StopRequested() || !LoadBoxFunctions()) return;
    FlushOutput();  // redirected, the text before the box must not wait in our buffer with it
    BoxOpen = true;
    // Checked again now that the control handler would see the box open.
    if (!StopRequested()) {
        ShowMessageBox(nullptr, text, title, MB_ICONEXCLAMATION | MB_SETFOREGROUND | MB_TOPMOST);
    }
    BoxOpen = false;
}

bool EndWithin(int milliseconds) {
    const ULONGLONG until = GetTickCount64() + static_cast<ULONGLONG>(milliseconds);
    while (!KeyWaiting() && !EndDue()) {
        const ULONGLONG now = GetTickCount64();
        if (now >= until) return false;
        // A queued console event keeps the handle signalled: look every 50 ms.
        const DWORD pause = static_cast<DWORD>(std::min<ULONGLONG>(until - now, 50));
        if (WaitForSingleObject(StopEvent, pause) == WAIT_FAILED) Sleep(pause);
    }
    return true;
}

bool StopRequested() { return WaitForSingleObject(StopEvent, 0) == WAIT_OBJECT_0; }

int StopRequests() { return StopRequested() ? 1 : 0; }

void WakeWaits() {}  // every wait looks at least every 100 ms

void KeepSignalsAway() {}  // console events come on a thread of their own

bool LocalTime(std::time_t when, std::tm& local) { return localtime_s(&local, &when) == 0; }

void EndProgram(int status) {
    const bool written = OutputFinished();
    RestoreInputMode();
    const LONG type = StopType;
    SetEvent(FinishedEvent);
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) ExitProcess(STATUS_CONTROL_C_EXIT);
    if (!written) std::_Exit(status);  // a thread still writes the output: no exit handler may wait for it
    std::exit(status);
}
