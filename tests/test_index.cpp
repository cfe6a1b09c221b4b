// The index: entries filed at the young end with their records beside the
// items, the oldest end and its link, and the module's byte total.
#include "tests/TestSupport.h"

#include <cerrno>
#include <filesystem>
#include <sys/stat.h>
#include <ctime>
#include <unistd.h>

namespace {

using namespace test;

// 1700000000.3 s and 1700000001.0 s as time keys: T/101/83/241/0/3 and T/101/83/241/1/0.
const uint64_t kKey3 = (1700000000ULL << 8) | 3;
const uint64_t kKeyNext = (1700000001ULL << 8) | 0;

// Helpers for building and reading the index below "T", one fixture per
// part of it; 101/83/241 is the branch of kKey3 and kKeyNext.
class Index : public CacheTest {
protected:
    std::string B() const { return T() + "/101/83/241"; }
    std::string Dir3() const { return B() + "/0/3"; }
    std::string E(const std::string& name) const { return Dir3() + "/" + name; }
    std::string Latest() const { return ModuleRoot() + "/latest"; }
    std::string OldestLink() const { return ModuleRoot() + "/oldest"; }
    std::string SizeLink() const { return ModuleRoot() + "/size"; }
    void Entry(const std::string& path) { MakeLink("1:1:" + dir() + "/items/x", path); }
    // Items a, b, c, ... filed under kKey3: entries 1, 2, 3, ... of Dir3().
    void AddItems(CacheManagerImpl& m, int count)
    {
        for (int i = 0; i < count; ++i) {
            const std::string item = Item(std::string(1, static_cast<char>('a' + i)));
            WriteFile(item, 100);
            ASSERT_TRUE(m.UpdateItem(item, 100, kKey3)) << log().Dump();
        }
    }
};
class Insertion : public Index {};
class Records : public Index {};
class Entries : public Index {};
class ModuleSize : public Index {};
class Oldest : public Index {};
class AdvanceProbe : public Index {};

// A new entry's number comes from the latest link while it leads into the
// entry directory (no scan), else from one scan of that directory.
TEST_F(Insertion, NumbersComeFromTheLatestLinkOrOneScanOfTheEntryDirectory)
{
    CacheManagerImpl& m = Manager();
    log().Clear();
    std::string position;
    ASSERT_TRUE(m.CreateLatest(Item("a"), position, 4096, kKey3)) << log().Dump();
    EXPECT_EQ(position, Dir3() + "/1");
    EXPECT_EQ(m.m_getMinOrMaxCount, 1u);  // no latest link: the directory was scanned
    ASSERT_TRUE(m.CreateLatest(Item("b"), position, 7, kKey3));
    EXPECT_EQ(position, Dir3() + "/2");
    ASSERT_TRUE(m.CreateLatest(Item("c"), position, 9, kKeyNext));
    EXPECT_EQ(position, B() + "/1/0/1");
    // The latest link names an entry removed since: numbers still count up from it.
    ASSERT_EQ(unlink(position.c_str()), 0);
    ASSERT_TRUE(m.CreateLatest(Item("d"), position, 9, kKeyNext));
    EXPECT_EQ(position, B() + "/1/0/2");
    EXPECT_EQ(m.m_getMinOrMaxCount, 2u);
    // An entry ahead of the latest link (an insertion interrupted before it
    // moved the link on): the directory gives the next free number.
    MakeLink("1:1:/other", B() + "/1/0/3");
    ASSERT_TRUE(m.CreateLatest(Item("d"), position, 9, kKeyNext));
    EXPECT_EQ(position, B() + "/1/0/4");

    // A caller's key whose directory already holds entries while the latest
    // link is elsewhere: one more than the highest, hidden names passed over
    // and names that are not the index's written up.
    const std::string d200 = B() + "/0/200";
    for (const char* name : {"7", "12", ".50", "abc"})
        MakeLink("1:1:/x", d200 + "/" + name);
    ASSERT_TRUE(m.CreateLatest(Item("e"), position, 1, (1700000000ULL << 8) | 200)) << log().Dump();
    EXPECT_EQ(position, d200 + "/13");
    EXPECT_EQ(m.m_getMinOrMaxCount, 4u);
    EXPECT_EQ(log().CountLevel(-1), 1) << log().Dump();
    EXPECT_TRUE(log().Has("[" + d200 + "/abc] is not part of the index", -1));

    // Key 0 takes the clock, in tenths of a second.
    uint64_t key = 0;
    ASSERT_TRUE(m.CreateLatest(Item("f"), position, 1, 0));
    ASSERT_TRUE(cm::layout::KeyOfIndexPath(T(), position, key)) << position;
    EXPECT_NEAR(static_cast<double>(key >> 8), static_cast<double>(time(nullptr)), 1.0);
    EXPECT_LE(key & 0xFF, 9u);

    // After the last entry number no insertion wraps to 0, below the others.
    MakeLink(Dir3() + "/4294967295", Latest());
    EXPECT_FALSE(m.CreateLatest(Item("g"), position, 1, kKey3));
    EXPECT_EQ(errno, EOVERFLOW);
    EXPECT_TRUE(log().Has("No entry number left in [" + Dir3() + "] after [4294967295]", -1));
    EXPECT_FALSE(Exists(Dir3() + "/0"));
    EXPECT_EQ(m.m_insertCount, 8u);  // failed insertions count too

    // An entry directory that cannot be read is a failed scan; an entry text
    // that would not fit is refused before anything is made. Neither moves
    // the latest link.
    log().Clear();
    WriteFile(T() + "/9/0/0/0/0", 0);
    EXPECT_FALSE(m.CreateLatest(Item("h"), position, 5, 9ULL << 32));
    EXPECT_TRUE(log().Has("opendir() failed. [" + T() + "/9/0/0/0/0]. [Not a directory]", -1)) << log().Dump();
    EXPECT_FALSE(m.CreateLatest("/" + std::string(2043, 'x'), position, 5, 8ULL << 32));  // "5:1:" + 2044 bytes
    EXPECT_TRUE(log().Has("File name too long", -1));
    EXPECT_EQ(log().CountLevel(-1), 2) << log().Dump();
    EXPECT_FALSE(Exists(T() + "/8"));
    EXPECT_EQ(LinkText(Latest()), Dir3() + "/4294967295");
}

// The one place that pins every name and text of a module on disk.
TEST_F(Insertion, ThreeItemsAndAMethodChangeLeaveThisLayout)
{
    CacheManagerImpl& m = Manager();
    const std::string d = dir();
    const std::string old = d + "/media/old.bin";
    const std::string clip1 = d + "/media/clip0001.bin";
    const std::string clip2 = d + "/media/clip0002.bin";
    const std::string tile = d + "/tiles/set9/tile.dat";
    WriteFile(old, 10);
    WriteFile(clip1, 4096);
    WriteFile(clip2, 120);
    WriteFile(tile, 65536);

    // An older item, pruned before the example's state, leaves the oldest
    // link on the first of the three.
    ASSERT_TRUE(m.UpdateItem(old, 10, (1700000000ULL << 8) | 2)) << log().Dump();
    ASSERT_TRUE(m.UpdateItem(clip1, 4096, kKey3)) << log().Dump();
    ASSERT_TRUE(m.UpdateItem(clip2, 120, kKey3)) << log().Dump();
    ASSERT_TRUE(m.UpdateItem(tile, 65536, kKeyNext)) << log().Dump();
    size.freeBytesFn = [old]() -> uint64_t { return Exists(old) ? 0 : 1000000; };
    ASSERT_TRUE(m.CreateSpace(clip1, 1)) << log().Dump();
    ASSERT_TRUE(m.UpdateItem(tile, PRUNE_UNLINK_RECURSE)) << log().Dump();

    EXPECT_EQ(ListDir(d + "/CM/7"), (std::vector<std::string>{"T", "latest", "lockfile", "oldest", "size"}));
    std::vector<std::string> rows;
    for (const std::string& link : LinksUnder(d))
        rows.push_back(link.substr(d.size()) + " -> " + LinkText(link));
    const std::string t = d + "/CM/7/T/101/83/241";
    const std::vector<std::string> expected = {
        "/CM/7/T/101/83/241/0/3/1 -> 4096:1:" + clip1,
        "/CM/7/T/101/83/241/0/3/2 -> 120:1:" + clip2,
        "/CM/7/T/101/83/241/1/0/1 -> 65536:2:" + tile,
        "/CM/7/latest -> " + t + "/1/0/1",
        "/CM/7/oldest -> " + t + "/0/3/1",
        "/CM/7/size -> 69752",
        "/media/cacheposition.clip0001.bin -> " + t + "/0/3/1",
        "/media/cacheposition.clip0002.bin -> " + t + "/0/3/2",
        "/tiles/set9/cacheposition.tile.dat -> " + t + "/1/0/1",
    };
    EXPECT_EQ(rows, expected);
}

TEST_F(Records, ReadWriteAndRemoveRecords)
{
    CacheManagerImpl& m = Manager();
    const std::string item = Item("deep/er/a.bin");
    std::string position = "junk";
    ASSERT_TRUE(m.GetItemCachePos(item, position));
    EXPECT_EQ(position, "");

    // The item's directory is made for the record; the item itself is not.
    ASSERT_TRUE(m.SetItemCachePos(item, "/pos/1")) << log().Dump();
    EXPECT_FALSE(Exists(item));
    ASSERT_TRUE(m.GetItemCachePos(item, position));
    EXPECT_EQ(position, "/pos/1");

    // The longest text a record holds is read back whole; a longer one is
    // refused, and the record stays as it was.
    const std::string longest(4095, 'p');
    MakeLink(longest, RecordOf(item));
    ASSERT_TRUE(m.GetItemCachePos(item, position)) << log().Dump();
    EXPECT_EQ(position, longest);
    EXPECT_FALSE(m.SetItemCachePos(item, longest + "p"));
    EXPECT_TRUE(log().Has("File name too long", -1)) << log().Dump();
    EXPECT_EQ(LinkText(RecordOf(item)), longest);

    log().Clear();
    EXPECT_TRUE(m.RemoveCachePositionRecord(item));
    EXPECT_FALSE(Exists(RecordOf(item)));
    EXPECT_TRUE(m.RemoveCachePositionRecord(item));
    EXPECT_EQ(log().Lines().size(), 0u) << log().Dump();

    // mkdir() reports a dangling link as existing, and symlink() beneath it
    // keeps failing with ENOENT: the record fails once.
    MakeLink(dir() + "/nowhere/deeper", Item("dangling"));
    const std::string x = Item("dangling/x");
    EXPECT_FALSE(m.SetItemCachePos(x, "/pos/1"));
    EXPECT_EQ(log().Count("symlink() failed. [/pos/1]->[" + RecordOf(x) + "] [No such file or directory]", -1), 1)
        << log().Dump();
    EXPECT_FALSE(Exists(dir() + "/nowhere"));
}

TEST_F(Entries, ReadRewriteAndRemoveEntries)
{
    CacheManagerImpl& m = Manager();
    log().Clear();
    const std::string x = dir() + "/c/x:y";
    WriteFile(x, 300);
    MakeLink("120:1:" + x, E("1"));
    CacheItemInfo info;
    ASSERT_TRUE(m.GetItemAtPoisition(E("1"), info)) << log().Dump();
    EXPECT_EQ(info.path, x);
    EXPECT_EQ(info.size, 300u);  // the file as it is, not the entry's figure
    EXPECT_EQ(info.pruneMethod, PRUNE_UNLINK);

    // A new method keeps the entry's name and takes the file's size as it is now.
    ASSERT_TRUE(m.UpdatePruneMethod(E("1"), PRUNE_UNLINK_RECURSE)) << log().Dump();
    EXPECT_EQ(LinkText(E("1")), "300:2:" + x);
    ASSERT_EQ(unlink(x.c_str()), 0);
    ASSERT_TRUE(m.UpdatePruneMethod(E("1"), PRUNE_TRUNCATE));
    EXPECT_EQ(LinkText(E("1")), "0:0:" + x);
    EXPECT_EQ(ListDir(Dir3()), std::vector<std::string>{"1"});

    // Removing an entry empties its directories up to an occupied one, but
    // never "T", unless told to leave them.
    const std::string sibling = T() + "/101/83/242/0/0/1";
    Entry(sibling);
    ASSERT_TRUE(m.RemoveItemAtPosition(E("1"), info, true)) << log().Dump();
    EXPECT_EQ(info.path, x);
    EXPECT_EQ(ListDir(T() + "/101/83"), std::vector<std::string>{"242"});
    ASSERT_TRUE(m.RemoveItemAtPosition(sibling, info, true));
    EXPECT_TRUE(IsDir(T()));
    EXPECT_EQ(ListDir(T()), std::vector<std::string>());
    Entry(E("1"));
    ASSERT_TRUE(m.RemoveItemAtPosition(E("1"), info, false));
    EXPECT_FALSE(Exists(E("1")));
    EXPECT_TRUE(IsDir(Dir3()));
    // An entry outside "T" takes no directory with it.
    const std::string stray = dir() + "/elsewhere/1";
    Entry(stray);
    ASSERT_TRUE(m.RemoveItemAtPosition(stray, info, true));
    EXPECT_TRUE(IsDir(dir() + "/elsewhere"));
    EXPECT_EQ(log().CountLevel(-1), 0) << log().Dump();

    for (const char* text : {"12", "12:1"}) {
        MakeLink(text, E("3"));
        EXPECT_FALSE(m.GetItemAtPoisition(E("3"), info));
        EXPECT_EQ(errno, EINVAL) << text;
    }
    log().Clear();
    EXPECT_FALSE(m.GetItemAtPoisition(E("9"), info));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(m.UpdatePruneMethod(E("9"), PRUNE_UNLINK));
    EXPECT_FALSE(Exists(E("9")));
    EXPECT_EQ(log().Count("lstat() failed. [" + E("9") + "] [No such file or directory]", -1), 2) << log().Dump();
}

TEST_F(ModuleSize, TotalsReadWrittenAndClamped)
{
    CacheManagerImpl& m = Manager();
    uint64_t total = 77;
    ASSERT_TRUE(m.GetModuleSize(total));  // no link: 0
    EXPECT_EQ(total, 0u);
    ASSERT_TRUE(m.UpdateModuleSize(100));
    EXPECT_EQ(LinkText(SizeLink()), "100");

    const std::pair<const char*, uint64_t> texts[] = {
        {"abc", 0}, {"42abc", 42}, {"-5", 0}, {"18446744073709551615", UINT64_MAX}};
    for (const auto& text : texts) {
        MakeLink(text.first, SizeLink());
        ASSERT_TRUE(m.GetModuleSize(total)) << text.first;
        EXPECT_EQ(total, text.second) << text.first;
    }

    // A decrease past the total stores 0 rather than wrapping round.
    MakeLink("30", SizeLink());
    log().Clear();
    ASSERT_TRUE(m.UpdateModuleSize(-50));
    EXPECT_EQ(LinkText(SizeLink()), "0");
    EXPECT_EQ(log().CountLevel(1), 1) << log().Dump();
    EXPECT_EQ(log().CountLevel(-1), 0);

    // A total that is no link fails every change but none, and stays.
    ASSERT_EQ(unlink(SizeLink().c_str()), 0);
    WriteFile(SizeLink(), 3);
    log().Clear();
    EXPECT_TRUE(m.UpdateModuleSize(0));
    EXPECT_EQ(log().Lines().size(), 0u);
    total = 77;
    EXPECT_FALSE(m.GetModuleSize(total));
    EXPECT_EQ(total, 77u);
    EXPECT_EQ(log().Count("readlink() failed. [" + SizeLink() + "] [Invalid argument]", -1), 1) << log().Dump();
    EXPECT_FALSE(m.UpdateModuleSize(1) || m.UpdateModuleSize(-1));
    EXPECT_EQ(FileSize(SizeLink()), 3);
}

// Scans open directories by their paths: the working directory, which other
// host threads rely on, never changes.
TEST_F(Oldest, RelativeCacheDirWorksAndTheWorkingDirectoryStays)
{
    const std::filesystem::path saved = std::filesystem::current_path();
    ASSERT_EQ(chdir(dir().c_str()), 0);
    CacheArgs args = Args();
    args.cacheDir = "rel";
    CacheManagerImpl& m = Manager(args);
    log().Clear();

    std::string first, second, position;
    ASSERT_TRUE(m.CreateLatest("items/a", first, 5, kKey3)) << log().Dump();
    ASSERT_TRUE(m.CreateLatest("items/b", second, 5, kKey3 + 1)) << log().Dump();
    EXPECT_EQ(first, "rel/CM/7/T/101/83/241/0/3/1");
    ASSERT_TRUE(m.GetOldestItem(position)) << log().Dump();
    EXPECT_EQ(position, first);
    CacheItemInfo info;
    ASSERT_TRUE(m.RemoveItemAtPosition(first, info, true));
    EXPECT_TRUE(m.SetNextOldest(first)) << log().Dump();
    EXPECT_EQ(LinkText(dir() + "/rel/CM/7/oldest"), "rel/CM/7/T/101/83/241/0/4/1");
    EXPECT_EQ(std::filesystem::current_path(), dir());
    EXPECT_EQ(log().CountLevel(-1), 0) << log().Dump();
    ASSERT_EQ(chdir(saved.c_str()), 0);
}

// Pruning one by one: the walk from "T" takes the smallest numbers and
// removes the empty directories it meets (left by interrupted insertions);
// the advance after each prune takes the entry numbered one above the pruned
// one without a scan wherever a scan would find it, else walks on from the
// entry's directory, removing what the prunes emptied, and stops below "T"
// when its branch is used up.
TEST_F(AdvanceProbe, PruningOneByOneWalksTheIndexAndScansOnlyWhereTheProbeCannotStandIn)
{
    CacheManagerImpl& m = Manager();
    MakeDirs(T() + "/100/1");
    MakeDirs(B() + "/0/2");
    AddItems(m, 7);
    MakeDirs(B() + "/1/0");
    WriteFile(Item("h"), 100);
    ASSERT_TRUE(m.UpdateItem(Item("h"), 100, (1700000002ULL << 8)));  // B/2/0/1
    WriteFile(Item("i"), 100);
    ASSERT_TRUE(m.UpdateItem(Item("i"), 100, (1711276032ULL << 8)));  // T/102/0/0/0/0/1
    // A link left by the other prune mode names the wrong level: the index is walked.
    MakeLink(Dir3(), OldestLink());
    log().Clear();

    uint64_t freed = 0;
    ASSERT_TRUE(m.PruneOneItem(freed)) << log().Dump();
    EXPECT_FALSE(Exists(Item("a")));
    EXPECT_TRUE(log().Has("Oldest link [" + Dir3() + "] does not name an entry.", -1)) << log().Dump();
    EXPECT_FALSE(Exists(T() + "/100") || Exists(B() + "/0/2"));
    EXPECT_EQ(LinkText(OldestLink()), E("2"));
    // From then on an advance finds the next entry without a scan ...
    const uint64_t scans = m.m_getMinOrMaxCount;
    ASSERT_TRUE(m.PruneOneItem(freed)) << log().Dump();
    EXPECT_EQ(LinkText(OldestLink()), E("3"));
    EXPECT_EQ(m.m_getMinOrMaxCount, scans);
    // ... but past a gap (entry 4 went with its item), where it scans once.
    ASSERT_TRUE(m.DeleteFromCache(Item("d")));
    ASSERT_TRUE(m.PruneOneItem(freed)) << log().Dump();
    EXPECT_EQ(LinkText(OldestLink()), E("5"));
    EXPECT_EQ(m.m_getMinOrMaxCount, scans + 1);

    // The entry named is still there: the walk finds it again and fails,
    // however its successor stands.
    log().Clear();
    EXPECT_FALSE(m.SetNextOldest(E("5")));
    EXPECT_EQ(log().Count("Failed to find next oldest", -1), 1) << log().Dump();
    EXPECT_EQ(LinkText(OldestLink()), E("5"));
    // An advance from an entry that the oldest link does not name (here not
    // the smallest) is the walk's: 5, not the probe's 7.
    CacheItemInfo info;
    ASSERT_TRUE(m.RemoveItemAtPosition(E("6"), info, true));
    ASSERT_TRUE(m.SetNextOldest(E("6"))) << log().Dump();
    EXPECT_EQ(LinkText(OldestLink()), E("5"));

    // The advance from the last entry of 0/3 removes it and the emptied 0,
    // meets the empty 1/0 and goes on to 2.
    ASSERT_TRUE(m.PruneOneItem(freed)) << log().Dump();
    ASSERT_TRUE(m.PruneOneItem(freed)) << log().Dump();
    EXPECT_EQ(LinkText(OldestLink()), B() + "/2/0/1");
    EXPECT_EQ(ListDir(B()), std::vector<std::string>{"2"});
    EXPECT_EQ(log().CountLevel(-1), 1) << log().Dump();
    // The last entry of branch 101: the advance finds the cache empty and
    // removes the link; the next walk from "T" finds branch 102.
    ASSERT_TRUE(m.PruneOneItem(freed)) << log().Dump();
    EXPECT_FALSE(Exists(T() + "/101") || Exists(OldestLink()));
    EXPECT_EQ(log().Count("Failed to find next oldest. Cache must be empty.", -1), 1) << log().Dump();
    ASSERT_TRUE(m.PruneOneItem(freed)) << log().Dump();
    EXPECT_FALSE(Exists(Item("i")));
    EXPECT_EQ(ListDir(T()), std::vector<std::string>());
}

// A host's own key may fill an entry directory again after it was emptied
// and removed. Its entries start again at 1: an oldest link left naming
// entry 2 of the old directory would lead pruning past the new entry 1.
TEST_F(AdvanceProbe, ARefilledEntryDirectoryIsPrunedOldestFirst)
{
    CacheManagerImpl& m = Manager();
    AddItems(m, 3);
    uint64_t freed = 0;
    ASSERT_TRUE(m.PruneOneItem(freed));  // a; the link names entry 2
    ASSERT_TRUE(m.DeleteFromCache(Item("b")));
    ASSERT_TRUE(m.DeleteFromCache(Item("c")));
    ASSERT_FALSE(Exists(Dir3()));
    WriteFile(Item("x"), 100);
    ASSERT_TRUE(m.UpdateItem(Item("x"), 100, kKey3 + 1));  // the latest link leaves the directory
    AddItems(m, 3);
    ASSERT_TRUE(m.PruneOneItem(freed)) << log().Dump();
    EXPECT_FALSE(Exists(Item("a")));
    EXPECT_TRUE(Exists(Item("b")) && Exists(Item("c")) && Exists(Item("x")));
}

}  // namespace
