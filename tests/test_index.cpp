// The index: entries filed at the young end with their records beside the
// items, the oldest end and its link, and the module's byte total.
#include "tests/TestSupport.h"

#include <cerrno>
#include <climits>
#include <sys/stat.h>
#include <sys/time.h>
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
    std::string DirNext() const { return B() + "/1/0"; }
    std::string E(const std::string& name) const { return Dir3() + "/" + name; }
    std::string Latest() const { return ModuleRoot() + "/latest"; }
    std::string OldestLink() const { return ModuleRoot() + "/oldest"; }
    std::string SizeLink() const { return ModuleRoot() + "/size"; }
    std::string Name(int i) const { return std::string(1, static_cast<char>('a' + i)); }
    void Entry(const std::string& path) { MakeLink("1:1:" + dir() + "/items/x", path); }
    CacheManagerImpl& SetModeManager()
    {
        CacheArgs args = Args();
        args.pruneMode = CM_PRUNE_SET;
        return Manager(args);
    }
    void Remove(CacheManagerImpl& m, const std::string& entry)
    {
        CacheItemInfo info;
        ASSERT_TRUE(m.RemoveItemAtPosition(entry, info, true)) << log().Dump();
    }
    // Items a, b, c, ... filed under kKey3: entries 1, 2, 3, ... of Dir3().
    void AddItems(CacheManagerImpl& m, int count)
    {
        for (int i = 0; i < count; ++i) {
            WriteFile(Item(Name(i)), 100);
            ASSERT_TRUE(m.UpdateItem(Item(Name(i)), 100, kKey3)) << log().Dump();
        }
        ASSERT_EQ(LinkText(RecordOf(Item(Name(count - 1)))), Dir3() + "/" + std::to_string(count));
    }
};
class Insertion : public Index {};
class Records : public Index {};
class Entries : public Index {};
class ModuleSize : public Index {};
class Oldest : public Index {};
class AdvanceProbe : public Index {};

TEST_F(Insertion, FirstInsertionThenSameDirectoryThenAnother)
{
    CacheManagerImpl& m = Manager();
    log().Clear();
    const std::string item = Item("a.bin");

    std::string position;
    ASSERT_TRUE(m.CreateLatest(item, position, 4096, kKey3)) << log().Dump();
    EXPECT_EQ(position, Dir3() + "/1");
    EXPECT_TRUE(IsDir(Dir3()));
    EXPECT_EQ(LinkText(position), "4096:1:" + item);
    EXPECT_EQ(LinkText(Latest()), position);
    EXPECT_EQ(log().Count("curLatestPos [] newpos [" + Dir3() + "] latestEntry [0]", 4), 1) << log().Dump();
    EXPECT_EQ(m.m_insertCount, 1u);
    EXPECT_EQ(m.m_getMinOrMaxCount, 1u);  // no latest link: the directory was scanned

    // Same entry directory: the number comes from the latest link alone.
    ASSERT_TRUE(m.CreateLatest(Item("b.bin"), position, 7, kKey3));
    EXPECT_EQ(position, Dir3() + "/2");
    EXPECT_EQ(LinkText(Latest()), Dir3() + "/2");
    EXPECT_TRUE(log().Has("curLatestPos [" + Dir3() + "/1] newpos [" + Dir3() + "] latestEntry [1]"));
    EXPECT_EQ(m.m_getMinOrMaxCount, 1u);
    EXPECT_EQ(m.m_insertCount, 2u);

    // Another entry directory: scanned once.
    ASSERT_TRUE(m.CreateLatest(Item("c.bin"), position, 9, kKeyNext));
    EXPECT_EQ(position, DirNext() + "/1");
    EXPECT_EQ(m.m_getMinOrMaxCount, 2u);
    EXPECT_EQ(ListDir(Dir3()), (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(log().CountLevel(-1), 0) << log().Dump();
}

TEST_F(Insertion, KeyZeroTakesTheClockInTenthsOfASecond)
{
    CacheManagerImpl& m = Manager();
    log().Clear();
    struct timeval before, after;
    gettimeofday(&before, nullptr);
    std::string position;
    ASSERT_TRUE(m.CreateLatest(Item("a.bin"), position, 1, 0));
    gettimeofday(&after, nullptr);

    std::string low, high;
    m.TimeToPath((static_cast<uint64_t>(before.tv_sec) << 8) | (before.tv_usec / 100000), low);
    m.TimeToPath((static_cast<uint64_t>(after.tv_sec) << 8) | (after.tv_usec / 100000), high);
    EXPECT_TRUE(position == low + "/1" || position == high + "/1") << position;
}

TEST_F(Insertion, EntryNumberFromLatestLinkOrDirectoryScan)
{
    CacheManagerImpl& m = Manager();
    log().Clear();
    std::string position;

    // The latest link names an entry that has been removed since: numbers
    // still count up from it.
    MakeDirs(Dir3());
    MakeLink(Dir3() + "/5", Latest());
    ASSERT_TRUE(m.CreateLatest(Item("a.bin"), position, 1, kKey3)) << log().Dump();
    EXPECT_EQ(position, Dir3() + "/6");
    EXPECT_EQ(m.m_getMinOrMaxCount, 0u);

    // A caller's key whose directory already holds entries while the latest
    // link is elsewhere: one more than the highest, hidden names passed over.
    const uint64_t key = (1700000000ULL << 8) | 200;
    const std::string dir = T() + "/101/83/241/0/200";
    for (const char* name : {"7", "12", ".50", "abc"})
        MakeLink("1:1:/x", dir + "/" + name);
    ASSERT_TRUE(m.CreateLatest(Item("b.bin"), position, 1, key)) << log().Dump();
    EXPECT_EQ(position, dir + "/13");
    EXPECT_EQ(m.m_getMinOrMaxCount, 1u);

    uint32_t highest = 99;
    const std::string other = T() + "/9/9/9/9/9";
    MakeLink("1:1:/x", other + "/abc");
    MakeLink("1:1:/x", other + "/.9");
    EXPECT_TRUE(m.GetLatestEntry(other, highest));
    EXPECT_EQ(highest, 0u);
    highest = 99;
    EXPECT_TRUE(m.GetLatestEntry(T() + "/missing", highest));
    EXPECT_EQ(highest, 0u);
    // Only the names that are not the index's are written up.
    EXPECT_EQ(log().CountLevel(-1), 2) << log().Dump();
    EXPECT_TRUE(log().Has("[" + other + "/abc] is not part of the index", -1));

    // After the last entry number no insertion wraps to 0, below the others.
    unlink(Latest().c_str());
    MakeLink(Dir3() + "/4294967295", Latest());
    EXPECT_FALSE(m.CreateLatest(Item("c.bin"), position, 1, kKey3));
    EXPECT_EQ(errno, EOVERFLOW);
    EXPECT_TRUE(log().Has("No entry number left in [" + Dir3() + "] after [4294967295]", -1));
    EXPECT_FALSE(Exists(Dir3() + "/0"));
}

TEST_F(Insertion, FailuresLeaveTheLatestLinkAndAreCounted)
{
    CacheManagerImpl& m = Manager();
    log().Clear();
    const std::string item = Item("a.bin");
    std::string position;

    // The chosen entry exists already (an insertion was interrupted before
    // it moved the latest link): the directory gives the next free number.
    MakeLink(Dir3() + "/1", Latest());
    MakeLink("1:1:/other", Dir3() + "/2");
    EXPECT_TRUE(m.CreateLatest(item, position, 5, kKey3));
    EXPECT_EQ(position, Dir3() + "/3");
    EXPECT_TRUE(log().Has("[" + Dir3() + "/2] exists already", 1)) << log().Dump();
    EXPECT_EQ(log().CountLevel(-1), 0) << log().Dump();
    EXPECT_EQ(LinkText(Latest()), Dir3() + "/3");
    EXPECT_EQ(LinkText(Dir3() + "/2"), "1:1:/other");

    // An entry directory that cannot be read is a failed scan.
    log().Clear();
    WriteFile(T() + "/101/83/241/1/0", 0);
    EXPECT_FALSE(m.CreateLatest(item, position, 5, kKeyNext));
    EXPECT_TRUE(log().Has("opendir() failed. [" + DirNext() + "]. [Not a directory]", -1)) << log().Dump();
    EXPECT_EQ(LinkText(Latest()), Dir3() + "/3");
    EXPECT_EQ(m.m_insertCount, 2u);
    EXPECT_EQ(m.m_getMinOrMaxCount, 2u);  // the rescan above and this one

    // An entry text that would not fit is refused before anything is made.
    log().Clear();
    const std::string longItem = "/" + std::string(2043, 'x');  // "5:1:" + 2044 bytes
    EXPECT_FALSE(m.CreateLatest(longItem, position, 5, (1700000002ULL << 8)));
    EXPECT_EQ(log().CountLevel(-1), 1) << log().Dump();
    EXPECT_TRUE(log().Has("File name too long", -1));
    EXPECT_FALSE(Exists(T() + "/101/83/241/2"));
    EXPECT_EQ(m.m_insertCount, 3u);

    // A latest link that cannot be read stops every insertion.
    log().Clear();
    unlink(Latest().c_str());
    ASSERT_EQ(mkdir(Latest().c_str(), 0777), 0);
    EXPECT_FALSE(m.CreateLatest(item, position, 5, kKey3));
    EXPECT_TRUE(log().Has("readlink() failed. [" + Latest() + "] [Invalid argument]", -1)) << log().Dump();
    EXPECT_EQ(ListDir(Dir3()), (std::vector<std::string>{"2", "3"}));
    EXPECT_EQ(m.m_insertCount, 4u);
}

// Directories, entries and links below root, one row each: "path/" for a
// directory, "path -> text" for a link, "path" for a file.
void Walk(const std::string& root, const std::string& relative, std::vector<std::string>& rows)
{
    for (const std::string& name : ListDir(root + relative)) {
        const std::string path = relative + "/" + name;
        if (IsDir(root + path)) {
            rows.push_back(path + "/");
            Walk(root, path, rows);
        } else if (IsLink(root + path)) {
            rows.push_back(path + " -> " + LinkText(root + path));
        } else {
            rows.push_back(path);
        }
    }
}

TEST_F(Insertion, ThreeItemsAndAMethodChangeLeaveThisLayout)
{
    CacheManagerImpl& m = Manager();
    log().Clear();
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

    std::vector<std::string> rows;
    Walk(d, "", rows);
    const std::string t = d + "/CM/7/T/101/83/241";
    const std::vector<std::string> expected = {
        "/CM/",
        "/CM/7/",
        "/CM/7/T/",
        "/CM/7/T/101/",
        "/CM/7/T/101/83/",
        "/CM/7/T/101/83/241/",
        "/CM/7/T/101/83/241/0/",
        "/CM/7/T/101/83/241/0/3/",
        "/CM/7/T/101/83/241/0/3/1 -> 4096:1:" + clip1,
        "/CM/7/T/101/83/241/0/3/2 -> 120:1:" + clip2,
        "/CM/7/T/101/83/241/1/",
        "/CM/7/T/101/83/241/1/0/",
        "/CM/7/T/101/83/241/1/0/1 -> 65536:2:" + tile,
        "/CM/7/latest -> " + t + "/1/0/1",
        "/CM/7/lockfile",
        "/CM/7/oldest -> " + t + "/0/3/1",
        "/CM/7/size -> 69752",
        "/media/",
        "/media/cacheposition.clip0001.bin -> " + t + "/0/3/1",
        "/media/cacheposition.clip0002.bin -> " + t + "/0/3/2",
        "/media/clip0001.bin",
        "/media/clip0002.bin",
        "/tiles/",
        "/tiles/set9/",
        "/tiles/set9/cacheposition.tile.dat -> " + t + "/1/0/1",
        "/tiles/set9/tile.dat",
    };
    EXPECT_EQ(rows, expected);
    EXPECT_EQ(FileSize(d + "/CM/7/lockfile"), 0);
}


TEST_F(Records, ReadWriteAndReplaceRecords)
{
    CacheManagerImpl& m = Manager();
    const std::string item = Item("deep/er/a.bin");
    std::string position = "junk";

    ASSERT_TRUE(m.GetItemCachePos(item, position));
    EXPECT_EQ(position, "");
    EXPECT_EQ(m.m_getPosCount, 1u);

    // The item's directory is made for the record; the item itself is not.
    ASSERT_TRUE(m.SetItemCachePos(item, "/pos/1")) << log().Dump();
    EXPECT_EQ(LinkText(RecordOf(item)), "/pos/1");
    EXPECT_FALSE(Exists(item));
    ASSERT_TRUE(m.SetItemCachePos(item, "/pos/2"));
    ASSERT_TRUE(m.GetItemCachePos(item, position));
    EXPECT_EQ(position, "/pos/2");

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
    EXPECT_EQ(m.m_getPosCount, 3u);
}

TEST_F(Records, ItemDirectoryThatCannotHoldTheRecordFailsOnce)
{
    CacheManagerImpl& m = Manager();
    log().Clear();
    // mkdir() reports the dangling link as existing; symlink() beneath it
    // keeps failing with ENOENT.
    MakeLink(dir() + "/nowhere/deeper", Item("dangling"));
    const std::string item = Item("dangling/x");
    EXPECT_FALSE(m.SetItemCachePos(item, "/pos/1"));
    EXPECT_EQ(log().Count("symlink() failed. [/pos/1]->[" + RecordOf(item) + "] [No such file or directory]", -1), 1)
        << log().Dump();
    EXPECT_FALSE(Exists(dir() + "/nowhere"));
}

TEST_F(Records, UnremovableRecordFailsUnlessTheDefaultMethodRemovesDirectories)
{
    SKIP_UNLESS_ROOT();
    const std::string item = Item("a.bin");
    WriteFile(item, 1);
    MakeLink("/pos/1", RecordOf(item));
    ASSERT_EQ(chmod(dir().c_str(), 0755), 0);
    ASSERT_EQ(chmod(ParentOf(item).c_str(), 0755), 0);

    CacheManagerImpl& unlinking = Manager();
    CacheArgs args = Args();
    args.pruneMethod = PRUNE_UNLINK_RECURSE;
    CacheManagerImpl& recursive = Manager(args);
    const std::string line = "unlink() failed. [" + RecordOf(item) + "] [Permission denied]";

    EXPECT_EQ(RunAsNobody([&]() {
                  log().Clear();
                  if (unlinking.RemoveCachePositionRecord(item))
                      return 1;
                  return log().Count(line, -1) == 1 ? 0 : 2;
              }),
              0);
    EXPECT_EQ(RunAsNobody([&]() {
                  log().Clear();
                  if (!recursive.RemoveCachePositionRecord(item))
                      return 1;
                  return log().Lines().empty() ? 0 : 2;
              }),
              0);
    EXPECT_EQ(LinkText(RecordOf(item)), "/pos/1");
}


TEST_F(Entries, ReadsSizeMethodAndPath)
{
    CacheManagerImpl& m = Manager();
    log().Clear();
    const std::string x = dir() + "/c/x";
    WriteFile(x, 300);
    MakeLink("120:1:" + x, E("1"));
    MakeLink("12:2:" + dir() + "/c/a:b", E("2"));

    CacheItemInfo info;
    ASSERT_TRUE(m.GetItemAtPoisition(E("1"), info)) << log().Dump();
    EXPECT_EQ(info.path, x);
    EXPECT_EQ(info.size, 300u);  // the file as it is, not the entry's figure
    EXPECT_EQ(info.pruneMethod, PRUNE_UNLINK);
    ASSERT_EQ(unlink(x.c_str()), 0);
    ASSERT_TRUE(m.GetItemAtPoisition(E("1"), info));
    EXPECT_EQ(info.size, 0u);

    ASSERT_TRUE(m.GetItemAtPoisition(E("2"), info));
    EXPECT_EQ(info.path, dir() + "/c/a:b");
    EXPECT_EQ(info.pruneMethod, PRUNE_UNLINK_RECURSE);
    EXPECT_EQ(log().CountLevel(-1), 0) << log().Dump();

    for (const char* text : {"12", "12:1"}) {
        log().Clear();
        MakeLink(text, E("3"));
        EXPECT_FALSE(m.GetItemAtPoisition(E("3"), info));
        EXPECT_EQ(errno, EINVAL) << text;
        EXPECT_EQ(log().Count("Malformed link target. [12] [Invalid argument]", -1), 1) << log().Dump();
    }

    log().Clear();
    EXPECT_FALSE(m.GetItemAtPoisition(E("9"), info));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(log().Count("lstat() failed. [" + E("9") + "] [No such file or directory]", -1), 1);
    EXPECT_EQ(log().CountLevel(-1), 1) << log().Dump();
}

TEST_F(Entries, RemovingEmptiesDirectoriesUpToAnOccupiedOneButNeverT)
{
    CacheManagerImpl& m = Manager();
    const std::string x = dir() + "/c/x";
    WriteFile(x, 300);
    MakeLink("120:1:" + x, E("1"));
    const std::string sibling = T() + "/101/83/242/0/0/1";
    MakeLink("1:1:/y", sibling);

    CacheItemInfo info;
    ASSERT_TRUE(m.RemoveItemAtPosition(E("1"), info, true)) << log().Dump();
    EXPECT_EQ(info.path, x);
    EXPECT_EQ(info.size, 300u);
    EXPECT_FALSE(Exists(T() + "/101/83/241"));
    EXPECT_EQ(ListDir(T() + "/101/83"), std::vector<std::string>{"242"});

    ASSERT_TRUE(m.RemoveItemAtPosition(sibling, info, true));
    EXPECT_TRUE(IsDir(T()));
    EXPECT_EQ(ListDir(T()), std::vector<std::string>());

    MakeLink("120:1:" + x, E("1"));
    ASSERT_TRUE(m.RemoveItemAtPosition(E("1"), info, false));
    EXPECT_FALSE(Exists(E("1")));
    EXPECT_TRUE(IsDir(E("")));

    // A shallow entry empties nothing above its own level below "T", and an
    // entry outside "T" takes no directory with it.
    MakeLink("1:1:/y", T() + "/5/1");
    ASSERT_TRUE(m.RemoveItemAtPosition(T() + "/5/1", info, true));
    EXPECT_FALSE(Exists(T() + "/5"));
    EXPECT_TRUE(IsDir(T()));
    const std::string stray = dir() + "/elsewhere/1";
    MakeLink("1:1:/y", stray);
    ASSERT_TRUE(m.RemoveItemAtPosition(stray, info, true));
    EXPECT_TRUE(IsDir(dir() + "/elsewhere"));

    EXPECT_FALSE(m.RemoveItemAtPosition(E("7"), info, true));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(m.m_removeAtPosCount, 6u);
}

TEST_F(Entries, PruneMethodRewriteKeepsTheNameAndTakesTheCurrentSize)
{
    CacheManagerImpl& m = Manager();
    const std::string x = dir() + "/c/x";
    WriteFile(x, 300);
    MakeLink("120:1:" + x, E("4"));

    ASSERT_TRUE(m.UpdatePruneMethod(E("4"), PRUNE_UNLINK_RECURSE)) << log().Dump();
    EXPECT_EQ(LinkText(E("4")), "300:2:" + x);
    ASSERT_EQ(unlink(x.c_str()), 0);
    ASSERT_TRUE(m.UpdatePruneMethod(E("4"), PRUNE_TRUNCATE));
    EXPECT_EQ(LinkText(E("4")), "0:0:" + x);
    EXPECT_EQ(ListDir(E("")), std::vector<std::string>{"4"});

    EXPECT_FALSE(m.UpdatePruneMethod(E("5"), PRUNE_UNLINK));
    EXPECT_FALSE(Exists(E("5")));
}


TEST_F(ModuleSize, TotalsReadWrittenAndClamped)
{
    CacheManagerImpl& m = Manager();
    uint64_t total = 77;
    ASSERT_TRUE(m.GetModuleSize(total));
    EXPECT_EQ(total, 0u);
    EXPECT_FALSE(Exists(SizeLink()));

    ASSERT_TRUE(m.UpdateModuleSize(100));
    EXPECT_EQ(LinkText(SizeLink()), "100");
    EXPECT_TRUE(log().Has("cursize [0] sizein [100] newsize [100].", 4));

    const std::pair<const char*, uint64_t> texts[] = {{"abc", 0}, {"42abc", 42}, {"-5", 0}, {"18446744073709551615", UINT64_MAX}};
    for (const auto& text : texts) {
        MakeLink(text.first, SizeLink());
        total = 77;
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

    // A text longer than a total can be is not read through a cut.
    MakeLink(std::string(300, '9'), SizeLink());
    total = 77;
    EXPECT_FALSE(m.GetModuleSize(total));
    EXPECT_EQ(total, 77u);
    EXPECT_TRUE(log().Has("readlink() failed. [" + SizeLink() + "] [File name too long]", -1)) << log().Dump();
}

TEST_F(ModuleSize, UnreadableLinkFailsEveryChangeButNone)
{
    CacheManagerImpl& m = Manager();
    WriteFile(SizeLink(), 3);
    log().Clear();

    EXPECT_TRUE(m.UpdateModuleSize(0));
    EXPECT_EQ(log().Lines().size(), 0u);

    uint64_t total = 77;
    EXPECT_FALSE(m.GetModuleSize(total));
    EXPECT_EQ(total, 77u);
    EXPECT_EQ(log().Count("readlink() failed. [" + SizeLink() + "] [Invalid argument]", -1), 1) << log().Dump();
    EXPECT_FALSE(m.UpdateModuleSize(1));
    EXPECT_FALSE(m.UpdateModuleSize(-1));
    EXPECT_EQ(FileSize(SizeLink()), 3);
    EXPECT_FALSE(IsLink(SizeLink()));
}

std::string Cwd()
{
    char buffer[PATH_MAX];
    return getcwd(buffer, sizeof buffer) != nullptr ? buffer : "";
}

// Puts the working directory back however the test ends.
class CwdGuard {
public:
    CwdGuard() : m_saved(Cwd()) {}
    ~CwdGuard() { (void)chdir(m_saved.c_str()); }

private:
    std::string m_saved;
};


TEST_F(Oldest, WalkThenAdvanceWithinAndAcrossDirectoriesUntilEmpty)
{
    CacheManagerImpl& m = Manager();
    log().Clear();
    Entry(B() + "/0/3/4");
    Entry(B() + "/0/3/9");
    Entry(B() + "/1/0/1");

    std::string position;
    ASSERT_TRUE(m.GetOldestItem(position)) << log().Dump();
    EXPECT_EQ(position, B() + "/0/3/4");
    EXPECT_FALSE(Exists(OldestLink()));  // the walk stores nothing
    EXPECT_EQ(m.m_getMinOrMaxCount, 6u);

    Remove(m, B() + "/0/3/4");
    ASSERT_TRUE(m.SetNextOldest(B() + "/0/3/4")) << log().Dump();
    EXPECT_EQ(LinkText(OldestLink()), B() + "/0/3/9");
    ASSERT_TRUE(m.GetOldestItem(position));
    EXPECT_EQ(position, B() + "/0/3/9");

    Remove(m, B() + "/0/3/9");  // empties 0/3 and 0
    EXPECT_FALSE(Exists(B() + "/0"));
    ASSERT_TRUE(m.SetNextOldest(B() + "/0/3/9")) << log().Dump();
    EXPECT_EQ(LinkText(OldestLink()), B() + "/1/0/1");
    EXPECT_EQ(log().CountLevel(-1), 0) << log().Dump();

    Remove(m, B() + "/1/0/1");
    EXPECT_TRUE(m.SetNextOldest(B() + "/1/0/1"));
    EXPECT_EQ(log().Count("Failed to find next oldest. Cache must be empty.", -1), 1) << log().Dump();
    EXPECT_FALSE(Exists(OldestLink()));
    EXPECT_TRUE(IsDir(T()));
    EXPECT_EQ(m.m_setNextOldestCount, 3u);

    // Still the smallest: nothing to move to, and the link is left alone.
    Entry(T() + "/5/5/5/5/5/1");
    Entry(T() + "/5/5/5/5/5/2");
    MakeLink("keep", OldestLink());
    log().Clear();
    EXPECT_FALSE(m.SetNextOldest(T() + "/5/5/5/5/5/1"));
    EXPECT_EQ(log().Count("Failed to find next oldest", -1), 1) << log().Dump();
    EXPECT_EQ(LinkText(OldestLink()), "keep");
    EXPECT_EQ(m.m_setNextOldestCount, 4u);
}

TEST_F(Oldest, SetModeWorksOnEntryDirectories)
{
    CacheManagerImpl& m = SetModeManager();
    log().Clear();
    Entry(B() + "/0/3/4");
    Entry(B() + "/0/3/9");
    Entry(B() + "/1/0/1");

    std::string oldest;
    ASSERT_TRUE(m.GetOldestDir(oldest)) << log().Dump();
    EXPECT_EQ(oldest, B() + "/0/3");
    EXPECT_EQ(m.m_getMinOrMaxCount, 5u);

    // The pruned directory is gone; the parent it emptied is left for the
    // advance to remove.
    ASSERT_EQ(unlink((B() + "/0/3/4").c_str()), 0);
    ASSERT_EQ(unlink((B() + "/0/3/9").c_str()), 0);
    ASSERT_EQ(rmdir((B() + "/0/3").c_str()), 0);
    ASSERT_TRUE(m.SetNextOldestDir(B() + "/0/3")) << log().Dump();
    EXPECT_EQ(LinkText(OldestLink()), B() + "/1/0");
    EXPECT_FALSE(Exists(B() + "/0"));
    EXPECT_EQ(m.m_setNextOldestCount, 1u);

    ASSERT_EQ(unlink((B() + "/1/0/1").c_str()), 0);
    ASSERT_EQ(rmdir((B() + "/1/0").c_str()), 0);
    EXPECT_TRUE(m.SetNextOldestDir(B() + "/1/0"));
    EXPECT_TRUE(log().Has("Failed to find next oldest. Cache must be empty.", -1));
    EXPECT_FALSE(Exists(OldestLink()));
    EXPECT_EQ(ListDir(T()), std::vector<std::string>());
}

TEST_F(Oldest, LinkStatesEmptyStaleAndWrongDepth)
{
    CacheManagerImpl& item = Manager();
    CacheManagerImpl& set = SetModeManager();
    log().Clear();
    std::string found = "junk";

    // Empty index, no link: empty result, and no link is made.
    ASSERT_TRUE(item.GetOldestItem(found));
    EXPECT_EQ(found, "");
    found = "junk";
    ASSERT_TRUE(set.GetOldestDir(found));
    EXPECT_EQ(found, "");
    EXPECT_FALSE(Exists(OldestLink()));

    // A link naming a removed entry is handed out as it is.
    MakeLink(T() + "/1/2/3/4/5/6", OldestLink());
    ASSERT_TRUE(item.GetOldestItem(found));
    EXPECT_EQ(found, T() + "/1/2/3/4/5/6");
    EXPECT_EQ(log().CountLevel(-1), 0) << log().Dump();

    // A link left by the other prune mode names the wrong level: the index
    // is walked instead.
    Entry(B() + "/0/3/4");
    MakeLink(B() + "/0/3", OldestLink());
    ASSERT_TRUE(item.GetOldestItem(found));
    EXPECT_EQ(found, B() + "/0/3/4");
    EXPECT_TRUE(log().Has("Oldest link [" + B() + "/0/3] does not name an entry.", -1)) << log().Dump();

    MakeLink(B() + "/0/3/4", OldestLink());
    ASSERT_TRUE(set.GetOldestDir(found));
    EXPECT_EQ(found, B() + "/0/3");
    EXPECT_TRUE(log().Has("Oldest link [" + B() + "/0/3/4] does not name an entry directory.", -1));
}

TEST_F(Oldest, WalksRemoveTheEmptyDirectoriesTheyMeet)
{
    CacheManagerImpl& m = Manager();
    log().Clear();
    MakeDirs(T() + "/100/1");        // left by an interrupted insertion
    MakeDirs(B() + "/0/2");
    Entry(B() + "/0/3/4");
    Entry(B() + "/0/3/9");
    MakeDirs(B() + "/1/0");
    Entry(B() + "/2/0/1");

    std::string position;
    ASSERT_TRUE(m.GetOldestItem(position)) << log().Dump();
    EXPECT_EQ(position, B() + "/0/3/4");
    EXPECT_FALSE(Exists(T() + "/100"));
    EXPECT_FALSE(Exists(B() + "/0/2"));

    // Down from 241 the advance meets the empty 1/0 and goes on to 2.
    ASSERT_EQ(unlink((B() + "/0/3/4").c_str()), 0);
    ASSERT_EQ(unlink((B() + "/0/3/9").c_str()), 0);
    ASSERT_TRUE(m.SetNextOldest(B() + "/0/3/9")) << log().Dump();
    EXPECT_EQ(LinkText(OldestLink()), B() + "/2/0/1");
    EXPECT_EQ(ListDir(B()), std::vector<std::string>{"2"});
    EXPECT_EQ(log().CountLevel(-1), 0) << log().Dump();
}

TEST_F(Oldest, AdvanceStopsBelowTheTimeTableWhenItsBranchIsUsedUp)
{
    CacheManagerImpl& m = Manager();
    log().Clear();
    Entry(B() + "/0/3/4");
    Entry(T() + "/102/0/0/0/0/1");
    MakeLink(B() + "/0/3/4", OldestLink());

    Remove(m, B() + "/0/3/4");  // takes all of 101 with it
    EXPECT_FALSE(Exists(T() + "/101"));
    EXPECT_TRUE(m.SetNextOldest(B() + "/0/3/4"));
    EXPECT_TRUE(log().Has("Failed to find next oldest. Cache must be empty.", -1));
    EXPECT_FALSE(Exists(OldestLink()));

    std::string position;
    ASSERT_TRUE(m.GetOldestItem(position));
    EXPECT_EQ(position, T() + "/102/0/0/0/0/1");
}

TEST_F(Oldest, ScansTakeTheSmallestNumberAndKeepTheWorkingDirectory)
{
    CacheManagerImpl& m = Manager();
    log().Clear();
    const std::string before = Cwd();
    const std::string d = dir() + "/scan";
    for (const char* name : {"3", "12", ".tmp"})
        Entry(d + "/a/" + name);
    Entry(d + "/b/.x");
    Entry(d + "/b/.y");
    Entry(d + "/c/abc");
    Entry(d + "/c/3");

    bool empty = true;
    uint32_t smallest = 0;
    ASSERT_TRUE(m.GetOldest(d + "/a", empty, smallest));
    EXPECT_FALSE(empty);
    EXPECT_EQ(smallest, 3u);
    // A name the index could not have written is passed over, named.
    ASSERT_TRUE(m.GetOldest(d + "/c", empty, smallest));
    EXPECT_EQ(smallest, 3u);
    EXPECT_TRUE(log().Has("[" + d + "/c/abc] is not part of the index", -1)) << log().Dump();

    std::string text = "unchanged";
    ASSERT_TRUE(m.GetOldest(d + "/b", empty, text));
    EXPECT_TRUE(empty);
    EXPECT_EQ(text, "unchanged");
    EXPECT_EQ(Cwd(), before);

    log().Clear();
    errno = 0;
    EXPECT_FALSE(m.GetOldest(d + "/missing", empty, smallest));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(empty);
    EXPECT_EQ(log().Lines().size(), 0u) << log().Dump();
    EXPECT_EQ(Cwd(), before);
    EXPECT_EQ(m.m_getMinOrMaxCount, 4u);
}

TEST_F(Oldest, RelativeCacheDirWorksAndTheWorkingDirectoryStays)
{
    CwdGuard guard;
    ASSERT_EQ(chdir(dir().c_str()), 0);
    CacheArgs args = Args();
    args.cacheDir = "rel";
    CacheManagerImpl& m = Manager(args);
    log().Clear();

    std::string first, second;
    ASSERT_TRUE(m.CreateLatest("items/a", first, 5, kKey3)) << log().Dump();
    ASSERT_TRUE(m.CreateLatest("items/b", second, 5, kKey3 + 1)) << log().Dump();
    EXPECT_EQ(first, "rel/CM/7/T/101/83/241/0/3/1");
    EXPECT_TRUE(IsLink(dir() + "/" + first));

    std::string position;
    ASSERT_TRUE(m.GetOldestItem(position)) << log().Dump();
    EXPECT_EQ(position, first);
    Remove(m, first);
    ASSERT_TRUE(m.SetNextOldest(first)) << log().Dump();
    EXPECT_EQ(LinkText(dir() + "/rel/CM/7/oldest"), "rel/CM/7/T/101/83/241/0/4/1");
    EXPECT_EQ(Cwd(), dir());
    EXPECT_EQ(log().CountLevel(-1), 0) << log().Dump();
}


TEST_F(AdvanceProbe, PruningADirectoryOneByOneScansItOnlyWhenTheLinkIsMissing)
{
    CacheManagerImpl& m = Manager();
    AddItems(m, 5);
    log().Clear();

    // The first prune has no oldest link: it walks from "T", and so does its
    // advance.
    uint64_t freed = 0;
    uint64_t scans = m.m_getMinOrMaxCount;
    ASSERT_TRUE(m.PruneOneItem(freed)) << log().Dump();
    EXPECT_EQ(freed, 100u);
    EXPECT_EQ(LinkText(OldestLink()), Dir3() + "/2");
    EXPECT_EQ(m.m_getMinOrMaxCount, scans + 7);  // six levels down from "T", then the entry directory
    scans = m.m_getMinOrMaxCount;

    // From then on every advance finds the next entry without a scan.
    for (int next = 3; next <= 5; ++next) {
        ASSERT_TRUE(m.PruneOneItem(freed)) << log().Dump();
        EXPECT_EQ(LinkText(OldestLink()), Dir3() + "/" + std::to_string(next));
        EXPECT_EQ(m.m_getMinOrMaxCount, scans) << "advance to " << next << " scanned";
        EXPECT_FALSE(Exists(Item(Name(next - 2))));
        EXPECT_FALSE(Exists(RecordOf(Item(Name(next - 2)))));
    }

    // The last one has no successor: the walk finds the cache empty, as ever.
    ASSERT_TRUE(m.PruneOneItem(freed)) << log().Dump();
    EXPECT_FALSE(Exists(OldestLink()));
    EXPECT_EQ(log().Count("Failed to find next oldest. Cache must be empty.", -1), 1) << log().Dump();
    EXPECT_FALSE(Exists(T() + "/101"));
    EXPECT_EQ(m.m_setNextOldestCount, 5u);
    EXPECT_EQ(log().CountLevel(-1), 1) << log().Dump();
}

TEST_F(AdvanceProbe, GapsAndBrokenPremisesTakeTheWalk)
{
    CacheManagerImpl& m = Manager();
    AddItems(m, 6);
    MakeLink(Dir3() + "/1", OldestLink());
    log().Clear();

    // Entries 2 and 3 went with their items: the walk finds 4.
    ASSERT_TRUE(m.DeleteFromCache(Item(Name(1))));
    ASSERT_TRUE(m.DeleteFromCache(Item(Name(2))));
    uint64_t freed = 0;
    uint64_t scans = m.m_getMinOrMaxCount;
    ASSERT_TRUE(m.PruneOneItem(freed)) << log().Dump();
    EXPECT_EQ(LinkText(OldestLink()), Dir3() + "/4");
    EXPECT_EQ(m.m_getMinOrMaxCount, scans + 1);
    scans = m.m_getMinOrMaxCount;
    ASSERT_TRUE(m.PruneOneItem(freed)) << log().Dump();
    EXPECT_EQ(LinkText(OldestLink()), Dir3() + "/5");
    EXPECT_EQ(m.m_getMinOrMaxCount, scans);

    // The entry named is still there: the walk finds it again and fails,
    // however its successor stands.
    ASSERT_TRUE(Exists(Dir3() + "/6"));
    EXPECT_FALSE(m.SetNextOldest(Dir3() + "/5"));
    EXPECT_EQ(log().Count("Failed to find next oldest", -1), 1) << log().Dump();
    EXPECT_EQ(LinkText(OldestLink()), Dir3() + "/5");

    // An advance from an entry that the oldest link does not name (here not
    // the smallest) is the walk's: 5, not the probe's 7.
    CacheItemInfo info;
    ASSERT_TRUE(m.RemoveItemAtPosition(Dir3() + "/6", info, true));
    MakeLink("7:1:" + Item("x"), Dir3() + "/7");
    ASSERT_TRUE(m.SetNextOldest(Dir3() + "/6")) << log().Dump();
    EXPECT_EQ(LinkText(OldestLink()), Dir3() + "/5");
    EXPECT_EQ(log().CountLevel(-1), 1) << log().Dump();
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
