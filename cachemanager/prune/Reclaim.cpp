// Making room: prune the oldest items until the file system keeps more free
// bytes than the request plus the reserve and more free inodes than the
// reserve, until the module is down to its floor, or until a pass frees
// nothing. Each pass asks the size provider afresh; the module size total is
// read once per loop and written once, with the sum freed.
#include <cerrno>
#include <cstring>

#include "cachemanager/CacheLock.h"
#include "cachemanager/CacheManagerImpl.h"
#include "cachemanager/Statistics.h"

namespace {

enum Resource { BYTES, INODES };

bool Reclaim(CacheManagerImpl& manager, const cm::LogSite& site, Resource resource,
             const std::string& item, uint64_t size)
{
    if (manager.m_cacheSize == nullptr) {
        CM_LOG_AT(site, cm::LOG_ERROR, "No size provider: the cache manager is not initialised. [%s]", item.c_str());
        return false;
    }
    // A request that the whole file system could not hold with its reserve
    // would prune the entire module and fail all the same.
    if (resource == BYTES && manager.m_totalSpace != 0 &&
        (size > manager.m_totalSpace || manager.m_minFreeSpace > manager.m_totalSpace - size)) {
        errno = ENOSPC;
        CM_LOG_AT(site, cm::LOG_ERROR, "cache is too small for this item. [%s]", item.c_str());
        return false;
    }
    const uint64_t needed = resource == BYTES ? size + manager.m_minFreeSpace : manager.m_minFreeInodes;
    uint64_t moduleSize = 0;
    manager.GetModuleSize(moduleSize);
    uint64_t totalFreed = 0;
    bool result = true;
    for (;;) {
        uint64_t available = 0;
        if (resource == BYTES ? !manager.m_cacheSize->GetCacheFreeSpace(available)
                              : !manager.m_cacheSize->GetCacheFreeInodes(available)) {
            if (resource == BYTES)
                CM_LOG_AT(site, cm::LOG_ERROR, "Failed to get free space in cache. [%s]", strerror(errno));
            else
                CM_LOG_AT(site, cm::LOG_ERROR, "Failed to get free inodes in cache. [%s]", strerror(errno));
            result = false;
            break;
        }
        if (available > needed) {
            if (resource == BYTES)
                CM_LOG_AT(site, cm::LOG_PROGRESS, "freeBytes [%lu] > spaceneeded [%lu]. No need to prune anymore.",
                          available, needed);
            else
                CM_LOG_AT(site, cm::LOG_PROGRESS, "freeInodes [%lu] > spaceneeded [%lu]. No need to prune anymore.",
                          available, needed);
            break;
        }
        if (moduleSize < manager.m_moduleOverFlow) {
            CM_LOG_AT(site, cm::LOG_NOTICE, "ModuleSize [%lu] < moduleOverFlow [%lu]. Will not prune anymore.",
                      moduleSize, manager.m_moduleOverFlow);
            break;
        }
        if (resource == BYTES)
            CM_LOG_AT(site, cm::LOG_PROGRESS, "freeBytes [%lu] <= spaceneeded [%lu]. ModuleSize [%lu] Need to prune more.",
                      available, needed, moduleSize);
        else
            CM_LOG_AT(site, cm::LOG_PROGRESS, "freeInodes [%lu] <= spaceneeded [%lu]. Need to prune more.", available,
                      needed);

        uint64_t freed = 0;
        const bool itemMode = manager.m_pruneMode == CM_PRUNE_ITEM;
        const bool stepped = itemMode ? manager.PruneOneItem(freed) : manager.PruneOneDir(freed);
        // What a step freed counts, whatever failed after it in the step.
        totalFreed += freed;
        moduleSize = freed > moduleSize ? 0 : moduleSize - freed;
        if (!stepped) {
            CM_LOG_AT(site, cm::LOG_ERROR, itemMode ? "PruneOneItem() failed. [%s]" : "PruneOneDir() failed. [%s]",
                      item.c_str());
            result = false;
            break;
        }
        if (freed != 0)
            continue;
        // Nothing was freed: only a request within the overflow limit (bytes
        // only; a negative limit admits every size) is still granted.
        result = resource == BYTES && size <= static_cast<uint64_t>(manager.m_overflowLimit);
        if (!result)
            CM_LOG_AT(site, cm::LOG_ERROR, "cache is too small for this item. [%s]", item.c_str());
        break;
    }
    if (totalFreed != 0 && !manager.UpdateModuleSize(-static_cast<int64_t>(totalFreed)))
        result = false;
    return result;
}

}  // namespace

bool CacheManagerImpl::CreateSpace(const std::string& item, uint64_t size)
{
    if (!Ready("CreateSpace"))
        return false;
    TakeCacheLock lock(m_ptrCacheLock);
    return FreeSpace(item, size) && FreeInodes(item);
}

bool CacheManagerImpl::FreeSpace(const std::string& item, uint64_t size)
{
    cm::StatTimer timer(m_deleteCount, m_deleteTime);
    return Reclaim(*this, CM_HERE, BYTES, item, size);
}

bool CacheManagerImpl::FreeInodes(const std::string& item)
{
    cm::StatTimer timer(m_deleteCount, m_deleteTime);
    return Reclaim(*this, CM_HERE, INODES, item, 0);
}
