// The item operations that the host calls, through the facade and on the
// manager, and the statistics table that they feed.
#include "tests/PruneSupport.h"

#include <unistd.h>

namespace {

using test::Exists;
using test::FileSize;
using test::Key;
using test::LinkText;
using test::WriteFile;

// A facade that frees its manager, which the library never does.
struct Facade : CacheManager {
    ~Facade() { delete m_impl; }
};

class Items : public test::PruneTest {};

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

TEST_F(Items, PruneMethodChangesInPlaceUntilTheNextSizedUpdate)
{
    Facade cm;
    ASSERT_TRUE(cm.InitCacheManager(Args()));
    const std::string a = Item("a"), none = Item("none");
    WriteFile(a, 20);
    ASSERT_TRUE(cm.UpdateItem(a, 20, Key(1)));
    const std::string entry = EntryOf(a);
    ASSERT_TRUE(cm.UpdateItem(a, PRUNE_UNLINK_RECURSE));
    EXPECT_EQ(EntryOf(a), entry);
    EXPECT_EQ(LinkText(entry), "20:2:" + a);
    EXPECT_EQ(SizeText(), "20");
    ASSERT_TRUE(cm.UpdateItem(a, 20, Key(2)));
    EXPECT_EQ(LinkText(EntryOf(a)), "20:1:" + a);

    // Items that are not in the cache: nothing to change.
    EXPECT_TRUE(cm.UpdateItem(none, PRUNE_TRUNCATE));
    EXPECT_TRUE(cm.HideItem(none, 0));
    EXPECT_FALSE(Exists(RecordOf(none)));
    EXPECT_EQ(Entries().size(), 1u);
}

TEST_F(Items, HideAndUnHide)
{
    Facade cm;
    ASSERT_TRUE(cm.InitCacheManager(Args()));
    const std::string a = Item("a"), b = Item("b");
    WriteFile(a, 70);
    WriteFile(b, 30);
    ASSERT_TRUE(cm.UpdateItem(a, 70, Key(1)));
    ASSERT_TRUE(cm.UpdateItem(b, 30, Key(2)));

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
                                 ModuleRoot() + "/x/../../7/./latest", b};
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
        EXPECT_TRUE(test::IsLink(EntryOf(b)) && FileSize(b) == 20);
        EXPECT_TRUE(Exists(dir() + "/CM/3/lockfile") && Exists(ModuleRoot() + "/latest"));
    }
    // A record whose text names no index entry at all leaves the item free
    // to be filed afresh; what the text names is not touched.
    test::MakeLink(dir() + "/elsewhere", RecordOf(Item("c")));
    test::MakeLink("1:1:" + Item("c"), dir() + "/elsewhere");
    WriteFile(Item("c"), 5);
    EXPECT_TRUE(m.UpdateItem(Item("c"), 5, Key(4))) << log().Dump();
    EXPECT_TRUE(test::IsLink(dir() + "/elsewhere"));
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

const char* const kStatFormats[] = {
    "Name\t\tCount\t\t\tTotal Time\tPer Transaction\n",
    "GetMinORMax\t%lu\t\t\t%lu\t%lu",
    "Insert\t\t%lu\t\t\t%lu\t%lu",
    "Delete\t\t%lu\t\t\t%lu\t%lu",
    "GetPos\t\t%lu\t\t\t%lu\t%lu",
    "RemoveAtPos\t\t%lu\t\t\t%lu\t%lu",
    "PruneOneItem\t\t%lu\t\t\t%lu\t%lu",
    "PruneItem\t\t%lu\t\t\t%lu\t%lu",
    "SetNextOldest\t\t%lu\t\t\t%lu\t%lu",
};

// A statistics line as printed: the format with each "%lu" replaced in turn.
std::string StatLine(std::string format, std::vector<uint64_t> values)
{
    for (uint64_t value : values)
        format.replace(format.find("%lu"), 3, std::to_string(value));
    return format;
}

TEST_F(Items, PrintStatsWritesTheTable)
{
    CacheManagerImpl& m = Manager();
    log().Clear();
    m.PrintStats();
    std::vector<test::LogLine> lines = log().Lines();
    ASSERT_EQ(lines.size(), 9u) << log().Dump();
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].level, 1);
        EXPECT_EQ(lines[i].format, kStatFormats[i]);
        EXPECT_EQ(lines[i].text, i == 0 ? kStatFormats[0] : StatLine(kStatFormats[i], {0, 0, 0}));
    }

    m.m_insertCount = 3;
    m.m_insertTime = 10;
    m.m_pruneItemCount = 4;
    m.m_pruneItemTime = 9;
    log().Clear();
    m.PrintStats();
    lines = log().Lines();
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[2].text, "Insert\t\t3\t\t\t10\t3");
    EXPECT_EQ(lines[7].text, "PruneItem\t\t4\t\t\t9\t2");

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

}  // namespace
