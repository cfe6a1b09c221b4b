// The record beside each item that leads to its index entry. An item without
// a record is not in the cache: an ordinary state, not an error.
#include <cerrno>
#include <cstring>

#include "cachemanager/CacheManagerImpl.h"
#include "cachemanager/Statistics.h"
#include "cachemanager/util/SysCall.h"
#include "cachemanager/util/PathName.h"
#include "cachemanager/timetable/Layout.h"

namespace layout = cm::layout;
namespace sys = cm::sys;

bool CacheManagerImpl::GetItemCachePos(const std::string& item, std::string& position)
{
    cm::StatTimer timer(m_getPosCount, m_getPosTime);
    std::string text;
    if (sys::ReadLink(CM_HERE, layout::RecordPath(item), layout::kMaxLongLink, text, sys::QUIET_IF_MISSING,
                      sys::READLINK_ARROW)) {
        position = text;
        return true;
    }
    if (errno != ENOENT)
        return false;
    position.clear();
    return true;
}

bool CacheManagerImpl::SetItemCachePos(const std::string& item, const std::string& position)
{
    const std::string record = layout::RecordPath(item);
    if (position.size() > layout::kMaxLongLink) {
        errno = ENAMETOOLONG;
        CM_ERROR("Position too long for [%s]. [%s]", record.c_str(), strerror(ENAMETOOLONG));
        return false;
    }
    if (!sys::Unlink(CM_HERE, record, sys::QUIET_IF_MISSING) && errno != ENOENT)
        return false;
    if (sys::Symlink(CM_HERE, position, record, sys::SYMLINK_TEXT_TO_LINK, sys::QUIET_IF_MISSING))
        return true;
    if (errno != ENOENT)
        return false;
    // The item's directory is missing: make it and try once more. A path that
    // mkdir() takes as existing but that cannot hold the link fails here
    // rather than being retried for ever.
    if (!CreateDirRecurse(DirName(item))) {
        CM_ERROR("Failed to create parent dir for [%s]. Cannot add the item to timetable.", item.c_str());
        return false;
    }
    return sys::Symlink(CM_HERE, position, record, sys::SYMLINK_TEXT_TO_LINK);
}

bool CacheManagerImpl::RemoveCachePositionRecord(const std::string& item)
{
    // Under a default prune method of PRUNE_UNLINK_RECURSE every failure to
    // remove a record passes in silence, as it always has for such hosts;
    // under the others only a missing record does.
    const sys::Quiet quiet = m_pruneMethod == PRUNE_UNLINK_RECURSE ? sys::QUIET : sys::QUIET_IF_MISSING;
    return sys::Unlink(CM_HERE, layout::RecordPath(item), quiet) || errno == ENOENT ||
           m_pruneMethod == PRUNE_UNLINK_RECURSE;
}
