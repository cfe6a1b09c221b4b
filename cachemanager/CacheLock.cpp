#include "cachemanager/CacheLock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include "cachemanager/util/Log.h"
#include "host/KorCriticalSectionH.h"

namespace {

// Tries of the file lock without waiting before a waiter blocks: about a
// millisecond on an idle processor, longer when others want it.
const int kLockPolls = 1000;

}  // namespace

KorCriticalSection::KorCriticalSection() : m_handle(new KorCriticalSectionH()) {}

KorCriticalSection::~KorCriticalSection()
{
    delete m_handle;
    m_handle = nullptr;
}

void KorCriticalSection::enter(bool wait) { m_handle->enter(wait); }

void KorCriticalSection::leave() { m_handle->leave(); }

CacheLock::CacheLock(const std::string& lockFile, ProcessModel model)
    : m_fd(-1), m_lockFile(lockFile), m_processModel(model), m_isOpen(false), m_fileHolds(0),
      m_fileLocked(false), m_sharingReported(false)
{
    m_fd = open64(m_lockFile.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0700);
    if (m_fd >= 0) {
        CM_ERROR_NOT_FAILURE("got FD [%d]", m_fd);
        m_isOpen = true;
    }
}

CacheLock::~CacheLock()
{
    CM_ERROR_NOT_FAILURE("closing FD [%d]", m_fd);
    if (m_fd >= 0)
        close(m_fd);
}

bool CacheLock::Lock()
{
    switch (m_processModel) {
    case CM_LOCK_PROCESS:
        return LockFile();
    case CM_LOCK_THREAD:
        m_criticalSection.enter(true);
        return true;
    case CM_LOCK_PROCESS_THREAD:
        // The section first: at most one thread of this process then holds
        // or waits for the file lock.
        m_criticalSection.enter(true);
        return LockFile();
    default:
        return true;
    }
}

bool CacheLock::UnLock()
{
    switch (m_processModel) {
    case CM_LOCK_PROCESS:
        return UnLockFile();
    case CM_LOCK_THREAD:
        m_criticalSection.leave();
        return true;
    case CM_LOCK_PROCESS_THREAD: {
        const bool released = UnLockFile();
        m_criticalSection.leave();
        return released;
    }
    default:
        return true;
    }
}

bool CacheLock::LockFile()
{
    std::lock_guard<std::mutex> guard(m_holdMutex);
    // Every take counts, failed ones too: the guard releases in every case.
    // A take that finds the file unlocked (the first, or one after a failed
    // attempt) tries the lock again.
    ++m_fileHolds;
    if (m_fileLocked) {
        if (m_processModel == CM_LOCK_PROCESS && !m_sharingReported &&
            m_fileHolder != std::this_thread::get_id()) {
            m_sharingReported = true;
            CM_ERROR("A second thread entered the cache while another held it: under CM_LOCK_PROCESS threads of "
                     "one process do not exclude each other and corrupt the index. Use CM_LOCK_PROCESS_THREAD. [%s]",
                     m_lockFile.c_str());
        }
        return true;
    }
    // The descriptor's offset stays 0, so the lock covers the whole file.
    // A waiter blocked in F_LOCK is woken at every release, whoever takes the
    // lock next, and each wake-up costs the releasing process a switch or an
    // interrupt: processes that contend for every operation lost a quarter
    // of their joint throughput to it. So a waiter polls first (F_TLOCK,
    // yielding the processor to the holder or other work between tries) and
    // blocks only when the holder keeps the lock longer.
    for (int poll = 0; poll < kLockPolls; ++poll) {
        if (lockf(m_fd, F_TLOCK, 0) == 0) {
            m_fileLocked = true;
            m_fileHolder = std::this_thread::get_id();
            return true;
        }
        if (errno != EACCES && errno != EAGAIN)
            break;
        sched_yield();
    }
    if (lockf(m_fd, F_LOCK, 0) == -1) {
        CM_ERROR("Failed to get lock. fd [%d] [%s]", m_fd, strerror(errno));
        return false;
    }
    m_fileLocked = true;
    m_fileHolder = std::this_thread::get_id();
    return true;
}

bool CacheLock::UnLockFile()
{
    std::lock_guard<std::mutex> guard(m_holdMutex);
    if (m_fileHolds > 0 && --m_fileHolds > 0)
        return true;
    if (m_fd < 0)
        return false;
    if (!m_fileLocked)
        return true;
    m_fileLocked = false;
    if (lockf(m_fd, F_ULOCK, 0) == -1) {
        CM_ERROR("Failed to unlock. fd [%d] [%s]", m_fd, strerror(errno));
        return false;
    }
    return true;
}
