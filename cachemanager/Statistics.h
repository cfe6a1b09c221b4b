// Operation statistics: a count of calls and a sum of elapsed microseconds
// per measured kind of operation, kept in memory by each manager.
#ifndef CACHEMANAGER_STATISTICS_H
#define CACHEMANAGER_STATISTICS_H

#include <stdint.h>

#include "cachemanager/util/Log.h"

// Wall-clock microseconds since the epoch.
uint64_t gettime();

namespace cm {

// Counts one call when built and adds the elapsed time when destroyed, so a
// call is counted and timed on every way out, failures included.
class StatTimer {
public:
    StatTimer(uint64_t& count, uint64_t& time) : m_time(time), m_start(gettime()) { ++count; }
    ~StatTimer()
    {
        ErrnoSaver saver;  // callers test errno after a failed operation
        m_time += gettime() - m_start;
    }
    StatTimer(const StatTimer&) = delete;
    StatTimer& operator=(const StatTimer&) = delete;

private:
    uint64_t& m_time;
    uint64_t m_start;
};

}  // namespace cm

#endif
