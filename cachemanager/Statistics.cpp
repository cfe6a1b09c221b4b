#include "cachemanager/Statistics.h"

#include <sys/time.h>

#include "cachemanager/CacheManagerImpl.h"
#include "cachemanager/Log.h"

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
