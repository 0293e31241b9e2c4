// The key test of the Windows console wait: which events without a character
// end it, at the edges of the key ranges and with the modifiers that decide.
#include <gtest/gtest.h>

#include "key_table.h"

namespace {

using namespace controlkey;

struct Case {
    std::uint16_t vk;
    std::uint32_t controls;
    bool ends;
    const char* what;
};

const Case kCases[] = {
    {0x70, kLeftAlt, true, "F1 with Alt"}, {0x7B, kShift, true, "F12"}, {0x7C, 0, false, "F13"},
    {0x24, kEnhanced | kLeftAlt, true, "Home of the separate block with Alt"},
    {0x24, kLeftCtrl, true, "Home on the keypad with Ctrl"}, {0x2E, kRightAlt, false, "Del on the keypad with Alt"},
    {0x21, kRightAlt | kLeftCtrl, false, "Alt comes before Ctrl"}, {0x2C, kEnhanced, false, "Print Screen"},
    {0x0C, 0, false, "keypad centre without Num Lock"}, {0x09, 0, false, "plain Tab: its character only"},
    {0x09, kShift, true, "Shift+Tab"}, {0x32, kRightCtrl, true, "Ctrl+2"}, {0x33, kLeftCtrl, false, "Ctrl+3"},
    {0x32, kShift, false, "Shift+2"}, {0x41, kLeftAlt, true, "Alt+A"}, {0x5A, kRightAlt, true, "AltGr+Z"},
    {0xDE, kLeftAlt, true, "Alt+'"}, {0xDC, kLeftAlt, false, "Alt+backslash"}, {0x20, kLeftAlt, false, "Alt+Space"},
    {0x41, kLeftCtrl, false, "Ctrl+A: its character only"}, {0x10, kShift, false, "Shift alone"},
    {0xA5, kRightAlt, false, "right Alt alone"}, {0x14, 0, false, "Caps Lock"},
};

TEST(KeyTable, KeysWithoutACharacter) {
    for (const Case& c : kCases) EXPECT_EQ(IsKeyPress({true, c.vk, 0, c.controls}), c.ends) << c.what;
}

TEST(KeyTable, AnyCharacterEndsTheWaitButAReleaseDoesNot) {
    EXPECT_TRUE(IsKeyPress({true, 0xDE, static_cast<char>(0xE4), 0}));
    EXPECT_FALSE(IsKeyPress({false, 'A', 'a', 0}));
    EXPECT_FALSE(IsKeyPress({false, 0x70, 0, 0}));
}

} // namespace
