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

std::string ModuleRoot(const std::string& cacheDir, uint32_t moduleId);
std::string TimeTableDir(const std::string& moduleRoot);
std::string LockFile(const std::string& moduleRoot);
std::string OldestLink(const std::string& moduleRoot);
std::string LatestLink(const std::string& moduleRoot);
std::string SizeLink(const std::string& moduleRoot);

// The entry directory of a key under the TimeTable directory.
std::string EntryDir(const std::string& timeTableDir, uint64_t timeKey);
std::string EntryPath(const std::string& entryDir, uint32_t number);
// A directory one level down: "<dir>/<number>".
std::string ChildDir(const std::string& dir, uint32_t number);

// "<size>:<method>:<item>"
std::string EntryTarget(uint64_t size, int32_t method, const std::string& item);

// The parts of an entry's text. The item path is everything after the second
// ':' and may hold ':' itself.
struct EntryFields {
    int64_t size;
    int32_t method;
    std::string item;
};
// False for a text without two ':'; badPart is then what the message shows:
// the text before the first ':' when there is one, else the whole text.
bool ParseEntryTarget(const std::string& text, EntryFields& fields, std::string& badPart);

// The record of an item: "<item dir>/cacheposition.<base name>".
std::string RecordPath(const std::string& item);

// The size link's text for a total, and the total of a text: leading digits
// as base 10, 0 for a text that does not start with a number or is negative.
std::string SizeText(uint64_t total);
uint64_t ParseSizeText(const std::string& text);

// A directory name's number as the scans read it: atoi, taken as unsigned.
uint32_t NameNumber(const char* name);

}  // namespace layout
}  // namespace cm

// A time key from the clock, in steps of resolutionMs; 0 when it is 0.
void GetTimeStamp(uint64_t& timeKey, int resolutionMs);

#endif
