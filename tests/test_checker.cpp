// The index checker and its repair, on modules made by the library and then
// damaged with raw calls.
#include "tests/TestSupport.h"

#include <unistd.h>

#include "cachemanager/timetable/Layout.h"
#include "tools/checker/IndexChecker.h"

namespace {

namespace check = cm::check;
namespace layout = cm::layout;

// Keys one second apart from a fixed start: distinct entry directories.
uint64_t Key(int second) { return (1700000000ull + static_cast<uint64_t>(second)) << 8; }

class Checker : public test::CacheTest {
protected:
    check::CheckOptions Options(int pruneMode = CM_PRUNE_ITEM)
    {
        check::CheckOptions options;
        options.moduleRoot = ModuleRoot();
        options.itemDirs.push_back(dir() + "/items");
        options.pruneMode = pruneMode;
        return options;
    }

    check::CheckReport Check(int pruneMode = CM_PRUNE_ITEM, check::CheckOptions options = check::CheckOptions())
    {
        if (options.moduleRoot.empty())
            options = Options(pruneMode);
        check::CheckReport report;
        std::string error;
        EXPECT_TRUE(check::CheckIndex(options, report, error)) << error;
        return report;
    }

    check::RepairReport Repair(CacheManagerImpl& manager, bool dryRun, int pruneMode = CM_PRUNE_ITEM)
    {
        check::RepairReport report;
        std::string error;
        EXPECT_TRUE(check::RepairIndex(manager, Options(pruneMode), dryRun, report, error)) << error;
        return report;
    }

    std::string Add(CacheManagerImpl& manager, const std::string& name, size_t bytes, uint64_t key)
    {
        const std::string item = Item(name);
        test::WriteFile(item, bytes);
        EXPECT_TRUE(manager.UpdateItem(item, bytes, key)) << log().Dump();
        return item;
    }

    std::string EntryOf(const std::string& item) { return test::LinkText(RecordOf(item)); }

    // The size provider reports no room for the first `full` queries.
    void FullFor(int full)
    {
        size.freeBytesFn = [this, full] { return size.freeSpaceQueries > full ? 1000000u : 0u; };
    }
};

TEST_F(Checker, OldestLinkStaleOrAtTheWrongDepthInEitherMode)
{
    CacheArgs args = Args();
    args.pruneMode = CM_PRUNE_SET;
    CacheManagerImpl& manager = Manager(args);
    const std::string a = Add(manager, "a.bin", 10, Key(1));
    Add(manager, "b.bin", 20, Key(1));
    const std::string c = Add(manager, "c.bin", 30, Key(2));
    const std::string d = Add(manager, "d.bin", 40, Key(3));
    FullFor(size.freeSpaceQueries + 1);
    ASSERT_TRUE(manager.CreateSpace(a, 1)) << log().Dump();  // a and b, one directory
    const std::string oldest = ModuleRoot() + "/oldest";
    ASSERT_EQ(test::LinkText(oldest), test::ParentOf(EntryOf(c)));

    EXPECT_TRUE(Check(CM_PRUNE_SET).Clean()) << Check(CM_PRUNE_SET).Format();
    EXPECT_TRUE(Check(-1).Clean());
    EXPECT_EQ(Check(CM_PRUNE_ITEM).findings[check::OLDEST_WRONG_DEPTH].count, 1u);
    const std::pair<std::string, check::FindingKind> rows[] = {{EntryOf(d), check::OLDEST_WRONG_DEPTH},
                                                               {test::ParentOf(EntryOf(d)), check::OLDEST_NOT_OLDEST},
                                                               {T() + "/1/2/3/4/5", check::OLDEST_STALE}};
    for (const auto& row : rows) {
        test::MakeLink(row.first, oldest);
        EXPECT_EQ(Check(CM_PRUNE_SET).findings[row.second].count, 1u) << row.first;
    }
    const check::CheckReport stale = Check(CM_PRUNE_SET);
    EXPECT_TRUE(stale.Clean()) << stale.Format();  // a state the library mends itself
    EXPECT_EQ(stale.Notes(), 1u);
    EXPECT_NE(stale.Format().find("\n  note: oldest-stale: 1 "), std::string::npos) << stale.Format();

    const check::RepairReport repair = Repair(manager, false, CM_PRUNE_SET);
    ASSERT_EQ(repair.actions.size(), 1u);
    EXPECT_NE(repair.actions[0].find("drop the oldest link"), std::string::npos);
    EXPECT_TRUE(repair.after.Clean());
    FullFor(size.freeSpaceQueries + 1);
    EXPECT_TRUE(manager.CreateSpace(d, 1)) << log().Dump();
    EXPECT_FALSE(test::Exists(c));
    EXPECT_TRUE(Check(CM_PRUNE_SET).Clean());
}

TEST_F(Checker, RepairLeavesWhatNeedsAPersonAndSaysSo)
{
    CacheManagerImpl& manager = Manager();
    const std::string a = Add(manager, "a.bin", 10, Key(1));
    test::WriteFile(T() + "/stray/data.bin", 5);  // a directory that holds something
    ASSERT_EQ(unlink(RecordOf(a).c_str()), 0);
    test::WriteFile(RecordOf(a), 1);  // a plain file where a's record belongs

    check::RepairReport repair = Repair(manager, false);
    EXPECT_TRUE(repair.actions.empty());
    ASSERT_EQ(repair.leftAlone.size(), 2u);
    EXPECT_NE(repair.leftAlone[0].find(T() + "/stray"), std::string::npos) << repair.leftAlone[0];
    EXPECT_NE(repair.leftAlone[1].find("is not a link"), std::string::npos) << repair.leftAlone[1];
    EXPECT_EQ(repair.after.Total(), 2u) << repair.after.Format();
    EXPECT_TRUE(test::Exists(T() + "/stray/data.bin"));

    CacheManagerImpl never;
    std::string error;
    EXPECT_FALSE(check::RepairIndex(never, Options(), false, repair, error));
    EXPECT_EQ(error, "the cache manager is not initialised");
    check::CheckOptions missing;
    missing.moduleRoot = dir() + "/CM/9";
    EXPECT_FALSE(check::CheckIndex(missing, repair.after, error));
    EXPECT_NE(error.find("no module at"), std::string::npos) << error;
}

TEST_F(Checker, ALargeIndexReportsProgressAndCountsBeyondItsExamples)
{
    Manager();
    const std::string entryDir = layout::EntryDir(T(), Key(1));
    for (uint32_t i = 1; i <= 1500; ++i)
        test::MakeLink(layout::EntryTarget(0, 1, Item("gone" + std::to_string(i))), layout::EntryPath(entryDir, i));
    check::CheckOptions options = Options();
    options.maxExamples = 3;
    std::vector<uint64_t> calls;
    options.progress = [&calls](uint64_t names) { calls.push_back(names); };
    const check::CheckReport report = Check(CM_PRUNE_ITEM, options);
    EXPECT_EQ(report.entries.size(), 1500u);
    EXPECT_EQ(report.entries[9].number, 10u);  // numeric order, not text order
    EXPECT_EQ(report.findings[check::ENTRY_NO_RECORD].count, 1500u);
    EXPECT_EQ(report.findings[check::ENTRY_NO_RECORD].examples.size(), 3u);
    EXPECT_NE(report.Format().find("... and 1497 more"), std::string::npos) << report.Format();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls[0], 1024u);
}

}  // namespace
