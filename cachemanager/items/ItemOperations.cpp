// What the host calls when it adds, resizes, re-prunes, deletes, hides or
// gives back an item. Each operation holds the cache lock for its whole run,
// so other threads and processes see it as one change.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "cachemanager/CacheLock.h"
#include "cachemanager/CacheManagerImpl.h"
#include "cachemanager/util/Log.h"
#include "cachemanager/util/PathName.h"
#include "cachemanager/timetable/Layout.h"

namespace layout = cm::layout;

namespace {

// Whether the failed read of an entry means that the entry is gone: the item's
// record is stale, and the item is treated as not in the cache.
bool EntryGone() { return errno == ENOENT || errno == ENOTDIR; }

// Whether a record's text has the shape of an entry path: it ends in "T" and
// six numbered names.
bool LooksLikeEntry(const std::string& position)
{
    size_t end = position.size();
    for (int level = 0; level < layout::kEntryDepth; ++level) {
        const size_t slash = position.rfind('/', end == 0 ? 0 : end - 1);
        if (slash == std::string::npos || !layout::IsNumberName(position.substr(slash + 1, end - slash - 1).c_str()))
            return false;
        end = slash;
    }
    const size_t slash = position.rfind('/', end == 0 ? 0 : end - 1);
    const size_t start = slash == std::string::npos ? 0 : slash + 1;
    return position.compare(start, end - start, layout::kTimeTableName) == 0;
}

}  // namespace

void CacheManagerImpl::KnowIndexHome()
{
    // The directory that holds every module's index, as hosts may spell it:
    // plainly, and with its links resolved.
    std::string home = DirName(m_moduleRoot);
    if (home.empty() || home[0] != '/') {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd) == nullptr)
            return;
        home = std::string(cwd) + "/" + home;
    }
    m_indexHomes.assign(1, PlainPath(home));
    char resolved[PATH_MAX];
    if (realpath(home.c_str(), resolved) != nullptr && m_indexHomes.front() != resolved)
        m_indexHomes.push_back(resolved);
}

bool CacheManagerImpl::Accepts(const char* op, const std::string& item)
{
    if (!Ready(op))
        return false;
    // A relative path would make the index depend on the working directory
    // of whichever process reads it.
    if (item.empty() || item[0] != '/') {
        errno = EINVAL;
        CM_ERROR("%s refused: the item path [%s] is not absolute. [%s]", op, item.c_str(), strerror(EINVAL));
        return false;
    }
    // The index, its links and the lockfile are not items: pruning one would
    // damage the cache itself.
    const std::string plain = PlainPath(item);
    for (const std::string& home : m_indexHomes) {
        if (IsWithin(plain, home)) {
            errno = EINVAL;
            CM_ERROR("%s refused: the item path [%s] lies in the cache's index [%s]. [%s]", op, item.c_str(),
                     home.c_str(), strerror(EINVAL));
            return false;
        }
    }
    return true;
}

bool CacheManagerImpl::ReadPosition(const char* op, const std::string& item, std::string& position)
{
    if (!GetItemCachePos(item, position))
        return false;
    if (position.empty())
        return true;
    if (!LooksLikeEntry(position)) {
        // Nothing any module made: the item has no place in an index.
        CM_NOTICE("Record of [%s] names [%s], which is no index entry. Taking the item as not in the cache.",
                  item.c_str(), position.c_str());
        position.clear();
        return RemoveCachePositionRecord(item);
    }
    // An item of another module sharing the cache head: working on its entry
    // here would damage that module's index and total.
    const std::string plain = position[0] == '/' ? PlainPath(position) : position;
    const std::string own = "/" + std::to_string(m_moduleId);
    for (const std::string& home : m_indexHomes) {
        if (IsWithin(plain, home) && !IsWithin(plain, home + own)) {
            errno = EINVAL;
            CM_ERROR("%s refused: the record of [%s] leads into another module's index [%s]. [%s]", op,
                     item.c_str(), position.c_str(), strerror(EINVAL));
            return false;
        }
    }
    return true;
}

bool CacheManagerImpl::UpdateItem(const std::string& item, bool skipCreateSpace, uint64_t size,
                                  uint64_t timeKey)
{
    if (!Accepts("UpdateItem", item))
        return false;
    TakeCacheLock lock(m_ptrCacheLock);
    std::string position;
    if (!ReadPosition("UpdateItem", item, position))
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
    if (!Accepts("UpdateItem", item))
        return false;
    TakeCacheLock lock(m_ptrCacheLock);
    std::string position;
    if (!ReadPosition("UpdateItem", item, position))
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
    if (!Accepts("DeleteFromCache", item))
        return false;
    TakeCacheLock lock(m_ptrCacheLock);
    std::string position;
    if (!ReadPosition("DeleteFromCache", item, position))
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
    if (!position.empty()) {
        m_stepItems = 1;
        layout::KeyOfIndexPath(m_timeTableDir, position, m_stepKey);
        CountStep(layout::PRUNED_BY_DELETE, info.size);
        FlushModuleStatistics();
    }
    return UpdateModuleSize(-static_cast<int64_t>(info.size));
}

bool CacheManagerImpl::HideItem(const std::string& item, uint64_t /*value*/)
{
    if (!Accepts("HideItem", item))
        return false;
    TakeCacheLock lock(m_ptrCacheLock);
    std::string position;
    if (!ReadPosition("HideItem", item, position))
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
