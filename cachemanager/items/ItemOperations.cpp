// What the host calls when it adds, resizes, re-prunes, deletes, hides or
// gives back an item. Each operation holds the cache lock for its whole run,
// so other threads and processes see it as one change.
#include <cerrno>

#include "cachemanager/CacheLock.h"
#include "cachemanager/CacheManagerImpl.h"
#include "cachemanager/Log.h"

namespace {

// Whether the failed read of an entry means that the entry is gone: the item's
// record is stale, and the item is treated as not in the cache.
bool EntryGone() { return errno == ENOENT || errno == ENOTDIR; }

}  // namespace

bool CacheManagerImpl::UpdateItem(const std::string& item, bool skipCreateSpace, uint64_t size,
                                  uint64_t timeKey)
{
    if (!Ready("UpdateItem"))
        return false;
    TakeCacheLock lock(m_ptrCacheLock);
    std::string position;
    if (!GetItemCachePos(item, position))
        return false;

    CacheItemInfo previous;
    if (!position.empty()) {
        if (RemoveItemAtPosition(position, previous, true)) {
            if (size == 0)
                size = previous.size;
        } else if (EntryGone()) {
            CM_NOTICE("Entry [%s] of [%s] is gone. Adding the item afresh.", position.c_str(), item.c_str());
            previous = CacheItemInfo();
            position.clear();
        } else {
            CM_ERROR("RemoveItemAtPosition failed for [%s]. Supposed to be at [%s]", item.c_str(),
                     position.c_str());
            return false;
        }
    }
    if (size == 0) {
        CM_PROGRESS("Adding 0 sized entry to cache.[%s].", item.c_str());
        // An item whose file is gone or empty has left the index above; its
        // record goes with it.
        if (!position.empty())
            RemoveCachePositionRecord(item);
        return false;
    }

    const int64_t delta = static_cast<int64_t>(size - previous.size);
    std::string newPosition;
    bool filed = (delta == 0 || skipCreateSpace || CreateSpace(item, size)) &&
                 CreateLatest(item, newPosition, size, timeKey);
    if (filed && !SetItemCachePos(item, newPosition)) {
        // No record would lead to the new entry: take it out again.
        CacheItemInfo orphan;
        RemoveItemAtPosition(newPosition, orphan, true);
        filed = false;
    }
    if (!filed) {
        // The old entry is gone already. Leave the item out of the cache as a
        // whole, record and share of the module size included, rather than
        // half in it.
        if (!position.empty()) {
            UpdateModuleSize(-static_cast<int64_t>(previous.size));
            RemoveCachePositionRecord(item);
        }
        return false;
    }
    return UpdateModuleSize(delta);
}

bool CacheManagerImpl::UpdateItem(const std::string& item, uint64_t size, uint64_t timeKey)
{
    return UpdateItem(item, false, size, timeKey);
}

bool CacheManagerImpl::UpdateItem(const std::string& item, PruneMethod method)
{
    if (!Ready("UpdateItem"))
        return false;
    TakeCacheLock lock(m_ptrCacheLock);
    std::string position;
    if (!GetItemCachePos(item, position))
        return false;
    if (position.empty() || UpdatePruneMethod(position, method))
        return true;
    if (EntryGone())
        return ForgetStalePosition(item, position);
    CM_ERROR("UpdatePruneMethod failed for [%s]. Supposed to be at [%s]", item.c_str(), position.c_str());
    return false;
}

bool CacheManagerImpl::DeleteFromCache(const std::string& item)
{
    if (!Ready("DeleteFromCache"))
        return false;
    TakeCacheLock lock(m_ptrCacheLock);
    std::string position;
    if (!GetItemCachePos(item, position))
        return false;

    // An item that is not in the cache is pruned by the default method.
    CacheItemInfo info;
    info.pruneMethod = m_pruneMethod;
    if (!position.empty() && !RemoveItemAtPosition(position, info, true)) {
        if (!EntryGone())
            return false;
        info = CacheItemInfo();
        info.pruneMethod = m_pruneMethod;
    }
    PruneItem(item, info.pruneMethod);
    return UpdateModuleSize(-static_cast<int64_t>(info.size));
}

bool CacheManagerImpl::HideItem(const std::string& item, uint64_t /*value*/)
{
    if (!Ready("HideItem"))
        return false;
    TakeCacheLock lock(m_ptrCacheLock);
    std::string position;
    if (!GetItemCachePos(item, position))
        return false;
    if (position.empty())
        return true;
    CacheItemInfo info;
    if (!RemoveItemAtPosition(position, info, true))
        return EntryGone() && ForgetStalePosition(item, position);
    if (!UpdateModuleSize(-static_cast<int64_t>(info.size)))
        return false;
    return RemoveCachePositionRecord(item);
}

bool CacheManagerImpl::UnHideItem(const std::string& item, uint64_t size, uint64_t timeKey)
{
    return UpdateItem(item, size, timeKey);
}

bool CacheManagerImpl::ForgetStalePosition(const std::string& item, const std::string& position)
{
    CM_NOTICE("Entry [%s] of [%s] is gone. Removing its record.", position.c_str(), item.c_str());
    return RemoveCachePositionRecord(item);
}
