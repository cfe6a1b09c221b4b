#include "Latency.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include "BenchSupport.h"
#include "cachemanager/CacheManager.h"
#include "cachemanager/CacheManagerImpl.h"

namespace bench {

namespace {

const char kFileSystemSize[] = "size=256m";
const int kReservePercent = 10;
const double kWarmSeconds = 0.5;
const double kPacedShare = 0.2;  // of the unpaced rate

CacheArgs HostArgs(const std::string& cacheDir)
{
    CacheArgs args;
    args.cacheDir = cacheDir;
    args.moduleId = 7;
    args.bytesMinFree = kReservePercent;
    args.pruneMethod = PRUNE_UNLINK;
    args.processModel = CM_LOCK_PROCESS_THREAD;
    return args;
}

void WriteFile(const std::string& path, uint64_t size)
{
    static const std::vector<char> bytes(64 * 1024, 'x');
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return;  // the file system is full: the library was told, the host goes on
    for (uint64_t left = size; left > 0;) {
        const ssize_t wrote = write(fd, bytes.data(), std::min<uint64_t>(left, bytes.size()));
        if (wrote <= 0)
            break;
        left -= static_cast<uint64_t>(wrote);
    }
    close(fd);
}

// One host: files new items of 4 to 64 KiB as fast as it goes (rate 0) or
// at rate items per second, as a host does: the new size first, then the
// bytes. After the warm-up, each call's time and whether it pruned are
// written to out: ops, pruned, failures, then one float per call.
int Host(const std::string& cacheDir, const std::string& itemsDir, int id, double rate, double seconds,
         const std::string& out)
{
    CacheManager cache;
    if (!cache.InitCacheManager(HostArgs(cacheDir)))
        return 2;
    const CacheManagerImpl& impl = *cache.m_impl;
    std::mt19937 random(static_cast<unsigned>(id) * 7919u + 17u);
    std::vector<float> micros;
    micros.reserve(static_cast<size_t>(200000 * seconds));
    uint64_t counts[3] = {0, 0, 0};  // ops, pruned, failures
    const double start = Now(), measureFrom = start + kWarmSeconds, end = measureFrom + seconds;
    double next = start;
    const std::string root = itemsDir + "/h" + std::to_string(id);
    for (uint64_t n = 0;; ++n) {
        double now = Now();
        if (now >= end)
            break;
        if (rate > 0) {
            next += 1.0 / rate;
            if (next > now)
                usleep(static_cast<useconds_t>((next - now) * 1e6));
        }
        if (n % 1000 == 0)
            MakeDirs(root + "/d" + std::to_string(n / 1000));
        const std::string item = ItemPath(root, n);
        const uint64_t size = 4096 + random() % (60 * 1024);
        const uint64_t prunes = impl.m_pruneOneItemCount;
        const double before = Now();
        const bool ok = cache.UpdateItem(item, size, 0);
        const double after = Now();
        WriteFile(item, size);
        if (before < measureFrom)
            continue;
        micros.push_back(static_cast<float>((after - before) * 1e6));
        ++counts[0];
        counts[1] += impl.m_pruneOneItemCount != prunes ? 1 : 0;
        counts[2] += ok ? 0 : 1;
    }
    FILE* file = fopen(out.c_str(), "wb");
    if (file == nullptr)
        return 3;
    const bool written = fwrite(counts, sizeof counts, 1, file) == 1 &&
                         fwrite(micros.data(), sizeof(float), micros.size(), file) == micros.size();
    return fclose(file) == 0 && written ? 0 : 3;
}

double Percentile(std::vector<float>& values, double share)
{
    if (values.empty())
        return 0;
    const size_t at = std::min(values.size() - 1, static_cast<size_t>(share * static_cast<double>(values.size())));
    std::nth_element(values.begin(), values.begin() + static_cast<long>(at), values.end());
    return values[at];
}

pid_t StartMaintainer(const std::string& cmtool, const std::string& cacheDir, const std::string& log)
{
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, STDOUT_FILENO);
        const std::string reserve = std::to_string(kReservePercent);
        execl(cmtool.c_str(), "cmtool", "--cache-dir", cacheDir.c_str(), "--module", "7", "--bytes-min-free",
              reserve.c_str(), "maintain", "--interval", "0.01", "--low", "2", "--high", "5", "--slice-items", "4",
              "--slice-ms", "1", static_cast<char*>(nullptr));
        _exit(127);
    }
    usleep(200000);  // it has looked once and pruned to its high mark
    return pid;
}

// The longest lock hold of the episodes the maintainer logged.
uint64_t StopMaintainer(pid_t pid, const std::string& log)
{
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    uint64_t longest = 0;
    FILE* file = fopen(log.c_str(), "r");
    char line[512];
    while (file != nullptr && fgets(line, sizeof line, file) != nullptr) {
        const char* at = strstr(line, "longest lock hold ");
        if (at != nullptr)
            longest = std::max<uint64_t>(longest, strtoull(at + strlen("longest lock hold "), nullptr, 10));
    }
    if (file != nullptr)
        fclose(file);
    return longest;
}

LatencyRun Measure(const std::string& dir, const std::string& cmtool, int processes, double ratePerHost,
                   bool maintainer, double seconds)
{
    LatencyRun run;
    run.processes = processes;
    run.paced = ratePerHost > 0;
    run.maintainer = maintainer;
    const pid_t keeper = maintainer ? StartMaintainer(cmtool, dir, dir + "/maintainer.log") : 0;
    static int round = 0;
    ++round;
    std::vector<pid_t> hosts;
    for (int p = 0; p < processes; ++p) {
        fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0)
            _exit(Host(dir, dir + "/items", round * 10 + p, ratePerHost, seconds, dir + "/host" + std::to_string(p)));
        hosts.push_back(pid);
    }
    std::vector<float> all;
    uint64_t ops = 0, pruned = 0;
    for (int p = 0; p < processes; ++p) {
        int status = 0;
        waitpid(hosts[static_cast<size_t>(p)], &status, 0);
        const std::string out = dir + "/host" + std::to_string(p);
        FILE* file = fopen(out.c_str(), "rb");
        uint64_t counts[3];
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || file == nullptr ||
            fread(counts, sizeof counts, 1, file) != 1)
            Die("a host process of the latency part failed (status %d)", status);
        if (counts[2] != 0)
            Die("%llu UpdateItem calls failed in a host", static_cast<unsigned long long>(counts[2]));
        const size_t first = all.size();
        all.resize(first + counts[0]);
        if (fread(all.data() + first, sizeof(float), counts[0], file) != counts[0])
            Die("a host's latencies are short");
        fclose(file);
        unlink(out.c_str());
        ops += counts[0];
        pruned += counts[1];
    }
    if (maintainer)
        run.longestLockUs = StopMaintainer(keeper, dir + "/maintainer.log");
    run.opsPerSecond = static_cast<double>(ops) / seconds;
    run.inlineShare = ops == 0 ? 0 : static_cast<double>(pruned) / static_cast<double>(ops);
    run.p50 = Percentile(all, 0.5);
    run.p99 = Percentile(all, 0.99);
    run.p999 = Percentile(all, 0.999);
    run.max = all.empty() ? 0 : *std::max_element(all.begin(), all.end());
    return run;
}

}  // namespace

bool RunLatency(const std::string& dir, const std::string& cmtool, double seconds, std::vector<LatencyRun>& runs,
                std::string& why)
{
    if (geteuid() != 0) {
        why = "needs root, to mount a tmpfs of its own";
        return false;
    }
    if (access(cmtool.c_str(), X_OK) != 0) {
        why = "no cmtool at " + cmtool;
        return false;
    }
    MakeDirs(dir);
    if (mount("tmpfs", dir.c_str(), "tmpfs", 0, kFileSystemSize) != 0) {
        why = std::string("mounting a tmpfs: ") + strerror(errno);
        return false;
    }
    MakeDirs(dir + "/items");
    // Full before anything is measured: one host files until it prunes.
    Measure(dir, cmtool, 1, 0, false, 1.0);
    for (const int processes : {1, 4}) {
        const LatencyRun unpaced = Measure(dir, cmtool, processes, 0, false, seconds);
        runs.push_back(unpaced);
        runs.push_back(Measure(dir, cmtool, processes, 0, true, seconds));
        const double rate = unpaced.opsPerSecond * kPacedShare / processes;
        runs.push_back(Measure(dir, cmtool, processes, rate, false, seconds));
        runs.push_back(Measure(dir, cmtool, processes, rate, true, seconds));
    }
    umount2(dir.c_str(), MNT_DETACH);
    return true;
}

}  // namespace bench
