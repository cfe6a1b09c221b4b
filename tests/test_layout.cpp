// The on-disk names of a module, time keys and their directories, and the
// making of a directory with its missing ancestors.
#include "tests/TestSupport.h"

#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

#include "cachemanager/timetable/Layout.h"

namespace {

namespace layout = cm::layout;

class Layout : public test::CacheTest {};

TEST(LayoutNames, EveryNameAndTextOfTheLayout)
{
    const std::string root = layout::ModuleRoot("/var/cache", 7);
    EXPECT_EQ(root, "/var/cache/CM/7");
    EXPECT_EQ(layout::ModuleRoot("/c", 4294967295u), "/c/CM/4294967295");
    EXPECT_EQ(layout::TimeTableDir(root), "/var/cache/CM/7/T");
    EXPECT_EQ(layout::LockFile(root), "/var/cache/CM/7/lockfile");
    EXPECT_EQ(layout::OldestLink(root), "/var/cache/CM/7/oldest");
    EXPECT_EQ(layout::LatestLink(root), "/var/cache/CM/7/latest");
    EXPECT_EQ(layout::SizeLink(root), "/var/cache/CM/7/size");

    const uint64_t clock = (uint64_t(1700000000) << 8);  // 435200000000
    struct {
        uint64_t key;
        const char* dir;
    } const keys[] = {
        {0, "T/0/0/0/0/0"},
        {clock | 3, "T/101/83/241/0/3"},  // 1700000000.345678 s
        {(uint64_t(1700000001) << 8) | 0, "T/101/83/241/1/0"},
        {clock | 200, "T/101/83/241/0/200"},
        {(uint64_t(5) << 32) | 0x01020304, "T/5/1/2/3/4"},
        {UINT64_MAX, "T/4294967295/255/255/255/255"},
    };
    EXPECT_EQ(clock | 3, 435200000003u);
    for (const auto& k : keys)
        EXPECT_EQ(layout::EntryDir("T", k.key), k.dir) << k.key;
    EXPECT_EQ(layout::EntryPath("T/0/0/0/0/0", 12), "T/0/0/0/0/0/12");

    EXPECT_EQ(layout::EntryTarget(12, 1, "/a/b:c"), "12:1:/a/b:c");
    EXPECT_EQ(layout::EntryTarget(UINT64_MAX, -1, "x"), "18446744073709551615:-1:x");
    layout::EntryFields fields{};
    std::string bad;
    ASSERT_TRUE(layout::ParseEntryTarget("12:1:/a/b:c", fields, bad));
    EXPECT_EQ(fields.size, 12);
    EXPECT_EQ(fields.method, 1);
    EXPECT_EQ(fields.item, "/a/b:c");
    ASSERT_TRUE(layout::ParseEntryTarget("0:2:", fields, bad));
    EXPECT_EQ(fields.method, 2);
    EXPECT_EQ(fields.item, "");
    for (const char* malformed : {"12", "12:1"}) {
        bad.clear();
        EXPECT_FALSE(layout::ParseEntryTarget(malformed, fields, bad)) << malformed;
        EXPECT_EQ(bad, "12") << malformed;
    }

    EXPECT_EQ(layout::RecordPath("/x/y/data"), "/x/y/cacheposition.data");
    EXPECT_EQ(layout::RecordPath("data"), "cacheposition.data");
}

TEST(LayoutNames, TimeStampsFromTheClock)
{
    uint64_t key = 123;
    GetTimeStamp(key, 0);
    EXPECT_EQ(key, 0u);
    for (int i = 0; i < 20; ++i) {
        const time_t before = time(nullptr);
        GetTimeStamp(key, layout::kTimeResolutionMs);
        const time_t after = time(nullptr);
        EXPECT_LE(key & 0xFF, 9u);
        EXPECT_GE(key >> 8, uint64_t(before));
        // time() reads a coarser clock, which may lag a tick behind.
        EXPECT_LE(key >> 8, uint64_t(after) + 1);
        usleep(15000);
    }
}

TEST_F(Layout, CreateDirRecurseMakesAtMostFiveLevels)
{
    CacheManagerImpl m;  // needs no initialisation
    struct stat before, after;
    ASSERT_EQ(stat(dir().c_str(), &before), 0);
    EXPECT_TRUE(m.CreateDirRecurse(dir()));
    ASSERT_EQ(stat(dir().c_str(), &after), 0);
    EXPECT_TRUE(before.st_mtim.tv_sec == after.st_mtim.tv_sec && before.st_mtim.tv_nsec == after.st_mtim.tv_nsec);
    EXPECT_TRUE(test::ListDir(dir()).empty());

    const std::string five = dir() + "/1/2/3/4/5";
    EXPECT_TRUE(m.CreateDirRecurse(five)) << log().Dump();
    EXPECT_TRUE(test::IsDir(five));
    EXPECT_TRUE(log().Lines().empty()) << log().Dump();

    const std::string six = dir() + "/a/b/c/d/e/f";
    EXPECT_FALSE(m.CreateDirRecurse(six));
    EXPECT_FALSE(test::Exists(dir() + "/a"));
    EXPECT_EQ(log().Count("mkdir() failed. [" + dir() + "/a/b] [No such file or directory]", -1), 1)
        << log().Dump();
    EXPECT_EQ(log().Lines().size(), 1u);
}

TEST_F(Layout, CreateDirRecurseReportsAPermissionErrorForTheRequestedPath)
{
    SKIP_UNLESS_ROOT();
    ASSERT_EQ(chmod(dir().c_str(), 0755), 0);
    const std::string wanted = dir() + "/denied";
    const int result = test::RunAsNobody([&] {
        CacheManagerImpl m;
        if (m.CreateDirRecurse(wanted))
            return 1;
        return log().Count("mkdir() failed. [" + wanted + "] [Permission denied]", -1) == 1 &&
                       log().Lines().size() == 1
                   ? 0
                   : 2;
    });
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(test::Exists(wanted));
}

}  // namespace
