// The single pruning steps: one item's file by its method, the oldest item,
// the oldest entry directory.
#include "tests/PruneSupport.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {

using test::Exists;
using test::FileSize;
using test::IsDir;
using test::Key;
using test::MakeLink;
using test::WriteFile;

class Prune : public test::PruneTest {};

TEST_F(Prune, PruneItemAppliesEachMethodThenRemovesTheRecord)
{
    CacheManagerImpl& m = Manager();
    const std::string t = Item("t"), u = Item("u");
    for (const std::string& item : {t, u}) {
        WriteFile(item, 40);
        MakeLink("entry", RecordOf(item));
    }
    EXPECT_TRUE(m.PruneItem(t, PRUNE_TRUNCATE));
    EXPECT_EQ(FileSize(t), 0);
    EXPECT_TRUE(log().Has("Pruned(truncate) [" + t + "].", 4));
    EXPECT_TRUE(m.PruneItem(u, PRUNE_UNLINK));
    EXPECT_FALSE(Exists(u));
    EXPECT_TRUE(log().Has("Removed(unlink) [" + u + "].", 4));
    EXPECT_FALSE(Exists(RecordOf(t)));
    EXPECT_FALSE(Exists(RecordOf(u)));

    // A file that is already gone counts as pruned, with the same line, and
    // truncating it does not bring it back.
    MakeLink("entry", RecordOf(u));
    log().Clear();
    EXPECT_TRUE(m.PruneItem(u, PRUNE_UNLINK));
    EXPECT_TRUE(m.PruneItem(u, PRUNE_TRUNCATE));
    EXPECT_TRUE(log().Has("Removed(unlink) [" + u + "].", 4));
    EXPECT_TRUE(log().Has("Pruned(truncate) [" + u + "].", 4));
    EXPECT_EQ(log().CountLevel(-1), 0) << log().Dump();
    EXPECT_FALSE(Exists(u));
    EXPECT_FALSE(Exists(RecordOf(u)));

    // Any other method value leaves the file alone: only the record goes.
    WriteFile(u, 40);
    MakeLink("entry", RecordOf(u));
    EXPECT_TRUE(m.PruneItem(u, static_cast<PruneMethod>(7)));
    EXPECT_EQ(FileSize(u), 40);
    EXPECT_FALSE(Exists(RecordOf(u)));
}

TEST_F(Prune, UnlinkRecurseRemovesEmptiedDirectoriesUpToEightLevels)
{
    CacheManagerImpl& m = Manager();
    // Stops at the first directory that still holds something.
    const std::string item = Item("a/b/c/x");
    WriteFile(item, 10);
    WriteFile(Item("a/keep"), 1);
    MakeLink("entry", RecordOf(item));
    EXPECT_TRUE(m.PruneItem(item, PRUNE_UNLINK_RECURSE));
    EXPECT_TRUE(log().Has("Removed(unlink_recurse) [" + item + "].", 4));
    EXPECT_FALSE(Exists(Item("a/b")));
    EXPECT_TRUE(IsDir(Item("a")));
    EXPECT_TRUE(Exists(Item("a/keep")));

    // Stops after the item's directory and seven ancestors.
    const std::string deep = Item("d/1/2/3/4/5/6/7/8/x");
    WriteFile(deep, 10);
    MakeLink("entry", RecordOf(deep));
    EXPECT_TRUE(m.PruneItem(deep, PRUNE_UNLINK_RECURSE));
    EXPECT_FALSE(Exists(Item("d/1")));
    EXPECT_TRUE(IsDir(Item("d")));
}

TEST_F(Prune, UnlinkFailureKeepsTheRecord)
{
    SKIP_UNLESS_ROOT();
    CacheManagerImpl& m = Manager();
    const std::string item = Item("locked/f");
    WriteFile(item, 10);
    MakeLink("entry", RecordOf(item));
    // Readable for everyone, writable only for root.
    for (const std::string& d : {dir(), Item(""), Item("locked")})
        ASSERT_EQ(chmod(d.c_str(), 0755), 0);
    const int code = test::RunAsNobody([&]() {
        if (m.PruneItem(item, PRUNE_UNLINK))
            return 1;
        return log().Has("unlink() failed. [" + item + "] [Permission denied]", -1) ? 0 : 2;
    });
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(Exists(item));
    EXPECT_TRUE(Exists(RecordOf(item)));
}

TEST_F(Prune, PruneOneItemTakesTheOldestByTimeKey)
{
    CacheManagerImpl& m = Manager();
    const std::string a = Add(m, "a", 10, Key(3));
    const std::string b = Add(m, "b", 20, Key(1));
    const std::string c = Add(m, "c", 30, Key(2));
    const std::string entryOfC = EntryOf(c);

    uint64_t freed = 0;
    ASSERT_TRUE(m.PruneOneItem(freed)) << log().Dump();
    EXPECT_EQ(freed, 20u);
    EXPECT_FALSE(Exists(b));
    EXPECT_FALSE(Exists(RecordOf(b)));
    EXPECT_FALSE(Exists(T() + "/0/0/0/1"));
    EXPECT_EQ(OldestText(), entryOfC);

    // The oldest link names an entry removed behind the manager's back: the
    // link goes, the oldest is found afresh, and c's file stays untouched.
    ASSERT_EQ(unlink(entryOfC.c_str()), 0);
    ASSERT_TRUE(m.PruneOneItem(freed)) << log().Dump();
    EXPECT_EQ(freed, 10u);
    EXPECT_FALSE(Exists(a));
    EXPECT_EQ(FileSize(c), 30);
    EXPECT_TRUE(Entries().empty());

    freed = 99;
    log().Clear();
    EXPECT_FALSE(m.PruneOneItem(freed));
    EXPECT_EQ(freed, 0u);
    EXPECT_TRUE(log().Has("Cache is empty. There is nothing to prune.", 4));
}

TEST_F(Prune, PruneOneItemTakesTheEntryOutBeforeTouchingTheFile)
{
    CacheManagerImpl& m = Manager();
    // An item that cannot be unlinked: a directory.
    const std::string d = Item("d");
    WriteFile(Item("d/inner"), 5);
    ASSERT_TRUE(m.UpdateItem(d, true, 10, Key(1)));
    const std::string e = Add(m, "e", 10, Key(2));
    const std::string gone = Add(m, "gone", 10, Key(3));

    uint64_t freed = 0;
    ASSERT_TRUE(m.PruneOneItem(freed)) << log().Dump();
    EXPECT_EQ(freed, static_cast<uint64_t>(FileSize(d)));
    EXPECT_TRUE(log().Has("unlink() failed. [" + d + "] [Is a directory]", -1)) << log().Dump();
    EXPECT_TRUE(IsDir(d));
    EXPECT_TRUE(Exists(RecordOf(d)));
    EXPECT_EQ(Entries(), std::vector<std::string>({EntryOf(e), EntryOf(gone)}));
    EXPECT_EQ(OldestText(), EntryOf(e));

    // An item whose file someone else deleted frees nothing.
    ASSERT_TRUE(m.PruneOneItem(freed));
    ASSERT_EQ(unlink(gone.c_str()), 0);
    log().Clear();
    ASSERT_TRUE(m.PruneOneItem(freed));
    EXPECT_EQ(freed, 0u);
    EXPECT_TRUE(log().Has("Removed(unlink) [" + gone + "].", 4));
    EXPECT_FALSE(Exists(RecordOf(gone)));
}

TEST_F(Prune, PruneOneDirPrunesTheOldestEntryDirectoryAsAWhole)
{
    CacheArgs args = Args();
    args.pruneMode = CM_PRUNE_SET;
    CacheManagerImpl& m = Manager(args);
    const std::string x = Add(m, "x", 10, Key(1));
    const std::string y = Add(m, "y", 20, Key(1));
    const std::string z = Add(m, "z", 5, Key(1));
    ASSERT_EQ(truncate(z.c_str(), 0), 0);
    const std::string w = Add(m, "w", 7, 1u << 16);  // T/0/0/1/0/0

    uint64_t freed = 0;
    ASSERT_TRUE(m.PruneOneDir(freed)) << log().Dump();
    EXPECT_EQ(freed, 30u);
    for (const std::string& item : {x, y, z}) {
        EXPECT_FALSE(Exists(item)) << item;
        EXPECT_FALSE(Exists(RecordOf(item))) << item;
    }
    // The entry directory and the ancestors it emptied are gone.
    EXPECT_FALSE(Exists(T() + "/0/0/0"));
    EXPECT_TRUE(IsDir(T() + "/0/0/1"));
    EXPECT_EQ(OldestText(), T() + "/0/0/1/0/0");
    EXPECT_EQ(FileSize(w), 7);

    ASSERT_TRUE(m.PruneOneDir(freed));
    EXPECT_EQ(freed, 7u);
    freed = 99;
    log().Clear();
    EXPECT_FALSE(m.PruneOneDir(freed));
    EXPECT_EQ(freed, 0u);
    EXPECT_TRUE(log().Has("Cache is empty. There is nothing to prune.", 1));
}

}  // namespace
