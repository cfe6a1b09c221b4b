// prune and clear: the policies an operator runs by hand or from cron. Each
// but --bytes loops over the library's own pruning steps under the cache
// lock, oldest first, while its rule says the oldest item is to go.
#include <cstdio>
#include <ctime>
#include <algorithm>
#include <functional>
#include <unistd.h>

#include "cachemanager/CacheLock.h"
#include "cachemanager/CacheManagerImpl.h"
#include "tools/cmtool/Cache.h"
#include "tools/cmtool/Commands.h"
#include "tools/cmtool/Reports.h"
#include "tools/cmtool/Text.h"

namespace cmtool {

namespace check = cm::check;

namespace {

// Whether the oldest item is to go, given the module's size total now.
using Rule = std::function<bool(const check::IndexEntry& oldest, uint64_t moduleSize)>;

struct Outcome {
    std::vector<check::IndexEntry> pruned;
    FreeSpace before;
    FreeSpace after;
};

uint64_t FiledBytes(const std::vector<check::IndexEntry>& entries)
{
    uint64_t bytes = 0;
    for (const check::IndexEntry& entry : entries)
        bytes += entry.storedSize;
    return bytes;
}

void Report(const Options& options, const Outcome& outcome)
{
    const uint64_t filed = FiledBytes(outcome.pruned);
    const uint64_t gained = outcome.after.freeBytes > outcome.before.freeBytes
                                ? outcome.after.freeBytes - outcome.before.freeBytes
                                : 0;
    if (options.json) {
        std::vector<std::string> entries;
        for (const check::IndexEntry& entry : outcome.pruned)
            entries.push_back(EntryJson(entry));
        JsonObject json;
        json.Bool("dryRun", options.dryRun).Num("items", outcome.pruned.size()).Num("bytesAsFiled", filed);
        if (!options.dryRun && outcome.before.bytesKnown && outcome.after.bytesKnown)
            json.Num("freeBefore", outcome.before.freeBytes)
                .Num("freeAfter", outcome.after.freeBytes)
                .Num("gained", gained);
        printf("%s\n", json.Raw("pruned", JsonArray(entries, true)).Text().c_str());
        return;
    }
    if (options.verbose)
        PrintPruned(outcome.pruned);
    printf("%s %zu %s (%s as filed)", options.dryRun ? "would prune" : "pruned", outcome.pruned.size(),
           outcome.pruned.size() == 1 ? "item" : "items", Human(filed).c_str());
    if (!options.dryRun && outcome.before.bytesKnown && outcome.after.bytesKnown)
        printf("; the file system gained %s: %s free before, %s after", Human(gained).c_str(),
               Human(outcome.before.freeBytes).c_str(), Human(outcome.after.freeBytes).c_str());
    printf("\n");
}

// The entries that go together in one pruning step from first on: one, or
// in set mode its whole entry directory.
size_t StepEnd(const std::vector<check::IndexEntry>& entries, size_t first, bool setMode)
{
    size_t end = first + 1;
    while (setMode && end < entries.size() && ParentOf(entries[end].path) == ParentOf(entries[first].path))
        ++end;
    return end;
}

int PruneWhile(const Options& options, const Rule& rule)
{
    if (!Start(ArgsFrom(options, PRUNE_TRUNCATE)))
        return kExitFailed;
    CacheManagerImpl& manager = *Facade().m_impl;
    DefaultCacheSize provider(options.ModuleRoot());
    Outcome outcome;
    outcome.before = ReadFreeSpace(provider, options);
    const bool setMode = options.pruneMode == CM_PRUNE_SET;
    bool stopped = false;
    {
        TakeCacheLock lock(manager.m_ptrCacheLock);
        std::vector<check::IndexEntry> entries;
        std::string error;
        if (!ReadIndex(options, entries, error))
            return Fail(error);
        uint64_t size = 0;
        manager.GetModuleSize(size);
        ProgressBar bar(!options.quiet && !options.dryRun, "items");
        size_t first = 0;
        for (; first < entries.size() && rule(entries[first], size);) {
            const size_t end = StepEnd(entries, first, setMode);
            uint64_t freed = 0;
            if (options.dryRun) {
                const std::vector<check::IndexEntry> step(entries.begin() + first, entries.begin() + end);
                outcome.pruned.insert(outcome.pruned.end(), step.begin(), step.end());
                size -= std::min(size, FiledBytes(step));
            } else if (!(setMode ? manager.PruneOneDir(freed) : manager.PruneOneItem(freed)) ||
                       !manager.UpdateModuleSize(-static_cast<int64_t>(freed)) || !manager.GetModuleSize(size)) {
                stopped = true;
                break;
            }
            first = end;
            bar.Show(first, entries.size());
        }
        bar.Clear();
        if (!options.dryRun) {
            std::vector<check::IndexEntry> after;
            ReadIndex(options, after, error);
            outcome.pruned = Pruned(entries, after, std::string());
        }
    }
    outcome.after = options.dryRun ? outcome.before : ReadFreeSpace(provider, options);
    Report(options, outcome);
    return stopped ? Fail("pruning stopped" + LibraryError()) : kExitOk;
}

int PruneToMakeRoom(const Options& options)
{
    if (options.dryRun)
        return Usage("prune --bytes makes room as the library does, and has no --dry-run: try --to-size");
    if (const int refused = CheckFits(options, options.bytes, "--bytes"))
        return refused;
    if (!Start(ArgsFrom(options, PRUNE_TRUNCATE)))
        return kExitFailed;
    DefaultCacheSize provider(options.ModuleRoot());
    Outcome outcome;
    outcome.before = ReadFreeSpace(provider, options);
    std::vector<check::IndexEntry> before;
    std::vector<check::IndexEntry> after;
    std::string error;
    ReadIndex(options, before, error);
    const bool made = Facade().CreateSpace(options.ModuleRoot(), options.bytes);
    ReadIndex(options, after, error);
    outcome.pruned = Pruned(before, after, std::string());
    outcome.after = ReadFreeSpace(provider, options);
    Report(options, outcome);
    if (made)
        return kExitOk;
    if (after.empty())
        return Fail("no room for " + std::to_string(options.bytes) + " bytes: the cache is empty and the file "
                    "system still has too little free");
    return Fail("no room for " + std::to_string(options.bytes) + " bytes" + LibraryError());
}

}  // namespace

int RunPrune(const Options& options)
{
    const int rules = options.hasBytes + options.hasToSize + options.hasOlderThan;
    if (rules != 1)
        return Usage("prune needs one of --bytes N, --to-size SIZE, --older-than AGE");
    if (options.hasBytes)
        return PruneToMakeRoom(options);
    if (options.hasToSize) {
        const uint64_t cap = options.toSize;
        return PruneWhile(options, [cap](const check::IndexEntry&, uint64_t size) { return size > cap; });
    }
    const uint64_t now = static_cast<uint64_t>(time(nullptr));
    const uint64_t before = now - std::min(now, options.olderThan);
    return PruneWhile(options, [before](const check::IndexEntry& oldest, uint64_t) {
        return (oldest.timeKey >> 8) < before;
    });
}

int RunClear(const Options& options)
{
    if (!options.yes && !options.dryRun) {
        std::vector<check::IndexEntry> entries;
        std::string error;
        if (!ReadIndex(options, entries, error))
            return Fail(error);
        return Fail("clear prunes all " + std::to_string(entries.size()) + " items of module " +
                    std::to_string(options.module) + " (" + Human(FiledBytes(entries)) +
                    " as filed): give --yes to do it, --dry-run to see them");
    }
    return PruneWhile(options, [](const check::IndexEntry&, uint64_t) { return true; });
}

}  // namespace cmtool
