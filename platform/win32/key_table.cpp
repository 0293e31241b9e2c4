#include "key_table.h"

namespace {

// Which modifier a key is pressed with; Alt outranks Ctrl, Ctrl outranks Shift.
enum Modifier : std::uint8_t {
    kAlone = 1,
    kWithShift = 2,
    kWithCtrl = 4,
    kWithAlt = 8,
    kAnyModifier = kAlone | kWithShift | kWithCtrl | kWithAlt,
};

// Where the key sits: the cursor and editing keys exist twice, once in the
// separate block (flagged "enhanced") and once on the numeric keypad.
enum Block : std::uint8_t { kAnyBlock, kSeparateBlock, kKeypad };

struct ExtendedKeyRange {
    std::uint16_t first;
    std::uint16_t last;
    Block block;
    std::uint8_t modifiers;
};

// Keys that end the wait although they carry no character.
constexpr ExtendedKeyRange kExtendedKeys[] = {
    {0x70, 0x7B, kAnyBlock, kAnyModifier},                  // F1 to F12
    {0x21, 0x28, kSeparateBlock, kAnyModifier},             // Page Up/Down, End, Home, arrows
    {0x2D, 0x2E, kSeparateBlock, kAnyModifier},             // Insert, Delete
    {0x21, 0x28, kKeypad, kAlone | kWithShift | kWithCtrl}, // the same on the keypad, no digit
    {0x2D, 0x2E, kKeypad, kAlone | kWithShift | kWithCtrl},
    {0x09, 0x09, kAnyBlock, kWithShift | kWithCtrl},        // Tab
    {0x32, 0x32, kAnyBlock, kWithCtrl},                     // 2
    {0x1B, 0x1B, kAnyBlock, kWithAlt},                      // Esc
    {0x08, 0x09, kAnyBlock, kWithAlt},                      // Backspace, Tab
    {0x0D, 0x0D, kAnyBlock, kWithAlt},                      // Enter
    {0x30, 0x39, kAnyBlock, kWithAlt},                      // digits
    {0x41, 0x5A, kAnyBlock, kWithAlt},                      // letters
    {0xBA, 0xBA, kAnyBlock, kWithAlt},                      // ;
    {0xBB, 0xBB, kAnyBlock, kWithAlt},                      // =
    {0xBC, 0xBF, kAnyBlock, kWithAlt},                      // , - . /
    {0xC0, 0xC0, kAnyBlock, kWithAlt},                      // grave accent
    {0xDB, 0xDB, kAnyBlock, kWithAlt},                      // [
    {0xDD, 0xDE, kAnyBlock, kWithAlt},                      // ] '
};

Modifier ModifierOf(std::uint32_t controlKeys) {
    if (controlKeys & (controlkey::kLeftAlt | controlkey::kRightAlt)) return kWithAlt;
    if (controlKeys & (controlkey::kLeftCtrl | controlkey::kRightCtrl)) return kWithCtrl;
    if (controlKeys & controlkey::kShift) return kWithShift;
    return kAlone;
}

bool InBlock(Block block, std::uint32_t controlKeys) {
    const bool enhanced = (controlKeys & controlkey::kEnhanced) != 0;
    return block == kAnyBlock || (block == kSeparateBlock) == enhanced;
}

} // namespace

bool IsKeyPress(const ConsoleKeyEvent& event) {
    if (!event.keyDown) return false;
    if (event.character != 0) return true;
    const Modifier modifier = ModifierOf(event.controlKeys);
    for (const ExtendedKeyRange& range : kExtendedKeys) {
        if (event.virtualKey >= range.first && event.virtualKey <= range.last &&
            InBlock(range.block, event.controlKeys) && (range.modifiers & modifier) != 0)
            return true;
    }
    return false;
}
