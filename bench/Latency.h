// Part 7 of the benchmark: hosts filing new items into a full cache, with
// and without a maintainer pruning off their path.
#ifndef BENCH_LATENCY_H
#define BENCH_LATENCY_H

#include <stdint.h>
#include <string>
#include <vector>

namespace bench {

struct LatencyRun {
    int processes = 0;
    bool paced = false;
    bool maintainer = false;
    double p50 = 0, p99 = 0, p999 = 0, max = 0;  // microseconds per UpdateItem
    double opsPerSecond = 0;                     // all hosts together
    double inlineShare = 0;                      // calls that pruned
    uint64_t longestLockUs = 0;                  // the maintainer's, as it logs it
};

// On a tmpfs of its own mounted under dir (root only; false with why
// otherwise): for 1 and 4 host processes, unpaced and then paced at a fifth
// of the unpaced rate, each without and with `cmtool maintain` running.
bool RunLatency(const std::string& dir, const std::string& cmtool, double seconds, std::vector<LatencyRun>& runs,
                std::string& why);

}  // namespace bench

#endif
