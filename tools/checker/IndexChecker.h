// The index checker: reads one module's on-disk index and says what is wrong
// with it, and mends what can be mended.
//
// CheckIndex never changes anything: it reads the TimeTable tree below
// "<moduleRoot>/T", the oldest, latest and size links, the record beside each
// indexed item and, when asked, every record found in some item directories,
// and it counts each kind of fault with the first few examples. It takes no
// lock: run it on a quiet module (or accept that a busy one may show faults
// that are only half-made changes of other processes).
//
// RepairIndex takes the cache lock of an initialised manager, checks under it
// and mends what the check found and can mend, then checks again.
//
// Paths are compared by the files they name (device and inode), so another
// spelling of the cache head than the hosts' still matches; an item path that
// is relative is taken from the working directory of the caller.
//
// Every name and text format comes from cachemanager/timetable/Layout.h.
// Nothing here writes to the library's log; results come back in the reports
// (the repair's library calls log as the library always does).
#ifndef TOOLS_INDEXCHECKER_H
#define TOOLS_INDEXCHECKER_H

#include <stddef.h>
#include <stdint.h>
#include <functional>
#include <string>
#include <vector>

class CacheManagerImpl;

namespace cm {
namespace check {

// The kinds of fault, in the order the report lists them.
enum FindingKind {
    ENTRY_BAD_DEPTH,         // a link in T that is not 6 levels below it
    ENTRY_MALFORMED,         // an entry whose text is not "<size>:<method>:<item>" or is too long
    ENTRY_NO_RECORD,         // an entry whose item has no record
    ENTRY_RECORD_ELSEWHERE,  // an entry whose item's record names something else
    ENTRY_DUPLICATE,         // an older entry of an item that has a newer one
    RECORD_MISSING_ENTRY,    // a record that names nothing
    RECORD_NOT_ENTRY,        // a record that names something that is not its item's entry
    SIZE_MISMATCH,           // the size link against the sum of the indexed items' sizes
    OLDEST_STALE,            // the oldest link names nothing
    OLDEST_WRONG_DEPTH,      // ...names neither an entry (item mode) nor an entry directory (set mode)
    OLDEST_NOT_OLDEST,       // ...names something newer than an existing entry
    EMPTY_DIR,               // a numbered directory with nothing in it
    JUNK,                    // non-numeric names, plain files, directories where links belong,
                             // fixed names of the wrong kind
    kFindingKinds
};

// A short tag ("entry-no-record") and a sentence for each kind.
const char* FindingTag(FindingKind kind);
const char* FindingTitle(FindingKind kind);

// Whether a kind is a fault. OLDEST_STALE is not: an item operation that
// takes the oldest entry away leaves the link so, and the next prune drops it
// and walks the tree. It is reported as a note and does not make a report
// unclean.
bool IsFault(FindingKind kind);

struct Finding {
    std::string path;    // what the fault is about
    std::string detail;  // what is wrong with it
};

struct FindingList {
    uint64_t count = 0;
    std::vector<Finding> examples;  // the first CheckOptions::maxExamples
};

// One well-formed entry of the index.
struct IndexEntry {
    std::string path;       // the entry's path, as the module root given spells it
    uint64_t timeKey = 0;   // from the numbers of its five directories
    uint32_t number = 0;    // its own number
    uint64_t storedSize = 0;  // the size written in the entry
    int32_t method = 0;     // its prune method
    std::string item;       // the item path it names
};

struct CheckOptions {
    std::string moduleRoot;  // <cacheDir>/CM/<moduleId>
    // Directories searched (recursively, without following links, leaving
    // out the cache's own "CM" directory) for records that no entry leads to.
    std::vector<std::string> itemDirs;
    // Also search, without recursion, the directory of every indexed item.
    bool scanIndexedItemDirs = true;
    // CM_PRUNE_ITEM or CM_PRUNE_SET: what the oldest link must name. Any
    // other value accepts either.
    int pruneMode = 0;
    size_t maxExamples = 5;
    // Called now and then during the scans with the number of names read so
    // far; for a progress display.
    std::function<void(uint64_t namesRead)> progress;
    // Called now and then while the items of the entries found are checked,
    // with how many are done of how many, and once when all are.
    std::function<void(uint64_t done, uint64_t total)> entryProgress;
};

struct CheckReport {
    // The well-formed entries 6 levels below T, oldest first (the order in
    // which pruning takes them).
    std::vector<IndexEntry> entries;
    bool sizeLinkPresent = false;
    uint64_t storedSize = 0;  // the size link's total (0 when it is missing)
    uint64_t itemBytes = 0;   // the sum of the current sizes of the indexed items
    uint64_t namesRead = 0;   // names read in T and in the item directories
    uint64_t recordsRead = 0;
    FindingList findings[kFindingKinds];

    bool Clean() const { return Total() == 0; }
    uint64_t Total() const;  // faults
    uint64_t Notes() const;  // findings that are not faults
    // The report as text: one line per kind found, then its examples; notes
    // last.
    std::string Format() const;
};

// Checks the module. False, with error set, only when the module root or its
// T directory cannot be read at all; otherwise true, whatever it found.
bool CheckIndex(const CheckOptions& options, CheckReport& report, std::string& error);

// Only the well-formed entries, oldest first: a walk of T, without the record
// and item checks. False, with error set, when T cannot be read.
bool ListEntries(const std::string& moduleRoot, std::vector<IndexEntry>& entries, std::string& error);

struct RepairReport {
    std::vector<std::string> actions;    // what was (or, on a dry run, would be) done
    std::vector<std::string> failures;   // actions that failed, with the reason
    std::vector<std::string> leftAlone;  // faults that need a person
    CheckReport before;                  // the first check, under the lock
    CheckReport after;                   // the last check (the first one on a dry run)
};

// Under the manager's cache lock: checks the module (options.moduleRoot is
// replaced by the manager's), then removes links, plain files and empty
// directories that do not belong in T, malformed entries and entries at the
// wrong depth, older duplicates of an item's entry and entries whose item has
// no record (the item's file is left alone: it may have been hidden); points
// records at their item's entry; files afresh, at the young end and with its
// size now, an item whose record names a missing entry and whose file is
// there, and removes the other records that lead nowhere; removes empty
// numbered directories; drops an oldest link that is
// stale, at the wrong depth or not the oldest; rewrites the size total from
// the indexed items. Repeats while a pass changes something (at most three
// passes). With dryRun nothing changes and actions says what would be done.
// False when the manager is not initialised, the first check fails, or an
// action failed; leftAlone does not make it fail.
bool RepairIndex(CacheManagerImpl& manager, const CheckOptions& options, bool dryRun,
                 RepairReport& report, std::string& error);

}  // namespace check
}  // namespace cm

#endif
