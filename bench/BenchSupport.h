// What the benchmark's parts share: a clock, files and trees made with raw
// calls, a size provider whose answers the benchmark scripts, and filling an
// index through the library as fast as it goes.
#ifndef BENCH_BENCHSUPPORT_H
#define BENCH_BENCHSUPPORT_H

#include <stddef.h>
#include <stdint.h>
#include <string>
#include <vector>

#include "cachemanager/CacheManager.h"

namespace bench {

// Monotonic seconds.
double Now();

double Median(std::vector<double> values);

// --- Files and trees, raw calls ---------------------------------------------

void MakeDirs(const std::string& path);  // mkdir -p; exits on failure
void RemoveTree(const std::string& path);
// A sparse file whose st_size is size: pruning frees that many bytes as far
// as the library can tell, without writing them.
void MakeSparseFile(const std::string& path, uint64_t size);

// Items live 1,000 to a directory: <root>/d<i/1000>/i<i>.
std::string ItemPath(const std::string& root, uint64_t i);
void MakeItemDirs(const std::string& root, uint64_t count);
// The record the library keeps beside an item.
std::string RecordPath(const std::string& item);

[[noreturn]] void Die(const char* format, ...) __attribute__((format(printf, 1, 2)));

// --- The size provider --------------------------------------------------------

// Plenty of everything, except that the next shortAnswers free-space queries
// answer 0. A CreateSpace after shortAnswers = 1 therefore prunes exactly one
// step (one item, or one entry directory in set mode) and then finds room.
class ScriptedSize : public CacheSize {
public:
    bool GetCacheFreeSpace(uint64_t& bytes) override;
    bool GetCacheTotalSpace(uint64_t& bytes) override;
    bool GetCacheTotalInodes(uint64_t& inodes) override;
    bool GetCacheFreeInodes(uint64_t& inodes) override;

    int shortAnswers = 0;
    static const uint64_t kPlenty = 1ull << 50;
};

// A manager on <cacheDir>/CM/7 with the scripted provider, no reserves,
// PRUNE_UNLINK, the given prune mode and CM_LOCK_PROCESS. Exits when the
// initialisation fails. Like every manager it lives until the process ends.
CacheManager& OpenCache(const std::string& cacheDir, ScriptedSize& size, int pruneMode,
                        int overflowLimit = 0, uint64_t maxModuleBytes = 0, uint64_t maxItemAgeSeconds = 0);

// Index statistics of one module: entry directories and entries per directory.
struct IndexShape {
    size_t entryDirs = 0;
    size_t entries = 0;
    size_t medianPerDir = 0;
    size_t maxPerDir = 0;
};
IndexShape MeasureIndex(const std::string& cacheDir);

// Makes count sparse item files of itemSize under itemsRoot, then files them
// all in the index through UpdateItem as fast as it goes. Returns the index
// fill rate in items per second.
double FillIndex(CacheManager& cache, const std::string& itemsRoot, uint64_t count,
                 uint64_t itemSize);

}  // namespace bench

#endif
