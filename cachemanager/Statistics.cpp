#include "cachemanager/Statistics.h"

#include <sys/time.h>

#include "cachemanager/CacheLock.h"
#include "cachemanager/CacheManagerImpl.h"
#include "cachemanager/util/Log.h"

uint64_t gettime()
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_usec);
}

namespace {

uint64_t PerCall(uint64_t total, uint64_t count) { return count == 0 ? 0 : total / count; }

}  // namespace

#define CM_STAT_LINE(format, count, time) \
    CM_NOTICE(format, (unsigned long)(count), (unsigned long)(time), (unsigned long)PerCall(time, count))

void CacheManagerImpl::PrintStats()
{
    if (!Ready("PrintStats"))
        return;
    CM_NOTICE("Name\t\tCount\t\t\tTotal Time\tPer Transaction\n");
    CM_STAT_LINE("GetMinORMax\t%lu\t\t\t%lu\t%lu", m_getMinOrMaxCount, m_getMinOrMaxTime);
    CM_STAT_LINE("Insert\t\t%lu\t\t\t%lu\t%lu", m_insertCount, m_insertTime);
    CM_STAT_LINE("Delete\t\t%lu\t\t\t%lu\t%lu", m_deleteCount, m_deleteTime);
    CM_STAT_LINE("GetPos\t\t%lu\t\t\t%lu\t%lu", m_getPosCount, m_getPosTime);
    CM_STAT_LINE("RemoveAtPos\t\t%lu\t\t\t%lu\t%lu", m_removeAtPosCount, m_removeAtPosTime);
    CM_STAT_LINE("PruneOneItem\t\t%lu\t\t\t%lu\t%lu", m_pruneOneItemCount, m_pruneOneItemTime);
    CM_STAT_LINE("PruneItem\t\t%lu\t\t\t%lu\t%lu", m_pruneItemCount, m_pruneItemTime);
    CM_STAT_LINE("SetNextOldest\t\t%lu\t\t\t%lu\t%lu", m_setNextOldestCount, m_setNextOldestTime);
}

bool CacheManagerImpl::GetStatistics(CacheStatistics& out)
{
    out = CacheStatistics();
    if (!Ready("GetStatistics"))
        return false;
    const uint64_t* const pairs[CacheStatistics::STAT_KINDS][2] = {
        {&m_getMinOrMaxCount, &m_getMinOrMaxTime}, {&m_insertCount, &m_insertTime},
        {&m_deleteCount, &m_deleteTime},           {&m_getPosCount, &m_getPosTime},
        {&m_removeAtPosCount, &m_removeAtPosTime}, {&m_pruneOneItemCount, &m_pruneOneItemTime},
        {&m_pruneItemCount, &m_pruneItemTime},     {&m_setNextOldestCount, &m_setNextOldestTime},
    };
    for (int kind = 0; kind < CacheStatistics::STAT_KINDS; ++kind) {
        out.count[kind] = *pairs[kind][0];
        out.microseconds[kind] = *pairs[kind][1];
    }
    return true;
}

void CacheManagerImpl::ResetStatistics()
{
    if (!Ready("ResetStatistics"))
        return;
    // The counters move under the cache lock: reset them under it too.
    TakeCacheLock lock(m_ptrCacheLock);
    ZeroStatistics();
}

void CacheManagerImpl::ZeroStatistics()
{
    m_getMinOrMaxTime = m_getMinOrMaxCount = 0;
    m_insertTime = m_insertCount = 0;
    m_deleteTime = m_deleteCount = 0;
    m_getPosTime = m_getPosCount = 0;
    m_removeAtPosTime = m_removeAtPosCount = 0;
    m_pruneOneItemCount = m_pruneOneItemTime = 0;
    m_pruneItemCount = m_pruneItemTime = 0;
    m_setNextOldestCount = m_setNextOldestTime = 0;
}
