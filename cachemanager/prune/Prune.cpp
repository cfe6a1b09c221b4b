// The single steps of reclamation. An entry leaves the index, and the oldest
// link moves past it, before the item's file is touched: an item whose file
// cannot be pruned has already left the index, and its size counts as freed.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <vector>

#include "cachemanager/CacheManagerImpl.h"
#include "cachemanager/Statistics.h"
#include "cachemanager/util/SysCall.h"
#include "cachemanager/prune/PathUtils.h"
#include "cachemanager/timetable/Layout.h"

namespace layout = cm::layout;
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

// Whether pruning this entry prunes its item. An update interrupted between
// filing an item's new entry and pointing the record at it leaves an entry
// behind that its item's record does not lead to:
//  - the record names an entry that no longer exists (the update was killed
//    before it re-pointed the record): this entry is the item's only place in
//    the index, and pruning it must prune the item, or the item would never
//    be pruned again and its bytes would stay in the total;
//  - the record leads to another entry that exists: the item lives on there;
//  - there is no record: the item was hidden or deleted since.
// In the last two cases the entry is dropped without touching the item.
// Asked before the entry is removed, so that a record that spells the
// entry's path otherwise is still recognised. An entry or record that cannot
// be read leaves the question open: the entry is pruned as ever.
bool PrunesItsItem(const std::string& entry)
{
    std::string text, position, bad;
    layout::EntryFields fields;
    if (!sys::ReadLink(CM_HERE, entry, layout::kMaxLongLink, text, sys::QUIET) ||
        !layout::ParseEntryTarget(text, fields, bad))
        return true;
    if (!sys::ReadLink(CM_HERE, layout::RecordPath(fields.item), layout::kMaxLongLink, position, sys::QUIET))
        return errno != ENOENT && errno != ENOTDIR;
    if (position == entry)
        return true;
    struct stat named, self;
    if (lstat(position.c_str(), &named) != 0)
        return errno == ENOENT || errno == ENOTDIR;
    return lstat(entry.c_str(), &self) == 0 && named.st_dev == self.st_dev && named.st_ino == self.st_ino;
}

void DroppedOrphan(const cm::LogSite& site, const std::string& entry, const std::string& item)
{
    CM_LOG_AT(site, cm::LOG_NOTICE, "Entry [%s] is not the entry of [%s]. Dropped it without pruning the item.",
              entry.c_str(), item.c_str());
}

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
    bytesFreed = 0;
    m_stepItems = 0;
    std::string oldest;
    // An entry dropped without pruning an item (an orphan, or one that
    // cannot be pruned) frees nothing; the next oldest is taken in the same
    // call, since a pass that frees nothing would end the reclamation.
    for (int attempt = 0; attempt < kOldestAttempts;) {
        if (!GetOldestItem(oldest))
            return false;
        if (oldest.empty()) {
            CM_PROGRESS("Cache is empty. There is nothing to prune.");
            return false;
        }
        if (BeyondKeyLimit(oldest))
            return true;
        const bool prunesItem = PrunesItsItem(oldest);
        CacheItemInfo info;
        // The directories this empties are left to the advance: its probe
        // finds the next entry beside this one (the directory is not empty),
        // or its walk removes the empty directories it meets. An rmdir() of
        // a directory that still holds entries is not free: on a tmpfs the
        // check for emptiness walks the directory's cached names, the
        // removed ones included, which a large entry directory has many of.
        if (RemoveItemAtPosition(oldest, info, false)) {
            // The entry has left the index: whatever happens to the oldest
            // link, the item is pruned and its bytes count as freed, or it
            // would stay outside the index for good with its bytes counted.
            const bool advanced = SetNextOldest(oldest);
            if (!advanced)
                RemoveStaleOldestLink();
            if (prunesItem) {
                PruneItem(info.path, info.pruneMethod);
                bytesFreed += info.size;
                m_stepItems = 1;
                layout::KeyOfIndexPath(m_timeTableDir, oldest, m_stepKey);
                return advanced;
            }
            if (!advanced)
                return false;
            DroppedOrphan(CM_HERE, oldest, info.path);
        } else if (errno == ENOENT) {
            if (!RemoveStaleOldestLink())
                return false;
            ++attempt;
            continue;
        } else if (!DropEntry(oldest, bytesFreed) || !SetNextOldest(oldest)) {
            RemoveStaleOldestLink();
            return false;
        }
        attempt = 0;
    }
    CM_ERROR("Oldest entry [%s] is missing. [%s]", oldest.c_str(), strerror(ENOENT));
    return false;
}

bool CacheManagerImpl::PruneAllItemsInDir(const std::string& dir, uint64_t& bytesFreed)
{
    m_dirItemsPruned = 0;
    {
        sys::DirReader reader;
        if (!reader.Open(CM_HERE, dir, sys::QUIET_IF_MISSING, sys::OPENDIR_PLAIN))
            return false;
        bytesFreed = 0;
        bool skipped = false;
        while (const char* name = reader.NextNumbered(CM_HERE, skipped)) {
            const std::string entry = dir + "/" + name;
            const bool prunesItem = PrunesItsItem(entry);
            CacheItemInfo info;
            if (!RemoveItemAtPosition(entry, info, false)) {
                // Gone meanwhile, or it cannot be pruned: then it leaves the
                // index, lest it keep the directory for ever.
                if (errno != ENOENT)
                    DropEntry(entry, bytesFreed);
                continue;
            }
            if (!prunesItem) {
                DroppedOrphan(CM_HERE, entry, info.path);
                continue;
            }
            ++m_dirItemsPruned;
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
    bytesFreed = 0;
    m_stepItems = 0;
    std::string oldest;
    // A directory in which no item was pruned (it held only orphans, entries
    // that cannot be pruned, or names that are not the index's) frees
    // nothing: the next one is taken in the same call, as PruneOneItem does.
    // One that is left in place is not taken twice.
    std::vector<std::string> taken;
    for (int attempt = 0; attempt < kOldestAttempts;) {
        if (!GetOldestDir(oldest)) {
            CM_ERROR("Failed to get oldest dir");
            return false;
        }
        if (oldest.empty() || std::find(taken.begin(), taken.end(), oldest) != taken.end()) {
            CM_NOTICE("Cache is empty. There is nothing to prune.");
            return false;
        }
        if (BeyondKeyLimit(oldest))
            return true;
        uint64_t freed = 0;
        if (PruneAllItemsInDir(oldest, freed)) {
            // Bytes freed count whatever happens to the oldest link after.
            bytesFreed += freed;
            m_stepItems = m_dirItemsPruned;
            layout::KeyOfIndexPath(m_timeTableDir, oldest, m_stepKey);
            if (!SetNextOldestDir(oldest)) {
                RemoveStaleOldestLink();
                return false;
            }
            if (m_dirItemsPruned > 0)
                return true;
            taken.push_back(oldest);
            attempt = 0;
            continue;
        }
        if (errno != ENOENT || !RemoveStaleOldestLink())
            return false;
        ++attempt;
    }
    CM_ERROR("Oldest entry directory [%s] is missing. [%s]", oldest.c_str(), strerror(ENOENT));
    return false;
}

bool CacheManagerImpl::BeyondKeyLimit(const std::string& oldest)
{
    uint64_t key = 0;
    return m_keyLimit != 0 && layout::KeyOfIndexPath(m_timeTableDir, oldest, key) && key >= m_keyLimit;
}

bool CacheManagerImpl::DropEntry(const std::string& entry, uint64_t& bytesFreed)
{
    // What the entry recorded, if it can be read, leaves the total with it.
    const int error = errno;
    std::string text, bad;
    layout::EntryFields fields;
    const bool recorded = sys::ReadLink(CM_HERE, entry, layout::kMaxLongLink, text, sys::QUIET) &&
                          layout::ParseEntryTarget(text, fields, bad) && fields.size > 0;
    if (!sys::Unlink(CM_HERE, entry, sys::QUIET_IF_MISSING) && errno != ENOENT)
        return false;
    if (recorded)
        bytesFreed += static_cast<uint64_t>(fields.size);
    CM_ERROR("Entry [%s] cannot be pruned. Dropped it from the index. [%s]", entry.c_str(), strerror(error));
    RemoveEmptiedDirs(entry);
    return true;
}
