// Interrupted processes: the states a kill, or a failing call, leaves between
// two steps of an operation, made exactly. No item may be stuck afterwards,
// no file that the rules did not prune may be gone, and whatever is left in
// the index must not stop the cache from working. (Workers killed at random
// moments, over and over, are in test_stress.cpp.)
#include "tests/TestSupport.h"

#include <csignal>
#include <cstring>
#include <dlfcn.h>

namespace {

// The shim: symlink(), rename() and unlink() of this test program, which
// (armed) wait for the call whose path (the link made, the name renamed to,
// the name removed) ends with the fault's text, and then either kill the
// process with SIGKILL before the call is made, or fail the call with an
// errno. Disarmed, every call goes straight to the C library.
enum FaultCall { FAULT_SYMLINK, FAULT_RENAME, FAULT_UNLINK };

struct Fault {
    FaultCall call;
    std::string pathEnd;
    int error;  // 0: SIGKILL before the call; otherwise the call fails with it
    int after;  // matching calls to let pass first
};

bool g_armed = false;
Fault g_fault;

bool Hits(FaultCall call, const char* path)
{
    const std::string text(path), &end = g_fault.pathEnd;
    if (!g_armed || call != g_fault.call || text.size() < end.size() ||
        text.compare(text.size() - end.size(), end.size(), end) != 0 || g_fault.after-- > 0)
        return false;
    if (g_fault.error == 0)
        raise(SIGKILL);
    g_armed = false;
    errno = g_fault.error;
    return true;
}

template <typename F>
F Next(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int symlink(const char* text, const char* link)
{
    static auto real = Next<int (*)(const char*, const char*)>("symlink");
    return Hits(FAULT_SYMLINK, link) ? -1 : real(text, link);
}

extern "C" int rename(const char* from, const char* to)
{
    static auto real = Next<int (*)(const char*, const char*)>("rename");
    return Hits(FAULT_RENAME, to) ? -1 : real(from, to);
}

extern "C" int unlink(const char* path)
{
    static auto real = Next<int (*)(const char*)>("unlink");
    return Hits(FAULT_UNLINK, path) ? -1 : real(path);
}

namespace {

namespace layout = cm::layout;
using test::Exists;
using test::FileSize;
using test::Key;
using test::LinkText;

class CrashLeftovers : public test::PruneTest {};

// An update killed after filing the item's new entry, before its record was
// pointed at it (or between the record's unlink and symlink): the orphan
// entry names an item that has since been filed afresh, or hidden. Pruning
// the orphan must not touch the item's file; nor may a reclamation end at
// the orphan just because dropping it freed nothing.
TEST_F(CrashLeftovers, AnOrphanEntryNeverPrunesItsItem)
{
    for (int module = 10; module < 14; ++module) {
        const bool setMode = module % 2 != 0, hideAfterwards = module >= 12;
        SCOPED_TRACE(std::string(setMode ? "set" : "item") + " mode, " + (hideAfterwards ? "hidden" : "filed afresh"));
        test::RemoveTree(dir() + "/items");
        size.freeBytesFn = nullptr;
        CacheArgs args = Args();
        args.moduleId = module;
        args.pruneMode = setMode ? CM_PRUNE_SET : CM_PRUNE_ITEM;
        CacheManagerImpl& m = Manager(args);
        const std::string x = Add(m, "x", 30, Key(1));
        CacheItemInfo old;
        ASSERT_TRUE(m.RemoveItemAtPosition(EntryOf(x), old, true));
        std::string orphan;
        ASSERT_TRUE(m.CreateLatest(x, orphan, 30, Key(2)));
        // Killed here. The owner goes on with x; y comes along.
        const std::string y = Add(m, "y", 40, Key(3));
        if (hideAfterwards)
            ASSERT_TRUE(m.HideItem(x, 0));
        else
            ASSERT_TRUE(m.UpdateItem(x, 30, Key(4)));

        UseCapacity(75);  // 70 bytes on disk: room for 10 means pruning
        log().Clear();
        EXPECT_TRUE(m.CreateSpace("z", 10)) << log().Dump();
        EXPECT_EQ(FileSize(x), 30);
        EXPECT_FALSE(Exists(y));
        EXPECT_FALSE(Exists(orphan));
        EXPECT_EQ(test::InCache(x), !hideAfterwards);
        EXPECT_TRUE(log().Has("[" + orphan + "] is not the entry of [" + x + "]", 1)) << log().Dump();
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
        std::function<Fault(const Context&)> fault;  // error 0: a kill
        std::function<void(const Context&)> op;
        std::function<void(const Context&)> check;  // the state the fault left
        const char* prunedAfter;  // the items whose files are gone once everything is pruned
        bool share;               // with the module state shared
    };
    auto kill = [](FaultCall call, const std::string& end) { return Fault{call, end, 0, 0}; };
    auto entryOf = [](const std::string& item) { return LinkText(layout::RecordPath(item)); };
    auto refileA = [](const Context& c) { c.m->UpdateItem(c.a, 15, Key(2)); };
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
         [&](const Context& c) { return kill(FAULT_RENAME, c.entryA); },
         [](const Context& c) { c.m->UpdateItem(c.a, PRUNE_TRUNCATE); },
         [](const Context& c) { EXPECT_EQ(LinkText(c.entryA), layout::EntryTarget(10, PRUNE_UNLINK, c.a)); },
         "abc", false},
        {"method rewrite without room to make it aside", CM_PRUNE_ITEM,
         [](const Context&) { return Fault{FAULT_SYMLINK, "/entry.tmp", ENOSPC, 0}; },
         [](const Context& c) { EXPECT_FALSE(c.m->UpdateItem(c.a, PRUNE_TRUNCATE)); },
         [this](const Context& c) {
             EXPECT_EQ(LinkText(c.entryA), layout::EntryTarget(10, PRUNE_UNLINK, c.a));
             EXPECT_TRUE(log().Has("symlink() failed. [" + c.entryA + "]->[10:0:", -1)) << log().Dump();
             EXPECT_TRUE(log().Has("UpdatePruneMethod failed for [" + c.a + "]", -1));
         },
         "abc", false},
        {"latest link's move killed", CM_PRUNE_ITEM, [&](const Context&) { return kill(FAULT_RENAME, "/latest"); },
         refileA, [&](const Context& c) { EXPECT_EQ(LinkText(c.root + "/latest"), entryOf(c.c)); }, "abc", false},
        // A first prune, before the fault, makes the oldest link.
        {"oldest link's move killed", CM_PRUNE_ITEM,
         [&](const Context& c) { return pruneOne(c), kill(FAULT_RENAME, "/oldest"); }, pruneOne,
         [&](const Context& c) {
             // The first prune made the link; the second, killed, leaves it
             // naming the entry it took out. b, whose file it had not yet
             // pruned, is out of the index: that is the repair's to mend.
             EXPECT_EQ(LinkText(c.root + "/oldest"), c.entryB);
         },
         "ac", false},
        {"size total's replacement killed", CM_PRUNE_ITEM,
         [&](const Context&) { return kill(FAULT_RENAME, "/size"); }, refileA,
         [](const Context& c) { EXPECT_EQ(LinkText(c.root + "/size"), "60"); }, "abc", false},
        {"size total without room to make it aside", CM_PRUNE_ITEM,
         [](const Context&) { return Fault{FAULT_SYMLINK, "/size.tmp", ENOSPC, 0}; }, refileA,
         [this](const Context& c) {
             EXPECT_EQ(LinkText(c.root + "/size"), "60");
             EXPECT_TRUE(log().Has("symlink() failed. [" + c.root + "/size] -> [65] [No space left", -1))
                 << log().Dump();
         },
         "abc", false},
        {"update killed before the record is pointed at the new entry", CM_PRUNE_ITEM,
         [&](const Context& c) { return kill(FAULT_UNLINK, layout::RecordPath(c.a)); }, refileA,
         [&](const Context& c) { EXPECT_EQ(entryOf(c.a), c.entryA); }, "abc", false},
        {"item mode: the oldest link cannot move on", CM_PRUNE_ITEM,
         [](const Context&) { return Fault{FAULT_RENAME, "/oldest", EIO, 0}; }, makeRoom,
         [](const Context& c) {
             EXPECT_EQ(FileSize(c.a), -1);
             EXPECT_EQ(LinkText(c.root + "/size"), "50");
         },
         "abc", false},
        {"set mode: the oldest link cannot move on", CM_PRUNE_SET,
         [](const Context&) { return Fault{FAULT_RENAME, "/oldest", EIO, 0}; }, makeRoom,
         [](const Context& c) {
             EXPECT_EQ(FileSize(c.a), -1);
             EXPECT_EQ(LinkText(c.root + "/size"), "50");
         },
         "abc", false},
        {"statistics update killed", CM_PRUNE_ITEM,
         [](const Context&) { return Fault{FAULT_RENAME, "/stats", 0, 1}; },
         [&](const Context& c) {
             c.m->DeleteFromCache(c.a);
             makeRoom(c);
         },
         [](const Context& c) {
             layout::ModuleStatistics stats;
             ASSERT_TRUE(layout::ParseFields(LinkText(layout::StatisticsLink(c.root)), stats));
             EXPECT_EQ(stats.values[layout::ModuleStatistics::PRUNED_ITEMS], 1u);
         },
         "abc", true},
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

        const Fault fault = row.fault(c);
        log().Clear();
        if (fault.error == 0) {
            fflush(nullptr);
            const pid_t child = test::Spawn([&] {
                g_fault = fault, g_armed = true;
                row.op(c);
                return 0;
            });
            ASSERT_EQ(test::Reap(child), -1) << "the child was not killed at the call";
        } else {
            g_fault = fault, g_armed = true;
            row.op(c);
            g_armed = false;
        }
        row.check(c);

        // A new item still goes in, also under the key of the latest link,
        // whose directory may hold an entry ahead of it; then pruning
        // everything reaches every item that the index still holds.
        const std::string z = Add(*c.m, prefix + "z", 1, Key(2));
        EXPECT_FALSE(Exists(c.root + "/size.tmp") || Exists(c.root + "/latest.tmp"));
        size.freeBytes = 0;
        c.m->CreateSpace("everything", 1);
        size.freeBytes = 1000000;
        for (const char* name : {"a", "b", "c"})
            EXPECT_EQ(FileSize(Item(prefix + name)) == -1, strchr(row.prunedAfter, name[0]) != nullptr) << name;
        EXPECT_EQ(FileSize(z), -1);
    }
}

}  // namespace
