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
        const char* line;   // the one line written, at the progress level
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
        EXPECT_TRUE(FileSize(item) == row.sizeAfter && !Exists(RecordOf(item))) << item;
        EXPECT_EQ(log().Lines().size(), row.line ? 1u : 0u) << log().Dump();
        EXPECT_TRUE(!row.line || log().Has(row.line + item + "].", 4)) << log().Dump();
    }

    // unlink_recurse removes the directories it empties, up to the first that
    // still holds something, and at most the item's and seven ancestors.
    WriteFile(Item("a/keep"), 1);
    const std::string deep = Item("d/1/2/3/4/5/6/7/8/x");
    for (const std::string& item : {Item("a/b/c/x"), deep}) {
        WriteFile(item, 10);
        MakeLink("entry", RecordOf(item));
        EXPECT_TRUE(m.PruneItem(item, PRUNE_UNLINK_RECURSE));
    }
    EXPECT_TRUE(log().Has("Removed(unlink_recurse) [" + deep + "].", 4));
    EXPECT_FALSE(Exists(Item("a/b")) || Exists(Item("d/1")));
    EXPECT_TRUE(Exists(Item("a/keep")) && IsDir(Item("d")));
}

// A file or record that cannot be removed (here by an unprivileged process)
// stays, with the failure written up; under a default method of
// unlink_recurse a record's removal fails silently, as it always has.
TEST_F(Prune, UnlinkFailuresKeepTheFileAndTheRecord)
{
    SKIP_UNLESS_ROOT();
    CacheManagerImpl& m = Manager();
    CacheArgs args = Args();
    args.pruneMethod = PRUNE_UNLINK_RECURSE;
    CacheManagerImpl& recursive = Manager(args);
    const std::string item = Item("locked/f");
    WriteFile(item, 10);
    MakeLink("entry", RecordOf(item));
    // Readable for everyone, writable only for root.
    for (const std::string& d : {dir(), Item(""), Item("locked")})
        ASSERT_EQ(chmod(d.c_str(), 0755), 0);
    const std::string fileLine = "unlink() failed. [" + item + "] [Permission denied]";
    const std::string recordLine = "unlink() failed. [" + RecordOf(item) + "] [Permission denied]";
    EXPECT_EQ(RunAsNobody([&]() {
                  const bool failed = !m.PruneItem(item, PRUNE_UNLINK) && !m.RemoveCachePositionRecord(item);
                  return failed && log().Has(fileLine, -1) && log().Count(recordLine, -1) == 1 ? 0 : 1;
              }),
              0);
    log().Clear();
    EXPECT_EQ(RunAsNobody([&]() { return recursive.RemoveCachePositionRecord(item) && log().Lines().empty() ? 0 : 1; }),
              0);
    EXPECT_TRUE(Exists(item));
    EXPECT_EQ(LinkText(RecordOf(item)), "entry");
}

// The oldest entry by time key goes first, and leaves the index before its
// file is touched: an item whose file cannot be pruned is out all the same,
// its bytes counted as freed. An entry that cannot be pruned at all (its text
// is no entry's) leaves the index rather than block it, and the step goes on.
TEST_F(Prune, PruneOneItemTakesTheOldestEntryOutBeforeTouchingTheFile)
{
    CacheManagerImpl& m = Manager();
    MakeLink("12", T() + "/0/0/0/0/0/1");
    const std::string d = Item("d");  // a directory: unlink() fails
    WriteFile(Item("d/inner"), 5);
    ASSERT_TRUE(m.UpdateItem(d, true, 10, Key(1)));
    const std::string a = Add(m, "a", 10, Key(4));
    const std::string b = Add(m, "b", 20, Key(2));
    const std::string c = Add(m, "c", 30, Key(3));
    const std::string gone = Add(m, "gone", 10, Key(5));

    uint64_t freed = 0;
    ASSERT_TRUE(m.PruneOneItem(freed)) << log().Dump();
    EXPECT_EQ(freed, static_cast<uint64_t>(FileSize(d)));
    EXPECT_TRUE(log().Has("/0/0/0/0/0/1] cannot be pruned. Dropped it from the index. [Invalid argument]", -1));
    EXPECT_TRUE(log().Has("unlink() failed. [" + d + "] [Is a directory]", -1)) << log().Dump();
    EXPECT_TRUE(IsDir(d) && Exists(RecordOf(d)));
    EXPECT_EQ(Entries(), (std::vector<std::string>{EntryOf(b), EntryOf(c), EntryOf(a), EntryOf(gone)}));
    EXPECT_EQ(OldestText(), EntryOf(b));

    ASSERT_TRUE(m.PruneOneItem(freed)) << log().Dump();
    EXPECT_EQ(freed, 20u);
    EXPECT_FALSE(Exists(b) || Exists(RecordOf(b)) || Exists(T() + "/0/0/0/2"));
    EXPECT_EQ(OldestText(), EntryOf(c));

    // The oldest link names an entry removed behind the manager's back: the
    // link goes, the oldest is found afresh, and c's file stays untouched.
    ASSERT_EQ(unlink(EntryOf(c).c_str()), 0);
    ASSERT_TRUE(m.PruneOneItem(freed)) << log().Dump();
    EXPECT_EQ(freed, 10u);
    EXPECT_FALSE(Exists(a));
    EXPECT_EQ(FileSize(c), 30);

    // An item whose file someone else deleted frees nothing.
    ASSERT_EQ(unlink(gone.c_str()), 0);
    ASSERT_TRUE(m.PruneOneItem(freed));
    EXPECT_EQ(freed, 0u);
    EXPECT_FALSE(Exists(RecordOf(gone)));
    EXPECT_TRUE(Entries().empty());
    freed = 99;
    log().Clear();
    EXPECT_FALSE(m.PruneOneItem(freed));
    EXPECT_EQ(freed, 0u);
    EXPECT_TRUE(log().Has("Cache is empty. There is nothing to prune.", 4));
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
    // A link left by the other prune mode names an entry: the index is walked.
    const std::string entry = EntryOf(x);
    MakeLink(entry, ModuleRoot() + "/oldest");

    uint64_t freed = 0;
    ASSERT_TRUE(m.PruneOneDir(freed)) << log().Dump();
    EXPECT_TRUE(log().Has("Oldest link [" + entry + "] does not name an entry directory.", -1)) << log().Dump();
    EXPECT_EQ(freed, 30u);
    for (const std::string& item : {x, y, z})
        EXPECT_FALSE(Exists(item) || Exists(RecordOf(item))) << item;
    // The entry directory and the ancestors it emptied are gone.
    EXPECT_FALSE(Exists(T() + "/0/0/0"));
    EXPECT_EQ(OldestText(), T() + "/0/0/1/0/0");

    log().Clear();
    ASSERT_TRUE(m.PruneOneDir(freed));
    EXPECT_EQ(freed, 7u);
    EXPECT_TRUE(log().Has("Failed to find next oldest. Cache must be empty.", -1)) << log().Dump();
    EXPECT_TRUE(OldestText().empty());
    freed = 99;
    EXPECT_FALSE(m.PruneOneDir(freed));
    EXPECT_EQ(freed, 0u);
    EXPECT_TRUE(log().Has("Cache is empty. There is nothing to prune.", 1));

    // An oldest entry directory that cannot be read fails.
    const std::string file = T() + "/0/0/0/1/0";
    WriteFile(file, 0);
    EXPECT_FALSE(m.PruneOneDir(freed));
    EXPECT_TRUE(log().Has("opendir() failed. [" + file + "]", -1)) << log().Dump();
}

// Items <prefix>1, <prefix>2, ... for the table tests.
class Numbered : public PruneTest {
protected:
    // The numbers of the items <prefix>1 ... <prefix>count still there, as "12...".
    std::string Left(const std::string& prefix, size_t count) const
    {
        std::string left;
        for (size_t i = 1; i <= count; ++i)
            if (Exists(Item(prefix + std::to_string(i))))
                left += std::to_string(i);
        return left;
    }
};

class Reclaim : public Numbered {};

// Items keyed 1, 2, ...; free bytes follow them in a file system of the row's
// capacity (0: none free), free inodes in one of the row's inodes that keeps
// 8 free (0: plenty); the size link is written once, at the end.
TEST_F(Reclaim, PrunesOldestFirstWhileShortAndDownToTheFloor)
{
    struct Row {
        const char* name;
        std::vector<size_t> sizes;
        uint64_t capacity, inodes, floor;
        int64_t storedTotal;  // -1: as filed
        uint64_t request;
        const char *left, *sizeText;
        int sizeWrites;
        std::string line;  // at the notice level unless a progress line
    };
    const Row rows[] = {
        {"free above the need", {100, 100}, 1000, 0, 0, -1, 799, "12", "200", 0,
         "freeBytes [800] > spaceneeded [799]. No need to prune anymore."},
        {"free equal to the need", {100, 100}, 1000, 0, 0, -1, 800, "2", "100", 1, ""},
        {"three passes", {100, 50, 25, 1000}, 2000, 0, 0, -1, 980, "4", "1000", 1,
         "cursize [1175] sizein [-175] newsize [1000]."},
        {"the floor", {100, 100, 100}, 300, 0, 150, -1, 250, "3", "100", 1,
         "ModuleSize [100] < moduleOverFlow [150]. Will not prune anymore."},
        // The total undercounts: a running size wrapped below zero would lift
        // the floor and let the loop prune the second item as well.
        {"a running size stops at 0", {100, 100}, 0, 0, 1, 50, 10, "2", "0", 1,
         "ModuleSize [0] < moduleOverFlow [1]. Will not prune anymore."},
        {"inodes short", {10, 10, 10}, 1000, 10, 0, -1, 1, "3", "10", 1,
         "freeInodes [7] <= spaceneeded [8]. Need to prune more."},
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
            Add(m, prefix + std::to_string(i + 1), row.sizes[i], Key(i + 1));
        ASSERT_TRUE(row.storedTotal < 0 || m.SetModuleSize(static_cast<uint64_t>(row.storedTotal)));
        const std::string items = Item(prefix);
        size.freeBytesFn = [items, &row]() { return row.capacity - std::min(row.capacity, BytesUnder(items)); };
        if (row.inodes != 0) {
            size.freeInodesFn = [items, &row]() { return row.inodes - FilesUnder(items); };
            m.m_minFreeInodes = 8;
        }
        log().Clear();
        EXPECT_TRUE(m.CreateSpace("x", row.request)) << log().Dump();
        size.freeInodesFn = nullptr;
        EXPECT_EQ(Left(prefix, row.sizes.size()), row.left);
        EXPECT_EQ(LinkText(m.m_sizeLink), row.sizeText);
        EXPECT_EQ(log().Count("cursize"), row.sizeWrites) << log().Dump();
        const bool progress = row.line.compare(0, 7, "cursize") == 0 || row.line.compare(0, 4, "free") == 0;
        EXPECT_TRUE(row.line.empty() || log().Count(row.line, progress ? 4 : 1) == 1) << log().Dump();
    }
}

TEST_F(Reclaim, APassFreeingNothingDefersToTheOverflowLimitAndAnEmptyIndexFails)
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

    // An index emptied while still short fails, in either mode; so does a
    // provider that cannot say what is free. Neither goes on to the inodes.
    size.freeBytes = 10;
    size.freeInodes = 1000000;
    size.freeInodeQueries = 0;
    for (const int mode : {CM_PRUNE_ITEM, CM_PRUNE_SET}) {
        CacheArgs args = Args();
        args.pruneMode = mode;
        log().Clear();
        EXPECT_FALSE(Manager(args).CreateSpace("x", 100));
        EXPECT_TRUE(log().Has("Cache is empty. There is nothing to prune.", mode == CM_PRUNE_ITEM ? 4 : 1));
        EXPECT_TRUE(log().Has(mode == CM_PRUNE_ITEM ? "PruneOneItem() failed. [x]" : "PruneOneDir() failed. [x]", -1));
    }
    const std::string a = Add(m, "a", 10, Key(1));
    size.failFreeSpace = true;
    EXPECT_FALSE(m.CreateSpace("x", 1));
    EXPECT_TRUE(log().Has("Failed to get free space in cache.", -1));
    EXPECT_EQ(size.freeInodeQueries.load(), 0);
    EXPECT_TRUE(Exists(a));
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
    EXPECT_FALSE(cm.UpdateItem(a, 0, 0));  // no size and no file: nothing to file
    EXPECT_TRUE(Entries().empty() && !Exists(RecordOf(a)));

    // A new item: room first, then an entry at the young end and a record.
    WriteFile(a, 100);
    int queries = size.freeSpaceQueries;
    ASSERT_TRUE(cm.UpdateItem(a, 100, 0)) << log().Dump();
    EXPECT_GT(size.freeSpaceQueries, queries);
    EXPECT_EQ(LinkText(EntryOf(a)), "100:1:" + a);
    EXPECT_EQ(SizeText(), "100");

    // The same size again: filed afresh behind b, without making room.
    WriteFile(b, 10);
    ASSERT_TRUE(cm.UpdateItem(b, 10, 0));
    queries = size.freeSpaceQueries;
    ASSERT_TRUE(cm.UpdateItem(a, 100, 0));
    EXPECT_EQ(size.freeSpaceQueries, queries);
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
    const std::string a = Item("a"), b = Item("b"), none = Item("none");
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
    EXPECT_TRUE(cm.UpdateItem(none, PRUNE_TRUNCATE) && cm.HideItem(none, 0));
    EXPECT_TRUE(!Exists(RecordOf(none)) && Entries().size() == 2u);

    ASSERT_TRUE(cm.HideItem(a, 12345));
    EXPECT_EQ(FileSize(a), 70);
    EXPECT_FALSE(Exists(RecordOf(a)));
    EXPECT_EQ(Entries(), std::vector<std::string>{EntryOf(b)});
    EXPECT_EQ(SizeText(), "30");

    ASSERT_TRUE(cm.UnHideItem(a, 70, 0));
    EXPECT_EQ(LinkText(ModuleRoot() + "/latest"), EntryOf(a));
    EXPECT_EQ(SizeText(), "100");
}

TEST_F(Items, DeleteFromCachePrunesByTheEntrysMethodAndAVanishedEntrysRecordNeverSticks)
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

    // Room that cannot be made leaves a growing item wholly out of the
    // cache, record and share of the total included.
    size.failFreeSpace = true;
    EXPECT_FALSE(m.UpdateItem(b, 120, Key(3)));
    EXPECT_FALSE(Exists(RecordOf(b)));
    EXPECT_TRUE(Entries().empty());
    EXPECT_EQ(SizeText(), "0");
    EXPECT_EQ(FileSize(b), 40);
    size.failFreeSpace = false;
    ASSERT_TRUE(m.UpdateItem(b, 120, Key(4)));
    EXPECT_EQ(SizeText(), "120");

    // Items whose entries vanished: filed afresh, the total counted in full;
    // deleted by the default method, hidden, re-pruned: their records go.
    std::vector<std::string> items;
    for (const char* name : {"d", "e", "f", "g"}) {
        items.push_back(Add(m, name, 10, 0));
        ASSERT_EQ(unlink(EntryOf(items.back()).c_str()), 0);
    }
    const std::string d = items[0], e = items[1], f = items[2], g = items[3];
    ASSERT_TRUE(m.UpdateItem(d, 10, 0)) << log().Dump();
    EXPECT_EQ(Entries(), (std::vector<std::string>{EntryOf(b), EntryOf(d)}));
    EXPECT_EQ(SizeText(), "170");
    EXPECT_TRUE(m.DeleteFromCache(e));
    EXPECT_FALSE(Exists(e));
    EXPECT_TRUE(m.HideItem(f, 0));
    EXPECT_EQ(FileSize(f), 10);
    EXPECT_TRUE(m.UpdateItem(g, PRUNE_TRUNCATE));
    for (const std::string& item : {e, f, g})
        EXPECT_FALSE(Exists(RecordOf(item))) << item;
    EXPECT_EQ(SizeText(), "170");
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
    const std::string paths[] = {"items/a", ModuleRoot() + "/size", dir() + "/CM/3/lockfile",
                                 ModuleRoot() + "/x/../../7/./latest", Item("../CM/7/size"), b};
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        log().Clear();
        errno = 0;
        EXPECT_FALSE(m.UpdateItem(path, 5, Key(3)));
        EXPECT_EQ(errno, EINVAL);
        EXPECT_FALSE(m.UpdateItem(path, PRUNE_TRUNCATE) || m.DeleteFromCache(path) || m.HideItem(path, 0));
        EXPECT_EQ(log().CountLevel(-1), 4) << log().Dump();
    }
    EXPECT_TRUE(SizeText() == "10" && LinkText(dir() + "/CM/3/size") == "20");
    EXPECT_TRUE(IsLink(EntryOf(b)) && FileSize(b) == 20);
    EXPECT_TRUE(Exists(dir() + "/CM/3/lockfile") && Exists(ModuleRoot() + "/latest"));

    // A record whose text names no index entry at all leaves the item free
    // to be filed afresh; what the text names is not touched.
    MakeLink(dir() + "/elsewhere", RecordOf(Item("c")));
    MakeLink("1:1:" + Item("c"), dir() + "/elsewhere");
    WriteFile(Item("c"), 5);
    EXPECT_TRUE(m.UpdateItem(Item("c"), 5, Key(4))) << log().Dump();
    EXPECT_TRUE(IsLink(dir() + "/elsewhere"));
    EXPECT_EQ(SizeText(), "15");
}

// --- Statistics ---------------------------------------------------------------

// The counts a host reads, scans aside: what each operation's steps add, in
// both prune modes; a reset, or a second initialisation, starts them again.
// The table of them in the log.
TEST_F(Items, MeasuredOperationsRaiseTheirCountsAndPrintStatsWritesTheTable)
{
    const auto counts = [](CacheManagerImpl& manager) {
        CacheStatistics stats;
        EXPECT_TRUE(manager.GetStatistics(stats));
        EXPECT_EQ(stats.microseconds[CacheStatistics::STAT_INSERT], manager.m_insertTime);
        stats.count[CacheStatistics::STAT_GET_MIN_OR_MAX] = 0;
        return std::vector<uint64_t>(stats.count, stats.count + CacheStatistics::STAT_KINDS);
    };
    CacheManagerImpl& m = Manager();
    const std::string a = Item("a");
    WriteFile(a, 10);
    ASSERT_TRUE(m.UpdateItem(a, 10, Key(1)));
    const std::string b = Add(m, "b", 10, Key(2));
    UseCapacity(20);
    ASSERT_TRUE(m.CreateSpace("x", 5));
    EXPECT_FALSE(Exists(a));
    // scans, inserts, loops, records read, entries out, steps, files pruned, advances
    EXPECT_EQ(counts(m), (std::vector<uint64_t>{0, 2, 4, 2, 1, 1, 1, 1}));
    m.ResetStatistics();
    CacheStatistics stats;
    ASSERT_TRUE(m.GetStatistics(stats));
    for (int kind = 0; kind < CacheStatistics::STAT_KINDS; ++kind)
        EXPECT_EQ(stats.count[kind] + stats.microseconds[kind], 0u) << kind;
    // The table of them, one line per kind at the notice level, per-call figures included.
    m.m_insertCount = 3;
    m.m_insertTime = 10;
    log().Clear();
    m.PrintStats();
    const std::vector<LogLine> lines = log().Lines();
    ASSERT_EQ(lines.size(), 9u) << log().Dump();
    EXPECT_EQ(lines[0].level, 1);
    EXPECT_EQ(lines[1].text, "GetMinORMax\t0\t\t\t0\t0");
    EXPECT_EQ(lines[2].text, "Insert\t\t3\t\t\t10\t3");
    log().SetLevel(0);
    log().Clear();
    m.PrintStats();
    EXPECT_TRUE(log().Lines().empty());

    // Set mode: a directory prune counts as one step.
    CacheArgs args = Args();
    args.moduleId = 8;
    args.pruneMode = CM_PRUNE_SET;
    CacheManagerImpl& sets = Manager(args);
    Add(sets, "c", 10, Key(1));
    ASSERT_TRUE(sets.CreateSpace("x", 5));
    EXPECT_FALSE(Exists(Item("c")));
    EXPECT_EQ(counts(sets), (std::vector<uint64_t>{0, 1, 2, 1, 1, 1, 1, 1}));

    // Through the facade, detached (nothing to reset) and attached.
    Facade facade;
    facade.ResetStatistics();
    ASSERT_TRUE(facade.InitCacheManager(Args()));
    ASSERT_TRUE(facade.UpdateItem(b, 10, Key(3)));
    facade.ResetStatistics();
    ASSERT_TRUE(facade.GetStatistics(stats));
    EXPECT_EQ(stats.count[CacheStatistics::STAT_GET_POS], 0u);
    ASSERT_TRUE(facade.UpdateItem(b, 10, Key(4)));
    ASSERT_TRUE(facade.m_impl->InitCacheManager(Args()));
    EXPECT_EQ(facade.m_impl->m_getPosCount, 0u);
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
    std::string then;
    const std::string items = dir() + "/items";
    size.freeBytesFn = [&]() {
        if (then.empty())
            then = std::string(Exists(oldEntry) ? "old " : "") + (Exists(newEntry) ? "new " : "") + EntryOf(a);
        return 850 - BytesUnder(items);
    };

    // The host announces the growth before it writes: 250 bytes free, 300 needed.
    ASSERT_TRUE(m.UpdateItem(a, false, 300, Key(4))) << log().Dump();
    WriteFile(a, 300);

    // The record was read and the old entry removed, with the directories it
    // emptied, before room was made; the record still named it then.
    EXPECT_EQ(then, oldEntry);
    EXPECT_FALSE(Exists(T() + "/0/0/0/3"));
    // Room: the oldest item went, and the oldest link moved on to b.
    EXPECT_FALSE(Exists(o));
    EXPECT_EQ(OldestText(), EntryOf(b));
    // The new entry at the young end, the record pointing to it, the size.
    EXPECT_EQ(LinkText(newEntry), "300:1:" + a);
    EXPECT_EQ(EntryOf(a), newEntry);
    EXPECT_EQ(SizeText(), "500");
}

class Policies : public Numbered {
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

// The cap and the age limit prune oldest first down to the floor, on the
// host's path and in slices of maintenance, and are counted by reason. A
// slice keeps within its budget of items and of time, and frees the lock.
TEST_F(Policies, CapAgeLimitAndSlicesPruneOldestFirstDownToTheFloorAndAreCountedByReason)
{
    struct Row {
        const char* name;
        char run;  // 'c': CreateSpace(request), 'e': PruneExpired, 's': PruneSlice(maxItems, maxMicroseconds)
        uint64_t cap, age, capacity, floor, request;
        uint32_t maxItems, maxMicroseconds;
        bool result;
        const char* left;  // the items still there afterwards
        uint64_t reserve, capped, aged, refused;  // items counted by reason
        bool more, atFloor;  // as a slice reports
    };
    // Five items of 100 bytes, i1 filed 500 seconds ago ... i5 100 seconds ago.
    // A slice keeps the cap 150 bytes ahead, and counts as the maintainer's.
    const Row rows[] = {
        {"cap", 'c', 350, 0, 0, 0, 100, 0, 0, true, "45", 0, 3, 0, 0, false, false},
        {"cap down to the floor", 'c', 350, 0, 0, 450, 100, 0, 0, true, "2345", 0, 1, 0, 0, false, false},
        {"request beyond the cap", 'c', 350, 0, 0, 0, 351, 0, 0, false, "12345", 0, 0, 0, 1, false, false},
        {"age limit", 'c', 0, 250, 0, 0, 100, 0, 0, true, "45", 0, 0, 3, 0, false, false},
        {"age limit, swept", 'e', 0, 250, 0, 0, 0, 0, 0, true, "45", 0, 0, 3, 0, false, false},
        {"age limit down to the floor", 'c', 0, 250, 0, 350, 100, 0, 0, true, "345", 0, 0, 2, 0, false, false},
        {"age limit, then the reserve", 'c', 0, 350, 600, 0, 300, 0, 0, true, "45", 1, 0, 2, 0, false, false},
        {"cap, then the reserve", 'c', 450, 0, 400, 0, 100, 0, 0, true, "45", 1, 2, 0, 0, false, false},
        {"slice within the item budget", 's', 500, 0, 0, 0, 0, 1, 1000000, true, "2345", 0, 0, 0, 0, true, false},
        {"slice, the item budget suffices", 's', 500, 0, 0, 0, 0, 16, 1000000, true, "345", 0, 0, 0, 0, false, false},
        {"slice within the time budget", 's', 500, 0, 0, 0, 0, 16, 1, true, "2345", 0, 0, 0, 0, true, false},
        {"slice down to the floor", 's', 500, 0, 0, 450, 0, 16, 1000000, true, "2345", 0, 0, 0, 0, false, true},
        {"slice, targets met", 's', 900, 0, 0, 0, 0, 16, 1000000, true, "12345", 0, 0, 0, 0, false, false},
        {"slice, age limit", 's', 0, 250, 0, 0, 0, 16, 1000000, true, "45", 0, 0, 0, 0, false, false},
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
        SliceReport report;
        const SliceTarget target{0, 0, 150, row.maxItems, row.maxMicroseconds};
        const bool result = row.run == 'c' ? m.CreateSpace("x", row.request)
                                           : row.run == 'e' ? m.PruneExpired() : m.PruneSlice(target, report);
        EXPECT_EQ(result, row.result) << log().Dump();
        const std::string left = Left(prefix, 5);
        const uint64_t pruned = 5 - left.size();
        EXPECT_EQ(left, row.left);
        EXPECT_EQ(LinkText(m.m_sizeLink), std::to_string(100 * left.size()));
        const layout::ModuleStatistics stats = Published(m.m_moduleRoot);
        EXPECT_EQ(stats.values[layout::ModuleStatistics::RESERVE_ITEMS], row.reserve);
        EXPECT_EQ(stats.values[layout::ModuleStatistics::CAP_ITEMS], row.capped);
        EXPECT_EQ(stats.values[layout::ModuleStatistics::AGE_ITEMS], row.aged);
        EXPECT_EQ(stats.values[layout::ModuleStatistics::REFUSED], row.refused);
        EXPECT_EQ(stats.values[layout::ModuleStatistics::MAINTAINER_ITEMS], row.run == 's' ? pruned : 0);
        EXPECT_EQ(stats.values[layout::ModuleStatistics::PRUNED_BYTES], 100 * pruned);
        if (pruned > 0) {
            // The last pruned was filed 100 seconds after the one before it.
            const uint64_t lastAge = stats.values[layout::ModuleStatistics::LAST_PRUNED_AGE_SECONDS];
            EXPECT_NEAR(static_cast<double>(lastAge), 100.0 * (6 - (left[0] - '0' - 1)), 2.0);
        }
        EXPECT_EQ(report.itemsPruned, row.run == 's' ? pruned : 0);
        EXPECT_EQ(report.bytesPruned, row.run == 's' ? 100 * pruned : 0);
        EXPECT_EQ(report.moreNeeded, row.more);
        EXPECT_EQ(report.atFloor, row.atFloor);
        const int fd = open(m.m_lockFile.c_str(), O_WRONLY);
        EXPECT_EQ(RunInChild([fd] { return lockf(fd, F_TEST, 0) == 0 ? 0 : 1; }), 0) << "the cache lock is still held";
        close(fd);
    }
    // A figure a slice cannot have fails it.
    size.failFreeInodes = true;
    SliceReport report;
    log().Clear();
    EXPECT_FALSE(Manager().PruneSlice(SliceTarget(), report));
    EXPECT_TRUE(log().Has("Failed to get free inodes in cache.", -1)) << log().Dump();
    size.failFreeInodes = false;
}

// Every process of a module adds to one account, whatever the others did.
TEST_F(Policies, ProcessesShareOneAccountAndSeeEachOthersSettings)
{
    CacheArgs args = Args();
    args.shareModuleState = true;
    args.maxModuleBytes = 250;
    CacheManagerImpl& m = Manager(args);
    for (int i = 1; i <= 4; ++i)
        Add(m, "i" + std::to_string(i), 100, Key(i));
    ASSERT_EQ(RunInChild([&] {
                  CacheManagerImpl other;
                  return other.InitCacheManager(args) && other.CreateSpace("x", 100) ? 0 : 1;
              }),
              0);
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
}

}  // namespace
