// Pruning: single items and entry directories, the loops that make room, the
// item operations the host calls and their statistics, whole updates, and the
// policies beyond the reserve.
#include "tests/TestSupport.h"

#include <ctime>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "cachemanager/timetable/Layout.h"

namespace {

using namespace test;
namespace layout = cm::layout;

class Prune : public PruneTest {};

TEST_F(Prune, PruneItemAppliesEachMethodThenRemovesTheRecord)
{
    CacheManagerImpl& m = Manager();
    const struct {
        PruneMethod method;
        bool present;
        int64_t sizeAfter;  // -1: gone
        const char* line;
    } rows[] = {
        {PRUNE_TRUNCATE, true, 0, "Pruned(truncate) ["},
        {PRUNE_UNLINK, true, -1, "Removed(unlink) ["},
        // A file that is already gone counts as pruned, with the same line,
        // and truncating it does not bring it back.
        {PRUNE_UNLINK, false, -1, "Removed(unlink) ["},
        {PRUNE_TRUNCATE, false, -1, "Pruned(truncate) ["},
        // Any other method value leaves the file alone: only the record goes.
        {static_cast<PruneMethod>(7), true, 40, nullptr},
    };
    int n = 0;
    for (const auto& row : rows) {
        const std::string item = Item(std::to_string(n++));
        if (row.present)
            WriteFile(item, 40);
        MakeLink("entry", RecordOf(item));
        log().Clear();
        EXPECT_TRUE(m.PruneItem(item, row.method));
        EXPECT_EQ(FileSize(item), row.sizeAfter) << item;
        EXPECT_FALSE(Exists(RecordOf(item))) << item;
        EXPECT_EQ(log().Count(std::string(row.line ? row.line : "\n") + item + "].", 4), row.line ? 1 : 0) << log().Dump();
        EXPECT_EQ(log().CountLevel(-1), 0) << log().Dump();
    }
}

TEST_F(Prune, UnlinkRecurseRemovesEmptiedDirectoriesUpToEightLevels)
{
    CacheManagerImpl& m = Manager();
    // Stops at the first directory that still holds something.
    const std::string item = Item("a/b/c/x");
    WriteFile(item, 10);
    WriteFile(Item("a/keep"), 1);
    MakeLink("entry", RecordOf(item));
    EXPECT_TRUE(m.PruneItem(item, PRUNE_UNLINK_RECURSE));
    EXPECT_TRUE(log().Has("Removed(unlink_recurse) [" + item + "].", 4));
    EXPECT_FALSE(Exists(Item("a/b")));
    EXPECT_TRUE(IsDir(Item("a")));
    EXPECT_TRUE(Exists(Item("a/keep")));

    // Stops after the item's directory and seven ancestors.
    const std::string deep = Item("d/1/2/3/4/5/6/7/8/x");
    WriteFile(deep, 10);
    MakeLink("entry", RecordOf(deep));
    EXPECT_TRUE(m.PruneItem(deep, PRUNE_UNLINK_RECURSE));
    EXPECT_FALSE(Exists(Item("d/1")));
    EXPECT_TRUE(IsDir(Item("d")));
}

TEST_F(Prune, UnlinkFailureKeepsTheRecord)
{
    SKIP_UNLESS_ROOT();
    CacheManagerImpl& m = Manager();
    const std::string item = Item("locked/f");
    WriteFile(item, 10);
    MakeLink("entry", RecordOf(item));
    // Readable for everyone, writable only for root.
    for (const std::string& d : {dir(), Item(""), Item("locked")})
        ASSERT_EQ(chmod(d.c_str(), 0755), 0);
    const int code = RunAsNobody([&]() {
        if (m.PruneItem(item, PRUNE_UNLINK))
            return 1;
        return log().Has("unlink() failed. [" + item + "] [Permission denied]", -1) ? 0 : 2;
    });
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(Exists(item));
    EXPECT_TRUE(Exists(RecordOf(item)));
}

TEST_F(Prune, PruneOneItemTakesTheOldestByTimeKey)
{
    CacheManagerImpl& m = Manager();
    const std::string a = Add(m, "a", 10, Key(3));
    const std::string b = Add(m, "b", 20, Key(1));
    const std::string c = Add(m, "c", 30, Key(2));
    const std::string entryOfC = EntryOf(c);

    uint64_t freed = 0;
    ASSERT_TRUE(m.PruneOneItem(freed)) << log().Dump();
    EXPECT_EQ(freed, 20u);
    EXPECT_FALSE(Exists(b));
    EXPECT_FALSE(Exists(RecordOf(b)));
    EXPECT_FALSE(Exists(T() + "/0/0/0/1"));
    EXPECT_EQ(OldestText(), entryOfC);

    // The oldest link names an entry removed behind the manager's back: the
    // link goes, the oldest is found afresh, and c's file stays untouched.
    ASSERT_EQ(unlink(entryOfC.c_str()), 0);
    ASSERT_TRUE(m.PruneOneItem(freed)) << log().Dump();
    EXPECT_EQ(freed, 10u);
    EXPECT_FALSE(Exists(a));
    EXPECT_EQ(FileSize(c), 30);
    EXPECT_TRUE(Entries().empty());

    freed = 99;
    log().Clear();
    EXPECT_FALSE(m.PruneOneItem(freed));
    EXPECT_EQ(freed, 0u);
    EXPECT_TRUE(log().Has("Cache is empty. There is nothing to prune.", 4));
}

TEST_F(Prune, PruneOneItemTakesTheEntryOutBeforeTouchingTheFile)
{
    CacheManagerImpl& m = Manager();
    // An item that cannot be unlinked: a directory.
    const std::string d = Item("d");
    WriteFile(Item("d/inner"), 5);
    ASSERT_TRUE(m.UpdateItem(d, true, 10, Key(1)));
    const std::string e = Add(m, "e", 10, Key(2));
    const std::string gone = Add(m, "gone", 10, Key(3));

    uint64_t freed = 0;
    ASSERT_TRUE(m.PruneOneItem(freed)) << log().Dump();
    EXPECT_EQ(freed, static_cast<uint64_t>(FileSize(d)));
    EXPECT_TRUE(log().Has("unlink() failed. [" + d + "] [Is a directory]", -1)) << log().Dump();
    EXPECT_TRUE(IsDir(d));
    EXPECT_TRUE(Exists(RecordOf(d)));
    EXPECT_EQ(Entries(), std::vector<std::string>({EntryOf(e), EntryOf(gone)}));
    EXPECT_EQ(OldestText(), EntryOf(e));

    // An item whose file someone else deleted frees nothing.
    ASSERT_TRUE(m.PruneOneItem(freed));
    ASSERT_EQ(unlink(gone.c_str()), 0);
    log().Clear();
    ASSERT_TRUE(m.PruneOneItem(freed));
    EXPECT_EQ(freed, 0u);
    EXPECT_TRUE(log().Has("Removed(unlink) [" + gone + "].", 4));
    EXPECT_FALSE(Exists(RecordOf(gone)));
}

// An entry that cannot be pruned (its text is no entry's) leaves the index
// rather than block it; an oldest entry directory that cannot be read fails.
TEST_F(Prune, AnUnprunableEntryIsDroppedAndAnUnreadableEntryDirectoryFails)
{
    CacheManagerImpl& m = Manager();
    const std::string bad = T() + "/0/0/0/1/0/1";
    MakeLink("12", bad);
    const std::string b = Add(m, "b", 20, Key(2));
    uint64_t freed = 0;
    ASSERT_TRUE(m.PruneOneItem(freed)) << log().Dump();
    EXPECT_EQ(freed, 20u);
    EXPECT_FALSE(Exists(b));
    EXPECT_FALSE(Exists(T() + "/0/0/0/1"));
    EXPECT_EQ(log().Count("Entry [" + bad + "] cannot be pruned. Dropped it from the index. [Invalid argument]", -1), 1)
        << log().Dump();

    CacheArgs args = Args();
    args.pruneMode = CM_PRUNE_SET;
    args.moduleId = 8;
    CacheManagerImpl& sets = Manager(args);
    const std::string file = sets.m_timeTableDir + "/0/0/0/1/0";
    WriteFile(file, 0);
    log().Clear();
    EXPECT_FALSE(sets.PruneOneDir(freed));
    EXPECT_TRUE(log().Has("opendir() failed. [" + file + "]", -1)) << log().Dump();
}

TEST_F(Prune, PruneOneDirPrunesTheOldestEntryDirectoryAsAWhole)
{
    CacheArgs args = Args();
    args.pruneMode = CM_PRUNE_SET;
    CacheManagerImpl& m = Manager(args);
    const std::string x = Add(m, "x", 10, Key(1));
    const std::string y = Add(m, "y", 20, Key(1));
    const std::string z = Add(m, "z", 5, Key(1));
    ASSERT_EQ(truncate(z.c_str(), 0), 0);
    const std::string w = Add(m, "w", 7, 1u << 16);  // T/0/0/1/0/0

    uint64_t freed = 0;
    ASSERT_TRUE(m.PruneOneDir(freed)) << log().Dump();
    EXPECT_EQ(freed, 30u);
    for (const std::string& item : {x, y, z}) {
        EXPECT_FALSE(Exists(item)) << item;
        EXPECT_FALSE(Exists(RecordOf(item))) << item;
    }
    // The entry directory and the ancestors it emptied are gone.
    EXPECT_FALSE(Exists(T() + "/0/0/0"));
    EXPECT_TRUE(IsDir(T() + "/0/0/1"));
    EXPECT_EQ(OldestText(), T() + "/0/0/1/0/0");
    EXPECT_EQ(FileSize(w), 7);

    ASSERT_TRUE(m.PruneOneDir(freed));
    EXPECT_EQ(freed, 7u);
    freed = 99;
    log().Clear();
    EXPECT_FALSE(m.PruneOneDir(freed));
    EXPECT_EQ(freed, 0u);
    EXPECT_TRUE(log().Has("Cache is empty. There is nothing to prune.", 1));
}

class Reclaim : public PruneTest {};

// Items a, b, ... keyed 1, 2, ...; free bytes follow them in a file system of
// the row's capacity (0: none free); the size link is written once, at the end.
TEST_F(Reclaim, PrunesOldestFirstWhileFreeBytesDoNotExceedTheNeedAndDownToTheFloor)
{
    struct Row {
        const char* name;
        std::vector<size_t> sizes;
        uint64_t capacity, floor;
        int64_t storedTotal;  // -1: as filed
        uint64_t request;
        const char* left;
        const char* sizeText;
        int sizeWrites;
        std::string line;  // at the notice level when not "cursize"
    };
    const Row rows[] = {
        {"free above the need", {100, 100}, 1000, 0, -1, 799, "ab", "200", 0,
         "freeBytes [800] > spaceneeded [799]. No need to prune anymore."},
        {"free equal to the need", {100, 100}, 1000, 0, -1, 800, "b", "100", 1, ""},
        {"three passes", {100, 50, 25, 1000}, 2000, 0, -1, 980, "d", "1000", 1,
         "cursize [1175] sizein [-175] newsize [1000]."},
        {"the floor", {100, 100, 100}, 300, 150, -1, 250, "c", "100", 1,
         "ModuleSize [100] < moduleOverFlow [150]. Will not prune anymore."},
        // The total undercounts: a running size wrapped below zero would lift
        // the floor and let the loop prune b as well.
        {"a running size stops at 0", {100, 100}, 0, 1, 50, 10, "b", "0", 1,
         "ModuleSize [0] < moduleOverFlow [1]. Will not prune anymore."},
    };
    uint32_t module = 20;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CacheArgs args = Args();
        args.moduleId = module++;
        args.moduleOverFlow = row.floor;
        CacheManagerImpl& m = Manager(args);
        const std::string prefix = std::to_string(args.moduleId) + "/";
        for (size_t i = 0; i < row.sizes.size(); ++i)
            Add(m, prefix + char('a' + i), row.sizes[i], Key(i + 1));
        if (row.storedTotal >= 0) {
            ASSERT_TRUE(m.SetModuleSize(static_cast<uint64_t>(row.storedTotal)));
        }
        const std::string items = Item(prefix), sizeLink = m.m_sizeLink;
        const uint64_t capacity = row.capacity;
        size.freeBytesFn = [items, capacity]() {
            const uint64_t used = BytesUnder(items);
            return used >= capacity ? 0 : capacity - used;
        };
        size.freeInodeQueries = 0;
        log().Clear();
        EXPECT_TRUE(m.CreateSpace("x", row.request)) << log().Dump();
        std::string left;
        for (size_t i = 0; i < row.sizes.size(); ++i)
            if (Exists(Item(prefix + char('a' + i))))
                left += char('a' + i);
        EXPECT_EQ(left, row.left);
        EXPECT_EQ(LinkText(sizeLink), row.sizeText);
        EXPECT_EQ(log().Count("cursize"), row.sizeWrites) << log().Dump();
        if (!row.line.empty()) {
            const bool progress = row.line.compare(0, 7, "cursize") == 0 || row.line.compare(0, 5, "freeB") == 0;
            EXPECT_EQ(log().Count(row.line, progress ? 4 : 1), 1) << log().Dump();
        }
        EXPECT_GT(size.freeInodeQueries.load(), 0);
    }
}

TEST_F(Reclaim, AnEmptyIndexWhileShortOrAFailingProviderFails)
{
    size.freeBytes = 10;
    CacheManagerImpl& items = Manager();
    EXPECT_FALSE(items.CreateSpace("x", 100));
    EXPECT_TRUE(log().Has("Cache is empty. There is nothing to prune.", 4));
    EXPECT_TRUE(log().Has("PruneOneItem() failed. [x]", -1));
    EXPECT_EQ(size.freeInodeQueries.load(), 0);

    CacheArgs args = Args();
    args.pruneMode = CM_PRUNE_SET;
    CacheManagerImpl& sets = Manager(args);
    log().Clear();
    EXPECT_FALSE(sets.CreateSpace("x", 100));
    EXPECT_TRUE(log().Has("Cache is empty. There is nothing to prune.", 1));
    EXPECT_TRUE(log().Has("PruneOneDir() failed. [x]", -1));
    EXPECT_EQ(size.freeInodeQueries.load(), 0);

    // So does a size provider that cannot say what is free.
    const std::string a = Add(items, "a", 10, Key(1));
    size.failFreeSpace = true;
    EXPECT_FALSE(items.CreateSpace("x", 1));
    EXPECT_TRUE(log().Has("Failed to get free space in cache.", -1));
    EXPECT_EQ(size.freeInodeQueries.load(), 0);
    EXPECT_TRUE(Exists(a));
}

TEST_F(Reclaim, PassFreeingNothingDefersToTheOverflowLimit)
{
    CacheManagerImpl& m = Manager();
    std::vector<std::string> items;
    for (int i = 1; i <= 4; ++i) {
        items.push_back(Add(m, "i" + std::to_string(i), 100, Key(i)));
        ASSERT_EQ(unlink(items.back().c_str()), 0);  // prunes free 0 bytes
    }
    size.freeBytes = 0;
    m.m_overflowLimit = 100;
    EXPECT_TRUE(m.CreateSpace("x", 100));
    EXPECT_FALSE(Exists(RecordOf(items[0])));
    EXPECT_TRUE(Exists(RecordOf(items[1])));

    m.m_overflowLimit = 99;
    EXPECT_FALSE(m.CreateSpace("x", 100));
    EXPECT_TRUE(log().Has("cache is too small for this item. [x]", -1));
    EXPECT_FALSE(Exists(RecordOf(items[1])));

    m.m_overflowLimit = -1;  // admits every size the file system could hold
    EXPECT_TRUE(m.CreateSpace("x", size.totalBytes));
    EXPECT_FALSE(Exists(RecordOf(items[2])));
    // One it could not, with its reserve, is refused before anything is pruned.
    m.m_minFreeSpace = 1;
    log().Clear();
    EXPECT_FALSE(m.CreateSpace("x", size.totalBytes));
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_TRUE(log().Has("cache is too small for this item. [x]", -1));
    EXPECT_TRUE(Exists(RecordOf(items[3])));

    // The inode loop has no such limit.
    size.freeBytes = UINT64_MAX;
    size.freeInodes = 0;
    log().Clear();
    EXPECT_FALSE(m.CreateSpace("x", 1));
    EXPECT_TRUE(log().Has("cache is too small for this item. [x]", -1));
    EXPECT_FALSE(Exists(RecordOf(items[3])));
}

TEST_F(Reclaim, InodeLoopPrunesWhileInodesAreShort)
{
    CacheManagerImpl& m = Manager();
    const std::string a = Add(m, "a", 10, Key(1));
    const std::string b = Add(m, "b", 10, Key(2));
    const std::string c = Add(m, "c", 10, Key(3));
    const std::string items = dir() + "/items";
    size.freeInodesFn = [items]() { return 10 - FilesUnder(items); };
    m.m_minFreeInodes = 8;
    EXPECT_TRUE(m.CreateSpace("x", 1));
    EXPECT_TRUE(log().Has("freeInodes [7] <= spaceneeded [8]. Need to prune more.", 4));
    EXPECT_FALSE(Exists(a) || Exists(b));
    EXPECT_TRUE(Exists(c));
    EXPECT_EQ(SizeText(), "10");
}

// A facade that frees its manager, which the library never does.
struct Facade : CacheManager {
    ~Facade() { delete m_impl; }
};

class Items : public PruneTest {};

TEST_F(Items, UpdateItemFilesAndRefilesBySize)
{
    Facade cm;
    ASSERT_TRUE(cm.InitCacheManager(Args()));
    const std::string a = Item("a"), b = Item("b");

    EXPECT_FALSE(cm.UpdateItem(a, 0, 0));
    EXPECT_TRUE(log().Has("Adding 0 sized entry to cache.[" + a + "].", 4));
    EXPECT_TRUE(Entries().empty());
    EXPECT_FALSE(Exists(RecordOf(a)));
    EXPECT_FALSE(Exists(ModuleRoot() + "/size"));

    // A new item: room first, then an entry at the young end and a record.
    WriteFile(a, 100);
    int queries = size.freeSpaceQueries;
    ASSERT_TRUE(cm.UpdateItem(a, 100, 0)) << log().Dump();
    EXPECT_GT(size.freeSpaceQueries, queries);
    const std::string first = EntryOf(a);
    EXPECT_EQ(LinkText(first), "100:1:" + a);
    EXPECT_EQ(LatestText(), first);
    EXPECT_EQ(SizeText(), "100");

    // The same size again: filed afresh behind b, without making room.
    WriteFile(b, 10);
    ASSERT_TRUE(cm.UpdateItem(b, 10, 0));
    queries = size.freeSpaceQueries;
    ASSERT_TRUE(cm.UpdateItem(a, 100, 0));
    EXPECT_EQ(size.freeSpaceQueries, queries);
    EXPECT_FALSE(Exists(first));
    EXPECT_EQ(LatestText(), EntryOf(a));
    std::string oldest;
    ASSERT_TRUE(cm.m_impl->GetOldestItem(oldest));
    EXPECT_EQ(oldest, EntryOf(b));
    EXPECT_EQ(SizeText(), "110");

    // Size 0 takes the size the file has now, which is also the previous one.
    WriteFile(a, 50);
    ASSERT_TRUE(cm.UpdateItem(a, 0, 0));
    EXPECT_EQ(size.freeSpaceQueries, queries);
    EXPECT_EQ(LinkText(EntryOf(a)), "50:1:" + a);
    EXPECT_EQ(SizeText(), "110");

    // Shrinking makes room for the whole new size too, unless told not to.
    ASSERT_TRUE(cm.UpdateItem(a, 30, 0));
    EXPECT_GT(size.freeSpaceQueries, queries);
    EXPECT_EQ(SizeText(), "90");
    queries = size.freeSpaceQueries;
    ASSERT_TRUE(cm.UpdateItem(a, true, 30, 0));  // the file still holds 50
    EXPECT_EQ(size.freeSpaceQueries, queries);
    EXPECT_EQ(LinkText(EntryOf(a)), "30:1:" + a);
    EXPECT_EQ(SizeText(), "70");
}

TEST_F(Items, PruneMethodHideAndUnHide)
{
    Facade cm;
    ASSERT_TRUE(cm.InitCacheManager(Args()));
    const std::string a = Item("a"), b = Item("b");
    WriteFile(a, 70);
    WriteFile(b, 30);
    ASSERT_TRUE(cm.UpdateItem(a, 70, Key(1)));
    ASSERT_TRUE(cm.UpdateItem(b, 30, Key(2)));

    // A method changes in place until the next sized update files afresh.
    const std::string entry = EntryOf(a);
    ASSERT_TRUE(cm.UpdateItem(a, PRUNE_UNLINK_RECURSE));
    EXPECT_EQ(EntryOf(a), entry);
    EXPECT_EQ(LinkText(entry), "70:2:" + a);
    EXPECT_EQ(SizeText(), "100");
    ASSERT_TRUE(cm.UpdateItem(a, 70, Key(3)));
    EXPECT_EQ(LinkText(EntryOf(a)), "70:1:" + a);
    // Items that are not in the cache: nothing to change.
    EXPECT_TRUE(cm.UpdateItem(Item("none"), PRUNE_TRUNCATE));
    EXPECT_TRUE(cm.HideItem(Item("none"), 0));
    EXPECT_FALSE(Exists(RecordOf(Item("none"))));
    EXPECT_EQ(Entries().size(), 2u);

    ASSERT_TRUE(cm.HideItem(a, 12345));
    EXPECT_EQ(FileSize(a), 70);
    EXPECT_FALSE(Exists(RecordOf(a)));
    EXPECT_EQ(Entries(), std::vector<std::string>{EntryOf(b)});
    EXPECT_EQ(SizeText(), "30");

    const int queries = size.freeSpaceQueries;
    ASSERT_TRUE(cm.UnHideItem(a, 70, 0));
    EXPECT_GT(size.freeSpaceQueries, queries);
    EXPECT_EQ(LatestText(), EntryOf(a));
    EXPECT_EQ(SizeText(), "100");

    // Without its size a hidden item cannot come back.
    ASSERT_TRUE(cm.HideItem(a, 0));
    log().Clear();
    EXPECT_FALSE(cm.UnHideItem(a, 0, 0));
    EXPECT_TRUE(log().Has("Adding 0 sized entry to cache.[" + a + "].", 4));
    EXPECT_FALSE(Exists(RecordOf(a)));
    EXPECT_EQ(SizeText(), "30");

    // A total that cannot be read fails the hide.
    ASSERT_EQ(unlink((ModuleRoot() + "/size").c_str()), 0);
    WriteFile(ModuleRoot() + "/size", 3);
    EXPECT_FALSE(cm.HideItem(b, 0));
    EXPECT_TRUE(log().Has("readlink() failed. [" + ModuleRoot() + "/size] [Invalid argument]", -1)) << log().Dump();
}

TEST_F(Items, DeleteFromCachePrunesByTheEntrysMethod)
{
    CacheManagerImpl& m = Manager();
    const std::string a = Add(m, "a", 60, Key(1));
    const std::string b = Add(m, "b", 40, Key(2));
    ASSERT_TRUE(m.UpdateItem(a, PRUNE_TRUNCATE));
    ASSERT_TRUE(m.DeleteFromCache(a));
    EXPECT_EQ(FileSize(a), 0);
    EXPECT_FALSE(Exists(RecordOf(a)));
    EXPECT_EQ(Entries(), std::vector<std::string>{EntryOf(b)});
    EXPECT_EQ(SizeText(), "40");

    // No record: the file is pruned by the default method, the total stays.
    const std::string c = Item("c");
    WriteFile(c, 5);
    EXPECT_TRUE(m.DeleteFromCache(c));
    EXPECT_FALSE(Exists(c));
    EXPECT_EQ(SizeText(), "40");
    EXPECT_TRUE(m.FreeSpace(uint64_t(5), std::string("x")));
}

TEST_F(Items, RecordOfAVanishedEntryNeverSticks)
{
    CacheManagerImpl& m = Manager();
    std::vector<std::string> items;
    for (const char* name : {"a", "b", "c", "d"}) {
        items.push_back(Add(m, name, 10, 0));
        ASSERT_EQ(unlink(EntryOf(items.back()).c_str()), 0);
    }
    const std::string a = items[0], b = items[1], c = items[2], d = items[3];
    ASSERT_TRUE(m.UpdateItem(a, 10, 0)) << log().Dump();
    EXPECT_EQ(Entries(), std::vector<std::string>{EntryOf(a)});
    EXPECT_EQ(SizeText(), "50");  // counted afresh in full

    EXPECT_TRUE(m.DeleteFromCache(b));
    EXPECT_FALSE(Exists(b));
    EXPECT_TRUE(m.HideItem(c, 0));
    EXPECT_EQ(FileSize(c), 10);
    EXPECT_TRUE(m.UpdateItem(d, PRUNE_TRUNCATE));
    for (const std::string& item : {b, c, d})
        EXPECT_FALSE(Exists(RecordOf(item))) << item;
    EXPECT_EQ(SizeText(), "50");
}

// What no host should pass, and no operation may act on: a relative path,
// the index's own files (however spelt), an item of another module.
TEST_F(Items, PathsThatAreNoItemsOfThisModuleAreRefusedAndNothingChanges)
{
    CacheManagerImpl& m = Manager();
    Add(m, "a", 10, Key(1));
    CacheArgs three = Args();
    three.moduleId = 3;
    CacheManagerImpl& other = Manager(three);
    const std::string b = Add(other, "b", 20, Key(2));
    const std::string otherSize = dir() + "/CM/3/size";
    const std::string paths[] = {"items/a", ModuleRoot() + "/size", dir() + "/CM/3/lockfile",
                                 ModuleRoot() + "/x/../../7/./latest", Item("../CM/7/size"), b};
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        log().Clear();
        errno = 0;
        EXPECT_FALSE(m.UpdateItem(path, 5, Key(3)));
        EXPECT_EQ(errno, EINVAL);
        EXPECT_FALSE(m.UpdateItem(path, PRUNE_TRUNCATE));
        EXPECT_FALSE(m.DeleteFromCache(path));
        EXPECT_FALSE(m.HideItem(path, 0));
        EXPECT_EQ(log().CountLevel(-1), 4) << log().Dump();
        EXPECT_EQ(SizeText(), "10");
        EXPECT_EQ(LinkText(otherSize), "20");
        EXPECT_TRUE(IsLink(EntryOf(b)) && FileSize(b) == 20);
        EXPECT_TRUE(Exists(dir() + "/CM/3/lockfile") && Exists(ModuleRoot() + "/latest"));
    }
    // A record whose text names no index entry at all leaves the item free
    // to be filed afresh; what the text names is not touched.
    MakeLink(dir() + "/elsewhere", RecordOf(Item("c")));
    MakeLink("1:1:" + Item("c"), dir() + "/elsewhere");
    WriteFile(Item("c"), 5);
    EXPECT_TRUE(m.UpdateItem(Item("c"), 5, Key(4))) << log().Dump();
    EXPECT_TRUE(IsLink(dir() + "/elsewhere"));
    EXPECT_EQ(SizeText(), "15");
}

TEST_F(Items, FailedRoomLeavesTheItemWhollyOut)
{
    CacheManagerImpl& m = Manager();
    const std::string a = Add(m, "a", 100, Key(1));
    const std::string b = Add(m, "b", 50, Key(2));
    size.failFreeSpace = true;
    EXPECT_FALSE(m.UpdateItem(a, 120, Key(3)));
    EXPECT_FALSE(Exists(RecordOf(a)));
    EXPECT_EQ(Entries(), std::vector<std::string>{EntryOf(b)});
    EXPECT_EQ(SizeText(), "50");
    EXPECT_EQ(FileSize(a), 100);

    size.failFreeSpace = false;
    ASSERT_TRUE(m.UpdateItem(a, 120, Key(4)));
    EXPECT_EQ(SizeText(), "170");
}

// --- Statistics ---------------------------------------------------------------

TEST_F(Items, PrintStatsWritesTheTable)
{
    CacheManagerImpl& m = Manager();
    m.m_insertCount = 3;
    m.m_insertTime = 10;
    m.m_pruneItemCount = 4;
    m.m_pruneItemTime = 9;
    log().Clear();
    m.PrintStats();
    std::vector<std::string> texts;
    for (const LogLine& line : log().Lines())
        texts.push_back(std::to_string(line.level) + " " + line.text);
    EXPECT_EQ(texts, (std::vector<std::string>{
                         "1 Name\t\tCount\t\t\tTotal Time\tPer Transaction\n", "1 GetMinORMax\t0\t\t\t0\t0",
                         "1 Insert\t\t3\t\t\t10\t3", "1 Delete\t\t0\t\t\t0\t0", "1 GetPos\t\t0\t\t\t0\t0",
                         "1 RemoveAtPos\t\t0\t\t\t0\t0", "1 PruneOneItem\t\t0\t\t\t0\t0",
                         "1 PruneItem\t\t4\t\t\t9\t2", "1 SetNextOldest\t\t0\t\t\t0\t0"}));
    log().SetLevel(0);
    log().Clear();
    m.PrintStats();
    EXPECT_TRUE(log().Lines().empty());
}

TEST_F(Items, MeasuredOperationsRaiseTheirCounts)
{
    CacheManagerImpl& m = Manager();
    const std::string a = Item("a");
    WriteFile(a, 10);
    ASSERT_TRUE(m.UpdateItem(a, 10, Key(1)));
    EXPECT_EQ(m.m_getPosCount, 1u);
    EXPECT_EQ(m.m_insertCount, 1u);
    EXPECT_EQ(m.m_getMinOrMaxCount, 1u);  // the new entry directory's scan
    EXPECT_EQ(m.m_deleteCount, 2u);       // both loops
    EXPECT_EQ(m.m_pruneOneItemCount + m.m_pruneItemCount + m.m_removeAtPosCount + m.m_setNextOldestCount, 0u);
    CacheStatistics stats;
    ASSERT_TRUE(m.GetStatistics(stats));
    EXPECT_EQ(stats.count[CacheStatistics::STAT_DELETE], 2u);
    EXPECT_EQ(stats.microseconds[CacheStatistics::STAT_INSERT], m.m_insertTime);
    m.ResetStatistics();
    ASSERT_TRUE(m.GetStatistics(stats));
    EXPECT_EQ(stats.count[CacheStatistics::STAT_DELETE] + m.m_insertCount + m.m_getPosCount, 0u);
    // Through the facade, and again by a second initialisation.
    CacheManager facade;
    facade.ResetStatistics();  // detached: nothing to reset
    ASSERT_TRUE(facade.InitCacheManager(Args()));
    ASSERT_TRUE(facade.UpdateItem(a, 10, Key(1)));
    facade.ResetStatistics();
    ASSERT_TRUE(facade.GetStatistics(stats));
    EXPECT_EQ(stats.count[CacheStatistics::STAT_GET_POS], 0u);
    ASSERT_TRUE(facade.UpdateItem(a, 10, Key(1)));
    ASSERT_TRUE(facade.m_impl->InitCacheManager(Args()));
    EXPECT_EQ(facade.m_impl->m_getPosCount, 0u);
    delete facade.m_impl;

    Add(m, "b", 10, Key(2));
    UseCapacity(20);
    const uint64_t scans = m.m_getMinOrMaxCount, deletes = m.m_deleteCount;
    ASSERT_TRUE(m.CreateSpace("x", 5));
    EXPECT_FALSE(Exists(a));
    EXPECT_EQ(m.m_deleteCount, deletes + 2);
    EXPECT_EQ(m.m_pruneOneItemCount, 1u);
    EXPECT_EQ(m.m_pruneItemCount, 1u);
    EXPECT_EQ(m.m_removeAtPosCount, 1u);
    EXPECT_EQ(m.m_setNextOldestCount, 1u);
    EXPECT_GT(m.m_getMinOrMaxCount, scans);

    // Set mode: a directory prune counts as PruneOneItem.
    CacheArgs args = Args();
    args.moduleId = 8;
    args.pruneMode = CM_PRUNE_SET;
    CacheManagerImpl& sets = Manager(args);
    WriteFile(Item("c"), 10);
    ASSERT_TRUE(sets.UpdateItem(Item("c"), true, 10, Key(1)));
    ASSERT_TRUE(sets.CreateSpace("x", 5));
    EXPECT_FALSE(Exists(Item("c")));
    EXPECT_EQ(sets.m_pruneOneItemCount, 1u);
    EXPECT_EQ(sets.m_pruneItemCount, 1u);
    EXPECT_EQ(sets.m_setNextOldestCount, 1u);
}

class Scenario : public PruneTest {};

TEST_F(Scenario, OneUpdateOfAnItemInTheCache)
{
    CacheManagerImpl& m = Manager();
    const std::string o = Add(m, "o", 300, Key(1));
    const std::string b = Add(m, "b", 200, Key(2));
    const std::string a = Add(m, "a", 100, Key(3));
    const std::string oldEntry = EntryOf(a);
    const std::string newEntry = T() + "/0/0/0/4/0/1";

    // What the index looks like when room is first asked for.
    bool asked = false, oldEntryThere = true, newEntryThere = true;
    std::string recordThen;
    const std::string items = dir() + "/items";
    size.freeBytesFn = [&]() {
        if (!asked) {
            asked = true;
            oldEntryThere = Exists(oldEntry);
            newEntryThere = Exists(newEntry);
            recordThen = EntryOf(a);
        }
        return 850 - BytesUnder(items);
    };

    // The host announces the growth before it writes: 250 bytes free, 300 needed.
    log().Clear();
    ASSERT_TRUE(m.UpdateItem(a, false, 300, Key(4))) << log().Dump();
    WriteFile(a, 300);

    // The record was read and the old entry removed, with the directories it
    // emptied, before room was made; the record still named it then.
    ASSERT_TRUE(asked);
    EXPECT_FALSE(oldEntryThere);
    EXPECT_FALSE(newEntryThere);
    EXPECT_EQ(recordThen, oldEntry);
    EXPECT_FALSE(Exists(T() + "/0/0/0/3"));

    // Room: the oldest item went, and the oldest link moved on to b.
    EXPECT_FALSE(Exists(o));
    EXPECT_FALSE(Exists(RecordOf(o)));
    EXPECT_FALSE(Exists(T() + "/0/0/0/1"));
    EXPECT_EQ(OldestText(), EntryOf(b));
    EXPECT_EQ(FileSize(b), 200);

    // The new entry at the young end, the record pointing to it, the size.
    EXPECT_EQ(LinkText(newEntry), "300:1:" + a);
    EXPECT_EQ(LatestText(), newEntry);
    EXPECT_EQ(EntryOf(a), newEntry);
    EXPECT_EQ(SizeText(), "500");

    // The same order in the log: prune, then insert, then the size change.
    const std::vector<LogLine> lines = log().Lines();
    auto at = [&](const std::string& needle) {
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i].text.find(needle) != std::string::npos)
                return static_cast<int>(i);
        return -1;
    };
    const int pruned = at("Removed(unlink) [" + o + "].");
    const int inserted = at("curLatestPos");
    const int sized = at("cursize [300] sizein [200] newsize [500].");
    EXPECT_TRUE(pruned >= 0 && pruned < inserted && inserted < sized) << log().Dump();
}

// Items of 96 KiB, every third by each prune method, are added to a 4 MiB tmpfs
// with the library's own size provider, a quarter of the bytes and a tenth of
// the inodes kept free, until pruning has set in; then the oldest item still
// in the cache grows to a size that forces more pruning.
TEST_F(Scenario, FillingASmallFileSystemPrunesOldestFirstByEachMethodInBothModes)
{
    SKIP_UNLESS_ROOT();
    for (const int mode : {CM_PRUNE_ITEM, CM_PRUNE_SET}) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        const std::string mnt = dir() + "/mnt" + std::to_string(mode);
        TmpfsMount fs(mnt, "size=4m,nr_inodes=400");
        ASSERT_TRUE(fs.ok());
        CacheArgs args = Args();
        args.cacheDir = mnt;
        args.cacheSize = nullptr;
        args.bytesMinFree = 25;
        args.inodesMinFree = 10;
        args.pruneMode = mode;
        CacheManagerImpl& m = Manager(args);
        std::unique_ptr<CacheSize> provider(m.m_cacheSize);  // the library never frees it
        ASSERT_EQ(m.m_minFreeSpace, 4194304u / 100 * 25);
        const PruneMethod methods[] = {PRUNE_TRUNCATE, PRUNE_UNLINK, PRUNE_UNLINK_RECURSE};
        std::vector<std::pair<std::string, PruneMethod>> order;  // by last update
        const int count = 40;
        for (int i = 0; i < count; ++i) {
            const PruneMethod pm = methods[i % 3];
            const std::string name = std::to_string(i);
            const std::string item = mnt + "/items/" + (pm == PRUNE_UNLINK_RECURSE ? "r" + name + "/deep/f" : "f" + name);
            WriteFile(item, 96 * 1024);
            ASSERT_TRUE(m.UpdateItem(item, 96 * 1024, Key(1 + i / (mode == CM_PRUNE_SET ? 2 : 1))));
            ASSERT_TRUE(m.UpdateItem(item, pm));
            order.emplace_back(item, pm);
        }
        size_t grown = 0;
        while (grown < order.size() && !Exists(RecordOf(order[grown].first)))
            ++grown;
        ASSERT_LT(grown, order.size());
        ASSERT_GT(grown, 0u) << "nothing was pruned while filling";
        const std::string item = order[grown].first;
        ASSERT_TRUE(m.UpdateItem(item, 512 * 1024, Key(1 + count)));
        WriteFile(item, 512 * 1024);
        order.erase(order.begin() + static_cast<long>(grown));
        order.emplace_back(item, m.m_pruneMethod);

        // Pruned items form the oldest part of the order, each pruned by its method.
        uint64_t sum = 0;
        size_t inCache = 0;
        int prunedBy[3] = {0, 0, 0};
        for (const auto& entry : order) {
            const std::string& path = entry.first;
            if (Exists(RecordOf(path))) {
                ++inCache;
                sum += static_cast<uint64_t>(FileSize(path));
                EXPECT_GT(FileSize(path), 0) << path;
                continue;
            }
            EXPECT_EQ(inCache, 0u) << path << " was pruned after a younger item";
            ++prunedBy[entry.second];
            if (entry.second == PRUNE_TRUNCATE) {
                EXPECT_EQ(FileSize(path), 0) << path;
            } else {
                EXPECT_FALSE(Exists(entry.second == PRUNE_UNLINK ? path : ParentOf(ParentOf(path)))) << path;
            }
        }
        EXPECT_GT(order.size() - inCache, grown) << "growing the item pruned nothing";
        EXPECT_TRUE(prunedBy[0] > 0 && prunedBy[1] > 0 && prunedBy[2] > 0);
        EXPECT_EQ(LinksUnder(m.m_timeTableDir).size(), inCache);
        EXPECT_EQ(LinkText(m.m_sizeLink), std::to_string(sum));
        struct statvfs st;
        ASSERT_EQ(statvfs(mnt.c_str(), &st), 0);
        EXPECT_GT(static_cast<uint64_t>(st.f_bavail) * st.f_frsize, m.m_minFreeSpace);
        EXPECT_GT(static_cast<uint64_t>(st.f_ffree), m.m_minFreeInodes);
        m.m_cacheSize = nullptr;
    }
}

class Policies : public PruneTest {
protected:
    // A host's key for a moment this many seconds ago.
    static uint64_t Ago(uint64_t seconds) { return (static_cast<uint64_t>(time(nullptr)) - seconds) << 8; }

    layout::ModuleStatistics Published(const std::string& root)
    {
        layout::ModuleStatistics stats;
        layout::ParseFields(LinkText(layout::StatisticsLink(root)), stats);
        return stats;
    }
};

TEST_F(Policies, CapAndAgeLimitPruneOldestFirstDownToTheFloorAndAreCountedByReason)
{
    struct Row {
        const char* name;
        uint64_t cap, age, capacity, floor, request;
        bool sweep;                // PruneExpired rather than CreateSpace
        bool result;
        const char* left;          // the items still there afterwards
        uint64_t reserve, cap_, aged, refused;  // items counted by reason
    };
    // Five items of 100 bytes, i1 filed 500 seconds ago ... i5 100 seconds ago.
    const Row rows[] = {
        {"cap", 350, 0, 0, 0, 100, false, true, "45", 0, 3, 0, 0},
        {"cap down to the floor", 350, 0, 0, 450, 100, false, true, "2345", 0, 1, 0, 0},
        {"request beyond the cap", 350, 0, 0, 0, 351, false, false, "12345", 0, 0, 0, 1},
        {"age limit", 0, 250, 0, 0, 100, false, true, "45", 0, 0, 3, 0},
        {"age limit, swept", 0, 250, 0, 0, 0, true, true, "45", 0, 0, 3, 0},
        {"age limit down to the floor", 0, 250, 0, 350, 100, false, true, "345", 0, 0, 2, 0},
        {"age limit, then the reserve", 0, 350, 600, 0, 300, false, true, "45", 1, 0, 2, 0},
        {"cap, then the reserve", 450, 0, 400, 0, 100, false, true, "45", 1, 2, 0, 0},
    };
    int module = 40;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CacheArgs args = Args();
        args.moduleId = module++;
        args.maxModuleBytes = row.cap;
        args.maxItemAgeSeconds = row.age;
        args.moduleOverFlow = row.floor;
        args.shareModuleState = true;
        size.freeBytesFn = nullptr;
        CacheManagerImpl& m = Manager(args);
        const std::string prefix = std::to_string(args.moduleId) + "/i";
        for (int i = 1; i <= 5; ++i)
            Add(m, prefix + std::to_string(i), 100, Ago(100 * (6 - i)));
        if (row.capacity != 0)
            UseCapacity(row.capacity);
        RemoveTree(dir() + "/items/" + std::to_string(args.moduleId - 1));

        log().Clear();
        EXPECT_EQ(row.sweep ? m.PruneExpired() : m.CreateSpace("x", row.request), row.result) << log().Dump();
        std::string left;
        for (int i = 1; i <= 5; ++i)
            if (Exists(Item(prefix + std::to_string(i))))
                left += std::to_string(i);
        EXPECT_EQ(left, row.left);
        EXPECT_EQ(LinkText(m.m_sizeLink), std::to_string(100 * left.size()));
        const layout::ModuleStatistics stats = Published(m.m_moduleRoot);
        EXPECT_EQ(stats.values[layout::ModuleStatistics::RESERVE_ITEMS], row.reserve);
        EXPECT_EQ(stats.values[layout::ModuleStatistics::CAP_ITEMS], row.cap_);
        EXPECT_EQ(stats.values[layout::ModuleStatistics::AGE_ITEMS], row.aged);
        EXPECT_EQ(stats.values[layout::ModuleStatistics::REFUSED], row.refused);
        EXPECT_EQ(stats.values[layout::ModuleStatistics::PRUNED_BYTES], 100u * (5 - left.size()));
        if (left.size() < 5) {
            // The last pruned was filed 100 seconds after the one before it.
            const uint64_t lastAge = stats.values[layout::ModuleStatistics::LAST_PRUNED_AGE_SECONDS];
            EXPECT_NEAR(static_cast<double>(lastAge), 100.0 * (6 - (left[0] - '0' - 1)), 2.0);
        }
    }
}

// A slice of maintenance prunes oldest first towards its targets, within its
// budget of items and of time, down to the floor, and frees the lock.
TEST_F(Policies, SlicesOfMaintenanceKeepTheirBudgetAndTheFloor)
{
    struct Row {
        const char* name;
        uint64_t cap, floor;
        uint32_t maxItems, maxMicroseconds;
        const char* left;
        bool more, atFloor;
    };
    // Five items of 100 bytes, a cap of 500 kept 150 bytes ahead.
    const Row rows[] = {
        {"within the item budget", 500, 0, 1, 1000000, "2345", true, false},
        {"the item budget suffices", 500, 0, 16, 1000000, "345", false, false},
        {"within the time budget", 500, 0, 16, 1, "2345", true, false},
        {"down to the floor", 500, 450, 16, 1000000, "2345", false, true},
        {"targets met", 900, 0, 16, 1000000, "12345", false, false},
        {"age limit", 0, 0, 16, 1000000, "", false, false},  // every key is decades old
    };
    int module = 60;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CacheArgs args = Args();
        args.moduleId = module++;
        args.maxModuleBytes = row.cap;
        args.maxItemAgeSeconds = row.cap == 0 ? 3600 : 0;
        args.moduleOverFlow = row.floor;
        args.shareModuleState = true;
        CacheManagerImpl& m = Manager(args);
        const std::string prefix = std::to_string(args.moduleId) + "/i";
        for (int i = 1; i <= 5; ++i)
            Add(m, prefix + std::to_string(i), 100, Key(i));
        SliceTarget target;
        target.capMargin = 150;
        target.maxItems = row.maxItems;
        target.maxMicroseconds = row.maxMicroseconds;
        SliceReport report;
        ASSERT_TRUE(m.PruneSlice(target, report)) << log().Dump();
        std::string left;
        for (int i = 1; i <= 5; ++i)
            if (Exists(Item(prefix + std::to_string(i))))
                left += std::to_string(i);
        EXPECT_EQ(left, row.left);
        EXPECT_EQ(report.itemsPruned, 5 - left.size());
        EXPECT_EQ(report.bytesPruned, 100 * (5 - left.size()));
        EXPECT_EQ(report.moreNeeded, row.more);
        EXPECT_EQ(report.atFloor, row.atFloor);
        EXPECT_EQ(Published(m.m_moduleRoot).values[layout::ModuleStatistics::MAINTAINER_ITEMS], 5 - left.size());
        const std::string lockFile = m.m_lockFile;
        EXPECT_EQ(RunInChild([&] {
                      const int fd = open(lockFile.c_str(), O_WRONLY);
                      return fd >= 0 && lockf(fd, F_TEST, 0) == 0 ? 0 : 1;
                  }),
                  0)
            << "the cache lock is still held";
    }
    // A figure the slice cannot have fails it.
    size.failFreeInodes = true;
    SliceReport report;
    log().Clear();
    EXPECT_FALSE(Manager().PruneSlice(SliceTarget(), report));
    EXPECT_TRUE(log().Has("Failed to get free inodes in cache.", -1)) << log().Dump();
    size.failFreeInodes = false;
}

// Every process of a module adds to one account, whatever the others did;
// with the module state not shared, nothing but the index is written.
TEST_F(Policies, ProcessesShareOneAccountAndSeeEachOthersSettings)
{
    CacheArgs args = Args();
    args.shareModuleState = true;
    args.maxModuleBytes = 250;
    CacheManagerImpl& m = Manager(args);
    for (int i = 1; i <= 4; ++i)
        Add(m, "i" + std::to_string(i), 100, Key(i));
    const int status = RunInChild([&] {
        CacheManagerImpl other;
        return other.InitCacheManager(args) && other.CreateSpace("x", 100) ? 0 : 1;
    });
    ASSERT_EQ(status, 0);
    ASSERT_TRUE(m.DeleteFromCache(Item("i4")));
    layout::ModuleStatistics stats = Published(ModuleRoot());
    EXPECT_EQ(stats.values[layout::ModuleStatistics::CAP_ITEMS], 3u);
    EXPECT_EQ(stats.values[layout::ModuleStatistics::DELETE_ITEMS], 1u);
    EXPECT_EQ(stats.values[layout::ModuleStatistics::PRUNED_ITEMS], 4u);
    EXPECT_NEAR(static_cast<double>(stats.values[layout::ModuleStatistics::LAST_PRUNE_TIME]),
                static_cast<double>(time(nullptr)), 2.0);

    // A process with other settings publishes them and says so.
    layout::ModuleSettings settings;
    ASSERT_TRUE(layout::ParseFields(LinkText(layout::SettingsLink(ModuleRoot())), settings));
    EXPECT_EQ(settings.values[layout::ModuleSettings::MAX_MODULE_BYTES], 250u);
    args.maxModuleBytes = 0;
    args.maxItemAgeSeconds = 3600;
    log().Clear();
    Manager(args);
    EXPECT_TRUE(log().Has("Settings of module [" + ModuleRoot() + "] differ", 1)) << log().Dump();
    ASSERT_TRUE(layout::ParseFields(LinkText(layout::SettingsLink(ModuleRoot())), settings));
    EXPECT_EQ(settings.values[layout::ModuleSettings::MAX_MODULE_BYTES], 0u);
    EXPECT_EQ(settings.values[layout::ModuleSettings::MAX_ITEM_AGE_SECONDS], 3600u);

    CacheArgs quiet = Args();
    quiet.moduleId = 8;
    CacheManagerImpl& q = Manager(quiet);
    const std::string a = Add(q, "a", 10, Key(1));
    ASSERT_TRUE(q.DeleteFromCache(a));
    EXPECT_EQ(ListDir(dir() + "/CM/8"), (std::vector<std::string>{"T", "latest", "lockfile", "size"}));
}

}  // namespace
