// Fuzzes the profile reader: any bytes parse, every lookup and copy stays
// within its buffer, and an integer entry always reads.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>

#include "profile_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::size_t capacity = input.ConsumeIntegralInRange<std::size_t>(1, 300);
    const std::string section = input.ConsumeRandomLengthString(16);
    const std::string key = input.ConsumeRandomLengthString(16);
    const std::string text = input.ConsumeRemainingBytesAsString();
    const Profile profile = ParseProfile(LargeText(text.data(), text.size()));
    const std::string names[][2] = {
        {"Emulator", "SXCycles"}, {"MRU", "File1"}, {"Serial", "Wire"}, {section, key}};
    for (const auto& name : names) {
        const auto value = FindProfileValue(profile, name[0], name[1]);
        const std::u16string_view found = value ? *value : std::u16string_view(u"default");
        const std::u16string_view copied = CopyProfileEntry(found, capacity);
        if (copied.size() >= capacity) std::abort();
        ProfileStringToInteger(CopyProfileEntry(found, 30));
    }
    return 0;
}
