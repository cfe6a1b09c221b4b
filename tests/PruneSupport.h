// What the pruning, reclamation, item and scenario tests share: a size
// provider that follows the items really on disk, listings of the index, and
// caller time keys that order items without waiting for the clock.
#ifndef TESTS_PRUNESUPPORT_H
#define TESTS_PRUNESUPPORT_H

#include "tests/TestSupport.h"

#include <algorithm>
#include <sys/stat.h>

namespace test {

// The regular files below dir: their sizes summed, and their number.
inline void WalkFiles(const std::string& dir, uint64_t& bytes, uint64_t& files)
{
    for (const std::string& name : ListDir(dir)) {
        const std::string path = dir + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            WalkFiles(path, bytes, files);
        } else if (S_ISREG(st.st_mode)) {
            bytes += static_cast<uint64_t>(st.st_size);
            ++files;
        }
    }
}

inline uint64_t BytesUnder(const std::string& dir)
{
    uint64_t bytes = 0, files = 0;
    WalkFiles(dir, bytes, files);
    return bytes;
}

inline uint64_t FilesUnder(const std::string& dir)
{
    uint64_t bytes = 0, files = 0;
    WalkFiles(dir, bytes, files);
    return files;
}

// Every symbolic link below dir, sorted: under "T", the index entries.
inline std::vector<std::string> LinksUnder(const std::string& dir)
{
    std::vector<std::string> links;
    for (const std::string& name : ListDir(dir)) {
        const std::string path = dir + "/" + name;
        if (IsDir(path)) {
            const std::vector<std::string> below = LinksUnder(path);
            links.insert(links.end(), below.begin(), below.end());
        } else if (IsLink(path)) {
            links.push_back(path);
        }
    }
    std::sort(links.begin(), links.end());
    return links;
}

// A caller's time key of whole seconds; below 256 its entry directory is
// T/0/0/0/<seconds>/0.
inline uint64_t Key(uint64_t seconds) { return seconds << 8; }

class PruneTest : public CacheTest {
protected:
    // Free bytes follow the items: capacity minus what the files below
    // dir()/items hold, so that every prune really makes room.
    void UseCapacity(uint64_t capacity)
    {
        const std::string items = dir() + "/items";
        size.freeBytesFn = [items, capacity]() {
            const uint64_t used = BytesUnder(items);
            return used >= capacity ? 0 : capacity - used;
        };
    }

    // Writes the item's file and files it under key without making room.
    std::string Add(CacheManagerImpl& m, const std::string& name, size_t bytes, uint64_t key)
    {
        const std::string item = Item(name);
        WriteFile(item, bytes);
        EXPECT_TRUE(m.UpdateItem(item, true, bytes, key)) << log().Dump();
        return item;
    }

    std::string EntryOf(const std::string& item) const { return LinkText(RecordOf(item)); }
    std::string SizeText() const { return LinkText(ModuleRoot() + "/size"); }
    std::string OldestText() const { return LinkText(ModuleRoot() + "/oldest"); }
    std::string LatestText() const { return LinkText(ModuleRoot() + "/latest"); }
    std::vector<std::string> Entries() const { return LinksUnder(T()); }
};

}  // namespace test

#endif
