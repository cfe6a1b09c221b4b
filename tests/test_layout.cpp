// The on-disk names and time keys, making and removing directories, path
// splitting, and the host's directory removal and log writers.
#include "tests/TestSupport.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

#include "cachemanager/prune/PathUtils.h"
#include "cachemanager/timetable/Layout.h"
#include "host/LumDirectory.h"

namespace {

using namespace test;
namespace layout = cm::layout;

class Layout : public CacheTest {};

// The module's fixed names, entries and records as the library lays them out
// are pinned by the layout listing of Insertion; here the edges of each form.
TEST(LayoutNames, EveryNameAndTextOfTheLayout)
{
    EXPECT_EQ(layout::ModuleRoot("/c", 4294967295u), "/c/CM/4294967295");
    EXPECT_EQ(layout::TimeTableDir(layout::ModuleRoot("/var/cache", 7)), "/var/cache/CM/7/T");
    const struct {
        uint64_t key;
        const char* dir;
    } keys[] = {
        {0, "T/0/0/0/0/0"},
        {(1700000000ULL << 8) | 3, "T/101/83/241/0/3"},
        {(1700000001ULL << 8) | 0, "T/101/83/241/1/0"},
        {(1700000000ULL << 8) | 200, "T/101/83/241/0/200"},
        {(uint64_t(5) << 32) | 0x01020304, "T/5/1/2/3/4"},
        {UINT64_MAX, "T/4294967295/255/255/255/255"},
    };
    for (const auto& k : keys)
        EXPECT_EQ(layout::EntryDir("T", k.key), k.dir) << k.key;
    EXPECT_EQ(layout::EntryPath("T/0/0/0/0/0", 12), "T/0/0/0/0/0/12");
    EXPECT_EQ(layout::EntryTarget(UINT64_MAX, -1, "x"), "18446744073709551615:-1:x");
    layout::EntryFields fields{};
    std::string bad;
    ASSERT_TRUE(layout::ParseEntryTarget("0:2:", fields, bad));
    EXPECT_TRUE(fields.size == 0 && fields.method == 2 && fields.item.empty());
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
    EXPECT_TRUE(ListDir(dir()).empty());

    const std::string five = dir() + "/1/2/3/4/5";
    EXPECT_TRUE(m.CreateDirRecurse(five)) << log().Dump();
    EXPECT_TRUE(IsDir(five));
    EXPECT_TRUE(log().Lines().empty()) << log().Dump();

    const std::string six = dir() + "/a/b/c/d/e/f";
    EXPECT_FALSE(m.CreateDirRecurse(six));
    EXPECT_FALSE(Exists(dir() + "/a"));
    EXPECT_EQ(log().Count("mkdir() failed. [" + dir() + "/a/b] [No such file or directory]", -1), 1)
        << log().Dump();
    EXPECT_EQ(log().Lines().size(), 1u);
}

TEST_F(Layout, CreateDirRecurseReportsAPermissionErrorForTheRequestedPath)
{
    SKIP_UNLESS_ROOT();
    ASSERT_EQ(chmod(dir().c_str(), 0755), 0);
    const std::string wanted = dir() + "/denied";
    const int result = RunAsNobody([&] {
        CacheManagerImpl m;
        if (m.CreateDirRecurse(wanted))
            return 1;
        return log().Count("mkdir() failed. [" + wanted + "] [Permission denied]", -1) == 1 &&
                       log().Lines().size() == 1
                   ? 0
                   : 2;
    });
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(Exists(wanted));
}

class PathUtils : public CacheTest {};

TEST(PathSplit, BaseNameAndDirNameInEveryForm)
{
    struct {
        const char* path;
        const char* base;        // string forms
        const char* baseBuffer;  // buffer form
        const char* dir;         // every form
    } const cases[] = {
        {"a/b/c", "c", "c", "a/b"}, {"c", "c", "", ""},    {"a/b/", "", "", "a/b"},
        {"/a", "a", "a", ""},       {"/", "", "", ""},      {"", "", "", ""},
        {"a//b", "b", "b", "a/"},   {"/x/y/", "", "", "/x/y"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("path \"") + c.path + "\"");
        std::string text = "junk";
        char buffer[64];
        memset(buffer, 'z', sizeof buffer);
        BaseName(c.path, text);
        EXPECT_EQ(text, c.base);
        EXPECT_EQ(BaseName(c.path), c.base);
        BaseName(c.path, buffer);
        EXPECT_STREQ(buffer, c.baseBuffer);
        text = "junk";
        memset(buffer, 'z', sizeof buffer);
        DirName(c.path, text);
        EXPECT_EQ(text, c.dir);
        EXPECT_EQ(DirName(c.path), c.dir);
        DirName(c.path, buffer);
        EXPECT_STREQ(buffer, c.dir);
    }
    std::string path = "/a/b/c";
    for (const char* parent : {"/a/b", "/a", "", ""}) {
        DirName(path, path);
        EXPECT_EQ(path, parent);
    }
}

TEST_F(PathUtils, RemoveEmptyDirectoryReportsThroughResultErrnoAndLevel)
{
    const std::string empty = dir() + "/empty", full = dir() + "/full", missing = dir() + "/missing";
    MakeDirs(empty);
    WriteFile(full + "/f", 1);

    EXPECT_EQ(RemoveEmptyDirectory(empty.c_str()), 0);
    EXPECT_FALSE(Exists(empty));
    EXPECT_TRUE(log().Lines().empty());

    errno = 0;
    EXPECT_EQ(RemoveEmptyDirectory(full.c_str()), 1);
    EXPECT_EQ(errno, ENOTEMPTY);  // the capturing writer clobbers errno
    EXPECT_TRUE(IsDir(full));
    EXPECT_EQ(log().Count("rmdir() failed. [" + full + "] not empty", 4), 1);
    EXPECT_EQ(log().CountLevel(-1), 0);

    errno = 0;
    EXPECT_EQ(RemoveEmptyDirectory(missing.c_str()), 1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(log().Count("rmdir() failed. [" + missing + "] [No such file or directory]", -1), 1);
    for (const LogLine& line : log().Lines())
        EXPECT_EQ(line.function, "int RemoveEmptyDirectory(const char*)");
}

TEST_F(PathUtils, RemoveDirCountsAMissingDirectoryAsRemoved)
{
    const std::string missing = dir() + "/missing", full = dir() + "/full";
    WriteFile(full + "/f", 1);
    EXPECT_TRUE(RemoveDir(missing, false));
    EXPECT_EQ(log().Count("Removed directory [" + missing + "].", 4), 1);
    EXPECT_FALSE(RemoveDir(full, true));
    EXPECT_TRUE(IsDir(full));
    EXPECT_EQ(log().Count("Failed to remove directory [" + full + "]. [Directory not empty]. [39]", 4), 1);
    EXPECT_EQ(log().CountLevel(-1), 0) << log().Dump();
}

TEST_F(PathUtils, RemoveDirReverseClimbsWhileDirectoriesEmpty)
{
    const std::string x = dir() + "/x";
    WriteFile(x + "/other", 1);
    MakeDirs(x + "/a/b/c/d");
    EXPECT_TRUE(RemoveDirReverse(x + "/a/b/c/d", 8)) << log().Dump();
    EXPECT_EQ(ListDir(x), std::vector<std::string>{"other"});
    for (const char* gone : {"/a/b/c/d", "/a/b/c", "/a/b", "/a"})
        EXPECT_EQ(log().Count("Removed directory [" + x + gone + "].", 4), 1) << gone;
    EXPECT_EQ(log().Count("rmdir() failed. [" + x + "] not empty", 4), 1);
    EXPECT_EQ(log().CountLevel(-1), 0) << log().Dump();

    // Levels 1: only the directory itself, and true whether or not it went.
    MakeDirs(x + "/p/q");
    EXPECT_TRUE(RemoveDirReverse(x + "/p/q", 1));
    EXPECT_TRUE(IsDir(x + "/p"));
    EXPECT_TRUE(RemoveDirReverse(x, 1));
    EXPECT_TRUE(IsDir(x));

    // A missing ancestor ends the walk as a failure.
    log().Clear();
    EXPECT_FALSE(RemoveDirReverse(dir() + "/gone/d", 3));
    EXPECT_EQ(log().Count("rmdir() failed. [" + dir() + "/gone] [No such file or directory]", -1), 1);
}

TEST_F(PathUtils, HostDirectoryRemovalTakesOnlyEmptyDirectories)
{
    const std::string full = dir() + "/full", empty = dir() + "/empty";
    WriteFile(full + "/sub/f", 1);
    MakeDirs(empty);
    const CLumError refused = CLumDirectory::Remove(full.c_str(), true, true);
    EXPECT_TRUE(refused.IsError() && refused.GetErrorCode() < 0);
    EXPECT_EQ(refused.GetErrorCode() & 0xFFFF, ENOTEMPTY);
    EXPECT_EQ(refused.AsString(), strerror(ENOTEMPTY));
    EXPECT_EQ(FileSize(full + "/sub/f"), 1);
    EXPECT_EQ(CLumDirectory::Remove((dir() + "/missing").c_str(), false, false).GetErrorCode() & 0xFFFF, ENOENT);
    EXPECT_FALSE(CLumDirectory::Remove(empty.c_str(), false, false).IsError());
    EXPECT_FALSE(Exists(empty));
}

TEST(StderrLogWriter, WritesOneLinePerMessageAndKeepsErrno)
{
    CStderrLogWriter writer(3);
    EXPECT_EQ(writer.GetLogLevel(), 3);
    testing::internal::CaptureStderr();
    errno = ENOSPC;
    writer.WriteLog(1, "void f(int)", 42, 0, 0, "value [%d] of [%s]", 7, "x");
    const int afterFirst = errno;
    writer.WriteLog(1, "void g()", 43, 0, 0, "header\n");
    const std::string out = testing::internal::GetCapturedStderr();
    EXPECT_EQ(afterFirst, ENOSPC);
    ASSERT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
    const std::string first = out.substr(0, out.find('\n'));
    for (const char* part : {"1", "void f(int)", "42", "value [7] of [x]"})
        EXPECT_NE(first.find(part), std::string::npos) << part << " in " << first;
    EXPECT_NE(out.find("header\n"), std::string::npos) << out;
}

TEST(FunctionLogWriter, HandsOnEachLineFormattedAndKeepsErrno)
{
    std::vector<std::string> seen;
    CFunctionLogWriter writer(CM_LOG_LEVEL_NOTICE, [&](int level, const char* function, int line, const char* text) {
        seen.push_back(std::to_string(level) + " " + function + ":" + std::to_string(line) + " " + text);
        errno = EIO;
    });
    EXPECT_EQ(writer.GetLogLevel(), 1);
    errno = ENOSPC;
    writer.WriteLog(CM_LOG_LEVEL_ERROR, "void f(int)", 42, 0, 0, "value [%d] of [%s]", 7, "x");
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(seen, std::vector<std::string>{"-1 void f(int):42 value [7] of [x]"});
}

}  // namespace
