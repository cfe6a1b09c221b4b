// Whole updates: one update of an item already in the cache, step by step on
// disk, and a cache on a small real file system filled until it prunes.
#include "tests/PruneSupport.h"

#include <memory>
#include <sys/statvfs.h>

namespace {

using test::Exists;
using test::FileSize;
using test::Key;
using test::LinkText;
using test::WriteFile;

class Scenario : public test::PruneTest {};

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
        return 850 - test::BytesUnder(items);
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
    const std::vector<test::LogLine> lines = log().Lines();
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

class EndToEnd : public test::PruneTest {
protected:
    void Run(int pruneMode, int itemsPerKey)
    {
        const std::string mnt = dir() + "/mnt";
        test::TmpfsMount fs(mnt, "size=4m,nr_inodes=400");
        ASSERT_TRUE(fs.ok());
        CacheArgs args = Args();
        args.cacheDir = mnt;
        args.cacheSize = nullptr;
        args.bytesMinFree = 25;
        args.inodesMinFree = 10;
        args.pruneMode = pruneMode;
        CacheManagerImpl& m = Manager(args);
        std::unique_ptr<CacheSize> provider(m.m_cacheSize);  // the library never frees it
        ASSERT_EQ(m.m_minFreeSpace, 4194304u / 100 * 25);
        FillUntilPruned(m, mnt, itemsPerKey);
        m.m_cacheSize = nullptr;
    }

    // Items of one size are added to a 4 MiB tmpfs with the library's own size
    // provider, a quarter of the bytes and a tenth of the inodes kept free, every
    // third item by each prune method, until pruning has set in; then one item is
    // grown to a size that forces more pruning.
    void FillUntilPruned(CacheManagerImpl& m, const std::string& mnt, int itemsPerKey)
    {
        const PruneMethod methods[] = {PRUNE_TRUNCATE, PRUNE_UNLINK, PRUNE_UNLINK_RECURSE};
        const size_t itemBytes = 96 * 1024;
        std::vector<std::string> order;  // by last update
        std::vector<PruneMethod> method;
        const int count = 40;
        for (int i = 0; i < count; ++i) {
            const PruneMethod pm = methods[i % 3];
            const std::string name = std::to_string(i);
            const std::string item =
                mnt + "/items/" + (pm == PRUNE_UNLINK_RECURSE ? "r" + name + "/deep/f" : "f" + name);
            WriteFile(item, itemBytes);
            ASSERT_TRUE(m.UpdateItem(item, itemBytes, Key(1 + i / itemsPerKey)));
            ASSERT_TRUE(m.UpdateItem(item, pm));
            order.push_back(item);
            method.push_back(pm);
        }
        // Grow the oldest item still in the cache: it moves to the young end.
        size_t grown = 0;
        while (grown < order.size() && !Exists(RecordOf(order[grown])))
            ++grown;
        ASSERT_LT(grown, order.size());
        ASSERT_GT(grown, 0u) << "nothing was pruned while filling";
        ASSERT_TRUE(m.UpdateItem(order[grown], 512 * 1024, Key(1 + count)));
        WriteFile(order[grown], 512 * 1024);
        order.push_back(order[grown]);
        method.push_back(m.m_pruneMethod);
        order.erase(order.begin() + static_cast<long>(grown));
        method.erase(method.begin() + static_cast<long>(grown));

        // Pruned items form the oldest part of the order, each pruned by its method.
        uint64_t sum = 0;
        size_t inCache = 0;
        int prunedBy[3] = {0, 0, 0};
        for (size_t i = 0; i < order.size(); ++i) {
            const std::string& item = order[i];
            const bool cached = Exists(RecordOf(item));
            if (cached) {
                ++inCache;
                sum += static_cast<uint64_t>(FileSize(item));
                EXPECT_GT(FileSize(item), 0) << item;
                continue;
            }
            EXPECT_EQ(inCache, 0u) << item << " was pruned after a younger item";
            ++prunedBy[method[i]];
            if (method[i] == PRUNE_TRUNCATE)
                EXPECT_EQ(FileSize(item), 0) << item;
            else if (method[i] == PRUNE_UNLINK)
                EXPECT_FALSE(Exists(item)) << item;
            else
                EXPECT_FALSE(Exists(test::ParentOf(test::ParentOf(item)))) << item;
        }
        EXPECT_GT(order.size() - inCache, grown) << "growing the item pruned nothing";
        EXPECT_TRUE(prunedBy[0] > 0 && prunedBy[1] > 0 && prunedBy[2] > 0);
        EXPECT_EQ(test::LinksUnder(m.m_timeTableDir).size(), inCache);
        EXPECT_EQ(LinkText(m.m_sizeLink), std::to_string(sum));

        // The reserves hold.
        struct statvfs fs;
        ASSERT_EQ(statvfs(mnt.c_str(), &fs), 0);
        EXPECT_GT(static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize, m.m_minFreeSpace);
        EXPECT_GT(static_cast<uint64_t>(fs.f_ffree), m.m_minFreeInodes);
    }
};

TEST_F(EndToEnd, ItemModeOnTmpfs)
{
    SKIP_UNLESS_ROOT();
    Run(CM_PRUNE_ITEM, 1);
}

TEST_F(EndToEnd, SetModeOnTmpfs)
{
    SKIP_UNLESS_ROOT();
    Run(CM_PRUNE_SET, 2);
}

}  // namespace
