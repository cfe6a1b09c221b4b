// Moving the oldest link on after an item-wise prune without scanning the
// entry directory: the successor numbered one above the removed entry is
// probed first, and the scan runs only when that does not settle it.
#include "tests/TestSupport.h"

#include <cerrno>

namespace {

using test::Exists;
using test::LinkText;
using test::MakeLink;

// 1700000000.3 s as a time key: T/101/83/241/0/3.
const uint64_t kKey3 = (1700000000ULL << 8) | 3;

class AdvanceProbe : public test::CacheTest {
protected:
    std::string Dir3() const { return T() + "/101/83/241/0/3"; }
    std::string OldestLink() const { return ModuleRoot() + "/oldest"; }
    std::string Name(int i) const { return std::string(1, static_cast<char>('a' + i)); }

    // Items a, b, c, ... filed under kKey3: entries 1, 2, 3, ... of Dir3().
    void AddItems(CacheManagerImpl& m, int count)
    {
        for (int i = 0; i < count; ++i) {
            test::WriteFile(Item(Name(i)), 100);
            ASSERT_TRUE(m.UpdateItem(Item(Name(i)), 100, kKey3)) << log().Dump();
        }
        ASSERT_EQ(LinkText(RecordOf(Item(Name(count - 1)))), Dir3() + "/" + std::to_string(count));
    }
};

TEST_F(AdvanceProbe, PruningADirectoryOneByOneScansItOnlyWhenTheLinkIsMissing)
{
    CacheManagerImpl& m = Manager();
    AddItems(m, 5);
    log().Clear();

    // The first prune has no oldest link: it walks from "T", and so does its
    // advance.
    uint64_t freed = 0;
    uint64_t scans = m.m_getMinOrMaxCount;
    ASSERT_TRUE(m.PruneOneItem(freed)) << log().Dump();
    EXPECT_EQ(freed, 100u);
    EXPECT_EQ(LinkText(OldestLink()), Dir3() + "/2");
    EXPECT_EQ(m.m_getMinOrMaxCount, scans + 7);  // six levels down from "T", then the entry directory
    scans = m.m_getMinOrMaxCount;

    // From then on every advance finds the next entry without a scan.
    for (int next = 3; next <= 5; ++next) {
        ASSERT_TRUE(m.PruneOneItem(freed)) << log().Dump();
        EXPECT_EQ(LinkText(OldestLink()), Dir3() + "/" + std::to_string(next));
        EXPECT_EQ(m.m_getMinOrMaxCount, scans) << "advance to " << next << " scanned";
        EXPECT_FALSE(Exists(Item(Name(next - 2))));
        EXPECT_FALSE(Exists(RecordOf(Item(Name(next - 2)))));
    }

    // The last one has no successor: the walk finds the cache empty, as ever.
    ASSERT_TRUE(m.PruneOneItem(freed)) << log().Dump();
    EXPECT_FALSE(Exists(OldestLink()));
    EXPECT_EQ(log().Count("Failed to find next oldest. Cache must be empty.", -1), 1) << log().Dump();
    EXPECT_FALSE(Exists(T() + "/101"));
    EXPECT_EQ(m.m_setNextOldestCount, 5u);
    EXPECT_EQ(log().CountLevel(-1), 1) << log().Dump();
}

TEST_F(AdvanceProbe, GapsAndBrokenPremisesTakeTheWalk)
{
    CacheManagerImpl& m = Manager();
    AddItems(m, 6);
    MakeLink(Dir3() + "/1", OldestLink());
    log().Clear();

    // Entries 2 and 3 went with their items: the walk finds 4.
    ASSERT_TRUE(m.DeleteFromCache(Item(Name(1))));
    ASSERT_TRUE(m.DeleteFromCache(Item(Name(2))));
    uint64_t freed = 0;
    uint64_t scans = m.m_getMinOrMaxCount;
    ASSERT_TRUE(m.PruneOneItem(freed)) << log().Dump();
    EXPECT_EQ(LinkText(OldestLink()), Dir3() + "/4");
    EXPECT_EQ(m.m_getMinOrMaxCount, scans + 1);
    scans = m.m_getMinOrMaxCount;
    ASSERT_TRUE(m.PruneOneItem(freed)) << log().Dump();
    EXPECT_EQ(LinkText(OldestLink()), Dir3() + "/5");
    EXPECT_EQ(m.m_getMinOrMaxCount, scans);

    // The entry named is still there: the walk finds it again and fails,
    // however its successor stands.
    ASSERT_TRUE(Exists(Dir3() + "/6"));
    EXPECT_FALSE(m.SetNextOldest(Dir3() + "/5"));
    EXPECT_EQ(log().Count("Failed to find next oldest", -1), 1) << log().Dump();
    EXPECT_EQ(LinkText(OldestLink()), Dir3() + "/5");

    // An advance from an entry that the oldest link does not name (here not
    // the smallest) is the walk's: 5, not the probe's 7.
    CacheItemInfo info;
    ASSERT_TRUE(m.RemoveItemAtPosition(Dir3() + "/6", info, true));
    MakeLink("7:1:" + Item("x"), Dir3() + "/7");
    ASSERT_TRUE(m.SetNextOldest(Dir3() + "/6")) << log().Dump();
    EXPECT_EQ(LinkText(OldestLink()), Dir3() + "/5");
    EXPECT_EQ(log().CountLevel(-1), 1) << log().Dump();
}

// A host's own key may fill an entry directory again after it was emptied
// and removed. Its entries start again at 1: an oldest link left naming
// entry 2 of the old directory would lead pruning past the new entry 1.
TEST_F(AdvanceProbe, ARefilledEntryDirectoryIsPrunedOldestFirst)
{
    CacheManagerImpl& m = Manager();
    AddItems(m, 3);
    uint64_t freed = 0;
    ASSERT_TRUE(m.PruneOneItem(freed));  // a; the link names entry 2
    ASSERT_TRUE(m.DeleteFromCache(Item("b")));
    ASSERT_TRUE(m.DeleteFromCache(Item("c")));
    ASSERT_FALSE(Exists(Dir3()));
    test::WriteFile(Item("x"), 100);
    ASSERT_TRUE(m.UpdateItem(Item("x"), 100, kKey3 + 1));  // the latest link leaves the directory
    AddItems(m, 3);
    ASSERT_TRUE(m.PruneOneItem(freed)) << log().Dump();
    EXPECT_FALSE(Exists(Item("a")));
    EXPECT_TRUE(Exists(Item("b")) && Exists(Item("c")) && Exists(Item("x")));
}

}  // namespace
