// The index checker and its repair, on modules made by the library and then
// damaged with raw calls.
#include "tests/TestSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include "cachemanager/timetable/Layout.h"
#include "tools/checker/IndexChecker.h"

namespace {

namespace check = cm::check;
namespace layout = cm::layout;

// Keys one second apart from a fixed start: distinct entry directories.
uint64_t Key(int second) { return (1700000000ull + static_cast<uint64_t>(second)) << 8; }

// Every path under top with its kind, link text and size.
std::string Snapshot(const std::string& top)
{
    std::string text;
    for (const std::string& name : test::ListDir(top)) {
        const std::string child = top + "/" + name;
        text += child + " " + test::LinkText(child) + " " + std::to_string(test::FileSize(child)) + "\n";
        if (test::IsDir(child) && !test::IsLink(child))
            text += Snapshot(child);
    }
    return text;
}

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

TEST_F(Checker, FindsEachKindOfDamageAndRepairMendsItAndTheCacheWorksAgain)
{
    CacheManagerImpl& manager = Manager();
    std::vector<std::string> items;  // a to f
    for (int i = 1; i <= 6; ++i)
        items.push_back(Add(manager, std::string(1, static_cast<char>('a' + i - 1)) + ".bin", 100u * i, Key(i)));
    const std::string &a = items[0], &b = items[1], &c = items[2], &d = items[3], &e = items[4], &f = items[5];
    const std::string entryDirA = test::ParentOf(EntryOf(a));
    const std::string level1 = T() + "/" + std::to_string(Key(1) >> 32);
    const std::string oldEntryD = EntryOf(d);

    // A link two levels down, a malformed entry, and junk of every sort.
    ASSERT_EQ(symlink("1:1:/nowhere", (level1 + "/77").c_str()), 0);
    ASSERT_EQ(symlink("garbage", (entryDirA + "/9").c_str()), 0);
    test::WriteFile(entryDirA + "/notes.txt", 3);
    ASSERT_EQ(mkdir((entryDirA + "/50").c_str(), 0777), 0);
    ASSERT_EQ(mkdir((T() + "/abc").c_str(), 0777), 0);
    test::WriteFile(level1 + "/12", 1);
    test::MakeDirs(T() + "/5/6/7");
    // b has lost its record (hidden after a killed update left its entry);
    // c its record and its file.
    ASSERT_EQ(unlink(RecordOf(b).c_str()), 0);
    ASSERT_EQ(unlink(RecordOf(c).c_str()), 0);
    ASSERT_EQ(unlink(c.c_str()), 0);
    // d has a second, newer entry; e's record names nothing.
    const std::string newEntryD = layout::EntryPath(layout::EntryDir(T(), Key(9)), 1);
    test::MakeLink(layout::EntryTarget(400, 1, d), newEntryD);
    test::MakeLink(dir() + "/nowhere/entry", RecordOf(e));
    // Records of items that no entry names: one names a missing entry (an
    // update killed between its old entry and its new one), one a directory
    // of the index.
    const std::string g = Item("g.bin");
    const std::string h = Item("h.bin");
    test::WriteFile(g, 7);
    test::WriteFile(h, 8);
    test::MakeLink(layout::EntryPath(layout::EntryDir(T(), Key(7)), 3), RecordOf(g));
    test::MakeLink(level1, RecordOf(h));
    // The oldest link names the newest of the original entries. Statistics
    // that are none; settings and leftovers of replacements that are fine.
    test::MakeLink(EntryOf(f), ModuleRoot() + "/oldest");
    test::MakeLink("garbage", layout::StatisticsLink(ModuleRoot()));
    test::MakeLink("pruneMode=1", layout::SettingsLink(ModuleRoot()));
    test::MakeLink("12", ModuleRoot() + "/size.tmp");

    const std::string before = Snapshot(dir());
    const check::CheckReport report = Check();
    const std::pair<check::FindingKind, uint64_t> counts[] = {
        {check::ENTRY_BAD_DEPTH, 1}, {check::ENTRY_MALFORMED, 1}, {check::ENTRY_NO_RECORD, 2},
        {check::ENTRY_RECORD_ELSEWHERE, 1}, {check::ENTRY_DUPLICATE, 1}, {check::RECORD_MISSING_ENTRY, 2},
        {check::RECORD_NOT_ENTRY, 1}, {check::SIZE_MISMATCH, 1}, {check::OLDEST_NOT_OLDEST, 1},
        {check::OLDEST_STALE, 0}, {check::EMPTY_DIR, 1}, {check::JUNK, 5}};
    for (const auto& count : counts)
        EXPECT_EQ(report.findings[count.first].count, count.second) << count.first << "\n" << report.Format();
    EXPECT_EQ(report.Total(), 17u);
    EXPECT_EQ(report.findings[check::ENTRY_DUPLICATE].examples.at(0).path, oldEntryD);
    EXPECT_EQ(report.findings[check::EMPTY_DIR].examples.at(0).path, T() + "/5/6/7");
    EXPECT_EQ(report.storedSize, 2100u);
    EXPECT_EQ(report.itemBytes, 1800u);  // c is gone; d counts once
    EXPECT_NE(report.Format().find("entry-duplicate: 1 older entries"), std::string::npos) << report.Format();

    const check::RepairReport dry = Repair(manager, true);
    EXPECT_EQ(Snapshot(dir()), before) << "a check or a dry run changed something";
    const check::RepairReport repair = Repair(manager, false);
    EXPECT_TRUE(repair.after.Clean()) << repair.after.Format();
    EXPECT_EQ(repair.actions, dry.actions) << "one pass mends it all, as the dry run said";
    EXPECT_TRUE(repair.failures.empty());
    EXPECT_TRUE(repair.leftAlone.empty());
    EXPECT_EQ(repair.before.Total(), 17u);
    EXPECT_TRUE(Check().Clean());
    EXPECT_FALSE(test::Exists(RecordOf(b)));  // orphan entries gone, b's file left alone
    EXPECT_EQ(test::FileSize(b), 200);
    EXPECT_FALSE(test::Exists(RecordOf(c)));
    EXPECT_EQ(EntryOf(d), newEntryD);  // the newer entry kept
    EXPECT_FALSE(test::Exists(oldEntryD));
    EXPECT_EQ(test::LinkText(EntryOf(e)), layout::EntryTarget(500, 1, e));  // re-pointed
    EXPECT_EQ(test::LinkText(EntryOf(g)), layout::EntryTarget(7, 1, g));    // filed afresh
    EXPECT_FALSE(test::Exists(RecordOf(h)));
    EXPECT_TRUE(test::Exists(g));  // the items themselves are the host's
    EXPECT_FALSE(test::Exists(ModuleRoot() + "/oldest"));
    EXPECT_FALSE(test::Exists(T() + "/5"));
    EXPECT_EQ(test::LinkText(ModuleRoot() + "/size"), "1607");

    // The cache works: every item operation, and pruning the two oldest.
    const std::string fresh = Add(manager, "fresh.bin", 50, 0);
    EXPECT_TRUE(manager.UpdateItem(b, 200, 0)) << log().Dump();
    EXPECT_TRUE(manager.HideItem(d, 0)) << log().Dump();
    EXPECT_TRUE(manager.UnHideItem(d, 400, 0)) << log().Dump();
    EXPECT_TRUE(manager.DeleteFromCache(e)) << log().Dump();
    FullFor(size.freeSpaceQueries + 2);
    EXPECT_TRUE(manager.CreateSpace(fresh, 1)) << log().Dump();
    EXPECT_FALSE(test::Exists(a));
    EXPECT_FALSE(test::Exists(f));
    const check::CheckReport after = Check();
    EXPECT_TRUE(after.Clean()) << after.Format();
    EXPECT_EQ(after.entries.size(), 4u);
}

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
    test::MakeDirs(entryDir);
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
