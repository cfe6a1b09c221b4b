// Fuzzes sequences of item operations on a small cache: the input picks the
// prune mode, the default prune method, the room on the file system, and then
// one operation after another on a handful of items, under the host's own
// (rising) time keys. After each operation no item that was out of the cache
// may have had its file touched; after the sequence the index checker must
// find nothing, and the size total must be the sum of the items in the cache.
//
// The host is honest: it changes an item's file only while the item is out
// of the cache, or from inside the size provider's first query during that
// item's own UpdateItem (the first step after the item's old entry was read).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <stddef.h>
#include <stdint.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "cachemanager/CacheManagerImpl.h"
#include "cachemanager/timetable/Layout.h"
#include "tools/common/FileOps.h"
#include "tools/checker/IndexChecker.h"

namespace layout = cm::layout;

namespace {

// The input, read a byte at a time; 0 once it runs out.
class Input {
public:
    Input(const uint8_t* data, size_t size) : m_data(data), m_size(size), m_at(0) {}
    bool More() const { return m_at < m_size; }
    uint8_t Byte() { return m_at < m_size ? m_data[m_at++] : 0; }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_at;
};

std::string g_base;  // a directory of this process, on tmpfs when there is one
std::vector<std::string> g_items;

void Wipe(const std::string& path) { cm::fileops::RemoveTree(path); }

int64_t FileSize(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

void MakeParents(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return;
    const std::string dir = path.substr(0, slash);
    struct stat st;
    if (lstat(dir.c_str(), &st) == 0)
        return;
    MakeParents(dir);
    mkdir(dir.c_str(), 0777);
}

void SetFileSize(const std::string& path, uint64_t size)
{
    MakeParents(path);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0666);
    if (fd >= 0) {
        if (ftruncate(fd, static_cast<off_t>(size)) != 0)
            abort();
        close(fd);
    }
}

bool InCache(const std::string& item)
{
    char text[4096];
    const ssize_t n = readlink(layout::RecordPath(item).c_str(), text, sizeof text - 1);
    if (n <= 0)
        return false;
    text[n] = '\0';
    struct stat st;
    return lstat(text, &st) == 0 && S_ISLNK(st.st_mode);
}

bool HasRecord(const std::string& item)
{
    struct stat st;
    return lstat(layout::RecordPath(item).c_str(), &st) == 0;
}

[[noreturn]] void Fail(const std::string& what)
{
    fprintf(stderr, "%s\n", what.c_str());
    abort();
}

// Free bytes: a capacity less what the items' files hold. The first
// free-space query after Resize() makes the pending item's file its new size.
class Room : public CacheSize {
public:
    bool GetCacheFreeSpace(uint64_t& bytes) override
    {
        if (!m_pending.empty()) {
            SetFileSize(m_pending, m_pendingSize);
            m_pending.clear();
        }
        uint64_t used = 0;
        for (const std::string& item : g_items)
            used += static_cast<uint64_t>(std::max<int64_t>(FileSize(item), 0));
        bytes = used >= capacity ? 0 : capacity - used;
        return true;
    }
    bool GetCacheTotalSpace(uint64_t& bytes) override
    {
        bytes = capacity;
        return true;
    }
    bool GetCacheTotalInodes(uint64_t& inodes) override
    {
        inodes = 1000;
        return true;
    }
    bool GetCacheFreeInodes(uint64_t& inodes) override
    {
        inodes = freeInodes;
        return true;
    }

    void Resize(const std::string& item, uint64_t size)
    {
        m_pending = item;
        m_pendingSize = size;
    }
    void Forget() { m_pending.clear(); }

    uint64_t capacity = 16384;
    uint64_t freeInodes = 1000;

private:
    std::string m_pending;
    uint64_t m_pendingSize = 0;
};

enum Op { RESIZE, TOUCH, SKIP_SPACE, METHOD, REMOVE, HIDE, UNHIDE, CREATE_SPACE, WRITE_OUT, NEXT_KEY, ROOM, kOps };

void Check(CacheManagerImpl& manager, int mode)
{
    cm::check::CheckOptions options;
    options.moduleRoot = manager.m_moduleRoot;
    options.itemDirs.push_back(g_base + "/items");
    options.pruneMode = mode;
    cm::check::CheckReport report;
    std::string error;
    if (!cm::check::CheckIndex(options, report, error))
        Fail("the checker failed: " + error);
    if (!report.Clean())
        Fail("the checker found faults:\n" + report.Format());
    uint64_t inCache = 0;
    for (const std::string& item : g_items)
        if (InCache(item))
            inCache += static_cast<uint64_t>(std::max<int64_t>(FileSize(item), 0));
    uint64_t stored = 0;
    manager.GetModuleSize(stored);
    if (stored != inCache)
        Fail("size total " + std::to_string(stored) + ", items in the cache " + std::to_string(inCache));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const char* tmp = getenv("TMPDIR");
    std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (tmp != nullptr ? tmp : "/tmp");
    pattern += "/cmfuzz.XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr)
        Fail("mkdtemp failed");
    g_base = buffer.data();
    atexit([] { Wipe(g_base); });
    // Items side by side and in nested directories, for PRUNE_UNLINK_RECURSE.
    for (const char* name : {"a0", "a1", "a2", "d/b0", "d/b1", "d/e/c0", "d/e/c1", "f/g0"})
        g_items.push_back(g_base + "/items/" + name);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input in(data, size);
    Wipe(g_base + "/CM");
    Wipe(g_base + "/items");

    const uint8_t setup = in.Byte();
    const int mode = setup & 1 ? CM_PRUNE_SET : CM_PRUNE_ITEM;
    Room room;
    room.capacity = 1024 + 256 * static_cast<uint64_t>(in.Byte());
    CacheArgs args;
    args.cacheDir = g_base;
    args.moduleId = 1;
    args.bytesMinFree = (setup >> 1) & 7;
    args.inodesMinFree = 50;
    args.pruneMethod = static_cast<PruneMethod>(((setup >> 4) & 3) % 3);
    args.cacheSize = &room;
    args.overflowLimit = setup & 0x40 ? -1 : 512;
    args.moduleOverFlow = setup & 0x80 ? 2048 : 0;
    args.pruneMode = mode;
    args.processModel = CM_LOCK_PROCESS_THREAD;
    CacheManagerImpl* manager = new CacheManagerImpl();
    if (!manager->InitCacheManager(args))
        Fail("init failed");
    CacheManagerImpl& m = *manager;

    uint64_t key = (1700000000ULL << 8) | in.Byte() % 10;
    for (int step = 0; step < 200 && in.More(); ++step) {
        const int op = in.Byte() % kOps;
        const std::string& item = g_items[in.Byte() % g_items.size()];
        const uint64_t bytes = 1 + (static_cast<uint64_t>(in.Byte()) << 4);
        // Items without a record are out of the cache: nothing but this
        // step's own item may change their files.
        std::vector<int64_t> before;
        for (const std::string& other : g_items)
            before.push_back(HasRecord(other) ? -2 : FileSize(other));
        switch (op) {
        case RESIZE:
            room.Resize(item, bytes);
            m.UpdateItem(item, bytes, key);
            break;
        case TOUCH:
            m.UpdateItem(item, static_cast<uint64_t>(0), key);
            break;
        case SKIP_SPACE:
            if (!HasRecord(item))
                SetFileSize(item, bytes);
            if (FileSize(item) > 0)
                m.UpdateItem(item, true, static_cast<uint64_t>(FileSize(item)), key);
            break;
        case METHOD:
            m.UpdateItem(item, static_cast<PruneMethod>(bytes % 4));
            break;
        case REMOVE:
            m.DeleteFromCache(item);
            break;
        case HIDE:
            m.HideItem(item, 0);
            break;
        case UNHIDE:
            room.Resize(item, bytes);
            m.UnHideItem(item, bytes, key);
            break;
        case CREATE_SPACE:
            m.CreateSpace(item, bytes);
            break;
        case WRITE_OUT:
            if (!HasRecord(item)) {
                if (bytes & 16)
                    unlink(item.c_str());
                else
                    SetFileSize(item, bytes);
            }
            break;
        case NEXT_KEY:
            // Up to the next second, or a jump across a higher level.
            key += bytes & 1 ? 256 : static_cast<uint64_t>(1) << (8 * (1 + bytes % 4));
            key &= ~static_cast<uint64_t>(0xFF);
            break;
        case ROOM:
            room.capacity = 256 + bytes * 4;
            room.freeInodes = bytes & 1 ? 1000 : 100 + bytes % 400;
            break;
        }
        room.Forget();
        for (size_t i = 0; i < g_items.size(); ++i)
            if (before[i] != -2 && g_items[i] != item && FileSize(g_items[i]) != before[i])
                Fail("the file of " + g_items[i] + ", out of the cache, went from " + std::to_string(before[i]) +
                     " to " + std::to_string(FileSize(g_items[i])) + " bytes");
        if (in.Byte() & 1)  // now and then the clock moves on a tenth
            key = (key & ~static_cast<uint64_t>(0xFF)) | std::min<uint64_t>((key & 0xFF) + 1, 9);
    }
    Check(m, mode);
    delete manager;
    return 0;
}
