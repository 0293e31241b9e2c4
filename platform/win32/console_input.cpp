#include "platform.h"

#include <cstdlib>

#include "key_table.h"

static_assert(controlkey::kRightAlt == RIGHT_ALT_PRESSED && controlkey::kLeftAlt == LEFT_ALT_PRESSED &&
                  controlkey::kRightCtrl == RIGHT_CTRL_PRESSED && controlkey::kLeftCtrl == LEFT_CTRL_PRESSED &&
                  controlkey::kShift == SHIFT_PRESSED && controlkey::kEnhanced == ENHANCED_KEY,
              "the key table uses the Win32 control-key flags");

namespace {

HANDLE gConsoleInput = INVALID_HANDLE_VALUE;
bool gConsoleInputOpened = false;
DWORD gEventsSeen = 0; // events waiting at the last look, none of them a key press

HANDLE ConsoleInput() {
    if (!gConsoleInputOpened) {
        gConsoleInputOpened = true;
        // The console's own input, whatever standard input is redirected from.
        gConsoleInput = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    }
    return gConsoleInput;
}

} // namespace

bool ConsoleInputAvailable() {
    return ConsoleInput() != INVALID_HANDLE_VALUE;
}

bool KeyPressPending() {
    HANDLE input = ConsoleInput();
    DWORD count = 0;
    if (input == INVALID_HANDLE_VALUE || !GetNumberOfConsoleInputEvents(input, &count) || count == 0) {
        gEventsSeen = 0;
        return false;
    }
    // From the C runtime's heap: the program links no C++ runtime library.
    INPUT_RECORD* events = static_cast<INPUT_RECORD*>(std::malloc(count * sizeof *events));
    if (!events) return false;
    DWORD peeked = 0;
    bool pressed = false;
    if (PeekConsoleInputA(input, events, count, &peeked)) {
        gEventsSeen = peeked;
        for (DWORD i = 0; i < peeked && !pressed; ++i) {
            if (events[i].EventType != KEY_EVENT) continue;
            const KEY_EVENT_RECORD& key = events[i].Event.KeyEvent;
            pressed = IsKeyPress(ConsoleKeyEvent{key.bKeyDown != FALSE, key.wVirtualKeyCode, key.uChar.AsciiChar,
                                                 key.dwControlKeyState});
        }
    }
    std::free(events);
    return pressed;
}

void WaitForConsoleInput(unsigned timeoutMs) {
    HANDLE input = ConsoleInput();
    if (input == INVALID_HANDLE_VALUE) {
        Sleep(timeoutMs);
        return;
    }
    // The handle stays signalled while any event waits, and the events that
    // are not key presses are never taken away; so when nothing new arrived,
    // sleep instead of returning at once.
    DWORD count = 0;
    if (WaitForSingleObject(input, timeoutMs) == WAIT_OBJECT_0 && GetNumberOfConsoleInputEvents(input, &count) &&
        count == gEventsSeen)
        Sleep(timeoutMs);
}
