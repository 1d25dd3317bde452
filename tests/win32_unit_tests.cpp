// The Windows decisions that Wine cannot show through a device or a console,
// as tables; cross-built with mingw-w64 and run under Wine (or on Windows).
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "../console/console.h"

#include "../app/log_file.h"
#include "../console/console_win32.h"
#include "../serial/serial_platform.h"
#include "../serial/serial_win32.h"

#include <winioctl.h>  // the device types

namespace {

// The four ways a read can end, as ReadFile and GetOverlappedResult say it,
// and what else is known about it.
ReadReport AtOnce(DWORD count) { return {TRUE, 0, FALSE, 0, count, false, 0, true, true, 0, true, false}; }
ReadReport Refused(DWORD error) { return {FALSE, error, FALSE, 0, 0, false, 0, true, true, 0, true, false}; }
ReadReport Finished(DWORD count, std::int64_t ms) {
    return {FALSE, ERROR_IO_PENDING, TRUE, 0, count, false, ms, true, true, 0, true, false};
}
ReadReport Failed(DWORD error, DWORD count, std::int64_t ms) {
    return {FALSE, ERROR_IO_PENDING, FALSE, error, count, false, ms, true, true, 0, true, false};
}
ReadReport Cancelled(ReadReport read) { read.CancelledByUs = true; return read; }
ReadReport Silent(ReadReport read) { read.ClearCommErrorOk = false; return read; }  // ClearCommError fails
ReadReport Unplugged(ReadReport read) { read.ModemStatusOk = false; return read; }  // GetCommModemStatus fails
ReadReport AfterEmpty(ReadReport read, unsigned count) { read.EmptyBefore = count; return read; }
ReadReport LeftTimeouts(ReadReport read) { read.OwnTimeouts = false; return read; }  // SetCommTimeouts not reached
ReadReport AfterLineError(ReadReport read) { read.LineErrorBefore = true; return read; }

TEST(ReadOutcomes, KeepOnlyTheBytesTheSystemCopied) {
    const struct {
        const char* Name;
        ReadReport Read;
        DWORD Kept;
        ReadOutcome How;
    } rows[] = {
        {"WholeBlockAtOnce", AtOnce(1024), 1024, ReadOutcome::Complete},
        {"PartAtOnce", AtOnce(300), 300, ReadOutcome::ShortAtOnce},
        {"EmptyAtOnce", AtOnce(0), 0, ReadOutcome::Empty},
        {"NineteenthEmptyInARowUnplugged", Unplugged(AfterEmpty(AtOnce(0), 18)), 0, ReadOutcome::Empty},
        {"TwentiethEmptyInARowUnplugged", Unplugged(AfterEmpty(AtOnce(0), 19)), 0, ReadOutcome::Lost},
        // A driver that ignores the per-byte multiplier: empty at once, the device there.
        {"TwentiethEmptyInARowDeviceAnswers", AfterEmpty(AtOnce(0), 19), 0, ReadOutcome::Empty},
        {"TwentiethEmptyUnderLeftTimeouts", Unplugged(LeftTimeouts(AfterEmpty(AtOnce(0), 19))), 0, ReadOutcome::Empty},
        {"EmptyAfterAMomentPending", Finished(0, 30), 0, ReadOutcome::Empty},
        {"EmptyNearTheInterval", Finished(0, 1005), 0, ReadOutcome::TimedOut},  // a driver timing from the start
        {"WholeBlockPending", Finished(1024, 900), 1024, ReadOutcome::Complete},
        {"CountBeyondTheBlock", Finished(4096, 900), 1024, ReadOutcome::Complete},
        {"PartThenPause", Finished(500, 1400), 500, ReadOutcome::TimedOut},
        {"SilentLine", Finished(0, 2050), 0, ReadOutcome::TimedOut},
        {"SilentLineAfterEmptyReads", AfterEmpty(Finished(0, 2060), 19), 0, ReadOutcome::TimedOut},
        {"WineTimeOutKeepsItsBytes", Failed(ERROR_TIMEOUT, 700, 2050), 700, ReadOutcome::TimedOut},
        {"IoTimeOutKeepsNone", Failed(ERROR_SEM_TIMEOUT, 700, 2050), 0, ReadOutcome::TimedOut},
        {"IoTimeOutAtOnce", Failed(ERROR_SEM_TIMEOUT, 0, 5), 0, ReadOutcome::Empty},  // paused for, never a spin
        {"WineTimeOutAtOnce", Failed(ERROR_TIMEOUT, 0, 5), 0, ReadOutcome::Empty},
        {"CancelledAfterAStop", Cancelled(Failed(ERROR_OPERATION_ABORTED, 600, 3100)), 0, ReadOutcome::Cancelled},
        {"CancelledButCompleted", Cancelled(Finished(600, 3100)), 600, ReadOutcome::TimedOut},
        {"AbortedByALineError", Failed(ERROR_OPERATION_ABORTED, 200, 40), 0, ReadOutcome::LineError},
        {"StartRefusedByALineError", Refused(ERROR_OPERATION_ABORTED), 0, ReadOutcome::LineError},
        {"AbortedAgain", AfterLineError(Failed(ERROR_OPERATION_ABORTED, 0, 3)), 0, ReadOutcome::LineErrorAgain},
        {"AbortedOnASilentPort", Silent(Failed(ERROR_OPERATION_ABORTED, 200, 40)), 0, ReadOutcome::Lost},
        {"FaultOnItsWay", Failed(ERROR_INVALID_PARAMETER, 300, 50), 0, ReadOutcome::Fault},
        {"FaultOnASilentPort", Silent(Failed(ERROR_BROKEN_PIPE, 300, 50)), 0, ReadOutcome::Lost},
        {"StartRefused", Refused(ERROR_INVALID_PARAMETER), 0, ReadOutcome::Refused},
        {"StartRefusedOnASilentPort", Silent(Refused(ERROR_INVALID_PARAMETER)), 0, ReadOutcome::Lost},
    };
    for (const auto& row : rows) {
        const ReadVerdict verdict = JudgeRead(row.Read, BlockSize);
        EXPECT_EQ(verdict.Kept, row.Kept) << row.Name;
        EXPECT_EQ(static_cast<int>(verdict.How), static_cast<int>(row.How)) << row.Name;
    }
}

TEST(ReadOutcomes, OfARemovedDeviceAreLostWhateverClearCommErrorSays) {
    for (DWORD error : {5, 6, 22, 31, 433, 1167, 1617}) {
        for (const ReadReport& read : {Failed(error, 400, 100), Refused(error)}) {
            const ReadVerdict verdict = JudgeRead(read, BlockSize);
            EXPECT_EQ(static_cast<int>(verdict.How), static_cast<int>(ReadOutcome::Lost)) << error;
            EXPECT_EQ(verdict.Kept, 0u) << error;
        }
    }
}

// Once Windows no longer knows the COM name, a read that brought nothing is a
// lost port whatever its code: never a box every 100 ms, a silent retry, a
// line error or a time-out for the rest of the week. While the name is known
// each keeps its meaning.
TEST(ReadOutcomes, ThatBringNothingAreLostOnceTheComNameIsGone) {
    const auto gone = [](ReadReport read) { read.NameKnown = false; return read; };
    const struct {
        const char* Name;
        ReadReport Read;
        ReadOutcome WhileKnown;
    } rows[] = {
        {"PendingFileNotFound", Failed(ERROR_FILE_NOT_FOUND, 0, 40), ReadOutcome::Fault},
        {"PendingNetworkGone", Failed(ERROR_DEV_NOT_EXIST, 0, 40), ReadOutcome::Fault},
        {"PendingNotReady", Failed(ERROR_NOT_READY, 0, 40), ReadOutcome::Fault},
        {"PendingIoDeviceError", Failed(ERROR_IO_DEVICE, 0, 40), ReadOutcome::Fault},
        {"ReadFileFileNotFound", Refused(ERROR_FILE_NOT_FOUND), ReadOutcome::Refused},
        {"ReadFileIoDeviceError", Refused(ERROR_IO_DEVICE), ReadOutcome::Refused},
        {"AbortedNotByUs", AfterLineError(Failed(ERROR_OPERATION_ABORTED, 0, 3)), ReadOutcome::LineErrorAgain},
        {"SemaphoreTimeOut", Failed(ERROR_SEM_TIMEOUT, 0, 2050), ReadOutcome::TimedOut},
        {"EmptyAfterTheWholeTimeOut", Finished(0, 2050), ReadOutcome::TimedOut},
        {"EmptyAtOnce", AtOnce(0), ReadOutcome::Empty},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(static_cast<int>(JudgeRead(row.Read, BlockSize).How), static_cast<int>(row.WhileKnown)) << row.Name;
        EXPECT_EQ(static_cast<int>(JudgeRead(gone(row.Read), BlockSize).How), static_cast<int>(ReadOutcome::Lost)) << row.Name;
    }
    // What did arrive is kept; a read we cancelled (CancelledAfterAStop) is a lost port once Windows
    // no longer knows the port (a driver that keeps its reads after a removal honours the cancel).
    EXPECT_EQ(JudgeRead(gone(Finished(500, 1400)), BlockSize).Kept, 500u);
    EXPECT_EQ(static_cast<int>(JudgeRead(gone(Cancelled(Failed(ERROR_OPERATION_ABORTED, 0, 3100))), BlockSize).How),
              static_cast<int>(ReadOutcome::Lost));
}

TEST(PendingReads, WaitForTheirTimeOutsAndAreCutShortOnlyAfterAKeyAStopOrARemoval) {
    constexpr bool Drain = true;
    const struct {
        PendingRead Read;  // ms since ReadFile, a key or stop, cancelled, ms since, reading queued bytes, name gone
        PendingStep Step;
    } rows[] = {
        {{60000, false, false, 0, false}, PendingStep::Wait},  // neither: as long as the driver takes
        // A key or a stop: the read ends on its time-outs.
        {{3049, true, false, 0, false}, PendingStep::Wait},
        {{3050, true, false, 0, false}, PendingStep::Cancel},  // 1 s past its total of 2050 ms
        // Time-outs another program left, without a limit: a key still ends it.
        {{600000, true, false, 0, false}, PendingStep::Cancel},
        {{4049, true, true, 999, false}, PendingStep::Wait},   // cancelled: given a second to complete
        {{4050, true, true, 1000, false}, PendingStep::Abandon},
        // The bytes left at the end are queued: their read completes at once, and is never
        // cancelled (that would lose the bytes it took); one held anyway is left to the close.
        {{499, true, false, 0, Drain}, PendingStep::Wait},
        {{500, true, false, 0, Drain}, PendingStep::Abandon},
        // A read the driver keeps after its device was removed: cut short once overdue.
        {{3049, false, false, 0, false, true}, PendingStep::Wait},
        {{3050, false, false, 0, false, true}, PendingStep::Cancel},
        {{4050, false, true, 1000, false, true}, PendingStep::Abandon},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(static_cast<int>(NextStep(row.Read, BlockSize)), static_cast<int>(row.Step))
            << row.Read.Elapsed << " ms, key or stop " << row.Read.EndRequested << ", cancelled " << row.Read.Cancelled
            << ", draining " << row.Read.Draining << ", name gone " << row.Read.NameGone;
    }
}

// One count a report for each kind, an overflow however it overflowed. The
// counters wrap, as the capture expects.
TEST(LineErrorFlags, CountOncePerReport) {
    LineCounters counters{0xFFFFFFFF, 0, 0xFFFFFFFF, 0, 7};
    CountLineErrors(CE_OVERRUN | CE_RXOVER | CE_FRAME | CE_RXPARITY, counters);
    CountLineErrors(CE_RXOVER | CE_BREAK, counters);
    CountLineErrors(CE_RXPARITY, counters);
    EXPECT_EQ(counters.Overrun, 1u);
    EXPECT_EQ(counters.BufferOverrun, 0u);
    EXPECT_EQ(counters.Frame, 0u);
    EXPECT_EQ(counters.Break, 1u);
    EXPECT_EQ(counters.Parity, 9u);
}

// The line as the mode text gives it to BuildCommDCBA and as it is applied:
// parity checked only where there is a parity bit, so that its errors are counted.
TEST(LineSetUp, TakesEveryLineTheModeTextNames) {
    const struct {
        LineShape Shape;
        const char* Mode;
        BYTE ByteSize, Parity, StopBits;
    } rows[] = {
        {{8, 'N', 2}, "9600,n,8,1", 8, NOPARITY, ONESTOPBIT},   {{7, 'E', 2}, "9600,e,7,1", 7, EVENPARITY, ONESTOPBIT},
        {{8, 'O', 4}, "9600,o,8,2", 8, ODDPARITY, TWOSTOPBITS}, {{5, 'N', 3}, "9600,n,5,1.5", 5, NOPARITY, ONE5STOPBITS},
        {{7, 'M', 2}, "9600,m,7,1", 7, MARKPARITY, ONESTOPBIT}, {{8, 'S', 2}, "9600,s,8,1", 8, SPACEPARITY, ONESTOPBIT},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(ModeText(9600, row.Shape), row.Mode);
        DCB built{};
        built.DCBlength = sizeof built;
        ASSERT_TRUE(BuildCommDCBA(row.Mode, &built)) << row.Mode;
        DCB applied = built;
        CompleteLine(applied, 9600, 65536, row.Shape);
        for (const DCB& line : {built, applied}) {
            EXPECT_TRUE(line.ByteSize == row.ByteSize && line.Parity == row.Parity && line.StopBits == row.StopBits)
                << row.Mode << ": " << int{line.ByteSize} << " " << int{line.Parity} << " " << int{line.StopBits};
        }
        EXPECT_EQ(applied.fParity, row.Shape.Parity != 'N' ? 1u : 0u) << row.Mode;
        EXPECT_EQ(applied.fErrorChar, 0u) << row.Mode;
    }
}

TEST(LineSetUp, OverridesEveryFieldAnEarlierProgramMayHaveLeft) {
    DCB hostile;
    std::memset(&hostile, 0xFF, sizeof hostile);
    DCB line = hostile;
    CompleteLine(line, 76800, 65536, LineShape{});
    const struct {
        const char* Name;
        DWORD Applied, Expected;
    } fields[] = {
        {"DCBlength", line.DCBlength, sizeof(DCB)}, {"BaudRate", line.BaudRate, 76800}, {"ByteSize", line.ByteSize, 8},
        {"Parity", line.Parity, NOPARITY}, {"StopBits", line.StopBits, ONESTOPBIT}, {"fBinary", line.fBinary, 1},
        {"fDtrControl", line.fDtrControl, DTR_CONTROL_DISABLE}, {"fRtsControl", line.fRtsControl, RTS_CONTROL_DISABLE},
        {"fParity", line.fParity, 0}, {"fOutxCtsFlow", line.fOutxCtsFlow, 0}, {"fOutxDsrFlow", line.fOutxDsrFlow, 0},
        {"fDsrSensitivity", line.fDsrSensitivity, 0}, {"fOutX", line.fOutX, 0}, {"fInX", line.fInX, 0},
        {"fErrorChar", line.fErrorChar, 0}, {"fNull", line.fNull, 0}, {"fAbortOnError", line.fAbortOnError, 0},
        {"XonChar", static_cast<BYTE>(line.XonChar), 0x11}, {"XoffChar", static_cast<BYTE>(line.XoffChar), 0x13},
        {"XonLim", line.XonLim, 16384}, {"XoffLim", line.XoffLim, 16384},
        // What matters only with a flag now off, or for sending, keeps its value.
        {"fTXContinueOnXoff", line.fTXContinueOnXoff, hostile.fTXContinueOnXoff},
        {"ErrorChar", static_cast<BYTE>(line.ErrorChar), static_cast<BYTE>(hostile.ErrorChar)},
        {"EofChar", static_cast<BYTE>(line.EofChar), static_cast<BYTE>(hostile.EofChar)},
    };
    for (const auto& field : fields) EXPECT_EQ(field.Applied, field.Expected) << field.Name;
    // The flow limits fit the queue the driver reports, and a WORD.
    for (auto [queue, limit] : {std::pair<DWORD, WORD>{4096, 1024}, {0, 0}, {1 << 20, 0xFFFF}}) {
        CompleteLine(line, 9600, queue, LineShape{});
        EXPECT_TRUE(line.XonLim == limit && line.XoffLim == limit) << queue << ": " << line.XonLim << ", " << line.XoffLim;
    }
}

// The receive queue is said where the driver says it, keeps less than asked
// and that bridges less than 5 s at the rate; not where the driver took the
// request and reports the size it had (Wine: 4096 before and after).
TEST(LineSetUp, SaysAReceiveQueueThatBridgesLessThanFiveSeconds) {
    const struct {
        const char* Name;
        DWORD Before, Granted;
        bool Taken;
        std::int64_t ByteMicroseconds;  // 86: 115200 baud 8N1
        bool Say;
        std::int64_t Ms;
    } rows[] = {
        {"AsAsked", 4096, 65536, true, 86, false, 5636},      {"NotSaid", 4096, 0, false, 86, false, 0},
        {"RefusedKeepsItsOwn", 4096, 4096, false, 86, true, 352}, {"TookLess", 4096, 16384, true, 86, true, 1409},
        {"TookAndKeptItsOwn", 4096, 4096, true, 86, false, 352}, {"BridgesJustUnder", 0, 4999, true, 1000, true, 4999},
        {"BridgesFiveSeconds", 0, 5000, true, 1000, false, 5000}, {"EnoughAtASlowRate", 0, 8192, false, 1041, false, 8527},
    };
    for (const auto& row : rows) {
        const QueueVerdict verdict = JudgeQueue(InputQueueSize, row.Before, row.Granted, row.Taken, row.ByteMicroseconds);
        EXPECT_TRUE(verdict.Say == row.Say && verdict.Ms == row.Ms) << row.Name << ": " << verdict.Say << ", " << verdict.Ms;
    }
}

TEST(OpenErrors, OnlyAMissingOrHeldPortHasItsOwnText) {
    EXPECT_EQ(ClassifyOpenError(ERROR_FILE_NOT_FOUND), OpenFault::NotFound);
    EXPECT_EQ(ClassifyOpenError(ERROR_ACCESS_DENIED), OpenFault::AccessDenied);
    for (int code : {ERROR_PATH_NOT_FOUND, ERROR_SHARING_VIOLATION, ERROR_GEN_FAILURE, ERROR_INVALID_NAME}) {
        EXPECT_EQ(ClassifyOpenError(code), OpenFault::Other) << code;
    }
}

// A console event: a key, or another event type over the bytes of a pressed key.
INPUT_RECORD Key(WORD code, char character, DWORD state = 0, BOOL down = TRUE) {
    INPUT_RECORD event{};
    event.EventType = KEY_EVENT;
    event.Event.KeyEvent = {down, 1, code, 0, {}, state};
    event.Event.KeyEvent.uChar.AsciiChar = character;
    return event;
}
INPUT_RECORD Other(WORD type) {
    INPUT_RECORD event = Key('Q', 'q');
    event.EventType = type;
    return event;
}

constexpr DWORD Ctrl = LEFT_CTRL_PRESSED, Alt = LEFT_ALT_PRESSED, Shift = SHIFT_PRESSED, Ext = ENHANCED_KEY;

TEST(KeyFilter, CountsExactlyTheKeysThatEndACapture) {
    const struct {
        const char* Name;
        INPUT_RECORD Event;
        bool Counts;
    } rows[] = {
        // With a character, whatever the key (Enter, Space and the cursor keys: the Endings rows under Wine).
        {"Letter", Key('Q', 'q'), true}, {"AltGrCharacter", Key('Q', '@', RIGHT_ALT_PRESSED | Ctrl), true},
        {"F1", Key(VK_F1, 0), true}, {"F12", Key(VK_F12, 0), true}, {"PageUp", Key(VK_PRIOR, 0, Ext), true},
        {"NumpadDown", Key(VK_DOWN, 0), true}, {"Insert", Key(VK_INSERT, 0, Ext), true},
        {"NumpadDelete", Key(VK_DELETE, 0), true}, {"NumpadDivide", Key(VK_DIVIDE, 0, Ext), true},
        {"NumpadEnter", Key(VK_RETURN, 0, Ext), true}, {"AltLetter", Key('X', 0, Alt), true},
        {"AltDigit", Key('3', 0, RIGHT_ALT_PRESSED), true}, {"AltOem", Key(VK_OEM_4, 0, Alt), true},
        {"AltOem102", Key(VK_OEM_102, 0, Alt), true}, {"AltBackspace", Key(VK_BACK, 0, Alt), true},
        {"AltEnter", Key(VK_RETURN, 0, Alt), true}, {"CtrlTab", Key(VK_TAB, 0, Ctrl), true},
        {"ShiftTab", Key(VK_TAB, 0, Shift), true}, {"CtrlAt", Key('2', 0, RIGHT_CTRL_PRESSED), true},
        {"Shift", Key(VK_SHIFT, 0, Shift), false}, {"Ctrl", Key(VK_CONTROL, 0, Ctrl), false},
        {"Alt", Key(VK_MENU, 0, Alt), false}, {"CapsLock", Key(VK_CAPITAL, 0, CAPSLOCK_ON), false},
        {"NumLock", Key(VK_NUMLOCK, 0, Ext), false}, {"LeftWindows", Key(VK_LWIN, 0, Ext), false},
        {"PrintScreen", Key(VK_SNAPSHOT, 0, Ext), false}, {"Pause", Key(VK_PAUSE, 0), false},
        {"CtrlDigitWithoutCharacter", Key('3', 0, Ctrl), false}, {"LetterReleased", Key('Q', 'q', 0, FALSE), false},
        {"Mouse", Other(MOUSE_EVENT), false}, {"BufferSize", Other(WINDOW_BUFFER_SIZE_EVENT), false},
    };
    for (const auto& row : rows) EXPECT_EQ(CountsAsKey(row.Event), row.Counts) << row.Name;
}

TEST(InputMode, IsPutBackAsSavedWithQuickEditNeverLostWhenHidden) {
    const DWORD shown = ENABLE_EXTENDED_FLAGS | ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT;
    const DWORD hidden = ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT;
    EXPECT_EQ(RestoredInputMode(shown | ENABLE_QUICK_EDIT_MODE), shown | ENABLE_QUICK_EDIT_MODE);
    EXPECT_EQ(RestoredInputMode(shown), shown);  // QuickEdit was off: it stays off
    EXPECT_EQ(RestoredInputMode(hidden), hidden | ENABLE_EXTENDED_FLAGS | ENABLE_QUICK_EDIT_MODE | ENABLE_INSERT_MODE);
}

// Started without a console (detached) or with one that has no window (a
// scheduled task, CREATE_NO_WINDOW), the key wait after a failed open ends at
// once instead of leaving an invisible process behind. Run in a copy of this
// program started so.
TEST(KeyWait, EndsAtOnceWhereNobodyCanPressAKey) {
    if (GetEnvironmentVariableA("LUMTREX_KEY_WAIT", nullptr, 0) > 0) {  // the copy
        PlatformConsoleStart();
        WaitForKey();
        return;
    }
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string command = std::string("\"") + self + "\" --gtest_filter=KeyWait.*";
    SetEnvironmentVariableA("LUMTREX_KEY_WAIT", "1");
    for (DWORD start : {DWORD{DETACHED_PROCESS}, DWORD{CREATE_NO_WINDOW}}) {
        STARTUPINFOA info{};
        info.cb = sizeof info;
        PROCESS_INFORMATION copy{};
        ASSERT_TRUE(
            CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, start, nullptr, nullptr, &info, &copy));
        const bool ended = WaitForSingleObject(copy.hProcess, 10000) == WAIT_OBJECT_0;
        if (!ended) TerminateProcess(copy.hProcess, 1);
        CloseHandle(copy.hThread);
        CloseHandle(copy.hProcess);
        EXPECT_TRUE(ended) << start << ": still waiting for a key nobody can press";
    }
}

// No other program may delete the live log; a viewer that holds the previous
// capture without delete sharing for a moment is waited for, one that holds
// on refuses the run.
TEST(LogFile, WaitsAMomentForAViewerAndCannotBeDeletedWhileLive) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string dir = temp + std::string("lumtrex-") + std::to_string(GetCurrentProcessId());
    const std::string log = dir + "\\lumtrex.log", previous = log + ".1";
    CreateDirectoryA(dir.c_str(), nullptr);
    // The third: a viewer holds the capture's index; the capture then stays where it is, with its index.
    for (auto [held, recorded, index] : {std::tuple{300, true, false}, {1500, false, false}, {1500, false, true}}) {
        for (const std::string& left : {previous, previous + ".times"}) DeleteFileA(left.c_str());
        std::ofstream(log, std::ios::binary) << "capture";
        std::ofstream(log + ".times", std::ios::binary) << "0 2026-12-08T09:41:07.512+01:00\n";
        const HANDLE viewer = CreateFileA((index ? log + ".times" : log).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING, 0, nullptr);
        std::thread release([viewer, held] { Sleep(held); CloseHandle(viewer); });
        bool kept = false;
        std::FILE* live = CreateLog(log.c_str(), kept);
        release.join();
        EXPECT_EQ(live != nullptr && kept, recorded) << held << " ms";
        for (const std::string& moved : {previous, previous + ".times"}) {  // both moved, or neither
            EXPECT_EQ(GetFileAttributesA(moved.c_str()) != INVALID_FILE_ATTRIBUTES, recorded) << moved;
        }
        if (!live) continue;
        EXPECT_FALSE(DeleteFileA(log.c_str())) << "the live log deleted";
        EXPECT_EQ(CloseLogFile(live), 0);
    }
    for (const std::string& left : {log, previous, log + ".times", previous + ".times"}) DeleteFileA(left.c_str());
    EXPECT_TRUE(RemoveDirectoryA(dir.c_str()));
}

// Once opened, a log that a link (or a name resolved beyond the name check)
// led to a device is refused before a byte goes to it; the null device is a
// place for the bytes (Wine gives /dev/null and /dev/full its device type).
TEST(LogFile, ThatLeadsToADeviceIsRefusedOnceOpened) {
    const struct {
        const char* Name;
        DWORD Type, Device;
        bool IsDevice;
    } rows[] = {
        {"File", FILE_TYPE_DISK, FILE_DEVICE_DISK, false},
        {"FileOnAShare", FILE_TYPE_DISK, FILE_DEVICE_NETWORK_FILE_SYSTEM, false},
        {"NullDevice", FILE_TYPE_CHAR, FILE_DEVICE_NULL, false},
        {"ComPort", FILE_TYPE_CHAR, FILE_DEVICE_SERIAL_PORT, true},
        {"AdapterOfAnUnknownKind", FILE_TYPE_CHAR, FILE_DEVICE_UNKNOWN, true},
        {"CharacterDeviceThatDoesNotSay", FILE_TYPE_CHAR, 0, true},
        {"Console", FILE_TYPE_CHAR, FILE_DEVICE_CONSOLE, true},
        {"Pipe", FILE_TYPE_PIPE, FILE_DEVICE_NAMED_PIPE, true},
        {"PipeOfTheNullType", FILE_TYPE_PIPE, FILE_DEVICE_NULL, true},
        {"UnknownType", FILE_TYPE_UNKNOWN, 0, true},
    };
    for (const auto& row : rows) EXPECT_EQ(IsDeviceHandle(row.Type, row.Device), row.IsDevice) << row.Name;
}

// The number a message gives means what the README says of it: a pulled USB
// stick or a lost share is an I/O error (never an invalid argument), a
// write-protected card a read-only file system (never a held file).
TEST(LogFile, ErrorNumbersMeanWhatTheMessagesSay) {
    const struct {
        DWORD Error;
        int Number;
    } rows[] = {
        {ERROR_SHARING_VIOLATION, EACCES}, {ERROR_LOCK_VIOLATION, EACCES}, {ERROR_ACCESS_DENIED, EACCES},
        {ERROR_WRITE_PROTECT, EROFS}, {ERROR_NOT_READY, EIO}, {ERROR_CRC, EIO}, {ERROR_WRITE_FAULT, EIO},
        {ERROR_READ_FAULT, EIO}, {ERROR_GEN_FAILURE, EIO}, {ERROR_UNEXP_NET_ERR, EIO}, {ERROR_NETNAME_DELETED, EIO},
        {ERROR_SEM_TIMEOUT, EIO}, {ERROR_DEVICE_NOT_CONNECTED, EIO}, {ERROR_NO_SUCH_DEVICE, EIO},
        {ERROR_DEVICE_REMOVED, EIO}, {ERROR_FILE_INVALID, EIO}, {ERROR_DISK_FULL, ENOSPC}, {1295, ENOSPC},  // a quota
        {ERROR_PATH_NOT_FOUND, ENOENT}, {ERROR_BAD_NETPATH, ENOENT}, {ERROR_INVALID_NAME, EINVAL},
    };
    for (const auto& row : rows) EXPECT_EQ(FileErrorNumber(row.Error), row.Number) << row.Error;
}

// A port as Device Manager names it, its USB IDs from the first hardware ID;
// the driver's device where SetupAPI knows nothing of it.
TEST(PortList, NamesAPortAsDeviceManagerDoes) {
    const struct {
        const char* Friendly;
        const char* HardwareId;
        const char* Line;
    } rows[] = {
        {"USB Serial Port (COM5)", "FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", "COM5  USB Serial Port  0403:6001"},
        {"Silicon Labs CP210x USB to UART Bridge (com5)", "USB\\Vid_10c4&Pid_EA60&REV_0100",
         "COM5  Silicon Labs CP210x USB to UART Bridge  10c4:ea60"},
        {"Communications Port (COM5)", "ACPI\\PNP0501", "COM5  Communications Port"},
        {"", "", "COM5  \\Device\\VCP0"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(PortLine("COM5", "\\Device\\VCP0", row.Friendly, row.HardwareId), row.Line);
    }
    // Beside a COM12 the names stand in its column.
    EXPECT_EQ(PortLine("COM5", "\\Device\\VCP0", "", "", 5), "COM5   \\Device\\VCP0");
}

}  // namespace
