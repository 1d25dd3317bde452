// progress.h: the console's last line while recording, the running count,
// and with --echo the bytes as a view (view.h) above it, or as the output
// where there is no console. The recorder shows what the log holds, the
// reader and the recorder say their messages through Say (one lock).
// Nothing here can fail a run, and nothing waits for the output: echo lines
// an output cannot take now are left out (console.h: PrintIfRoom).
//
//   StartProgress()  the count's first line ("0"), when the capture starts.
//   ShowCount()      the count of bytes in the log: on a console at most 5
//                    times a second (`now`: at once), the latest once the
//                    line is 100 ms quiet; into a file or a pipe at most once
//                    a minute, with --echo there never.
//   EchoBytes()      the view's lines of bytes that arrived at `localMs`
//                    (local wall-clock ms) and made the log `count` bytes
//                    long, the finished ones shown, the count after them.
//   ProgressDue()    ms until something owed is due: the count of a line gone
//                    quiet, an echo line open for 200 ms; -1 for nothing.
//   ShowOwed()       shows what is due now.
//   Say()            a message: the latest count first where one is owed,
//                    then the text (a leading "\n" ends the count's line).
//   CountAgain()     the latest count at once, on a line of its own after a message.
//   FinishProgress() at the end: the open echo line and the latest count.
#pragma once
#include <cstddef>
#include <cstdint>

#include "settings.h"

void StartProgress(bool onConsole, EchoKind echo);
void ShowCount(std::uint64_t count, bool now = false);
void EchoBytes(const unsigned char* bytes, std::size_t size, std::int64_t localMs, std::uint64_t count, bool lined);
int ProgressDue();
void ShowOwed();
void Say(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void CountAgain();
void FinishProgress();
