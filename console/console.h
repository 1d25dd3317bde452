// console.h: what the user sees and types, and what ends a run.
//
//   ConsoleStart()   once, first: output buffering, the keyboard, the stop requests.
//   OutputStart()    instead, for a run that only prints: output buffering alone.
//   Print()          printf-style text to standard output, from any thread.
//   FlushOutput()    writes out what Print has collected.
//   OutputNeverWaits() from now on a thread of its own writes the text, and
//                    Print never waits for the output: what does not fit in
//                    OutputRoom (an output that takes nothing: a pipe nobody
//                    reads, a terminal or console stopped) is left out, and
//                    once text fits again a line says how many lines were.
//   PrintIfRoom()    text that may be left out (the echo's lines), after a
//                    lead: only when OutputReserve stays free for the
//                    messages after it; false when left out.
//   LimitRun()       once, before the first wait: what ends the run besides a
//                    stop request (keys unless --no-keys, --for's deadline).
//   KeyWaiting()     true while a key press waits in the console's own input;
//                    nothing is removed, so the key is still there at the end.
//   EndDue()         true once a stop was requested, the deadline has passed
//                    or the program asked itself to end (AskToEnd, any thread).
//   UntilDeadline()  ms to the deadline, at most `limit` (-1: no limit).
//   WaitForKey()     writes out what Print has collected, then sleeps until a
//                    key waits or an end is due; returns at once where there
//                    is no keyboard to press one on and no deadline.
//   KeyCanEnd()      whether a key could end a wait: a keyboard to press one
//                    on (a console window on Windows), and keys not ignored.
//   EndWithin()      sleeps up to the given time, less when a key waits or an
//                    end is due: true then. Sleeps without a keyboard too.
//   WarningBox()     writes out what Print has collected, shows a warning and
//                    waits for the user's OK.
//   KeysIgnored()    whether keys end nothing (--no-keys): KeyWaiting() is
//                    then false, and waits do not wake for them.
//   StopRequested()  true once the user or the system asked the program to end
//                    (Ctrl+C, a termination signal, the console window closed).
//   ClockText()      the local time now as the gap lines give it ("2026-12-08 09:41:07").
//   LocalTime()      the local calendar time of a moment, from any thread.
//   TimeEachLine()   from now on, in output that is not a terminal (a file, a
//                    pipe, a journal), every line Print starts carries the
//                    time as ClockText gives it, unless it begins with one.
//   TimedLines()     that, for a piece of text: `atLineStart` carries over.
//   CodeText()       an error number as the messages give it, with what it
//                    means where a table has it: "2 (Datei oder Ordner
//                    fehlt)"; the number alone for the rest.
//   ErrnoMeanings    the C library's numbers: files on every system (Windows'
//                    file errors are given as these), ports on POSIX, network.
//   KeepSignalsAway() called by a thread of the program's own: the signals are the main thread's.
//   EndProgram()     restores the console, writes out the output (after a stop
//                    request only what it takes at once) and ends the
//                    process: with the status, or as the stop request demands.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>
#include <string>

inline constexpr std::size_t OutputRoom = 256 * 1024;
inline constexpr std::size_t OutputReserve = 16 * 1024;

void ConsoleStart();
void OutputStart();
void Print(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
bool PrintIfRoom(const char* lead, const char* text, std::size_t size);
void FlushOutput();
void OutputNeverWaits();

// What ends a run, known before its first wait.
struct RunLimits {
    bool Keys = true;             // false: --no-keys
    std::int64_t ForSeconds = 0;  // --for: the run ends this long after LimitRun; 0: never
};
void LimitRun(const RunLimits& limits);
bool KeyWaiting();
bool EndDue();
bool DeadlinePassed();
int UntilDeadline(int limit);
void AskToEnd();
bool KeyCanEnd();
void WaitForKey();
bool EndWithin(int milliseconds);
bool KeysIgnored();
void WarningBox(const char* title, const char* text);
bool StopRequested();
int StopRequests();  // how many so far (Windows ends the process at the second)
const char* ClockText();
bool LocalTime(std::time_t when, std::tm& local);
void KeepSignalsAway();

void TimeEachLine();
std::string TimedLines(const char* text, std::size_t size, const char* clock, bool& atLineStart);

struct CodeMeaning {
    int Code;
    const char* Text;
};
extern const std::span<const CodeMeaning> ErrnoMeanings;
std::string CodeText(int code, std::span<const CodeMeaning> meanings = ErrnoMeanings);
[[noreturn]] void EndProgram(int status);

// Supplied by each operating system's console file.
bool OutputIsTerminal();
void PlatformConsoleStart();
// Writes all of `size` bytes to standard output, or as much as a reader
// that went away takes; never fails loudly. The program's newlines are "\n".
void WriteOutput(const char* text, std::size_t size);
// Wakes every wait of this system's (AskToEnd), from any thread.
void WakeWaits();
// Before the process ends: whether the output is written out (after a stop
// request: what it took within a moment). False leaves a thread writing,
// and the process must end without the C runtime's exit handlers.
bool OutputFinished();
