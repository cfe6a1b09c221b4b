// Initialisation of a manager, the facade before and after it, and the
// library's own size provider.
#include "tests/TestSupport.h"

#include <memory>
#include <sys/statvfs.h>

#include "cachemanager/CacheLock.h"

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
// error line each, and leaves the item alone.
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
    args.maxModuleBytes = 1000;  // settings beyond the nine add a line each only when set
    size.totalBytes = 199;  // 199 / 100 * 50: the division comes first
    size.totalInodes = 1000;
    CacheManager facade;
    ASSERT_TRUE(facade.InitCacheManager(args) && facade.IsInitialised()) << log().Dump();
    std::unique_ptr<CacheManagerImpl> impl(facade.m_impl);
    char provider[64];
    snprintf(provider, sizeof provider, "1 cacheSize [%p]", static_cast<void*>(&size));
    const std::vector<std::string> expected = {
        "1 Cache Dir [" + dir() + "]", "1 moduleId [7]", "1 bytesMinFree [50] percent", "1 inodesMinFree [10] percent",
        "1 pruneMethod [2]", provider, "1 overflowLimit [-5]", "1 moduleOverFlow [123]", "1 pruneMode [1]",
        "1 maxModuleBytes [1000]", "1 Cache Size [199]", "1 Minimum free space [50]", "1 Total Inodes [1000]",
        "1 Minimum free inodes [100]", "-1 got FD [" + std::to_string(impl->m_ptrCacheLock->m_fd) + "]"};
    std::vector<std::string> texts;  // "<level> <text>"
    for (const test::LogLine& line : log().Lines())
        texts.push_back(std::to_string(line.level) + " " + line.text);
    EXPECT_EQ(texts, expected);

    EXPECT_EQ(test::ListDir(ModuleRoot()), (std::vector<std::string>{"T", "lockfile"}));
    EXPECT_TRUE(test::IsDir(T()) && test::ListDir(T()).empty());
    struct stat info;
    ASSERT_EQ(lstat((ModuleRoot() + "/lockfile").c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode) && (info.st_mode & 077) == 0 && info.st_size == 0);
}

TEST_F(Init, AFailedStepLeavesAManagerThatRefusesEverythingADetachedOneAcceptsIt)
{
    const std::string item = Item("kept");
    test::WriteFile(item, 10);
    struct Step {
        std::function<void(CacheArgs&)> arrange;
        std::string line;
    };
    const std::string blocked = dir() + "/plain", tooLong = "/" + std::string(2100, 'd');
    const std::vector<Step> steps = {
        {[&](CacheArgs& a) { a.cacheDir = tooLong; }, "Module root too long [" + tooLong + "]. [File name too long]"},
        {[&](CacheArgs& a) { test::WriteFile(blocked, 1), a.cacheDir = blocked; },
         "Failed to create TimeTable folder [" + blocked + "/CM/7/T]."},
        {[&](CacheArgs& a) { a.cacheDir = dir() + "/s", size.failTotalSpace = true; },
         "Failed to get cache size. CacheHead [" + dir() + "/s/CM/7] ["},
        {[&](CacheArgs& a) { a.cacheDir = dir() + "/i", size.failTotalInodes = true; },
         "Failed to get cache size. CacheHead [" + dir() + "/i/CM/7] ["},
        // a directory at the lockfile's path
        {[&](CacheArgs& a) { a.cacheDir = dir() + "/l", test::MakeDirs(a.cacheDir + "/CM/7/lockfile"); },
         "Failed to create lockfile for TimeTable."},
    };
    std::string why;
    int whyErrno = 0;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.line);
        size.failTotalSpace = size.failTotalInodes = false;
        CacheArgs args = Args();
        step.arrange(args);
        log().Clear();
        CacheManager facade;
        EXPECT_FALSE(facade.InitCacheManager(args));
        std::unique_ptr<CacheManagerImpl> impl(facade.m_impl);
        EXPECT_EQ(log().Count(step.line, -1), 1) << log().Dump();
        // The host learns why without reading its log.
        EXPECT_TRUE(GetLastCacheError(why, whyErrno) && why.compare(0, step.line.size(), step.line) == 0) << why;
        EXPECT_TRUE(RefusesEverything(facade, log(), item)) << log().Dump();
    }
    // The steps before a failure stay done.
    EXPECT_TRUE(test::IsDir(dir() + "/s/CM/7/T"));

    // A facade never initialised succeeds silently and touches nothing.
    CacheManager detached;
    log().Clear();
    EXPECT_EQ(Successes(detached, item), 7);
    EXPECT_FALSE(detached.IsInitialised());
    EXPECT_TRUE(log().Lines().empty()) << log().Dump();
    EXPECT_TRUE(test::ListDir(dir() + "/items") == std::vector<std::string>{"kept"} && test::FileSize(item) == 10);
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
    CacheManagerImpl& m = Manager();
    m.AtFork();
    ASSERT_TRUE(m.UpdateItem(item, true, 10, 0) && m.CreateSpace(item, 1));
    EXPECT_TRUE(log().Count("got FD", -1) + log().Count("closing FD", -1) == 3 && log().Has("Cache must be empty.", -1))
        << log().Dump();
    std::string why = "x";
    int whyErrno = -1;
    EXPECT_TRUE(!GetLastCacheError(why, whyErrno) && why.empty() && whyErrno == 0);

    g_ptrLogWriter.reset();
    EXPECT_FALSE(m.UpdateItem("relative", 1, 0));
    EXPECT_TRUE(GetLastCacheError(why, whyErrno) && whyErrno == EINVAL && why.find("[relative]") != std::string::npos)
        << why;
    std::thread([&] { EXPECT_FALSE(GetLastCacheError(why, whyErrno)); }).join();  // only this thread's
    ClearLastCacheError();
    EXPECT_FALSE(GetLastCacheError(why, whyErrno));
}

// What validation says of the arguments, and what initialisation writes and
// keeps of them: reserves of 199 bytes and 1000 inodes (the division first),
// clamped percents, and the safest modes for invalid ones.
TEST_F(Init, InvalidArgumentsAreNamedAndCorrected)
{
    struct Row {
        std::function<void(CacheArgs&)> change;
        std::string problem;  // a part of what validation says; "": valid
        int mode = -1;        // the prune mode kept; -1: not initialised here
        uint64_t bytes = 0, inodes = 0;       // the reserves kept
        std::vector<std::string> lines = {};  // initialisation's corrections
        ProcessModel model = CM_LOCK_PROCESS_THREAD;
    };
    const std::vector<Row> rows = {
        {[](CacheArgs&) {}, "", CM_PRUNE_ITEM},
        {[](CacheArgs& a) { a.bytesMinFree = a.inodesMinFree = 100, a.pruneMode = CM_PRUNE_SET; }, "", CM_PRUNE_SET,
         100, 1000},
        {[](CacheArgs& a) { a.cacheDir.clear(); }, "cacheDir is empty"},
        {[](CacheArgs& a) { a.cacheDir = "/" + std::string(2100, 'd'); }, "module root is longer than 2047 bytes"},
        {[](CacheArgs& a) { a.bytesMinFree = -5, a.inodesMinFree = 150, a.processModel = CM_LOCK_PROCESS; },
         "bytesMinFree [-5] is outside 0 to 100 percent; initialisation uses 0", CM_PRUNE_ITEM, 0, 1000,
         {"bytesMinFree [-5] percent. Using [0].", "inodesMinFree [150] percent. Using [100]."}, CM_LOCK_PROCESS},
        {[](CacheArgs& a) { a.bytesMinFree = 101, a.inodesMinFree = -1, a.processModel = CM_LOCK_THREAD; },
         "inodesMinFree [-1] is outside 0 to 100 percent; initialisation uses 0", CM_PRUNE_ITEM, 100, 0,
         {"bytesMinFree [101] percent. Using [100].", "inodesMinFree [-1] percent. Using [0]."}, CM_LOCK_THREAD},
        // taken as given, although pruning would leave the files in place
        {[](CacheArgs& a) { a.pruneMethod = static_cast<PruneMethod>(3); }, "pruneMethod [3]", CM_PRUNE_ITEM},
        {[](CacheArgs& a) { a.pruneMode = 2; }, "pruneMode [2] is neither", CM_PRUNE_SET, 0, 0,
         {"Invalid prune mode [2]. Defaulting to [CM_PRUNE_SET]."}},
        {[](CacheArgs& a) { a.processModel = static_cast<ProcessModel>(-1); }, "processModel [-1] is none",
         CM_PRUNE_ITEM, 0, 0, {"Invalid process model [-1]. Using [CM_LOCK_PROCESS_THREAD]."}},
    };
    size.totalBytes = 199;
    size.totalInodes = 1000;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.problem);
        CacheArgs args = Args();
        row.change(args);
        std::string problems = "stale";
        EXPECT_EQ(ValidateCacheArgs(args, problems), row.problem.empty());
        EXPECT_NE(problems.find(row.problem), std::string::npos) << problems;
        EXPECT_EQ(problems.empty(), row.problem.empty()) << problems;
        EXPECT_TRUE(log().Lines().empty()) << log().Dump();  // validation writes nothing
        if (row.mode < 0)
            continue;
        CacheManagerImpl& m = Manager(args);
        // Besides "got FD", the only error lines are the corrections.
        EXPECT_EQ(log().CountLevel(-1), 1 + static_cast<int>(row.lines.size())) << log().Dump();
        for (const std::string& line : row.lines)
            EXPECT_EQ(log().Count(line, -1), 1) << line;
        EXPECT_TRUE(m.m_minFreeSpace == row.bytes && m.m_minFreeInodes == row.inodes && m.m_pruneMode == row.mode &&
                    m.m_processModel == row.model && m.m_ptrCacheLock->m_processModel == row.model);
        log().Clear();
    }
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
    m.m_cacheSize = nullptr;
    struct statvfs info;
    ASSERT_EQ(statvfs(fs.c_str(), &info), 0);
    std::vector<uint64_t> got(4);
    EXPECT_TRUE(provider->GetCacheTotalSpace(got[0]) && provider->GetCacheFreeSpace(got[1]) &&
                provider->GetCacheTotalInodes(got[2]) && provider->GetCacheFreeInodes(got[3]));
    EXPECT_EQ(got, (std::vector<uint64_t>{uint64_t(info.f_blocks) * info.f_frsize,
                                          uint64_t(info.f_bavail) * info.f_frsize, info.f_files, info.f_ffree}));

}

}  // namespace
