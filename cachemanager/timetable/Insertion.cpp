// The young end of the index: where a new entry goes, and the latest link
// that makes choosing it cheap. Consecutive insertions into one entry
// directory take the next number from the latest link without reading the
// directory; only an insertion into another directory scans it.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cachemanager/CacheManagerImpl.h"
#include "cachemanager/Statistics.h"
#include "cachemanager/util/SysCall.h"
#include "cachemanager/util/PathName.h"
#include "cachemanager/timetable/Layout.h"

namespace layout = cm::layout;
namespace sys = cm::sys;

namespace {

// Entry numbers are 32-bit: after the largest, an insertion would wrap to 0
// and below every entry of the directory, and pruning would take it first.
bool NumberLeft(const std::string& dir, uint32_t highest)
{
    if (highest < UINT32_MAX)
        return true;
    errno = EOVERFLOW;
    CM_ERROR("No entry number left in [%s] after [%u]. [%s]", dir.c_str(), static_cast<unsigned>(highest),
             strerror(EOVERFLOW));
    return false;
}

// The chosen entry exists: an insertion was interrupted after making its
// entry and before moving the latest link on. Numbering from the link would
// hit that entry on every insertion into the directory, for ever under a
// caller's fixed key; the directory itself knows the highest number in use.
bool NextFreePosition(CacheManagerImpl& manager, std::string& position)
{
    CM_NOTICE("Entry [%s] exists already: the latest link is behind. Numbering from the directory.",
              position.c_str());
    const std::string dir = DirName(position);
    uint32_t highest = 0;
    if (!manager.GetLatestEntry(dir, highest) || !NumberLeft(dir, highest))
        return false;
    position = layout::EntryPath(dir, highest + 1);
    if (position.size() > layout::kMaxPath) {
        errno = ENAMETOOLONG;
        CM_ERROR("Entry path too long [%s]. [%s]", position.c_str(), strerror(ENAMETOOLONG));
        return false;
    }
    return true;
}

}  // namespace

bool CacheManagerImpl::CreateLatest(const std::string& item, std::string& position, uint64_t size,
                                    uint64_t timeKey)
{
    cm::StatTimer timer(m_insertCount, m_insertTime);
    const std::string target = layout::EntryTarget(size, m_pruneMethod, item);
    if (target.size() > layout::kMaxPath) {
        errno = ENAMETOOLONG;
        CM_ERROR("Entry target too long for [%s]. [%s]", item.c_str(), strerror(ENAMETOOLONG));
        return false;
    }
    if (!GetLatest(position, timeKey))
        return false;
    if (!sys::Symlink(CM_HERE, target, position, sys::SYMLINK_LINK_TO_TEXT, sys::QUIET_IF_EXISTS)) {
        if (errno != EEXIST || !NextFreePosition(*this, position))
            return false;
        if (!sys::Symlink(CM_HERE, target, position, sys::SYMLINK_LINK_TO_TEXT))
            return false;
    }
    return SetLatest(position);
}

bool CacheManagerImpl::GetLatest(std::string& position, uint64_t timeKey)
{
    std::string latest;
    if (!GetCurrentLatest(latest))
        return false;
    if (timeKey == 0)
        GetTimeStamp(timeKey, layout::kTimeResolutionMs);
    std::string dir;
    TimeToPath(timeKey, dir);

    uint32_t latestEntry = 0;
    // A latest link whose last name is no entry number is no guide: the
    // directory is scanned instead.
    const bool sameDir = latest.size() > dir.size() && latest.compare(0, dir.size(), dir) == 0 &&
                         latest[dir.size()] == '/' && layout::IsNumberName(latest.c_str() + dir.size() + 1);
    if (sameDir)
        latestEntry = layout::NameNumber(latest.c_str() + dir.size() + 1);
    else if (!GetLatestEntry(dir, latestEntry))
        return false;
    CM_PROGRESS("curLatestPos [%s] newpos [%s] latestEntry [%d]", latest.c_str(), dir.c_str(),
                static_cast<int>(latestEntry));
    if (!NumberLeft(dir, latestEntry))
        return false;

    const std::string entry = layout::EntryPath(dir, latestEntry + 1);
    if (entry.size() > layout::kMaxPath) {
        errno = ENAMETOOLONG;
        CM_ERROR("Entry path too long [%s]. [%s]", entry.c_str(), strerror(ENAMETOOLONG));
        return false;
    }
    if (!CreateDirRecurse(dir))
        return false;
    position = entry;
    return true;
}

bool CacheManagerImpl::GetCurrentLatest(std::string& latestTarget)
{
    latestTarget.clear();
    if (sys::ReadLink(CM_HERE, m_latestLink, layout::kMaxShortLink, latestTarget, sys::QUIET_IF_MISSING))
        return true;
    latestTarget.clear();
    return errno == ENOENT;
}

bool CacheManagerImpl::GetLatestEntry(const std::string& dir, uint32_t& highest)
{
    cm::StatTimer timer(m_getMinOrMaxCount, m_getMinOrMaxTime);
    highest = 0;
    sys::DirReader reader;
    if (!reader.Open(CM_HERE, dir, sys::QUIET_IF_MISSING, sys::OPENDIR_DOTTED))
        return errno == ENOENT;
    bool skipped = false;
    while (const char* name = reader.NextNumbered(CM_HERE, skipped)) {
        const uint32_t number = layout::NameNumber(name);
        if (number > highest)
            highest = number;
    }
    return true;
}

bool CacheManagerImpl::SetLatest(const std::string& position)
{
    return sys::ReplaceLinkAside(CM_HERE, position, m_latestLink, layout::LatestTempLink(m_moduleRoot),
                                 sys::SYMLINK_TEXT_TO_LINK, sys::IN_PLACE_WHEN_FULL);
}
