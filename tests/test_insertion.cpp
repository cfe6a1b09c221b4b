// The young end of the index: entry directories, entry numbers, entry texts
// and the latest link, with the caller's time keys for determinism.
#include "tests/TestSupport.h"

#include <sys/stat.h>
#include <sys/time.h>

namespace {

using test::Exists;
using test::IsDir;
using test::LinkText;
using test::ListDir;
using test::MakeLink;

// 1700000000.3 s and 1700000001.0 s as time keys.
const uint64_t kKey3 = (1700000000ULL << 8) | 3;
const uint64_t kKeyNext = (1700000001ULL << 8) | 0;

class Insertion : public test::CacheTest {
protected:
    std::string Dir3() const { return T() + "/101/83/241/0/3"; }
    std::string DirNext() const { return T() + "/101/83/241/1/0"; }
    std::string Latest() const { return ModuleRoot() + "/latest"; }
};

TEST_F(Insertion, FirstInsertionThenSameDirectoryThenAnother)
{
    ASSERT_EQ(kKey3, 435200000003ULL);
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
    test::MakeDirs(Dir3());
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
    test::WriteFile(T() + "/101/83/241/1/0", 0);
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
        } else if (test::IsLink(root + path)) {
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
    test::WriteFile(old, 10);
    test::WriteFile(clip1, 4096);
    test::WriteFile(clip2, 120);
    test::WriteFile(tile, 65536);

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
    EXPECT_EQ(test::FileSize(d + "/CM/7/lockfile"), 0);
}

}  // namespace
