// The single steps of reclamation. An entry leaves the index, and the oldest
// link moves past it, before the item's file is touched: an item whose file
// cannot be pruned has already left the index, and its size counts as freed.
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "cachemanager/CacheManagerImpl.h"
#include "cachemanager/Statistics.h"
#include "cachemanager/SysCall.h"
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

// Whether the entry is the one that its item's record leads to, as it must
// be for pruning it to prune the item. An update interrupted between filing
// an item's new entry and pointing the record at it leaves an orphan entry
// behind, while the item goes on under another entry, or is hidden, or
// deleted: the orphan must not touch the item's file or record. Asked before
// the entry is removed, so that a record that spells the entry's path
// otherwise is still recognised. An entry or record that cannot be read
// leaves the question open: the entry is then pruned as ever, rather than
// stalling reclamation.
bool LeadsToItem(const std::string& entry)
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
    return lstat(position.c_str(), &named) == 0 && lstat(entry.c_str(), &self) == 0 &&
           named.st_dev == self.st_dev && named.st_ino == self.st_ino;
}

void DroppedOrphan(const cm::LogSite& site, const std::string& entry, const std::string& item)
{
    CM_LOG_AT(site, cm::LOG_NOTICE, "Entry [%s] is not the entry of [%s]. Dropped it without pruning the item.",
              entry.c_str(), item.c_str());
}

// Takes every entry of dir out of the index and prunes the items of those
// that their records lead to. orphans counts the others.
bool PruneEntries(CacheManagerImpl& manager, const cm::LogSite& site, const std::string& dir,
                  uint64_t& bytesFreed, size_t& pruned, size_t& orphans)
{
    {
        sys::DirReader reader;
        if (!reader.Open(site, dir, sys::QUIET_IF_MISSING, sys::OPENDIR_PLAIN))
            return false;
        bytesFreed = 0;
        pruned = orphans = 0;
        while (const char* name = reader.Next()) {
            const std::string entry = dir + "/" + name;
            const bool owned = LeadsToItem(entry);
            CacheItemInfo info;
            if (!manager.RemoveItemAtPosition(entry, info, false))
                continue;
            if (!owned) {
                DroppedOrphan(site, entry, info.path);
                ++orphans;
                continue;
            }
            ++pruned;
            bytesFreed += info.size;
            manager.PruneItem(info.path, info.pruneMethod);
        }
    }
    RemoveDirReverse(dir, kEntryDirLevels);
    return true;
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
    std::string oldest;
    // An orphan entry is dropped and the next oldest taken in the same call:
    // a pass that frees nothing would end the reclamation.
    for (int attempt = 0; attempt < kOldestAttempts;) {
        if (!GetOldestItem(oldest))
            return false;
        if (oldest.empty()) {
            bytesFreed = 0;
            CM_PROGRESS("Cache is empty. There is nothing to prune.");
            return false;
        }
        const bool owned = LeadsToItem(oldest);
        CacheItemInfo info;
        if (RemoveItemAtPosition(oldest, info, true)) {
            if (!SetNextOldest(oldest))
                return false;
            if (!owned) {
                DroppedOrphan(CM_HERE, oldest, info.path);
                attempt = 0;
                continue;
            }
            PruneItem(info.path, info.pruneMethod);
            bytesFreed = info.size;
            return true;
        }
        if (errno != ENOENT || !RemoveStaleOldestLink())
            return false;
        ++attempt;
    }
    CM_ERROR("Oldest entry [%s] is missing. [%s]", oldest.c_str(), strerror(ENOENT));
    return false;
}

bool CacheManagerImpl::PruneAllItemsInDir(const std::string& dir, uint64_t& bytesFreed)
{
    size_t pruned = 0, orphans = 0;
    return PruneEntries(*this, CM_HERE, dir, bytesFreed, pruned, orphans);
}

bool CacheManagerImpl::PruneOneDir(uint64_t& bytesFreed)
{
    cm::StatTimer timer(m_pruneOneItemCount, m_pruneOneItemTime);
    std::string oldest;
    // A directory that held nothing but orphan entries frees nothing: the
    // next one is taken in the same call, as PruneOneItem does.
    for (int attempt = 0; attempt < kOldestAttempts;) {
        if (!GetOldestDir(oldest)) {
            CM_ERROR("Failed to get oldest dir");
            return false;
        }
        if (oldest.empty()) {
            bytesFreed = 0;
            CM_NOTICE("Cache is empty. There is nothing to prune.");
            return false;
        }
        size_t pruned = 0, orphans = 0;
        if (PruneEntries(*this, CM_HERE, oldest, bytesFreed, pruned, orphans)) {
            if (!SetNextOldestDir(oldest))
                return false;
            if (pruned == 0 && orphans > 0) {
                attempt = 0;
                continue;
            }
            return true;
        }
        if (errno != ENOENT || !RemoveStaleOldestLink())
            return false;
        ++attempt;
    }
    CM_ERROR("Oldest entry directory [%s] is missing. [%s]", oldest.c_str(), strerror(ENOENT));
    return false;
}
