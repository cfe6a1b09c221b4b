// The cache lock under each model: threads and processes take turns, a
// holder may take it again, AtFork gives a child a lock of its own, and the
// host's critical section beneath it.
#include "tests/TestSupport.h"

#include <atomic>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "cachemanager/CacheLock.h"
#include "host/KorCriticalSectionH.h"

namespace {

class LockTest : public test::CacheTest {
protected:
    std::string LockPath() const { return dir() + "/lockfile"; }
    boost::shared_ptr<CacheLock> NewLock(ProcessModel model)
    {
        return boost::shared_ptr<CacheLock>(new CacheLock(LockPath(), model));
    }
};

bool UsesFile(ProcessModel model) { return model == CM_LOCK_PROCESS || model == CM_LOCK_PROCESS_THREAD; }
bool UsesSection(ProcessModel model) { return model == CM_LOCK_THREAD || model == CM_LOCK_PROCESS_THREAD; }

using test::Reap;
using test::Spawn;

// Whether some process other than a fresh child holds a lockf lock on path
// (the caller's own lock counts).
bool FileLockedFromOutside(const std::string& path)
{
    return test::RunInChild([&] {
        const int fd = open(path.c_str(), O_WRONLY);
        if (fd < 0)
            return 2;
        return lockf(fd, F_TEST, 0) == -1 && (errno == EACCES || errno == EAGAIN) ? 1 : 0;
    }) == 1;
}

// Whether another thread could enter the lock's critical section now.
bool SectionFreeElsewhere(CacheLock& lock)
{
    bool entered = false;
    std::thread other([&] {
        entered = lock.m_criticalSection.m_handle->enter(false);
        if (entered)
            lock.m_criticalSection.leave();
    });
    other.join();
    return entered;
}

TEST_F(LockTest, ThreadsTakeTurnsUnderTheThreadModels)
{
    for (ProcessModel model : {CM_LOCK_THREAD, CM_LOCK_PROCESS_THREAD}) {
        boost::shared_ptr<CacheLock> lock = NewLock(model);
        std::atomic<int> inside{0}, most{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 3; ++t)
            threads.emplace_back([&] {
                for (int round = 0; round < 40; ++round) {
                    TakeCacheLock held(lock);
                    const int now = ++inside;
                    int seen = most;
                    while (now > seen && !most.compare_exchange_weak(seen, now)) {
                    }
                    usleep(200);
                    --inside;
                }
            });
        for (std::thread& t : threads)
            t.join();
        EXPECT_EQ(most.load(), 1) << "model " << model;
    }
}

TEST_F(LockTest, ProcessesTakeTurnsUnderTheFileModels)
{
    for (ProcessModel model : {CM_LOCK_PROCESS, CM_LOCK_PROCESS_THREAD}) {
        const std::string trace = dir() + "/trace" + std::to_string(model);
        std::vector<pid_t> children;
        for (int c = 0; c < 3; ++c)
            children.push_back(Spawn([&, c] {
                boost::shared_ptr<CacheLock> lock = NewLock(model);
                const int fd = open(trace.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
                const std::string begin = "b" + std::to_string(c) + "\n", end = "e" + std::to_string(c) + "\n";
                for (int round = 0; round < 20; ++round) {
                    TakeCacheLock held(lock);
                    if (write(fd, begin.data(), begin.size()) < 0)
                        return 1;
                    usleep(500);
                    if (write(fd, end.data(), end.size()) < 0)
                        return 1;
                }
                return 0;
            }));
        for (pid_t child : children)
            EXPECT_EQ(Reap(child), 0);
        std::ifstream in(trace);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        ASSERT_EQ(lines.size(), 120u) << "model " << model;
        for (size_t i = 0; i < lines.size(); i += 2)
            ASSERT_EQ("e" + lines[i].substr(1), lines[i + 1]) << "model " << model << ", line " << i;
    }
}

TEST_F(LockTest, AnInnerHoldNeitherWaitsNorEndsTheOuterOne)
{
    for (ProcessModel model : {CM_LOCK_PROCESS, CM_LOCK_THREAD, CM_LOCK_PROCESS_THREAD}) {
        SCOPED_TRACE("model " + std::to_string(model));
        boost::shared_ptr<CacheLock> lock = NewLock(model);
        {
            TakeCacheLock outer(lock);
            { TakeCacheLock inner(lock); }
            EXPECT_EQ(FileLockedFromOutside(LockPath()), UsesFile(model));
            EXPECT_EQ(SectionFreeElsewhere(*lock), !UsesSection(model));
        }
        EXPECT_FALSE(FileLockedFromOutside(LockPath()));
        EXPECT_TRUE(SectionFreeElsewhere(*lock));
    }
    EXPECT_EQ(log().CountLevel(-1), log().Count("got FD") + log().Count("closing FD")) << log().Dump();
}

// UpdateItem of a growing item calls CreateSpace under its own hold; the
// provider's query, made inside, sees what the model holds.
TEST_F(LockTest, UpdateItemThatGrowsHoldsWhatTheModelSaysAndCompletes)
{
    struct {
        ProcessModel model;
        bool file, section;
    } const cases[] = {{CM_LOCK_PROCESS, true, false},
                       {CM_LOCK_THREAD, false, true},
                       {CM_LOCK_PROCESS_THREAD, true, true},
                       {static_cast<ProcessModel>(9), true, true}};  // taken as the safest
    for (const auto& c : cases) {
        SCOPED_TRACE("model " + std::to_string(c.model));
        CacheArgs args = Args();
        args.cacheDir = dir() + "/m" + std::to_string(c.model);
        args.processModel = c.model;
        CacheManagerImpl& m = Manager(args);
        EXPECT_EQ(log().Count("Invalid process model [9]. Using [CM_LOCK_PROCESS_THREAD].", -1), c.model == 9 ? 1 : 0);
        int queries = 0;
        bool fileHeld = false, sectionHeld = false;
        size.freeBytesFn = [&]() -> uint64_t {
            ++queries;
            fileHeld = FileLockedFromOutside(m.m_lockFile);
            sectionHeld = !SectionFreeElsewhere(*m.m_ptrCacheLock);
            return 1u << 30;
        };
        const std::string item = Item("grow" + std::to_string(c.model));
        test::WriteFile(item, 100);
        ASSERT_TRUE(m.UpdateItem(item, 100, 0)) << log().Dump();
        queries = 0;  // an entry's size is read from the file: still 100
        ASSERT_TRUE(m.UpdateItem(item, 300, 0)) << log().Dump();
        EXPECT_GE(queries, 1);
        EXPECT_EQ(fileHeld, c.file);
        EXPECT_EQ(sectionHeld, c.section);
        EXPECT_EQ(test::LinkText(args.cacheDir + "/CM/7/size"), "300");
        EXPECT_FALSE(FileLockedFromOutside(m.m_lockFile));
        EXPECT_TRUE(SectionFreeElsewhere(*m.m_ptrCacheLock));
        size.freeBytesFn = nullptr;
    }
    EXPECT_FALSE(log().Has("Failed to get lock") || log().Has("Failed to unlock")) << log().Dump();
}

TEST_F(LockTest, AtForkOpensTheNewLockBeforeClosingTheOld)
{
    CacheManagerImpl& m = Manager();
    const int oldFd = m.m_ptrCacheLock->m_fd;
    log().Clear();
    m.AtFork();
    const int newFd = m.m_ptrCacheLock->m_fd;
    EXPECT_NE(newFd, oldFd);
    const std::vector<test::LogLine> lines = log().Lines();
    ASSERT_EQ(lines.size(), 2u) << log().Dump();
    EXPECT_EQ(lines[0].text, "got FD [" + std::to_string(newFd) + "]");
    EXPECT_EQ(lines[1].text, "closing FD [" + std::to_string(oldFd) + "]");
}

// A lockf() lock does not keep threads of one process apart: under
// CM_LOCK_PROCESS a second thread entering while another holds the cache is
// reported, once, with the fix; the holder's own nested takes are not.
TEST_F(LockTest, ThreadsSharingAProcessLockAreReported)
{
    boost::shared_ptr<CacheLock> lock = NewLock(CM_LOCK_PROCESS);
    log().Clear();
    ASSERT_TRUE(lock->Lock());
    ASSERT_TRUE(lock->Lock());
    EXPECT_EQ(log().CountLevel(-1), 0) << log().Dump();
    for (int round = 0; round < 2; ++round) {
        std::thread other([&] {
            lock->Lock();
            lock->UnLock();
        });
        other.join();
    }
    EXPECT_TRUE(lock->UnLock());
    EXPECT_TRUE(lock->UnLock());
    EXPECT_EQ(log().Count("Use CM_LOCK_PROCESS_THREAD. [" + LockPath() + "]", -1), 1) << log().Dump();
}

TEST_F(LockTest, AChildAfterAtForkTakesTheLockForItself)
{
    CacheManagerImpl& m = Manager();
    // A child forked while this process holds the lock inherits the hold's
    // bookkeeping but not the lockf lock. After AtFork it must really lock:
    // it waits for the parent, then holds the file itself.
    int released[2];
    ASSERT_EQ(pipe(released), 0);
    pid_t child;
    {
        TakeCacheLock held(m.m_ptrCacheLock);
        child = Spawn([&] {
            alarm(20);
            close(released[1]);
            m.AtFork();
            TakeCacheLock mine(m.m_ptrCacheLock);
            char byte;
            if (read(released[0], &byte, 1) != 1)
                return 2;
            return FileLockedFromOutside(m.m_lockFile) ? 0 : 1;
        });
        usleep(100000);
    }
    close(released[0]);
    ASSERT_EQ(write(released[1], "x", 1), 1);
    close(released[1]);
    EXPECT_EQ(Reap(child), 0);
}

// One registration serves several managers: each child renews the lock of
// every registered one (registered twice is once), the parent keeps its own.
TEST_F(LockTest, RegisteredManagersGetALockOfTheirOwnInEveryChild)
{
    CacheManager managers[3];
    std::unique_ptr<CacheManagerImpl> owned[3];
    CacheLock* parentLocks[3];
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(managers[i].InitCacheManager(Args()));
        owned[i].reset(managers[i].m_impl);
        parentLocks[i] = managers[i].m_impl->m_ptrCacheLock.get();
    }
    ASSERT_TRUE(RegisterForkHandler(managers[0]) && RegisterForkHandler(managers[1]) &&
                RegisterForkHandler(managers[0]));
    const auto renewedInChild = [&] {
        return test::RunInChild([&] {
            int renewed = 0;
            for (int i = 0; i < 3; ++i)
                renewed |= managers[i].m_impl->m_ptrCacheLock.get() != parentLocks[i] ? 1 << i : 0;
            return renewed;
        });
    };
    EXPECT_EQ(renewedInChild(), 3);
    EXPECT_EQ(managers[0].m_impl->m_ptrCacheLock.get(), parentLocks[0]);
    UnregisterForkHandler(managers[0]);
    UnregisterForkHandler(managers[1]);
    EXPECT_EQ(renewedInChild(), 0);
}

TEST_F(LockTest, ALockfileThatDidNotOpenFailsEveryFileLock)
{
    test::MakeDirs(LockPath());  // open() for writing fails on a directory
    for (ProcessModel model : {CM_LOCK_PROCESS, CM_LOCK_THREAD, CM_LOCK_PROCESS_THREAD}) {
        SCOPED_TRACE("model " + std::to_string(model));
        boost::shared_ptr<CacheLock> lock = NewLock(model);
        EXPECT_FALSE(lock->m_isOpen);
        EXPECT_EQ(lock->m_fd, -1);
        log().Clear();
        EXPECT_EQ(lock->Lock(), !UsesFile(model));
        EXPECT_EQ(lock->UnLock(), !UsesFile(model));
        EXPECT_EQ(log().Count("Failed to get lock. fd [-1] [Bad file descriptor]", -1), UsesFile(model) ? 1 : 0);
        EXPECT_EQ(log().Lines().size(), UsesFile(model) ? 1u : 0u) << log().Dump();
        // The section is left with the failed file lock too.
        EXPECT_TRUE(SectionFreeElsewhere(*lock));
    }
    // A child whose new lock cannot open the lockfile says so.
    CacheManagerImpl& m = Manager();
    ASSERT_EQ(unlink(m.m_lockFile.c_str()), 0);
    test::MakeDirs(m.m_lockFile);
    log().Clear();
    m.AtFork();
    EXPECT_TRUE(log().Has("Failed to create lockfile for TimeTable.", -1)) << log().Dump();
}

TEST_F(LockTest, TheCriticalSectionIsReentrantAndCounted)
{
    KorCriticalSectionH section;
    EXPECT_TRUE(section.enter(true));
    EXPECT_TRUE(section.enter(true));
    EXPECT_TRUE(section.enter(false));  // already ours
    std::atomic<bool> entered{false};
    std::thread waiter([&] {
        EXPECT_FALSE(section.enter(false));
        section.enter(true);
        entered = true;
        section.leave();
    });
    for (int left = 0; left < 3; ++left) {
        usleep(50000);
        EXPECT_FALSE(entered) << "entered after " << left << " of 3 leaves";
        section.leave();
    }
    waiter.join();
    EXPECT_TRUE(entered);
}

}  // namespace
