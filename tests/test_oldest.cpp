// The old end of the index: finding the oldest entry or entry directory,
// moving the oldest link on after a prune, and the directory scans beneath.
#include "tests/TestSupport.h"

#include <cerrno>
#include <climits>
#include <unistd.h>

namespace {

using test::Exists;
using test::LinkText;
using test::MakeLink;

const uint64_t kKey3 = (1700000000ULL << 8) | 3;

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

class Oldest : public test::CacheTest {
protected:
    // The branch shared by the scenarios: 101/83/241 below "T".
    std::string B() const { return T() + "/101/83/241"; }
    std::string OldestLink() const { return ModuleRoot() + "/oldest"; }
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
    EXPECT_TRUE(test::IsDir(T()));
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
    EXPECT_EQ(test::ListDir(T()), std::vector<std::string>());
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
    test::MakeDirs(T() + "/100/1");        // left by an interrupted insertion
    test::MakeDirs(B() + "/0/2");
    Entry(B() + "/0/3/4");
    Entry(B() + "/0/3/9");
    test::MakeDirs(B() + "/1/0");
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
    EXPECT_EQ(test::ListDir(B()), std::vector<std::string>{"2"});
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
    EXPECT_TRUE(test::IsLink(dir() + "/" + first));

    std::string position;
    ASSERT_TRUE(m.GetOldestItem(position)) << log().Dump();
    EXPECT_EQ(position, first);
    Remove(m, first);
    ASSERT_TRUE(m.SetNextOldest(first)) << log().Dump();
    EXPECT_EQ(LinkText(dir() + "/rel/CM/7/oldest"), "rel/CM/7/T/101/83/241/0/4/1");
    EXPECT_EQ(Cwd(), dir());
    EXPECT_EQ(log().CountLevel(-1), 0) << log().Dump();
}

}  // namespace
