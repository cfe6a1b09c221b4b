// Many processes and threads on one module at once, on a small real file
// system: a random mix of every item operation on a few hundred items, under
// CM_LOCK_PROCESS_THREAD, in each prune mode. Afterwards the index checker
// finds nothing, the module size is the sum of the items in the cache, and
// no item out of the cache had its file touched.
//
// Bigger by hand: CM_STRESS_SCALE=10 (ten times the items, file system and
// steps), CM_STRESS_PROCESSES and CM_STRESS_THREADS (default 4 each),
// CM_STRESS_SEED to repeat a run.
#include "tests/TestSupport.h"

#include <ctime>
#include <memory>

namespace {

using test::EnvNumber;

class Stress : public test::CacheTest, public testing::WithParamInterface<int> {};

TEST_P(Stress, ProcessesAndThreadsKeepTheIndexWhole)
{
    const int mode = GetParam();
    const long scale = EnvNumber("CM_STRESS_SCALE", 1);
    const int processes = static_cast<int>(EnvNumber("CM_STRESS_PROCESSES", 4));
    const int threads = static_cast<int>(EnvNumber("CM_STRESS_THREADS", 4));
    const unsigned seed = static_cast<unsigned>(EnvNumber("CM_STRESS_SEED", static_cast<long>(time(nullptr))));
    const size_t itemCount = 240 * static_cast<size_t>(scale);
    const long steps = 1000 * scale;
    const uint64_t maxSize = 24 * 1024;
    // Room for a tenth of the items at their largest: pruning all along, and
    // now and then (items out of the cache hold their room) no room at all.
    const uint64_t room = itemCount * maxSize / 10;
    printf("seed %u: %d processes x %d threads, %zu items, %ld steps each\n", seed, processes, threads, itemCount,
           steps);

    // A tmpfs of its own when root; otherwise the capacity is counted from
    // the items' files.
    const std::string fs = dir() + "/fs";
    std::unique_ptr<test::TmpfsMount> mount;
    uint64_t capacity = 0;
    if (test::IsRoot()) {
        mount.reset(new test::TmpfsMount(fs, "size=" + std::to_string(room) + ",nr_inodes=" +
                                                 std::to_string(itemCount * 10)));
        ASSERT_TRUE(mount->ok());
    } else {
        test::MakeDirs(fs);
        capacity = room;
    }
    const std::string itemsDir = fs + "/items";
    const std::vector<std::string> items = test::ItemPaths(itemsDir, itemCount, 12);
    test::ItemState* states = test::SharedArray<test::ItemState>(itemCount);
    test::SharedTally& tally = *test::SharedArray<test::SharedTally>(1);

    CacheArgs args = Args();
    args.cacheDir = fs;
    args.inodesMinFree = 20;
    args.pruneMode = mode;
    std::vector<pid_t> children;
    for (int p = 0; p < processes; ++p) {
        // Processes differ in default prune method, reserve and module floor.
        // The greedy one (a large reserve, no floor) now and then prunes the
        // cache empty, and its updates fail for want of room.
        const PruneMethod methods[] = {PRUNE_UNLINK, PRUNE_TRUNCATE, PRUNE_UNLINK_RECURSE};
        args.pruneMethod = methods[p % 3];
        args.bytesMinFree = p % 4 == 3 ? 20 : 2 + p % 4;
        args.moduleOverFlow = p % 2 == 0 ? 32 * 1024 : 0;
        children.push_back(test::Spawn([&, p, args] {
            return test::RunWorkers(args, mount ? fs : itemsDir, capacity, items, states, tally, p, processes,
                                    threads, steps, maxSize, nullptr, seed + static_cast<unsigned>(p));
        }));
    }
    for (pid_t child : children)
        EXPECT_EQ(test::Reap(child), 0);
    printf("%s", tally.Summary().c_str());

    EXPECT_EQ(tally.lostFiles.load(), 0u) << tally.complaint;
    for (size_t i = 0; i < itemCount; ++i) {
        if (states[i].state == test::ItemState::OUT) {
            EXPECT_EQ(test::FileSize(items[i]), states[i].size) << items[i] << " is out of the cache";
        }
    }

    const cm::check::CheckReport report = test::CheckModule(fs + "/CM/7", itemsDir, mode);
    EXPECT_TRUE(report.Clean()) << report.Format();
    const uint64_t inCache = test::BytesInCache(items);
    EXPECT_EQ(test::StoredTotal(fs + "/CM/7"), inCache);
    size_t cached = 0;
    for (const std::string& item : items)
        cached += test::InCache(item) ? 1 : 0;
    printf("at the end: %zu items, %lu bytes in the cache; %s", cached, static_cast<unsigned long>(inCache),
           report.Format().c_str());
}

INSTANTIATE_TEST_SUITE_P(Modes, Stress, testing::Values(CM_PRUNE_ITEM, CM_PRUNE_SET),
                         [](const testing::TestParamInfo<int>& param) {
                             return std::string(param.param == CM_PRUNE_ITEM ? "ItemMode" : "SetMode");
                         });

}  // namespace
