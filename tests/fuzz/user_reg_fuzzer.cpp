// Fuzzes the user.reg reader and writer. What the reader accepts, the writer
// gives back byte for byte; values set are held beside the old ones; the
// written file reads again, writes again the same, and holds what the hive
// held, value for value (type and data, not their text).
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

using HiveValues = std::map<std::u16string, std::map<std::string, RegData>>;

// The keys that hold values: a key without values may lose its block once
// it has subkeys.
HiveValues WithValues(HiveValues values) {
    for (auto it = values.begin(); it != values.end();) it = it->second.empty() ? values.erase(it) : ++it;
    return values;
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
        expected[joined][ValueKey(name)] = {type, value};
    }
    SettleRegValues(*hive);
    Check(WithValues(AllRegValues(*hive)) == WithValues(expected));

    const std::string written = SerializeUserReg(*hive);
    const auto again = ParseUserReg(written);
    Check(again.has_value());
    Check(SerializeUserReg(*again) == written);
    // Read again, the file holds what the hive held, but for what Wine's own
    // save changes too, so that this property cannot hold for it: Wine does
    // not write the NUL at the end of a value's name. In a block written
    // anew, a name "abc" with a NUL at its end is read back as "abc", whose
    // line it follows (of two names alike up to the shorter's end, the
    // shorter sorts first) and whose value it therefore replaces. A block
    // kept as read keeps both values.
    HiveValues saved;
    for (const RegBlock& block : hive->blocks) {
        auto& values = saved[std::u16string(block.folded)];
        for (auto& [key, value] : RegBlockValues(block)) {
            const bool losesNul = block.Rewritten() && !key.empty() && key.back() == '\0';
            values[losesNul ? key.substr(0, key.size() - 1) : key] = std::move(value);
        }
    }
    Check(WithValues(AllRegValues(*again)) == WithValues(saved));
    for (const auto& [path, values] : AllRegValues(*hive)) Check(again->keys.count(path) == 1);
    return 0;
}
