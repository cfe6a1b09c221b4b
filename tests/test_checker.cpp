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
uint64_t Key(int second, int tenth = 0) { return ((1700000000ull + second) << 8) | static_cast<uint64_t>(tenth); }

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

    check::CheckReport Check(int pruneMode = CM_PRUNE_ITEM)
    {
        check::CheckReport report;
        std::string error;
        EXPECT_TRUE(check::CheckIndex(Options(pruneMode), report, error)) << error;
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

    // Every path under dir() with its kind, link text and size: what a check
    // must leave as it found it.
    std::string Snapshot(const std::string& path = std::string())
    {
        const std::string top = path.empty() ? dir() : path;
        std::string text;
        for (const std::string& name : test::ListDir(top)) {
            const std::string child = top + "/" + name;
            text += child + (test::IsLink(child) ? " -> " + test::LinkText(child)
                                                 : " " + std::to_string(test::FileSize(child))) + "\n";
            if (test::IsDir(child) && !test::IsLink(child))
                text += Snapshot(child);
        }
        return text;
    }

    static uint64_t Count(const check::CheckReport& report, check::FindingKind kind)
    {
        return report.findings[kind].count;
    }
};

TEST_F(Checker, AModuleTheLibraryMadeIsCleanAndListedOldestFirst)
{
    CacheManagerImpl& manager = Manager();
    const std::string a = Add(manager, "a.bin", 100, Key(3));
    const std::string b = Add(manager, "sub/b.bin", 200, Key(1, 5));
    const std::string c = Add(manager, "c.bin", 300, Key(2));
    const std::string d = Add(manager, "d.bin", 400, Key(4));
    ASSERT_TRUE(manager.UpdateItem(c, PRUNE_UNLINK_RECURSE));
    ASSERT_TRUE(manager.HideItem(d, 0));
    // A record of another module's item beside ours is none of this check's
    // business.
    test::MakeDirs(dir() + "/CM/8/T/1/2/3/4/5");
    test::MakeLink("10:1:" + Item("other.bin"), dir() + "/CM/8/T/1/2/3/4/5/1");
    test::WriteFile(Item("other.bin"), 10);
    test::MakeLink(dir() + "/CM/8/T/1/2/3/4/5/1", RecordOf(Item("other.bin")));
    // Pruning moves the oldest link onto the next entry.
    size.freeBytes = 0;
    int queries = 0;
    size.freeBytesFn = [&queries] { return ++queries > 1 ? 1000000u : 0u; };
    ASSERT_TRUE(manager.CreateSpace(a, 1)) << log().Dump();
    ASSERT_EQ(test::FileSize(b), -1);  // the oldest went

    const check::CheckReport report = Check();
    EXPECT_TRUE(report.Clean()) << report.Format();
    EXPECT_EQ(report.storedSize, 400u);
    EXPECT_EQ(report.itemBytes, 400u);
    ASSERT_EQ(report.entries.size(), 2u);
    EXPECT_EQ(report.entries[0].item, c);
    EXPECT_EQ(report.entries[0].method, PRUNE_UNLINK_RECURSE);
    EXPECT_EQ(report.entries[0].timeKey, Key(2));
    EXPECT_EQ(report.entries[0].path, EntryOf(c));
    EXPECT_EQ(report.entries[1].item, a);
    EXPECT_EQ(report.entries[1].storedSize, 100u);
    EXPECT_EQ(report.entries[1].number, 1u);
    EXPECT_EQ(report.Format(), "clean: 2 entries, 400 bytes in their items, size total 400 bytes\n");

    std::vector<check::IndexEntry> listed;
    std::string error;
    ASSERT_TRUE(check::ListEntries(ModuleRoot(), listed, error)) << error;
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[1].path, report.entries[1].path);

    check::CheckOptions missing;
    missing.moduleRoot = dir() + "/CM/9";
    check::CheckReport none;
    EXPECT_FALSE(check::CheckIndex(missing, none, error));
    EXPECT_NE(error.find("no module at"), std::string::npos) << error;
}

TEST_F(Checker, FindsEachKindOfDamageAndRepairMendsItAndTheCacheWorksAgain)
{
    CacheManagerImpl& manager = Manager();
    const std::string a = Add(manager, "a.bin", 100, Key(1));
    const std::string b = Add(manager, "b.bin", 200, Key(2));
    const std::string c = Add(manager, "c.bin", 300, Key(3));
    const std::string d = Add(manager, "d.bin", 400, Key(4));
    const std::string e = Add(manager, "e.bin", 500, Key(5));
    const std::string f = Add(manager, "f.bin", 600, Key(6));
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

    const std::string before = Snapshot();
    const check::CheckReport report = Check();
    EXPECT_EQ(Snapshot(), before) << "a check changed something";
    EXPECT_EQ(Count(report, check::ENTRY_BAD_DEPTH), 1u) << report.Format();
    EXPECT_EQ(Count(report, check::ENTRY_MALFORMED), 1u) << report.Format();
    EXPECT_EQ(Count(report, check::ENTRY_NO_RECORD), 2u) << report.Format();
    EXPECT_EQ(Count(report, check::ENTRY_RECORD_ELSEWHERE), 1u) << report.Format();
    EXPECT_EQ(Count(report, check::ENTRY_DUPLICATE), 1u) << report.Format();
    EXPECT_EQ(Count(report, check::RECORD_MISSING_ENTRY), 2u) << report.Format();
    EXPECT_EQ(Count(report, check::RECORD_NOT_ENTRY), 1u) << report.Format();
    EXPECT_EQ(Count(report, check::SIZE_MISMATCH), 1u) << report.Format();
    EXPECT_EQ(Count(report, check::OLDEST_NOT_OLDEST), 1u) << report.Format();
    EXPECT_EQ(Count(report, check::OLDEST_STALE), 0u) << report.Format();
    EXPECT_EQ(Count(report, check::EMPTY_DIR), 1u) << report.Format();
    EXPECT_EQ(Count(report, check::JUNK), 5u) << report.Format();
    EXPECT_EQ(report.Total(), 17u);
    EXPECT_EQ(report.findings[check::ENTRY_DUPLICATE].examples.at(0).path, oldEntryD);
    EXPECT_EQ(report.findings[check::EMPTY_DIR].examples.at(0).path, T() + "/5/6/7");
    EXPECT_EQ(report.storedSize, 2100u);
    EXPECT_EQ(report.itemBytes, 1800u);  // c is gone; d counts once
    EXPECT_NE(report.Format().find("entry-duplicate: 1 older entries"), std::string::npos) << report.Format();

    check::RepairReport dry;
    std::string error;
    ASSERT_TRUE(check::RepairIndex(manager, Options(), true, dry, error)) << error;
    EXPECT_EQ(Snapshot(), before) << "a dry run changed something";
    EXPECT_GE(dry.actions.size(), 15u);

    check::RepairReport repair;
    ASSERT_TRUE(check::RepairIndex(manager, Options(), false, repair, error)) << error;
    EXPECT_TRUE(repair.after.Clean()) << repair.after.Format();
    EXPECT_EQ(repair.actions, dry.actions) << "one pass mends it all, as the dry run said";
    EXPECT_TRUE(repair.failures.empty());
    EXPECT_TRUE(repair.leftAlone.empty());
    EXPECT_EQ(repair.before.Total(), 17u);
    EXPECT_TRUE(Check().Clean());

    EXPECT_FALSE(test::Exists(RecordOf(b)));            // orphan entry gone, file left alone
    EXPECT_EQ(test::FileSize(b), 200);
    EXPECT_FALSE(test::Exists(RecordOf(c)));            // orphan entry gone
    EXPECT_EQ(EntryOf(d), newEntryD);                   // the newer entry kept
    EXPECT_FALSE(test::Exists(oldEntryD));
    EXPECT_EQ(test::LinkText(EntryOf(e)), layout::EntryTarget(500, 1, e));  // re-pointed
    EXPECT_EQ(test::LinkText(EntryOf(g)), layout::EntryTarget(7, 1, g));  // filed afresh
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
    int queries = 0;
    size.freeBytesFn = [&queries] { return ++queries > 2 ? 1000000u : 0u; };
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
    const std::string b = Add(manager, "b.bin", 20, Key(1));
    const std::string c = Add(manager, "c.bin", 30, Key(2));
    const std::string d = Add(manager, "d.bin", 40, Key(3));
    int queries = 0;
    size.freeBytesFn = [&queries] { return ++queries > 1 ? 1000000u : 0u; };
    ASSERT_TRUE(manager.CreateSpace(a, 1)) << log().Dump();  // a and b, one directory
    const std::string oldest = ModuleRoot() + "/oldest";
    ASSERT_EQ(test::LinkText(oldest), test::ParentOf(EntryOf(c)));

    EXPECT_TRUE(Check(CM_PRUNE_SET).Clean()) << Check(CM_PRUNE_SET).Format();
    EXPECT_TRUE(Check(-1).Clean());
    EXPECT_EQ(Count(Check(CM_PRUNE_ITEM), check::OLDEST_WRONG_DEPTH), 1u);

    test::MakeLink(EntryOf(d), oldest);
    EXPECT_EQ(Count(Check(CM_PRUNE_SET), check::OLDEST_WRONG_DEPTH), 1u);
    test::MakeLink(test::ParentOf(EntryOf(d)), oldest);
    EXPECT_EQ(Count(Check(CM_PRUNE_SET), check::OLDEST_NOT_OLDEST), 1u);
    test::MakeLink(T() + "/1/2/3/4/5", oldest);
    const check::CheckReport stale = Check(CM_PRUNE_SET);
    EXPECT_EQ(Count(stale, check::OLDEST_STALE), 1u);
    EXPECT_TRUE(stale.Clean()) << stale.Format();  // a state the library mends itself
    EXPECT_EQ(stale.Notes(), 1u);
    EXPECT_NE(stale.Format().find("\n  note: oldest-stale: 1 "), std::string::npos) << stale.Format();

    check::RepairReport repair;
    std::string error;
    ASSERT_TRUE(check::RepairIndex(manager, Options(CM_PRUNE_SET), false, repair, error)) << error;
    ASSERT_EQ(repair.actions.size(), 1u);
    EXPECT_NE(repair.actions[0].find("drop the oldest link"), std::string::npos);
    EXPECT_TRUE(repair.after.Clean());
    queries = 0;
    EXPECT_TRUE(manager.CreateSpace(d, 1)) << log().Dump();
    EXPECT_FALSE(test::Exists(c));
    EXPECT_TRUE(Check(CM_PRUNE_SET).Clean());
}

TEST_F(Checker, RepairLeavesWhatNeedsAPersonAndSaysSo)
{
    CacheManagerImpl& manager = Manager();
    const std::string a = Add(manager, "a.bin", 10, Key(1));
    test::WriteFile(T() + "/stray/data.bin", 5);   // a directory that holds something
    ASSERT_EQ(unlink(RecordOf(a).c_str()), 0);
    test::WriteFile(RecordOf(a), 1);               // a plain file where a's record belongs

    check::RepairReport repair;
    std::string error;
    ASSERT_TRUE(check::RepairIndex(manager, Options(), false, repair, error)) << error;
    EXPECT_TRUE(repair.actions.empty());
    ASSERT_EQ(repair.leftAlone.size(), 2u);
    EXPECT_NE(repair.leftAlone[0].find(T() + "/stray"), std::string::npos) << repair.leftAlone[0];
    EXPECT_NE(repair.leftAlone[1].find("is not a link"), std::string::npos) << repair.leftAlone[1];
    EXPECT_EQ(repair.after.Total(), 2u) << repair.after.Format();
    EXPECT_TRUE(test::Exists(T() + "/stray/data.bin"));

    CacheManagerImpl never;
    EXPECT_FALSE(check::RepairIndex(never, Options(), false, repair, error));
    EXPECT_EQ(error, "the cache manager is not initialised");
}

TEST_F(Checker, ALargeIndexReportsProgressAndCountsBeyondItsExamples)
{
    Manager();
    const std::string entryDir = layout::EntryDir(T(), Key(1));
    test::MakeDirs(entryDir);
    for (int i = 1; i <= 1500; ++i)
        ASSERT_EQ(symlink(layout::EntryTarget(0, 1, Item("gone" + std::to_string(i))).c_str(),
                          layout::EntryPath(entryDir, static_cast<uint32_t>(i)).c_str()),
                  0);
    check::CheckOptions options = Options();
    options.maxExamples = 3;
    std::vector<uint64_t> calls;
    options.progress = [&calls](uint64_t names) { calls.push_back(names); };
    check::CheckReport report;
    std::string error;
    ASSERT_TRUE(check::CheckIndex(options, report, error)) << error;
    EXPECT_EQ(report.entries.size(), 1500u);
    EXPECT_EQ(report.entries[9].number, 10u);  // numeric order, not text order
    EXPECT_EQ(Count(report, check::ENTRY_NO_RECORD), 1500u);
    EXPECT_EQ(report.findings[check::ENTRY_NO_RECORD].examples.size(), 3u);
    EXPECT_NE(report.Format().find("... and 1497 more"), std::string::npos) << report.Format();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls[0], 1024u);
}

}  // namespace
