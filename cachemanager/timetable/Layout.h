// Every name, text format and text limit of a module's on-disk layout.
//
//   <cacheDir>/CM/<moduleId>            module root
//       T/                              the index: numbered directories
//         <k>/<b3>/<b2>/<b1>/<b0>/      entry directory of a time key
//           <n> -> "<size>:<method>:<item path>"   one entry per item
//       lockfile                        locked, never written
//       oldest -> <entry, or entry directory in set mode>
//       latest -> <the entry made last>
//       size   -> "<module byte total>"
//       settings -> "<name>=<value> ..."  the settings of the processes that
//                   publish them (CacheArgs::shareModuleState)
//       stats  -> "<name>=<value> ..."     what pruning did, for every process
//       maintainer                         locked by the module's one maintainer
//       size.tmp, latest.tmp, oldest.tmp, entry.tmp, settings.tmp, stats.tmp
//                -> the next text of size, latest, oldest or of an entry
//                   rewritten with a new prune method, for an instant before
//                   it is renamed over the link it replaces
//   <item dir>/cacheposition.<item base name> -> <the item's entry>
//
// A time key holds seconds since the epoch shifted left by 8, OR a count of
// tenths of a second. <k> is the key shifted right by 32; <b3>..<b0> are its
// four low bytes, most significant first. Entry numbers start at 1 in each
// entry directory and grow with each entry made there. Every record is a
// symbolic link whose text is the data; links are never followed.
#ifndef CACHEMANAGER_TIMETABLE_LAYOUT_H
#define CACHEMANAGER_TIMETABLE_LAYOUT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>

#include "cachemanager/CacheManager.h"

namespace cm {
namespace layout {

// Longest texts, in bytes without the terminating NUL.
const size_t kMaxPath = 2047;          // module root, entry paths, entry targets as made
const size_t kMaxRewrittenEntry = 4095; // entry targets rewritten with a new method
const size_t kMaxShortLink = 2047;      // oldest and latest link texts
const size_t kMaxLongLink = 4095;       // entry and record texts
const size_t kMaxSizeText = 255;        // size link text

// Levels below "T": four numbered directory levels, the entry directory, the
// entry itself.
const int kEntryDirDepth = 5;
const int kEntryDepth = 6;

const int kTimeResolutionMs = 100;

// The names themselves. The functions below are inline so that programs
// built around the shared library (the index checker, cmtool) use these very
// definitions without the library exporting them.
inline constexpr char kModuleDirName[] = "CM";
inline constexpr char kTimeTableName[] = "T";
inline constexpr char kLockFileName[] = "lockfile";
inline constexpr char kOldestName[] = "oldest";
inline constexpr char kLatestName[] = "latest";
inline constexpr char kSizeName[] = "size";
// The next text of a link is made under one of these names and renamed over
// the link, so that the link is never missing, not even in a process killed
// halfway. Only holders of the cache lock make them.
inline constexpr char kSizeTempName[] = "size.tmp";
inline constexpr char kLatestTempName[] = "latest.tmp";
inline constexpr char kOldestTempName[] = "oldest.tmp";
inline constexpr char kEntryTempName[] = "entry.tmp";
inline constexpr char kSettingsName[] = "settings";
inline constexpr char kSettingsTempName[] = "settings.tmp";
inline constexpr char kStatisticsName[] = "stats";
inline constexpr char kStatisticsTempName[] = "stats.tmp";
// Locked (flock) by the one maintainer of a module while it runs; holds its
// process id.
inline constexpr char kMaintainerLockName[] = "maintainer";
inline constexpr char kRecordPrefix[] = "cacheposition.";

inline std::string ModuleRoot(const std::string& cacheDir, uint32_t moduleId)
{
    return cacheDir + "/" + kModuleDirName + "/" + std::to_string(moduleId);
}

inline std::string TimeTableDir(const std::string& moduleRoot) { return moduleRoot + "/" + kTimeTableName; }
inline std::string LockFile(const std::string& moduleRoot) { return moduleRoot + "/" + kLockFileName; }
inline std::string OldestLink(const std::string& moduleRoot) { return moduleRoot + "/" + kOldestName; }
inline std::string LatestLink(const std::string& moduleRoot) { return moduleRoot + "/" + kLatestName; }
inline std::string SizeLink(const std::string& moduleRoot) { return moduleRoot + "/" + kSizeName; }
inline std::string SizeTempLink(const std::string& moduleRoot) { return moduleRoot + "/" + kSizeTempName; }
inline std::string LatestTempLink(const std::string& moduleRoot) { return moduleRoot + "/" + kLatestTempName; }
inline std::string OldestTempLink(const std::string& moduleRoot) { return moduleRoot + "/" + kOldestTempName; }
inline std::string EntryTempLink(const std::string& moduleRoot) { return moduleRoot + "/" + kEntryTempName; }
inline std::string SettingsLink(const std::string& moduleRoot) { return moduleRoot + "/" + kSettingsName; }
inline std::string SettingsTempLink(const std::string& moduleRoot) { return moduleRoot + "/" + kSettingsTempName; }
inline std::string StatisticsLink(const std::string& moduleRoot) { return moduleRoot + "/" + kStatisticsName; }
inline std::string StatisticsTempLink(const std::string& moduleRoot) { return moduleRoot + "/" + kStatisticsTempName; }
inline std::string MaintainerLock(const std::string& moduleRoot) { return moduleRoot + "/" + kMaintainerLockName; }

// A directory one level down: "<dir>/<number>".
inline std::string ChildDir(const std::string& dir, uint32_t number) { return dir + "/" + std::to_string(number); }

// The entry directory of a key under the TimeTable directory.
inline std::string EntryDir(const std::string& timeTableDir, uint64_t timeKey)
{
    char numbers[64];
    snprintf(numbers, sizeof numbers, "/%u/%u/%u/%u/%u",
             static_cast<unsigned>(timeKey >> 32),
             static_cast<unsigned>((timeKey >> 24) & 0xFF),
             static_cast<unsigned>((timeKey >> 16) & 0xFF),
             static_cast<unsigned>((timeKey >> 8) & 0xFF),
             static_cast<unsigned>(timeKey & 0xFF));
    return timeTableDir + numbers;
}

inline std::string EntryPath(const std::string& entryDir, uint32_t number) { return ChildDir(entryDir, number); }

// "<size>:<method>:<item>"
inline std::string EntryTarget(uint64_t size, int32_t method, const std::string& item)
{
    return std::to_string(size) + ":" + std::to_string(method) + ":" + item;
}

// The parts of an entry's text. The item path is everything after the second
// ':' and may hold ':' itself.
struct EntryFields {
    int64_t size;
    int32_t method;
    std::string item;
};
// False for a text without two ':'; badPart is then what the message shows:
// the text before the first ':' when there is one, else the whole text.
inline bool ParseEntryTarget(const std::string& text, EntryFields& fields, std::string& badPart)
{
    const size_t first = text.find(':');
    if (first == std::string::npos) {
        badPart = text;
        return false;
    }
    const size_t second = text.find(':', first + 1);
    if (second == std::string::npos) {
        badPart = text.substr(0, first);
        return false;
    }
    fields.size = strtoll(text.substr(0, first).c_str(), nullptr, 10);
    fields.method = static_cast<int>(strtol(text.substr(first + 1, second - first - 1).c_str(), nullptr, 10));
    fields.item = text.substr(second + 1);
    return true;
}

// The record of an item: "<item dir>/cacheposition.<base name>". An item
// named without a directory has its record beside it, in the same (relative)
// directory, never at the root of the file system.
inline std::string RecordPath(const std::string& item)
{
    const size_t slash = item.rfind('/');
    if (slash == std::string::npos)
        return kRecordPrefix + item;
    return item.substr(0, slash) + "/" + kRecordPrefix + item.substr(slash + 1);
}

// The inverse of RecordPath: whether record is named like an item's record,
// and if so the item it belongs to.
inline bool RecordItem(const std::string& record, std::string& item)
{
    const size_t slash = record.rfind('/');
    const size_t base = slash == std::string::npos ? 0 : slash + 1;
    const size_t prefixLength = sizeof kRecordPrefix - 1;
    if (record.size() <= base + prefixLength || record.compare(base, prefixLength, kRecordPrefix) != 0)
        return false;
    item = record.substr(0, base) + record.substr(base + prefixLength);
    return true;
}

// The size link's text for a total, and the total of a text: leading digits
// as base 10, 0 for a text that does not start with a number or is negative.
inline std::string SizeText(uint64_t total) { return std::to_string(total); }
inline uint64_t ParseSizeText(const std::string& text)
{
    const char* p = text.c_str();
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    // A total is never negative; a text that says so is damage, read as 0.
    if (*p == '-')
        return 0;
    return strtoull(p, nullptr, 10);
}

// A directory name's number as the scans read it: atoi's value, taken as
// unsigned (read through strtoul, which is defined for every name up to
// 4294967295, where atoi overflows an int).
inline uint32_t NameNumber(const char* name) { return static_cast<uint32_t>(strtoul(name, nullptr, 10)); }

// Whether a name is a number exactly as the layout writes them ("%u": digits
// without a leading zero, below 2^32). Only such names lead the walks, which
// rebuild paths from NameNumber, back to the same directory or entry.
inline bool IsNumberName(const char* name)
{
    if (name[0] < '0' || name[0] > '9' || (name[0] == '0' && name[1] != '\0'))
        return false;
    uint64_t value = 0;
    for (const char* p = name; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        value = value * 10 + static_cast<uint64_t>(*p - '0');
        if (value > 0xFFFFFFFFu)
            return false;
    }
    return true;
}

// The time key of an entry directory or entry, from the numbers of its path
// below timeTableDir. False for a path that is not one.
inline bool KeyOfIndexPath(const std::string& timeTableDir, const std::string& path, uint64_t& key)
{
    if (path.size() <= timeTableDir.size() || path.compare(0, timeTableDir.size(), timeTableDir) != 0)
        return false;
    unsigned long parts[kEntryDirDepth];
    size_t at = timeTableDir.size();
    for (int level = 0; level < kEntryDirDepth; ++level) {
        if (at >= path.size() || path[at] != '/')
            return false;
        char* end = nullptr;
        parts[level] = strtoul(path.c_str() + at + 1, &end, 10);
        if (end == path.c_str() + at + 1 || (level > 0 && parts[level] > 0xFF) || parts[level] > 0xFFFFFFFFul)
            return false;
        at = static_cast<size_t>(end - path.c_str());
    }
    key = (static_cast<uint64_t>(parts[0]) << 32) | (parts[1] << 24) | (parts[2] << 16) | (parts[3] << 8) | parts[4];
    return true;
}

// The whole seconds of a time key.
inline uint64_t KeySeconds(uint64_t key) { return key >> 8; }

// "name=value" pairs separated by blanks: the texts of the settings and
// statistics links. Unknown names are passed over, so that older readers
// take newer texts.
template <typename Fields>
std::string FormatFields(const Fields& fields)
{
    std::string text;
    for (size_t i = 0; i < Fields::kCount; ++i)
        text += (i == 0 ? "" : " ") + std::string(Fields::Name(i)) + "=" + std::to_string(fields.values[i]);
    return text;
}

// Returns how many of the known fields the text gave (0: it is none of them).
template <typename Fields>
size_t ParseFields(const std::string& text, Fields& fields)
{
    fields = Fields();
    size_t at = 0;
    size_t found = 0;
    while (at < text.size()) {
        size_t end = text.find(' ', at);
        if (end == std::string::npos)
            end = text.size();
        const size_t equals = text.find('=', at);
        if (equals != std::string::npos && equals < end) {
            const std::string name = text.substr(at, equals - at);
            for (size_t i = 0; i < Fields::kCount; ++i) {
                if (name == Fields::Name(i)) {
                    fields.values[i] = strtoull(text.c_str() + equals + 1, nullptr, 10);
                    ++found;
                }
            }
        }
        at = end + 1;
    }
    return found;
}

// The effective settings of a module, as its processes publish them.
struct ModuleSettings {
    enum Field {
        BYTES_MIN_FREE,      // percent
        INODES_MIN_FREE,     // percent
        MIN_FREE_BYTES,      // the byte reserve those percents gave
        MIN_FREE_INODES,     // the inode reserve
        PRUNE_METHOD,
        PRUNE_MODE,
        PROCESS_MODEL,
        MODULE_FLOOR,        // moduleOverFlow
        OVERFLOW_LIMIT,      // as an unsigned 64-bit figure: a negative limit reads huge
        MAX_MODULE_BYTES,
        MAX_ITEM_AGE_SECONDS,
        FIELD_COUNT
    };
    static const size_t kCount = FIELD_COUNT;
    static const char* Name(size_t field)
    {
        static const char* const names[kCount] = {"bytesMinFree",  "inodesMinFree",  "minFreeBytes",
                                                   "minFreeInodes", "pruneMethod",    "pruneMode",
                                                   "processModel",  "moduleOverFlow", "overflowLimit",
                                                   "maxModuleBytes", "maxItemAgeSeconds"};
        return names[field];
    }
    uint64_t values[kCount] = {};
};

// Why items were pruned.
enum PruneReason {
    PRUNED_FOR_RESERVE,
    PRUNED_FOR_INODES,
    PRUNED_FOR_CAP,
    PRUNED_FOR_AGE,
    PRUNED_BY_DELETE,
    PRUNED_BY_MAINTAINER,  // slices of maintenance, off the hosts' path
    kReasons
};

// What pruning did to a module, over all its processes.
struct ModuleStatistics {
    enum Field {
        PRUNED_ITEMS,  // all reasons together
        PRUNED_BYTES,
        RESERVE_ITEMS,
        RESERVE_BYTES,
        INODES_ITEMS,
        INODES_BYTES,
        CAP_ITEMS,
        CAP_BYTES,
        AGE_ITEMS,
        AGE_BYTES,
        DELETE_ITEMS,
        DELETE_BYTES,
        MAINTAINER_ITEMS,
        MAINTAINER_BYTES,
        REFUSED,                 // requests refused as larger than the file system or the cap
        LAST_PRUNE_TIME,         // seconds since the epoch
        LAST_PRUNED_AGE_SECONDS, // how long the last item pruned had been in the cache
        FIELD_COUNT
    };
    static const size_t kCount = FIELD_COUNT;
    static const char* Name(size_t field)
    {
        static const char* const names[kCount] = {
            "prunedItems", "prunedBytes", "reserveItems", "reserveBytes", "inodesItems",
            "inodesBytes", "capItems",    "capBytes",     "ageItems",     "ageBytes",
            "deleteItems", "deleteBytes", "maintainerItems", "maintainerBytes", "refused",
            "lastPruneTime", "lastPrunedAgeSeconds"};
        return names[field];
    }
    uint64_t values[kCount] = {};

    void AddPruned(PruneReason reason, uint64_t items, uint64_t bytes)
    {
        values[PRUNED_ITEMS] += items;
        values[PRUNED_BYTES] += bytes;
        values[RESERVE_ITEMS + 2 * reason] += items;
        values[RESERVE_BYTES + 2 * reason] += bytes;
    }
};

}  // namespace layout
}  // namespace cm

// A time key from the clock, in steps of resolutionMs; 0 when it is 0.
void GetTimeStamp(uint64_t& timeKey, int resolutionMs);

#endif
