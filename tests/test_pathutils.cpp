// Splitting paths, removing emptied directories, and the host's directory
// removal and log writer beneath them.
#include "tests/TestSupport.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cachemanager/prune/PathUtils.h"
#include "host/LumDirectory.h"

namespace {

class PathUtils : public test::CacheTest {};

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
    test::MakeDirs(empty);
    test::WriteFile(full + "/f", 1);

    EXPECT_EQ(RemoveEmptyDirectory(empty.c_str()), 0);
    EXPECT_FALSE(test::Exists(empty));
    EXPECT_TRUE(log().Lines().empty());

    errno = 0;
    EXPECT_EQ(RemoveEmptyDirectory(full.c_str()), 1);
    EXPECT_EQ(errno, ENOTEMPTY);  // the capturing writer clobbers errno
    EXPECT_TRUE(test::IsDir(full));
    EXPECT_EQ(log().Count("rmdir() failed. [" + full + "] not empty", 4), 1);
    EXPECT_EQ(log().CountLevel(-1), 0);

    errno = 0;
    EXPECT_EQ(RemoveEmptyDirectory(missing.c_str()), 1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(log().Count("rmdir() failed. [" + missing + "] [No such file or directory]", -1), 1);
    for (const test::LogLine& line : log().Lines())
        EXPECT_EQ(line.function, "int RemoveEmptyDirectory(const char*)");
}

TEST_F(PathUtils, RemoveDirCountsAMissingDirectoryAsRemoved)
{
    const std::string missing = dir() + "/missing", full = dir() + "/full";
    test::WriteFile(full + "/f", 1);
    EXPECT_TRUE(RemoveDir(missing, false));
    EXPECT_EQ(log().Count("Removed directory [" + missing + "].", 4), 1);
    EXPECT_FALSE(RemoveDir(full, true));
    EXPECT_TRUE(test::IsDir(full));
    EXPECT_EQ(log().Count("Failed to remove directory [" + full + "]. [Directory not empty]. [39]", 4), 1);
    EXPECT_EQ(log().CountLevel(-1), 0) << log().Dump();
}

TEST_F(PathUtils, RemoveDirReverseClimbsWhileDirectoriesEmpty)
{
    const std::string x = dir() + "/x";
    test::WriteFile(x + "/other", 1);
    test::MakeDirs(x + "/a/b/c/d");
    EXPECT_TRUE(RemoveDirReverse(x + "/a/b/c/d", 8)) << log().Dump();
    EXPECT_EQ(test::ListDir(x), std::vector<std::string>{"other"});
    for (const char* gone : {"/a/b/c/d", "/a/b/c", "/a/b", "/a"})
        EXPECT_EQ(log().Count("Removed directory [" + x + gone + "].", 4), 1) << gone;
    EXPECT_EQ(log().Count("rmdir() failed. [" + x + "] not empty", 4), 1);
    EXPECT_EQ(log().CountLevel(-1), 0) << log().Dump();

    // Levels 1: only the directory itself, and true whether or not it went.
    test::MakeDirs(x + "/p/q");
    EXPECT_TRUE(RemoveDirReverse(x + "/p/q", 1));
    EXPECT_TRUE(test::IsDir(x + "/p"));
    EXPECT_TRUE(RemoveDirReverse(x, 1));
    EXPECT_TRUE(test::IsDir(x));

    // A missing ancestor ends the walk as a failure.
    log().Clear();
    EXPECT_FALSE(RemoveDirReverse(dir() + "/gone/d", 3));
    EXPECT_EQ(log().Count("rmdir() failed. [" + dir() + "/gone] [No such file or directory]", -1), 1);
}

TEST_F(PathUtils, HostDirectoryRemovalTakesOnlyEmptyDirectories)
{
    const std::string full = dir() + "/full", empty = dir() + "/empty";
    test::WriteFile(full + "/sub/f", 1);
    test::MakeDirs(empty);
    const CLumError refused = CLumDirectory::Remove(full.c_str(), true, true);
    EXPECT_TRUE(refused.IsError() && refused.GetErrorCode() < 0);
    EXPECT_EQ(refused.GetErrorCode() & 0xFFFF, ENOTEMPTY);
    EXPECT_EQ(refused.AsString(), strerror(ENOTEMPTY));
    EXPECT_EQ(test::FileSize(full + "/sub/f"), 1);
    EXPECT_EQ(CLumDirectory::Remove((dir() + "/missing").c_str(), false, false).GetErrorCode() & 0xFFFF, ENOENT);
    EXPECT_FALSE(CLumDirectory::Remove(empty.c_str(), false, false).IsError());
    EXPECT_FALSE(test::Exists(empty));
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
