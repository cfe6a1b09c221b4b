// Initialisation of a manager, the facade before and after it, and the
// library's own size provider.
#include "tests/TestSupport.h"

#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>

namespace {

class Init : public test::CacheTest {};

// Calls every operation of the facade on item: how many of the bool ones
// succeeded (PrintStats and AtFork are called too).
int Successes(CacheManager& facade, const std::string& item)
{
    const int succeeded = facade.UpdateItem(item, PRUNE_TRUNCATE) + facade.UpdateItem(item, 10, 0) +
                          facade.UpdateItem(item, true, 10, 0) + facade.DeleteFromCache(item) +
                          facade.HideItem(item, 0) + facade.UnHideItem(item, 10, 0) + facade.CreateSpace(item, 1u << 30);
    facade.PrintStats();
    facade.AtFork();
    return succeeded;
}

// A facade whose manager failed to initialise refuses everything, with one
// error line each, and leaves the item alone (also usable in a child).
bool RefusesEverything(CacheManager& facade, test::CaptureLog& log, const std::string& item)
{
    log.Clear();
    return Successes(facade, item) == 0 && !facade.IsInitialised() &&
           log.Count("refused: the cache manager is not initialised", -1) == 9 && log.Lines().size() == 9 &&
           log.Has("PrintStats refused") && log.Has("AtFork refused") && test::FileSize(item) == 10;
}

TEST_F(Init, LogsItsArgumentsAndCreatesOnlyTheRootTAndLockfile)
{
    CacheArgs args = Args();
    args.bytesMinFree = 50;
    args.inodesMinFree = 10;
    args.pruneMethod = PRUNE_UNLINK_RECURSE;
    args.overflowLimit = -5;
    args.moduleOverFlow = 123;
    args.pruneMode = CM_PRUNE_SET;
    size.totalBytes = 199;  // 199 / 100 * 50: the division comes first
    size.totalInodes = 1000;

    CacheManager facade;
    ASSERT_TRUE(facade.InitCacheManager(args)) << log().Dump();
    std::unique_ptr<CacheManagerImpl> impl(facade.m_impl);
    EXPECT_TRUE(facade.IsInitialised());

    char provider[64];
    snprintf(provider, sizeof provider, "cacheSize [%p]", static_cast<void*>(&size));
    const std::vector<std::string> dump = {
        "Cache Dir [" + dir() + "]", "moduleId [7]", "bytesMinFree [50] percent",
        "inodesMinFree [10] percent", "pruneMethod [2]", provider, "overflowLimit [-5]",
        "moduleOverFlow [123]", "pruneMode [1]"};
    const std::vector<test::LogLine> lines = log().Lines();
    ASSERT_GE(lines.size(), dump.size()) << log().Dump();
    for (size_t i = 0; i < dump.size(); ++i) {
        EXPECT_EQ(lines[i].level, 1);
        EXPECT_EQ(lines[i].text, dump[i]);
    }
    EXPECT_TRUE(log().Has("Minimum free space [50]", 1)) << log().Dump();
    EXPECT_TRUE(log().Has("Minimum free inodes [100]", 1));
    EXPECT_EQ(impl->m_overflowLimit, -5);
    EXPECT_EQ(impl->m_pruneMethod, PRUNE_UNLINK_RECURSE);
    EXPECT_EQ(impl->m_cacheSize, &size);

    EXPECT_EQ(test::ListDir(ModuleRoot()), (std::vector<std::string>{"T", "lockfile"}));
    EXPECT_TRUE(test::IsDir(T()) && test::ListDir(T()).empty());
    struct stat info;
    ASSERT_EQ(lstat((ModuleRoot() + "/lockfile").c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode) && (info.st_mode & 077) == 0 && info.st_size == 0);

    // Settings beyond the nine add a line each only when they are set.
    EXPECT_EQ(lines[dump.size()].text, "Cache Size [199]");
    args.maxModuleBytes = 1000;
    args.maxItemAgeSeconds = 60;
    log().Clear();
    DumpArgs(args);
    ASSERT_EQ(log().Lines().size(), dump.size() + 2);
    EXPECT_EQ(log().Lines()[dump.size()].text, "maxModuleBytes [1000]");
    EXPECT_EQ(log().Lines()[dump.size() + 1].text, "maxItemAgeSeconds [60]");

    log().SetLevel(0);
    log().Clear();
    DumpArgs(args);
    EXPECT_TRUE(log().Lines().empty()) << log().Dump();
}

TEST_F(Init, ReservesAreClampedPercentsAndPruneModesAreValidated)
{
    struct {
        uint64_t total;
        int percent;
        uint64_t reserve;
        int usedPercent;  // -1: no correction expected
    } const cases[] = {
        {199, 50, 50, -1}, {99, 100, 0, -1}, {1000, 0, 0, -1},
        {1000, -5, 0, 0},  {1000, 150, 1000, 100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.total) + " at " + std::to_string(c.percent) + "%");
        CacheArgs args = Args();
        args.bytesMinFree = args.inodesMinFree = c.percent;
        size.totalBytes = size.totalInodes = c.total;
        log().Clear();
        CacheManagerImpl& m = Manager(args);
        EXPECT_EQ(m.m_minFreeSpace, c.reserve);
        EXPECT_EQ(m.m_minFreeInodes, c.reserve);
        const std::string corrected = " [" + std::to_string(c.percent) + "] percent. Using [" +
                                      std::to_string(c.usedPercent) + "].";
        EXPECT_EQ(log().Count("Invalid bytesMinFree" + corrected, -1), c.usedPercent < 0 ? 0 : 1);
        EXPECT_EQ(log().Count("Invalid inodesMinFree" + corrected, -1), c.usedPercent < 0 ? 0 : 1);
    }

    struct {
        int given;
        int32_t kept;
    } const modes[] = {{CM_PRUNE_ITEM, CM_PRUNE_ITEM}, {CM_PRUNE_SET, CM_PRUNE_SET}, {7, CM_PRUNE_SET}, {-1, CM_PRUNE_SET}};
    for (const auto& mode : modes) {
        CacheArgs args = Args();
        args.pruneMode = mode.given;
        log().Clear();
        EXPECT_EQ(Manager(args).m_pruneMode, mode.kept);
        const bool invalid = mode.given != mode.kept;
        EXPECT_EQ(log().Count("Invalid prune mode [" + std::to_string(mode.given) +
                              "]. Defaulting to [CM_PRUNE_SET].", -1),
                  invalid ? 1 : 0);
        // Besides "got FD", the only error line is the correction.
        EXPECT_EQ(log().CountLevel(-1), invalid ? 2 : 1) << log().Dump();
    }
}

TEST_F(Init, EachFailingStepFailsAndLeavesAManagerThatRefusesEverything)
{
    const std::string item = Item("kept");
    test::WriteFile(item, 10);
    struct Step {
        const char* what;
        std::function<void(CacheArgs&)> arrange;
        std::string line;
        std::string cause;  // a further error line, when the step names one
    };
    const std::string blocked = dir() + "/plain";
    const std::vector<Step> steps = {
        {"cache head under a plain file", [&](CacheArgs& a) { test::WriteFile(blocked, 1); a.cacheDir = blocked; },
         "Failed to create TimeTable folder [" + blocked + "/CM/7/T].",
         "mkdir() failed. [" + blocked + "/CM/7/T] [Not a directory]"},
        {"total space", [&](CacheArgs& a) { a.cacheDir = dir() + "/s"; size.failTotalSpace = true; },
         "Failed to get cache size. CacheHead [" + dir() + "/s/CM/7] [", ""},
        {"total inodes", [&](CacheArgs& a) { a.cacheDir = dir() + "/i"; size.failTotalInodes = true; },
         "Failed to get cache size. CacheHead [" + dir() + "/i/CM/7] [", ""},
        {"a directory at the lockfile's path", [&](CacheArgs& a) {
             a.cacheDir = dir() + "/l";
             test::MakeDirs(a.cacheDir + "/CM/7/lockfile");
         }, "Failed to create lockfile for TimeTable.", ""},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        size.failTotalSpace = size.failTotalInodes = false;
        CacheArgs args = Args();
        step.arrange(args);
        log().Clear();
        CacheManager facade;
        EXPECT_FALSE(facade.InitCacheManager(args));
        std::unique_ptr<CacheManagerImpl> impl(facade.m_impl);
        EXPECT_EQ(log().Count(step.line, -1), 1) << log().Dump();
        if (!step.cause.empty()) {
            EXPECT_EQ(log().Count(step.cause, -1), 1) << log().Dump();
        }
        // The host learns why without reading its log.
        std::string why;
        int whyErrno = 0;
        EXPECT_TRUE(GetLastCacheError(why, whyErrno));
        EXPECT_EQ(why.compare(0, step.line.size(), step.line), 0) << why;
        EXPECT_TRUE(RefusesEverything(facade, log(), item)) << log().Dump();
    }
    // The steps before a failure stay done.
    EXPECT_TRUE(test::IsDir(dir() + "/s/CM/7/T"));
}

TEST_F(Init, ALockfileThatAnotherUserOwnsFailsInitialisation)
{
    SKIP_UNLESS_ROOT();
    test::MakeDirs(T());
    test::WriteFile(Item("kept"), 10);
    for (const std::string& d : {dir(), dir() + "/CM", ModuleRoot(), T(), dir() + "/items"})
        ASSERT_EQ(chmod(d.c_str(), 0755), 0);
    const int fd = open((ModuleRoot() + "/lockfile").c_str(), O_WRONLY | O_CREAT, 0700);
    ASSERT_GE(fd, 0);
    close(fd);
    const int result = test::RunAsNobody([&] {
        CacheManager facade;
        if (facade.InitCacheManager(Args()))
            return 1;
        if (!log().Has("Failed to create lockfile for TimeTable.", -1))
            return 2;
        return RefusesEverything(facade, log(), Item("kept")) ? 0 : 3;
    });
    EXPECT_EQ(result, 0);
}

TEST_F(Init, ADetachedFacadeSucceedsSilentlyAndTouchesNothing)
{
    test::WriteFile(Item("file"), 10);
    CacheManager facade;
    EXPECT_EQ(Successes(facade, Item("file")), 7);
    EXPECT_FALSE(facade.IsInitialised());
    EXPECT_TRUE(log().Lines().empty()) << log().Dump();
    EXPECT_EQ(test::ListDir(dir()), std::vector<std::string>{"items"});
    EXPECT_EQ(test::ListDir(dir() + "/items"), std::vector<std::string>{"file"});
    EXPECT_EQ(test::FileSize(Item("file")), 10);
}

// The error lines that are no failure (a lock opened or closed, the last
// entry pruned) leave it alone; a failure fills it also without a writer,
// for the failing thread only.
TEST_F(Init, TheLastErrorIsAFailureOfThisThread)
{
    const std::string item = Item("a");
    test::WriteFile(item, 10);
    size.freeBytesFn = [&] { return test::Exists(item) ? 0 : 1000000; };
    ClearLastCacheError();
    CacheManager facade;
    ASSERT_TRUE(facade.InitCacheManager(Args()));
    std::unique_ptr<CacheManagerImpl> impl(facade.m_impl);
    facade.AtFork();
    ASSERT_TRUE(facade.UpdateItem(item, true, 10, 0) && facade.CreateSpace(item, 1));
    EXPECT_EQ(log().Count("got FD", -1) + log().Count("closing FD", -1), 3) << log().Dump();
    EXPECT_TRUE(log().Has("Cache must be empty.", -1)) << log().Dump();
    std::string why = "x";
    int whyErrno = -1;
    EXPECT_FALSE(GetLastCacheError(why, whyErrno));
    EXPECT_TRUE(why.empty() && whyErrno == 0);

    g_ptrLogWriter.reset();
    EXPECT_FALSE(facade.UpdateItem("relative", 1, 0));
    EXPECT_TRUE(GetLastCacheError(why, whyErrno));
    EXPECT_EQ(whyErrno, EINVAL);
    EXPECT_NE(why.find("[relative]"), std::string::npos) << why;
    std::thread([] {
        std::string text;
        int errnum;
        EXPECT_FALSE(GetLastCacheError(text, errnum));
    }).join();
    ClearLastCacheError();
    EXPECT_FALSE(GetLastCacheError(why, whyErrno));
}

// Everything that initialisation corrects or refuses, and what it takes as
// given although it cannot work, in words.
TEST_F(Init, ValidationSaysWhatIsWrongWithTheArguments)
{
    const struct {
        std::function<void(CacheArgs&)> change;
        const char* problem;  // "": valid
    } rows[] = {
        {[](CacheArgs&) {}, ""},
        {[](CacheArgs& a) { a.bytesMinFree = a.inodesMinFree = 100; }, ""},
        {[](CacheArgs& a) { a.cacheDir.clear(); }, "cacheDir is empty"},
        {[](CacheArgs& a) { a.cacheDir = "/" + std::string(2100, 'd'); }, "module root is longer than 2047 bytes"},
        {[](CacheArgs& a) { a.bytesMinFree = -5; }, "bytesMinFree [-5] is outside 0 to 100 percent; initialisation uses 0"},
        {[](CacheArgs& a) { a.inodesMinFree = 101; }, "inodesMinFree [101] is outside 0 to 100 percent; initialisation uses 100"},
        {[](CacheArgs& a) { a.pruneMethod = static_cast<PruneMethod>(3); }, "pruneMethod [3]"},
        {[](CacheArgs& a) { a.pruneMode = 2; }, "pruneMode [2] is neither"},
        {[](CacheArgs& a) { a.processModel = static_cast<ProcessModel>(-1); }, "processModel [-1] is none"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.problem);
        CacheArgs args = Args();
        row.change(args);
        std::string problems = "stale";
        EXPECT_EQ(ValidateCacheArgs(args, problems), *row.problem == '\0');
        EXPECT_NE(problems.find(row.problem), std::string::npos) << problems;
        EXPECT_EQ(problems.empty(), *row.problem == '\0') << problems;
    }
    EXPECT_TRUE(log().Lines().empty()) << log().Dump();
}

TEST_F(Init, TheDefaultProviderReportsTheModuleRootsFileSystem)
{
    SKIP_UNLESS_ROOT();
    // A file system of our own, so that nothing else changes its figures.
    const std::string fs = dir() + "/fs";
    test::TmpfsMount mount(fs, "size=4m,nr_inodes=500");
    ASSERT_TRUE(mount.ok());
    CacheArgs args = Args();
    args.cacheDir = fs;
    args.cacheSize = nullptr;
    CacheManagerImpl& m = Manager(args);
    std::unique_ptr<CacheSize> provider(m.m_cacheSize);  // the manager never frees it
    auto* defaultSize = dynamic_cast<DefaultCacheSize*>(provider.get());
    ASSERT_NE(defaultSize, nullptr);
    EXPECT_EQ(defaultSize->m_path, fs + "/CM/7");

    struct statvfs info;
    ASSERT_EQ(statvfs(fs.c_str(), &info), 0);
    uint64_t total = 0, free = 0, inodes = 0, freeInodes = 0;
    EXPECT_TRUE(provider->GetCacheTotalSpace(total));
    EXPECT_TRUE(provider->GetCacheFreeSpace(free));
    EXPECT_TRUE(provider->GetCacheTotalInodes(inodes));
    EXPECT_TRUE(provider->GetCacheFreeInodes(freeInodes));
    EXPECT_EQ(total, uint64_t(info.f_blocks) * info.f_frsize);
    EXPECT_EQ(free, uint64_t(info.f_bavail) * info.f_frsize);
    EXPECT_EQ(inodes, uint64_t(info.f_files));
    EXPECT_EQ(freeInodes, uint64_t(info.f_ffree));
    EXPECT_TRUE(m.m_totalSpace == total && m.m_totalInodes == inodes);
    m.m_cacheSize = nullptr;

    const std::string missing = dir() + "/missing";
    DefaultCacheSize absent(missing);
    uint64_t untouched = 42;
    log().Clear();
    EXPECT_FALSE(absent.GetCacheTotalSpace(untouched));
    EXPECT_FALSE(absent.GetCacheFreeSpace(untouched));
    EXPECT_EQ(log().Count("Failed to stat path [" + missing + "] [No such file or directory : 2]", -1), 2)
        << log().Dump();
    EXPECT_FALSE(absent.GetCacheTotalInodes(untouched));
    EXPECT_FALSE(absent.GetCacheFreeInodes(untouched));
    EXPECT_EQ(untouched, 42u);
    EXPECT_EQ(log().Lines().size(), 2u);
}

}  // namespace
