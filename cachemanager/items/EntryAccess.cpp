// Reading, removing and rewriting single index entries.
#include <cerrno>
#include <cstring>

#include "cachemanager/CacheManagerImpl.h"
#include "cachemanager/Statistics.h"
#include "cachemanager/util/SysCall.h"
#include "cachemanager/prune/PathUtils.h"
#include "cachemanager/timetable/Layout.h"

namespace layout = cm::layout;
namespace sys = cm::sys;

bool CacheManagerImpl::GetItemAtPoisition(const std::string& entry, CacheItemInfo& info)
{
    // A missing entry fails here, with errno ENOENT, which callers take for a
    // stale position rather than a damaged index.
    struct stat status;
    if (!sys::Lstat(CM_HERE, entry, status, sys::LOG_FAILURE))
        return false;
    std::string text;
    if (!sys::ReadLink(CM_HERE, entry, layout::kMaxLongLink, text, sys::LOG_FAILURE, sys::READLINK_ARROW))
        return false;
    layout::EntryFields fields;
    std::string badPart;
    if (!layout::ParseEntryTarget(text, fields, badPart)) {
        errno = EINVAL;
        CM_ERROR("Malformed link target. [%s] [%s]", badPart.c_str(), strerror(EINVAL));
        return false;
    }
    info.pruneMethod = static_cast<PruneMethod>(fields.method);
    info.path = fields.item;
    // The size is the item's as it is now, not as the entry recorded it.
    if (sys::Lstat(CM_HERE, info.path, status, sys::QUIET_IF_MISSING))
        info.size = static_cast<uint64_t>(status.st_size);
    else if (errno == ENOENT)
        info.size = 0;
    else
        return false;
    return true;
}

bool CacheManagerImpl::RemoveItemAtPosition(const std::string& entry, CacheItemInfo& info,
                                            bool removeEmptyDirs)
{
    cm::StatTimer timer(m_removeAtPosCount, m_removeAtPosTime);
    if (!GetItemAtPoisition(entry, info))
        return false;
    if (!sys::Unlink(CM_HERE, entry, sys::QUIET_IF_MISSING) && errno != ENOENT)
        return false;
    if (removeEmptyDirs)
        RemoveEmptiedDirs(entry);
    return true;
}

void CacheManagerImpl::RemoveEmptiedDirs(const std::string& entry)
{
    // The directories this emptied, upward from the entry's, at most the five
    // levels of the time tree and never "T" or anything above it.
    std::string dir = DirName(entry);
    for (int level = 0; level < layout::kEntryDirDepth; ++level) {
        if (dir.size() <= m_timeTableDir.size() + 1 || dir.compare(0, m_timeTableDir.size(), m_timeTableDir) != 0 ||
            dir[m_timeTableDir.size()] != '/')
            break;
        if (RemoveEmptyDirectory(dir.c_str()) != 0)
            break;
        // A later directory of the same name may be filled under a host's
        // own time key: an oldest link into this one must not lead there.
        if (level == 0)
            DropOldestLinkInto(dir);
        DirName(dir, dir);
    }
}

bool CacheManagerImpl::UpdatePruneMethod(const std::string& entry, PruneMethod method)
{
    CacheItemInfo info;
    if (!GetItemAtPoisition(entry, info))
        return false;
    const std::string target = layout::EntryTarget(info.size, method, info.path);
    if (target.size() > layout::kMaxRewrittenEntry) {
        errno = ENAMETOOLONG;
        CM_ERROR("Entry target too long for [%s]. [%s]", entry.c_str(), strerror(ENAMETOOLONG));
        return false;
    }
    // Made aside and renamed over the entry: the item never loses its place
    // in the index, whether the process is killed or the file system is full.
    return sys::ReplaceLinkAside(CM_HERE, target, entry, layout::EntryTempLink(m_moduleRoot),
                                 sys::SYMLINK_LINK_TO_TEXT, sys::KEEP_OLD_WHEN_FULL);
}
