// console_win32.h: the console decisions on Windows, as plain functions of
// console records, so they can be tested without a console.
//
//   CountsAsKey()       whether an input event is a key press that ends the
//                       capture: one that gives a character, or a cursor,
//                       editing or function key; never a modifier, lock or
//                       Windows key alone, a released key or another event.
//   CaptureInputMode    the console input mode while the program runs.
//   RestoredInputMode() the mode to put back at the end, from the saved one.
#pragma once
#include <windows.h>

bool CountsAsKey(const INPUT_RECORD& event);

// Processed input only: no QuickEdit selection and no Pause, which would
// block every console write and with it the reading thread; no line input,
// echo, mouse or window events. Ctrl+C stays a control event.
inline constexpr DWORD CaptureInputMode = ENABLE_EXTENDED_FLAGS | ENABLE_PROCESSED_INPUT;

DWORD RestoredInputMode(DWORD saved);
