// cmtool, run as a program on modules made by the library.
#include "tests/TestSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "cachemanager/timetable/Layout.h"

namespace {

namespace layout = cm::layout;

uint64_t Key(int second) { return (1700000000ull + static_cast<uint64_t>(second)) << 8; }

struct Result {
    int status;
    std::string out;
    std::string err;
};

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

size_t Lines(const std::string& text)
{
    size_t lines = 0;
    for (const char c : text)
        lines += c == '\n';
    return lines;
}

class Cmtool : public test::CacheTest {
protected:
    void SetUp() override
    {
        test::CacheTest::SetUp();
#ifndef CMTOOL_PATH
        GTEST_SKIP() << "cmtool is not built (CACHEMANAGER_BUILD_TOOLS is off)";
#endif
    }

    // Runs cmtool with args, standard output and error into files.
    Result Run(std::vector<std::string> args, const std::string& tmpdir = std::string())
    {
#ifdef CMTOOL_PATH
        args.insert(args.begin(), CMTOOL_PATH);
#endif
        const std::string out = dir() + "/.out";
        const std::string err = dir() + "/.err";
        const pid_t child = fork();
        if (child == 0) {
            const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(outFd, STDOUT_FILENO);
            dup2(errFd, STDERR_FILENO);
            if (!tmpdir.empty())
                setenv("TMPDIR", tmpdir.c_str(), 1);
            std::vector<char*> argv;
            for (std::string& arg : args)
                argv.push_back(&arg[0]);
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        int status = 0;
        waitpid(child, &status, 0);
        Result result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadAll(out), ReadAll(err)};
        unlink(out.c_str());
        unlink(err.c_str());
        return result;
    }

    // cmtool on this test's module 7.
    Result Tool(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--cache-dir", dir(), "--module", "7"});
        return Run(args);
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
    const std::string entryOfA = test::LinkText(RecordOf(a));

    Result ls = Tool({"ls"});
    ASSERT_EQ(ls.status, 0) << ls.err;
    EXPECT_EQ(Lines(ls.out), 5u) << ls.out;
    EXPECT_LT(ls.out.find(a), ls.out.find(b));
    EXPECT_LT(ls.out.find(b), ls.out.find(c));
    EXPECT_HAS(ls.out, "unlink-recurse  " + c);
    EXPECT_HAS(ls.out, "       100  unlink          " + a);
    EXPECT_HAS(ls.out, "3 items, 600 bytes");

    Result json = Tool({"ls", "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(json.out.substr(0, 4), "[\n  ");
    EXPECT_HAS(json.out, "\"key\": " + std::to_string(Key(1)) + ", \"size\": 100, \"method\": \"unlink\", \"item\": \"" +
                             a + "\", \"entry\": \"" + entryOfA + "\"}");
    EXPECT_EQ(json.out.substr(json.out.size() - 4), "}\n]\n") << json.out;

    Result stat = Tool({"--bytes-min-free", "10", "stat"});
    ASSERT_EQ(stat.status, 0) << stat.err;
    EXPECT_HAS(stat.out, "module size   600 bytes");
    EXPECT_HAS(stat.out, "entries       3; their files hold 600 bytes");
    EXPECT_HAS(stat.out, "  " + a + "\nlatest");
    EXPECT_HAS(stat.out, "  " + c + "\n");
    EXPECT_HAS(stat.out, "oldest link   none");
    EXPECT_HAS(stat.out, "reserve 10% = ");

    Result clean = Tool({"check", "--items", dir() + "/items"});
    EXPECT_EQ(clean.status, 0) << clean.out << clean.err;
    EXPECT_EQ(clean.out, "clean: 3 entries, 600 bytes in their items, size total 600 bytes\n");

    // Reading never creates a module.
    Result none = Run({"--cache-dir", dir(), "--module", "9", "ls"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "cmtool: no module at " + dir() + "/CM/9: No such file or directory\n");
    Result noCheck = Run({"--cache-dir", dir(), "--module", "9", "check"});
    EXPECT_EQ(noCheck.status, 2);
    EXPECT_EQ(noCheck.err, none.err);
    EXPECT_FALSE(test::Exists(dir() + "/CM/9"));
}

TEST_F(Cmtool, DrivesEveryItemOperationThroughTheLibrary)
{
    const std::string x = Item("x.bin");
    const std::string y = Item("y.bin");
    test::WriteFile(x, 1000);
    test::WriteFile(y, 500);

    Result add = Tool({"add", x, "--method", "unlink"});
    ASSERT_EQ(add.status, 0) << add.err;
    const std::string entryOfX = test::LinkText(RecordOf(x));
    EXPECT_EQ(add.out, "filed " + x + ": 1000 bytes, unlink, entry " + entryOfX + "\n");
    EXPECT_EQ(test::LinkText(entryOfX), layout::EntryTarget(1000, PRUNE_UNLINK, x));
    ASSERT_EQ(Tool({"add", y}).status, 0);
    EXPECT_EQ(test::LinkText(ModuleRoot() + "/size"), "1500");

    Result method = Tool({"update", x, "--method", "unlink-recurse"});
    EXPECT_EQ(method.out, x + ": prune method now unlink-recurse\n");
    EXPECT_EQ(test::LinkText(entryOfX), layout::EntryTarget(1000, PRUNE_UNLINK_RECURSE, x));
    EXPECT_EQ(Tool({"update", Item("absent.bin"), "--method", "unlink"}).out,
              Item("absent.bin") + " is not in the cache: nothing changed\n");

    // A host files the new size first, then writes: the library makes room
    // for it and counts the growth against the file as it was.
    ASSERT_EQ(Tool({"update", x, "--size", "2000"}).status, 0);
    test::WriteFile(x, 2000);
    EXPECT_EQ(test::LinkText(test::LinkText(RecordOf(x))), layout::EntryTarget(2000, PRUNE_TRUNCATE, x));
    EXPECT_EQ(test::LinkText(ModuleRoot() + "/size"), "2500");

    Result hide = Tool({"hide", y});
    EXPECT_EQ(hide.out, "hid " + y + ": out of the cache, its file left alone\n");
    EXPECT_FALSE(test::Exists(RecordOf(y)));
    EXPECT_EQ(test::FileSize(y), 500);
    EXPECT_EQ(test::LinkText(ModuleRoot() + "/size"), "2000");
    Result unhide = Tool({"unhide", y});
    ASSERT_EQ(unhide.status, 0) << unhide.err;
    EXPECT_HAS(unhide.out, "unhid " + y + ": 500 bytes");
    EXPECT_TRUE(test::Exists(RecordOf(y)));

    // x was filed afresh with the run's default method, truncate.
    Result del = Tool({"delete", x});
    EXPECT_EQ(del.out, "deleted " + x + " from the cache and pruned its file\n");
    EXPECT_EQ(test::FileSize(x), 0);
    EXPECT_FALSE(test::Exists(RecordOf(x)));
    EXPECT_EQ(test::LinkText(ModuleRoot() + "/size"), "500");
    EXPECT_EQ(Tool({"check"}).status, 0);

    // The library's own lines on request; one clear line when it fails.
    test::WriteFile(Item("z.bin"), 10);
    Result logged = Tool({"--log-level", "4", "add", Item("z.bin")});
    EXPECT_EQ(logged.status, 0);
    EXPECT_HAS(logged.err, "cursize [500] sizein [10] newsize [510].");
    Result missing = Tool({"add", Item("nothing.bin")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "cmtool: " + Item("nothing.bin") + ": No such file or directory; give its size with --size\n");
    test::WriteFile(Item("plain"), 1);
    Result failed = Tool({"add", Item("plain") + "/under.bin", "--size", "10"});
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(Lines(failed.err), 1u) << failed.err;
    EXPECT_HAS(failed.err, "cmtool: add " + Item("plain") + "/under.bin failed: ");
}

TEST_F(Cmtool, PrunesTheOldestOnARealSmallFileSystem)
{
    SKIP_UNLESS_ROOT();
    const std::string fs = dir() + "/fs";
    test::MakeDirs(fs);
    test::TmpfsMount mount(fs, "size=1m");
    ASSERT_TRUE(mount.ok());
    const std::vector<std::string> cache = {"--cache-dir", fs, "--module", "3"};
    std::vector<std::string> items;
    for (const char* name : {"a", "b", "c"}) {
        items.push_back(fs + "/items/" + name);
        test::WriteFile(items.back(), 200 * 1024);
        std::vector<std::string> args = cache;
        args.insert(args.end(), {"add", items.back(), "--method", "unlink"});
        ASSERT_EQ(Run(args).status, 0);
    }
    std::vector<std::string> args = cache;
    args.insert(args.end(), {"prune", "--bytes", "700K"});
    Result prune = Run(args);
    ASSERT_EQ(prune.status, 0) << prune.err;
    EXPECT_HAS(prune.out, "unlink          " + items[0] + "\n  pruned ");
    EXPECT_HAS(prune.out, "unlink          " + items[1] + "\npruned 2 items (400 KiB as filed)\nfree bytes");
    EXPECT_FALSE(test::Exists(items[0]));
    EXPECT_TRUE(test::Exists(items[2]));

    args.back() = "2M";
    Result tooMuch = Run(args);
    EXPECT_EQ(tooMuch.status, 1);
    // More than the file system holds: refused before anything is pruned.
    EXPECT_HAS(tooMuch.err, "cache is too small for this item");
    EXPECT_EQ(Lines(tooMuch.err), 1u) << tooMuch.err;
    EXPECT_TRUE(test::Exists(items[2]));
}

TEST_F(Cmtool, CheckAndRepairADamagedModuleThenTheCacheWorks)
{
    CacheManagerImpl& manager = Manager();
    const std::string a = Add(manager, "a.bin", 100, Key(1));
    const std::string b = Add(manager, "b.bin", 200, Key(2));
    const std::string c = Add(manager, "c.bin", 300, Key(3));
    const std::string entryOfB = test::LinkText(RecordOf(b));
    ASSERT_EQ(unlink(RecordOf(b).c_str()), 0);                       // an entry without a record
    test::MakeLink(T() + "/9/9/9/9/9/9", RecordOf(Item("old.bin")));  // a record without an entry
    test::MakeDirs(T() + "/1/2");                                   // empty directories
    test::MakeLink(T() + "/4/4/4/4/4/4", ModuleRoot() + "/oldest");  // a stale oldest link
    test::MakeLink("999", ModuleRoot() + "/size");                   // a wrong total

    Result found = Tool({"check"});
    EXPECT_EQ(found.status, 1);
    EXPECT_HAS(found.out, "4 faults in 3 entries:\n");
    EXPECT_HAS(found.out, "  entry-no-record: 1 entries whose item has no record\n    " + entryOfB);
    EXPECT_HAS(found.out, "  record-missing-entry: 1 ");
    EXPECT_HAS(found.out, "  size-mismatch: 1 ");
    EXPECT_HAS(found.out, "  note: oldest-stale: 1 ");
    EXPECT_HAS(found.out, "  empty-dir: 1 ");

    Result dry = Tool({"repair", "--dry-run"});
    EXPECT_EQ(dry.status, 0) << dry.err;
    EXPECT_HAS(dry.out, "would: re-create the record of " + b + " -> " + entryOfB + "\n");
    EXPECT_HAS(dry.out, "would: rewrite the size total: 999 -> 600\n");
    EXPECT_HAS(dry.out, "now: 4 faults");
    EXPECT_EQ(Tool({"check"}).status, 1);

    Result repair = Tool({"repair"});
    EXPECT_EQ(repair.status, 0) << repair.out << repair.err;
    EXPECT_HAS(repair.out, "did: remove record " + RecordOf(Item("old.bin")));
    EXPECT_HAS(repair.out, "did: remove empty directory " + T() + "/1/2\n");
    EXPECT_HAS(repair.out, "did: drop the oldest link");
    EXPECT_HAS(repair.out, "after: clean: 3 entries, 600 bytes in their items, size total 600 bytes\n");
    EXPECT_EQ(Tool({"check"}).status, 0);
    EXPECT_EQ(Tool({"repair"}).out, "nothing to repair\nafter: clean: 3 entries, 600 bytes in their items, "
                                    "size total 600 bytes\n");

    EXPECT_TRUE(manager.UpdateItem(b, 0, 0)) << log().Dump();
    int queries = 0;
    size.freeBytesFn = [&queries] { return ++queries > 1 ? 1000000u : 0u; };
    EXPECT_TRUE(manager.CreateSpace(a, 1)) << log().Dump();
    EXPECT_FALSE(test::Exists(a));
    EXPECT_EQ(Tool({"check"}).status, 0);
}

TEST_F(Cmtool, HelpForEveryCommandAndOneLineForEachMistake)
{
    Result help = Run({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* command : {"stat", "ls", "check", "repair", "add", "update", "delete", "hide", "unhide",
                                "prune", "demo"}) {
        EXPECT_HAS(help.out, std::string("\n  ") + command);
        Result own = Run({command, "--help"});
        EXPECT_EQ(own.status, 0) << command;
        EXPECT_EQ(own.out.find("usage: cmtool"), 0u) << own.out;
        EXPECT_EQ(Run({"help", command}).out, own.out);
    }
    const std::vector<std::pair<std::vector<std::string>, std::string>> mistakes = {
        {{}, ""},
        {{"frobnicate"}, "cmtool: unknown command [frobnicate] (see cmtool --help)\n"},
        {{"ls"}, "cmtool: ls needs --cache-dir DIR and --module N (see cmtool --help)\n"},
        {{"--module", "x", "ls"}, "cmtool: --module needs a number from 0 to 4294967295, not [x] (see cmtool --help)\n"},
        {{"--cache-dir", dir(), "--module", "7", "ls", "--size", "5"}, "cmtool: ls takes no --size (see cmtool --help)\n"},
        {{"--cache-dir", dir(), "--module", "7", "add"}, "cmtool: add takes one item path (see cmtool --help)\n"},
        {{"--cache-dir", dir(), "--module", "7", "add", "x", "--method", "shred"},
         "cmtool: --method is truncate, unlink or unlink-recurse, not [shred] (see cmtool --help)\n"},
        {{"--cache-dir", dir(), "--module", "7", "prune"}, "cmtool: prune needs --bytes N (see cmtool --help)\n"},
    };
    for (const auto& mistake : mistakes) {
        Result result = Run(mistake.first);
        EXPECT_EQ(result.status, 2);
        if (!mistake.second.empty()) {
            EXPECT_EQ(result.err, mistake.second);
        }
    }
}

TEST_F(Cmtool, DemoPrunesByEveryMethodAndCleansUp)
{
    const std::string tmp = dir() + "/tmp";
    test::MakeDirs(tmp);
    Result demo = Run({"demo"}, tmp);
    ASSERT_EQ(demo.status, 0) << demo.out << demo.err;
    EXPECT_HAS(demo.out, test::IsRoot() ? "tmpfs: the library's own size provider" : "played by counting the files");
    EXPECT_HAS(demo.out, "Pruned to keep the reserve: ");
    EXPECT_HAS(demo.out, "  unlink          media/");
    EXPECT_HAS(demo.out, "truncated, name kept\n");
    EXPECT_HAS(demo.out, "unlinked with its emptied dirs\n");
    EXPECT_HAS(demo.out, " ls\nTIME ");
    EXPECT_HAS(demo.out, "\nfree bytes ");
    EXPECT_HAS(demo.out, "\nclean: ");
    EXPECT_HAS(demo.out, "  PruneOneItem ");
    EXPECT_EQ(demo.out.find("FAILED"), std::string::npos) << demo.out;
    EXPECT_TRUE(test::ListDir(tmp).empty());
}

}  // namespace
