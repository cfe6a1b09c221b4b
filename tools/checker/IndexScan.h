// What one scan of a module finds, in full: the checker summarises it into a
// report, the repair acts on it. Private to the checker's sources.
#ifndef TOOLS_INDEXSCAN_H
#define TOOLS_INDEXSCAN_H

#include <stdint.h>
#include <sys/types.h>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tools/checker/IndexChecker.h"

namespace cm {
namespace check {
namespace detail {

// A file's identity, so that two spellings of one path compare equal.
struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator<(const FileId& other) const
    {
        return dev != other.dev ? dev < other.dev : ino < other.ino;
    }
    bool operator==(const FileId& other) const { return dev == other.dev && ino == other.ino; }
};

// What an entry's item has for a record.
enum RecordState {
    RECORD_HERE,         // the record names this entry
    RECORD_NONE,         // there is no record
    RECORD_SAME_ITEM,    // it names another entry of the same item
    RECORD_ELSEWHERE,    // it names something else
    RECORD_UNREADABLE,   // there is something, but not a readable link
};

struct EntryInfo {
    IndexEntry entry;
    FileId id;
    uint64_t seq = 0;     // walk order among every link 6 levels down: oldest first
    uint64_t dirSeq = 0;  // walk order of its entry directory
    bool itemExists = false;
    uint64_t itemSize = 0;
    RecordState record = RECORD_NONE;
    std::string recordText;  // or why it could not be read
    FileId recordId;         // the record's own identity, when there is one
    bool newest = true;      // the newest entry of its item
};

// A link, file or directory that does not belong where it is.
struct Misplaced {
    std::string path;
    std::string detail;
    bool isDir = false;
    bool inTimeTable = true;  // false: one of the module root's fixed names
};

// A record found in an item directory that does not lead to its item's entry.
struct BadRecord {
    std::string path;
    std::string item;
    std::string detail;
    FileId id;
    bool missing = false;  // it names nothing (else: something that is not the entry)
};

enum OldestState { OLDEST_NONE, OLDEST_OK, OLDEST_IS_STALE, OLDEST_AT_WRONG_DEPTH, OLDEST_IS_NEWER };

struct Scan {
    std::string moduleRoot;
    std::string timeTableDir;

    std::vector<EntryInfo> entries;      // well-formed, oldest first
    std::vector<Misplaced> malformed;    // links 6 levels down that are not entries
    std::vector<Misplaced> badDepth;     // links above that level
    std::vector<Misplaced> junk;
    std::vector<std::string> emptyDirs;  // deepest first
    std::vector<BadRecord> badRecords;

    std::map<FileId, size_t> entryById;
    std::map<FileId, uint64_t> malformedSeq;  // walk order of the malformed entries
    std::map<FileId, uint64_t> entryDirSeq;   // entry directories
    std::string firstLinkPath;                // the oldest link 6 levels down
    uint64_t firstLinkDirSeq = UINT64_MAX;    // the oldest entry directory that holds links

    OldestState oldest = OLDEST_NONE;
    std::string oldestText;
    std::string oldestDetail;

    bool sizeLinkPresent = false;
    uint64_t storedSize = 0;
    uint64_t itemBytes = 0;

    uint64_t namesRead = 0;
    uint64_t recordsRead = 0;
};

// Fills scan from the module; false with error when T cannot be read.
bool RunScan(const CheckOptions& options, Scan& scan, std::string& error);
// The report of a scan.
void Summarise(const Scan& scan, const CheckOptions& options, CheckReport& report);

}  // namespace detail
}  // namespace check
}  // namespace cm

#endif
