// What the reading commands print, as text for a person or, with --json, as
// one JSON value for a script.
#ifndef TOOLS_CMTOOL_REPORTS_H
#define TOOLS_CMTOOL_REPORTS_H

#include <stdint.h>
#include <string>
#include <vector>

#include "cachemanager/CacheManager.h"
#include "tools/checker/IndexChecker.h"
#include "tools/cmtool/CommandLine.h"

namespace cmtool {

// Free bytes and inodes against the reserves, as a size provider sees them.
struct FreeSpace {
    bool bytesKnown = false;
    uint64_t totalBytes = 0;
    uint64_t freeBytes = 0;
    uint64_t byteReserve = 0;
    bool inodesKnown = false;
    uint64_t totalInodes = 0;
    uint64_t freeInodes = 0;
    uint64_t inodeReserve = 0;
    std::string why;  // why a figure is unknown
};
FreeSpace ReadFreeSpace(CacheSize& provider, const Options& options);
std::string FreeSpaceText(const FreeSpace& space, const Options& options);
std::string FreeSpaceJson(const FreeSpace& space);

std::string EntryJson(const cm::check::IndexEntry& entry);
// ls: a table (sizes human-readable unless --raw) or a JSON array.
void PrintEntries(const std::vector<cm::check::IndexEntry>& entries, const Options& options);
// "  pruned <time> <size> <method> <item>" lines.
void PrintPruned(const std::vector<cm::check::IndexEntry>& pruned);

// The fields of a module's settings or statistics as a JSON object.
template <typename Fields>
std::string FieldsJson(const Fields& fields)
{
    std::string json;
    for (size_t i = 0; i < Fields::kCount; ++i)
        json += (i == 0 ? "" : ", ") + std::string("\"") + Fields::Name(i) + "\": " + std::to_string(fields.values[i]);
    return "{" + json + "}";
}
// "<n> items, <size> pruned (reserve ..., cap ..., ...); ..." for a person.
std::string StatisticsText(const cm::layout::ModuleStatistics& statistics);

std::string CheckJson(const cm::check::CheckReport& report, bool locked);
std::string RepairJson(const cm::check::RepairReport& report, bool dryRun);

}  // namespace cmtool

#endif
