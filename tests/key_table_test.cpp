// The key test of the Windows console wait, key by key.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "key_table.h"

namespace {

using namespace controlkey;

constexpr std::uint32_t kNone = 0;
constexpr std::uint32_t kCtrl = kLeftCtrl;
constexpr std::uint32_t kAlt = kLeftAlt;
const std::uint32_t kModifiers[] = {kNone, kShift, kCtrl, kRightCtrl, kAlt, kRightAlt};

bool Press(std::uint16_t vk, std::uint32_t controls, char character = 0) {
    return IsKeyPress({true, vk, character, controls});
}

TEST(KeyTable, AnyCharacterIsAKeyPressButAReleaseIsNot) {
    EXPECT_TRUE(Press('A', kNone, 'a'));
    EXPECT_TRUE(Press(0x0D, kNone, '\r'));
    EXPECT_TRUE(Press(0x1B, kNone, '\x1b'));
    EXPECT_TRUE(Press(0xDE, kNone, static_cast<char>(0xE4))); // a character above 127
    EXPECT_FALSE(IsKeyPress({false, 'A', 'a', kNone}));
    EXPECT_FALSE(IsKeyPress({false, 0x70, 0, kNone}));
}

TEST(KeyTable, FunctionKeysWithAnyModifier) {
    for (std::uint16_t vk = 0x70; vk <= 0x7B; ++vk)
        for (std::uint32_t modifier : kModifiers) EXPECT_TRUE(Press(vk, modifier)) << vk << " " << modifier;
    EXPECT_FALSE(Press(0x7C, kNone)) << "F13 has no extended code";
}

TEST(KeyTable, CursorBlockWithAnyModifierKeypadNotWithAlt) {
    const std::uint16_t keys[] = {0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x2D, 0x2E};
    for (std::uint16_t vk : keys) {
        for (std::uint32_t modifier : kModifiers) EXPECT_TRUE(Press(vk, modifier | kEnhanced)) << vk;
        EXPECT_TRUE(Press(vk, kNone)) << vk;
        EXPECT_TRUE(Press(vk, kShift)) << vk;
        EXPECT_TRUE(Press(vk, kCtrl)) << vk;
        EXPECT_FALSE(Press(vk, kAlt)) << vk;
        EXPECT_FALSE(Press(vk, kRightAlt | kCtrl)) << vk;
    }
    EXPECT_FALSE(Press(0x0C, kNone)) << "keypad centre key without Num Lock";
    EXPECT_FALSE(Press(0x2C, kEnhanced)) << "Print Screen";
}

TEST(KeyTable, TabAndTwoWithTheirModifiers) {
    EXPECT_TRUE(Press(0x09, kShift));
    EXPECT_TRUE(Press(0x09, kCtrl));
    EXPECT_TRUE(Press(0x09, kAlt));
    EXPECT_FALSE(Press(0x09, kNone)) << "plain Tab ends the wait through its character only";
    EXPECT_TRUE(Press('2', kCtrl));
    EXPECT_FALSE(Press('3', kCtrl));
    EXPECT_FALSE(Press('2', kShift));
}

TEST(KeyTable, AltCombinations) {
    std::string keys = "\x1B\x08\x09\x0D";
    for (char c = '0'; c <= '9'; ++c) keys += c;
    for (char c = 'A'; c <= 'Z'; ++c) keys += c;
    const std::uint16_t punctuation[] = {0xC0, 0xBD, 0xBB, 0xDB, 0xDD, 0xBA, 0xDE, 0xBC, 0xBE, 0xBF};
    for (char key : keys) {
        EXPECT_TRUE(Press(static_cast<std::uint8_t>(key), kAlt)) << int(key);
        EXPECT_TRUE(Press(static_cast<std::uint8_t>(key), kRightAlt)) << int(key);
    }
    for (std::uint16_t vk : punctuation) EXPECT_TRUE(Press(vk, kAlt)) << vk;
    EXPECT_FALSE(Press(0xDC, kAlt)) << "backslash is not among them";
    EXPECT_FALSE(Press(0x20, kAlt)) << "nor the space bar";
    EXPECT_FALSE(Press('A', kCtrl)) << "Ctrl with a letter counts through its character only";
}

TEST(KeyTable, ModifiersAndLocksAloneAreNoKeyPress) {
    const std::uint16_t alone[] = {0x10, 0x11, 0x12, 0x14, 0x90, 0x91, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
    for (std::uint16_t vk : alone)
        for (std::uint32_t modifier : kModifiers) EXPECT_FALSE(Press(vk, modifier)) << vk << " " << modifier;
}

} // namespace
