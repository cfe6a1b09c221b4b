// The manager of one module's cache: its state, and every operation on the
// index, the item records, the module size and pruning.
//
// Every member is public so that a host, a tool or a test can drive any step
// on a manager of its own. The operations below InitCacheManager take no lock
// of their own, except the item operations and CreateSpace: those hold the
// cache lock for their whole run, and everything they call runs under it.
// Each returns true on success and false after logging what failed.
#ifndef CACHEMANAGER_CACHEMANAGERIMPL_H
#define CACHEMANAGER_CACHEMANAGERIMPL_H

#include <boost/shared_ptr.hpp>
#include <stdint.h>
#include <string>
#include <vector>

#include "cachemanager/CacheManager.h"

class CacheLock;

// One index entry as read back.
struct CacheItemInfo {
    CacheItemInfo() : size(0), pruneMethod(PRUNE_TRUNCATE) {}
    ~CacheItemInfo() {}

    std::string path;         // the item's path as the entry names it
    uint64_t size;            // the item file's size when read; 0 when it is gone
    PruneMethod pruneMethod;  // as written in the entry
};

class CM_EXPORT CacheManagerImpl {
public:
    // --- Initialisation and locking -------------------------------------

    // Fills the manager from args: logs them, creates <cacheDir>/CM/<id>/T
    // and the lockfile, fixes the free-space and free-inode reserves from the
    // size provider's totals. True when the manager is ready for use; after a
    // false result every operation fails with an error line.
    bool InitCacheManager(const CacheArgs& args);
    // Whether InitCacheManager has succeeded.
    bool IsInitialised() const;
    // In a child after fork(): a new lock on the same lockfile and model.
    void AtFork();
    // Writes the statistics table to the log at level 1.
    void PrintStats();
    // The counters as a struct; false when the manager is not initialised.
    bool GetStatistics(CacheStatistics& out);
    // Sets the counters to 0, under the cache lock.
    void ResetStatistics();

    // --- Layout -----------------------------------------------------------

    // The entry directory of a time key, five levels below m_timeTableDir.
    void TimeToPath(uint64_t timeKey, std::string& path);
    // Makes dir and up to four missing ancestors (mode 0777). True when dir
    // exists afterwards.
    bool CreateDirRecurse(const std::string& dir);

    // --- Insertion at the young end ---------------------------------------

    // Files a new entry "<size>:<default method>:<item>" under timeKey (0:
    // now) and moves the latest link to it. position is set once chosen,
    // also when a later step fails.
    bool CreateLatest(const std::string& item, std::string& position, uint64_t size,
                      uint64_t timeKey);
    // Chooses the next entry path under timeKey and makes its directory.
    bool GetLatest(std::string& position, uint64_t timeKey);
    // The latest link's text; empty (and true) when there is none.
    bool GetCurrentLatest(std::string& latestTarget);
    // The highest entry number in dir; 0 (and true) when dir is missing.
    bool GetLatestEntry(const std::string& dir, uint32_t& highest);
    bool SetLatest(const std::string& position);

    // --- The old end --------------------------------------------------------

    // Scans dir for its smallest numbered name. False when dir cannot be
    // opened (errno as opendir left it; ENOENT passes without a line), with
    // empty true. empty is true when no numbered name was found.
    bool GetOldest(const std::string& dir, bool& empty, uint32_t& smallest);
    // As above; smallest as decimal text, unchanged when empty.
    bool GetOldest(const std::string& dir, bool& empty, std::string& smallest);
    // The oldest entry (item mode) or entry directory (set mode): the oldest
    // link's text, or the walk along the smallest numbers when there is no
    // link. Empty when the cache is empty.
    bool GetOldestItem(std::string& position);
    bool GetOldestDir(std::string& dir);
    // After previous was removed: points the oldest link at the next entry
    // (entry directory), or removes it when the cache is empty.
    bool SetNextOldest(const std::string& previous);
    bool SetNextOldestDir(const std::string& previous);

    // --- Item records -------------------------------------------------------

    // The entry path in the record beside item; empty when there is none.
    bool GetItemCachePos(const std::string& item, std::string& position);
    // Points the record at position, making the item's directory if missing.
    bool SetItemCachePos(const std::string& item, const std::string& position);
    bool RemoveCachePositionRecord(const std::string& item);

    // --- Entries ------------------------------------------------------------

    // Reads an entry; info.size is the item file's size now (0 when gone).
    // A missing entry fails with errno ENOENT.
    bool GetItemAtPoisition(const std::string& entry, CacheItemInfo& info);
    // Reads and unlinks an entry; with removeEmptyDirs also the index
    // directories this empties.
    bool RemoveItemAtPosition(const std::string& entry, CacheItemInfo& info,
                              bool removeEmptyDirs);
    // Rewrites an entry in place with another prune method.
    bool UpdatePruneMethod(const std::string& entry, PruneMethod method);

    // --- Item operations (each under the cache lock) ------------------------

    bool UpdateItem(const std::string& item, PruneMethod method);
    bool UpdateItem(const std::string& item, uint64_t size, uint64_t timeKey);
    bool UpdateItem(const std::string& item, bool skipCreateSpace, uint64_t size,
                    uint64_t timeKey);
    bool DeleteFromCache(const std::string& item);
    bool HideItem(const std::string& item, uint64_t value);
    bool UnHideItem(const std::string& item, uint64_t size, uint64_t timeKey);
    // Does nothing and returns true; kept for hosts that call it.
    bool FreeSpace(uint64_t size, const std::string& item);

    // --- Module size --------------------------------------------------------

    bool GetModuleSize(uint64_t& size);
    bool SetModuleSize(uint64_t size);
    // Adds delta to the stored total; a decrease below 0 stores 0.
    bool UpdateModuleSize(int64_t delta);

    // --- Reclamation (CreateSpace takes the cache lock) ---------------------

    // Prunes, oldest first, for the age limit, the cap, the byte reserve
    // and the inode reserve, in that order; each stops at the module floor.
    bool CreateSpace(const std::string& item, uint64_t size);
    bool FreeSpace(const std::string& item, uint64_t size);
    bool FreeInodes(const std::string& item);
    // While the module's total plus size exceeds m_maxModuleBytes.
    bool FreeForCap(const std::string& item, uint64_t size);
    // The items filed longer ago than m_maxItemAgeSeconds.
    bool PruneAged();
    // PruneAged under the cache lock; true at once without an age limit.
    bool PruneExpired();
    // One slice of maintenance (CacheManager::PruneSlice).
    bool PruneSlice(const SliceTarget& target, SliceReport& report);

    // --- Pruning steps --------------------------------------------------------

    // Applies method to the item's file, then removes its record.
    bool PruneItem(const std::string& item, PruneMethod method);
    // Takes the oldest entry out of the index and prunes its item.
    bool PruneOneItem(uint64_t& bytesFreed);
    // Takes every entry of dir out of the index and prunes the items.
    bool PruneAllItemsInDir(const std::string& dir, uint64_t& bytesFreed);
    // Prunes the oldest entry directory as a whole.
    bool PruneOneDir(uint64_t& bytesFreed);
    // Notes in the module statistics what the last pruning step did, for a
    // reason (cm::layout::PruneReason), or, with reason -1, a refused
    // request. Written out by the end of the operation that pruned.
    void CountStep(int reason, uint64_t bytes);

    // --- State ----------------------------------------------------------------

    std::string m_moduleRoot;
    std::string m_timeTableDir;
    std::string m_oldestLink;
    std::string m_latestLink;
    std::string m_sizeLink;
    uint32_t m_moduleId = 0;
    PruneMethod m_pruneMethod = PRUNE_TRUNCATE;
    int32_t m_pruneMode = 0;
    uint64_t m_totalSpace = 0;
    uint64_t m_totalInodes = 0;
    uint64_t m_minFreeSpace = 0;
    uint64_t m_minFreeInodes = 0;
    int64_t m_overflowLimit = 0;
    uint64_t m_moduleOverFlow = 0;
    ProcessModel m_processModel = CM_LOCK_PROCESS;
    boost::shared_ptr<CacheLock> m_ptrCacheLock;
    std::string m_lockFile;
    CacheSize* m_cacheSize = nullptr;
    uint64_t m_maxModuleBytes = 0;
    uint64_t m_maxItemAgeSeconds = 0;
    bool m_shareModuleState = false;

    uint64_t m_getMinOrMaxTime = 0;
    uint64_t m_getMinOrMaxCount = 0;
    uint64_t m_insertTime = 0;
    uint64_t m_insertCount = 0;
    uint64_t m_deleteTime = 0;
    uint64_t m_deleteCount = 0;
    uint64_t m_getPosTime = 0;
    uint64_t m_getPosCount = 0;
    uint64_t m_removeAtPosTime = 0;
    uint64_t m_removeAtPosCount = 0;
    uint64_t m_pruneOneItemCount = 0;
    uint64_t m_pruneOneItemTime = 0;
    uint64_t m_pruneItemCount = 0;
    uint64_t m_pruneItemTime = 0;
    uint64_t m_setNextOldestCount = 0;
    uint64_t m_setNextOldestTime = 0;

private:
    // True once InitCacheManager has succeeded; otherwise logs that op was
    // refused (errno EINVAL). The size link is named by the last step of a
    // successful initialisation, so its path tells.
    bool Ready(const char* op) const;
    // Ready, and item is a path an item may have: absolute, and not inside
    // the directory that holds the modules' indexes. Refusals are logged,
    // with errno EINVAL.
    bool Accepts(const char* op, const std::string& item);
    // Notes how hosts may spell the directory that holds the indexes.
    void KnowIndexHome();
    // GetItemCachePos, refusing a record that leads into another module's
    // index and forgetting one that names no index entry at all.
    bool ReadPosition(const char* op, const std::string& item, std::string& position);
    bool ForgetStalePosition(const std::string& item, const std::string& position);

    bool Advance(const std::string& previous, int depth);
    bool FindOldest(std::string& result, int depth);
    // GetOldest, passing over the directories in deadEnds.
    bool SmallestIn(const std::string& dir, const std::vector<std::string>& deadEnds, bool& empty,
                    uint32_t& smallest);
    bool RemoveStaleOldestLink();
    // Removes the oldest link when it leads into dir, which was just removed.
    void DropOldestLinkInto(const std::string& dir);
    // Removes the index directories that removing entry emptied.
    void RemoveEmptiedDirs(const std::string& entry);
    // Whether oldest lies at or beyond m_keyLimit, which a step does not take.
    bool BeyondKeyLimit(const std::string& oldest);
    // Takes an entry that cannot be pruned out of the index, adding the size
    // it recorded to bytesFreed.
    bool DropEntry(const std::string& entry, uint64_t& bytesFreed);

    void ZeroStatistics();
    // The settings record: written when it differs from this manager's.
    // bytesPercent and inodesPercent are the reserves as clamped.
    void PublishSettings(int bytesPercent, int inodesPercent);
    // Adds what the pending figures say to the statistics link, and clears
    // them. Only with m_shareModuleState, and only when there is something.
    void FlushModuleStatistics();
    // Whether the age limit is due to be applied on the host's path: set,
    // and not yet applied within this second.
    bool AgeCheckDue();
    // Whether a request is larger than the file system could hold with its
    // reserve, or than the cap: refused, with a line, before any pruning.
    bool TooLarge(const std::string& item, uint64_t size);

    // Spellings of <cacheDir>/CM, set by initialisation.
    std::vector<std::string> m_indexHomes;
    // Items that the last PruneAllItemsInDir pruned.
    size_t m_dirItemsPruned = 0;
    // The last pruning step: items it pruned, and the time key of the last.
    size_t m_stepItems = 0;
    uint64_t m_stepKey = 0;
    // When not 0, pruning steps take no entry whose time key is not below it.
    uint64_t m_keyLimit = 0;
    // The second from which CreateSpace applies the age limit again.
    uint64_t m_nextAgeCheck = 0;
    // The module total as the last reclamation loop of the current
    // CreateSpace left it, so that the next loop need not read it again.
    bool StartingSize(uint64_t& moduleSize);
    void EndingSize(bool written, uint64_t moduleSize);
    bool m_inCreateSpace = false;
    bool m_sizeKnown = false;
    uint64_t m_knownSize = 0;
    // Module statistics not yet added to the statistics link, one figure per
    // field of the link's text.
    static const size_t kModuleStatisticsFields = 17;
    uint64_t m_pending[kModuleStatisticsFields] = {};
    bool m_pendingAny = false;
};

#endif
