// The Windows decisions that Wine cannot show through a device or a console:
// what a finished read keeps, what a pending read does after a stop, which
// line is applied, how an open failure reads, which console event is a key.
// Built with mingw-w64 and run under Wine (or on Windows).
#include <gtest/gtest.h>

#include <cstring>

#include "../console/console_win32.h"
#include "../serial/serial_platform.h"
#include "../serial/serial_win32.h"

namespace {

// ---- What a finished read keeps, and how it ended ----

// The four ways a read can end, as ReadFile and GetOverlappedResult say it.
ReadReport AtOnce(DWORD count) { return {TRUE, 0, FALSE, 0, count, false, 0, true, 0, true}; }
ReadReport Refused(DWORD error) { return {FALSE, error, FALSE, 0, 0, false, 0, true, 0, true}; }
ReadReport Finished(DWORD count, std::int64_t elapsed) {
    return {FALSE, ERROR_IO_PENDING, TRUE, 0, count, false, elapsed, true, 0, true};
}
ReadReport Failed(DWORD error, DWORD count, std::int64_t elapsed) {
    return {FALSE, ERROR_IO_PENDING, FALSE, error, count, false, elapsed, true, 0, true};
}
ReadReport CancelledByUs(ReadReport report) {
    report.CancelledByUs = true;
    return report;
}
ReadReport LineSilent(ReadReport report) {  // ClearCommError fails afterwards
    report.LineAnswers = false;
    return report;
}
ReadReport AfterEmptyReads(ReadReport report, unsigned count) {
    report.EmptyBefore = count;
    return report;
}
ReadReport UnderLeftTimeouts(ReadReport report) {  // SetCommTimeouts was never reached
    report.OwnTimeouts = false;
    return report;
}

struct ReadRow {
    const char* Name;
    ReadReport Report;
    DWORD Kept;
    ReadEnding How;
};

void PrintTo(const ReadRow& row, std::ostream* out) { *out << row.Name; }

class ReadEndings : public ::testing::TestWithParam<ReadRow> {};

TEST_P(ReadEndings, KeepOnlyTheBytesTheSystemCopied) {
    const ReadRow& row = GetParam();
    const ReadVerdict verdict = JudgeRead(row.Report, BlockSize);
    EXPECT_EQ(verdict.Kept, row.Kept);
    EXPECT_EQ(static_cast<int>(verdict.How), static_cast<int>(row.How));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ReadEndings,
    ::testing::Values(
        ReadRow{"WholeBlockAtOnce", AtOnce(1024), 1024, ReadEnding::Complete},
        ReadRow{"PartAtOnce", AtOnce(300), 300, ReadEnding::ShortAtOnce},
        ReadRow{"EmptyAtOnce", AtOnce(0), 0, ReadEnding::Empty},
        ReadRow{"NineteenthEmptyInARow", AfterEmptyReads(AtOnce(0), 18), 0, ReadEnding::Empty},
        ReadRow{"TwentiethEmptyInARow", AfterEmptyReads(AtOnce(0), 19), 0, ReadEnding::Lost},
        ReadRow{"TwentiethEmptyUnderLeftTimeouts", UnderLeftTimeouts(AfterEmptyReads(AtOnce(0), 19)), 0,
                ReadEnding::Empty},
        ReadRow{"EmptyAfterAMomentPending", Finished(0, 30), 0, ReadEnding::Empty},
        ReadRow{"WholeBlockPending", Finished(1024, 900), 1024, ReadEnding::Complete},
        ReadRow{"CountBeyondTheBlock", Finished(4096, 900), 1024, ReadEnding::Complete},
        ReadRow{"PartThenPause", Finished(500, 1400), 500, ReadEnding::TimedOut},
        ReadRow{"SilentLine", Finished(0, 2050), 0, ReadEnding::TimedOut},
        ReadRow{"SilentLineAfterEmptyReads", AfterEmptyReads(Finished(0, 2060), 19), 0, ReadEnding::TimedOut},
        ReadRow{"WineTimeOutKeepsItsBytes", Failed(ERROR_TIMEOUT, 700, 2050), 700, ReadEnding::TimedOut},
        ReadRow{"IoTimeOutKeepsNone", Failed(ERROR_SEM_TIMEOUT, 700, 2050), 0, ReadEnding::TimedOut},
        ReadRow{"CancelledAfterAStop", CancelledByUs(Failed(ERROR_OPERATION_ABORTED, 600, 3100)), 0,
                ReadEnding::Stopped},
        ReadRow{"CancelledButCompleted", CancelledByUs(Finished(600, 3100)), 600, ReadEnding::TimedOut},
        ReadRow{"AbortedByALineError", Failed(ERROR_OPERATION_ABORTED, 200, 40), 0, ReadEnding::LineError},
        ReadRow{"StartRefusedByALineError", Refused(ERROR_OPERATION_ABORTED), 0, ReadEnding::LineError},
        ReadRow{"AbortedOnASilentPort", LineSilent(Failed(ERROR_OPERATION_ABORTED, 200, 40)), 0, ReadEnding::Lost},
        ReadRow{"FaultOnItsWay", Failed(ERROR_INVALID_PARAMETER, 300, 50), 0, ReadEnding::Fault},
        ReadRow{"FaultOnASilentPort", LineSilent(Failed(ERROR_BROKEN_PIPE, 300, 50)), 0, ReadEnding::Lost},
        ReadRow{"StartRefused", Refused(ERROR_INVALID_PARAMETER), 0, ReadEnding::Refused},
        ReadRow{"StartRefusedOnASilentPort", LineSilent(Refused(ERROR_INVALID_PARAMETER)), 0, ReadEnding::Lost}),
    [](const auto& info) { return info.param.Name; });

TEST(ReadEndingsOfARemovedDevice, AreLostWhateverClearCommErrorSays) {
    for (DWORD error : {5, 6, 22, 31, 433, 1167, 1617}) {
        EXPECT_EQ(static_cast<int>(JudgeRead(Failed(error, 400, 100), BlockSize).How),
                  static_cast<int>(ReadEnding::Lost))
            << error;
        EXPECT_EQ(static_cast<int>(JudgeRead(Refused(error), BlockSize).How), static_cast<int>(ReadEnding::Lost))
            << error;
        EXPECT_EQ(JudgeRead(Failed(error, 400, 100), BlockSize).Kept, 0u) << error;
    }
}

// ---- A read still pending ----

struct PendingRow {
    PendingRead Read;
    PendingStep Step;
};

TEST(PendingReads, WaitForTheirTimeOutsAndAreCutShortOnlyAfterAStop) {
    const PendingRow rows[] = {
        {{500, false, false, 0}, PendingStep::Wait},
        {{60000, false, false, 0}, PendingStep::Wait},  // no stop: as long as the driver takes
        {{100, true, false, 0}, PendingStep::Wait},     // a stop: the read ends on its time-outs
        {{3049, true, false, 0}, PendingStep::Wait},
        {{3050, true, false, 0}, PendingStep::Cancel},  // 1 s past its total of 2050 ms
        {{9000, true, false, 0}, PendingStep::Cancel},
        {{3100, true, true, 50}, PendingStep::Wait},    // cancelled: given a second to complete
        {{4049, true, true, 999}, PendingStep::Wait},
        {{4050, true, true, 1000}, PendingStep::Abandon},
    };
    for (const PendingRow& row : rows) {
        EXPECT_EQ(static_cast<int>(NextStep(row.Read, BlockSize)), static_cast<int>(row.Step))
            << row.Read.Elapsed << " ms, stop " << row.Read.StopRequested << ", cancelled " << row.Read.Cancelled;
    }
}

// ---- The line as applied ----

TEST(LineSetUp, OverridesEveryFlagAnEarlierProgramLeft) {
    DCB hostile;
    std::memset(&hostile, 0xFF, sizeof hostile);
    DCB line = hostile;
    CompleteLine(line, 76800, 65536);
    EXPECT_EQ(line.DCBlength, sizeof(DCB));
    EXPECT_EQ(line.BaudRate, 76800u);
    EXPECT_EQ(line.ByteSize, 8);
    EXPECT_EQ(line.Parity, NOPARITY);
    EXPECT_EQ(line.StopBits, ONESTOPBIT);
    EXPECT_EQ(line.fBinary, 1u);
    EXPECT_EQ(line.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
    EXPECT_EQ(line.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    const struct {
        const char* Name;
        DWORD Value;
    } off[] = {
        {"fParity", line.fParity}, {"fOutxCtsFlow", line.fOutxCtsFlow}, {"fOutxDsrFlow", line.fOutxDsrFlow},
        {"fDsrSensitivity", line.fDsrSensitivity}, {"fOutX", line.fOutX}, {"fInX", line.fInX},
        {"fErrorChar", line.fErrorChar}, {"fNull", line.fNull}, {"fAbortOnError", line.fAbortOnError}};
    for (const auto& flag : off) EXPECT_EQ(flag.Value, 0u) << flag.Name;
    EXPECT_EQ(line.XonChar, 0x11);
    EXPECT_EQ(line.XoffChar, 0x13);
    EXPECT_EQ(line.XonLim, 16384);
    EXPECT_EQ(line.XoffLim, 16384);
    // What only matters with a flag now off, or for sending, keeps its value.
    EXPECT_EQ(line.fTXContinueOnXoff, hostile.fTXContinueOnXoff);
    EXPECT_EQ(line.ErrorChar, hostile.ErrorChar);
    EXPECT_EQ(line.EofChar, hostile.EofChar);
    EXPECT_EQ(line.EvtChar, hostile.EvtChar);
}

TEST(LineSetUp, FlowLimitsFitTheQueueTheDriverReports) {
    const struct {
        DWORD Queue;
        WORD Limit;
    } rows[] = {{65536, 16384}, {4096, 1024}, {0, 0}, {1 << 20, 0xFFFF}};
    for (const auto& row : rows) {
        DCB line{};
        CompleteLine(line, 9600, row.Queue);
        EXPECT_EQ(line.XonLim, row.Limit) << row.Queue;
        EXPECT_EQ(line.XoffLim, row.Limit) << row.Queue;
    }
}

// ---- Open failures ----

TEST(OpenErrors, OnlyAMissingOrHeldPortHasItsOwnText) {
    EXPECT_EQ(ClassifyOpenError(0), OpenFault::None);
    EXPECT_EQ(ClassifyOpenError(ERROR_FILE_NOT_FOUND), OpenFault::NotFound);
    EXPECT_EQ(ClassifyOpenError(ERROR_ACCESS_DENIED), OpenFault::AccessDenied);
    for (int code : {ERROR_PATH_NOT_FOUND, ERROR_SHARING_VIOLATION, ERROR_GEN_FAILURE, ERROR_INVALID_PARAMETER,
                     ERROR_SEM_TIMEOUT, ERROR_INVALID_NAME, ERROR_DEVICE_NOT_CONNECTED}) {
        EXPECT_EQ(ClassifyOpenError(code), OpenFault::Other) << code;
    }
}

// ---- The console ----

// A console event; any other event type over the bytes of a pressed key.
INPUT_RECORD Key(WORD code, char character, DWORD state = 0, BOOL down = TRUE) {
    INPUT_RECORD event{};
    event.EventType = KEY_EVENT;
    event.Event.KeyEvent.bKeyDown = down;
    event.Event.KeyEvent.wRepeatCount = 1;
    event.Event.KeyEvent.wVirtualKeyCode = code;
    event.Event.KeyEvent.uChar.AsciiChar = character;
    event.Event.KeyEvent.dwControlKeyState = state;
    return event;
}
INPUT_RECORD Other(WORD type) {
    INPUT_RECORD event = Key('Q', 'q');
    event.EventType = type;
    return event;
}

struct KeyRow {
    const char* Name;
    INPUT_RECORD Event;
    bool Counts;
};

void PrintTo(const KeyRow& row, std::ostream* out) { *out << row.Name; }

class KeyFilter : public ::testing::TestWithParam<KeyRow> {};

TEST_P(KeyFilter, CountsExactlyTheKeysThatEndACapture) { EXPECT_EQ(CountsAsKey(GetParam().Event), GetParam().Counts); }

constexpr DWORD Ctrl = LEFT_CTRL_PRESSED, Alt = LEFT_ALT_PRESSED, Extended = ENHANCED_KEY;

INSTANTIATE_TEST_SUITE_P(
    Rows, KeyFilter,
    ::testing::Values(
        KeyRow{"Letter", Key('Q', 'q'), true}, KeyRow{"ShiftedLetter", Key('Q', 'Q', SHIFT_PRESSED), true},
        KeyRow{"Digit", Key('7', '7'), true}, KeyRow{"Space", Key(VK_SPACE, ' '), true},
        KeyRow{"Enter", Key(VK_RETURN, '\r'), true}, KeyRow{"Escape", Key(VK_ESCAPE, '\x1b'), true},
        KeyRow{"Backspace", Key(VK_BACK, '\b'), true}, KeyRow{"Tab", Key(VK_TAB, '\t'), true},
        KeyRow{"CtrlLetter", Key('A', '\x01', Ctrl), true},
        KeyRow{"AltGrCharacter", Key('Q', '@', RIGHT_ALT_PRESSED | Ctrl), true},
        KeyRow{"NumpadDigit", Key(VK_NUMPAD5, '5', NUMLOCK_ON), true},
        KeyRow{"NumpadTimes", Key(VK_MULTIPLY, '*'), true}, KeyRow{"F1", Key(VK_F1, 0), true},
        KeyRow{"F12", Key(VK_F12, 0), true}, KeyRow{"Home", Key(VK_HOME, 0, Extended), true},
        KeyRow{"End", Key(VK_END, 0, Extended), true}, KeyRow{"PageUp", Key(VK_PRIOR, 0, Extended), true},
        KeyRow{"PageDown", Key(VK_NEXT, 0, Extended), true}, KeyRow{"Left", Key(VK_LEFT, 0, Extended), true},
        KeyRow{"Up", Key(VK_UP, 0, Extended), true}, KeyRow{"Right", Key(VK_RIGHT, 0, Extended), true},
        KeyRow{"Down", Key(VK_DOWN, 0), true}, KeyRow{"Insert", Key(VK_INSERT, 0, Extended), true},
        KeyRow{"Delete", Key(VK_DELETE, 0), true}, KeyRow{"NumpadDivide", Key(VK_DIVIDE, 0, Extended), true},
        KeyRow{"NumpadEnter", Key(VK_RETURN, 0, Extended), true}, KeyRow{"AltLetter", Key('X', 0, Alt), true},
        KeyRow{"AltDigit", Key('3', 0, RIGHT_ALT_PRESSED), true}, KeyRow{"AltOem", Key(VK_OEM_4, 0, Alt), true},
        KeyRow{"AltOem102", Key(VK_OEM_102, 0, Alt), true}, KeyRow{"AltBackspace", Key(VK_BACK, 0, Alt), true},
        KeyRow{"AltEnter", Key(VK_RETURN, 0, Alt), true}, KeyRow{"CtrlTab", Key(VK_TAB, 0, Ctrl), true},
        KeyRow{"ShiftTab", Key(VK_TAB, 0, SHIFT_PRESSED), true}, KeyRow{"CtrlAt", Key('2', 0, RIGHT_CTRL_PRESSED), true},
        KeyRow{"Shift", Key(VK_SHIFT, 0, SHIFT_PRESSED), false}, KeyRow{"Ctrl", Key(VK_CONTROL, 0, Ctrl), false},
        KeyRow{"Alt", Key(VK_MENU, 0, Alt), false}, KeyRow{"CapsLock", Key(VK_CAPITAL, 0, CAPSLOCK_ON), false},
        KeyRow{"NumLock", Key(VK_NUMLOCK, 0, Extended), false}, KeyRow{"ScrollLock", Key(VK_SCROLL, 0), false},
        KeyRow{"LeftWindows", Key(VK_LWIN, 0, Extended), false}, KeyRow{"RightWindows", Key(VK_RWIN, 0, Extended), false},
        KeyRow{"Menu", Key(VK_APPS, 0, Extended), false}, KeyRow{"PrintScreen", Key(VK_SNAPSHOT, 0, Extended), false},
        KeyRow{"Pause", Key(VK_PAUSE, 0), false}, KeyRow{"CtrlDigitWithoutCharacter", Key('3', 0, Ctrl), false},
        KeyRow{"LetterReleased", Key('Q', 'q', 0, FALSE), false}, KeyRow{"F1Released", Key(VK_F1, 0, 0, FALSE), false},
        KeyRow{"Mouse", Other(MOUSE_EVENT), false}, KeyRow{"Focus", Other(FOCUS_EVENT), false},
        KeyRow{"MenuEvent", Other(MENU_EVENT), false}, KeyRow{"BufferSize", Other(WINDOW_BUFFER_SIZE_EVENT), false}),
    [](const auto& info) { return info.param.Name; });

TEST(InputMode, IsPutBackAsSavedAndQuickEditNeverLostWhenHidden) {
    const DWORD shown = ENABLE_EXTENDED_FLAGS | ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT;
    EXPECT_EQ(RestoredInputMode(shown | ENABLE_QUICK_EDIT_MODE | ENABLE_INSERT_MODE),
              shown | ENABLE_QUICK_EDIT_MODE | ENABLE_INSERT_MODE);
    EXPECT_EQ(RestoredInputMode(shown), shown);  // QuickEdit was off: it stays off
    EXPECT_EQ(RestoredInputMode(ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT),
              ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_EXTENDED_FLAGS | ENABLE_QUICK_EDIT_MODE |
                  ENABLE_INSERT_MODE);
}

}  // namespace
