// The commands: ls, stat and check read the index and never change it; the
// item operations and prune go through the library's facade, as a host's
// calls would; repair mends the index under the cache lock.
#include "tools/cmtool/Commands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

#include "cachemanager/CacheManagerImpl.h"
#include "cachemanager/timetable/Layout.h"
#include "tools/cmtool/Cache.h"
#include "tools/cmtool/Text.h"

namespace cmtool {

namespace layout = cm::layout;
namespace check = cm::check;

namespace {

void PrintEntries(const std::vector<check::IndexEntry>& entries, bool json)
{
    if (json) {
        printf("[");
        for (size_t i = 0; i < entries.size(); ++i) {
            const check::IndexEntry& entry = entries[i];
            printf("%s\n  {\"time\": %s, \"key\": %llu, \"size\": %llu, \"method\": %s, \"item\": %s, \"entry\": %s}",
                   i == 0 ? "" : ",", JsonString(KeyTime(entry.timeKey)).c_str(),
                   static_cast<unsigned long long>(entry.timeKey), static_cast<unsigned long long>(entry.storedSize),
                   JsonString(MethodName(entry.method)).c_str(), JsonString(entry.item).c_str(),
                   JsonString(entry.path).c_str());
        }
        printf("%s]\n", entries.empty() ? "" : "\n");
        return;
    }
    printf("%-23s %10s  %-14s  %s\n", "TIME", "SIZE", "METHOD", "ITEM");
    uint64_t total = 0;
    for (const check::IndexEntry& entry : entries) {
        printf("%-23s %10llu  %-14s  %s\n", KeyTime(entry.timeKey).c_str(),
               static_cast<unsigned long long>(entry.storedSize), MethodName(entry.method), entry.item.c_str());
        total += entry.storedSize;
    }
    printf("%zu %s, %llu bytes (%s) as last filed, oldest first\n", entries.size(),
           entries.size() == 1 ? "item" : "items", static_cast<unsigned long long>(total), Human(total).c_str());
}


// Free bytes and inodes of the file system against the reserves, as the
// library's own size provider sees them.
void PrintFreeSpace(const std::string& root, CacheSize& provider, int bytesMinFree, int inodesMinFree)
{
    uint64_t total = 0;
    uint64_t free = 0;
    if (provider.GetCacheTotalSpace(total) && provider.GetCacheFreeSpace(free)) {
        const uint64_t reserve = total / 100 * static_cast<uint64_t>(bytesMinFree);
        printf("%-13s %s free of %s; reserve %d%% = %s: %s\n", "free bytes", Human(free).c_str(),
               Human(total).c_str(), bytesMinFree, Human(reserve).c_str(),
               free > reserve ? "above it" : "AT OR BELOW IT (the next update prunes)");
    } else {
        printf("%-13s unknown: %s\n", "free bytes", strerror(errno));
    }
    if (provider.GetCacheTotalInodes(total) && provider.GetCacheFreeInodes(free)) {
        const uint64_t reserve = total / 100 * static_cast<uint64_t>(inodesMinFree);
        printf("%-13s %llu free of %llu; reserve %d%% = %llu: %s\n", "free inodes",
               static_cast<unsigned long long>(free), static_cast<unsigned long long>(total), inodesMinFree,
               static_cast<unsigned long long>(reserve), free > reserve ? "above it" : "AT OR BELOW IT");
    } else {
        printf("%-13s unknown for %s: %s\n", "free inodes", root.c_str(), strerror(errno));
    }
}

}  // namespace

int PrintStat(const Options& options, CacheSize& provider)
{
    std::vector<check::IndexEntry> entries;
    std::string error;
    if (!ReadIndex(options, entries, error))
        return Fail(error);
    const std::string root = options.ModuleRoot();
    uint64_t onDisk = 0;
    size_t gone = 0;
    for (const check::IndexEntry& entry : entries) {
        struct stat status;
        if (lstat(entry.item.c_str(), &status) == 0)
            onDisk += static_cast<uint64_t>(status.st_size);
        else
            ++gone;
    }
    const std::string sizeText = ReadLinkOr(layout::SizeLink(root), "");
    const uint64_t moduleSize = layout::ParseSizeText(sizeText);
    printf("%-13s %s\n", "module", root.c_str());
    printf("%-13s %llu bytes (%s)%s\n", "module size", static_cast<unsigned long long>(moduleSize),
           Human(moduleSize).c_str(), sizeText.empty() ? ", no size link yet" : "");
    printf("%-13s %zu; their files hold %llu bytes (%s) now%s\n", "entries", entries.size(),
           static_cast<unsigned long long>(onDisk), Human(onDisk).c_str(),
           gone == 0 ? "" : (", " + std::to_string(gone) + " of them gone from disk").c_str());
    if (entries.empty()) {
        printf("%-13s none\n%-13s none\n", "oldest", "latest");
    } else {
        printf("%-13s %s  %s\n", "oldest", KeyTime(entries.front().timeKey).c_str(), entries.front().item.c_str());
        printf("%-13s %s  %s\n", "latest", KeyTime(entries.back().timeKey).c_str(), entries.back().item.c_str());
    }
    const std::string oldest = ReadLinkOr(layout::OldestLink(root), "");
    printf("%-13s %s\n", "oldest link", oldest.empty() ? "none: pruning walks the tree" : oldest.c_str());
    PrintFreeSpace(root, provider, options.bytesMinFree, options.inodesMinFree);
    return kExitOk;
}

// Entries that were there before and are not now, but for the item's own
// old entry: what an operation pruned, oldest first.
std::vector<check::IndexEntry> Pruned(const std::vector<check::IndexEntry>& before,
                                      const std::vector<check::IndexEntry>& after, const std::string& except)
{
    std::map<std::string, std::string> now;
    for (const check::IndexEntry& entry : after)
        now[entry.path] = entry.item;
    std::vector<check::IndexEntry> pruned;
    for (const check::IndexEntry& entry : before) {
        const auto found = now.find(entry.path);
        if (entry.item != except && (found == now.end() || found->second != entry.item))
            pruned.push_back(entry);
    }
    return pruned;
}

namespace {

void PrintPruned(const std::vector<check::IndexEntry>& pruned)
{
    for (const check::IndexEntry& entry : pruned)
        printf("  pruned %-23s %10llu  %-14s  %s\n", KeyTime(entry.timeKey).c_str(),
               static_cast<unsigned long long>(entry.storedSize), MethodName(entry.method), entry.item.c_str());
}

}  // namespace

int RunStat(const Options& options)
{
    DefaultCacheSize provider(options.ModuleRoot());
    return PrintStat(options, provider);
}

int RunLs(const Options& options)
{
    std::vector<check::IndexEntry> entries;
    std::string error;
    if (!ReadIndex(options, entries, error))
        return Fail(error);
    PrintEntries(entries, options.json);
    return kExitOk;
}

namespace {

check::CheckOptions CheckOptionsFrom(const Options& options)
{
    check::CheckOptions checkOptions;
    checkOptions.moduleRoot = options.ModuleRoot();
    checkOptions.itemDirs = options.itemDirs;
    checkOptions.pruneMode = options.pruneMode;
    checkOptions.maxExamples = options.examples;
    if (isatty(STDERR_FILENO)) {
        checkOptions.progress = [](uint64_t names) {
            fprintf(stderr, "\rcmtool: %llu names read...", static_cast<unsigned long long>(names));
        };
    }
    return checkOptions;
}


void EndProgress()
{
    if (isatty(STDERR_FILENO))
        fprintf(stderr, "\r\033[K");
}

}  // namespace

int RunCheck(const Options& options)
{
    check::CheckReport report;
    std::string error;
    const bool checked = check::CheckIndex(CheckOptionsFrom(options), report, error);
    EndProgress();
    if (!checked)
        return Fail(error);
    printf("%s", report.Format().c_str());
    return report.Clean() ? kExitOk : kExitFailed;
}

int RunRepair(const Options& options)
{
    if (!Start(ArgsFrom(options, PRUNE_TRUNCATE)))
        return kExitFailed;
    check::RepairReport report;
    std::string error;
    const bool repaired =
        check::RepairIndex(*Facade().m_impl, CheckOptionsFrom(options), options.dryRun, report, error);
    EndProgress();
    if (!repaired && report.actions.empty())
        return Fail("repair failed: " + error);
    const char* verb = options.dryRun ? "would" : "did";
    if (report.actions.empty())
        printf("nothing to repair\n");
    for (const std::string& action : report.actions)
        printf("%s: %s\n", verb, action.c_str());
    for (const std::string& failure : report.failures)
        printf("FAILED: %s\n", failure.c_str());
    for (const std::string& left : report.leftAlone)
        printf("left alone: %s\n", left.c_str());
    printf("%s: %s", options.dryRun ? "now" : "after", report.after.Format().c_str());
    if (!repaired)
        return Fail("repair failed: " + error + LibraryError());
    return report.after.Clean() || options.dryRun ? kExitOk : kExitFailed;
}

namespace {

PruneMethod MethodFor(const Options& options, const ItemState& item)
{
    if (options.hasMethod)
        return options.method;
    return item.HasMethod() ? static_cast<PruneMethod>(item.method) : PRUNE_TRUNCATE;
}


int ChangeMethod(const Options& options, const ItemState& item)
{
    if (!item.InCache())
        return Fail(item.path + " is not in the cache: nothing changed");
    if (!Start(ArgsFrom(options, options.method)))
        return kExitFailed;
    if (!Facade().UpdateItem(item.path, options.method))
        return Fail("update " + item.path + " failed" + LibraryError());
    const ItemState now = ReadItem(item.path);
    if (!now.InCache())
        return Fail(item.path + ": its entry [" + item.record + "] was gone; its record is removed and it is " +
                    "out of the cache");
    printf("%s: prune method now %s\n", item.path.c_str(), MethodName(now.method));
    return kExitOk;
}

}  // namespace

int RunAdd(const Options& options)
{
    ItemState item;
    if (const int refused = LookAtItem(options, options.args[0], item))
        return refused;
    if (options.command == "update" && options.hasMethod && !options.hasSize)
        return ChangeMethod(options, item);
    if (!options.hasSize && !item.exists)
        return Fail(item.path + ": " + strerror(ENOENT) + "; give its size with --size");
    const uint64_t size = options.hasSize ? options.size : item.size;
    if (size == 0)
        return Fail(item.path + ": 0 bytes: the cache files no empty item (give its size with --size)");
    if (const int refused = CheckFits(options, size, item.path))
        return refused;
    // An item in the cache keeps its prune method unless one is given.
    const PruneMethod method = MethodFor(options, item);
    if (!Start(ArgsFrom(options, method)))
        return kExitFailed;
    std::vector<check::IndexEntry> before;
    std::vector<check::IndexEntry> after;
    std::string error;
    ReadIndex(options, before, error);
    const bool filed = options.command == "unhide" ? Facade().UnHideItem(item.path, size, 0)
                                                   : Facade().UpdateItem(item.path, size, 0);
    ReadIndex(options, after, error);
    PrintPruned(Pruned(before, after, item.path));
    const std::string entry = RecordOf(item.path);
    if (!filed || entry.empty())
        return Fail(options.command + " " + item.path + " failed" + LibraryError());
    printf("%s %s: %llu bytes, %s, entry %s\n", options.command == "unhide" ? "unhid" : "filed", item.path.c_str(),
           static_cast<unsigned long long>(size), MethodName(method), entry.c_str());
    return kExitOk;
}

namespace {

// What pruning left of a file that was there before.
std::string PruneOutcome(const ItemState& before, const ItemState& after)
{
    if (!before.exists)
        return "its file was not there";
    if (after.exists)
        return after.size == 0 ? "its file was truncated" : "";
    struct stat status;
    return lstat(ParentOf(before.path).c_str(), &status) != 0 ? "its file was unlinked with its emptied directories" : "its file was unlinked";
}

}  // namespace

int RunDelete(const Options& options)
{
    ItemState item;
    if (const int refused = LookAtItem(options, options.args[0], item))
        return refused;
    if (!item.InCache() && !options.force)
        return Fail(item.path + " is not in the cache: nothing changed (--force prunes its file anyway)");
    if (!item.InCache() && !item.exists)
        return Fail(item.path + ": " + strerror(ENOENT) + ": nothing to prune");
    if (!Start(ArgsFrom(options, PRUNE_TRUNCATE)))
        return kExitFailed;
    const bool deleted = Facade().DeleteFromCache(item.path);
    const ItemState now = ReadItem(item.path);
    const std::string outcome = PruneOutcome(item, now);
    if (!deleted || now.InCache() || outcome.empty())
        return Fail("delete " + item.path + " failed" + (now.InCache() ? "; it is still in the cache" : "") +
                    (outcome.empty() ? "; its file is still there" : "") + LibraryError());
    if (item.InCache())
        printf("deleted %s from the cache; %s\n", item.path.c_str(), outcome.c_str());
    else
        printf("%s was not in the cache; %s\n", item.path.c_str(), outcome.c_str());
    return kExitOk;
}

int RunHide(const Options& options)
{
    ItemState item;
    if (const int refused = LookAtItem(options, options.args[0], item))
        return refused;
    if (!item.InCache())
        return Fail(item.path + " is not in the cache: nothing changed");
    if (!Start(ArgsFrom(options, PRUNE_TRUNCATE)))
        return kExitFailed;
    if (!Facade().HideItem(item.path, 0) || !RecordOf(item.path).empty())
        return Fail("hide " + item.path + " failed" + LibraryError());
    printf("hid %s: out of the cache, its file left alone\n", item.path.c_str());
    return kExitOk;
}

int RunPrune(const Options& options)
{
    if (!options.hasBytes)
        return Usage("prune needs --bytes N");
    if (const int refused = CheckFits(options, options.bytes, "--bytes"))
        return refused;
    if (!Start(ArgsFrom(options, PRUNE_TRUNCATE)))
        return kExitFailed;
    std::vector<check::IndexEntry> before;
    std::vector<check::IndexEntry> after;
    std::string error;
    ReadIndex(options, before, error);
    const bool made = Facade().CreateSpace(options.ModuleRoot(), options.bytes);
    ReadIndex(options, after, error);
    const std::vector<check::IndexEntry> pruned = Pruned(before, after, std::string());
    PrintPruned(pruned);
    uint64_t freed = 0;
    for (const check::IndexEntry& entry : pruned)
        freed += entry.storedSize;
    printf("pruned %zu %s (%s as filed)\n", pruned.size(), pruned.size() == 1 ? "item" : "items",
           Human(freed).c_str());
    DefaultCacheSize provider(options.ModuleRoot());
    PrintFreeSpace(options.ModuleRoot(), provider, options.bytesMinFree, options.inodesMinFree);
    if (made)
        return kExitOk;
    if (after.empty())
        return Fail("no room for " + std::to_string(options.bytes) + " bytes: the cache is empty and the file "
                    "system still has too little free");
    return Fail("no room for " + std::to_string(options.bytes) + " bytes" + LibraryError());
}

const std::vector<Command>& Commands()
{
    static const std::vector<Command> kCommands = {
        {"stat", "stat", "module size, entries, oldest and latest, free bytes and inodes",
         "Reads the index and the file system; changes nothing. The reserves shown\n"
         "are --bytes-min-free and --inodes-min-free percent of the file system.\n",
         {}, 0, true, RunStat},
        {"ls", "ls [--json]", "the items, oldest first: time, size, prune method, path",
         "Reads the index; changes nothing. SIZE is the size the item was last filed\n"
         "with. --json prints an array of objects (time, key, size, method, item,\n"
         "entry) for scripts.\n",
         {"--json"}, 0, true, RunLs},
        {"check", "check [--items DIR]... [--examples N]", "checks the index; exit 1 when it finds faults",
         "Reads the index, the record of every indexed item and the records in the\n"
         "directories of the indexed items and under each --items DIR; changes\n"
         "nothing. Prints each kind of fault found with a count and the first N\n"
         "examples (default 5). Exit status 0 when clean, 1 with faults.\n",
         {"--examples"}, 0, true, RunCheck},
        {"repair", "repair [--dry-run] [--items DIR]...", "mends what check finds, under the cache lock",
         "Under the cache lock: removes what does not belong in the index (malformed\n"
         "entries, links at the wrong depth, stray files, empty directories), older\n"
         "duplicate entries and entries of vanished items; re-creates or re-points\n"
         "records, removes records that lead nowhere; drops a stale oldest link;\n"
         "rewrites the size total from the indexed items. Says what it did, then\n"
         "checks again. --dry-run says what it would do and changes nothing.\n",
         {"--dry-run", "--examples"}, 0, true, RunRepair},
        {"add", "add ITEM [--size N] [--method M] [--create]", "files an item (makes room first)",
         "UpdateItem(ITEM, N): files the item at the young end of the index with\n"
         "size N (default: its file's size now), pruning the oldest items first when\n"
         "the file system is short of room. M is its prune method: truncate, unlink\n"
         "or unlink-recurse; an item in the cache keeps its own unless M is given,\n"
         "a new one gets truncate. Refused, with nothing changed: a directory, a\n"
         "path under DIR/CM, an item whose record leads into another module, a size\n"
         "of 0, and a size that with the byte reserve is more than the file system\n"
         "holds. A module that is not there is made only with --create.\n",
         {"--size", "--method", "--create"}, 1, true, RunAdd},
        {"update", "update ITEM [--size N] [--method M] [--create]",
         "files an item afresh, or changes its prune method",
         "As add. With --method alone, changes the prune method of an item in the\n"
         "cache in place, leaving its place in the time order.\n",
         {"--size", "--method", "--create"}, 1, true, RunAdd},
        {"delete", "delete ITEM [--force]", "takes an item out of the cache and prunes its file",
         "DeleteFromCache(ITEM): removes its entry and record and prunes its file by\n"
         "its prune method, and says what became of the file. A file that is not in\n"
         "the cache is refused; --force truncates it all the same.\n",
         {"--force"}, 1, true, RunDelete},
        {"hide", "hide ITEM", "takes an item out of the cache, leaving its file",
         "HideItem(ITEM): removes its entry and record; the file stays as it is and\n"
         "is never pruned until it is given back with unhide. An item that is not\n"
         "in the cache is refused.\n",
         {}, 1, true, RunHide},
        {"unhide", "unhide ITEM [--size N] [--method M] [--create]", "gives a hidden item back to the cache",
         "UnHideItem(ITEM, N): files the item afresh with size N (default: its\n"
         "file's size now), refusing what add refuses.\n",
         {"--size", "--method", "--create"}, 1, true, RunAdd},
        {"prune", "prune --bytes N", "prunes the oldest items until N bytes (plus the reserve) are free",
         "CreateSpace(N): prunes the oldest items until the file system has more than\n"
         "N bytes plus the --bytes-min-free reserve free, and more free inodes than\n"
         "the --inodes-min-free reserve. N takes K, M and G. Lists what it pruned.\n"
         "An N that with the reserve is more than the file system holds is refused\n"
         "before anything is pruned.\n",
         {"--bytes"}, 0, true, RunPrune},
        {"demo", "demo [--keep]", "a cache at work on a small file system, from scratch",
         "Makes a cache on a new temporary directory (a 4 MiB tmpfs when run as\n"
         "root, so that the library's own size provider drives pruning; otherwise\n"
         "a provider that counts the files under it against 4 MiB), runs a workload\n"
         "that adds and updates items well past the 25% reserve, and shows what was\n"
         "pruned, oldest first, by which method; then ls, stat, check and the\n"
         "statistics table. --keep leaves the directory (and the tmpfs) in place;\n"
         "otherwise it is unmounted and removed on every way out.\n"
         "Run as root, demo MOUNTS A TMPFS under $TMPDIR (or /tmp).\n"
         "--module picks the module number (default 7).\n",
         {"--keep"}, 0, false, RunDemo},
    };
    return kCommands;
}

}  // namespace cmtool
