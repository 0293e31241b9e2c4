// Fuzzes the user.reg reader and writer. What the reader accepts, the writer
// gives back byte for byte; after values are set, the written file reads
// again, writes again the same, and holds the old keys and values with the
// changed ones.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "text_encoding.h"
#include "user_reg.h"

namespace {

const char16_t* const kNames[] = {u"Software", u"software", u"Tavik", u"TAVIK", u"Files", u"MRU",
                                  u"a[b]", u"x\\y", u"\u00e9t\u00e9", u"\u20ac1", u"q\"t", u""};

std::u16string PickName(FuzzedDataProvider& input) {
    return kNames[input.ConsumeIntegralInRange<std::size_t>(0, std::size(kNames) - 1)];
}

void Check(bool condition) {
    if (!condition) std::abort();
}

} // namespace

// The input is the file's text, then the bytes that drive the edits, then one
// byte that gives their number; so a plain user.reg with a 0 byte appended is
// a seed.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t editLength = std::min<std::size_t>(data[size - 1], size - 1);
    const std::string text(reinterpret_cast<const char*>(data), size - 1 - editLength);
    FuzzedDataProvider input(data + text.size(), editLength);
    std::vector<std::string> editBytes;
    while (input.remaining_bytes() > 0) editBytes.push_back(input.ConsumeRandomLengthString(64));

    auto hive = ParseUserReg(text);
    if (!hive) return 0;
    Check(SerializeUserReg(*hive) == text);
    auto expected = AllRegValues(*hive);

    for (const std::string& bytes : editBytes) {
        FuzzedDataProvider edit(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        KeyPath path;
        const int depth = edit.ConsumeIntegralInRange<int>(1, 3);
        for (int i = 0; i < depth; ++i) {
            std::u16string name = PickName(edit);
            if (name.empty() || name.find(u'\\') != std::u16string::npos) name = u"k";
            path.push_back(name);
        }
        const std::u16string name = PickName(edit);
        const std::uint32_t type = edit.PickValueInArray({1u, 3u, 4u, 7u});
        const std::string value = edit.ConsumeRemainingBytesAsString();
        const RegKeyRef key = MakeRegKeyRef(path);
        CreateRegKey(*hive, key, 0x1dd85b6fa237ae0ull);
        SetRegValue(*hive, key, name, type, value, 0x1dd85b6fa237ae0ull);
        std::u16string joined;
        for (const std::u16string& component : path) joined += (joined.empty() ? u"" : u"\\") + FoldCase(component);
        std::string nameText;
        AppendRegName(nameText, name);
        expected[joined][ValueKey(name)] = FormatRegValue(name, type, value).substr(nameText.size() + 1);
    }

    SettleRegValues(*hive);
    const std::string written = SerializeUserReg(*hive);
    const auto again = ParseUserReg(written);
    Check(again.has_value());
    Check(SerializeUserReg(*again) == written);
    auto actual = AllRegValues(*again);
    // Keys without values may lose their block once they have subkeys.
    for (auto* values : {&expected, &actual})
        for (auto it = values->begin(); it != values->end();) it = it->second.empty() ? values->erase(it) : ++it;
    Check(actual == expected);
    for (const auto& [path, values] : AllRegValues(*hive)) Check(again->keys.count(path) == 1);
    return 0;
}
