// Interrupted processes: the states a kill leaves between two steps of an
// operation, made exactly, and then workers killed with SIGKILL at random
// moments, over and over. No item may be stuck afterwards, no file that the
// rules did not prune may be gone, and whatever a crash leaves in the index
// must be repairable and must not stop the cache from working.
#include "tests/TestSupport.h"
#include "tests/FaultShim.h"

#include <cstring>

#include <csignal>
#include <ctime>
#include <map>
#include <memory>
#include <sys/wait.h>
#include <thread>

namespace {

namespace layout = cm::layout;
using test::Exists;
using test::FileSize;
using test::IsLink;
using test::Key;
using test::LinkText;

class CrashLeftovers : public test::PruneTest {};

// An insertion killed after its entry was made, before the latest link moved
// on: the latest link names entry n while n + 1 exists. A host that files
// under a key of its own would hit n + 1 on every later insertion.
TEST_F(CrashLeftovers, AnEntryAheadOfTheLatestLinkDoesNotBlockTheHostsKey)
{
    CacheManagerImpl& m = Manager();
    const uint64_t key = Key(5);
    Add(m, "a", 10, key);
    std::string position;
    ASSERT_TRUE(m.GetLatest(position, key));
    ASSERT_EQ(symlink(layout::EntryTarget(20, PRUNE_UNLINK, Item("b")).c_str(), position.c_str()), 0);
    const std::string dir = test::ParentOf(position);

    log().Clear();
    const std::string c = Add(m, "c", 5, key);
    const std::string d = Add(m, "d", 5, key);
    EXPECT_EQ(EntryOf(c), dir + "/3");
    EXPECT_EQ(EntryOf(d), dir + "/4");
    EXPECT_EQ(LatestText(), dir + "/4");
    EXPECT_EQ(log().CountLevel(-1), 0) << log().Dump();
    EXPECT_TRUE(log().Has("[" + dir + "/2] exists already", 1)) << log().Dump();
}

// An update killed after filing the item's new entry, before its record was
// pointed at it (or between the record's unlink and symlink): the orphan
// entry names an item that has since been filed afresh, or hidden. Pruning
// the orphan must not touch the item's file; nor may a reclamation end at
// the orphan just because dropping it freed nothing.
TEST_F(CrashLeftovers, AnOrphanEntryNeverPrunesItsItem)
{
    struct Case {
        int mode;
        bool hideAfterwards;
    };
    const Case cases[] = {{CM_PRUNE_ITEM, false}, {CM_PRUNE_ITEM, true}, {CM_PRUNE_SET, false}, {CM_PRUNE_SET, true}};
    int module = 10;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.mode == CM_PRUNE_ITEM ? "item" : "set") + " mode, " +
                     (c.hideAfterwards ? "hidden" : "filed afresh") + " after the crash");
        test::RemoveTree(dir() + "/items");
        size.freeBytesFn = nullptr;
        CacheArgs args = Args();
        args.moduleId = module++;
        args.pruneMode = c.mode;
        CacheManagerImpl& m = Manager(args);
        const std::string x = Add(m, "x", 30, Key(1));
        CacheItemInfo old;
        ASSERT_TRUE(m.RemoveItemAtPosition(EntryOf(x), old, true));
        std::string orphan;
        ASSERT_TRUE(m.CreateLatest(x, orphan, 30, Key(2)));
        // Killed here. The owner goes on with x; y comes along.
        const std::string y = Add(m, "y", 40, Key(3));
        if (c.hideAfterwards)
            ASSERT_TRUE(m.HideItem(x, 0));
        else
            ASSERT_TRUE(m.UpdateItem(x, 30, Key(4)));

        UseCapacity(75);  // 70 bytes on disk: room for 10 means pruning
        log().Clear();
        EXPECT_TRUE(m.CreateSpace("z", 10)) << log().Dump();
        EXPECT_EQ(FileSize(x), 30);
        EXPECT_FALSE(Exists(y));
        EXPECT_FALSE(Exists(orphan));
        EXPECT_EQ(test::InCache(x), !c.hideAfterwards);
        EXPECT_TRUE(log().Has("[" + orphan + "] is not the entry of [" + x + "]", 1)) << log().Dump();
        for (const test::LogLine& line : log().Lines()) {
            const char* const owner = c.mode == CM_PRUNE_ITEM ? "::PruneOneItem(" : "::PruneAllItemsInDir(";
            if (line.text.find("is not the entry of") != std::string::npos) {
                EXPECT_NE(line.function.find(owner), std::string::npos) << line.function;
            }
        }
    }
}

// A process killed at one exact call of an operation, or that call failing:
// every link stays in place (a replacement is made aside and renamed over the
// link), a failed rewrite leaves the old text, and what the window leaves
// behind neither stops a later insertion nor keeps pruning from an item that
// is still in the index.
TEST_F(CrashLeftovers, EachWindowLeavesEveryLinkAndEveryIndexedItemPrunable)
{
    struct Context {
        CacheManagerImpl* m;
        std::string a, b, c, root;
        std::string entryA, entryB;
    };
    struct Row {
        const char* name;
        int mode;
        std::function<test::Fault(const Context&)> fault;  // error 0: a kill
        std::function<void(const Context&)> op;
        std::function<void(const Context&)> check;  // the state the fault left
        const char* prunedAfter;  // the items whose files are gone once everything is pruned
        bool pruneFirst;          // prune once before the fault, to make the oldest link
        bool share;               // with the module state shared
    };
    auto kill = [](test::FaultCall call, const std::string& end) { return test::Fault{call, end, 0, 0}; };
    auto entryOf = [](const std::string& item) { return LinkText(layout::RecordPath(item)); };
    auto refileA = [](const Context& c) { c.m->UpdateItem(c.a, 15, Key(4)); };
    auto pruneOne = [](const Context& c) {
        uint64_t freed = 0;
        c.m->PruneOneItem(freed);
    };
    auto makeRoom = [this](const Context& c) {
        size.freeBytes = 0;
        EXPECT_FALSE(c.m->CreateSpace("x", 1));
        size.freeBytes = 1000000;
    };
    const Row rows[] = {
        {"method rewrite killed before its rename", CM_PRUNE_ITEM,
         [&](const Context& c) { return kill(test::FAULT_RENAME, c.entryA); },
         [](const Context& c) { c.m->UpdateItem(c.a, PRUNE_TRUNCATE); },
         [](const Context& c) { EXPECT_EQ(LinkText(c.entryA), layout::EntryTarget(10, PRUNE_UNLINK, c.a)); }, "abc",
         false, false},
        {"method rewrite without room to make it aside", CM_PRUNE_ITEM,
         [](const Context&) { return test::Fault{test::FAULT_SYMLINK, "/entry.tmp", ENOSPC, 0}; },
         [](const Context& c) { EXPECT_FALSE(c.m->UpdateItem(c.a, PRUNE_TRUNCATE)); },
         [this](const Context& c) {
             EXPECT_EQ(LinkText(c.entryA), layout::EntryTarget(10, PRUNE_UNLINK, c.a));
             EXPECT_TRUE(log().Has("symlink() failed. [" + c.entryA + "]->[10:0:", -1)) << log().Dump();
             EXPECT_TRUE(log().Has("UpdatePruneMethod failed for [" + c.a + "]", -1));
         },
         "abc", false, false},
        {"latest link's move killed", CM_PRUNE_ITEM, [&](const Context&) { return kill(test::FAULT_RENAME, "/latest"); },
         refileA, [&](const Context& c) { EXPECT_EQ(LinkText(c.root + "/latest"), entryOf(c.c)); }, "abc", false, false},
        {"oldest link's move killed", CM_PRUNE_ITEM, [&](const Context&) { return kill(test::FAULT_RENAME, "/oldest"); },
         pruneOne,
         [&](const Context& c) {
             // The first prune made the link; the second, killed, leaves it
             // naming the entry it took out. b, whose file it had not yet
             // pruned, is out of the index: that is the repair's to mend.
             EXPECT_EQ(LinkText(c.root + "/oldest"), c.entryB);
         },
         "ac", true, false},
        {"size total's replacement killed", CM_PRUNE_ITEM,
         [&](const Context&) { return kill(test::FAULT_RENAME, "/size"); }, refileA,
         [](const Context& c) { EXPECT_EQ(LinkText(c.root + "/size"), "60"); }, "abc", false, false},
        {"size total without room to make it aside", CM_PRUNE_ITEM,
         [](const Context&) { return test::Fault{test::FAULT_SYMLINK, "/size.tmp", ENOSPC, 0}; }, refileA,
         [this](const Context& c) {
             EXPECT_EQ(LinkText(c.root + "/size"), "60");
             EXPECT_TRUE(log().Has("symlink() failed. [" + c.root + "/size] -> [65] [No space left", -1))
                 << log().Dump();
         },
         "abc", false, false},
        {"update killed before the record is pointed at the new entry", CM_PRUNE_ITEM,
         [&](const Context& c) { return kill(test::FAULT_UNLINK, layout::RecordPath(c.a)); }, refileA,
         [&](const Context& c) { EXPECT_EQ(entryOf(c.a), c.entryA); }, "abc", false, false},
        {"item mode: the oldest link cannot move on", CM_PRUNE_ITEM,
         [](const Context&) { return test::Fault{test::FAULT_RENAME, "/oldest", EIO, 0}; }, makeRoom,
         [](const Context& c) {
             EXPECT_EQ(FileSize(c.a), -1);
             EXPECT_EQ(LinkText(c.root + "/size"), "50");
         },
         "abc", false, false},
        {"set mode: the oldest link cannot move on", CM_PRUNE_SET,
         [](const Context&) { return test::Fault{test::FAULT_RENAME, "/oldest", EIO, 0}; }, makeRoom,
         [](const Context& c) {
             EXPECT_EQ(FileSize(c.a), -1);
             EXPECT_EQ(LinkText(c.root + "/size"), "50");
         },
         "abc", false, false},
        {"statistics update killed", CM_PRUNE_ITEM,
         [](const Context&) { return test::Fault{test::FAULT_RENAME, "/stats", 0, 1}; },
         [&](const Context& c) {
             c.m->DeleteFromCache(c.a);
             makeRoom(c);
         },
         [](const Context& c) {
             layout::ModuleStatistics stats;
             ASSERT_TRUE(layout::ParseFields(LinkText(layout::StatisticsLink(c.root)), stats));
             EXPECT_EQ(stats.values[layout::ModuleStatistics::PRUNED_ITEMS], 1u);
         },
         "abc", false, true},
    };
    int module = 20;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CacheArgs args = Args();
        args.moduleId = module++;
        args.pruneMode = row.mode;
        args.shareModuleState = row.share;
        Context c;
        c.m = &Manager(args);
        c.root = dir() + "/CM/" + std::to_string(args.moduleId);
        const std::string prefix = std::to_string(args.moduleId) + "/";
        c.a = Add(*c.m, prefix + "a", 10, Key(1));
        c.b = Add(*c.m, prefix + "b", 20, Key(2));
        c.c = Add(*c.m, prefix + "c", 30, Key(2));
        c.entryA = EntryOf(c.a);
        c.entryB = EntryOf(c.b);
        if (row.pruneFirst)
            pruneOne(c);

        const test::Fault fault = row.fault(c);
        log().Clear();
        if (fault.error == 0) {
            fflush(nullptr);
            const pid_t child = test::Spawn([&] {
                test::ArmFault(fault);
                row.op(c);
                return 0;
            });
            ASSERT_EQ(test::Reap(child), -1) << "the child was not killed at the call";
        } else {
            test::ArmFault(fault);
            row.op(c);
            test::DisarmFault();
        }
        row.check(c);

        // A new item still goes in; then pruning everything reaches every
        // item that the index still holds.
        const std::string z = Add(*c.m, prefix + "z", 1, Key(9));
        EXPECT_FALSE(Exists(c.root + "/size.tmp") || Exists(c.root + "/latest.tmp"));
        size.freeBytes = 0;
        c.m->CreateSpace("everything", 1);
        size.freeBytes = 1000000;
        for (const char* name : {"a", "b", "c"})
            EXPECT_EQ(FileSize(Item(prefix + name)) == -1, strchr(row.prunedAfter, name[0]) != nullptr) << name;
        EXPECT_EQ(FileSize(z), -1);
    }
}

// --- Workers killed at random ---------------------------------------------------

// The time key of the entry directory that the latest link names: a host
// whose own clock stands still files there, right where an insertion killed
// before moving the link would have left it behind.
uint64_t LatestKey(const std::string& timeTableDir, const std::string& latest)
{
    unsigned parts[5];
    char rest;
    if (latest.compare(0, timeTableDir.size(), timeTableDir) != 0 ||
        sscanf(latest.c_str() + timeTableDir.size(), "/%u/%u/%u/%u/%u/%*u%c", &parts[0], &parts[1], &parts[2],
               &parts[3], &parts[4], &rest) != 5)
        return 0;
    return (static_cast<uint64_t>(parts[0]) << 32) | (parts[1] << 24) | (parts[2] << 16) | (parts[3] << 8) | parts[4];
}

class Crash : public test::CacheTest, public testing::WithParamInterface<int> {
protected:
    // Every item operation on every item, with room to spare and under the
    // latest link's key: each must succeed, whatever the kills left behind.
    // Items end up in the cache. Returns what failed.
    std::vector<std::string> EveryOperationOnEveryItem(CacheManagerImpl& m, const std::vector<std::string>& items,
                                                       test::ItemState* states, std::mt19937& random)
    {
        std::vector<std::string> failed;
        const uint64_t key = LatestKey(m.m_timeTableDir, LinkText(m.m_latestLink));
        auto expect = [&](bool ok, const std::string& what, const std::string& item) {
            if (!ok)
                failed.push_back(what + " " + item);
        };
        for (size_t i = 0; i < items.size(); ++i) {
            const std::string& item = items[i];
            if (states[i].state == test::ItemState::OUT && FileSize(item) != states[i].size)
                failed.push_back("lost file " + item);
            const uint64_t a = 1 + random() % 4096, b = 1 + random() % 4096;
            expect(m.UpdateItem(item, static_cast<PruneMethod>(random() % 3)), "UpdateItem(method)", item);
            expect(m.HideItem(item, 0) && !Exists(layout::RecordPath(item)), "HideItem", item);
            expect(test::SetFileSize(item, a), "writing", item);
            expect(m.UpdateItem(item, a, key) && test::InCache(item), "UpdateItem(size)", item);
            expect(m.UpdateItem(item, static_cast<uint64_t>(0), key), "UpdateItem(0)", item);
            expect(m.CreateSpace(item, a), "CreateSpace", item);
            expect(m.DeleteFromCache(item) && !test::InCache(item), "DeleteFromCache", item);
            expect(test::SetFileSize(item, b), "writing", item);
            expect(m.UnHideItem(item, b, key) && test::InCache(item), "UnHideItem", item);
            states[i].state = test::ItemState::MAYBE_IN;
        }
        return failed;
    }
};

// Three worker processes of two threads each run a random mix of every item
// operation; one or two of them are killed with SIGKILL at a random moment,
// a fresh process takes each one's place, and the survivors go on with it.
// After each round: no lost file, a size total in place, every operation on
// every item succeeds. What the checker finds is printed; at the end the
// repair leaves a clean index. CM_CRASH_ROUNDS sets the rounds per mode.
TEST_P(Crash, WorkersKilledAtRandomLeaveNothingStuckOrLost)
{
    const int mode = GetParam();
    const int rounds = static_cast<int>(test::EnvNumber("CM_CRASH_ROUNDS", 40));
    const unsigned seed = static_cast<unsigned>(test::EnvNumber("CM_CRASH_SEED", static_cast<long>(time(nullptr))));
    printf("seed %u, %d rounds\n", seed, rounds);
    std::mt19937 random(seed);
    const int slots = 3, threads = 2;
    const uint64_t maxSize = 4096;
    // A tmpfs of its own when root, for speed: most of the work is making links.
    std::unique_ptr<test::TmpfsMount> mount;
    if (test::IsRoot()) {
        mount.reset(new test::TmpfsMount(dir() + "/fs", "size=64m"));
        ASSERT_TRUE(mount->ok());
    }
    const std::string base = mount ? dir() + "/fs" : dir();
    const std::string root = base + "/CM/7";
    const std::string itemsDir = base + "/items";
    const std::vector<std::string> items = test::ItemPaths(itemsDir, 48, 6);
    test::ItemState* states = test::SharedArray<test::ItemState>(items.size());
    test::SharedTally& tally = *test::SharedArray<test::SharedTally>(1);
    std::atomic<int>& stop = *test::SharedArray<std::atomic<int>>(1);

    CacheArgs args = Args();
    args.cacheDir = base;
    args.pruneMode = mode;
    log().SetLevel(1);
    CacheManagerImpl& m = Manager(args);  // room to spare: it never prunes
    // The workers prune all along, down to a floor that a missing total
    // would undercut.
    CacheArgs workerArgs = args;
    workerArgs.moduleOverFlow = 8 * 1024;
    const uint64_t capacity = items.size() * maxSize / 3;

    // Every item in the cache to begin with.
    ASSERT_EQ(EveryOperationOnEveryItem(m, items, states, random), std::vector<std::string>());

    cm::check::CheckOptions options;
    options.moduleRoot = root;
    options.itemDirs.push_back(itemsDir);
    options.pruneMode = mode;
    size_t repairs = 0;
    std::map<std::string, uint64_t> found;
    int roundsWithFindings = 0, kills = 0;
    for (int round = 0; round < rounds; ++round) {
        stop = 0;
        std::vector<pid_t> workers(slots);
        auto start = [&](int slot) {
            workerArgs.pruneMethod = static_cast<PruneMethod>(slot % 3);
            const unsigned workerSeed = seed + static_cast<unsigned>(round * slots + slot) * 7919u + random() % 1000;
            workers[slot] = test::Spawn([&, slot, workerSeed] {
                return test::RunWorkers(workerArgs, itemsDir, capacity, items, states, tally, slot, slots, threads, 0,
                                        maxSize, &stop, workerSeed);
            });
        };
        for (int slot = 0; slot < slots; ++slot)
            start(slot);
        for (int k = 1 + static_cast<int>(random() % 2); k > 0; --k) {
            usleep(2000 + random() % 20000);
            const int slot = static_cast<int>(random() % slots);
            kill(workers[slot], SIGKILL);
            EXPECT_EQ(test::Reap(workers[slot]), -1) << "worker " << slot << " ended before it was killed";
            ++kills;
            start(slot);
        }
        usleep(5000 + random() % 15000);
        stop = 1;
        for (pid_t worker : workers)
            EXPECT_EQ(test::Reap(worker), 0);

        ASSERT_EQ(tally.lostFiles.load(), 0u) << tally.complaint;
        EXPECT_TRUE(IsLink(m.m_sizeLink)) << "round " << round << ": the size total is missing";
        const cm::check::CheckReport report = test::CheckModule(root, itemsDir, mode);
        if (!report.Clean()) {
            ++roundsWithFindings;
            printf("round %d: %s", round, report.Format().c_str());
            for (int kind = 0; kind < cm::check::kFindingKinds; ++kind)
                if (cm::check::IsFault(static_cast<cm::check::FindingKind>(kind)))
                    found[cm::check::FindingTag(static_cast<cm::check::FindingKind>(kind))] += report.findings[kind].count;
        }
        const std::vector<std::string> failed = EveryOperationOnEveryItem(m, items, states, random);
        ASSERT_TRUE(failed.empty()) << "round " << round << ": " << failed.size() << " failures, first "
                                    << failed.front() << "\n" << log().Dump();
        // Leftovers stay for a few rounds, for the workers to meet; then the
        // repair must leave a clean index.
        if (round % 3 == 2 || round + 1 == rounds) {
            cm::check::RepairReport repair;
            std::string error;
            EXPECT_TRUE(cm::check::RepairIndex(m, options, false, repair, error)) << error;
            EXPECT_TRUE(repair.after.Clean()) << repair.after.Format();
            EXPECT_TRUE(repair.leftAlone.empty()) << repair.leftAlone.front();
            repairs += repair.actions.size();
        }
        log().Clear();
    }
    printf("%s", tally.Summary().c_str());
    printf("%d kills; the checker found faults after %d of %d rounds (leftovers are repaired every third round):",
           kills, roundsWithFindings, rounds);
    for (const auto& kind : found)
        if (kind.second != 0)
            printf(" %s %lu", kind.first.c_str(), static_cast<unsigned long>(kind.second));
    printf("\n");

    const cm::check::CheckReport after = test::CheckModule(root, itemsDir, mode);
    EXPECT_TRUE(after.Clean()) << after.Format();
    EXPECT_EQ(test::StoredTotal(root), test::BytesInCache(items));
    printf("the repairs took %zu actions\n", repairs);
}

INSTANTIATE_TEST_SUITE_P(Modes, Crash, testing::Values(CM_PRUNE_ITEM, CM_PRUNE_SET),
                         [](const testing::TestParamInfo<int>& param) {
                             return std::string(param.param == CM_PRUNE_ITEM ? "ItemMode" : "SetMode");
                         });

}  // namespace
