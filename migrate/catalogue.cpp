#include "catalogue.h"

#include <cstdint>

#include "platform.h"
#include "profile_store.h"
#include "registry_store.h"

namespace {

// One program-wide variable per setting, seen only through the catalogue
// below. An integer starts with its default; a string buffer is filled by
// the read pass.
char gTavikDirectory[MAX_PATH];
std::int32_t gAutoSave = 0;
std::int32_t gAutoSaveOnExit = 1;
std::int32_t gSaveDefaultConfirm = 1;
std::int32_t gStartupBackup = 0;
std::int32_t gLoadObjectWarning = 1;
std::int32_t gPort2IsShared = 0;
char gPort2Filename[MAX_PATH];
std::int32_t gAlwaysDisplayLog = 1;
std::int32_t gMnemonics = 0;
std::int32_t gSymbolic = 0;
std::int32_t gAlwaysOnTop = 0;
std::int32_t gActivationFollowsMouse = 0;
std::int32_t gEmulatorRealSpeed = 1;
std::int32_t gSXCycles = 82;
std::int32_t gGXCycles = 123;
std::int32_t gKeyMinDelay = 50;
std::int32_t gWakeupDelay = 200;
std::int32_t gGrayscale = 0;
std::int32_t gWaveBeep = 0;
std::int32_t gWaveVolume = 64;
std::int32_t gLowBatDisable = 0;
std::int32_t gMacroRealSpeed = 1;
std::int32_t gReplayTimeout = 0;
char gSerialWire[16];
char gSerialIr[16];
std::int32_t gRomWriteable = 1;
// The default of a setting written only when set: the profile did not set it
// (or set it to -1, which reads the same).
const std::int32_t kNotSet = -1;
std::int32_t gRomWP = kNotSet;

// The current directory, default of "TavikDirectory"; filled at the start of the read pass.
char gCurrentDirectory[MAX_PATH];

// One row of the catalogue: an integer setting has intValue, a string setting
// has text with its capacity and default. A setting written only when set
// defaults to kNotSet and is not written while it holds it.
struct Setting {
    const char* section;
    const char* key;
    std::int32_t* intValue;
    char* text;
    std::uint32_t capacity;
    const char* textDefault;
    bool writtenOnlyWhenSet = false;
};

const bool kWrittenOnlyWhenSet = true;

const Setting kCatalogue[] = {
    {"Files", "TavikDirectory", nullptr, gTavikDirectory, sizeof gTavikDirectory, gCurrentDirectory},
    {"Files", "AutoSave", &gAutoSave, nullptr, 0, nullptr},
    {"Files", "AutoSaveOnExit", &gAutoSaveOnExit, nullptr, 0, nullptr},
    {"Files", "SaveDefaultConfirm", &gSaveDefaultConfirm, nullptr, 0, nullptr},
    {"Files", "StartupBackup", &gStartupBackup, nullptr, 0, nullptr},
    {"Files", "LoadObjectWarning", &gLoadObjectWarning, nullptr, 0, nullptr},
    {"Port2", "IsShared", &gPort2IsShared, nullptr, 0, nullptr},
    {"Port2", "Filename", nullptr, gPort2Filename, sizeof gPort2Filename, "SHARED.BIN"},
    {"KML", "AlwaysDisplayLog", &gAlwaysDisplayLog, nullptr, 0, nullptr},
    {"Disassembler", "Mnemonics", &gMnemonics, nullptr, 0, nullptr},
    {"Disassembler", "Symbolic", &gSymbolic, nullptr, 0, nullptr},
    {"Emulator", "AlwaysOnTop", &gAlwaysOnTop, nullptr, 0, nullptr},
    {"Emulator", "ActivationFollowsMouse", &gActivationFollowsMouse, nullptr, 0, nullptr},
    {"Emulator", "RealSpeed", &gEmulatorRealSpeed, nullptr, 0, nullptr},
    {"Emulator", "SXCycles", &gSXCycles, nullptr, 0, nullptr},
    {"Emulator", "GXCycles", &gGXCycles, nullptr, 0, nullptr},
    {"Emulator", "KeyMinDelay", &gKeyMinDelay, nullptr, 0, nullptr},
    {"Emulator", "WakeupDelay", &gWakeupDelay, nullptr, 0, nullptr},
    {"Emulator", "Grayscale", &gGrayscale, nullptr, 0, nullptr},
    {"Emulator", "WaveBeep", &gWaveBeep, nullptr, 0, nullptr},
    {"Emulator", "WaveVolume", &gWaveVolume, nullptr, 0, nullptr},
    {"LowBat", "Disable", &gLowBatDisable, nullptr, 0, nullptr},
    {"Macro", "RealSpeed", &gMacroRealSpeed, nullptr, 0, nullptr},
    {"Macro", "ReplayTimeout", &gReplayTimeout, nullptr, 0, nullptr},
    {"Serial", "Wire", nullptr, gSerialWire, sizeof gSerialWire, "disabled"},
    {"Serial", "Ir", nullptr, gSerialIr, sizeof gSerialIr, "disabled"},
    {"ROM", "Writeable", &gRomWriteable, nullptr, 0, nullptr},
    {"ROM", "WP#", &gRomWP, nullptr, 0, nullptr, kWrittenOnlyWhenSet},
};

} // namespace

void ReadSettings() {
    // A current directory that cannot be had or does not fit leaves the default empty.
    const DWORD length = GetCurrentDirectoryA(sizeof gCurrentDirectory, gCurrentDirectory);
    if (length == 0 || length >= sizeof gCurrentDirectory) gCurrentDirectory[0] = '\0';

    for (const Setting& setting : kCatalogue) {
        if (setting.intValue)
            *setting.intValue = ReadProfileInt(setting.section, setting.key, *setting.intValue);
        else
            ReadProfileString(setting.section, setting.key, setting.textDefault, setting.text, setting.capacity);
    }
}

void WriteSettings() {
    for (const Setting& setting : kCatalogue) {
        if (setting.writtenOnlyWhenSet && *setting.intValue == kNotSet) continue;
        if (setting.intValue)
            WriteRegistryValue(setting.section, setting.key, REG_DWORD, setting.intValue, sizeof *setting.intValue);
        else
            WriteRegistryValue(setting.section, setting.key, REG_SZ, setting.text,
                               static_cast<std::uint32_t>(lstrlenA(setting.text)) + 1);
    }
}
