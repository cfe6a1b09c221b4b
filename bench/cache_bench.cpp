// cache_bench: the library against the floor of its own design and against a
// cache that keeps no index and rescans its files to make room.
//
//   cache_bench [--long] [--tmpfs] [--plot FILE] [--only LIST] [--sizes LIST] [--keep] [DIR]
//
// Works in a fresh directory made under DIR (default /var/tmp, on the root
// file system; --tmpfs mounts a tmpfs there first) and removes it at the end.
// Prints one table with every figure, its reference and their ratio, and a
// PASS/FAIL line per bar; writes an SVG plot of the pruning cost against the
// number of items. The quick run (default) takes about a minute on a tmpfs or
// a journalled ext4 (far longer where creating inodes is slow, see the note
// it prints); --long repeats every measure more often. --only runs some of
// the parts: a comma-separated list of steady, add, prune, memory, procs, policies, latency;
// --sizes the index sizes of the pruning part.
//
// No log writer is installed: the library's log calls cost what they cost a
// host whose writer filters them out. Machines are shared and noisy, so every
// figure is a median of several rounds, and the library and its reference
// run in alternating rounds so that both see the same noise.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <set>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "BenchSupport.h"
#include "Floor.h"
#include "Latency.h"
#include "Plot.h"
#include "Rescan.h"
#include "cachemanager/CacheManager.h"
#include "cachemanager/CacheManagerImpl.h"
#include "host/LogWriter.h"

using namespace bench;

namespace {

// Every item file is this large (sparse): what pruning one item frees.
const uint64_t kItemSize = 4096;
// Sizes that re-updates alternate between, so every update changes the size.
uint64_t NewSize(uint64_t op) { return 5000 + (op & 1) * 1000; }
// A stride that visits every item of an index whose size it does not divide.
const uint64_t kStride = 7919;

struct Config {
    bool longRun = false;
    uint64_t steadyItems = 5000;
    int rounds = 7;
    uint64_t batch = 2000;
    std::vector<uint64_t> pruneSizes{1000, 10000, 100000};
    std::vector<int> pruneReps{5, 2, 1};
    std::vector<int> rescanCalls{15, 9, 5};
    std::vector<uint64_t> memorySizes{1000, 100000};
    uint64_t memoryOps = 100000;
    std::vector<int> processCounts{1, 2, 4};
    int processRounds = 5;
    double processSeconds = 0.5;
    uint64_t processItems = 4000;
    double latencySeconds = 3;

    void MakeLong()
    {
        longRun = true;
        steadyItems = 10000;
        rounds = 21;
        batch = 4000;
        pruneSizes = {1000, 10000, 100000, 1000000};
        pruneReps = {11, 7, 5, 1};
        rescanCalls = {31, 15, 9, 3};
        latencySeconds = 10;
        processRounds = 11;
        processSeconds = 2.0;
    }
};

struct PruneAt {
    uint64_t n = 0;
    IndexShape shape;
    double fillRate = 0;
    double itemUs = 0;    // per pruned item, item mode
    double setUs = 0;     // per pruned item, set mode
    double setItemsPerCall = 0;
    double rescanUs = 0;  // per room for one item
    double initUs = 0;    // InitCacheManager on the filled module
    double emptyInitUs = 0;  // ...and on an empty one
};

struct Results {
    bool steady = false, add = false, prune = false, memory = false, procs = false, policies = false;
    double steadyLib = 0, steadyFloor = 0, steadyRatio = 0;
    double addLib = 0, addFloor = 0, addRatio = 0;
    std::vector<PruneAt> pruneAt;
    std::vector<long> rssKiB;
    std::vector<double> procOps;
    std::vector<double> procReplayOps;  // the raw replay under the same lock
    double policyOps = 0, defaultOps = 0, policyRatio = 0;  // steady re-updates with and without the policies
    double capUs = 0, reserveUs = 0;                         // per item pruned for the cap, for the reserve
    bool latency = false;
    std::vector<LatencyRun> latencyRuns;
    std::string latencySkipped;
};

void Progress(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Progress(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    fprintf(stderr, "  ... ");
    vfprintf(stderr, format, args);
    fprintf(stderr, "\n");
    va_end(args);
}

std::string Thousands(double value)
{
    char digits[32];
    snprintf(digits, sizeof digits, "%.0f", value);
    std::string text = digits;
    for (int i = static_cast<int>(text.size()) - 3; i > 0 && text[i - 1] != '-'; i -= 3)
        text.insert(static_cast<size_t>(i), ",");
    return text;
}

std::string Fixed(double value, int decimals)
{
    char text[32];
    snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// --- 1 and 2: one operation against its raw replay ----------------------------

// Runs the library's batch and the floor's batch in alternating order, rounds
// times after one warm-up each; returns the medians (ops/s) and the median of
// the per-round ratios.
template <typename LibBatch, typename FloorBatch>
void Alternate(const Config& config, LibBatch lib, FloorBatch floor, double& libOps, double& floorOps,
               double& ratio)
{
    lib();
    floor();
    std::vector<double> libRates, floorRates, ratios;
    for (int round = 0; round < config.rounds; ++round) {
        double libRate, floorRate;
        if (round % 2 == 0) {
            libRate = lib();
            floorRate = floor();
        } else {
            floorRate = floor();
            libRate = lib();
        }
        libRates.push_back(libRate);
        floorRates.push_back(floorRate);
        ratios.push_back(libRate / floorRate);
    }
    libOps = Median(libRates);
    floorOps = Median(floorRates);
    ratio = Median(ratios);
}

void RunSteady(const Config& config, const std::string& base, Results& results)
{
    fprintf(stderr, "[1] steady-state UpdateItem on %" PRIu64 " items against its raw replay\n",
            config.steadyItems);
    ScriptedSize libSize, floorSize;
    CacheManager& lib = OpenCache(base + "/steady/lib/cache", libSize, CM_PRUNE_ITEM);
    CacheManager& floorFiller = OpenCache(base + "/steady/floor/cache", floorSize, CM_PRUNE_ITEM);
    FillIndex(lib, base + "/steady/lib/items", config.steadyItems, kItemSize);
    FillIndex(floorFiller, base + "/steady/floor/items", config.steadyItems, kItemSize);
    FloorReplay floor(base + "/steady/floor/cache");

    std::vector<std::string> libItems, floorItems, floorRecords;
    for (uint64_t i = 0; i < config.steadyItems; ++i) {
        libItems.push_back(ItemPath(base + "/steady/lib/items", i));
        floorItems.push_back(ItemPath(base + "/steady/floor/items", i));
        floorRecords.push_back(RecordPath(floorItems.back()));
    }
    uint64_t libOp = 0, floorOp = 0;
    const uint64_t n = config.steadyItems;
    auto libBatch = [&]() {
        const double start = Now();
        for (uint64_t k = 0; k < config.batch; ++k, ++libOp) {
            if (!lib.UpdateItem(libItems[libOp * kStride % n], NewSize(libOp), 0))
                Die("steady-state UpdateItem failed");
        }
        return static_cast<double>(config.batch) / (Now() - start);
    };
    auto floorBatch = [&]() {
        const double start = Now();
        for (uint64_t k = 0; k < config.batch; ++k, ++floorOp) {
            const uint64_t i = floorOp * kStride % n;
            if (!floor.Update(floorItems[i].c_str(), floorRecords[i].c_str(), NewSize(floorOp)))
                Die("steady-state replay failed");
        }
        return static_cast<double>(config.batch) / (Now() - start);
    };
    Alternate(config, libBatch, floorBatch, results.steadyLib, results.steadyFloor, results.steadyRatio);
    results.steady = true;
}

void RunAdd(const Config& config, const std::string& base, Results& results)
{
    fprintf(stderr, "[2] adding new items against the raw replay\n");
    ScriptedSize libSize, floorSize;
    CacheManager& lib = OpenCache(base + "/add/lib/cache", libSize, CM_PRUNE_ITEM);
    OpenCache(base + "/add/floor/cache", floorSize, CM_PRUNE_ITEM);  // makes the module
    FloorReplay floor(base + "/add/floor/cache");
    const uint64_t total = static_cast<uint64_t>(config.rounds + 1) * config.batch;
    MakeItemDirs(base + "/add/lib/items", total);
    MakeItemDirs(base + "/add/floor/items", total);

    uint64_t libNext = 0, floorNext = 0;
    auto libBatch = [&]() {
        std::vector<std::string> items;
        for (uint64_t k = 0; k < config.batch; ++k)
            items.push_back(ItemPath(base + "/add/lib/items", libNext++));
        const double start = Now();
        for (const std::string& item : items)
            if (!lib.UpdateItem(item, kItemSize, 0))
                Die("adding UpdateItem failed");
        return static_cast<double>(config.batch) / (Now() - start);
    };
    auto floorBatch = [&]() {
        std::vector<std::string> items, records;
        for (uint64_t k = 0; k < config.batch; ++k) {
            items.push_back(ItemPath(base + "/add/floor/items", floorNext++));
            records.push_back(RecordPath(items.back()));
        }
        const double start = Now();
        for (size_t k = 0; k < items.size(); ++k)
            if (!floor.Add(items[k].c_str(), records[k].c_str(), kItemSize))
                Die("adding replay failed");
        return static_cast<double>(config.batch) / (Now() - start);
    };
    Alternate(config, libBatch, floorBatch, results.addLib, results.addFloor, results.addRatio);
    results.add = true;
}

// --- 3: pruning ----------------------------------------------------------------

// Items pruned in each measured run, at every N: the smallest index holds no
// more. Pruning all of a large index would not compare like with like: the
// kernel frees inodes and dentries late (after an RCU grace period), so a run
// of a few milliseconds leaves that work to after its clock stops while a run
// of seconds pays for most of it. (Pruning the oldest 1,000 items of 100,000
// costs what pruning all of 1,000 does; pruning all 100,000 costs a third
// more per item, on a tmpfs, in either prune mode.)
const uint64_t kPruneWindow = 1000;

// Windows measured in one filled index, one after the other from the oldest
// end, while the index holds enough items: more samples for the median.
const int kWindowsPerIndex = 5;

// The median time of InitCacheManager on a module, over several managers.
double InitMicros(const std::string& cacheDir, ScriptedSize& size)
{
    std::vector<double> times;
    for (int round = 0; round < 9; ++round) {
        const double start = Now();
        OpenCache(cacheDir, size, CM_PRUNE_ITEM);
        times.push_back((Now() - start) * 1e6);
    }
    return Median(times);
}

// Fills an index of n items and prunes its oldest items with CreateSpace
// calls that each must make room for one item, kPruneWindow items (or all n)
// at a time. Adds microseconds per pruned item of each window to perItem.
void PruneRun(const std::string& dir, uint64_t n, int pruneMode, PruneAt* describe, std::vector<double>& perItem)
{
    ScriptedSize size;
    CacheManager& cache = OpenCache(dir + "/cache", size, pruneMode);
    const double fillRate = FillIndex(cache, dir + "/items", n, kItemSize);
    if (describe != nullptr) {
        describe->shape = MeasureIndex(dir + "/cache");
        describe->fillRate = fillRate;
        // Initialisation reads nothing of the index: it costs what it costs
        // on an empty module.
        describe->initUs = InitMicros(dir + "/cache", size);
        describe->emptyInitUs = InitMicros(dir + "/empty", size);
    }
    usleep(200000);  // what the filling left the kernel to do is done
    const uint64_t window = std::min(n, kPruneWindow);
    const std::string newItem = dir + "/items/new";
    CacheManagerImpl& impl = *cache.m_impl;
    const uint64_t first = impl.m_pruneItemCount;
    uint64_t calls = 0;
    for (int w = 0; w < kWindowsPerIndex && impl.m_pruneItemCount - first + window <= n; ++w) {
        const uint64_t before = impl.m_pruneItemCount;
        double seconds = 0;
        while (impl.m_pruneItemCount - before < window) {
            size.shortAnswers = 1;
            const double start = Now();
            const bool ok = cache.CreateSpace(newItem, kItemSize);
            seconds += Now() - start;
            if (!ok || size.shortAnswers != 0 || ++calls > n)
                Die("CreateSpace did not prune as scripted (N=%" PRIu64 ", call %" PRIu64 ")", n, calls);
        }
        const uint64_t pruned = impl.m_pruneItemCount - before;
        if (pruneMode == CM_PRUNE_ITEM && pruned != window)
            Die("pruned %" PRIu64 " items, not %" PRIu64, pruned, window);
        perItem.push_back(seconds * 1e6 / static_cast<double>(pruned));
    }
    if (pruneMode == CM_PRUNE_SET && describe != nullptr)
        describe->setItemsPerCall = static_cast<double>(impl.m_pruneItemCount - first) / static_cast<double>(calls);
    RemoveTree(dir);
}

double RescanRun(const std::string& dir, uint64_t n, int calls)
{
    MakeItemDirs(dir, n);
    for (uint64_t i = 0; i < n; ++i)
        MakeSparseFile(ItemPath(dir, i), kItemSize);
    RescanCache rescan(dir);
    std::vector<double> perItem;
    for (int call = 0; call < calls; ++call) {
        const double start = Now();
        const size_t deleted = rescan.MakeRoom(kItemSize);
        const double seconds = Now() - start;
        if (deleted == 0)
            Die("the rescanning baseline deleted nothing");
        perItem.push_back(seconds * 1e6 / static_cast<double>(deleted));
    }
    RemoveTree(dir);
    return Median(perItem);
}

void RunPrune(const Config& config, const std::string& base, Results& results)
{
    fprintf(stderr, "[3] pruning to make room for one item at a time\n");
    for (size_t s = 0; s < config.pruneSizes.size(); ++s) {
        const uint64_t n = config.pruneSizes[s];
        PruneAt at;
        at.n = n;
        std::vector<double> item, set;
        for (int rep = 0; rep < config.pruneReps[s]; ++rep) {
            const std::string tag = std::to_string(n) + "-" + std::to_string(rep);
            PruneRun(base + "/prune/item-" + tag, n, CM_PRUNE_ITEM, rep == 0 ? &at : nullptr, item);
            PruneAt setShape;
            PruneRun(base + "/prune/set-" + tag, n, CM_PRUNE_SET, rep == 0 ? &setShape : nullptr, set);
            if (rep == 0)
                at.setItemsPerCall = setShape.setItemsPerCall;
            Progress("N=%" PRIu64 " round %d: item mode %.2f us/item, set mode %.2f us/item (last window)", n,
                     rep + 1, item.back(), set.back());
        }
        at.itemUs = Median(item);
        at.setUs = Median(set);
        at.rescanUs = RescanRun(base + "/prune/rescan-" + std::to_string(n), n, config.rescanCalls[s]);
        Progress("N=%" PRIu64 ": rescanning baseline %.0f us per room for one item", n, at.rescanUs);
        results.pruneAt.push_back(at);
    }
    results.prune = true;
}

// --- 6: the policies ---------------------------------------------------------------

// Re-updates with a cap and an age limit set that nothing reaches, against the
// default configuration, side by side; then pruning for the cap against
// pruning for the reserve, per item, on indexes of the same size.
void RunPolicies(const Config& config, const std::string& base, Results& results)
{
    fprintf(stderr, "[6] the cap and the age limit: their cost on the update path, and pruning for the cap\n");
    ScriptedSize plainSize, policySize;
    CacheManager& plain = OpenCache(base + "/policies/plain/cache", plainSize, CM_PRUNE_ITEM);
    CacheManager& policy = OpenCache(base + "/policies/policy/cache", policySize, CM_PRUNE_ITEM, 0,
                                     ScriptedSize::kPlenty, 10ull * 365 * 86400);
    FillIndex(plain, base + "/policies/plain/items", config.steadyItems, kItemSize);
    FillIndex(policy, base + "/policies/policy/items", config.steadyItems, kItemSize);
    auto batch = [&](CacheManager& cache, const std::string& items, uint64_t& op) {
        const double start = Now();
        for (uint64_t k = 0; k < config.batch; ++k, ++op)
            if (!cache.UpdateItem(ItemPath(items, op * kStride % config.steadyItems), NewSize(op), 0))
                Die("steady-state UpdateItem failed");
        return static_cast<double>(config.batch) / (Now() - start);
    };
    uint64_t policyOp = 0, plainOp = 0;
    Alternate(
        config, [&]() { return batch(policy, base + "/policies/policy/items", policyOp); },
        [&]() { return batch(plain, base + "/policies/plain/items", plainOp); }, results.policyOps,
        results.defaultOps, results.policyRatio);

    // Each CreateSpace must prune exactly one item: for the reserve the
    // provider answers short once; for the cap, the cap is lowered by one
    // item's size each call.
    const uint64_t n = 10000;
    std::vector<double> capUs, reserveUs;
    for (int rep = 0; rep < 6; ++rep) {
        for (const bool cap : {rep % 2 == 0, rep % 2 != 0}) {
            const std::string dir = base + "/policies/prune-" + (cap ? "cap-" : "reserve-") + std::to_string(rep);
            ScriptedSize size;
            CacheManager& cache = OpenCache(dir + "/cache", size, CM_PRUNE_ITEM, 0, cap ? (n + 1) * kItemSize : 0);
            FillIndex(cache, dir + "/items", n, kItemSize);
            usleep(200000);
            CacheManagerImpl& impl = *cache.m_impl;
            const uint64_t before = impl.m_pruneItemCount;
            const double start = Now();
            for (uint64_t k = 0; k < kPruneWindow; ++k) {
                if (cap)
                    impl.m_maxModuleBytes -= kItemSize;
                else
                    size.shortAnswers = 1;
                if (!cache.CreateSpace(dir + "/items/new", kItemSize))
                    Die("CreateSpace failed while pruning for the %s", cap ? "cap" : "reserve");
            }
            const double seconds = Now() - start;
            if (impl.m_pruneItemCount - before != kPruneWindow)
                Die("pruned %" PRIu64 " items for the %s, not %" PRIu64, impl.m_pruneItemCount - before,
                    cap ? "cap" : "reserve", kPruneWindow);
            (cap ? capUs : reserveUs).push_back(seconds * 1e6 / static_cast<double>(kPruneWindow));
            RemoveTree(dir);
        }
    }
    results.capUs = Median(capUs);
    results.reserveUs = Median(reserveUs);
    results.policies = true;
}

// --- 7: hosts filing into a full cache, with and without the maintainer ------------

void RunLatencyPart(const Config& config, const std::string& base, Results& results)
{
    fprintf(stderr, "[7] hosts filing new items into a full cache, without and with cmtool maintain\n");
#ifdef CMTOOL_PATH
    const std::string cmtool = CMTOOL_PATH;
#else
    const std::string cmtool;
#endif
    if (!RunLatency(base + "/latency", cmtool, config.latencySeconds, results.latencyRuns, results.latencySkipped))
        Progress("skipped: %s", results.latencySkipped.c_str());
    results.latency = true;
}

// --- 4: peak memory ------------------------------------------------------------

// In a process of its own (exec'd, so that nothing of the parent counts): ops
// re-updates across the index, every tenth of them pruning the oldest item.
int MemoryChild(const std::string& cacheDir, const std::string& itemsRoot, uint64_t n, uint64_t ops)
{
    ScriptedSize size;
    // Items pruned and filed again have no file: pruning them frees nothing,
    // which a negative overflow limit accepts.
    CacheManager& cache = OpenCache(cacheDir, size, CM_PRUNE_ITEM, -1);
    uint64_t failures = 0;
    for (uint64_t op = 0; op < ops; ++op) {
        if (op % 10 == 0)
            size.shortAnswers = 1;
        if (!cache.UpdateItem(ItemPath(itemsRoot, op * kStride % n), NewSize(op), 0))
            ++failures;
    }
    if (failures != 0)
        fprintf(stderr, "cache_bench: %" PRIu64 " of %" PRIu64 " operations failed\n", failures, ops);
    // The peak of this program's own pages. (getrusage's maxrss would also
    // count the pages of the parent as they were at fork, before the exec.)
    long peakKiB = -1;
    FILE* status = fopen("/proc/self/status", "r");
    char line[256];
    while (status != nullptr && fgets(line, sizeof line, status) != nullptr)
        if (sscanf(line, "VmHWM: %ld kB", &peakKiB) == 1)
            break;
    if (status != nullptr)
        fclose(status);
    printf("%ld\n", peakKiB);
    return failures == 0 && peakKiB > 0 ? 0 : 2;
}

void RunMemory(const Config& config, const std::string& base, Results& results)
{
    fprintf(stderr, "[4] peak resident memory of %" PRIu64 " operations\n", config.memoryOps);
    // The children run side by side: each measures only its own pages.
    std::vector<pid_t> children;
    std::vector<FILE*> outputs;
    for (uint64_t n : config.memorySizes) {
        const std::string dir = base + "/memory-" + std::to_string(n);
        ScriptedSize size;
        FillIndex(OpenCache(dir + "/cache", size, CM_PRUNE_ITEM), dir + "/items", n, kItemSize);
        int output[2];
        if (pipe(output) != 0)
            Die("pipe: %s", strerror(errno));
        fflush(stdout);
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(output[1], STDOUT_FILENO);
            const std::string count = std::to_string(n), ops = std::to_string(config.memoryOps);
            execl("/proc/self/exe", "cache_bench", "--memory-child", (dir + "/cache").c_str(),
                  (dir + "/items").c_str(), count.c_str(), ops.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        if (pid < 0)
            Die("fork: %s", strerror(errno));
        close(output[1]);
        children.push_back(pid);
        outputs.push_back(fdopen(output[0], "r"));
    }
    for (size_t i = 0; i < children.size(); ++i) {
        long peakKiB = -1;
        if (outputs[i] == nullptr || fscanf(outputs[i], "%ld", &peakKiB) != 1)
            peakKiB = -1;
        if (outputs[i] != nullptr)
            fclose(outputs[i]);
        int status = 0;
        if (waitpid(children[i], &status, 0) != children[i] || !WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
            peakKiB <= 0)
            Die("the memory child for N=%" PRIu64 " failed (status %d)", config.memorySizes[i], status);
        results.rssKiB.push_back(peakKiB);
        Progress("N=%" PRIu64 ": peak RSS %ld KiB", config.memorySizes[i], peakKiB);
    }
    results.memory = true;
}

// --- 5: processes sharing one module -----------------------------------------

struct ChildCount {
    uint64_t ops;
    uint64_t failures;
};

// Aggregate operations per second of count processes re-updating their own
// share of the module's items for the given time, under CM_LOCK_PROCESS; with
// replay, the same operations as raw system calls under the same lock.
double ProcessRound(const std::string& cacheDir, const std::vector<std::string>& items,
                    const std::vector<std::string>& records, int count, double seconds, bool replay)
{
    int start[2], result[2];
    if (pipe(start) != 0 || pipe(result) != 0)
        Die("pipe: %s", strerror(errno));
    std::vector<pid_t> children;
    for (int c = 0; c < count; ++c) {
        const pid_t pid = fork();
        if (pid < 0)
            Die("fork: %s", strerror(errno));
        if (pid == 0) {
            close(start[1]);
            ScriptedSize size;
            CacheManager& cache = OpenCache(cacheDir, size, CM_PRUNE_ITEM);
            FloorReplay floor(cacheDir);
            char go;
            if (read(start[0], &go, 1) != 1)
                _exit(3);
            ChildCount done{0, 0};
            const double deadline = Now() + seconds;
            size_t i = static_cast<size_t>(c);
            while (Now() < deadline) {
                const bool ok = replay ? floor.Update(items[i].c_str(), records[i].c_str(), NewSize(done.ops))
                                       : cache.UpdateItem(items[i], NewSize(done.ops), 0);
                if (!ok)
                    ++done.failures;
                ++done.ops;
                i += static_cast<size_t>(count);
                if (i >= items.size())
                    i = static_cast<size_t>(c);
            }
            _exit(write(result[1], &done, sizeof done) == sizeof done ? 0 : 4);
        }
        children.push_back(pid);
    }
    close(start[0]);
    close(result[1]);
    usleep(200000);  // every child has opened its manager
    const std::string go(static_cast<size_t>(count), 'g');
    if (write(start[1], go.data(), go.size()) != static_cast<ssize_t>(go.size()))
        Die("start pipe: %s", strerror(errno));
    close(start[1]);
    uint64_t ops = 0;
    for (int c = 0; c < count; ++c) {
        ChildCount done;
        if (read(result[0], &done, sizeof done) != sizeof done)
            Die("a benchmark process died");
        if (done.failures != 0)
            Die("%" PRIu64 " operations failed in a benchmark process", done.failures);
        ops += done.ops;
    }
    close(result[0]);
    for (pid_t pid : children)
        waitpid(pid, nullptr, 0);
    return static_cast<double>(ops) / seconds;
}

void RunProcesses(const Config& config, const std::string& base, Results& results)
{
    fprintf(stderr, "[5] 1, 2 and 4 processes sharing one module under CM_LOCK_PROCESS\n");
    const std::string dir = base + "/procs";
    ScriptedSize size;
    FillIndex(OpenCache(dir + "/cache", size, CM_PRUNE_ITEM), dir + "/items", config.processItems, kItemSize);
    std::vector<std::string> items, records;
    for (uint64_t i = 0; i < config.processItems; ++i) {
        items.push_back(ItemPath(dir + "/items", i));
        records.push_back(RecordPath(items.back()));
    }
    const size_t kinds = config.processCounts.size();
    std::vector<std::vector<double>> rates(kinds), replayRates(kinds);
    for (int round = 0; round < config.processRounds; ++round) {
        for (size_t k = 0; k < kinds; ++k) {
            const size_t which = (k + static_cast<size_t>(round)) % kinds;
            for (int pass = 0; pass < 2; ++pass) {
                const bool replay = (pass + round) % 2 == 1;
                (replay ? replayRates : rates)[which].push_back(ProcessRound(
                    dir + "/cache", items, records, config.processCounts[which], config.processSeconds, replay));
            }
        }
        Progress("round %d: library %s / %s / %s, raw replay %s / %s / %s ops/s", round + 1,
                 Thousands(rates[0].back()).c_str(), Thousands(rates[1].back()).c_str(),
                 Thousands(rates[2].back()).c_str(), Thousands(replayRates[0].back()).c_str(),
                 Thousands(replayRates[1].back()).c_str(), Thousands(replayRates[2].back()).c_str());
    }
    for (size_t k = 0; k < kinds; ++k) {
        results.procOps.push_back(Median(rates[k]));
        results.procReplayOps.push_back(Median(replayRates[k]));
    }
    results.procs = true;
}

// --- The table -----------------------------------------------------------------

struct Row {
    std::string measure, value, reference, ratio, bar;
};

void PrintTable(const std::vector<Row>& rows)
{
    const char* heads[] = {"measure", "library", "reference", "ratio", "bar"};
    size_t widths[5] = {0, 0, 0, 0, 0};
    for (int c = 0; c < 5; ++c)
        widths[c] = strlen(heads[c]);
    for (const Row& row : rows) {
        const std::string* cells[] = {&row.measure, &row.value, &row.reference, &row.ratio, &row.bar};
        for (int c = 0; c < 5; ++c)
            widths[c] = std::max(widths[c], cells[c]->size());
    }
    auto line = [&](const std::string* cells[]) {
        printf("%-*s  %*s  %*s  %*s  %s\n", static_cast<int>(widths[0]), cells[0]->c_str(),
               static_cast<int>(widths[1]), cells[1]->c_str(), static_cast<int>(widths[2]), cells[2]->c_str(),
               static_cast<int>(widths[3]), cells[3]->c_str(), cells[4]->c_str());
    };
    std::string headCells[5];
    for (int c = 0; c < 5; ++c)
        headCells[c] = heads[c];
    const std::string* head[] = {&headCells[0], &headCells[1], &headCells[2], &headCells[3], &headCells[4]};
    line(head);
    printf("%s\n", std::string(widths[0] + widths[1] + widths[2] + widths[3] + widths[4] + 8, '-').c_str());
    for (const Row& row : rows) {
        if (row.value.empty() && row.reference.empty() && row.ratio.empty() && row.bar.empty()) {
            printf("%s\n", row.measure.c_str());
            continue;
        }
        const std::string* cells[] = {&row.measure, &row.value, &row.reference, &row.ratio, &row.bar};
        line(cells);
    }
}

struct Bar {
    std::string name;
    bool measured;
    bool pass;
    std::string detail;
};

std::string Verdict(bool pass) { return pass ? "PASS" : "FAIL"; }

// Part 7: a row per run, and the bars that compare each paced run with the
// maintainer against the same run without it.
void LatencyReport(const std::vector<LatencyRun>& runs, std::vector<Row>& rows, std::vector<Bar>& bars)
{
    rows.push_back({"7 hosts filing new items of 4-64 KiB into a full 256 MiB tmpfs, 10% reserve: "
                    "UpdateItem us p50 / p99 / p99.9 / max, ops/s, calls that pruned",
                    "", "", "", ""});
    auto name = [](const LatencyRun& run) {
        return "  P=" + std::to_string(run.processes) + (run.paced ? ", paced" : ", unpaced") +
               (run.maintainer ? ", maintainer" : ", no maintainer");
    };
    for (const LatencyRun& run : runs) {
        rows.push_back({name(run),
                        Fixed(run.p50, 0) + " / " + Fixed(run.p99, 0) + " / " + Fixed(run.p999, 0) + " / " +
                            Fixed(run.max, 0),
                        Thousands(run.opsPerSecond) + " ops/s", Fixed(run.inlineShare * 100, 1) + "% inline",
                        run.maintainer ? "longest hold " + Thousands(static_cast<double>(run.longestLockUs)) + " us"
                                       : ""});
    }
    for (size_t i = 0; i + 1 < runs.size(); ++i) {
        const LatencyRun& without = runs[i];
        const LatencyRun& with = runs[i + 1];
        if (!without.paced || without.maintainer || !with.maintainer || with.paced != without.paced)
            continue;
        const std::string p = "P=" + std::to_string(with.processes) + " paced: ";
        bars.push_back({"(i) " + p + "at most 1% of host calls prune inline", true, with.inlineShare <= 0.01,
                        Fixed(with.inlineShare * 100, 2) + "%"});
        bars.push_back({"(j) " + p + "median UpdateItem at most 0.7 of without", true, with.p50 <= 0.7 * without.p50,
                        "ratio " + Fixed(with.p50 / without.p50, 2)});
        bars.push_back({"(k) " + p + "p99.9 no worse than without", true, with.p999 <= without.p999,
                        Fixed(with.p999, 0) + " us against " + Fixed(without.p999, 0)});
        bars.push_back({"(l) " + p + "throughput at least 0.95 of without", true,
                        with.opsPerSecond >= 0.95 * without.opsPerSecond,
                        "ratio " + Fixed(with.opsPerSecond / without.opsPerSecond, 2)});
        bars.push_back({"(m) " + p + "the maintainer holds the lock at most 2 ms", true, with.longestLockUs <= 2000,
                        Thousands(static_cast<double>(with.longestLockUs)) + " us"});
    }
}

int Report(const Config& config, const Results& r, const std::string& plotPath)
{
    std::vector<Row> rows;
    std::vector<Bar> bars;
    if (r.steady) {
        const bool pass = r.steadyRatio >= 0.8;
        rows.push_back({"1 steady-state UpdateItem, ops/s (ref: raw replay)", Thousands(r.steadyLib),
                        Thousands(r.steadyFloor), Fixed(r.steadyRatio, 2), "(a) >= 0.80 " + Verdict(pass)});
        bars.push_back({"(a) steady-state UpdateItem >= 0.8 of its floor", true, pass,
                        "library/floor " + Fixed(r.steadyRatio, 2)});
    }
    if (r.add)
        rows.push_back({"2 add a new item, ops/s (ref: raw replay)", Thousands(r.addLib), Thousands(r.addFloor),
                        Fixed(r.addRatio, 2), ""});
    if (r.prune && !r.pruneAt.empty()) {
        const PruneAt& first = r.pruneAt.front();
        const PruneAt& last = r.pruneAt.back();
        rows.push_back({"3 pruning the oldest " + Thousands(static_cast<double>(kPruneWindow)) +
                            " items of N, us per pruned item (ratio: to N=" + Thousands(first.n) + ")",
                        "", "", "", ""});
        for (const PruneAt& at : r.pruneAt) {
            rows.push_back({"  index N=" + Thousands(at.n) + ": filled at " + Thousands(at.fillRate) +
                                " items/s, " + Thousands(static_cast<double>(at.shape.entryDirs)) +
                                " entry dirs, entries/dir median " + Thousands(static_cast<double>(at.shape.medianPerDir)) +
                                ", max " + Thousands(static_cast<double>(at.shape.maxPerDir)),
                            "", "", "", ""});
        }
        const bool itemPass = last.itemUs <= 1.2 * first.itemUs;
        const bool setPass = last.setUs <= 1.2 * first.setUs;
        for (const PruneAt& at : r.pruneAt) {
            const bool isLast = &at == &last;
            rows.push_back({"  item mode, N=" + Thousands(at.n), Fixed(at.itemUs, 2), "", Fixed(at.itemUs / first.itemUs, 2),
                            isLast ? "(b) <= 1.20 " + Verdict(itemPass) : ""});
        }
        for (const PruneAt& at : r.pruneAt) {
            const bool isLast = &at == &last;
            rows.push_back({"  set mode, N=" + Thousands(at.n) + " (" + Thousands(at.setItemsPerCall) + " items/call)",
                            Fixed(at.setUs, 2), "", Fixed(at.setUs / first.setUs, 2),
                            isLast ? "(b) <= 1.20 " + Verdict(setPass) : ""});
        }
        for (const PruneAt& at : r.pruneAt)
            rows.push_back({"  rescanning baseline, N=" + Thousands(at.n) + ", us per room for one item", "",
                            Thousands(at.rescanUs), Fixed(at.rescanUs / first.rescanUs, 2), ""});
        for (const PruneAt& at : r.pruneAt) {
            const bool isLast = &at == &last;
            const double ratio = at.initUs / at.emptyInitUs;
            rows.push_back({"  InitCacheManager, N=" + Thousands(at.n) + ", us (ref: an empty module)",
                            Fixed(at.initUs, 1), Fixed(at.emptyInitUs, 1), Fixed(ratio, 2),
                            isLast ? "(h) <= 2.00 " + Verdict(ratio <= 2) : ""});
            if (isLast)
                bars.push_back({"(h) InitCacheManager at N=" + Thousands(at.n) + " within 2x an empty module's", true,
                                ratio <= 2, "ratio " + Fixed(ratio, 2)});
        }
        for (const PruneAt& at : r.pruneAt) {
            const bool isLast = &at == &last;
            const double times = at.rescanUs / at.itemUs;
            rows.push_back({"  room for one item, N=" + Thousands(at.n) + ": baseline / library (item mode)",
                            Fixed(at.itemUs, 2), Thousands(at.rescanUs), Thousands(times) + "x",
                            isLast ? "(c) >= 100x " + Verdict(times >= 100) : ""});
        }
        bars.push_back({"(b) item mode: per-item pruning cost at N=" + Thousands(last.n) + " <= 1.2x N=" + Thousands(first.n),
                        true, itemPass, "ratio " + Fixed(last.itemUs / first.itemUs, 2)});
        bars.push_back({"(b) set mode: per-item pruning cost at N=" + Thousands(last.n) + " <= 1.2x N=" + Thousands(first.n),
                        true, setPass, "ratio " + Fixed(last.setUs / first.setUs, 2)});
        const double times = last.rescanUs / last.itemUs;
        bars.push_back({"(c) room for one item at N=" + Thousands(last.n) + " >= 100x cheaper than rescanning", true,
                        times >= 100, Thousands(times) + "x"});

        std::vector<double> x, item, set, rescan;
        for (const PruneAt& at : r.pruneAt) {
            x.push_back(static_cast<double>(at.n));
            item.push_back(at.itemUs);
            set.push_back(at.setUs);
            rescan.push_back(at.rescanUs);
        }
        const bool written = WriteLogLogSvg(plotPath, "Pruning cost against index size", "items in the cache (N)",
                                            "microseconds per pruned item",
                                            x,
                                            {{"library, item mode", "#1f77b4", item},
                                             {"library, set mode", "#2ca02c", set},
                                             {"rescanning baseline", "#d62728", rescan}});
        fprintf(stderr, written ? "plot written to %s\n" : "could not write the plot %s\n", plotPath.c_str());
    }
    if (r.memory && r.rssKiB.size() == 2) {
        const long diff = r.rssKiB[1] - r.rssKiB[0];
        const bool pass = labs(diff) <= 1024;
        rows.push_back({"4 peak RSS, KiB, " + Thousands(static_cast<double>(config.memoryOps)) + " ops on N=" +
                            Thousands(static_cast<double>(config.memorySizes[1])) + " (ref: N=" +
                            Thousands(static_cast<double>(config.memorySizes[0])) + ")",
                        Thousands(static_cast<double>(r.rssKiB[1])), Thousands(static_cast<double>(r.rssKiB[0])),
                        (diff >= 0 ? "+" : "") + Thousands(static_cast<double>(diff)) + " KiB",
                        "(d) |diff| <= 1,024 KiB " + Verdict(pass)});
        bars.push_back({"(d) peak memory the same at both index sizes within 1 MiB", true, pass,
                        (diff >= 0 ? "+" : "") + Thousands(static_cast<double>(diff)) + " KiB"});
    }
    if (r.procs && r.procOps.size() == config.processCounts.size()) {
        for (size_t k = 0; k < r.procOps.size(); ++k) {
            const int count = config.processCounts[k];
            const double ratio = r.procOps[k] / r.procOps[0];
            const bool isLast = count == 4;
            rows.push_back({"5 " + std::to_string(count) + " process" + (count > 1 ? "es" : "") +
                                ", aggregate ops/s (ref: 1 process)",
                            Thousands(r.procOps[k]), Thousands(r.procOps[0]), Fixed(ratio, 2),
                            isLast ? "(e) >= 0.90 " + Verdict(ratio >= 0.9) : ""});
            if (isLast)
                bars.push_back({"(e) four processes >= 0.9 of one process", true, ratio >= 0.9,
                                "ratio " + Fixed(ratio, 2)});
        }
        for (size_t k = 0; k < r.procReplayOps.size(); ++k) {
            const int count = config.processCounts[k];
            rows.push_back({"  raw replay, " + std::to_string(count) + " process" + (count > 1 ? "es" : "") +
                                " (ref: 1 process)",
                            Thousands(r.procReplayOps[k]), Thousands(r.procReplayOps[0]),
                            Fixed(r.procReplayOps[k] / r.procReplayOps[0], 2), ""});
        }
    }
    if (r.policies) {
        const bool pass = r.policyRatio >= 0.98;
        rows.push_back({"6 steady-state UpdateItem with a cap and an age limit set, ops/s (ref: neither)",
                        Thousands(r.policyOps), Thousands(r.defaultOps), Fixed(r.policyRatio, 3),
                        "(f) >= 0.98 " + Verdict(pass)});
        bars.push_back({"(f) the cap and the age limit cost at most 2% on the update path", true, pass,
                        "ratio " + Fixed(r.policyRatio, 3)});
        const double ratio = r.capUs / r.reserveUs;
        rows.push_back({"  pruning for the cap, us per item, N=10,000 (ref: for the reserve)", Fixed(r.capUs, 2),
                        Fixed(r.reserveUs, 2), Fixed(ratio, 2), "(g) <= 1.10 " + Verdict(ratio <= 1.1)});
        bars.push_back({"(g) pruning for the cap costs per item what pruning for the reserve does (within 10%)", true,
                        ratio <= 1.1, "ratio " + Fixed(ratio, 2)});
    }
    if (r.latency && !r.latencySkipped.empty())
        rows.push_back({"7 hosts filing into a full cache: skipped (" + r.latencySkipped + ")", "", "", "", ""});
    if (r.latency && r.latencySkipped.empty())
        LatencyReport(r.latencyRuns, rows, bars);
    printf("\n");
    PrintTable(rows);
    printf("\n");
    int failed = 0;
    for (const Bar& bar : bars) {
        printf("%s  %s (%s)\n", Verdict(bar.pass).c_str(), bar.name.c_str(), bar.detail.c_str());
        failed += bar.pass ? 0 : 1;
    }
    return failed == 0 ? 0 : 1;
}

std::string FileSystemName(const std::string& path)
{
    struct statfs info;
    if (statfs(path.c_str(), &info) != 0)
        return "?";
    switch (static_cast<unsigned long>(info.f_type)) {
    case 0xEF53: return "ext2/3/4";
    case 0x01021994: return "tmpfs";
    case 0x58465342: return "xfs";
    case 0x9123683E: return "btrfs";
    case 0x794C7630: return "overlayfs";
    default: {
        char text[32];
        snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(info.f_type));
        return text;
    }
    }
}

// An ext4 without a journal skips recently deleted inodes when it allocates
// one, reading each one it skips: after heavy deletion every symlink and mkdir
// costs far more. Worth a line above the figures.
bool Ext4WithoutJournal(const std::string& path)
{
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr)
        return false;
    FILE* mounts = fopen("/proc/self/mounts", "r");
    if (mounts == nullptr)
        return false;
    std::string device, type;
    size_t best = 0;
    char dev[512], dir[512], fs[64];
    while (fscanf(mounts, "%511s %511s %63s %*[^\n]", dev, dir, fs) == 3) {
        const size_t length = strlen(dir);
        const bool under = strncmp(resolved, dir, length) == 0 &&
                           (resolved[length] == '/' || resolved[length] == '\0' || length == 1);
        if (under && length >= best) {
            best = length;
            device = dev;
            type = fs;
        }
    }
    fclose(mounts);
    if (type != "ext4" || device.compare(0, 5, "/dev/") != 0)
        return false;
    const std::string name = device.substr(5);
    if (access(("/proc/fs/ext4/" + name).c_str(), F_OK) != 0)
        return false;
    DIR* journals = opendir("/proc/fs/jbd2");
    bool journal = false;
    while (journals != nullptr && !journal) {
        struct dirent* entry = readdir(journals);
        if (entry == nullptr)
            break;
        journal = strncmp(entry->d_name, (name + "-").c_str(), name.size() + 1) == 0;
    }
    if (journals != nullptr)
        closedir(journals);
    return !journal;
}

[[noreturn]] void Usage()
{
    fprintf(stderr,
            "usage: cache_bench [--long] [--tmpfs] [--plot FILE] [--only LIST] [--sizes LIST] [--keep] [DIR]\n"
            "  DIR        where to work (a fresh directory is made inside it); default /var/tmp\n"
            "  --long     more rounds of every measure (several minutes)\n"
            "  --tmpfs    mount a tmpfs in the work directory and measure there (root only)\n"
            "  --plot F   where to write the SVG plot (default cache_bench_prune.svg)\n"
            "  --only L   comma-separated parts: steady,add,prune,memory,procs,policies,latency\n"
            "  --sizes L  index sizes for the pruning part (default 1000,10000,100000)\n"
            "  --keep     keep the work directory\n");
    exit(2);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 6 && strcmp(argv[1], "--memory-child") == 0)
        return MemoryChild(argv[2], argv[3], strtoull(argv[4], nullptr, 10), strtoull(argv[5], nullptr, 10));

    Config config;
    std::string parent = "/var/tmp", plotPath = "cache_bench_prune.svg";
    bool tmpfs = false, keep = false;
    std::set<std::string> parts{"steady", "add", "prune", "memory", "procs", "policies", "latency"};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--long")
            config.MakeLong();
        else if (arg == "--tmpfs")
            tmpfs = true;
        else if (arg == "--keep")
            keep = true;
        else if (arg == "--plot" && i + 1 < argc)
            plotPath = argv[++i];
        else if (arg == "--sizes" && i + 1 < argc) {
            // Index sizes for the pruning part, smallest first.
            config.pruneSizes.clear();
            for (char* p = argv[++i]; *p != '\0';) {
                config.pruneSizes.push_back(strtoull(p, &p, 10));
                if (*p == ',')
                    ++p;
                else if (*p != '\0')
                    Usage();
            }
            while (config.pruneReps.size() < config.pruneSizes.size()) {
                config.pruneReps.push_back(config.pruneReps.back());
                config.rescanCalls.push_back(config.rescanCalls.back());
            }
        } else if (arg == "--only" && i + 1 < argc) {
            parts.clear();
            std::string list = argv[++i];
            for (size_t start = 0; start <= list.size();) {
                size_t comma = list.find(',', start);
                if (comma == std::string::npos)
                    comma = list.size();
                parts.insert(list.substr(start, comma - start));
                start = comma + 1;
            }
        } else if (!arg.empty() && arg[0] != '-')
            parent = arg;
        else
            Usage();
    }
    // Nothing is logged while timing.
    g_ptrLogWriter.reset();

    std::string work = parent + "/cache_bench.XXXXXX";
    if (mkdtemp(&work[0]) == nullptr)
        Die("mkdtemp in %s: %s", parent.c_str(), strerror(errno));
    std::string base = work;
    if (tmpfs) {
        base = work + "/tmpfs";
        MakeDirs(base);
        if (mount("tmpfs", base.c_str(), "tmpfs", 0, "size=16g,nr_inodes=8m") != 0)
            Die("mounting a tmpfs on %s: %s", base.c_str(), strerror(errno));
    }
    printf("cache_bench: %s run in %s (%s), %ld CPUs\n", config.longRun ? "long" : "quick", base.c_str(),
           FileSystemName(base).c_str(), sysconf(_SC_NPROCESSORS_ONLN));
    if (Ext4WithoutJournal(base))
        printf("note: ext4 without a journal here: creating an inode skips (and reads) every recently\n"
               "deleted one, so symlink() and mkdir() slow down after heavy deletion; the ratios below\n"
               "compare like with like, the absolute figures mostly measure that. --tmpfs for a contrast.\n");
    fflush(stdout);

    const double start = Now();
    Results results;
    typedef void (*Part)(const Config&, const std::string&, Results&);
    const std::pair<const char*, Part> steps[] = {{"steady", RunSteady}, {"add", RunAdd}, {"prune", RunPrune},
                                                   {"memory", RunMemory}, {"procs", RunProcesses},
                                                   {"policies", RunPolicies}, {"latency", RunLatencyPart}};
    for (const auto& step : steps) {
        if (parts.count(step.first) == 0)
            continue;
        const double partStart = Now();
        step.second(config, base, results);
        Progress("%.0f s", Now() - partStart);
    }
    const int status = Report(config, results, plotPath);
    printf("\n%.0f s in all\n", Now() - start);

    if (tmpfs && umount2(base.c_str(), MNT_DETACH) != 0)
        fprintf(stderr, "cache_bench: umount %s: %s\n", base.c_str(), strerror(errno));
    if (!keep)
        RemoveTree(work);
    else
        fprintf(stderr, "kept %s\n", work.c_str());
    return status;
}
