// Fuzzes every text the library parses or builds from a path: entry targets,
// size texts, directory names, path splitting, record paths and time-key
// directories. Each is checked against a property that must hold for any
// input, not just for no crash.
#include <cstdlib>
#include <cstring>
#include <stddef.h>
#include <stdint.h>
#include <string>
#include <vector>

#include "cachemanager/prune/PathUtils.h"
#include "cachemanager/timetable/Layout.h"

namespace layout = cm::layout;

namespace {

void Require(bool condition, const char* what)
{
    if (!condition) {
        fprintf(stderr, "property failed: %s\n", what);
        abort();
    }
}

void EntryTargets(const std::string& text)
{
    layout::EntryFields fields;
    std::string bad;
    if (!layout::ParseEntryTarget(text, fields, bad)) {
        Require(text.find(':') == std::string::npos || text.find(':', text.find(':') + 1) == std::string::npos,
                "a text with two colons parses");
        Require(text.compare(0, bad.size(), bad) == 0, "the bad part is a prefix of the text");
        return;
    }
    // The item path is everything after the second colon, colons included.
    const size_t second = text.find(':', text.find(':') + 1);
    Require(fields.item == text.substr(second + 1), "item path is the rest of the text");
    const std::string again = layout::EntryTarget(static_cast<uint64_t>(fields.size), fields.method, fields.item);
    layout::EntryFields back;
    Require(layout::ParseEntryTarget(again, back, bad), "a made target parses");
    // Sizes are written unsigned; a negative one in a damaged text does not
    // come back (readers take the item file's size anyway).
    Require(back.item == fields.item && back.method == fields.method && (fields.size < 0 || back.size == fields.size),
            "a made target reads back as made");
}

void SizeTexts(const std::string& text)
{
    const uint64_t total = layout::ParseSizeText(text);
    Require(layout::ParseSizeText(layout::SizeText(total)) == total, "a size text round-trips");
    Require(layout::SizeText(total).size() <= layout::kMaxSizeText, "a size text fits its link");
}

void Paths(const std::string& path)
{
    const std::string base = BaseName(path);
    const std::string dir = DirName(path);
    std::vector<char> baseBuffer(path.size() + 1), dirBuffer(path.size() + 1);
    BaseName(path, baseBuffer.data());
    DirName(path, dirBuffer.data());
    Require(dir == dirBuffer.data(), "DirName forms agree");
    if (path.find('/') == std::string::npos) {
        Require(base == path && dir.empty() && baseBuffer[0] == '\0', "a path without '/' splits as documented");
    } else {
        Require(dir + "/" + base == path, "DirName / BaseName rebuild the path");
        Require(base == baseBuffer.data(), "BaseName forms agree");
    }
    std::string inPlace = path;
    DirName(inPlace, inPlace);
    Require(inPlace == dir, "DirName in place");
    const std::string record = layout::RecordPath(path);
    Require(record.size() >= base.size() && record.compare(record.size() - base.size(), base.size(), base) == 0,
            "a record ends in the item's base name");
    Require(path.find('/') != std::string::npos || record.find('/') == std::string::npos,
            "an item without a directory keeps its record beside it");
}

void TimeKeys(const uint8_t* data, size_t size)
{
    uint64_t key = 0;
    memcpy(&key, data, size < sizeof key ? size : sizeof key);
    const std::string dir = layout::EntryDir("T", key);
    unsigned parts[5];
    char tail;
    Require(sscanf(dir.c_str(), "T/%u/%u/%u/%u/%u%c", &parts[0], &parts[1], &parts[2], &parts[3], &parts[4], &tail) == 5,
            "an entry directory has five numbered levels");
    const uint64_t back = (static_cast<uint64_t>(parts[0]) << 32) | (parts[1] << 24) | (parts[2] << 16) |
                          (parts[3] << 8) | parts[4];
    Require(back == key, "an entry directory encodes its key");
    for (int i = 1; i < 5; ++i)
        Require(parts[i] <= 255, "levels 2 to 5 hold one byte each");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    // Paths and link texts never hold a NUL: cut the input at the first one.
    const std::string raw(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string text(raw.c_str());
    switch (data[0] % 5) {
    case 0: EntryTargets(text); break;
    case 1: SizeTexts(text); break;
    case 2: Paths(text); break;
    case 3: TimeKeys(data + 1, size - 1); break;
    case 4: (void)layout::NameNumber(text.c_str()); break;
    }
    return 0;
}
