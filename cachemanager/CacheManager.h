// The cache manager as a host sees it: the facade, its initialisation record
// and the size provider.
//
// A host fills a CacheArgs, calls CacheManager::InitCacheManager once, and
// then tells the manager, from any of its threads, whenever it adds, resizes,
// re-prunes, deletes, hides or un-hides an item. Every operation returns true
// on success and false after writing what failed to the host's log writer
// (host/LogWriter.h); nothing throws. The text and errno of the last such
// failure on the calling thread are kept for the host (GetLastCacheError).
//
// Which threads and processes may share one manager depends on its lock
// model: see ProcessModel. Install the log writer before initialisation.
#ifndef CACHEMANAGER_CACHEMANAGER_H
#define CACHEMANAGER_CACHEMANAGER_H

#include <stdint.h>
#include <string>

#include "cachemanager/util/Export.h"

// How an item is pruned. Stored in every index entry.
enum PruneMethod : int32_t {
    PRUNE_TRUNCATE = 0,        // the item's file is truncated to length 0
    PRUNE_UNLINK = 1,          // the item's file is unlinked
    PRUNE_UNLINK_RECURSE = 2,  // unlinked, then its emptied directories go too
};

// Which lock serialises access to a module's index, and so which callers
// may share one manager:
// - CM_LOCK_PROCESS: processes exclude each other, but a lockf() lock belongs
//   to the process, so threads of one process do not: call the manager from
//   one thread only. A second thread entering while another holds the cache
//   is written to the log as an error, once per manager; the fix is
//   CM_LOCK_PROCESS_THREAD.
// - CM_LOCK_THREAD: threads of one process exclude each other; for a module
//   that no other process uses.
// - CM_LOCK_PROCESS_THREAD: both; any thread of any process.
// Any other value is taken as CM_LOCK_PROCESS_THREAD, with an error line at
// initialisation.
enum ProcessModel : int32_t {
    CM_LOCK_PROCESS = 0,         // a lockf() lock on the module's lockfile
    CM_LOCK_THREAD = 1,          // a critical section: threads of one process
    CM_LOCK_PROCESS_THREAD = 2,  // the critical section, then the file lock
};

// Prune modes (CacheArgs::pruneMode).
enum {
    CM_PRUNE_ITEM = 0,  // prune the oldest item, one at a time
    CM_PRUNE_SET = 1,   // prune the oldest index directory as a whole
};

// The manager's view of the cache file system's capacity. Each query returns
// true and stores its figure, or returns false and leaves the argument as it
// was. A host may pass its own provider in CacheArgs; it stays the host's.
class CM_EXPORT CacheSize {
public:
    virtual bool GetCacheFreeSpace(uint64_t& bytes) = 0;
    virtual bool GetCacheTotalSpace(uint64_t& bytes) = 0;
    virtual bool GetCacheTotalInodes(uint64_t& inodes) = 0;
    virtual bool GetCacheFreeInodes(uint64_t& inodes) = 0;
    virtual ~CacheSize();
};

// The library's own provider: asks the file system that holds path afresh on
// every query. Space figures come from CLumDirectory::GetSpaceUsage (free
// bytes are those an unprivileged process may use), inode figures from
// statvfs64 (f_files, f_ffree).
class CM_EXPORT DefaultCacheSize : public CacheSize {
public:
    explicit DefaultCacheSize(const std::string& path);
    bool GetCacheFreeSpace(uint64_t& bytes) override;
    bool GetCacheTotalSpace(uint64_t& bytes) override;
    bool GetCacheTotalInodes(uint64_t& inodes) override;
    bool GetCacheFreeInodes(uint64_t& inodes) override;
    ~DefaultCacheSize() override;

    std::string m_path;

private:
    bool GetSpace(uint64_t& bytes, bool total);
    bool GetInodes(uint64_t& inodes, bool total);
};

// Configures one manager. Every field defaults to zero.
struct CacheArgs {
    std::string cacheDir;          // cache head: the index lives in <cacheDir>/CM/<moduleId>
    int32_t moduleId = 0;          // number of the module this manager serves
    int bytesMinFree = 0;          // percent of the file system's bytes to keep free
    int inodesMinFree = 0;         // percent of the file system's inodes to keep free
    PruneMethod pruneMethod = PRUNE_TRUNCATE;  // prune method of new entries
    CacheSize* cacheSize = nullptr;  // the host's size provider, or null for the default
    int overflowLimit = 0;         // a request up to this size is granted when nothing more can be pruned
    uint64_t moduleOverFlow = 0;   // module size below which nothing more is pruned
    int pruneMode = 0;             // CM_PRUNE_ITEM or CM_PRUNE_SET
    ProcessModel processModel = CM_LOCK_PROCESS;  // see ProcessModel: which callers may share the manager

    // Policies beyond the free-space reserve, each off at its default. Both
    // are applied by CreateSpace, oldest item first, down to the module
    // floor (moduleOverFlow) like the reserve.
    uint64_t maxModuleBytes = 0;     // a cap on the module's total: 0 for none
    uint64_t maxItemAgeSeconds = 0;  // prune items filed longer ago than this: 0 for never
    // Publish the module's settings, and what pruning did, as links in the
    // module root ("settings", "stats"), for every process of the module and
    // for cmtool. Off: nothing but the index is written.
    bool shareModuleState = false;
};

// What one slice of maintenance aims at, and what it may spend
// (CacheManager::PruneSlice).
struct SliceTarget {
    uint64_t bytesMargin = 0;   // free bytes to keep above the byte reserve
    uint64_t inodesMargin = 0;  // free inodes to keep above the inode reserve
    uint64_t capMargin = 0;     // room to keep under the cap (maxModuleBytes)
    uint32_t maxItems = 16;     // items to prune at most (a set-mode step may take a few more)
    uint32_t maxMicroseconds = 1000;  // time to spend pruning at most
};

// What one slice did.
struct SliceReport {
    uint64_t itemsPruned = 0;
    uint64_t bytesPruned = 0;
    uint64_t lockMicroseconds = 0;  // how long the slice held the cache lock
    bool moreNeeded = false;        // a target is not met and more can be pruned: call again
    bool atFloor = false;           // the module is down to its floor (moduleOverFlow)
};

// The operation statistics of one manager (what PrintStats writes): for each
// measured kind, the calls counted and the microseconds they took.
struct CacheStatistics {
    enum Kind {
        STAT_GET_MIN_OR_MAX,  // directory scans at either end of the index
        STAT_INSERT,          // entries filed
        STAT_DELETE,          // reclamation loops
        STAT_GET_POS,         // item records read
        STAT_REMOVE_AT_POS,   // entries taken out
        STAT_PRUNE_ONE_ITEM,  // pruning steps
        STAT_PRUNE_ITEM,      // item files pruned
        STAT_SET_NEXT_OLDEST, // oldest link moved on
        STAT_KINDS
    };
    uint64_t count[STAT_KINDS] = {};
    uint64_t microseconds[STAT_KINDS] = {};
};

// Writes the record to the log, one field a line, at level 1.
CM_EXPORT void DumpArgs(const CacheArgs& args);

class CacheManagerImpl;

// The facade. Until InitCacheManager is called every operation succeeds and
// does nothing. After it, every call goes to the manager it created, also
// when its initialisation failed (the operations then fail with an error
// line). The manager is never torn down: it lives until the process ends.
class CM_EXPORT CacheManager {
public:
    CacheManager();

    bool InitCacheManager(const CacheArgs& args);

    // Changes an item's prune method in place; true also when the item is not
    // in the cache.
    bool UpdateItem(const std::string& item, PruneMethod method);
    // Adds an item or files it afresh with a new size (0: the size its file
    // has now, for an item in the cache). timeKey 0 means now. Makes room
    // first when the size changes.
    bool UpdateItem(const std::string& item, uint64_t size, uint64_t timeKey);
    bool UpdateItem(const std::string& item, bool skipCreateSpace, uint64_t size,
                    uint64_t timeKey);
    // Takes an item out of the cache and prunes its file by its prune method.
    // A file that is not in the cache is pruned all the same, by the
    // manager's default prune method, and the module size is left alone.
    bool DeleteFromCache(const std::string& item);
    // Takes an item out of the cache and leaves its file alone.
    bool HideItem(const std::string& item, uint64_t value);
    // Gives a hidden item back; size must be its real size.
    bool UnHideItem(const std::string& item, uint64_t size, uint64_t timeKey);
    // Prunes the oldest items until the file system has more free bytes than
    // size plus the reserve, and more free inodes than the reserve.
    bool CreateSpace(const std::string& item, uint64_t size);
    // Prunes, oldest first under the cache lock, the items filed longer ago
    // than maxItemAgeSeconds (down to the module floor), for a host's
    // periodic sweep. True at once when there is no age limit.
    bool PruneExpired();
    // One slice of maintenance, for a process that keeps the reserves ahead
    // of the hosts (cmtool maintain): under the cache lock, prunes oldest
    // first while the age limit, the cap less target.capMargin, or the
    // reserves plus their margins are not met, down to the module floor, until
    // the slice has pruned target.maxItems items or spent
    // target.maxMicroseconds; then releases the lock. report says what it
    // did and whether more is needed. False after a line when it failed.
    bool PruneSlice(const SliceTarget& target, SliceReport& report);
    // Writes the operation statistics to the log.
    void PrintStats();
    // The operation statistics of this process's manager; false when it is
    // not initialised. ResetStatistics starts them again from 0.
    bool GetStatistics(CacheStatistics& out);
    void ResetStatistics();
    // Call in the child after fork(): gives the manager a lock of its own.
    // RegisterForkHandler does it for every registered manager.
    void AtFork();

    // Whether InitCacheManager was called and succeeded.
    bool IsInitialised() const;

    CacheManagerImpl* m_impl;
};

// How a host keeps the index true to its files. The library takes an item's
// previous size from its file as it is at the time of the call, so:
// - A host that grows an item calls UpdateItem(item, newSize, 0) first, and
//   writes the bytes after it returns true: the room is made before the file
//   needs it. Written first, the file would already have its new size, and
//   the update would see no growth: no room made, none added to the total.
// - A host that reads an item calls UpdateItem(item, 0, 0): the item keeps
//   its size and moves to the young end, last in line for pruning.

// Checks args the way InitCacheManager does, and also flags what it takes as
// given: an empty cacheDir and a prune method outside PruneMethod. True when
// nothing is wrong; otherwise problems says what is, one sentence each.
// Writes no log line.
CM_EXPORT bool ValidateCacheArgs(const CacheArgs& args, std::string& problems);

// The last error line the library wrote on the calling thread since the
// thread started or ClearLastCacheError, with errno as the failing call left
// it; kept also when no log writer is installed. False, with text empty and
// errnum 0, when there is none. The lines that the library writes at the
// error level although nothing failed ("got FD", "closing FD", "Cache must
// be empty") are not kept. A true result says nothing of the last call:
// clear first to learn why a particular call returned false.
CM_EXPORT bool GetLastCacheError(std::string& text, int& errnum);
CM_EXPORT void ClearLastCacheError();

// For hosts that fork from many places: one pthread_atfork registration,
// made at the first call, calls AtFork in every child on each registered
// manager (a manager registered twice is renewed once). The registry's mutex
// is held from fork()'s prepare step to its parent and child handlers, so a
// fork never sees the list half changed. The child writes "got FD" through
// the log writer, which must be usable there. False, after an error line,
// when pthread_atfork fails. Unregister a manager before destroying it.
CM_EXPORT bool RegisterForkHandler(CacheManager& manager);
CM_EXPORT void UnregisterForkHandler(CacheManager& manager);

#endif
