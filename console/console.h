// console.h: what the user sees and types.
//
//   ConsoleStart()   once, first: output buffering, the keyboard, the stop requests.
//   OutputStart()    instead, for a run that only prints: output buffering alone.
//   Print()          printf-style text to standard output.
//   FlushOutput()    writes out what Print has collected.
//   KeyWaiting()     true while a key press waits in the console's own input;
//                    nothing is removed, so the key is still there at the end.
//   WaitForKey()     writes out what Print has collected, then sleeps until a
//                    key waits or a stop is requested; returns at once where
//                    there is no keyboard to press one on.
//   KeyOrStopWithin() sleeps up to the given time, less when a key waits or
//                    a stop is requested: true then. Sleeps without a keyboard too.
//   WarningBox()     writes out what Print has collected, shows a warning and
//                    waits for the user's OK.
//   IgnoreKeys()     from now on keys end nothing (--no-keys): KeyWaiting() is
//                    false, waits do not wake for them, WaitForKey() returns at once.
//   StopRequested()  true once the user or the system asked the program to end
//                    (Ctrl+C, a termination signal, the console window closed).
//   ClockText()      the local time now as the gap lines give it ("2026-12-08 09:41:07").
//   EndProgram()     restores the console, flushes the output and ends the
//                    process: with the status, or as the stop request demands.
#pragma once
#include <cstddef>
#include <cstdint>

void ConsoleStart();
void OutputStart();
void Print(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void FlushOutput();
bool KeyWaiting();
void WaitForKey();
bool KeyOrStopWithin(int milliseconds);
void IgnoreKeys();
bool KeysIgnored();
void WarningBox(const char* title, const char* text);
bool StopRequested();
const char* ClockText();
[[noreturn]] void EndProgram(int status);

// Supplied by each operating system's console file.
bool OutputIsTerminal();
// Whether standard output takes nothing now (a full pipe, a terminal stopped by Ctrl+S); false where the system cannot say.
bool OutputWaits();
void PlatformConsoleStart();
// Writes all of `size` bytes to standard output, or as much as a reader
// that went away takes; never fails loudly.
void WriteOutput(const char* text, std::size_t size);
