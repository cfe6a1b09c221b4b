// Fuzzes sequences of item operations on a small cache: the input picks the
// settings, then one operation after another on a handful of items under the
// host's own (rising) time keys. After the sequence the index checker must
// find nothing; among its checks, the size total is the sum of the indexed
// items.
//
// The host is honest: it changes an item's file only while the item has no
// record, or from inside the size provider's first query during that item's
// own UpdateItem or UnHideItem.
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cachemanager/CacheManagerImpl.h"
#include "cachemanager/timetable/Layout.h"
#include "tools/checker/IndexChecker.h"
#include "tools/common/FileOps.h"

namespace {

std::string g_base;  // a directory of this process, on tmpfs when there is one
std::vector<std::string> g_items;

uint64_t FileSize(const std::string& path)  // 0 when missing
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

void SetFileSize(const std::string& path, uint64_t size)
{
    cm::fileops::MakeDirs(path.substr(0, path.rfind('/')));
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0666);
    if (fd >= 0 && (ftruncate(fd, static_cast<off_t>(size)) != 0 || close(fd) != 0))
        abort();
}

bool HasRecord(const std::string& item) { return !cm::fileops::LinkOr(cm::layout::RecordPath(item)).empty(); }

// Free bytes: a capacity less what the items' files hold. The first
// free-space query after an operation names a pending item makes its file
// the pending size.
struct Room : CacheSize {
    bool GetCacheFreeSpace(uint64_t& bytes) override
    {
        if (!pending.empty())
            SetFileSize(pending, pendingSize);
        pending.clear();
        uint64_t used = 0;
        for (const std::string& item : g_items)
            used += FileSize(item);
        bytes = used >= capacity ? 0 : capacity - used;
        return true;
    }
    bool GetCacheTotalSpace(uint64_t& bytes) override { return Give(bytes, capacity); }
    bool GetCacheTotalInodes(uint64_t& inodes) override { return Give(inodes, 1000); }
    bool GetCacheFreeInodes(uint64_t& inodes) override { return Give(inodes, freeInodes); }
    static bool Give(uint64_t& figure, uint64_t value) { return figure = value, true; }

    uint64_t capacity = 0, freeInodes = 1000, pendingSize = 0;
    std::string pending;
};

enum Op { RESIZE, TOUCH, METHOD, REMOVE, HIDE, UNHIDE, CREATE_SPACE, WRITE_OUT, NEXT_KEY, ROOM, kOps };

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm/cmfuzz.XXXXXX" : "/tmp/cmfuzz.XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr)
        abort();
    g_base = pattern;
    atexit([] { cm::fileops::RemoveTree(g_base); });
    // Items side by side and in nested directories, for PRUNE_UNLINK_RECURSE.
    for (const char* name : {"a0", "a1", "a2", "d/b0", "d/b1", "d/e/c0", "d/e/c1", "f/g0"})
        g_items.push_back(g_base + "/items/" + name);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    size_t at = 0;
    const auto next = [&]() -> uint8_t { return at < size ? data[at++] : 0; };
    cm::fileops::RemoveTree(g_base + "/CM");
    cm::fileops::RemoveTree(g_base + "/items");

    const uint8_t setup = next();
    Room room;
    room.capacity = 1024 + 256 * static_cast<uint64_t>(next());
    CacheArgs args;
    args.cacheDir = g_base;
    args.bytesMinFree = (setup >> 1) & 7;
    args.inodesMinFree = 50;
    args.pruneMethod = static_cast<PruneMethod>(((setup >> 4) & 3) % 3);
    args.cacheSize = &room;
    args.overflowLimit = setup & 0x40 ? -1 : 512;
    args.moduleOverFlow = setup & 0x80 ? 2048 : 0;
    args.pruneMode = setup & 1 ? CM_PRUNE_SET : CM_PRUNE_ITEM;
    CacheManagerImpl m;
    if (!m.InitCacheManager(args))
        abort();

    uint64_t key = (1700000000ULL << 8) | next() % 10;
    for (int step = 0; step < 200 && at < size; ++step) {
        const int op = next() % kOps;
        const std::string& item = g_items[next() % g_items.size()];
        const uint8_t arg = next();
        const uint64_t bytes = 1 + (static_cast<uint64_t>(arg) << 4);
        switch (op) {
        case RESIZE:
        case UNHIDE:  // the file takes its new size at the provider's first query
            room.pending = item, room.pendingSize = bytes;
            op == RESIZE ? m.UpdateItem(item, bytes, key) : m.UnHideItem(item, bytes, key);
            break;
        case TOUCH: m.UpdateItem(item, static_cast<uint64_t>(0), key); break;
        case METHOD: m.UpdateItem(item, static_cast<PruneMethod>(arg % 4)); break;
        case REMOVE: m.DeleteFromCache(item); break;
        case HIDE: m.HideItem(item, 0); break;
        case CREATE_SPACE: m.CreateSpace(item, bytes); break;
        case WRITE_OUT:  // the host writes or drops the file of an item out of the cache, then may file it
            if (!HasRecord(item) && (arg & 1) != 0)
                unlink(item.c_str());
            else if (!HasRecord(item))
                SetFileSize(item, bytes);
            if ((arg & 2) != 0 && FileSize(item) > 0)  // without making room
                m.UpdateItem(item, true, FileSize(item), key);
            break;
        case NEXT_KEY:  // a tenth on, the next second, or a jump across a higher level
            if (arg % 5 == 0)
                key = (key & ~0xFFull) | std::min<uint64_t>((key & 0xFF) + 1, 9);
            else
                key = (key + (1ull << (8 * (arg % 5)))) & ~0xFFull;
            break;
        case ROOM:
            room.capacity = 256 + bytes * 4;
            room.freeInodes = arg & 1 ? 1000 : 100 + arg;
            break;
        }
        room.pending.clear();
    }

    cm::check::CheckOptions options;
    options.moduleRoot = m.m_moduleRoot;
    options.itemDirs.push_back(g_base + "/items");
    options.pruneMode = args.pruneMode;
    cm::check::CheckReport report;
    std::string error;
    if (!cm::check::CheckIndex(options, report, error) || !report.Clean()) {
        fprintf(stderr, "the checker failed: %s\n%s", error.c_str(), report.Format().c_str());
        abort();
    }
    return 0;
}
