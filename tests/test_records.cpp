// The records beside the items, reading and rewriting single entries, and
// the module's byte total.
#include "tests/TestSupport.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using test::Exists;
using test::IsDir;
using test::LinkText;
using test::MakeLink;

class Records : public test::CacheTest {};

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
    test::WriteFile(item, 1);
    MakeLink("/pos/1", RecordOf(item));
    ASSERT_EQ(chmod(dir().c_str(), 0755), 0);
    ASSERT_EQ(chmod(test::ParentOf(item).c_str(), 0755), 0);

    CacheManagerImpl& unlinking = Manager();
    CacheArgs args = Args();
    args.pruneMethod = PRUNE_UNLINK_RECURSE;
    CacheManagerImpl& recursive = Manager(args);
    const std::string line = "unlink() failed. [" + RecordOf(item) + "] [Permission denied]";

    EXPECT_EQ(test::RunAsNobody([&]() {
                  log().Clear();
                  if (unlinking.RemoveCachePositionRecord(item))
                      return 1;
                  return log().Count(line, -1) == 1 ? 0 : 2;
              }),
              0);
    EXPECT_EQ(test::RunAsNobody([&]() {
                  log().Clear();
                  if (!recursive.RemoveCachePositionRecord(item))
                      return 1;
                  return log().Lines().empty() ? 0 : 2;
              }),
              0);
    EXPECT_EQ(LinkText(RecordOf(item)), "/pos/1");
}

class Entries : public test::CacheTest {
protected:
    std::string E(const std::string& name) const { return T() + "/101/83/241/0/3/" + name; }
};

TEST_F(Entries, ReadsSizeMethodAndPath)
{
    CacheManagerImpl& m = Manager();
    log().Clear();
    const std::string x = dir() + "/c/x";
    test::WriteFile(x, 300);
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
    test::WriteFile(x, 300);
    MakeLink("120:1:" + x, E("1"));
    const std::string sibling = T() + "/101/83/242/0/0/1";
    MakeLink("1:1:/y", sibling);

    CacheItemInfo info;
    ASSERT_TRUE(m.RemoveItemAtPosition(E("1"), info, true)) << log().Dump();
    EXPECT_EQ(info.path, x);
    EXPECT_EQ(info.size, 300u);
    EXPECT_FALSE(Exists(T() + "/101/83/241"));
    EXPECT_EQ(test::ListDir(T() + "/101/83"), std::vector<std::string>{"242"});

    ASSERT_TRUE(m.RemoveItemAtPosition(sibling, info, true));
    EXPECT_TRUE(IsDir(T()));
    EXPECT_EQ(test::ListDir(T()), std::vector<std::string>());

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
    test::WriteFile(x, 300);
    MakeLink("120:1:" + x, E("4"));

    ASSERT_TRUE(m.UpdatePruneMethod(E("4"), PRUNE_UNLINK_RECURSE)) << log().Dump();
    EXPECT_EQ(LinkText(E("4")), "300:2:" + x);
    ASSERT_EQ(unlink(x.c_str()), 0);
    ASSERT_TRUE(m.UpdatePruneMethod(E("4"), PRUNE_TRUNCATE));
    EXPECT_EQ(LinkText(E("4")), "0:0:" + x);
    EXPECT_EQ(test::ListDir(E("")), std::vector<std::string>{"4"});

    EXPECT_FALSE(m.UpdatePruneMethod(E("5"), PRUNE_UNLINK));
    EXPECT_FALSE(Exists(E("5")));
}

class ModuleSize : public test::CacheTest {
protected:
    std::string Link() const { return ModuleRoot() + "/size"; }
};

TEST_F(ModuleSize, TotalsReadWrittenAndClamped)
{
    CacheManagerImpl& m = Manager();
    uint64_t total = 77;
    ASSERT_TRUE(m.GetModuleSize(total));
    EXPECT_EQ(total, 0u);
    EXPECT_FALSE(Exists(Link()));

    ASSERT_TRUE(m.UpdateModuleSize(100));
    EXPECT_EQ(LinkText(Link()), "100");
    EXPECT_TRUE(log().Has("cursize [0] sizein [100] newsize [100].", 4));

    const std::pair<const char*, uint64_t> texts[] = {{"abc", 0}, {"42abc", 42}, {"-5", 0}, {"18446744073709551615", UINT64_MAX}};
    for (const auto& text : texts) {
        MakeLink(text.first, Link());
        total = 77;
        ASSERT_TRUE(m.GetModuleSize(total)) << text.first;
        EXPECT_EQ(total, text.second) << text.first;
    }

    // A decrease past the total stores 0 rather than wrapping round.
    MakeLink("30", Link());
    log().Clear();
    ASSERT_TRUE(m.UpdateModuleSize(-50));
    EXPECT_EQ(LinkText(Link()), "0");
    EXPECT_EQ(log().CountLevel(1), 1) << log().Dump();
    EXPECT_EQ(log().CountLevel(-1), 0);

    // A text longer than a total can be is not read through a cut.
    MakeLink(std::string(300, '9'), Link());
    total = 77;
    EXPECT_FALSE(m.GetModuleSize(total));
    EXPECT_EQ(total, 77u);
    EXPECT_TRUE(log().Has("readlink() failed. [" + Link() + "] [File name too long]", -1)) << log().Dump();
}

TEST_F(ModuleSize, UnreadableLinkFailsEveryChangeButNone)
{
    CacheManagerImpl& m = Manager();
    test::WriteFile(Link(), 3);
    log().Clear();

    EXPECT_TRUE(m.UpdateModuleSize(0));
    EXPECT_EQ(log().Lines().size(), 0u);

    uint64_t total = 77;
    EXPECT_FALSE(m.GetModuleSize(total));
    EXPECT_EQ(total, 77u);
    EXPECT_EQ(log().Count("readlink() failed. [" + Link() + "] [Invalid argument]", -1), 1) << log().Dump();
    EXPECT_FALSE(m.UpdateModuleSize(1));
    EXPECT_FALSE(m.UpdateModuleSize(-1));
    EXPECT_EQ(test::FileSize(Link()), 3);
    EXPECT_FALSE(test::IsLink(Link()));
}

}  // namespace
