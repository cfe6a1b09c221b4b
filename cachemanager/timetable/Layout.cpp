#include "cachemanager/timetable/Layout.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/time.h>

#include "cachemanager/CacheManagerImpl.h"
#include "cachemanager/util/SysCall.h"

void GetTimeStamp(uint64_t& timeKey, int resolutionMs)
{
    if (resolutionMs == 0) {
        timeKey = 0;
        return;
    }
    struct timeval now;
    gettimeofday(&now, nullptr);
    const int32_t divisor = resolutionMs * 1000;
    timeKey = (static_cast<uint64_t>(now.tv_sec) << 8) |
              static_cast<uint64_t>(now.tv_usec / divisor);
}

void CacheManagerImpl::TimeToPath(uint64_t timeKey, std::string& path)
{
    path = cm::layout::EntryDir(m_timeTableDir, timeKey);
}

bool CacheManagerImpl::CreateDirRecurse(const std::string& dir)
{
    // Climb while a parent is missing, at most four ancestors above dir...
    const int kMaxClimb = 5;
    std::string current = dir;
    int climb = 0;
    while (!cm::sys::Mkdir(CM_HERE, current, cm::sys::QUIET_IF_MISSING)) {
        if (errno != ENOENT)
            return false;
        const size_t slash = current.rfind('/');
        current = slash == std::string::npos ? std::string() : current.substr(0, slash);
        if (++climb == kMaxClimb)
            break;
    }
    // ...then make the missing ones on the way back down.
    size_t end = current.size();
    for (; climb > 0; --climb) {
        size_t start = end;
        if (start < dir.size() && dir[start] == '/')
            ++start;
        end = dir.find('/', start);
        if (end == std::string::npos)
            end = dir.size();
        current = dir.substr(0, end);
        if (!cm::sys::Mkdir(CM_HERE, current, cm::sys::LOG_FAILURE))
            return false;
    }
    return true;
}
