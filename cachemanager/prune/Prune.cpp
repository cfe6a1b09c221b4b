// The single steps of reclamation. An entry leaves the index, and the oldest
// link moves past it, before the item's file is touched: an item whose file
// cannot be pruned has already left the index, and its size counts as freed.
#include <cerrno>
#include <cstring>

#include "cachemanager/CacheManagerImpl.h"
#include "cachemanager/Statistics.h"
#include "cachemanager/SysCall.h"
#include "cachemanager/prune/PathUtils.h"

namespace sys = cm::sys;

namespace {

// Levels that PRUNE_UNLINK_RECURSE may remove: the item's directory and seven
// ancestors; and that set-wise pruning removes: the entry directory and the
// four levels above it.
const int kItemDirLevels = 8;
const int kEntryDirLevels = 5;

// A stale oldest link is removed and the oldest found afresh, once: a second
// miss comes from the walk itself, and retrying it would never end.
const int kOldestAttempts = 2;

}  // namespace

bool CacheManagerImpl::PruneItem(const std::string& item, PruneMethod method)
{
    cm::StatTimer timer(m_pruneItemCount, m_pruneItemTime);
    switch (method) {
    case PRUNE_TRUNCATE:
        if (!sys::Truncate(CM_HERE, item, sys::QUIET_IF_MISSING) && errno != ENOENT)
            return false;
        CM_PROGRESS("Pruned(truncate) [%s].", item.c_str());
        break;
    case PRUNE_UNLINK:
        if (!sys::Unlink(CM_HERE, item, sys::QUIET_IF_MISSING) && errno != ENOENT)
            return false;
        CM_PROGRESS("Removed(unlink) [%s].", item.c_str());
        break;
    case PRUNE_UNLINK_RECURSE: {
        if (!sys::Unlink(CM_HERE, item, sys::QUIET_IF_MISSING) && errno != ENOENT)
            return false;
        CM_PROGRESS("Removed(unlink_recurse) [%s].", item.c_str());
        // The record lies in the item's directory: it goes first, or the
        // directory would never be empty enough to remove.
        const bool removed = RemoveCachePositionRecord(item);
        RemoveDirReverse(DirName(item), kItemDirLevels);
        return removed;
    }
    default:
        break;
    }
    return RemoveCachePositionRecord(item);
}

bool CacheManagerImpl::PruneOneItem(uint64_t& bytesFreed)
{
    cm::StatTimer timer(m_pruneOneItemCount, m_pruneOneItemTime);
    std::string oldest;
    for (int attempt = 0; attempt < kOldestAttempts; ++attempt) {
        if (!GetOldestItem(oldest))
            return false;
        if (oldest.empty()) {
            bytesFreed = 0;
            CM_PROGRESS("Cache is empty. There is nothing to prune.");
            return false;
        }
        CacheItemInfo info;
        if (RemoveItemAtPosition(oldest, info, true)) {
            if (!SetNextOldest(oldest))
                return false;
            PruneItem(info.path, info.pruneMethod);
            bytesFreed = info.size;
            return true;
        }
        if (errno != ENOENT || !RemoveStaleOldestLink())
            return false;
    }
    CM_ERROR("Oldest entry [%s] is missing. [%s]", oldest.c_str(), strerror(ENOENT));
    return false;
}

bool CacheManagerImpl::PruneAllItemsInDir(const std::string& dir, uint64_t& bytesFreed)
{
    {
        sys::DirReader reader;
        if (!reader.Open(CM_HERE, dir, sys::QUIET_IF_MISSING, sys::OPENDIR_PLAIN))
            return false;
        bytesFreed = 0;
        while (const char* name = reader.Next()) {
            CacheItemInfo info;
            if (!RemoveItemAtPosition(dir + "/" + name, info, false))
                continue;
            bytesFreed += info.size;
            PruneItem(info.path, info.pruneMethod);
        }
    }
    RemoveDirReverse(dir, kEntryDirLevels);
    return true;
}

bool CacheManagerImpl::PruneOneDir(uint64_t& bytesFreed)
{
    cm::StatTimer timer(m_pruneOneItemCount, m_pruneOneItemTime);
    std::string oldest;
    for (int attempt = 0; attempt < kOldestAttempts; ++attempt) {
        if (!GetOldestDir(oldest)) {
            CM_ERROR("Failed to get oldest dir");
            return false;
        }
        if (oldest.empty()) {
            bytesFreed = 0;
            CM_NOTICE("Cache is empty. There is nothing to prune.");
            return false;
        }
        if (PruneAllItemsInDir(oldest, bytesFreed))
            return SetNextOldestDir(oldest);
        if (errno != ENOENT || !RemoveStaleOldestLink())
            return false;
    }
    CM_ERROR("Oldest entry directory [%s] is missing. [%s]", oldest.c_str(), strerror(ENOENT));
    return false;
}
