// The policies beyond the free-space reserve: a cap on the module's total and
// an age limit, alone and with the reserve, each pruning oldest first down to
// the module floor; and what the module publishes of them: its settings and
// what pruning did, for every process.
#include "tests/PruneSupport.h"

#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "cachemanager/timetable/Layout.h"

namespace {

namespace layout = cm::layout;
using test::Exists;
using test::Key;
using test::LinkText;

class Policies : public test::PruneTest {
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
        test::RemoveTree(dir() + "/items/" + std::to_string(args.moduleId - 1));

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
    };
    int module = 60;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CacheArgs args = Args();
        args.moduleId = module++;
        args.maxModuleBytes = row.cap;
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
        EXPECT_EQ(test::RunInChild([&] {
                      const int fd = open(lockFile.c_str(), O_WRONLY);
                      return fd >= 0 && lockf(fd, F_TEST, 0) == 0 ? 0 : 1;
                  }),
                  0)
            << "the cache lock is still held";
    }
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
    const int status = test::RunInChild([&] {
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
    EXPECT_EQ(test::ListDir(dir() + "/CM/8"), (std::vector<std::string>{"T", "latest", "lockfile", "size"}));
}

}  // namespace
