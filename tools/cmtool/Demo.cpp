// demo: a cache at work on a small file system made for the purpose (a
// tmpfs when run as root), from scratch, with what pruning did shown step
// by step.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cachemanager/CacheManagerImpl.h"
#include "tools/common/FileOps.h"
#include "tools/cmtool/Cache.h"
#include "tools/cmtool/Commands.h"
#include "tools/cmtool/Text.h"

namespace cmtool {

namespace check = cm::check;

namespace {

const uint64_t kDemoBytes = 4ull << 20;
const int kDemoReservePercent = 25;
const int kDemoInodeReservePercent = 5;

// Without root, a provider that plays a small file system: its files, each
// rounded up to whole 4 KiB pages, are what is used.
class CountingSize : public CacheSize {
public:
    explicit CountingSize(const std::string& dir) : m_dir(dir) {}
    bool GetCacheFreeSpace(uint64_t& bytes) override
    {
        uint64_t used = 0;
        uint64_t files = 0;
        Count(m_dir, used, files);
        bytes = used >= kDemoBytes ? 0 : kDemoBytes - used;
        return true;
    }
    bool GetCacheTotalSpace(uint64_t& bytes) override
    {
        bytes = kDemoBytes;
        return true;
    }
    bool GetCacheTotalInodes(uint64_t& inodes) override
    {
        inodes = kInodes;
        return true;
    }
    bool GetCacheFreeInodes(uint64_t& inodes) override
    {
        uint64_t used = 0;
        uint64_t files = 0;
        Count(m_dir, used, files);
        inodes = files >= kInodes ? 0 : kInodes - files;
        return true;
    }

private:
    static constexpr uint64_t kInodes = 4096;

    static void Count(const std::string& dir, uint64_t& used, uint64_t& files)
    {
        DIR* handle = opendir(dir.c_str());
        if (handle == nullptr)
            return;
        std::vector<std::string> subdirs;
        while (struct dirent* entry = readdir(handle)) {
            if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
                continue;
            const std::string path = dir + "/" + entry->d_name;
            struct stat status;
            if (lstat(path.c_str(), &status) != 0)
                continue;
            ++files;
            if (S_ISDIR(status.st_mode))
                subdirs.push_back(path);
            else if (S_ISREG(status.st_mode))
                used += (static_cast<uint64_t>(status.st_size) + 4095) / 4096 * 4096;
        }
        closedir(handle);
        for (const std::string& subdir : subdirs)
            Count(subdir, used, files);
    }

    std::string m_dir;
};

bool MakeDirs(const std::string& dir) { return cm::fileops::MakeDirs(dir); }

bool WriteItem(const std::string& path, uint64_t size)
{
    MakeDirs(path.substr(0, path.rfind('/')));
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    std::vector<char> block(65536, 'x');
    bool ok = true;
    for (uint64_t left = size; ok && left > 0;) {
        const size_t chunk = left < block.size() ? static_cast<size_t>(left) : block.size();
        const ssize_t written = write(fd, block.data(), chunk);
        ok = written > 0;
        left -= ok ? static_cast<uint64_t>(written) : 0;
    }
    return close(fd) == 0 && ok;
}

void RemoveTree(const std::string& path)
{
    struct stat status;
    if (lstat(path.c_str(), &status) != 0)
        return;
    if (S_ISDIR(status.st_mode)) {
        if (DIR* dir = opendir(path.c_str())) {
            std::vector<std::string> names;
            while (struct dirent* entry = readdir(dir))
                if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
                    names.push_back(entry->d_name);
            closedir(dir);
            for (const std::string& name : names)
                RemoveTree(path + "/" + name);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

// One item of the workload: what the host keeps, and how it is pruned.
struct DemoItem {
    std::string name;
    uint64_t size;
    PruneMethod method;
};

// Media clips are unlinked when pruned, thumbnails truncated (the host keeps
// their names), map tiles unlinked with their emptied directories. The kinds
// take turns, so that each of them is among the oldest at some point.
std::vector<DemoItem> DemoItems()
{
    std::vector<DemoItem> items;
    for (int i = 1; i <= 10; ++i) {
        const std::string number = (i < 10 ? "0" : "") + std::to_string(i);
        items.push_back(DemoItem{"media/clip" + number + ".bin", static_cast<uint64_t>(160 + (i * 37) % 160) * 1024,
                                 PRUNE_UNLINK});
        items.push_back(DemoItem{"tiles/z" + std::to_string(i % 3) + "/x" + std::to_string(i) + "/tile.dat",
                                 static_cast<uint64_t>(48 + 8 * (i % 4)) * 1024, PRUNE_UNLINK_RECURSE});
        if (i % 2 == 0)
            items.push_back(DemoItem{"thumbs/t" + number + ".jpg", static_cast<uint64_t>(12 + 4 * i) * 1024,
                                     PRUNE_TRUNCATE});
    }
    return items;
}

struct DemoStep {
    size_t item;
    bool grow;  // an update that grows the item; otherwise add or re-read
};

// A fixed, varied order: mostly new items, some re-read (which moves them to
// the young end), some grown.
std::vector<DemoStep> DemoSteps(size_t itemCount)
{
    std::vector<DemoStep> steps;
    uint32_t state = 20240601;
    size_t next = 0;
    for (int step = 0; step < 48; ++step) {
        state = state * 1103515245u + 12345u;
        const uint32_t roll = (state >> 16) % 10;
        if (next < itemCount && (roll < 6 || step < 6)) {
            steps.push_back(DemoStep{next++, false});
        } else {
            state = state * 1103515245u + 12345u;
            const size_t pick = next == 0 ? 0 : (state >> 16) % next;
            steps.push_back(DemoStep{pick, roll >= 8});
        }
    }
    return steps;
}

struct DemoPruned {
    check::IndexEntry entry;
    int step;
    std::string outcome;  // what pruning left of the item's file
};

std::string Outcome(const std::string& item)
{
    struct stat status;
    if (lstat(item.c_str(), &status) == 0)
        return status.st_size == 0 ? "truncated, name kept" : "file still there";
    const std::string dir = item.substr(0, item.rfind('/'));
    return lstat(dir.c_str(), &status) == 0 ? "unlinked" : "unlinked with its emptied dirs";
}

void PrintStatistics()
{
    boost::shared_ptr<CLogWriterInterface> saved = g_ptrLogWriter;
    boost::shared_ptr<LineCollector> collector(new LineCollector(kLibraryNoticeLevel));
    g_ptrLogWriter = collector;
    Facade().PrintStats();
    g_ptrLogWriter = saved;
    // The library's table is laid out with tabs; line it up.
    for (const std::string& line : collector->m_lines) {
        std::vector<std::string> fields;
        size_t start = 0;
        while (start <= line.size()) {
            const size_t tab = line.find('\t', start);
            const std::string field = line.substr(start, tab == std::string::npos ? std::string::npos : tab - start);
            if (!field.empty())
                fields.push_back(field);
            if (tab == std::string::npos)
                break;
            start = tab + 1;
        }
        if (fields.size() == 4)
            printf("  %-14s %8s %16s %16s\n", fields[0].c_str(), fields[1].c_str(), fields[2].c_str(),
                   fields[3].c_str());
    }
}

// The demo's directory, and the tmpfs on it: unmounted and removed on every
// way out of the demo, unless kept.
struct DemoPlace {
    DemoPlace(const std::string& made, bool keepIt) : dir(made), keep(keepIt) {}
    ~DemoPlace()
    {
        if (keep)
            return;
        fflush(stdout);
        if (mounted && umount2(dir.c_str(), MNT_DETACH) != 0)
            fprintf(stderr, "cmtool: cannot unmount %s: %s\n", dir.c_str(), strerror(errno));
        else
            RemoveTree(dir);
    }
    DemoPlace(const DemoPlace&) = delete;
    DemoPlace& operator=(const DemoPlace&) = delete;

    bool Mount()
    {
        const std::string mountOptions = "size=" + std::to_string(kDemoBytes) + ",nr_inodes=4096,mode=0755";
        mounted = mount("tmpfs", dir.c_str(), "tmpfs", 0, mountOptions.c_str()) == 0;
        return mounted;
    }

    std::string dir;
    bool keep;
    bool mounted = false;
};

}  // namespace

int RunDemo(const Options& options)
{
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/cmtool-demo.XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr)
        return Fail("cannot make a temporary directory from " + pattern + ": " + strerror(errno));
    DemoPlace place(buffer.data(), options.keep);
    const std::string& dir = place.dir;

    std::string mountError;
    if (geteuid() == 0 && !place.Mount())
        mountError = strerror(errno);
    const bool mounted = place.mounted;
    CountingSize counting(dir);
    Options demo = options;
    demo.cacheDir = dir;
    demo.module = options.hasModule ? options.module : 7;
    demo.bytesMinFree = kDemoReservePercent;
    demo.inodesMinFree = kDemoInodeReservePercent;
    demo.pruneMode = CM_PRUNE_ITEM;
    CacheArgs args = ArgsFrom(demo, PRUNE_UNLINK);
    if (!mounted)
        args.cacheSize = &counting;

    printf("cmtool demo: a cache for module %u in %s\n", demo.module, dir.c_str());
    if (mounted)
        printf("  on a %s tmpfs: the library's own size provider asks the file system\n", Human(kDemoBytes).c_str());
    else
        printf("  on a %s file system played by counting the files under it (%s)\n", Human(kDemoBytes).c_str(),
               geteuid() == 0 ? ("no tmpfs: " + mountError).c_str() : "run as root for a real tmpfs");
    printf("  keeping %d%% of the bytes and %d%% of the inodes free; items are filed before they are written,\n"
           "  so the library makes room for them first\n\n",
           kDemoReservePercent, kDemoInodeReservePercent);
    if (!Start(args))
        return kExitFailed;
    CacheManagerImpl& manager = *Facade().m_impl;
    CacheSize& provider = *manager.m_cacheSize;

    const std::vector<DemoItem> items = DemoItems();
    const std::vector<DemoStep> steps = DemoSteps(items.size());
    std::vector<uint64_t> sizes(items.size(), 0);
    std::vector<DemoPruned> pruned;
    // Keys of our own, one step every 150 s over the last two hours, so that
    // the times read like a working day rather than one second.
    const uint64_t start = static_cast<uint64_t>(time(nullptr)) - steps.size() * 150;
    printf("%4s  %-6s  %-26s %9s  %-14s %10s  %s\n", "STEP", "OP", "ITEM", "SIZE", "METHOD", "FREE AFTER", "PRUNED");
    int failures = 0;
    for (size_t i = 0; i < steps.size(); ++i) {
        const DemoItem& item = items[steps[i].item];
        const std::string path = dir + "/items/" + item.name;
        const bool inCache = !RecordOf(path).empty();
        const char* op = !inCache ? (sizes[steps[i].item] == 0 ? "add" : "re-add") : steps[i].grow ? "grow" : "read";
        uint64_t size = item.size;
        if (inCache)
            size = sizes[steps[i].item] + (steps[i].grow ? item.size / 2 : 0);
        const uint64_t key = ((start + i * 150) << 8) | (i % 10);

        std::vector<check::IndexEntry> before;
        std::vector<check::IndexEntry> after;
        std::string error;
        check::ListEntries(manager.m_moduleRoot, before, error);
        // A read files the item afresh at its present size; an add or a grow
        // makes room for the new size before the bytes are written.
        bool ok = Facade().UpdateItem(path, false, inCache && !steps[i].grow ? 0 : size, key);
        if (ok && (!inCache || steps[i].grow))
            ok = WriteItem(path, size);
        // A new entry carries the default method: the host sets its own again.
        if (ok && item.method != PRUNE_UNLINK)
            ok = Facade().UpdateItem(path, item.method);
        if (ok)
            sizes[steps[i].item] = size;
        else
            ++failures;
        check::ListEntries(manager.m_moduleRoot, after, error);
        const std::vector<check::IndexEntry> gone = Pruned(before, after, path);
        for (const check::IndexEntry& entry : gone)
            pruned.push_back(DemoPruned{entry, static_cast<int>(i + 1), Outcome(entry.item)});
        uint64_t free = 0;
        provider.GetCacheFreeSpace(free);
        const std::string outcome =
            !ok ? "FAILED" : gone.empty() ? "" : std::to_string(gone.size()) + (gone.size() == 1 ? " item" : " items");
        char row[512];
        snprintf(row, sizeof row, "%4zu  %-6s  %-26s %9s  %-14s %10s  %s", i + 1, op, item.name.c_str(),
                 Human(size).c_str(), MethodName(item.method), Human(free).c_str(), outcome.c_str());
        std::string line = row;
        line.erase(line.find_last_not_of(' ') + 1);
        printf("%s\n", line.c_str());
    }

    uint64_t prunedBytes = 0;
    for (const DemoPruned& entry : pruned)
        prunedBytes += entry.entry.storedSize;
    printf("\nPruned to keep the reserve: %zu items, %s, oldest first\n", pruned.size(), Human(prunedBytes).c_str());
    printf("%4s  %-23s %9s  %-14s  %-26s %s\n", "STEP", "FILED AT", "SIZE", "METHOD", "ITEM", "NOW");
    for (const DemoPruned& entry : pruned) {
        const std::string name = entry.entry.item.substr(dir.size() + std::string("/items/").size());
        printf("%4d  %-23s %9s  %-14s  %-26s %s\n", entry.step, KeyTime(entry.entry.timeKey).c_str(),
               Human(entry.entry.storedSize).c_str(), MethodName(entry.entry.method), name.c_str(),
               entry.outcome.c_str());
    }

    printf("\n$ cmtool --cache-dir %s --module %u ls\n", dir.c_str(), demo.module);
    RunLs(demo);
    printf("\n$ cmtool --cache-dir %s --module %u --bytes-min-free %d --inodes-min-free %d stat\n", dir.c_str(),
           demo.module, kDemoReservePercent, kDemoInodeReservePercent);
    PrintStat(demo, provider);
    printf("\n$ cmtool --cache-dir %s --module %u check --items %s/items\n", dir.c_str(), demo.module, dir.c_str());
    demo.itemDirs.push_back(dir + "/items");
    const int checked = RunCheck(demo);
    printf("\nStatistics of this run (microseconds):\n");
    PrintStatistics();

    if (options.keep)
        printf("\nkept %s%s\n", dir.c_str(), mounted ? " (a tmpfs: umount it when done)" : "");
    else
        printf("\nremoving %s\n", dir.c_str());
    if (failures != 0)
        return Fail(std::to_string(failures) + " demo steps failed" + LibraryError());
    return checked;
}

}  // namespace cmtool
