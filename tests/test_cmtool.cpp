// cmtool, run as a program on modules made by the library, and the index
// checker as a library, for what cmtool does not show.
#include "tests/TestSupport.h"

#include <csignal>
#include <fstream>
#include <regex>

#include "cachemanager/CacheLock.h"

namespace {

namespace layout = cm::layout;

#ifndef CMTOOL_PATH
#define CMTOOL_PATH ""
#endif
const std::string kCmtool = CMTOOL_PATH;

uint64_t Key(int second) { return (1700000000ull + static_cast<uint64_t>(second)) << 8; }

struct Result {
    int status;
    std::string out, err;
};

std::string ReadAll(const std::string& path)
{
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

size_t Lines(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

// Every path below top, with its link text and size.
std::string Snapshot(const std::string& top)
{
    std::string text;
    FILE* find = popen(("find " + top + " -mindepth 1 -printf '%p %l %s\\n' | sort").c_str(), "r");
    for (int c = fgetc(find); c != EOF; c = fgetc(find))
        text += static_cast<char>(c);
    pclose(find);
    return text;
}

class Cmtool : public test::CacheTest {
protected:
    void SetUp() override
    {
        test::CacheTest::SetUp();
        if (kCmtool.empty())
            GTEST_SKIP() << "cmtool is not built (CACHEMANAGER_BUILD_TOOLS is off)";
    }

    // Runs cmtool with args in dir() through the shell, after shell (which
    // may also wrap the program), standard output and error into files beside
    // dir(), not in it (a file system under test may go read-only); during
    // runs meanwhile. The child keeps none of this process's descriptors: a
    // cache lock among them would outlive its release here.
    Result Run(const std::vector<std::string>& args, const std::string& shell = "",
               const std::function<void()>& during = nullptr)
    {
        std::string line = "cd " + dir() + " && export TZ=UTC && exec >" + dir() + ".out 2>" + dir() + ".err && " +
                           shell + " " + kCmtool;
        for (const std::string& arg : args)
            line += " '" + arg + "'";  // no argument holds a quote
        const pid_t child = test::Spawn([&line] {
            for (int fd = STDERR_FILENO + 1; fd < 1024; ++fd)
                close(fd);
            return execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
        });
        if (during)
            during();
        const Result result{test::Reap(child), ReadAll(dir() + ".out"), ReadAll(dir() + ".err")};
        unlink((dir() + ".out").c_str());
        unlink((dir() + ".err").c_str());
        return result;
    }

    // cmtool on this test's module 7, which must succeed: what it prints.
    std::string Done(std::vector<std::string> args, const std::string& shell = "",
                     const std::function<void()>& during = nullptr)
    {
        args.insert(args.begin(), {"--cache-dir", dir(), "--module", "7"});
        const Result result = Run(args, shell, during);
        EXPECT_EQ(result.status, 0) << ::testing::PrintToString(args) << "\n" << result.out << result.err;
        return result.out;
    }

    std::string Add(CacheManagerImpl& manager, const std::string& name, size_t bytes, uint64_t key)
    {
        const std::string item = Item(name);
        test::WriteFile(item, bytes);
        EXPECT_TRUE(manager.UpdateItem(item, bytes, key)) << log().Dump();
        return item;
    }
};

#define EXPECT_HAS(text, needle) EXPECT_NE((text).find(needle), std::string::npos) << "no [" << (needle) << "] in:\n" << (text)

// ls, stat and check on a module the library made, the oldest item's name not
// UTF-8: this module's items only, oldest first; every report valid JSON whose
// escapes give back the name's bytes; under --lock a host's half-made change
// is waited for, not reported.
TEST_F(Cmtool, ReportsOnAModuleTheLibraryMade)
{
    CacheManagerImpl& manager = Manager();
    const std::string c = Add(manager, "c.bin", 300, Key(3));
    const std::string odd = Add(manager, "caf\xc3\xa9 \xff\"\\\x01.bin", 100, Key(1));
    const std::string b = Add(manager, "deep/b.bin", 200, Key(2));
    ASSERT_TRUE(manager.HideItem(Add(manager, "hidden.bin", 50, Key(4)), 0));
    // A record of another module's item beside ours is none of this module's business.
    test::MakeLink("10:1:" + Item("other.bin"), dir() + "/CM/8/T/1/2/3/4/5/1");
    test::WriteFile(Item("other.bin"), 10);
    test::MakeLink(dir() + "/CM/8/T/1/2/3/4/5/1", RecordOf(Item("other.bin")));

    const std::string ls = Done({"ls"});
    EXPECT_EQ(Lines(ls), 5u) << ls;
    EXPECT_LT(ls.find(odd), ls.find(b));
    EXPECT_LT(ls.find(b), ls.find(c));
    EXPECT_HAS(Done({"stat"}), "latest        2023-11-14 22:13:23.0 +0000  " + c + "\n");
    EXPECT_HAS(Run({"--cache-dir", dir(), "modules"}).out, "         7        600 B        3  ");
    EXPECT_HAS(Done({"stat", "--ages", "--svg", dir() + "/ages.svg"}), "\n  >= 1y" + std::string(24, ' ') + "3");
    EXPECT_HAS(ReadAll(dir() + "/ages.svg"), ">&gt;= 1y</text>");

    if (system("python3 -c 'import json' 2>/dev/null") == 0) {
        // ls --json names the odd item first: its escapes must give back its bytes.
        const std::string read = "python3 -c 'import json,os,sys; v=json.load(open(\".json\")); sys.exit(len(sys.argv) "
                                 "> 1 and os.fsencode(v[0][\"item\"]) != os.fsencode(sys.argv[1]))'";
        for (const std::vector<std::string>& command : std::vector<std::vector<std::string>>{
                 {"ls", "--json"}, {"stat", "--json"}, {"check", "--json"}, {"modules", "--json"},
                 {"repair", "--dry-run", "--json"}, {"prune", "--to-size", "20", "--dry-run", "--json"},
                 {"clear", "--dry-run", "--json"}}) {
            Done(command, "exec >.json &&");
            EXPECT_EQ(system(("cd " + dir() + " && " + read + (command[0] == "ls" ? " '" + odd + "'" : "")).c_str()), 0)
                << command[0] << ReadAll(dir() + "/.json");
        }
    }

    // The host holds the lock while b's record is away.
    const std::string recordOfB = RecordOf(b), entryOfB = test::LinkText(recordOfB);
    manager.m_ptrCacheLock->Lock();
    ASSERT_EQ(unlink(recordOfB.c_str()), 0);
    const auto host = [&] {
        usleep(300 * 1000);
        test::MakeLink(entryOfB, recordOfB);
        manager.m_ptrCacheLock->UnLock();
    };
    EXPECT_EQ(Done({"check", "--lock", "--items", dir() + "/items"}, "", host),
              "clean: 3 entries, 600 bytes in their items, size total 600 bytes\n");
}

// Every command on one module on a small file system of its own, in turn: its
// exit status and a part of what it says; then either the size total it
// leaves or, for a mistake or a refusal, one line on stderr and nothing
// changed on disk. o1 to o3 were filed in 2023, n (300 KiB) and m later; x
// and y are filed by cmtool.
TEST_F(Cmtool, EveryCommandItsStatusAndWhatItLeavesOnDisk)
{
    SKIP_UNLESS_ROOT();
    const std::string d = dir(), x = Item("x.bin"), y = Item("y.bin"), loose = Item("loose.bin");
    const std::string o1 = Item("o1"), o2 = Item("o2"), o3 = Item("o3");
    test::TmpfsMount mount(d, "size=1m");
    ASSERT_TRUE(mount.ok());
    ASSERT_EQ(test::RunInChild([&] {  // hosts that are gone: none holds a file open
                  CacheManagerImpl& host = Manager();
                  for (int i = 1; i <= 3; ++i)
                      Add(host, "o" + std::to_string(i), 100u * i, Key(i));
                  Add(host, "n", 300 * 1024, 0);
                  Add(host, "m", 100, 0);
                  return HasFailure() ? 1 : 0;
              }),
              0);
    test::MakeDirs(d + "/CM/5/T");  // another module
    test::WriteFile(x, 1000);
    test::WriteFile(y, 500);
    test::WriteFile(loose, 10);
    const auto on = [&d](const char* module, std::vector<std::string> rest) {
        rest.insert(rest.begin(), {"--cache-dir", d, "--module", module});
        return rest;
    };
    const std::string noModule9 = "cmtool: no module at " + d + "/CM/9: No such file or directory";
    const std::string cannot = "cmtool: cannot open the cache at " + d + "/CM/7: " + d + "/CM/7/lockfile: ";
    struct Row {
        std::vector<std::string> args;
        int status;
        std::string says;        // a part of its standard output and error
        const char* total;       // the size total after it; nullptr: nothing changed
        std::string shell = "";  // run first
    };
    std::vector<Row> rows = {
        {{}, 2, "", nullptr},
        {{"frobnicate"}, 2, "cmtool: unknown command [frobnicate] (see cmtool --help)\n", nullptr},
        {{"ls"}, 2, "cmtool: ls needs --cache-dir DIR and --module N (see cmtool --help)\n", nullptr},
        {{"--module", "x", "ls"}, 2, "--module needs a number from 0 to 4294967295, not [x]", nullptr},
        {on("7", {"ls", "--size", "5"}), 2, "cmtool: ls takes no --size (see cmtool --help)\n", nullptr},
        {on("7", {"add", "x", "--method", "shred"}), 2, "--method is truncate, unlink or unlink-recurse", nullptr},
        {on("7", {"prune"}), 2, "cmtool: prune needs one of --bytes N, --to-size SIZE, --older-than AGE", nullptr},
        {on("7", {"prune", "--to-size", "5KB"}), 2, "--to-size needs a byte count", nullptr},
        {on("9", {"check"}), 3, noModule9 + "\n", nullptr},
        {on("9", {"add", loose}), 3, noModule9 + " (--create makes it)\n", nullptr},
        {{"--cache-dir", d + "/typo", "--module", "7", "add", loose}, 3, "no cache directory " + d + "/typo", nullptr},
        // Refusals that keep an operator from harm.
        {on("7", {"clear"}), 1, "cmtool: clear prunes all 5 items of module 7 (301 KiB as filed): give --yes", nullptr},
        {on("7", {"delete", loose}), 1, "nothing changed (--force prunes its file anyway)", nullptr},
        {on("7", {"delete", "--force", d + "/items"}), 1, d + "/items is a directory", nullptr},
        {on("7", {"add", "CM/7/size", "--size", "5"}), 1, d + "/CM/7/size lies in the cache's own index", nullptr},
        {on("5", {"add", o1}), 1, o1 + ": its record names [" + d + "/CM/7/T/", nullptr},
        {on("7", {"add", loose, "--size", "0"}), 1, loose + ": 0 bytes", nullptr},
        {on("7", {"add", Item("nothing.bin")}), 1, "nothing.bin: No such file or directory; give its size", nullptr},
        {on("7", {"add", loose + "/under.bin", "--size", "10"}), 1, "add " + loose + "/under.bin failed: ", nullptr},
        {on("7", {"add", loose, "--size", "2M"}), 1, "(2097152 bytes) on a file system of 1.0 MiB", nullptr},
        {on("7", {"prune", "--bytes", "16777216G"}), 1, "refused, nothing pruned", nullptr},
        {on("7", {"hide", loose}), 1, loose + " is not in the cache: nothing changed", nullptr},
        {on("7", {"update", loose, "--method", "unlink"}), 1, loose + " is not in the cache: nothing changed", nullptr},
        {on("7", {"ls"}), 1, "cannot write standard output: No space left on device\n", nullptr, "exec >/dev/full &&"},
        {on("7", {"stat", "--svg", d + "/no/ages.svg"}), 1, "cmtool: cannot write the picture: " + d + "/no", nullptr},
        // A cache that cannot be opened: the reason, with the path.
        {on("7", {"delete", o2}), 1, cannot + "Permission denied\n", nullptr,
         "setpriv --reuid=65534 --regid=65534 --clear-groups"},
        {on("7", {"delete", o2}), 1, cannot + "Read-only file system\n", nullptr,
         "trap 'mount -o remount,rw " + d + "' EXIT; mount -o remount,ro " + d + " &&"},
        // Every item operation; a relative item path is taken from the
        // working directory; the library's own lines on request.
        {on("7", {"--log-level", "4", "add", "items/x.bin", "--method", "unlink"}), 0, "sizein [1000]", "308900"},
        {on("7", {"add", y}), 0, "filed " + y + ": 500 bytes, truncate, entry ", "309400"},
        {on("7", {"update", x, "--method", "unlink-recurse"}), 0, x + ": prune method now unlink-recurse", "309400"},
        // A host files a new size first, then writes (once cmtool is done); the item keeps its method.
        {on("7", {"update", x, "--size", "2000"}), 0, "2000 bytes, unlink-recurse", "310400",
         "trap 'truncate -s 2000 items/x.bin' EXIT;"},
        {on("7", {"hide", y}), 0, "hid " + y + ": out of the cache, its file left alone", "309900"},
        {on("7", {"unhide", y}), 0, "unhid " + y + ": 500 bytes", "310400"},
        {on("7", {"delete", x}), 0, "deleted " + x + " from the cache; its file was unlinked\n", "308400"},
        // A file taken away behind the cache's back counts 0 bytes when it goes: repair mends the total.
        {on("7", {"delete", o1}), 0, o1 + " from the cache; its file was not there\n", "308400", "rm items/o1 &&"},
        {on("7", {"repair"}), 0, "did: rewrite the size total: 308400 -> 308300\n", "308300"},
        {on("7", {"delete", loose, "--force"}), 0, loose + " was not in the cache; its file was truncated", "308300"},
        // Pruning takes the oldest first; --bytes goes by what the file system has free.
        {on("7", {"prune", "--older-than", "1d", "--dry-run"}), 0, "would prune 2 items (500 B as filed)\n", nullptr},
        {on("7", {"prune", "--older-than", "1d", "--verbose"}), 0, o3 + "\npruned 2 items (500 B", "307800"},
        {on("7", {"prune", "--to-size", "1MiB"}), 0, "pruned 0 items", nullptr},
        {on("7", {"prune", "--bytes", "900K"}), 0, "pruned 1 item (300 KiB as filed); the file system gained ", "600"},
        {on("7", {"prune", "--to-size", "550"}), 0, "pruned 1 item (100 B as filed)", "500"},
        {on("7", {"clear", "--yes", "--json"}), 0, "{\"dryRun\": false, \"items\": 1, \"bytesAsFiled\": 500, ", "0"},
        // --create makes a module that is not there yet.
        {on("9", {"add", "items/new", "--create"}), 0, "entry " + d + "/CM/9/T/", "0", "echo made >items/new &&"},
    };
    for (const char* command : {"--help", "modules", "stat", "ls", "check", "repair", "add", "update", "delete",
                                "hide", "unhide", "prune", "clear", "demo", "maintain"})
        rows.push_back({{command, "--help"}, 0, "", nullptr});
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.args));
        const std::string before = Snapshot(d);
        const Result result = Run(row.args, row.shell);
        EXPECT_EQ(result.status, row.status) << result.err;
        EXPECT_HAS(result.out + result.err, row.says);
        // The size total it leaves, or nothing changed and one line that says why.
        EXPECT_EQ(row.total ? test::LinkText(ModuleRoot() + "/size") : Snapshot(d), row.total ? row.total : before);
        EXPECT_TRUE(row.total || row.status == 0 || row.says.empty() || Lines(result.err) == 1) << result.err;
    }
    EXPECT_HAS(Done({"check", "--items", d + "/items"}), "clean: 0 entries");
    EXPECT_FALSE(test::Exists(o3));   // unlinked, the hosts' method
    EXPECT_EQ(test::FileSize(y), 0);  // truncated, the tool's
}

// A module whose hosts share its state: cmtool shows their settings and what
// pruning did, files items the way the hosts do, adds what it prunes to the
// account, and zeroes it on request.
TEST_F(Cmtool, ReadsTheSettingsAndStatisticsHostsPublish)
{
    CacheArgs args = Args();
    args.pruneMethod = PRUNE_UNLINK_RECURSE;
    args.maxModuleBytes = 250;
    args.maxItemAgeSeconds = 86400;
    args.pruneMode = CM_PRUNE_SET;
    args.shareModuleState = true;
    CacheManagerImpl& host = Manager(args);
    for (int i = 1; i <= 3; ++i)
        Add(host, std::string(1, "abc"[i - 1]), 100, static_cast<uint64_t>(time(nullptr) - 4 + i) << 8);
    // Under the cap: a went with its entry directory, and the oldest link moved on to b's.
    EXPECT_EQ(test::LinkText(ModuleRoot() + "/oldest"), test::ParentOf(test::LinkText(RecordOf(Item("b")))));
    const std::string stat = Done({"stat", "--json"});
    for (const char* field : {"\"settings\": {\"bytesMinFree\": 0, \"inodesMinFree\": 0", "\"pruneMethod\": 2",
                              "\"pruneMode\": 1", "\"processModel\": 2", "\"maxModuleBytes\": 250",
                              "\"maxItemAgeSeconds\": 86400", "\"statistics\": {\"prunedItems\": 1",
                              "\"capItems\": 1", "\"lastPrunedAgeSeconds\": "})
        EXPECT_HAS(stat, field);

    // Filed with the hosts' method, under their cap: one more goes.
    const std::string published = test::LinkText(layout::SettingsLink(ModuleRoot()));
    test::WriteFile(Item("d"), 100);
    EXPECT_HAS(Done({"add", Item("d")}), "100 bytes, unlink-recurse");
    EXPECT_FALSE(test::Exists(Item("b")));
    EXPECT_HAS(Done({"stat", "--json"}), "\"prunedItems\": 2");
    EXPECT_EQ(test::LinkText(layout::SettingsLink(ModuleRoot())), published);  // the tool's own stay its own

    Done({"stat", "--zero"});
    EXPECT_HAS(Done({"stat", "--json"}), "\"statistics\": null");
}

// The maintainer: nothing while the module is clear of its low threshold,
// slices down to its high one past it; one per module; a signal ends it.
TEST_F(Cmtool, MaintainerPrunesBetweenItsThresholdsAloneAndStopsAtASignal)
{
    // A file system of its own, so that its free space, not the machine's,
    // is what the thresholds meet.
    SKIP_UNLESS_ROOT();
    test::TmpfsMount mount(dir() + "/CM", "size=64m");
    ASSERT_TRUE(mount.ok());
    CacheArgs args = Args();
    args.maxModuleBytes = 1000;
    args.shareModuleState = true;
    CacheManagerImpl& host = Manager(args);
    for (int i = 0; i < 7; ++i)
        Add(host, "i" + std::to_string(i), 100, Key(i));
    // Within 20% of the cap starts it; it stops with 50% of the cap to spare.
    const std::vector<std::string> once = {"maintain", "--once", "--low", "20", "--high", "50", "--slice-items", "1"};
    EXPECT_EQ(Lines(Done(once)), 1u);
    Add(host, "i7", 100, Key(7));
    Add(host, "i8", 100, Key(8));
    EXPECT_HAS(Done(once), "pruned 4 items (400 B) in 4 slices over ");
    EXPECT_FALSE(test::Exists(Item("i3")));
    EXPECT_TRUE(test::Exists(Item("i4")));

    const std::string out = dir() + "/maintainer.out", lock = layout::MaintainerLock(ModuleRoot());
    Done({"maintain", "--interval", "0.05"}, "exec >" + out + " &&", [&] {
        for (int wait = 0; wait < 500 && ReadAll(out).empty(); ++wait)
            usleep(10000);
        const Result second = Run({"--cache-dir", dir(), "--module", "7", "maintain", "--once"});
        EXPECT_EQ(second.status, 1);
        EXPECT_HAS(second.err, "another maintainer runs for " + ModuleRoot() + " (process " + ReadAll(lock) + ")");
        kill(static_cast<pid_t>(std::stol("0" + ReadAll(lock))), SIGTERM);
    });
    EXPECT_HAS(ReadAll(out), "stopped by a signal");
    EXPECT_EQ(ReadAll(lock), "");
}

// Every kind of damage, two of them as killed updates leave them. Killed
// between taking the old entry away and filing the new one, an item has a
// record that names nothing: repair files it again. Killed after the new entry
// was made but before its record, and hidden since, an item has an entry and
// no record: repair drops the entry and leaves the item out of the cache. A
// check and a dry run change nothing; repair mends all in one pass, as the dry
// run said, and the cache works on. What needs a person is left alone.
TEST_F(Cmtool, CheckAndRepairEveryKindOfDamageAndNoHiddenItemComesBack)
{
    CacheManagerImpl& manager = Manager();
    std::string items[7];
    for (int i = 1; i <= 7; ++i)
        items[i - 1] = Add(manager, std::string(1, "abcdefg"[i - 1]) + ".bin", i < 7 ? 100u * i : 7, Key(i));
    const auto& [a, b, c, d, e, f, g] = items;
    const std::string entryDirA = test::ParentOf(test::LinkText(RecordOf(a)));
    const std::string level1 = T() + "/" + std::to_string(Key(1) >> 32);
    const std::string oldEntryD = test::LinkText(RecordOf(d));
    EXPECT_EQ(test::RunInChild([&] {
                  CacheItemInfo old;
                  std::string orphan;
                  if (manager.RemoveItemAtPosition(test::LinkText(RecordOf(g)), old, true) &&
                      manager.RemoveItemAtPosition(test::LinkText(RecordOf(b)), old, true) &&
                      manager.CreateLatest(b, orphan, 200, 0))
                      raise(SIGKILL);
                  return 1;
              }),
              -1);
    ASSERT_TRUE(manager.HideItem(b, 0)) << log().Dump();
    // A link two levels down, a malformed entry, and junk of every sort.
    test::MakeLink("1:1:/nowhere", level1 + "/77");
    test::MakeLink("garbage", entryDirA + "/9");
    test::WriteFile(entryDirA + "/notes.txt", 3);
    test::MakeDirs(entryDirA + "/50");
    test::MakeDirs(T() + "/abc");
    test::WriteFile(level1 + "/12", 1);
    test::MakeDirs(T() + "/5/6/7");
    // c has lost its record and its file; d has a second, newer entry; e's
    // record names nothing; h's record a directory of the index; old.bin's a
    // missing entry, and old.bin is gone.
    ASSERT_EQ(unlink(RecordOf(c).c_str()), 0);
    ASSERT_EQ(unlink(c.c_str()), 0);
    const std::string newEntryD = layout::EntryPath(layout::EntryDir(T(), Key(9)), 1);
    test::MakeLink(layout::EntryTarget(400, 1, d), newEntryD);
    test::MakeLink(dir() + "/nowhere/entry", RecordOf(e));
    const std::string h = Item("h.bin");
    test::WriteFile(h, 8);
    test::MakeLink(level1, RecordOf(h));
    test::MakeLink(T() + "/9/9/9/9/9/9", RecordOf(Item("old.bin")));
    // The oldest link names the newest of the first entries. Statistics that
    // are none; settings and leftovers of replacements that are fine.
    test::MakeLink(test::LinkText(RecordOf(f)), ModuleRoot() + "/oldest");
    test::MakeLink("garbage", layout::StatisticsLink(ModuleRoot()));
    test::MakeLink(layout::FormatFields(layout::ModuleSettings()), layout::SettingsLink(ModuleRoot()));
    test::MakeLink("12", ModuleRoot() + "/size.tmp");

    const std::string before = Snapshot(dir());
    const Result found = Run({"--cache-dir", dir(), "--module", "7", "check", "--items", dir() + "/items"});
    EXPECT_EQ(found.status, 1);
    EXPECT_HAS(found.out, "18 faults in ");
    using namespace cm::check;
    const std::pair<FindingKind, int> counts[] = {
        {ENTRY_BAD_DEPTH, 1},  {ENTRY_MALFORMED, 1},      {ENTRY_NO_RECORD, 2}, {ENTRY_RECORD_ELSEWHERE, 1},
        {ENTRY_DUPLICATE, 1},  {RECORD_MISSING_ENTRY, 3}, {RECORD_NOT_ENTRY, 1}, {SIZE_MISMATCH, 1},
        {OLDEST_NOT_OLDEST, 1}, {EMPTY_DIR, 1},            {JUNK, 5}};
    for (const auto& [kind, count] : counts)
        EXPECT_HAS(found.out, std::string("\n  ") + FindingTag(kind) + ": " + std::to_string(count) + " ");

    const std::string dry = Done({"repair", "--dry-run", "--items", dir() + "/items"});
    EXPECT_EQ(Snapshot(dir()), before) << "a check or a dry run changed something";
    EXPECT_HAS(dry, " (" + b + " has no record; its file is left alone)");
    EXPECT_HAS(dry, "would: rewrite the size total: 2107 -> 1607\n");
    const std::string repair = Done({"repair", "--items", dir() + "/items"});
    EXPECT_HAS(repair, "after: clean: 5 entries, 1607 bytes in their items, size total 1607 bytes\n");
    const auto actions = [](const std::string& text, const std::string& verb, const std::string& end) {
        return std::regex_replace(text.substr(0, text.find(end)), std::regex("(^|\n)" + verb + ": "), "$1");
    };
    EXPECT_EQ(actions(dry, "would", "\nnow: "), actions(repair, "did", "\nafter: "));
    EXPECT_FALSE(test::Exists(RecordOf(b)));  // orphan entries gone, b's file left alone
    EXPECT_EQ(test::FileSize(b), 200);
    EXPECT_EQ(test::LinkText(RecordOf(d)), newEntryD);  // the newer entry kept
    EXPECT_FALSE(test::Exists(oldEntryD));
    EXPECT_EQ(test::LinkText(test::LinkText(RecordOf(e))), layout::EntryTarget(500, 1, e));  // re-pointed
    EXPECT_EQ(test::LinkText(test::LinkText(RecordOf(g))), layout::EntryTarget(7, PRUNE_TRUNCATE, g));  // filed afresh
    EXPECT_FALSE(test::Exists(RecordOf(h)));
    EXPECT_TRUE(test::Exists(h));  // the items themselves are the host's
    EXPECT_FALSE(test::Exists(ModuleRoot() + "/oldest"));

    // The oldest link names an entry in item mode, an entry directory in set
    // mode; one that names nothing is a note, which the next prune mends.
    for (const auto& [target, mode, status, says] : std::vector<std::tuple<std::string, const char*, int, const char*>>{
             {entryDirA, "item", 1, "\n  oldest-wrong-depth: 1 "}, {entryDirA, "set", 0, "clean: "},
             {T() + "/1/2/3/4/5", "item", 0, "\n  note: oldest-stale: 1 "}}) {
        test::MakeLink(target, ModuleRoot() + "/oldest");
        const Result result = Run({"--cache-dir", dir(), "--module", "7", "--prune-mode", mode, "check"});
        EXPECT_EQ(result.status, status) << target;
        EXPECT_HAS(result.out, says);
    }

    // The cache works: a hidden item filed again, and pruning the two oldest.
    EXPECT_TRUE(manager.UpdateItem(b, 200, 0)) << log().Dump();
    EXPECT_TRUE(manager.DeleteFromCache(e)) << log().Dump();
    size.freeBytesFn = [this] { return size.freeSpaceQueries > 2 ? 1000000u : 0u; };
    size.freeSpaceQueries = 0;
    EXPECT_TRUE(manager.CreateSpace(b, 1)) << log().Dump();
    EXPECT_FALSE(test::Exists(a));
    EXPECT_FALSE(test::Exists(f));
    EXPECT_HAS(Done({"check", "--items", dir() + "/items"}), "clean: 3 entries");

    // A directory that holds something, and a plain file where a record
    // belongs: left to a person, and said so.
    test::WriteFile(T() + "/stray/data.bin", 5);
    ASSERT_EQ(unlink(RecordOf(b).c_str()), 0);
    test::WriteFile(RecordOf(b), 1);
    const Result left = Run({"--cache-dir", dir(), "--module", "7", "repair", "--items", dir() + "/items"});
    EXPECT_EQ(left.status, 1);
    EXPECT_HAS(left.out, "left alone: " + T() + "/stray");
    EXPECT_HAS(left.out, "is not a link");
    EXPECT_TRUE(test::Exists(T() + "/stray/data.bin"));
}

// The demo prunes by every method and leaves nothing behind, even when every
// step fails: with one file descriptor to spare the tmpfs goes all the same.
// (A sanitizer's own checks need descriptors too: under one, the run ends in
// a false report instead.)
TEST_F(Cmtool, DemoPrunesByEveryMethodAndCleansUpOnEveryWayOut)
{
    const std::string tmp = dir() + "/tmp";
    test::MakeDirs(tmp);
    const Result demo = Run({"demo"}, "TMPDIR=" + tmp);
    ASSERT_EQ(demo.status, 0) << demo.out << demo.err;
    for (const char* part : {"  unlink          media/", "truncated, name kept\n", "unlinked with its emptied dirs\n"})
        EXPECT_HAS(demo.out, part);
    EXPECT_TRUE(test::ListDir(tmp).empty());
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_UNDEFINED__)
    if (!test::IsRoot())
        return;
    const Result failed = Run({"demo"}, "ulimit -n 4 && TMPDIR=" + tmp);
    EXPECT_EQ(failed.status, 1);
    EXPECT_HAS(failed.err, "cmtool: 48 demo steps failed: ");
    EXPECT_TRUE(test::ListDir(tmp).empty());
    EXPECT_EQ(ReadAll("/proc/self/mounts").find(tmp), std::string::npos);
#endif
}

// The index checker as a library: its progress calls, the order of its
// entries, its errors.
class Checker : public test::CacheTest {};

// Entries in numeric order, not text order; a few examples and the count of
// the rest; progress every 1024 names. No module, or no initialised manager
// to repair with: an error that says so.
TEST_F(Checker, ALargeIndexReportsProgressAndCountsBeyondItsExamples)
{
    Manager();
    const std::string entryDir = layout::EntryDir(T(), 1700000001ull << 8);
    for (uint32_t i = 1; i <= 1500; ++i)
        test::MakeLink(layout::EntryTarget(0, 1, Item("gone" + std::to_string(i))), layout::EntryPath(entryDir, i));
    cm::check::CheckOptions options;
    options.moduleRoot = ModuleRoot();
    options.maxExamples = 3;
    std::vector<uint64_t> calls;
    options.progress = [&calls](uint64_t names) { calls.push_back(names); };
    cm::check::CheckReport report;
    std::string error;
    ASSERT_TRUE(cm::check::CheckIndex(options, report, error)) << error;
    ASSERT_EQ(report.entries.size(), 1500u);
    EXPECT_EQ(report.entries[9].number, 10u);
    EXPECT_NE(report.Format().find("... and 1497 more"), std::string::npos) << report.Format();
    EXPECT_EQ(calls.at(0), 1024u);

    options.moduleRoot = dir() + "/CM/9";
    EXPECT_FALSE(cm::check::CheckIndex(options, report, error));
    EXPECT_NE(error.find("no module at"), std::string::npos) << error;
    CacheManagerImpl never;
    cm::check::RepairReport repair;
    EXPECT_FALSE(cm::check::RepairIndex(never, options, false, repair, error));
    EXPECT_EQ(error, "the cache manager is not initialised");
}

}  // namespace
