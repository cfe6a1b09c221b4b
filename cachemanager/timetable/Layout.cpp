#include "cachemanager/timetable/Layout.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/time.h>

#include "cachemanager/CacheManagerImpl.h"
#include "cachemanager/SysCall.h"

namespace cm {
namespace layout {

namespace {

const char kModuleDirName[] = "CM";
const char kTimeTableName[] = "T";
const char kLockFileName[] = "lockfile";
const char kOldestName[] = "oldest";
const char kLatestName[] = "latest";
const char kSizeName[] = "size";
const char kRecordPrefix[] = "cacheposition.";

std::string Join(const std::string& dir, const char* name) { return dir + "/" + name; }

}  // namespace

std::string ModuleRoot(const std::string& cacheDir, uint32_t moduleId)
{
    return cacheDir + "/" + kModuleDirName + "/" + std::to_string(moduleId);
}

std::string TimeTableDir(const std::string& moduleRoot) { return Join(moduleRoot, kTimeTableName); }
std::string LockFile(const std::string& moduleRoot) { return Join(moduleRoot, kLockFileName); }
std::string OldestLink(const std::string& moduleRoot) { return Join(moduleRoot, kOldestName); }
std::string LatestLink(const std::string& moduleRoot) { return Join(moduleRoot, kLatestName); }
std::string SizeLink(const std::string& moduleRoot) { return Join(moduleRoot, kSizeName); }

std::string EntryDir(const std::string& timeTableDir, uint64_t timeKey)
{
    char numbers[64];
    snprintf(numbers, sizeof numbers, "/%u/%u/%u/%u/%u",
             static_cast<unsigned>(timeKey >> 32),
             static_cast<unsigned>((timeKey >> 24) & 0xFF),
             static_cast<unsigned>((timeKey >> 16) & 0xFF),
             static_cast<unsigned>((timeKey >> 8) & 0xFF),
             static_cast<unsigned>(timeKey & 0xFF));
    return timeTableDir + numbers;
}

std::string EntryPath(const std::string& entryDir, uint32_t number) { return ChildDir(entryDir, number); }

std::string ChildDir(const std::string& dir, uint32_t number) { return dir + "/" + std::to_string(number); }

std::string EntryTarget(uint64_t size, int32_t method, const std::string& item)
{
    return std::to_string(size) + ":" + std::to_string(method) + ":" + item;
}

bool ParseEntryTarget(const std::string& text, EntryFields& fields, std::string& badPart)
{
    const size_t first = text.find(':');
    if (first == std::string::npos) {
        badPart = text;
        return false;
    }
    const size_t second = text.find(':', first + 1);
    if (second == std::string::npos) {
        badPart = text.substr(0, first);
        return false;
    }
    fields.size = strtoll(text.substr(0, first).c_str(), nullptr, 10);
    fields.method = atoi(text.substr(first + 1, second - first - 1).c_str());
    fields.item = text.substr(second + 1);
    return true;
}

std::string RecordPath(const std::string& item)
{
    // An item named without a directory has its record beside it, in the
    // same (relative) directory, never at the root of the file system.
    const size_t slash = item.rfind('/');
    if (slash == std::string::npos)
        return kRecordPrefix + item;
    return item.substr(0, slash) + "/" + kRecordPrefix + item.substr(slash + 1);
}

std::string SizeText(uint64_t total) { return std::to_string(total); }

uint64_t ParseSizeText(const std::string& text)
{
    const char* p = text.c_str();
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    // A total is never negative; a text that says so is damage, read as 0.
    if (*p == '-')
        return 0;
    return strtoull(p, nullptr, 10);
}

uint32_t NameNumber(const char* name) { return static_cast<uint32_t>(atoi(name)); }

}  // namespace layout
}  // namespace cm

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
