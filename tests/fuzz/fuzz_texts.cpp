// Fuzzes every text the library parses or builds from a path: entry targets,
// size texts, settings and statistics fields, directory names, path
// splitting, records, and time-key directories, each input fed to all. Each
// is checked against a property that must hold for any input (mostly that
// what is made from a parse parses back the same), not just for no crash.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cachemanager/prune/PathUtils.h"
#include "cachemanager/timetable/Layout.h"

namespace layout = cm::layout;

// Aborts, naming the property, when it does not hold.
#define REQUIRE(property) ((property) ? (void)0 : (fprintf(stderr, "property failed: %s\n", #property), abort()))

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    // Paths and link texts never hold a NUL: cut the input at the first one.
    const std::string text(std::string(reinterpret_cast<const char*>(data), size).c_str());

    // An entry target: everything after the second colon is the item path,
    // colons included; only a text with fewer than two colons fails, showing
    // a prefix of itself.
    layout::EntryFields fields, back;
    std::string bad;
    const size_t second = text.find(':', text.find(':') + 1);
    if (!layout::ParseEntryTarget(text, fields, bad)) {
        REQUIRE(second == std::string::npos && text.compare(0, bad.size(), bad) == 0);
    } else {
        REQUIRE(fields.item == text.substr(second + 1));
        REQUIRE(layout::ParseEntryTarget(layout::EntryTarget(fields.size, fields.method, fields.item), back, bad));
        // Sizes are written unsigned; a negative one in a damaged text does
        // not come back (readers take the item file's size anyway).
        REQUIRE(back.item == fields.item && back.method == fields.method &&
                (fields.size < 0 || back.size == fields.size));
    }
    const uint64_t total = layout::ParseSizeText(text);
    REQUIRE(layout::ParseSizeText(layout::SizeText(total)) == total);
    REQUIRE(layout::SizeText(total).size() <= layout::kMaxSizeText);
    layout::ModuleStatistics stats, again;
    layout::ParseFields(text, stats);
    REQUIRE(layout::ParseFields(layout::FormatFields(stats), again) == stats.kCount);
    REQUIRE(memcmp(stats.values, again.values, sizeof stats.values) == 0);
    // A name the walks take as a number is the number's own text.
    REQUIRE(!layout::IsNumberName(text.c_str()) || std::to_string(layout::NameNumber(text.c_str())) == text);

    // The text as a path: the forms of BaseName and DirName agree and rebuild it.
    const std::string base = BaseName(text), dir = DirName(text);
    std::vector<char> baseBuffer(text.size() + 1), dirBuffer(text.size() + 1);
    BaseName(text, baseBuffer.data());
    DirName(text, dirBuffer.data());
    std::string inPlace = text, item;
    DirName(inPlace, inPlace);
    REQUIRE(dir == dirBuffer.data() && inPlace == dir);
    // A path without '/' is all base name, but the buffer form gives nothing.
    if (text.find('/') == std::string::npos)
        REQUIRE(base == text && dir.empty() && baseBuffer[0] == '\0');
    else
        REQUIRE(dir + "/" + base == text && base == baseBuffer.data());
    // A record sits beside its item (never at the root for an item without a
    // directory) and, when the item has a name, leads back to it.
    const std::string record = layout::RecordPath(text);
    REQUIRE(DirName(record) == dir && (base.empty() || (layout::RecordItem(record, item) && item == text)));

    // The input's first bytes as a time key: its entry directory has five
    // numbered levels that give the key back.
    uint64_t key = 0, keyBack = 0;
    memcpy(&key, data, std::min(size, sizeof key));
    const std::string entryDir = layout::EntryDir("T", key);
    REQUIRE(layout::KeyOfIndexPath("T", entryDir, keyBack) && keyBack == key &&
            std::count(entryDir.begin(), entryDir.end(), '/') == 5);
    return 0;
}
