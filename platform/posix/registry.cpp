// RegCreateKeyExA, RegSetValueExA, RegCloseKey and RegFlushKey over the Wine
// prefix's user.reg. The first call loads the file under the prefix's lock;
// the values stay in memory until RegFlushKey(HKEY_CURRENT_USER) writes them
// all at once, so a run that dies earlier leaves user.reg as it was.
#include <cstdio>
#include <memory>
#include <string>

#include "error_detail.h"
#include "filetime.h"
#include "memory_shortage.h"
#include "platform.h"
#include "profile_cache.h"
#include "reg_syntax.h"
#include "registry_file.h"
#include "text_encoding.h"
#include "user_reg.h"
#include "winapi.h"

struct HKEY__ {
    std::shared_ptr<const RegKeyRef> key;
};

namespace {

struct RegistrySession {
    bool loaded = false;
    LSTATUS loadStatus = ERROR_SUCCESS;
    // Set when a key could not be written as Wine would write it: nothing is
    // saved then, so that user.reg holds all of the run or none of it.
    LSTATUS refusal = ERROR_SUCCESS;
    RegistryFile file;
    UserReg hive;
    // The key opened last, which exists from then on (no key is deleted):
    // the run opens the same few keys again and again.
    std::string lastSubKey;
    std::shared_ptr<const RegKeyRef> lastKey;
    // A value's name in UTF-16, kept to reuse its memory.
    std::u16string valueName;
};

// Never freed: freeing a hive of a million values at exit would cost more
// than writing it.
RegistrySession& gSession = *new RegistrySession;

// Ends the session's edits when memory ran out (UnlessMemoryRunsShort has
// noted it): the hive, perhaps half read or changed, goes, and nothing is
// saved.
LSTATUS GiveUpForMemory() {
    gSession.hive = UserReg{};
    gSession.lastKey.reset();
    return ERROR_NOT_ENOUGH_MEMORY;
}

// Says at once why the run waits when another run holds the prefix's lock;
// `holder` is its process, 0 when the system does not show it.
void SayWhoHoldsThePrefix(long holder) {
    if (holder > 0)
        std::fprintf(stderr, "%swaiting for another tavikmigrate (pid %ld) on this prefix...\n", kMessagePrefix,
                     holder);
    else
        std::fprintf(stderr, "%swaiting for another tavikmigrate on this prefix...\n", kMessagePrefix);
}

LSTATUS LoadOnce() {
    if (MemoryRanShort()) return ERROR_NOT_ENOUGH_MEMORY;
    if (!gSession.loaded) {
        gSession.loaded = true;
        gSession.loadStatus = UnlessMemoryRunsShort(
            [] { return LoadRegistryFile(gSession.file, gSession.hive, SayWhoHoldsThePrefix); }, GiveUpForMemory,
            MemoryUse::ReadingUserReg);
        if (gSession.loadStatus != ERROR_SUCCESS) ReleaseRegistryFile(gSession.file);
    }
    return gSession.loadStatus;
}

// "Software\Tavik\Files" into its components; empty ones are skipped.
KeyPath SplitKeyPath(const char* subKey) {
    KeyPath path(1);
    for (char16_t c : DecodeCp1252(subKey)) {
        if (c == u'\\') {
            if (!path.back().empty()) path.emplace_back();
        } else {
            path.back().push_back(c);
        }
    }
    if (path.back().empty()) path.pop_back();
    return path;
}

// The types are passed to the hive as they come.
static_assert(REG_SZ == kRegString && REG_EXPAND_SZ == kRegExpandString && REG_BINARY == kRegBinary &&
              REG_DWORD == kRegDword && REG_MULTI_SZ == kRegMultiString);

// Opens or creates the key of a loaded hive: RegCreateKeyExA's work.
LSTATUS CreateKey(LPCSTR subKey, PHKEY result, LPDWORD disposition) {
    if (!gSession.lastKey || gSession.lastSubKey != subKey) {
        const KeyPath path = SplitKeyPath(subKey);
        if (path.empty()) return ERROR_INVALID_PARAMETER;
        auto ref = std::make_shared<const RegKeyRef>(MakeRegKeyRef(path));
        if (CrossesRegLink(gSession.hive, *ref)) {
            // The first key refused is the one the message names.
            if (gSession.refusal == ERROR_SUCCESS)
                SetErrorDetail(ERROR_NOT_SUPPORTED, subKey);
            gSession.refusal = ERROR_NOT_SUPPORTED;
            return ERROR_NOT_SUPPORTED;
        }
        const bool created = CreateRegKey(gSession.hive, *ref, FileTimeNow());
        if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
        gSession.lastKey = std::move(ref);
        gSession.lastSubKey = subKey;
    } else if (disposition) {
        *disposition = REG_OPENED_EXISTING_KEY;
    }
    *result = new HKEY__{gSession.lastKey};
    return ERROR_SUCCESS;
}

} // namespace

LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD, LPSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY result,
                        LPDWORD disposition) {
    if (key != HKEY_CURRENT_USER) return ERROR_INVALID_HANDLE;
    if (!subKey || !result) return ERROR_INVALID_PARAMETER;
    if (const LSTATUS status = LoadOnce(); status != ERROR_SUCCESS) return status;
    return UnlessMemoryRunsShort([&] { return CreateKey(subKey, result, disposition); }, GiveUpForMemory,
                                 MemoryUse::Writing);
}

LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD, DWORD type, const BYTE* data, DWORD size) {
    if (!key || key == HKEY_CURRENT_USER) return ERROR_INVALID_HANDLE;
    if (!data && size) return ERROR_INVALID_PARAMETER;
    if (MemoryRanShort()) return ERROR_NOT_ENOUGH_MEMORY;
    return UnlessMemoryRunsShort(
        [&] {
            const std::string_view bytes(reinterpret_cast<const char*>(data), data ? size : 0);
            std::u16string& name = gSession.valueName;
            DecodeCp1252(valueName ? valueName : "", name);
            // The registry holds strings in UTF-16; 8-bit text is Windows-1252.
            if (SetRegValueFromCp1252(gSession.hive, *key->key, name, type, bytes, FileTimeNow()))
                return ERROR_SUCCESS;
            const std::string stored =
                IsRegStringType(type) ? EncodeUtf16Le(DecodeCp1252(bytes)) : std::string(bytes);
            SetRegValue(gSession.hive, *key->key, name, type, stored, FileTimeNow());
            return ERROR_SUCCESS;
        },
        GiveUpForMemory, MemoryUse::Writing);
}

LSTATUS RegCloseKey(HKEY key) {
    if (!key || key == HKEY_CURRENT_USER) return ERROR_INVALID_HANDLE;
    delete key;
    return ERROR_SUCCESS;
}

LSTATUS RegFlushKey(HKEY key) {
    if (key != HKEY_CURRENT_USER) return ERROR_INVALID_HANDLE;
    if (!gSession.loaded) return MemoryRanShort() ? ERROR_NOT_ENOUGH_MEMORY : ERROR_SUCCESS;
    LSTATUS status = gSession.loadStatus != ERROR_SUCCESS ? gSession.loadStatus : gSession.refusal;
    if (MemoryRanShort()) status = ERROR_NOT_ENOUGH_MEMORY;
    ForgetProfiles();
    if (status == ERROR_SUCCESS) {
        status = UnlessMemoryRunsShort(
            [] {
                SettleRegValues(gSession.hive);
                return gSession.hive.changed ? SaveRegistryFile(gSession.file, gSession.hive) : ERROR_SUCCESS;
            },
            GiveUpForMemory, MemoryUse::Writing);
    }
    ReleaseRegistryFile(gSession.file);
    // The next call loads the file again; the hive's memory goes with that.
    gSession.loaded = false;
    gSession.refusal = ERROR_SUCCESS;
    gSession.lastKey.reset();
    gSession.lastSubKey.clear();
    return status;
}
