// The cache lock under each model: threads and processes take turns, a
// holder may take it again, AtFork gives a child a lock of its own, and the
// host's critical section beneath it.
#include "tests/TestSupport.h"

#include "cachemanager/CacheLock.h"
#include "host/KorCriticalSectionH.h"

namespace {

class LockTest : public test::CacheTest {
protected:
    using Lock = boost::shared_ptr<CacheLock>;
    Lock NewLock(ProcessModel model) { return Lock(new CacheLock(LockPath(), model)); }
    std::string LockPath() const { return dir() + "/lockfile"; }
};

const ProcessModel kModels[] = {CM_LOCK_PROCESS, CM_LOCK_THREAD, CM_LOCK_PROCESS_THREAD};
bool UsesFile(ProcessModel model) { return model != CM_LOCK_THREAD; }
bool UsesSection(ProcessModel model) { return model != CM_LOCK_PROCESS; }

// Whether some process other than a fresh child holds a lockf lock on path
// (the caller's own lock counts).
bool FileLockedFromOutside(const std::string& path)
{
    return test::RunInChild([&] {
        const int fd = open(path.c_str(), O_WRONLY);
        return fd >= 0 && lockf(fd, F_TEST, 0) == -1 && (errno == EACCES || errno == EAGAIN) ? 1 : 0;
    }) == 1;
}

// Whether another thread could enter the lock's critical section now.
bool SectionFreeElsewhere(CacheLock& lock)
{
    bool entered = false;
    std::thread([&] {
        if ((entered = lock.m_criticalSection.m_handle->enter(false)))
            lock.m_criticalSection.leave();
    }).join();
    return entered;
}

// Three threads sharing one lock, or three processes with a lock each, count
// who is inside while they hold it: nobody may come in meanwhile, also not
// when the holder's own inner hold has ended (nor may that inner one wait).
TEST_F(LockTest, HoldersTakeTurnsAsThreadsAndAsProcesses)
{
    std::atomic<int>* counts = test::SharedArray<std::atomic<int>>(3);  // inside, overlaps, holds
    for (const auto& c : {std::make_pair(CM_LOCK_THREAD, true), std::make_pair(CM_LOCK_PROCESS_THREAD, true),
                          std::make_pair(CM_LOCK_PROCESS, false), std::make_pair(CM_LOCK_PROCESS_THREAD, false)}) {
        SCOPED_TRACE("model " + std::to_string(c.first) + (c.second ? " threads" : " processes"));
        counts[2] = 0;
        boost::shared_ptr<CacheLock> shared = NewLock(c.first);
        const auto work = [&] {
            boost::shared_ptr<CacheLock> lock = c.second ? shared : NewLock(c.first);
            for (int round = 0; round < 20; ++round) {
                TakeCacheLock held(lock);
                { TakeCacheLock inner(lock); }
                counts[1] += ++counts[0] > 1 ? 1 : 0;
                usleep(300);
                --counts[0];
                ++counts[2];
            }
            return 0;
        };
        std::vector<std::thread> threads;
        std::vector<pid_t> children;
        for (int n = 0; n < 3; ++n) {
            if (c.second)
                threads.emplace_back(work);
            else
                children.push_back(test::Spawn(work));
        }
        for (std::thread& thread : threads)
            thread.join();
        for (pid_t child : children)
            EXPECT_EQ(test::Reap(child), 0);
        EXPECT_EQ(counts[1].load(), 0);
        EXPECT_EQ(counts[2].load(), 60);
    }
}

// UpdateItem of a growing item calls CreateSpace under its own hold: the
// provider's query, made inside, sees what the model holds, and nothing is
// held once it returns.
TEST_F(LockTest, AnOperationHoldsWhatTheModelTakes)
{
    for (ProcessModel model : kModels) {
        CacheArgs args = Args();
        args.cacheDir = dir() + "/m" + std::to_string(model);
        args.processModel = model;
        CacheManagerImpl& m = Manager(args);
        const auto held = [&] {
            return std::make_pair(FileLockedFromOutside(m.m_lockFile), !SectionFreeElsewhere(*m.m_ptrCacheLock));
        };
        const std::string item = Item("grow" + std::to_string(model));
        test::WriteFile(item, 100);
        ASSERT_TRUE(m.UpdateItem(item, 100, 0)) << log().Dump();
        std::pair<bool, bool> inside(false, false);
        size.freeBytesFn = [&]() -> uint64_t { return inside = held(), 1u << 30; };
        ASSERT_TRUE(m.UpdateItem(item, 300, 0)) << log().Dump();
        size.freeBytesFn = nullptr;
        EXPECT_EQ(inside, std::make_pair(UsesFile(model), UsesSection(model))) << "model " << model;
        EXPECT_EQ(held(), std::make_pair(false, false)) << "model " << model;
        EXPECT_EQ(test::LinkText(args.cacheDir + "/CM/7/size"), "300");
    }
    EXPECT_EQ(log().CountLevel(-1), log().Count("got FD") + log().Count("closing FD")) << log().Dump();
}

// A lockf() lock does not keep threads of one process apart: under
// CM_LOCK_PROCESS a second thread entering while another holds the cache is
// reported, once, with the fix; the holder's own nested takes are not.
TEST_F(LockTest, ThreadsSharingAProcessLockAreReported)
{
    boost::shared_ptr<CacheLock> lock = NewLock(CM_LOCK_PROCESS);
    log().Clear();
    ASSERT_TRUE(lock->Lock() && lock->Lock());
    EXPECT_EQ(log().CountLevel(-1), 0) << log().Dump();
    for (int round = 0; round < 2; ++round)
        std::thread([&] { lock->Lock(), lock->UnLock(); }).join();
    EXPECT_TRUE(lock->UnLock() && lock->UnLock());
    EXPECT_EQ(log().Count("Use CM_LOCK_PROCESS_THREAD. [" + LockPath() + "]", -1), 1) << log().Dump();
}

// AtFork opens the new lock before it closes the old one (so the two differ).
// A child forked while this process holds the lock inherits the hold's
// bookkeeping but not the lockf lock: after AtFork it really locks, waiting
// for the parent, then holding the file itself. A new lock that cannot open
// the lockfile says so.
TEST_F(LockTest, AtForkGivesAChildALockOfItsOwn)
{
    CacheManagerImpl& m = Manager();
    const int oldFd = m.m_ptrCacheLock->m_fd;
    log().Clear();
    m.AtFork();
    const int newFd = m.m_ptrCacheLock->m_fd;
    const std::vector<test::LogLine> lines = log().Lines();
    EXPECT_TRUE(lines.size() == 2 && lines[0].text == "got FD [" + std::to_string(newFd) + "]" &&
                lines[1].text == "closing FD [" + std::to_string(oldFd) + "]") << log().Dump();

    int released[2];
    ASSERT_EQ(pipe(released), 0);
    pid_t child;
    {
        TakeCacheLock held(m.m_ptrCacheLock);
        child = test::Spawn([&] {
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
    EXPECT_EQ(test::Reap(child), 0);

    ASSERT_EQ(unlink(m.m_lockFile.c_str()), 0);
    test::MakeDirs(m.m_lockFile);
    log().Clear();
    m.AtFork();
    EXPECT_TRUE(log().Has("Failed to create lockfile for TimeTable.", -1)) << log().Dump();
}

// One registration serves several managers: each child renews the lock of
// every registered one (registered twice is once), the parent keeps its own.
TEST_F(LockTest, RegisteredManagersGetALockOfTheirOwnInEveryChild)
{
    CacheManager managers[3];
    CacheLock* parentLocks[3];
    for (int i = 0; i < 3; ++i) {
        managers[i].m_impl = &Manager();
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
    for (ProcessModel model : kModels) {
        SCOPED_TRACE("model " + std::to_string(model));
        boost::shared_ptr<CacheLock> lock = NewLock(model);
        EXPECT_TRUE(!lock->m_isOpen && lock->m_fd == -1);
        log().Clear();
        EXPECT_EQ(lock->Lock(), !UsesFile(model));
        EXPECT_EQ(lock->UnLock(), !UsesFile(model));
        EXPECT_EQ(log().Count("Failed to get lock. fd [-1] [Bad file descriptor]", -1), UsesFile(model) ? 1 : 0);
        EXPECT_EQ(log().Lines().size(), UsesFile(model) ? 1u : 0u) << log().Dump();
        // The section is left with the failed file lock too.
        EXPECT_TRUE(SectionFreeElsewhere(*lock));
    }
}

}  // namespace
