// The commands: ls, stat, check and modules read the index and never change
// it; the item operations go through the library's facade, as a host's calls
// would; repair mends the index under the cache lock. prune and clear are in
// Prune.cpp, demo in Demo.cpp.
#include "tools/cmtool/Commands.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

#include "cachemanager/CacheLock.h"
#include "cachemanager/CacheManagerImpl.h"
#include "cachemanager/timetable/Layout.h"
#include "tools/cmtool/Ages.h"
#include "tools/cmtool/Cache.h"
#include "tools/cmtool/Reports.h"
#include "tools/cmtool/Text.h"

namespace cmtool {

namespace layout = cm::layout;
namespace check = cm::check;

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
    const std::string oldestLink = ReadLinkOr(layout::OldestLink(root), "");
    const FreeSpace space = ReadFreeSpace(provider, options);
    layout::ModuleStatistics statistics;
    const bool counted = layout::ParseFields(ReadLinkOr(layout::StatisticsLink(root), ""), statistics);
    const AgeReport ages = options.ages ? ReadAges(entries) : AgeReport();
    if (!options.svg.empty() && !WriteSvg(options.svg, ages, error))
        return Fail("cannot write the picture: " + error);
    if (options.json) {
        JsonObject json;
        json.Str("module", root).Num("size", moduleSize).Bool("sizeLink", !sizeText.empty());
        json.Num("entries", entries.size()).Num("bytesOnDisk", onDisk).Num("goneFromDisk", gone);
        json.Raw("oldest", entries.empty() ? "null" : EntryJson(entries.front()));
        json.Raw("latest", entries.empty() ? "null" : EntryJson(entries.back()));
        json.Raw("oldestLink", oldestLink.empty() ? "null" : JsonString(oldestLink));
        json.Raw("space", FreeSpaceJson(space));
        json.Raw("settings", options.published ? FieldsJson(options.settings) : "null");
        json.Raw("statistics", counted ? FieldsJson(statistics) : "null");
        if (options.ages)
            json.Raw("ages", ages.json);
        printf("%s\n", json.Text().c_str());
        return kExitOk;
    }
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
    printf("%-13s %s\n", "oldest link", oldestLink.empty() ? "none: pruning walks the tree" : oldestLink.c_str());
    printf("%s", FreeSpaceText(space, options).c_str());
    printf("%-13s %s\n", "settings",
           options.published ? layout::FormatFields(options.settings).c_str()
                             : "not published (the hosts do not share the module's state)");
    printf("%-13s %s\n", "statistics",
           counted ? StatisticsText(statistics).c_str() : "none published: nothing pruned since they were zeroed, "
                                                         "or the hosts do not share the module's state");
    printf("%s", ages.text.c_str());
    return kExitOk;
}

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

int RunStat(const Options& options)
{
    if (options.zero) {
        // Under the cache lock, so that no host adds to the counters midway.
        if (!Start(ArgsFrom(options, DefaultMethod(options))))
            return kExitFailed;
        TakeCacheLock lock(Facade().m_impl->m_ptrCacheLock);
        const std::string link = layout::StatisticsLink(options.ModuleRoot());
        if (unlink(link.c_str()) != 0 && errno != ENOENT)
            return Fail("cannot zero the statistics: " + link + ": " + strerror(errno));
    }
    DefaultCacheSize provider(options.ModuleRoot());
    return PrintStat(options, provider);
}

int RunLs(const Options& options)
{
    std::vector<check::IndexEntry> entries;
    std::string error;
    if (!ReadIndex(options, entries, error))
        return Fail(error);
    PrintEntries(entries, options);
    return kExitOk;
}

namespace {

// With a count of the names read while the index is walked, then a bar
// while the items of its entries are checked.
check::CheckOptions CheckOptionsFrom(const Options& options, ProgressBar& bar)
{
    check::CheckOptions checkOptions;
    checkOptions.moduleRoot = options.ModuleRoot();
    checkOptions.itemDirs = options.itemDirs;
    checkOptions.pruneMode = options.pruneMode;
    checkOptions.maxExamples = options.examples;
    checkOptions.progress = [&bar](uint64_t names) { bar.Count(names); };
    checkOptions.entryProgress = [&bar](uint64_t done, uint64_t total) { bar.Show(done, total); };
    return checkOptions;
}

}  // namespace

int RunCheck(const Options& options)
{
    check::CheckReport report;
    std::string error;
    bool checked = false;
    ProgressBar bar(!options.quiet, "entries");
    if (options.lock) {
        if (!Start(ArgsFrom(options, PRUNE_TRUNCATE)))
            return kExitFailed;
        TakeCacheLock lock(Facade().m_impl->m_ptrCacheLock);
        checked = check::CheckIndex(CheckOptionsFrom(options, bar), report, error);
    } else {
        checked = check::CheckIndex(CheckOptionsFrom(options, bar), report, error);
    }
    bar.Clear();
    if (!checked)
        return Fail(error);
    if (options.json)
        printf("%s\n", CheckJson(report, options.lock).c_str());
    else
        printf("%s%s", report.Format().c_str(),
               options.lock ? "" : "not locked: hosts at work may show as faults (--lock takes the cache lock)\n");
    return report.Clean() ? kExitOk : kExitFailed;
}

int RunRepair(const Options& options)
{
    if (!Start(ArgsFrom(options, PRUNE_TRUNCATE)))
        return kExitFailed;
    check::RepairReport report;
    std::string error;
    ProgressBar bar(!options.quiet, "entries");
    const bool repaired =
        check::RepairIndex(*Facade().m_impl, CheckOptionsFrom(options, bar), options.dryRun, report, error);
    bar.Clear();
    if (!repaired && report.actions.empty())
        return Fail("repair failed: " + error);
    if (options.json) {
        printf("%s\n", RepairJson(report, options.dryRun).c_str());
    } else {
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
    }
    if (!repaired)
        return Fail("repair failed: " + error + LibraryError());
    return report.after.Clean() || options.dryRun ? kExitOk : kExitFailed;
}

namespace {

struct ModuleSummary {
    uint32_t module = 0;
    uint64_t size = 0;
    size_t items = 0;
    bool hasOldest = false;
    uint64_t oldestAge = 0;  // seconds
};

// The modules under the cache head: numbered directories with a T.
std::vector<uint32_t> ModuleNumbers(const std::string& cmDir)
{
    std::vector<uint32_t> numbers;
    DIR* dir = opendir(cmDir.c_str());
    if (dir == nullptr)
        return numbers;
    while (struct dirent* entry = readdir(dir)) {
        struct stat status;
        if (layout::IsNumberName(entry->d_name) &&
            stat(layout::TimeTableDir(cmDir + "/" + entry->d_name).c_str(), &status) == 0 && S_ISDIR(status.st_mode))
            numbers.push_back(layout::NameNumber(entry->d_name));
    }
    closedir(dir);
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

}  // namespace

int RunModules(const Options& options)
{
    struct stat status;
    if (stat(options.cacheDir.c_str(), &status) != 0) {
        const int error = errno;
        return Fail("no cache directory " + options.cacheDir + ": " + strerror(error),
                    error == ENOENT || error == ENOTDIR ? kExitNoModule : kExitFailed);
    }
    const uint64_t now = static_cast<uint64_t>(time(nullptr));
    std::vector<ModuleSummary> modules;
    int failed = kExitOk;
    for (const uint32_t number : ModuleNumbers(options.cacheDir + "/" + layout::kModuleDirName)) {
        ModuleSummary summary;
        summary.module = number;
        const std::string root = layout::ModuleRoot(options.cacheDir, number);
        summary.size = layout::ParseSizeText(ReadLinkOr(layout::SizeLink(root), ""));
        std::vector<check::IndexEntry> entries;
        std::string error;
        if (!check::ListEntries(root, entries, error))
            failed = Fail(error);
        summary.items = entries.size();
        summary.hasOldest = !entries.empty();
        if (summary.hasOldest)
            summary.oldestAge = now - std::min(now, entries.front().timeKey >> 8);
        modules.push_back(summary);
    }
    if (options.json) {
        std::vector<std::string> values;
        for (const ModuleSummary& summary : modules)
            values.push_back(JsonObject()
                                 .Num("module", summary.module)
                                 .Num("size", summary.size)
                                 .Num("items", summary.items)
                                 .Raw("oldestAge", summary.hasOldest ? std::to_string(summary.oldestAge) : "null")
                                 .Text());
        printf("%s\n", JsonArray(values, true).c_str());
        return failed;
    }
    printf("%10s %12s %8s  %s\n", "MODULE", "SIZE", "ITEMS", "OLDEST");
    for (const ModuleSummary& summary : modules) {
        const std::string size = options.raw ? std::to_string(summary.size) : Human(summary.size);
        printf("%10u %12s %8zu  %s\n", summary.module, size.c_str(), summary.items,
               summary.hasOldest ? (AgeText(summary.oldestAge) + " old").c_str() : "-");
    }
    return failed;
}

namespace {

PruneMethod MethodFor(const Options& options, const ItemState& item)
{
    if (options.hasMethod)
        return options.method;
    return item.HasMethod() ? static_cast<PruneMethod>(item.method) : DefaultMethod(options);
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
    if (lstat(ParentOf(before.path).c_str(), &status) != 0)
        return "its file was unlinked with its emptied directories";
    return "its file was unlinked";
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

const std::vector<Command>& Commands()
{
    static const std::vector<Command> kCommands = {
        {"modules", "modules [--json] [--raw]", "the modules under the cache directory",
         "Lists the modules under DIR/CM with their size total, item count and the\n"
         "age of their oldest item; changes nothing. Needs --cache-dir only.\n",
         {"--json", "--raw"}, 0, false, true, RunModules},
        {"stat", "stat [--ages] [--svg FILE] [--json] [--zero]",
         "module size, entries, oldest and latest, free space, settings, statistics",
         "Reads the index and the file system; changes nothing but with --zero. The\n"
         "reserves shown are the module's published settings (see settings), or\n"
         "--bytes-min-free and --inodes-min-free percent of the file system. The\n"
         "settings and the statistics (items and bytes pruned, by reason; requests\n"
         "refused; the last prune and how long its item had been cached) are what\n"
         "hosts that share the module's state publish. --zero removes the\n"
         "statistics, under the cache lock, before showing the rest.\n"
         "--ages adds how old the items are (from the time keys of the index): the\n"
         "oldest item's age, a histogram of item ages and one of their sizes as\n"
         "filed; --svg FILE also draws the two histograms into FILE.\n",
         {"--json", "--ages", "--svg", "--zero"}, 0, true, false, RunStat},
        {"ls", "ls [--json] [--raw]", "the items, oldest first: time, size, prune method, path",
         "Reads the index; changes nothing. SIZE is the size the item was last filed\n"
         "with, human-readable unless --raw. --json prints an array of objects\n"
         "(time, key, size, method, item, entry) for scripts.\n",
         {"--json", "--raw"}, 0, true, false, RunLs},
        {"check", "check [--lock] [--items DIR]... [--examples N] [--json]",
         "checks the index; exit 1 when it finds faults",
         "Reads the index, the record of every indexed item and the records in the\n"
         "directories of the indexed items and under each --items DIR; changes\n"
         "nothing. Prints each kind of fault found with a count and the first N\n"
         "examples (default 5). Without --lock it takes no lock and says so: hosts\n"
         "at work may then show as faults; --lock takes the cache lock.\n",
         {"--examples", "--lock", "--json", "--quiet"}, 0, true, false, RunCheck},
        {"repair", "repair [--dry-run] [--items DIR]... [--json]", "mends what check finds, under the cache lock",
         "Under the cache lock: removes what does not belong in the index (malformed\n"
         "entries, links at the wrong depth, stray files, empty directories), older\n"
         "duplicate entries and entries whose item has no record (leaving the file\n"
         "alone); points records at their item's entry; files again, at the young\n"
         "end, an item whose record names a missing entry and whose file is there;\n"
         "removes the other records that lead nowhere; drops a stale oldest link;\n"
         "rewrites the size total. Says what it did, then checks again. --dry-run\n"
         "says what it would do and changes nothing.\n",
         {"--dry-run", "--examples", "--json", "--quiet"}, 0, true, false, RunRepair},
        {"add", "add ITEM [--size N] [--method M] [--create]", "files an item (makes room first)",
         "UpdateItem(ITEM, N): files the item at the young end of the index with\n"
         "size N (default: its file's size now), pruning the oldest items first when\n"
         "the file system is short of room. M is its prune method: truncate, unlink\n"
         "or unlink-recurse; an item in the cache keeps its own unless M is given,\n"
         "a new one gets truncate. Refused, with nothing changed: a directory, a\n"
         "path under DIR/CM, an item whose record leads into another module, a size\n"
         "of 0, and a size that with the byte reserve is more than the file system\n"
         "holds. A module that is not there is made only with --create.\n",
         {"--size", "--method", "--create"}, 1, true, false, RunAdd},
        {"update", "update ITEM [--size N] [--method M] [--create]",
         "files an item afresh, or changes its prune method",
         "As add. With --method alone, changes the prune method of an item in the\n"
         "cache in place, leaving its place in the time order.\n",
         {"--size", "--method", "--create"}, 1, true, false, RunAdd},
        {"delete", "delete ITEM [--force]", "takes an item out of the cache and prunes its file",
         "DeleteFromCache(ITEM): removes its entry and record and prunes its file by\n"
         "its prune method, and says what became of the file. A file that is not in\n"
         "the cache is refused; --force truncates it all the same.\n",
         {"--force"}, 1, true, false, RunDelete},
        {"hide", "hide ITEM", "takes an item out of the cache, leaving its file",
         "HideItem(ITEM): removes its entry and record; the file stays as it is and\n"
         "is never pruned until it is given back with unhide. An item that is not\n"
         "in the cache is refused.\n",
         {}, 1, true, false, RunHide},
        {"unhide", "unhide ITEM [--size N] [--method M] [--create]", "gives a hidden item back to the cache",
         "UnHideItem(ITEM, N): files the item afresh with size N (default: its\n"
         "file's size now), refusing what add refuses.\n",
         {"--size", "--method", "--create"}, 1, true, false, RunAdd},
        {"prune", "prune --bytes N | --to-size SIZE | --older-than AGE [--dry-run] [--json] [--verbose]",
         "prunes the oldest items: to make room, to a size, or by age",
         "One of:\n"
         "  --bytes N         CreateSpace(N): prunes until the file system has more\n"
         "                    than N bytes plus the --bytes-min-free reserve free,\n"
         "                    and more free inodes than the --inodes-min-free reserve\n"
         "  --to-size SIZE    prunes until the module's size total is SIZE or less\n"
         "  --older-than AGE  prunes every item filed more than AGE ago (7d, 12h, 30m)\n"
         "The last two take the cache lock and prune with the library's own steps,\n"
         "oldest first (in set mode a whole entry directory at a time). Sizes take\n"
         "K, M, G, T or KiB, MiB, GiB, TiB (powers of 1024). An N that with the\n"
         "reserve is more than the file system holds is refused before anything is\n"
         "pruned. Prints a summary: items, bytes as filed, what the file system\n"
         "gained, free bytes before and after; --verbose lists the items. --dry-run\n"
         "says what it would prune (not with --bytes).\n",
         {"--bytes", "--to-size", "--older-than", "--dry-run", "--json", "--verbose", "--quiet"}, 0, true, false,
         RunPrune},
        {"clear", "clear --yes | --dry-run [--json] [--verbose]", "prunes every item of the module",
         "Under the cache lock, prunes every item, oldest first, each by its prune\n"
         "method. Asks for --yes; --dry-run says what it would prune.\n",
         {"--yes", "--dry-run", "--json", "--verbose", "--quiet"}, 0, true, false, RunClear},
        {"maintain",
         "maintain [--once] [--low PCT] [--high PCT] [--interval SECONDS] [--slice-items N] [--slice-ms MS]",
         "keeps the module within its reserves, cap and age limit, off the hosts' path",
         "Runs in the foreground until SIGTERM or SIGINT (for a service manager), or\n"
         "with --once looks once and exits (for cron). Every --interval seconds\n"
         "(default 1) it looks at the file system: when free bytes or inodes are at\n"
         "or below the reserves plus --low percent of the file system (default 2),\n"
         "the module's total is within --low percent of its cap, or an item is older\n"
         "than its age limit, it prunes, oldest first, until they are above the\n"
         "reserves plus --high percent (default 5), in slices: each holds the cache\n"
         "lock for at most --slice-items items (default 4) or --slice-ms\n"
         "milliseconds (default 1), then pauses as long, so that hosts wait for a\n"
         "slice rather than prune themselves. One line per episode: items, bytes,\n"
         "slices, duration, longest lock hold. The module's published settings\n"
         "(shareModuleState) give the reserves, cap and age limit, or\n"
         "--bytes-min-free and --inodes-min-free do. One maintainer per module: a\n"
         "second refuses to start.\n",
         {"--once", "--low", "--high", "--interval", "--slice-items", "--slice-ms"}, 0, true, false, RunMaintain},
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
         {"--keep"}, 0, false, false, RunDemo},
    };
    return kCommands;
}

}  // namespace cmtool
