// The on-disk names and time keys, making and removing directories, path
// splitting, and the host's directory removal and log writers.
#include "tests/TestSupport.h"

#include <ctime>

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
    // A resolution of 0 gives key 0 (a clock key is pinned by the insertion tests).
    uint64_t key = 123;
    GetTimeStamp(key, 0);
    EXPECT_EQ(key, 0u);
}

// Five missing levels at most; an error names the directory that failed,
// also when permission is what is missing.
TEST_F(Layout, CreateDirRecurseMakesAtMostFiveLevels)
{
    CacheManagerImpl m;  // needs no initialisation
    EXPECT_TRUE(m.CreateDirRecurse(dir()) && ListDir(dir()).empty());
    const std::string five = dir() + "/1/2/3/4/5";
    EXPECT_TRUE(m.CreateDirRecurse(five) && IsDir(five));
    EXPECT_TRUE(log().Lines().empty()) << log().Dump();
    EXPECT_TRUE(!m.CreateDirRecurse(dir() + "/a/b/c/d/e/f") && !Exists(dir() + "/a"));
    EXPECT_TRUE(log().Lines().size() == 1 &&
                log().Has("mkdir() failed. [" + dir() + "/a/b] [No such file or directory]", -1)) << log().Dump();

    SKIP_UNLESS_ROOT();
    ASSERT_EQ(chmod(dir().c_str(), 0755), 0);
    const std::string denied = dir() + "/denied";
    EXPECT_EQ(RunAsNobody([&] {
        log().Clear();
        return m.CreateDirRecurse(denied) || log().Lines().size() != 1 ||
               !log().Has("mkdir() failed. [" + denied + "] [Permission denied]", -1);
    }), 0);
    EXPECT_FALSE(Exists(denied));
}

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
        std::string base = "junk", dirText = "junk", inPlace = c.path;
        char baseBuffer[64] = "zzzzzzzz", dirBuffer[64] = "zzzzzzzz";  // each form must end its text
        BaseName(c.path, base);
        BaseName(c.path, baseBuffer);
        DirName(c.path, dirText);
        DirName(c.path, dirBuffer);
        DirName(inPlace, inPlace);
        const std::string dirs = std::string(c.dir) + "|" + c.dir + "|" + c.dir + "|" + c.dir;
        EXPECT_EQ(base + "|" + BaseName(c.path) + "|" + baseBuffer + "|" + dirText + "|" + DirName(c.path) + "|" +
                      dirBuffer + "|" + inPlace,
                  std::string(c.base) + "|" + c.base + "|" + c.baseBuffer + "|" + dirs) << "path \"" << c.path << "\"";
    }
}

// The result, errno and level of each way of removing a directory.
TEST_F(Layout, RemovingDirectoriesTakesOnlyEmptyOnesAndSaysWhy)
{
    const std::string empty = dir() + "/empty", full = dir() + "/full", missing = dir() + "/missing";
    MakeDirs(empty);
    WriteFile(full + "/sub/f", 1);
    EXPECT_TRUE(RemoveEmptyDirectory(empty.c_str()) == 0 && !Exists(empty) && log().Lines().empty());
    // errno as rmdir() left it, although the capturing writer clobbers it
    EXPECT_TRUE(RemoveEmptyDirectory(full.c_str()) == 1 && errno == ENOTEMPTY) << strerror(errno);
    EXPECT_TRUE(RemoveEmptyDirectory(missing.c_str()) == 1 && errno == ENOENT) << strerror(errno);
    // Only the second is an error line; the first is said at level 4.
    EXPECT_EQ(log().Count("rmdir() failed. [" + missing + "] [No such file or directory]", -1), 1);
    EXPECT_EQ(log().Count("rmdir() failed. [" + full + "] not empty", 4) + log().CountLevel(-1), 2);

    // RemoveDir counts a missing directory as removed.
    log().Clear();
    EXPECT_TRUE(RemoveDir(missing, false) && !RemoveDir(full, true));
    EXPECT_EQ(log().CountLevel(-1), 0) << log().Dump();

    // The host's removal refuses a full directory whatever the flags say.
    const CLumError refused = CLumDirectory::Remove(full.c_str(), true, true);
    EXPECT_TRUE(refused.IsError() && refused.GetErrorCode() < 0 && (refused.GetErrorCode() & 0xFFFF) == ENOTEMPTY);
    EXPECT_TRUE(refused.AsString() == strerror(ENOTEMPTY) && FileSize(full + "/sub/f") == 1);
    EXPECT_EQ(CLumDirectory::Remove(missing.c_str(), false, false).GetErrorCode() & 0xFFFF, ENOENT);
    MakeDirs(empty);
    EXPECT_TRUE(!CLumDirectory::Remove(empty.c_str(), false, false).IsError() && !Exists(empty));

    // RemoveDirReverse climbs while the directories are empty, and stops
    // without an error line at one that is not.
    const std::string x = dir() + "/x";
    WriteFile(x + "/other", 1);
    MakeDirs(x + "/a/b/c/d");
    log().Clear();
    EXPECT_TRUE(RemoveDirReverse(x + "/a/b/c/d", 8)) << log().Dump();
    EXPECT_EQ(ListDir(x), std::vector<std::string>{"other"});
    EXPECT_EQ(log().CountLevel(-1), 0) << log().Dump();
    // Levels 1: only the directory itself, and true whether or not it went.
    MakeDirs(x + "/p/q");
    EXPECT_TRUE(RemoveDirReverse(x + "/p/q", 1) && IsDir(x + "/p") && !Exists(x + "/p/q"));
    EXPECT_TRUE(RemoveDirReverse(x, 1) && IsDir(x));
    // A missing ancestor ends the walk as a failure.
    EXPECT_FALSE(RemoveDirReverse(dir() + "/gone/d", 3));
    EXPECT_EQ(log().Count("rmdir() failed. [" + dir() + "/gone] [No such file or directory]", -1), 1);
}

TEST(LogWriters, WriteEachMessageAsOneLineAndKeepErrno)
{
    CStderrLogWriter toStderr(3);
    std::vector<std::string> seen;
    CFunctionLogWriter toFunction(CM_LOG_LEVEL_NOTICE, [&](int level, const char* function, int line, const char* text) {
        seen.push_back(std::to_string(level) + " " + function + ":" + std::to_string(line) + " " + text);
        errno = EIO;
    });
    EXPECT_TRUE(toStderr.GetLogLevel() == 3 && toFunction.GetLogLevel() == 1);
    testing::internal::CaptureStderr();
    errno = ENOSPC;
    toStderr.WriteLog(1, "void f(int)", 42, 0, 0, "value [%d] of [%s]", 7, "x");
    toFunction.WriteLog(CM_LOG_LEVEL_ERROR, "void f(int)", 42, 0, 0, "value [%d] of [%s]", 7, "x");
    EXPECT_EQ(errno, ENOSPC);
    toStderr.WriteLog(1, "void g()", 43, 0, 0, "header\n");  // a format's own newline is the line's end
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[1] void f(int):42: value [7] of [x]\n[1] void g():43: header\n");
    EXPECT_EQ(seen, std::vector<std::string>{"-1 void f(int):42 value [7] of [x]"});
}

}  // namespace
