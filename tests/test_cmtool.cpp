// cmtool, run as a program on modules made by the library.
#include "tests/TestSupport.h"

#include <algorithm>
#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "cachemanager/CacheLock.h"
#include "cachemanager/timetable/Layout.h"
#include "tools/checker/IndexChecker.h"

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

// How a run differs from a plain one.
struct RunAs {
    std::string tmpdir;             // $TMPDIR
    std::string out;                // standard output goes here instead
    bool nobody = false;            // uid and gid 65534
    int fileLimit = 0;              // RLIMIT_NOFILE
    bool terminal = false;          // standard error on a terminal
    std::function<void()> during;  // done while cmtool runs
};

std::string ReadAll(const std::string& path)
{
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

size_t Lines(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

// Every path under top but dot files, with its link text and size.
std::string Snapshot(const std::string& top)
{
    std::string text;
    for (const std::string& name : test::ListDir(top)) {
        const std::string child = top + "/" + name;
        if (name[0] != '.')
            text += child + " " + test::LinkText(child) + " " + std::to_string(test::FileSize(child)) + "\n" +
                    (test::IsDir(child) && !test::IsLink(child) ? Snapshot(child) : "");
    }
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

    // Runs cmtool with args in dir() through the shell, standard output and
    // error into files.
    Result Run(const std::vector<std::string>& args, const RunAs& as = RunAs())
    {
        const std::string out = as.out.empty() ? dir() + "/.out" : as.out;
        const std::string err = dir() + "/.err";
        std::string line = "cd " + dir() + " && export TZ=UTC" + (as.tmpdir.empty() ? "" : " TMPDIR=" + as.tmpdir) +
                           " && exec >" + out + (as.terminal ? "" : " 2>" + err) +
                           (as.fileLimit != 0 ? " && ulimit -n " + std::to_string(as.fileLimit) : "") + " && exec" +
                           (as.nobody ? " setpriv --reuid=65534 --regid=65534 --clear-groups " : " ") + kCmtool;
        for (const std::string& arg : args)
            line += " '" + arg + "'";  // no argument holds a quote
        if (as.terminal)  // standard error on a terminal
            line = "script -qec \"" + line + "\" /dev/null </dev/null >" + err;
        const pid_t child = fork();
        if (child == 0) {
            for (int fd = STDERR_FILENO + 1; fd < 1024; ++fd)
                close(fd);
            execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        if (as.during)
            as.during();
        int status = 0;
        waitpid(child, &status, 0);
        const Result result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, as.out.empty() ? ReadAll(out) : "",
                            ReadAll(err)};
        unlink((dir() + "/.out").c_str());
        unlink(err.c_str());
        return result;
    }

    // cmtool on this test's module 7.
    Result Tool(std::vector<std::string> args, const RunAs& as = RunAs())
    {
        args.insert(args.begin(), {"--cache-dir", dir(), "--module", "7"});
        return Run(args, as);
    }

    // cmtool on module 7, which must succeed: what it prints.
    std::string Done(const std::vector<std::string>& args, const RunAs& as = RunAs())
    {
        const Result result = Tool(args, as);
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

TEST_F(Cmtool, LsStatAndCheckReadAModuleTheLibraryMade)
{
    CacheManagerImpl& manager = Manager();
    const std::string c = Add(manager, "c.bin", 300, Key(3));
    const std::string a = Add(manager, "a.bin", 100, Key(1));
    const std::string b = Add(manager, "deep/b.bin", 200, Key(2));
    ASSERT_TRUE(manager.UpdateItem(c, PRUNE_UNLINK_RECURSE));
    ASSERT_TRUE(manager.HideItem(Add(manager, "hidden.bin", 50, Key(4)), 0));
    // A record of another module's item beside ours is none of this
    // module's business.
    test::MakeLink("10:1:" + Item("other.bin"), dir() + "/CM/8/T/1/2/3/4/5/1");
    test::WriteFile(Item("other.bin"), 10);
    test::MakeLink(dir() + "/CM/8/T/1/2/3/4/5/1", RecordOf(Item("other.bin")));

    const std::string ls = Done({"ls"});
    EXPECT_EQ(Lines(ls), 5u) << ls;
    EXPECT_LT(ls.find(a), ls.find(b));
    EXPECT_LT(ls.find(b), ls.find(c));
    for (const std::string& part : {"unlink-recurse  " + c, "     100 B  unlink          " + a,
                                    std::string("2023-11-14 22:13:21.0 +0000"), std::string("3 items, 600 bytes")})
        EXPECT_HAS(ls, part);
    EXPECT_HAS(Done({"ls", "--json"}), "\"key\": " + std::to_string(Key(1)) +
                                               ", \"size\": 100, \"method\": \"unlink\", \"item\": \"" + a +
                                               "\", \"entry\": \"" + test::LinkText(RecordOf(a)) + "\"}");
    const std::string stat = Done({"--bytes-min-free", "10", "stat"});
    for (const std::string& part : {std::string("module size   600 bytes"), "  " + a + "\nlatest", "  " + c + "\n",
                                    std::string("entries       3; their files hold 600 bytes"),
                                    std::string("oldest link   none"), std::string("reserve 10% = ")})
        EXPECT_HAS(stat, part);

    // Progress on a terminal only, and not with --quiet.
    RunAs tty;
    tty.terminal = true;
    EXPECT_HAS(Tool({"check"}, tty).err, "] 0/3   0% ");
    EXPECT_EQ(Tool({"check", "--quiet"}, tty).err, "");
    EXPECT_EQ(Done({"check", "--items", dir() + "/items"}),
              "clean: 3 entries, 600 bytes in their items, size total 600 bytes\n"
              "not locked: hosts at work may show as faults (--lock takes the cache lock)\n");

    // Under the lock, a change half made by a host is waited for, not
    // reported: the host holds the lock while the record is away.
    const std::string recordOfB = RecordOf(b);
    const std::string entryOfB = test::LinkText(recordOfB);
    TakeCacheLock hold(manager.m_ptrCacheLock);
    ASSERT_EQ(unlink(recordOfB.c_str()), 0);
    RunAs busy;
    busy.during = [&] {
        usleep(300 * 1000);
        test::MakeLink(entryOfB, recordOfB);
        hold.m_ptrCacheLock->UnLock();
        hold.m_ptrCacheLock.reset();
    };
    EXPECT_EQ(Done({"check", "--lock"}, busy), "clean: 3 entries, 600 bytes in their items, size total 600 bytes\n");

    // Pruning moves the oldest link onto the next entry.
    size.freeBytesFn = [this] { return size.freeSpaceQueries > 1 ? 1000000u : 0u; };
    size.freeSpaceQueries = 0;
    ASSERT_TRUE(manager.CreateSpace(c, 1)) << log().Dump();
    ASSERT_FALSE(test::Exists(a));
    EXPECT_EQ(Done({"check", "--lock", "--items", dir() + "/items"}),
              "clean: 2 entries, 500 bytes in their items, size total 500 bytes\n");
    EXPECT_EQ(test::LinkText(ModuleRoot() + "/oldest"), entryOfB);
}

TEST_F(Cmtool, DrivesEveryItemOperationThroughTheLibrary)
{
    const std::string x = Item("x.bin");
    const std::string y = Item("y.bin");
    const std::string sizeLink = ModuleRoot() + "/size";
    test::WriteFile(x, 1000);
    test::WriteFile(y, 500);

    // A relative item path is taken from the working directory.
    const std::string add = Done({"add", "items/x.bin", "--method", "unlink", "--create"});
    const std::string entryOfX = test::LinkText(RecordOf(x));
    EXPECT_EQ(add, "filed " + x + ": 1000 bytes, unlink, entry " + entryOfX + "\n");
    EXPECT_EQ(test::LinkText(entryOfX), layout::EntryTarget(1000, PRUNE_UNLINK, x));
    Done({"add", y});
    EXPECT_EQ(test::LinkText(sizeLink), "1500");
    EXPECT_EQ(Done({"update", x, "--method", "unlink-recurse"}), x + ": prune method now unlink-recurse\n");
    EXPECT_EQ(test::LinkText(entryOfX), layout::EntryTarget(1000, PRUNE_UNLINK_RECURSE, x));

    // A host files the new size first, then writes: the library makes room
    // for it and counts the growth. The item keeps its prune method.
    Done({"update", x, "--size", "2000"});
    test::WriteFile(x, 2000);
    EXPECT_EQ(test::LinkText(test::LinkText(RecordOf(x))), layout::EntryTarget(2000, PRUNE_UNLINK_RECURSE, x));
    EXPECT_EQ(test::LinkText(sizeLink), "2500");

    EXPECT_EQ(Done({"hide", y}), "hid " + y + ": out of the cache, its file left alone\n");
    EXPECT_FALSE(test::Exists(RecordOf(y)));
    EXPECT_EQ(test::FileSize(y), 500);
    EXPECT_EQ(test::LinkText(sizeLink), "2000");
    EXPECT_HAS(Done({"unhide", y}), "unhid " + y + ": 500 bytes");

    // delete says what became of the file.
    EXPECT_EQ(Done({"delete", x}), "deleted " + x + " from the cache; its file was unlinked\n");
    EXPECT_FALSE(test::Exists(x));
    EXPECT_EQ(test::LinkText(sizeLink), "500");
    Done({"check"});
    ASSERT_EQ(unlink(y.c_str()), 0);
    EXPECT_EQ(Done({"delete", y}), "deleted " + y + " from the cache; its file was not there\n");
    const std::string loose = Item("loose.bin");
    test::WriteFile(loose, 10);
    EXPECT_EQ(Done({"delete", loose, "--force"}), loose + " was not in the cache; its file was truncated\n");
    EXPECT_EQ(test::FileSize(loose), 0);

    // The library's own lines on request.
    test::WriteFile(Item("z.bin"), 10);
    Result logged = Tool({"--log-level", "4", "add", Item("z.bin")});
    EXPECT_EQ(logged.status, 0);
    EXPECT_HAS(logged.err, "sizein [10]");
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
    args.shareModuleState = true;
    CacheManagerImpl& host = Manager(args);
    for (const char* name : {"a", "b", "c"})
        Add(host, name, 100, 0);
    const std::string stat = Done({"stat", "--json"});
    for (const char* field : {"\"settings\": {\"bytesMinFree\": 0, \"inodesMinFree\": 0", "\"pruneMethod\": 2",
                              "\"pruneMode\": 0", "\"processModel\": 2", "\"maxModuleBytes\": 250",
                              "\"maxItemAgeSeconds\": 86400", "\"statistics\": {\"prunedItems\": 1",
                              "\"capItems\": 1", "\"lastPrunedAgeSeconds\": "})
        EXPECT_HAS(stat, field);
    EXPECT_HAS(Done({"stat"}), "statistics    1 items, 100 B pruned (cap 1); 0 requests refused; last prune ");

    // Filed with the hosts' method, under their cap: one more goes.
    const std::string published = test::LinkText(layout::SettingsLink(ModuleRoot()));
    test::WriteFile(Item("d"), 100);
    EXPECT_HAS(Done({"add", Item("d")}), "100 bytes, unlink-recurse");
    EXPECT_FALSE(test::Exists(Item("b")));
    EXPECT_HAS(Done({"stat", "--json"}), "\"prunedItems\": 2");
    EXPECT_EQ(test::LinkText(layout::SettingsLink(ModuleRoot())), published);  // the tool's own stay its own

    Done({"stat", "--zero"});
    EXPECT_FALSE(test::Exists(layout::StatisticsLink(ModuleRoot())));
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

    RunAs foreground;
    foreground.out = dir() + "/maintainer.out";
    const std::string lock = layout::MaintainerLock(ModuleRoot());
    foreground.during = [&] {
        for (int wait = 0; wait < 500 && ReadAll(foreground.out).empty(); ++wait)
            usleep(10000);
        Result second = Tool({"maintain", "--once"});
        EXPECT_EQ(second.status, 1);
        EXPECT_HAS(second.err, "another maintainer runs for " + ModuleRoot() + " (process " + ReadAll(lock) + ")");
        kill(static_cast<pid_t>(std::stol("0" + ReadAll(lock))), SIGTERM);
    };
    Done({"maintain", "--interval", "0.05"}, foreground);
    EXPECT_HAS(ReadAll(foreground.out), "stopped by a signal");
    EXPECT_EQ(ReadAll(lock), "");
}

// Each mistake and each refusal: its exit status, one line on stderr, and
// nothing changed on disk. Help, for the tool and for every command.
TEST_F(Cmtool, MistakesAndRefusalsChangeNothing)
{
    CacheManagerImpl& manager = Manager();
    const std::string x = Add(manager, "x.bin", 100, Key(1));
    CacheArgs other = Args();
    other.moduleId = 5;
    Manager(other);
    const std::string loose = Item("loose.bin");
    test::WriteFile(loose, 10);
    const std::string d = dir();
    const auto on = [&d](const char* module, std::vector<std::string> rest) {
        rest.insert(rest.begin(), {"--cache-dir", d, "--module", module});
        return rest;
    };
    const std::string noModule9 = "cmtool: no module at " + d + "/CM/9: No such file or directory";
    struct Row {
        std::vector<std::string> args;
        int status;
        std::string err;  // a part of the one line on stderr
        std::string out;  // where standard output goes, when not to a file
    };
    std::vector<Row> rows = {
        {{}, 2, "", ""},
        {{"--help"}, 0, "", ""},
        {{"frobnicate"}, 2, "cmtool: unknown command [frobnicate] (see cmtool --help)\n", ""},
        {{"ls"}, 2, "cmtool: ls needs --cache-dir DIR and --module N (see cmtool --help)\n", ""},
        {{"--module", "x", "ls"}, 2, "--module needs a number from 0 to 4294967295, not [x]", ""},
        {on("7", {"ls", "--size", "5"}), 2, "cmtool: ls takes no --size (see cmtool --help)\n", ""},
        {on("7", {"add"}), 2, "cmtool: add takes one item path", ""},
        {on("7", {"add", "x", "--method", "shred"}), 2, "--method is truncate, unlink or unlink-recurse", ""},
        {on("7", {"prune"}), 2, "cmtool: prune needs one of --bytes N, --to-size SIZE, --older-than AGE", ""},
        {on("7", {"prune", "--to-size", "5KB"}), 2, "--to-size needs a byte count", ""},
        {on("7", {"clear"}), 1, "cmtool: clear prunes all 1 items of module 7 (100 B as filed): give --yes", ""},
        {on("9", {"ls"}), 3, noModule9 + "\n", ""},
        {on("9", {"check"}), 3, noModule9 + "\n", ""},
        {on("9", {"repair"}), 3, noModule9 + "\n", ""},
        {on("9", {"prune", "--bytes", "1"}), 3, noModule9 + "\n", ""},
        {on("9", {"add", loose}), 3, noModule9 + " (--create makes it)\n", ""},
        {{"--cache-dir", d + "/typo", "--module", "7", "add", loose}, 3, "no cache directory " + d + "/typo", ""},
        {on("7", {"delete", loose}), 1, "is not in the cache: nothing changed (--force prunes its file anyway)", ""},
        {on("7", {"delete", Item("missing.bin")}), 1, "is not in the cache: nothing changed", ""},
        {on("7", {"delete", "--force", d + "/items"}), 1, d + "/items is a directory", ""},
        {on("7", {"add", "CM/7/size", "--size", "5"}), 1, d + "/CM/7/size lies in the cache's own index", ""},
        {on("7", {"delete", d + "/CM/7/size"}), 1, "lies in the cache's own index", ""},
        {on("5", {"add", x}), 1, x + ": its record names [", ""},
        {on("5", {"delete", x, "--force"}), 1, "outside the index of module 5: refused", ""},
        {on("7", {"add", loose, "--size", "0"}), 1, loose + ": 0 bytes", ""},
        {on("7", {"add", Item("nothing.bin")}), 1, "nothing.bin: No such file or directory; give its size with", ""},
        {on("7", {"add", loose + "/under.bin", "--size", "10"}), 1, "cmtool: add " + loose + "/under.bin failed: ", ""},
        {on("7", {"add", loose, "--size", "16777216G"}), 1, "refused, nothing pruned", ""},
        {on("7", {"prune", "--bytes", "16777216G"}), 1, "refused, nothing pruned", ""},
        {on("7", {"hide", loose}), 1, loose + " is not in the cache: nothing changed", ""},
        {on("7", {"update", loose, "--method", "unlink"}), 1, loose + " is not in the cache: nothing changed", ""},
        {on("7", {"ls"}), 1, "cmtool: cannot write standard output: No space left on device\n", "/dev/full"},
        {on("7", {"stat", "--svg", d + "/no/ages.svg"}), 1, "cmtool: cannot write the picture: " + d + "/no", ""},
    };
    for (const char* command : {"modules", "stat", "ls", "check", "repair", "add", "update", "delete", "hide",
                                "unhide", "prune", "clear", "demo", "maintain"})
        rows.push_back({{command, "--help"}, 0, "", ""});
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.args));
        const std::string before = Snapshot(d);
        RunAs as;
        as.out = row.out;
        const Result result = Run(row.args, as);
        EXPECT_EQ(result.status, row.status);
        if (!row.err.empty()) {
            EXPECT_HAS(result.err, row.err);
            EXPECT_EQ(Lines(result.err), 1u) << result.err;
        }
        EXPECT_EQ(Snapshot(d), before);
    }
}

TEST_F(Cmtool, OnARealSmallFileSystemPrunesTheOldestAndSaysWhyItCannotOpen)
{
    SKIP_UNLESS_ROOT();
    const std::string fs = dir() + "/fs";
    test::MakeDirs(fs);
    test::TmpfsMount mount(fs, "size=1m");
    ASSERT_TRUE(mount.ok());
    const auto on = [&fs](std::vector<std::string> rest) {
        rest.insert(rest.begin(), {"--cache-dir", fs, "--module", "3"});
        return rest;
    };
    std::vector<std::string> items;
    for (const char* name : {"a", "b", "c"}) {
        items.push_back(fs + "/items/" + name);
        test::WriteFile(items.back(), 200 * 1024);
        ASSERT_EQ(Run(on({"add", items.back(), "--method", "unlink", "--create"})).status, 0);
    }
    Result prune = Run(on({"prune", "--bytes", "700K", "--verbose"}));
    ASSERT_EQ(prune.status, 0) << prune.err;
    EXPECT_HAS(prune.out, "unlink          " + items[0] + "\n  pruned ");
    EXPECT_HAS(prune.out, items[1] + "\npruned 2 items (400 KiB as filed); the file system gained ");
    EXPECT_FALSE(test::Exists(items[0]));
    EXPECT_TRUE(test::Exists(items[2]));

    // More than the file system holds is refused before anything is pruned.
    Result tooMuch = Run(on({"prune", "--bytes", "2M"}));
    EXPECT_EQ(tooMuch.status, 1);
    EXPECT_HAS(tooMuch.err, "no room for --bytes (2097152 bytes) on a file system of 1.0 MiB");
    EXPECT_TRUE(test::Exists(items[2]));

    // Read-only, and not ours to write: the reason, with the path.
    const std::string cannot = "cmtool: cannot open the cache at " + fs + "/CM/3: " + fs + "/CM/3/lockfile: ";
    ASSERT_TRUE(mount.RemountReadOnly(true));
    Result readOnly = Run(on({"add", items[2]}));
    EXPECT_EQ(readOnly.status, 1);
    EXPECT_EQ(readOnly.err, cannot + "Read-only file system\n");
    ASSERT_TRUE(mount.RemountReadOnly(false));
    ASSERT_EQ(chmod(dir().c_str(), 0755), 0);
    RunAs nobody;
    nobody.nobody = true;
    Result denied = Run(on({"delete", items[2]}), nobody);
    EXPECT_EQ(denied.status, 1);
    EXPECT_EQ(denied.err, cannot + "Permission denied\n");
    EXPECT_TRUE(test::Exists(items[2]));
}

// Every kind of damage, two of them as killed updates leave them. Killed
// between taking the old entry away and filing the new one, an item has a
// record that names nothing: repair files it again. Killed after the new entry
// was made but before its record, and hidden since, an item has an entry and
// no record: repair drops the entry and leaves the item out of the cache. A
// check and a dry run change nothing; repair mends all in one pass, as the dry
// run said, and the cache works on.
TEST_F(Cmtool, CheckAndRepairEveryKindOfDamageAndNoHiddenItemComesBack)
{
    CacheManagerImpl& manager = Manager();
    std::vector<std::string> items;  // a to g
    for (int i = 1; i <= 7; ++i)
        items.push_back(Add(manager, std::string(1, "abcdefg"[i - 1]) + ".bin", i < 7 ? 100u * i : 7, Key(i)));
    const std::string &a = items[0], &b = items[1], &c = items[2], &d = items[3], &e = items[4], &f = items[5];
    const std::string& g = items[6];
    const std::string entryDirA = test::ParentOf(test::LinkText(RecordOf(a)));
    const std::string level1 = T() + "/" + std::to_string(Key(1) >> 32);
    const std::string oldEntryD = test::LinkText(RecordOf(d));
    CacheItemInfo old;
    ASSERT_TRUE(manager.RemoveItemAtPosition(test::LinkText(RecordOf(g)), old, true));
    EXPECT_EQ(test::RunInChild([&] {
                  std::string orphan;
                  if (manager.RemoveItemAtPosition(test::LinkText(RecordOf(b)), old, true) &&
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
    Result found = Tool({"check", "--items", dir() + "/items"});
    EXPECT_EQ(found.status, 1);
    EXPECT_HAS(found.out, "18 faults in ");
    const std::pair<cm::check::FindingKind, int> counts[] = {
        {cm::check::ENTRY_BAD_DEPTH, 1}, {cm::check::ENTRY_MALFORMED, 1}, {cm::check::ENTRY_NO_RECORD, 2},
        {cm::check::ENTRY_RECORD_ELSEWHERE, 1}, {cm::check::ENTRY_DUPLICATE, 1}, {cm::check::RECORD_MISSING_ENTRY, 3},
        {cm::check::RECORD_NOT_ENTRY, 1}, {cm::check::SIZE_MISMATCH, 1}, {cm::check::OLDEST_NOT_OLDEST, 1},
        {cm::check::EMPTY_DIR, 1}, {cm::check::JUNK, 5}};
    for (const auto& count : counts)
        EXPECT_HAS(found.out, std::string("\n  ") + cm::check::FindingTag(count.first) + ": " +
                                  std::to_string(count.second) + " ");
    EXPECT_EQ(found.out.find(cm::check::FindingTag(cm::check::OLDEST_STALE)), std::string::npos);
    EXPECT_HAS(found.out, "entry-duplicate: 1 older entries");
    EXPECT_HAS(found.out, "/size: holds 2107 bytes; the indexed items hold 1800 bytes\n");
    EXPECT_HAS(found.out, "\n    " + oldEntryD + ": an older entry");
    EXPECT_HAS(found.out, "\n    " + T() + "/5/6/7: holds nothing");
    EXPECT_HAS(found.out, "\n    " + RecordOf(g) + ": names [");

    const std::string dry = Done({"repair", "--dry-run", "--items", dir() + "/items"});
    EXPECT_EQ(Snapshot(dir()), before) << "a check or a dry run changed something";
    EXPECT_HAS(dry, " (" + b + " has no record; its file is left alone)");
    EXPECT_HAS(dry, "would: rewrite the size total: 2107 -> 1607\n");
    EXPECT_HAS(dry, "now: 18 faults");
    const std::string repair = Done({"repair", "--items", dir() + "/items"});
    EXPECT_HAS(repair, "did: file " + g + " afresh at the young end with its 7 bytes");
    EXPECT_HAS(repair, "did: remove record " + RecordOf(Item("old.bin")));
    EXPECT_HAS(repair, "did: remove empty directory " + T() + "/5/6/7\n");
    EXPECT_HAS(repair, "after: clean: 5 entries, 1607 bytes in their items, size total 1607 bytes\n");
    const auto actions = [](const std::string& text, const std::string& verb) {  // its lines that begin with verb
        std::istringstream lines(text);
        std::string kept;
        for (std::string line; std::getline(lines, line);)
            kept += line.compare(0, verb.size(), verb) == 0 ? line.substr(verb.size()) + "\n" : "";
        return kept;
    };
    EXPECT_NE(actions(dry, "would: "), "");
    EXPECT_EQ(actions(dry, "would: "), actions(repair, "did: "));
    EXPECT_FALSE(test::Exists(RecordOf(b)));  // orphan entries gone, b's file left alone
    EXPECT_EQ(test::FileSize(b), 200);
    EXPECT_FALSE(test::Exists(RecordOf(c)));
    EXPECT_EQ(test::LinkText(RecordOf(d)), newEntryD);  // the newer entry kept
    EXPECT_FALSE(test::Exists(oldEntryD));
    EXPECT_EQ(test::LinkText(test::LinkText(RecordOf(e))), layout::EntryTarget(500, 1, e));  // re-pointed
    EXPECT_EQ(test::LinkText(test::LinkText(RecordOf(g))), layout::EntryTarget(7, PRUNE_TRUNCATE, g));  // filed afresh
    EXPECT_FALSE(test::Exists(RecordOf(h)));
    EXPECT_TRUE(test::Exists(h));  // the items themselves are the host's
    EXPECT_FALSE(test::Exists(ModuleRoot() + "/oldest"));
    EXPECT_FALSE(test::Exists(T() + "/5"));
    EXPECT_EQ(test::LinkText(ModuleRoot() + "/size"), "1607");
    EXPECT_EQ(Done({"repair"}), "nothing to repair\nafter: clean: 5 entries, 1607 bytes in their items, "
                                    "size total 1607 bytes\n");

    // The cache works: every item operation, and pruning the two oldest.
    const std::string fresh = Add(manager, "fresh.bin", 50, 0);
    EXPECT_TRUE(manager.UpdateItem(b, 200, 0)) << log().Dump();
    EXPECT_TRUE(manager.HideItem(d, 0)) << log().Dump();
    EXPECT_TRUE(manager.UnHideItem(d, 400, 0)) << log().Dump();
    EXPECT_TRUE(manager.DeleteFromCache(e)) << log().Dump();
    size.freeBytesFn = [this] { return size.freeSpaceQueries > 2 ? 1000000u : 0u; };
    size.freeSpaceQueries = 0;
    EXPECT_TRUE(manager.CreateSpace(fresh, 1)) << log().Dump();
    EXPECT_FALSE(test::Exists(a));
    EXPECT_FALSE(test::Exists(f));
    EXPECT_HAS(Done({"check", "--items", dir() + "/items"}), "clean: 4 entries");
}

// prune by size and by age, and clear: each step's outcome on disk. The
// three oldest were filed in 2023, the two others now.
TEST_F(Cmtool, PrunePoliciesAndClearTakeTheOldestFirst)
{
    CacheManagerImpl& manager = Manager();
    std::vector<std::string> items;
    for (int i = 1; i <= 5; ++i)
        items.push_back(Add(manager, "i" + std::to_string(i), 100 * static_cast<size_t>(i), i <= 3 ? Key(i) : 0));
    struct Row {
        std::vector<std::string> args;
        std::string out;  // a part of what it prints
        size_t left;      // entries left in the index
    };
    const Row rows[] = {
        {{"prune", "--older-than", "1d", "--dry-run"}, "would prune 3 items (600 B as filed)\n", 5},
        {{"prune", "--older-than", "1d", "--verbose"}, "unlink          " + items[2] + "\npruned 3 items (600 B", 2},
        {{"prune", "--to-size", "1KiB"}, "pruned 0 items", 2},
        {{"prune", "--to-size", "500"}, "pruned 1 item (400 B as filed)", 1},
        {{"clear", "--yes", "--json"}, "{\"dryRun\": false, \"items\": 1, \"bytesAsFiled\": 500, \"freeBefore\": ", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args[0] + " " + row.args[1]);
        EXPECT_HAS(Done(row.args), row.out);
        EXPECT_HAS(Done({"check"}), "clean: " + std::to_string(row.left) + " entries");
    }
    for (const std::string& item : items)
        EXPECT_FALSE(test::Exists(item)) << item;  // unlinked, the fixture's method
    EXPECT_EQ(test::LinkText(ModuleRoot() + "/size"), "0");
}

// Every report as JSON, for a name that is not UTF-8 too: valid JSON whose
// escapes give back the name's bytes. Then modules, and stat --ages.
TEST_F(Cmtool, JsonReportsAreValidForAnyFileName)
{
    if (system("python3 -c 'import json' 2>/dev/null") != 0)
        GTEST_SKIP() << "needs python3 to read JSON";
    CacheManagerImpl& manager = Manager();
    const std::string odd = Add(manager, "caf\xc3\xa9 \xff\"\\\x01.bin", 10, Key(1));
    Add(manager, "b.bin", 20, Key(2));
    const std::string json = dir() + "/.json";
    const std::string name = dir() + "/.name";
    std::ofstream(name, std::ios::binary) << odd;
    RunAs to;
    to.out = json;
    // ls --json names the odd item first: its escapes must give its bytes.
    const std::string read = "python3 -c 'import json,os,sys; v=json.load(open(sys.argv[1])); sys.exit(len(sys.argv) "
                             "> 2 and os.fsencode(v[0][\"item\"]) != open(sys.argv[2], \"rb\").read())' " + json;
    const std::vector<std::vector<std::string>> commands = {
        {"ls", "--json"}, {"stat", "--ages", "--json"}, {"check", "--json"}, {"repair", "--dry-run", "--json"},
        {"prune", "--to-size", "20", "--dry-run", "--json"}, {"clear", "--dry-run", "--json"}};
    for (const std::vector<std::string>& command : commands) {
        SCOPED_TRACE(command[0]);
        Done(command, to);
        EXPECT_EQ(system((read + (command[0] == "ls" ? " " + name : "")).c_str()), 0) << ReadAll(json);
    }
    EXPECT_EQ(Run({"--cache-dir", dir(), "modules", "--json"}, to).status, 0);
    EXPECT_EQ(system(read.c_str()), 0) << ReadAll(json);
    EXPECT_HAS(Run({"--cache-dir", dir(), "modules"}).out, "         7         30 B        2  ");

    // How old the items are, as text and as a picture.
    const std::string svg = dir() + "/ages.svg";
    EXPECT_HAS(Done({"stat", "--ages", "--svg", svg}), "item ages:\n  >= 1y          " + std::string(14, ' ') + "2");
    EXPECT_EQ(ReadAll(svg).find("<svg "), 0u);
    EXPECT_HAS(ReadAll(svg), ">&gt;= 1y</text>");
}

TEST_F(Cmtool, DemoPrunesByEveryMethodAndCleansUpOnEveryWayOut)
{
    const std::string tmp = dir() + "/tmp";
    test::MakeDirs(tmp);
    RunAs as;
    as.tmpdir = tmp;
    Result demo = Run({"demo"}, as);
    ASSERT_EQ(demo.status, 0) << demo.out << demo.err;
    for (const char* part : {test::IsRoot() ? "tmpfs: the library's own size provider" : "played by counting the files",
                             "Pruned to keep the reserve: ", "  unlink          media/", "truncated, name kept\n",
                             "unlinked with its emptied dirs\n", "\nclean: "})
        EXPECT_HAS(demo.out, part);
    EXPECT_EQ(demo.out.find("FAILED"), std::string::npos) << demo.out;
    EXPECT_TRUE(test::ListDir(tmp).empty());

    // With one file descriptor to spare every step fails; the tmpfs goes all
    // the same. (A sanitizer's own checks need descriptors too: under one,
    // the run ends in a false report instead.)
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_UNDEFINED__)
    if (!test::IsRoot())
        return;
    as.fileLimit = 4;
    Result failed = Run({"demo"}, as);
    EXPECT_EQ(failed.status, 1);
    EXPECT_HAS(failed.err, "cmtool: 48 demo steps failed: ");
    EXPECT_TRUE(test::ListDir(tmp).empty());
    EXPECT_EQ(ReadAll("/proc/self/mounts").find(tmp), std::string::npos);
#endif
}

}  // namespace
