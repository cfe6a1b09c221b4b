// Making room: prune the oldest items until the file system keeps more free
// bytes than the request plus the reserve and more free inodes than the
// reserve, and, where the host set them, until the module keeps within its
// cap and holds nothing older than its age limit; each down to the module
// floor, or until a pass frees nothing. Each pass asks afresh what is
// available; the module size total is read once per loop and written once,
// with the sum freed.
#include <cerrno>
#include <cstring>
#include <ctime>

#include "cachemanager/CacheLock.h"
#include "cachemanager/CacheManagerImpl.h"
#include "cachemanager/Statistics.h"
#include "cachemanager/timetable/Layout.h"

namespace layout = cm::layout;

namespace {

// One resource that reclamation makes room in: how much of it is available,
// when that is enough, and what the log says at each decision.
struct Resource {
    layout::PruneReason reason;
    // What is available now; false after logging why it is not known.
    bool (*measure)(CacheManagerImpl& manager, const cm::LogSite& site, uint64_t moduleSize, uint64_t& available);
    bool (*suffices)(uint64_t available, uint64_t needed);
    void (*enough)(const cm::LogSite& site, uint64_t available, uint64_t needed);
    void (*shortOf)(const cm::LogSite& site, uint64_t available, uint64_t needed, uint64_t moduleSize);
    // Whether a pass that frees nothing still grants a request within the
    // overflow limit.
    bool overflowGrants;
};

bool MoreThan(uint64_t available, uint64_t needed) { return available > needed; }
bool AtLeast(uint64_t available, uint64_t needed) { return available >= needed; }

const Resource kFreeBytes = {
    layout::PRUNED_FOR_RESERVE,
    [](CacheManagerImpl& manager, const cm::LogSite& site, uint64_t, uint64_t& available) {
        if (manager.m_cacheSize->GetCacheFreeSpace(available))
            return true;
        CM_LOG_AT(site, cm::LOG_ERROR, "Failed to get free space in cache. [%s]", strerror(errno));
        return false;
    },
    MoreThan,
    [](const cm::LogSite& site, uint64_t available, uint64_t needed) {
        CM_LOG_AT(site, cm::LOG_PROGRESS, "freeBytes [%lu] > spaceneeded [%lu]. No need to prune anymore.",
                  static_cast<unsigned long>(available), static_cast<unsigned long>(needed));
    },
    [](const cm::LogSite& site, uint64_t available, uint64_t needed, uint64_t moduleSize) {
        CM_LOG_AT(site, cm::LOG_PROGRESS, "freeBytes [%lu] <= spaceneeded [%lu]. ModuleSize [%lu] Need to prune more.",
                  static_cast<unsigned long>(available), static_cast<unsigned long>(needed),
                  static_cast<unsigned long>(moduleSize));
    },
    true,
};

const Resource kFreeInodes = {
    layout::PRUNED_FOR_INODES,
    [](CacheManagerImpl& manager, const cm::LogSite& site, uint64_t, uint64_t& available) {
        if (manager.m_cacheSize->GetCacheFreeInodes(available))
            return true;
        CM_LOG_AT(site, cm::LOG_ERROR, "Failed to get free inodes in cache. [%s]", strerror(errno));
        return false;
    },
    MoreThan,
    [](const cm::LogSite& site, uint64_t available, uint64_t needed) {
        CM_LOG_AT(site, cm::LOG_PROGRESS, "freeInodes [%lu] > spaceneeded [%lu]. No need to prune anymore.",
                  static_cast<unsigned long>(available), static_cast<unsigned long>(needed));
    },
    [](const cm::LogSite& site, uint64_t available, uint64_t needed, uint64_t) {
        CM_LOG_AT(site, cm::LOG_PROGRESS, "freeInodes [%lu] <= spaceneeded [%lu]. Need to prune more.",
                  static_cast<unsigned long>(available), static_cast<unsigned long>(needed));
    },
    false,
};

// Room under the cap: the cap less the module's total.
const Resource kCapRoom = {
    layout::PRUNED_FOR_CAP,
    [](CacheManagerImpl& manager, const cm::LogSite&, uint64_t moduleSize, uint64_t& available) {
        available = moduleSize < manager.m_maxModuleBytes ? manager.m_maxModuleBytes - moduleSize : 0;
        return true;
    },
    AtLeast,
    [](const cm::LogSite& site, uint64_t available, uint64_t needed) {
        CM_LOG_AT(site, cm::LOG_PROGRESS, "capRoom [%lu] >= size [%lu]. No need to prune anymore.",
                  static_cast<unsigned long>(available), static_cast<unsigned long>(needed));
    },
    [](const cm::LogSite& site, uint64_t available, uint64_t needed, uint64_t moduleSize) {
        CM_LOG_AT(site, cm::LOG_PROGRESS, "capRoom [%lu] < size [%lu]. ModuleSize [%lu] Need to prune more.",
                  static_cast<unsigned long>(available), static_cast<unsigned long>(needed),
                  static_cast<unsigned long>(moduleSize));
    },
    true,
};

// One pruning step in the manager's prune mode; a failure is logged in the
// name of the loop.
bool PruneStep(CacheManagerImpl& manager, const cm::LogSite& site, const std::string& item, uint64_t& freed)
{
    const bool itemMode = manager.m_pruneMode == CM_PRUNE_ITEM;
    if (itemMode ? manager.PruneOneItem(freed) : manager.PruneOneDir(freed))
        return true;
    CM_LOG_AT(site, cm::LOG_ERROR, itemMode ? "PruneOneItem() failed. [%s]" : "PruneOneDir() failed. [%s]",
              item.c_str());
    return false;
}

bool AtFloor(CacheManagerImpl& manager, const cm::LogSite& site, uint64_t moduleSize)
{
    if (moduleSize >= manager.m_moduleOverFlow)
        return false;
    CM_LOG_AT(site, cm::LOG_NOTICE, "ModuleSize [%lu] < moduleOverFlow [%lu]. Will not prune anymore.",
              static_cast<unsigned long>(moduleSize), static_cast<unsigned long>(manager.m_moduleOverFlow));
    return true;
}

// The steps' bytes leave the running size, which never goes below 0, and
// the total freed.
void Account(uint64_t freed, uint64_t& moduleSize, uint64_t& totalFreed)
{
    totalFreed += freed;
    moduleSize = freed > moduleSize ? 0 : moduleSize - freed;
}

// moduleSize is the total at the start; on return, the total as written.
bool Reclaim(CacheManagerImpl& manager, const cm::LogSite& site, const Resource& resource, const std::string& item,
             uint64_t size, uint64_t needed, uint64_t& moduleSize)
{
    uint64_t totalFreed = 0;
    bool result = true;
    for (;;) {
        uint64_t available = 0;
        if (!resource.measure(manager, site, moduleSize, available)) {
            result = false;
            break;
        }
        if (resource.suffices(available, needed)) {
            resource.enough(site, available, needed);
            break;
        }
        if (AtFloor(manager, site, moduleSize))
            break;
        resource.shortOf(site, available, needed, moduleSize);

        uint64_t freed = 0;
        const bool stepped = PruneStep(manager, site, item, freed);
        // What a step freed counts, whatever failed after it in the step.
        Account(freed, moduleSize, totalFreed);
        manager.CountStep(resource.reason, freed);
        if (!stepped) {
            result = false;
            break;
        }
        if (freed != 0)
            continue;
        // Nothing was freed: only a request within the overflow limit (a
        // negative limit admits every size) is still granted.
        result = resource.overflowGrants && size <= static_cast<uint64_t>(manager.m_overflowLimit);
        if (!result)
            CM_LOG_AT(site, cm::LOG_ERROR, "cache is too small for this item. [%s]", item.c_str());
        break;
    }
    if (totalFreed != 0 && !manager.UpdateModuleSize(-static_cast<int64_t>(totalFreed)))
        result = false;
    return result;
}

}  // namespace

bool CacheManagerImpl::StartingSize(uint64_t& moduleSize)
{
    // Within one CreateSpace the loops run one after the other under the
    // lock: each starts from the total the one before it left.
    if (m_sizeKnown) {
        moduleSize = m_knownSize;
        return true;
    }
    moduleSize = 0;
    GetModuleSize(moduleSize);
    return true;
}

void CacheManagerImpl::EndingSize(bool written, uint64_t moduleSize)
{
    m_sizeKnown = m_inCreateSpace && written;
    m_knownSize = moduleSize;
}

bool CacheManagerImpl::CreateSpace(const std::string& item, uint64_t size)
{
    if (!Ready("CreateSpace"))
        return false;
    TakeCacheLock lock(m_ptrCacheLock);
    m_inCreateSpace = true;
    const bool result = !TooLarge(item, size) && (!AgeCheckDue() || PruneAged()) && FreeForCap(item, size) &&
                        FreeSpace(item, size) && FreeInodes(item);
    m_inCreateSpace = m_sizeKnown = false;
    FlushModuleStatistics();
    return result;
}

bool CacheManagerImpl::TooLarge(const std::string& item, uint64_t size)
{
    // A request that the whole file system could not hold with its reserve,
    // or that alone exceeds the cap, would prune the entire module and fail
    // all the same.
    const bool overFileSystem =
        m_totalSpace != 0 && (size > m_totalSpace || m_minFreeSpace > m_totalSpace - size);
    const bool overCap = m_maxModuleBytes != 0 && size > m_maxModuleBytes;
    if (!overFileSystem && !overCap)
        return false;
    errno = ENOSPC;
    if (overFileSystem)
        CM_ERROR("cache is too small for this item. [%s]", item.c_str());
    else
        CM_ERROR("cache is too small for this item: [%lu] bytes exceed the module's cap [%lu]. [%s]",
                 static_cast<unsigned long>(size), static_cast<unsigned long>(m_maxModuleBytes), item.c_str());
    m_stepItems = 0;
    CountStep(-1, 0);
    return true;
}

bool CacheManagerImpl::FreeSpace(const std::string& item, uint64_t size)
{
    cm::StatTimer timer(m_deleteCount, m_deleteTime);
    if (m_cacheSize == nullptr) {
        CM_ERROR("No size provider: the cache manager is not initialised. [%s]", item.c_str());
        return false;
    }
    if (TooLarge(item, size))
        return false;
    uint64_t moduleSize = 0;
    StartingSize(moduleSize);
    const bool result = Reclaim(*this, CM_HERE, kFreeBytes, item, size, size + m_minFreeSpace, moduleSize);
    EndingSize(result, moduleSize);
    return result;
}

bool CacheManagerImpl::FreeInodes(const std::string& item)
{
    cm::StatTimer timer(m_deleteCount, m_deleteTime);
    if (m_cacheSize == nullptr) {
        CM_ERROR("No size provider: the cache manager is not initialised. [%s]", item.c_str());
        return false;
    }
    uint64_t moduleSize = 0;
    StartingSize(moduleSize);
    const bool result = Reclaim(*this, CM_HERE, kFreeInodes, item, 0, m_minFreeInodes, moduleSize);
    EndingSize(result, moduleSize);
    return result;
}

bool CacheManagerImpl::FreeForCap(const std::string& item, uint64_t size)
{
    if (m_maxModuleBytes == 0)
        return true;
    cm::StatTimer timer(m_deleteCount, m_deleteTime);
    uint64_t moduleSize = 0;
    StartingSize(moduleSize);
    const bool result = Reclaim(*this, CM_HERE, kCapRoom, item, size, size, moduleSize);
    EndingSize(result, moduleSize);
    return result;
}

bool CacheManagerImpl::PruneAged()
{
    const uint64_t now = static_cast<uint64_t>(time(nullptr));
    if (m_maxItemAgeSeconds == 0 || now <= m_maxItemAgeSeconds)
        return true;
    cm::StatTimer timer(m_deleteCount, m_deleteTime);
    // Entries whose key is below this were filed longer ago than the limit.
    const uint64_t limit = (now - m_maxItemAgeSeconds) << 8;
    uint64_t moduleSize = 0;
    StartingSize(moduleSize);
    uint64_t totalFreed = 0;
    bool result = true;
    for (;;) {
        std::string oldest;
        uint64_t key = 0;
        if (!(m_pruneMode == CM_PRUNE_ITEM ? GetOldestItem(oldest) : GetOldestDir(oldest))) {
            result = false;
            break;
        }
        if (oldest.empty() || !layout::KeyOfIndexPath(m_timeTableDir, oldest, key) || key >= limit ||
            AtFloor(*this, CM_HERE, moduleSize))
            break;
        CM_PROGRESS("Oldest [%s] was filed more than [%lu] seconds ago. ModuleSize [%lu] Need to prune more.",
                    oldest.c_str(), static_cast<unsigned long>(m_maxItemAgeSeconds),
                    static_cast<unsigned long>(moduleSize));
        // The step may pass over entries that it cannot prune; it must not go
        // on to one within the limit.
        m_keyLimit = limit;
        uint64_t freed = 0;
        const bool stepped = PruneStep(*this, CM_HERE, m_moduleRoot, freed);
        m_keyLimit = 0;
        Account(freed, moduleSize, totalFreed);
        CountStep(layout::PRUNED_FOR_AGE, freed);
        if (!stepped) {
            result = false;
            break;
        }
    }
    if (totalFreed != 0 && !UpdateModuleSize(-static_cast<int64_t>(totalFreed)))
        result = false;
    EndingSize(result, moduleSize);
    return result;
}

bool CacheManagerImpl::AgeCheckDue()
{
    // Finding the oldest entry costs a readlink, or a walk of the index when
    // the oldest link is stale, as it is whenever the oldest item was
    // updated: reclamation on the host's path looks at most once a second,
    // which is finer than any age limit needs.
    if (m_maxItemAgeSeconds == 0)
        return false;
    const uint64_t now = static_cast<uint64_t>(time(nullptr));
    if (now < m_nextAgeCheck)
        return false;
    m_nextAgeCheck = now + 1;
    return true;
}

bool CacheManagerImpl::PruneExpired()
{
    if (!Ready("PruneExpired"))
        return false;
    TakeCacheLock lock(m_ptrCacheLock);
    const bool result = PruneAged();
    FlushModuleStatistics();
    return result;
}

namespace {

// Which target of a slice is not met, or -1 when all are; the age limit is
// met when the oldest entry's key is not below ageLimit (0: no limit).
// false after a line when a figure cannot be had.
bool UnmetTarget(CacheManagerImpl& manager, const SliceTarget& target, uint64_t moduleSize, uint64_t ageLimit,
                 int& reason)
{
    reason = -1;
    if (ageLimit != 0) {
        std::string oldest;
        uint64_t key = 0;
        if (!(manager.m_pruneMode == CM_PRUNE_ITEM ? manager.GetOldestItem(oldest) : manager.GetOldestDir(oldest)))
            return false;
        if (!oldest.empty() && layout::KeyOfIndexPath(manager.m_timeTableDir, oldest, key) && key < ageLimit) {
            reason = layout::PRUNED_FOR_AGE;
            return true;
        }
    }
    if (manager.m_maxModuleBytes != 0 && moduleSize + target.capMargin > manager.m_maxModuleBytes) {
        reason = layout::PRUNED_FOR_CAP;
        return true;
    }
    uint64_t available = 0;
    if (!kFreeBytes.measure(manager, CM_HERE, moduleSize, available))
        return false;
    if (available <= manager.m_minFreeSpace + target.bytesMargin) {
        reason = layout::PRUNED_FOR_RESERVE;
        return true;
    }
    if (!kFreeInodes.measure(manager, CM_HERE, moduleSize, available))
        return false;
    if (available <= manager.m_minFreeInodes + target.inodesMargin)
        reason = layout::PRUNED_FOR_INODES;
    return true;
}

}  // namespace

bool CacheManagerImpl::PruneSlice(const SliceTarget& target, SliceReport& report)
{
    report = SliceReport();
    if (!Ready("PruneSlice"))
        return false;
    const uint64_t start = gettime();
    TakeCacheLock lock(m_ptrCacheLock);
    const uint64_t locked = gettime();
    cm::StatTimer timer(m_deleteCount, m_deleteTime);
    const uint64_t now = static_cast<uint64_t>(time(nullptr));
    const uint64_t ageLimit =
        m_maxItemAgeSeconds != 0 && now > m_maxItemAgeSeconds ? (now - m_maxItemAgeSeconds) << 8 : 0;
    uint64_t moduleSize = 0;
    GetModuleSize(moduleSize);
    uint64_t totalFreed = 0;
    bool result = true;
    for (;;) {
        int reason = -1;
        if (!UnmetTarget(*this, target, moduleSize, ageLimit, reason)) {
            result = false;
            break;
        }
        if (reason < 0)
            break;
        if (moduleSize < m_moduleOverFlow) {
            report.atFloor = true;
            break;
        }
        // Every slice that may prune prunes at least one step, however short
        // its time.
        if (report.itemsPruned >= target.maxItems ||
            (report.itemsPruned > 0 && gettime() - start >= target.maxMicroseconds)) {
            report.moreNeeded = true;
            break;
        }
        std::string oldest;
        if (!(m_pruneMode == CM_PRUNE_ITEM ? GetOldestItem(oldest) : GetOldestDir(oldest)) || oldest.empty())
            break;  // nothing left to prune: no slice can do more
        m_keyLimit = reason == layout::PRUNED_FOR_AGE ? ageLimit : 0;
        uint64_t freed = 0;
        const bool stepped = PruneStep(*this, CM_HERE, m_moduleRoot, freed);
        m_keyLimit = 0;
        Account(freed, moduleSize, totalFreed);
        report.itemsPruned += m_stepItems;
        CountStep(layout::PRUNED_BY_MAINTAINER, freed);
        if (!stepped) {
            result = false;
            break;
        }
        if (freed == 0 && m_stepItems == 0)
            break;  // the step found nothing it may take
    }
    report.bytesPruned = totalFreed;
    if (totalFreed != 0 && !UpdateModuleSize(-static_cast<int64_t>(totalFreed)))
        result = false;
    FlushModuleStatistics();
    report.lockMicroseconds = gettime() - locked;
    return result;
}
