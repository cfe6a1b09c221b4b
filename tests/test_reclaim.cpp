// Making room: the byte and inode loops behind CreateSpace, driven by a size
// provider that follows the items on disk, so that each prune really frees.
#include "tests/PruneSupport.h"

#include <unistd.h>

namespace {

using test::Exists;
using test::Key;

class Reclaim : public test::PruneTest {};

TEST_F(Reclaim, PrunesOnlyWhileFreeBytesDoNotExceedTheNeed)
{
    CacheManagerImpl& m = Manager();
    const std::string a = Add(m, "a", 100, Key(1));
    const std::string b = Add(m, "b", 100, Key(2));
    UseCapacity(1000);  // 800 free
    log().Clear();
    EXPECT_TRUE(m.CreateSpace("x", 799));
    EXPECT_TRUE(Exists(a));
    EXPECT_EQ(log().Count("cursize"), 0) << "the size link was written";
    EXPECT_GT(size.freeInodeQueries.load(), 0);

    // Free exactly equal to the need is not enough.
    EXPECT_TRUE(m.CreateSpace("x", 800));
    EXPECT_FALSE(Exists(a));
    EXPECT_TRUE(Exists(b));
    EXPECT_EQ(SizeText(), "100");
}

TEST_F(Reclaim, ThreePassesWriteTheSizeOnce)
{
    CacheManagerImpl& m = Manager();
    const std::string a = Add(m, "a", 100, Key(1));
    const std::string b = Add(m, "b", 50, Key(2));
    const std::string c = Add(m, "c", 25, Key(3));
    const std::string d = Add(m, "d", 1000, Key(4));
    UseCapacity(2000);  // 825 free; 975 after two passes, 1000 after three
    log().Clear();
    EXPECT_TRUE(m.CreateSpace("x", 980)) << log().Dump();
    EXPECT_FALSE(Exists(a) || Exists(b) || Exists(c));
    EXPECT_TRUE(Exists(d));
    EXPECT_EQ(SizeText(), "1000");
    EXPECT_EQ(log().Count("cursize"), 1);
    EXPECT_TRUE(log().Has("cursize [1175] sizein [-175] newsize [1000].", 4));
}

TEST_F(Reclaim, ModuleFloorStopsPruning)
{
    CacheArgs args = Args();
    args.moduleOverFlow = 150;
    CacheManagerImpl& m = Manager(args);
    const std::string a = Add(m, "a", 100, Key(1));
    const std::string b = Add(m, "b", 100, Key(2));
    const std::string c = Add(m, "c", 100, Key(3));
    UseCapacity(300);
    EXPECT_TRUE(m.CreateSpace("x", 250));
    EXPECT_FALSE(Exists(a) || Exists(b));
    EXPECT_TRUE(Exists(c));
    EXPECT_TRUE(log().Has("ModuleSize [100] < moduleOverFlow [150]. Will not prune anymore.", 1));
    EXPECT_EQ(SizeText(), "100");
}

TEST_F(Reclaim, RunningModuleSizeStopsAtZero)
{
    CacheArgs args = Args();
    args.moduleOverFlow = 1;
    CacheManagerImpl& m = Manager(args);
    const std::string a = Add(m, "a", 100, Key(1));
    const std::string b = Add(m, "b", 100, Key(2));
    // The total undercounts: after the first pass a wrapped running size
    // would lift the floor and let the loop prune b as well.
    ASSERT_TRUE(m.SetModuleSize(50));
    size.freeBytes = 0;
    EXPECT_TRUE(m.CreateSpace("x", 10));
    EXPECT_FALSE(Exists(a));
    EXPECT_TRUE(Exists(b));
    EXPECT_TRUE(log().Has("ModuleSize [0] < moduleOverFlow [1]. Will not prune anymore.", 1));
    EXPECT_EQ(SizeText(), "0");
}

TEST_F(Reclaim, EmptyIndexWhileShortFails)
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
    size.freeInodesFn = [items]() { return 10 - test::FilesUnder(items); };
    m.m_minFreeInodes = 8;
    EXPECT_TRUE(m.CreateSpace("x", 1));
    EXPECT_TRUE(log().Has("freeInodes [7] <= spaceneeded [8]. Need to prune more.", 4));
    EXPECT_FALSE(Exists(a) || Exists(b));
    EXPECT_TRUE(Exists(c));
    EXPECT_EQ(SizeText(), "10");
}

TEST_F(Reclaim, SizeProviderFailureFails)
{
    CacheManagerImpl& m = Manager();
    const std::string a = Add(m, "a", 10, Key(1));
    size.failFreeSpace = true;
    EXPECT_FALSE(m.CreateSpace("x", 1));
    EXPECT_TRUE(log().Has("Failed to get free space in cache.", -1));
    EXPECT_EQ(size.freeInodeQueries.load(), 0);
    EXPECT_TRUE(Exists(a));
}

}  // namespace
