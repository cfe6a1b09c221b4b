// The cache lock: serialises the processes and threads that share one
// module's index, as the ProcessModel says.
//
// The lock is re-entrant for its holder under every model: UpdateItem holds
// it while it calls CreateSpace, which takes it again. An inner take neither
// waits nor, when it is released, ends the outer hold.
#ifndef CACHEMANAGER_CACHELOCK_H
#define CACHEMANAGER_CACHELOCK_H

#include <boost/shared_ptr.hpp>
#include <mutex>
#include <string>
#include <thread>

#include "cachemanager/CacheManager.h"

class KorCriticalSectionH;

// Owns one host critical section.
class KorCriticalSection {
public:
    KorCriticalSection();
    ~KorCriticalSection();
    KorCriticalSection(const KorCriticalSection&) = delete;
    KorCriticalSection& operator=(const KorCriticalSection&) = delete;

    void enter(bool wait);
    void leave();

    KorCriticalSectionH* m_handle;
};

class CacheLock {
public:
    // Opens (creating it when missing, mode 0700) the lockfile; m_isOpen says
    // whether that worked. A lock whose file did not open is still usable:
    // under the file-lock models each Lock() then fails with an error line.
    CacheLock(const std::string& lockFile, ProcessModel model);
    ~CacheLock();
    CacheLock(const CacheLock&) = delete;
    CacheLock& operator=(const CacheLock&) = delete;

    // Lock() returns with the lock held (false: the file lock could not be
    // taken, which is logged; the caller still calls UnLock()). UnLock()
    // undoes one Lock().
    CM_EXPORT bool Lock();
    CM_EXPORT bool UnLock();

    int m_fd;
    std::string m_lockFile;
    ProcessModel m_processModel;
    KorCriticalSection m_criticalSection;
    bool m_isOpen;

private:
    bool LockFile();
    bool UnLockFile();

    // lockf() does not count: a second F_LOCK by the same process returns at
    // once and one F_ULOCK ends the hold. The file lock is therefore taken on
    // the first hold of this process and released with its last.
    std::mutex m_holdMutex;
    int m_fileHolds;
    bool m_fileLocked;
    // The thread that took the file lock, to tell a nested take of its own
    // from another thread's under CM_LOCK_PROCESS, where threads share it.
    std::thread::id m_fileHolder;
    bool m_sharingReported;
};

// Scoped guard: takes the lock when built, releases it when destroyed. Its
// own copy of the pointer keeps the lock it took alive until it is released,
// even when AtFork() replaces the manager's lock meanwhile. Inline, on the
// exported Lock() and UnLock(), so that programs built on the shared library
// (tools that mend an index under the lock) can take it too.
class TakeCacheLock {
public:
    explicit TakeCacheLock(boost::shared_ptr<CacheLock> lock) : m_ptrCacheLock(lock)
    {
        if (m_ptrCacheLock)
            m_ptrCacheLock->Lock();
    }
    ~TakeCacheLock()
    {
        if (m_ptrCacheLock)
            m_ptrCacheLock->UnLock();
    }
    TakeCacheLock(const TakeCacheLock&) = delete;
    TakeCacheLock& operator=(const TakeCacheLock&) = delete;

    boost::shared_ptr<CacheLock> m_ptrCacheLock;
};

#endif
