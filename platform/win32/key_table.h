#pragma once

#include <cstdint>

// Decides whether one console input event is a key press that ends the key
// wait. Kept free of <windows.h> so that the table is tested on any host; the
// numbers are the Win32 virtual-key codes and control-key flags.

struct ConsoleKeyEvent {
    bool keyDown;
    std::uint16_t virtualKey;
    char character;            // the event's 8-bit character, 0 for none
    std::uint32_t controlKeys; // the Win32 dwControlKeyState bits
};

namespace controlkey {
constexpr std::uint32_t kRightAlt = 0x0001;
constexpr std::uint32_t kLeftAlt = 0x0002;
constexpr std::uint32_t kRightCtrl = 0x0004;
constexpr std::uint32_t kLeftCtrl = 0x0008;
constexpr std::uint32_t kShift = 0x0010;
constexpr std::uint32_t kEnhanced = 0x0100; // the key of the separate block
} // namespace controlkey

bool IsKeyPress(const ConsoleKeyEvent& event);
