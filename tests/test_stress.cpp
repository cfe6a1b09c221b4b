// Random work from many processes at once. Worker processes of several
// threads run a random mix of every item operation on the items of one module
// with little room, under CM_LOCK_PROCESS_THREAD, in each prune mode;
// the processes differ in default prune method, reserve and floor (the greedy
// one now and then prunes the cache empty). Without kills they run a fixed
// number of steps; with kills, round after round, one of them is killed with
// SIGKILL at a random moment, a fresh process takes its place, and afterwards
// every item operation must work on every item, whatever the kill left behind
// (the leftovers stay for the workers to meet, and a repair clears them every
// third round). No file of an item out of the cache may be touched, and at
// the end the checker finds nothing and the total is the items'.
//
// Longer by hand, or through scripts/soak.sh: CM_STRESS_SCALE (items, room
// and steps), CM_STRESS_PROCESSES, CM_STRESS_THREADS, CM_CRASH_ROUNDS,
// and CM_STRESS_SEED to repeat a printed seed.
#include "tests/TestSupport.h"

#include <csignal>
#include <ctime>
#include <memory>
#include <random>
#include <sys/statvfs.h>
#include <thread>
#include <tuple>

namespace {

using namespace test;
namespace layout = cm::layout;

long EnvNumber(const char* name, long fallback) { const char* t = getenv(name); return t && atol(t) > 0 ? atol(t) : fallback; }

// Makes path a file of exactly size bytes (its directories too), allocating
// the bytes when the file system has them and leaving a hole when it has
// not: either way lstat reports size, which is all the cache counts. False
// when the file could not be made at all.
inline bool SetFileSize(const std::string& path, uint64_t size)
{
    int fd = -1;
    for (int attempt = 0; attempt < 20 && fd < 0; ++attempt) {
        // Another process's PRUNE_UNLINK_RECURSE may take an emptied
        // directory between the mkdir and the open.
        cm::fileops::MakeDirs(ParentOf(path));
        fd = open(path.c_str(), O_WRONLY | O_CREAT, 0666);
        if (fd < 0 && errno != ENOENT)
            return false;
    }
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0;
    if (ok && static_cast<uint64_t>(st.st_size) > size)
        ok = ftruncate(fd, static_cast<off_t>(size)) == 0;
    else if (ok && size > 0 && fallocate(fd, 0, 0, static_cast<off_t>(size)) != 0)
        ok = ftruncate(fd, static_cast<off_t>(size)) == 0;
    close(fd);
    return ok;
}

// What an item's owner knows of it, shared by the owner's successive processes.
struct ItemState {
    enum { MAYBE_IN, OUT, BUSY };
    std::atomic<int> state{MAYBE_IN};
    std::atomic<int64_t> size{-1};  // OUT: the file's size as the owner left it, -1 for no file
};

// The first file found touched while its item was out of the cache.
struct Lost {
    std::atomic<int> count{0};
    char first[512] = {0};
};

// Free bytes: a capacity less the bytes of the files below itemsDir; inodes:
// those of the file system that holds fsDir. A host writes an
// item's file while the library makes room for it, under the cache lock, so
// that no pruner meets the file between its old and its new size: the first
// free-space query after Resize() in the same thread does the writing.
class HonestSize : public CacheSize {
public:
    HonestSize(const std::string& fsDir, const std::string& itemsDir, uint64_t capacity)
        : m_fsDir(fsDir), m_itemsDir(itemsDir), m_capacity(capacity) {}
    static void Resize(const std::string& item, uint64_t size) { Pending() = {item, size}; }
    static void Forget() { Pending().item.clear(); }

    bool GetCacheFreeSpace(uint64_t& bytes) override
    {
        if (!Pending().item.empty())
            SetFileSize(Pending().item, Pending().size);
        Forget();
        return Figure(bytes, false);
    }
    bool GetCacheTotalSpace(uint64_t& bytes) override { return Figure(bytes, true); }
    bool GetCacheTotalInodes(uint64_t& inodes) override { return Inodes(inodes, true); }
    bool GetCacheFreeInodes(uint64_t& inodes) override { return Inodes(inodes, false); }

private:
    struct Request {
        std::string item;
        uint64_t size;
    };
    static Request& Pending()
    {
        static thread_local Request request;
        return request;
    }
    bool Figure(uint64_t& bytes, bool total)
    {
        const uint64_t used = BytesUnder(m_itemsDir);
        bytes = total ? m_capacity : used >= m_capacity ? 0 : m_capacity - used;
        return true;
    }
    bool Inodes(uint64_t& inodes, bool total)
    {
        struct statvfs fs;
        inodes = statvfs(m_fsDir.c_str(), &fs) == 0 ? (total ? fs.f_files : fs.f_ffree) : 0;
        return true;
    }
    std::string m_fsDir, m_itemsDir;
    uint64_t m_capacity;
};

// One worker thread's random steps on the items it owns. Only its owner files
// an item or writes its file; one with a record may be pruned by anybody at
// any moment.
struct Worker {
    CacheManager& cache;
    const std::vector<std::string>& items;
    ItemState* states;
    std::vector<size_t> mine;
    uint64_t maxSize;
    Lost& lost;
    std::mt19937 random;

    size_t Pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random); }

    void Step()
    {
        const size_t index = mine[Pick(mine.size())];
        const std::string& item = items[index];
        ItemState& state = states[index];
        const bool out = state.state == ItemState::OUT;
        if (out && FileSize(item) != state.size && lost.count++ == 0)
            snprintf(lost.first, sizeof lost.first, "%s is out of the cache, yet its file went from %ld to %ld bytes",
                     item.c_str(), static_cast<long>(state.size.load()), static_cast<long>(FileSize(item)));
        const uint64_t size = 1 + Pick(maxSize);
        state.state = ItemState::BUSY;
        bool ok = false;
        switch (Pick(7)) {
        case 0:
            if (out) {  // only an item certainly out of the cache may be written first
                ok = SetFileSize(item, size) && cache.UpdateItem(item, Pick(2) == 0, size, 0);
                break;
            }
            [[fallthrough]];
        case 1:
            HonestSize::Resize(item, size);
            ok = cache.UpdateItem(item, size, 0);
            break;
        case 2:
            ok = cache.UpdateItem(item, static_cast<uint64_t>(0), 0);
            break;
        case 3:
            ok = cache.UpdateItem(item, static_cast<PruneMethod>(Pick(3)));
            break;
        case 4:
            ok = Pick(2) == 0 ? cache.DeleteFromCache(item) : cache.HideItem(item, 0);
            break;
        case 5:
            if (out && FileSize(item) > 0) {
                ok = cache.UnHideItem(item, static_cast<uint64_t>(FileSize(item)), 0);
            } else {
                HonestSize::Resize(item, size);
                ok = cache.UnHideItem(item, size, 0);
            }
            break;
        case 6:
            ok = cache.CreateSpace(item, size);
            break;
        }
        HonestSize::Forget();
        if (IsLink(layout::RecordPath(item))) {
            state.state = ItemState::MAYBE_IN;
            return;
        }
        // A host drops now and then what it could not cache; otherwise such
        // files would fill the file system for good.
        if (!ok && Pick(2) == 0)
            unlink(item.c_str());
        state.size = FileSize(item);
        state.state = ItemState::OUT;
    }
};

class RandomWorkers : public CacheTest, public testing::WithParamInterface<std::tuple<int, bool>> {};

TEST_P(RandomWorkers, KeepTheIndexWholeAndLoseNoFile)
{
    const int mode = std::get<0>(GetParam());
    const bool kills = std::get<1>(GetParam());
    const long scale = EnvNumber("CM_STRESS_SCALE", 1);
    const int processes = static_cast<int>(EnvNumber("CM_STRESS_PROCESSES", kills ? 3 : 4));
    const int threads = static_cast<int>(EnvNumber("CM_STRESS_THREADS", kills ? 2 : 4));
    const int rounds = kills ? static_cast<int>(EnvNumber("CM_CRASH_ROUNDS", 40)) : 1;
    const unsigned seed = static_cast<unsigned>(EnvNumber("CM_STRESS_SEED", static_cast<long>(time(nullptr))));
    std::mt19937 random(seed);
    const size_t itemCount = (kills ? 48 : 240) * static_cast<size_t>(scale);
    const uint64_t maxSize = kills ? 4096 : 24 * 1024;
    // Room for a tenth (a third, with kills) of the items at their largest:
    // pruning all along, and now and then no room at all.
    const uint64_t room = itemCount * maxSize / (kills ? 3 : 10);
    printf("seed %u: %d processes x %d threads, %zu items, %d rounds\n", seed, processes, threads, itemCount, rounds);

    // A tmpfs of its own when root, for speed: most of the work is making links.
    const std::string fs = dir() + "/fs", root = fs + "/CM/7", itemsDir = fs + "/items";
    std::unique_ptr<TmpfsMount> mount;
    if (IsRoot()) {
        mount.reset(new TmpfsMount(fs, "size=64m"));
        ASSERT_TRUE(mount->ok());
    } else {
        MakeDirs(fs);
    }
    std::vector<std::string> items;
    for (size_t i = 0; i < itemCount; ++i)
        items.push_back(itemsDir + "/d" + std::to_string(i % 12) + "/i" + std::to_string(i));
    ItemState* states = SharedArray<ItemState>(itemCount);
    Lost& lost = *SharedArray<Lost>(1);
    std::atomic<int>& stop = *SharedArray<std::atomic<int>>(1);

    // The test's own manager has room to spare: it never prunes.
    CacheArgs args = Args();
    args.cacheDir = fs;
    args.pruneMode = mode;
    log().SetLevel(1);
    CacheManagerImpl& m = Manager(args);
    args.inodesMinFree = 20;
    auto start = [&](int p, unsigned workerSeed) {
        CacheArgs own = args;
        own.pruneMethod = static_cast<PruneMethod>(p % 3);
        own.bytesMinFree = p % 4 == 3 ? 20 : 2 + p % 4;
        own.moduleOverFlow = p % 2 == 0 ? room / 16 : 0;
        return Spawn([&, own, p, workerSeed]() mutable {
            g_ptrLogWriter.reset();
            static CacheManager cache;  // lives as long as the process, like a host's
            own.cacheSize = new HonestSize(fs, itemsDir, room);
            if (!cache.InitCacheManager(own))
                return 3;
            std::vector<std::thread> pool;
            for (int t = 0; t < threads; ++t) {
                Worker worker{cache, items, states, {}, maxSize, lost, std::mt19937(workerSeed * 31 + t)};
                for (size_t i = static_cast<size_t>(p * threads + t); i < items.size(); i += processes * threads)
                    worker.mine.push_back(i);
                pool.emplace_back([&stop, kills, scale, worker]() mutable {
                    for (size_t i : worker.mine)  // what a killed owner was doing is unknown
                        if (worker.states[i].state == ItemState::BUSY)
                            worker.states[i].state = ItemState::MAYBE_IN;
                    for (long n = 0; kills ? stop.load() == 0 : n < 1000 * scale; ++n)
                        worker.Step();
                });
            }
            for (std::thread& thread : pool)
                thread.join();
            return 0;
        });
    };

    cm::check::CheckOptions options;
    options.moduleRoot = root;
    options.itemDirs.push_back(itemsDir);
    options.pruneMode = mode;
    for (int round = 0; round < rounds; ++round) {
        stop = 0;
        std::vector<pid_t> workers;
        for (int p = 0; p < processes; ++p)
            workers.push_back(start(p, seed + static_cast<unsigned>(round * processes + p) * 7919u));
        if (kills) {
            usleep(2000 + random() % 20000);
            const int p = static_cast<int>(random() % processes);
            kill(workers[p], SIGKILL);
            EXPECT_EQ(Reap(workers[p]), -1) << "worker " << p << " ended before it was killed";
            workers[p] = start(p, seed + random());
            usleep(5000 + random() % 15000);
            stop = 1;
        }
        for (pid_t worker : workers)
            EXPECT_EQ(Reap(worker), 0);
        ASSERT_EQ(lost.count.load(), 0) << lost.first;
        EXPECT_TRUE(IsLink(root + "/size")) << "round " << round << ": the size total is missing";
        if (!kills)
            break;

        // Every item operation on every item, under the key of the latest
        // link: a host whose own clock stands still files right where an
        // insertion killed before moving the link left an entry behind.
        uint64_t key = 0;
        layout::KeyOfIndexPath(m.m_timeTableDir, LinkText(m.m_latestLink), key);
        for (size_t i = 0; i < items.size(); ++i) {
            const std::string& item = items[i];
            const uint64_t a = 1 + random() % maxSize, b = 1 + random() % maxSize;
            EXPECT_TRUE(m.UpdateItem(item, static_cast<PruneMethod>(random() % 3)) && m.HideItem(item, 0) &&
                        SetFileSize(item, a) && m.UpdateItem(item, a, key) && InCache(item) &&
                        m.UpdateItem(item, static_cast<uint64_t>(0), key) && m.CreateSpace(item, a) &&
                        m.DeleteFromCache(item) && !InCache(item) && SetFileSize(item, b) &&
                        m.UnHideItem(item, b, key) && InCache(item))
                << "round " << round << ": " << item << "\n" << log().Dump();
            states[i].state = ItemState::MAYBE_IN;
        }
        if (round % 3 == 2 || round + 1 == rounds) {
            cm::check::RepairReport repair;
            std::string error;
            EXPECT_TRUE(cm::check::RepairIndex(m, options, false, repair, error)) << error;
            EXPECT_TRUE(repair.leftAlone.empty()) << repair.leftAlone.front();
        }
        log().Clear();
    }
    const cm::check::CheckReport report = CheckModule(root, itemsDir, mode);
    EXPECT_TRUE(report.Clean()) << report.Format();
    EXPECT_EQ(StoredTotal(root), BytesInCache(items));
}

INSTANTIATE_TEST_SUITE_P(Modes, RandomWorkers,
                         testing::Combine(testing::Values(CM_PRUNE_ITEM, CM_PRUNE_SET), testing::Bool()),
                         [](const testing::TestParamInfo<std::tuple<int, bool>>& param) {
                             return std::string(std::get<0>(param.param) == CM_PRUNE_ITEM ? "ItemMode" : "SetMode") +
                                    (std::get<1>(param.param) ? "Killed" : "");
                         });

}  // namespace
