// Real faults: a full file system (bytes, then inodes), a read-only remount
// and an index damaged by hand. Each fault gives a false result and an error
// line (or, where the library passes the damage over, the operation still
// succeeds), nothing crashes or hangs, and the cache works again once the
// fault is gone. (A process without permission is met in the pruning and
// initialisation tests.)
#include "tests/TestSupport.h"

#include "cachemanager/CacheLock.h"

namespace {

using test::FileSize;
using test::MakeLink;
using test::WriteFile;

// A key whose directories sort after any name that reads as 0.
const uint64_t kKey = 1700000000ULL << 8;

// Fills the file system that holds dir until it says ENOSPC, with one file
// of bytes or with empty files; returns what it made.
std::vector<std::string> FillUp(const std::string& dir, bool inodes)
{
    std::vector<std::string> made;
    const std::vector<char> chunk(65536, 'f');
    for (int fd = 0; fd >= 0 && (made.empty() || inodes);) {
        made.push_back(dir + "/f" + std::to_string(made.size()));
        fd = open(made.back().c_str(), O_WRONLY | O_CREAT, 0644);
        for (size_t n = inodes ? 0 : chunk.size(); n > 0;)  // whole chunks, then single bytes
            n = write(fd, chunk.data(), n) > 0 ? n : n / chunk.size();
        EXPECT_TRUE(fd >= 0 || errno == ENOSPC) << strerror(errno);
        close(fd);
    }
    return made;
}

class Faults : public test::PruneTest {
protected:
    // The index is whole and the total is the items' in the cache.
    void ExpectWhole(const std::string& root, const std::vector<std::string>& items)
    {
        const cm::check::CheckReport report = test::CheckModule(root, test::ParentOf(items.front()), CM_PRUNE_ITEM);
        EXPECT_TRUE(report.Clean()) << report.Format();
        EXPECT_EQ(test::StoredTotal(root), test::BytesInCache(items));
    }
};

// ENOSPC from a tmpfs whose bytes are all taken (entry texts longer than a
// tmpfs keeps in the inode need a page of their own), then from one whose
// inodes are all taken.
TEST_F(Faults, AFullFileSystemFailsCleanlyAndRecovers)
{
    SKIP_UNLESS_ROOT();
    for (const bool inodes : {false, true}) {
        SCOPED_TRACE(inodes ? "no inodes left" : "no bytes left");
        const std::string fs = dir() + (inodes ? "/inodes" : "/bytes");
        test::TmpfsMount mount(fs, inodes ? "size=4m,nr_inodes=48" : "size=256k");
        ASSERT_TRUE(mount.ok());
        const std::string items = fs + "/items/" + std::string(150, 'n');
        const std::string a = items + "/a", b = items + "/b";
        WriteFile(a, 1000);
        WriteFile(b, 100);
        CacheArgs args = Args();
        args.cacheDir = fs;
        CacheManagerImpl& m = Manager(args);
        ASSERT_TRUE(m.UpdateItem(a, 1000, kKey));
        const std::vector<std::string> filler = FillUp(fs, inodes);

        log().Clear();
        EXPECT_FALSE(m.UpdateItem(b, 100, inodes ? kKey + 1 : kKey));  // inodes: a new entry directory too
        EXPECT_TRUE(log().Has("No space left on device", -1)) << log().Dump();
        EXPECT_FALSE(test::InCache(b));
        ExpectWhole(fs + "/CM/7", {a, b});
        // What frees as much as it takes still works: a is refiled as the
        // size its host is about to give it. Without an inode to spare the
        // new total cannot be made aside: the old one stays whole, the call
        // fails naming the size link, and the next write makes it.
        log().Clear();
        EXPECT_EQ(m.UpdateItem(a, true, 600, kKey), !inodes) << log().Dump();
        if (inodes) {
            EXPECT_EQ(test::LinkText(m.m_sizeLink), "1000");
            EXPECT_TRUE(log().Has("symlink() failed. [" + m.m_sizeLink + "] -> [600] [No space left", -1))
                << log().Dump();
        }
        for (const std::string& path : filler)
            unlink(path.c_str());
        EXPECT_TRUE(!inodes || m.UpdateItem(a, true, 600, kKey)) << log().Dump();
        EXPECT_EQ(test::LinkText(m.m_sizeLink), "600");
        ASSERT_EQ(truncate(a.c_str(), 600), 0);
        EXPECT_TRUE(m.UpdateItem(b, 100, inodes ? kKey + 1 : kKey)) << log().Dump();
        EXPECT_TRUE(m.UpdateItem(a, PRUNE_TRUNCATE));
        EXPECT_TRUE(m.HideItem(a, 0));
        ExpectWhole(fs + "/CM/7", {a, b});
    }
}

TEST_F(Faults, AReadOnlyRemountFailsEveryChangeAndChangesNothing)
{
    SKIP_UNLESS_ROOT();
    const std::string fs = dir() + "/fs";
    test::TmpfsMount mount(fs, "size=4m");
    ASSERT_TRUE(mount.ok());
    const std::string a = fs + "/items/a", b = fs + "/items/b", c = fs + "/items/c";
    WriteFile(a, 100);
    WriteFile(b, 200);
    WriteFile(c, 300);
    CacheArgs args = Args();
    args.cacheDir = fs;
    CacheManagerImpl& m = Manager(args);
    ASSERT_TRUE(m.UpdateItem(a, 100, kKey));
    ASSERT_TRUE(m.UpdateItem(b, 200, kKey + 1));
    test::MakeLink("12", fs + "/CM/7/T/0/0/0/0/0/1");  // the oldest entry, malformed: pruning drops it
    auto snapshot = [&] {
        std::string text;
        for (const std::string& link : test::LinksUnder(fs))
            text += "|" + link + "->" + test::LinkText(link);
        return text;
    };
    const std::string before = snapshot();
    // A file open for writing keeps a file system from going read-only
    // (EBUSY): the manager's lock moves off it for this test.
    m.m_ptrCacheLock.reset(new CacheLock(dir() + "/lockfile", m.m_processModel));
    ASSERT_TRUE(mount.RemountReadOnly(true));

    uint64_t freed = 0;
    const std::vector<std::pair<std::string, std::function<bool()>>> operations = {
        {"add", [&] { return m.UpdateItem(c, 300, kKey); }},
        {"update", [&] { return m.UpdateItem(a, static_cast<uint64_t>(0), kKey + 2); }},
        {"method", [&] { return m.UpdateItem(a, PRUNE_TRUNCATE); }},
        {"hide", [&] { return m.HideItem(a, 0); }},
        {"delete", [&] { return m.DeleteFromCache(b); }},
        {"prune", [&] { return m.CreateSpace("x", size.totalBytes); }},  // free is no more than asked for
        {"prune one", [&] { return m.PruneOneItem(freed); }},
    };
    for (const auto& operation : operations) {
        log().Clear();
        EXPECT_FALSE(operation.second()) << operation.first;
        EXPECT_TRUE(log().Has("Read-only file system", -1)) << operation.first << "\n" << log().Dump();
    }
    EXPECT_EQ(snapshot(), before);

    ASSERT_TRUE(mount.RemountReadOnly(false));
    for (const auto& operation : operations)
        EXPECT_TRUE(operation.first.compare(0, 5, "prune") == 0 || operation.second()) << operation.first << log().Dump();
    test::RemoveTree(fs + "/CM/7/T/0");
    ExpectWhole(fs + "/CM/7", {a, b, c});
}

// Damage made by hand, one row each, on a module of its own with item a in
// the cache: the operation that meets it fails with an error line (or passes
// the damage over, result true), and once the damaged name is removed the
// cache works and the repair leaves nothing for the checker to find. (Entry
// and record texts cannot be too long: the system refuses a link text over
// 4095 bytes, which is the most those are read with.)
TEST_F(Faults, ADamagedIndexFailsCleanlyAndWorksOnceMended)
{
    struct Context {
        std::string root, a, b, entry, record;
        CacheManagerImpl* m;
    };
    enum Meets { UPDATE, PRUNE, INIT };
    struct Row {
        const char* name;
        std::function<std::string(const Context&)> where;
        std::function<void(const std::string&, const Context&)> damage;
        Meets meets;
        bool result;
        const char* line;  // an error line holds this
    };
    auto at = [](const std::string& name) { return [name](const Context& c) { return c.root + "/" + name; }; };
    auto entry = [](const Context& c) { return c.entry; };
    auto record = [](const Context& c) { return c.record; };
    auto plainFile = [](const std::string& path, const Context&) {
        unlink(path.c_str());
        WriteFile(path, 3);
    };
    auto directory = [](const std::string& path, const Context&) {
        unlink(path.c_str());
        test::MakeDirs(path);
    };
    auto text = [](size_t length) {
        return [length](const std::string& path, const Context&) { MakeLink(std::string(length, 'x'), path); };
    };
    auto itself = [](const std::string& path, const Context&) { MakeLink(path, path); };
    auto toGoneEntry = [](const std::string& path, const Context& c) { MakeLink(c.entry + "9", path); };
    // The oldest entry's text, with b filed after it: pruning must go on to b.
    auto entryText = [](const std::function<std::string(const Context&)>& textOf) {
        return [textOf](const std::string& path, const Context& c) {
            unlink(path.c_str());
            MakeLink(textOf(c), path);
            c.m->UpdateItem(c.b, 50, kKey + 1);
        };
    };
    const Row rows[] = {
        {"size is a plain file", at("size"), plainFile, UPDATE, false, "/size] [Invalid argument]"},
        {"size text too long", at("size"), text(300), UPDATE, false, "/size] [File name too long]"},
        {"latest is a plain file", at("latest"), plainFile, UPDATE, false, "/latest] [Invalid argument]"},
        {"latest text too long", at("latest"), text(3000), UPDATE, false, "/latest] [File name too long]"},
        {"latest links to itself", at("latest"), itself, UPDATE, true, ""},
        {"oldest is a plain file", at("oldest"), plainFile, PRUNE, false, "/oldest] [Invalid argument]"},
        {"oldest text too long", at("oldest"), text(3000), PRUNE, false, "/oldest] [File name too long]"},
        {"oldest links to itself", at("oldest"), itself, PRUNE, true, "does not name an entry"},
        {"an entry is a plain file", entry, plainFile, UPDATE, false, "[Invalid argument]"},
        {"an entry is malformed", entry, [](const std::string& path, const Context&) { MakeLink("12:1", path); },
         UPDATE, false,
         "Malformed link target. [12]"},
        {"an entry links to itself", entry, itself, UPDATE, false, "Malformed link target"},
        {"oldest dangles", at("oldest"), toGoneEntry, PRUNE, true, "[No such file or directory]"},
        {"a record is a plain file", record, plainFile, UPDATE, false, "[Invalid argument]"},
        {"a record links to itself", record, itself, UPDATE, true, ""},
        {"a record dangles", record, toGoneEntry, UPDATE, true, "[No such file or directory]"},
        {"a name under T is no number", at("T/abc"), directory, PRUNE, true, "T/abc] is not part of the index"},
        {"a name under T is too large", at("T/4294967296"), directory, PRUNE, true, "/4294967296] is not part"},
        {"a file among the entries", [](const Context& c) { return test::ParentOf(c.entry) + "/x"; }, plainFile,
         PRUNE, true, "/x] is not part of the index"},
        {"oldest leads out of T", at("oldest"),
         [](const std::string& path, const Context& c) { MakeLink(c.root + "/T/../../../../../..", path); }, PRUNE,
         true, "does not name an entry"},
        {"an entry at the old end is malformed", entry, entryText([](const Context&) { return "12:1"; }), PRUNE, true,
         "cannot be pruned. Dropped it from the index"},
        {"an entry's item cannot be examined", entry,
         entryText([](const Context& c) { return "100:1:" + c.b + "/x"; }), PRUNE, true, "/b/x] [Not a directory]"},
        {"the lockfile is a directory", at("lockfile"), directory, INIT, false,
         "Failed to create lockfile for TimeTable."},
    };
    int module = 30;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CacheArgs args = Args();
        args.moduleId = module++;
        Context c;
        c.root = dir() + "/CM/" + std::to_string(args.moduleId);
        c.a = Item(std::to_string(args.moduleId) + "/a");
        c.b = Item(std::to_string(args.moduleId) + "/b");
        WriteFile(c.a, 100);
        WriteFile(c.b, 50);
        CacheManagerImpl& m = Manager(args);
        c.m = &m;
        ASSERT_TRUE(m.UpdateItem(c.a, 100, kKey));
        c.entry = EntryOf(c.a);
        c.record = RecordOf(c.a);
        const std::string damaged = row.where(c);
        row.damage(damaged, c);

        // Room for 20 bytes more than the items hold: 60 more means pruning.
        const std::string items = test::ParentOf(c.a);
        auto tight = [items]() { return 170 - std::min<uint64_t>(test::BytesUnder(items), 170); };
        log().Clear();
        bool result = false;
        if (row.meets == INIT) {
            CacheManagerImpl* fresh = new CacheManagerImpl();
            result = fresh->InitCacheManager(args) && fresh->UpdateItem(c.b, 50, kKey);
            delete fresh;
        } else if (row.meets == PRUNE) {
            size.freeBytesFn = tight;
            result = m.CreateSpace("x", 60);
        } else {
            result = m.UpdateItem(c.a, 100, kKey) && m.UpdateItem(c.b, 50, kKey);
        }
        EXPECT_EQ(result, row.result) << log().Dump();
        if (row.line[0] != '\0') {
            EXPECT_TRUE(log().Has(row.line, -1)) << log().Dump();
        }

        test::RemoveTree(damaged);
        size.freeBytesFn = nullptr;
        CacheManagerImpl& again = Manager(args);
        WriteFile(c.a, 100);
        WriteFile(c.b, 50);
        EXPECT_TRUE(again.UpdateItem(c.a, 100, kKey + 1)) << log().Dump();
        EXPECT_TRUE(again.UpdateItem(c.b, 50, kKey + 1)) << log().Dump();
        EXPECT_TRUE(again.HideItem(c.b, 0));
        EXPECT_TRUE(again.UnHideItem(c.b, 50, kKey + 1) && test::InCache(c.b));
        size.freeBytesFn = tight;
        EXPECT_TRUE(again.CreateSpace("x", 60)) << log().Dump();
        EXPECT_FALSE(test::InCache(c.a));
        cm::check::CheckOptions options;
        options.moduleRoot = c.root;
        options.itemDirs.push_back(items);
        cm::check::RepairReport repair;
        std::string error;
        EXPECT_TRUE(cm::check::RepairIndex(again, options, false, repair, error)) << error;
        EXPECT_TRUE(repair.after.Clean()) << repair.after.Format();
        size.freeBytesFn = nullptr;
    }
}

}  // namespace
