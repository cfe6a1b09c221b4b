// cmtool maintain: keeps a module's reserves, cap and age limit ahead of its
// hosts, so that their calls seldom prune. It prunes in short slices of the
// library's own steps, each under the cache lock and released before the
// next, so that a host waits for at most one slice rather than pruning
// itself; between slices it pauses as long as a slice may take.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "cachemanager/CacheManagerImpl.h"
#include "cachemanager/timetable/Layout.h"
#include "tools/cmtool/Cache.h"
#include "tools/cmtool/Commands.h"
#include "tools/cmtool/Text.h"

namespace cmtool {

namespace layout = cm::layout;

namespace {

volatile sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

// Sleeps, waking early at SIGTERM or SIGINT.
void Pause(double seconds)
{
    struct timespec span;
    span.tv_sec = static_cast<time_t>(seconds);
    span.tv_nsec = static_cast<long>((seconds - static_cast<double>(span.tv_sec)) * 1e9);
    if (!g_stop)
        nanosleep(&span, nullptr);
}

double Seconds()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// One maintainer per module: a lock of its own, which no host takes, held for
// the life of the process; the file names the holder.
int TakeMaintainerLock(const Options& options, int& lockFd)
{
    const std::string path = layout::MaintainerLock(options.ModuleRoot());
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return Fail("cannot open " + path + ": " + strerror(errno));
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        char holder[32] = "";
        const ssize_t got = pread(fd, holder, sizeof holder - 1, 0);
        holder[got > 0 ? got : 0] = '\0';
        close(fd);
        if (error == EWOULDBLOCK)
            return Fail("another maintainer runs for " + options.ModuleRoot() +
                        (holder[0] != '\0' ? " (process " + std::string(holder) + ")" : std::string()) +
                        ": not started");
        return Fail("cannot lock " + path + ": " + strerror(error));
    }
    const std::string pid = std::to_string(getpid());
    if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.c_str(), pid.size(), 0) < 0)
        fprintf(stderr, "cmtool: cannot write %s: %s\n", path.c_str(), strerror(errno));
    lockFd = fd;  // stays open, and locked, until the process ends
    return kExitOk;
}

uint64_t Share(uint64_t total, long percent) { return total / 100 * static_cast<uint64_t>(percent); }

struct Episode {
    uint64_t items = 0;
    uint64_t bytes = 0;
    uint64_t slices = 0;
    uint64_t longestLock = 0;  // microseconds
    bool failed = false;
};

// Slices towards target until it is met, nothing more can be pruned, or a
// signal comes.
Episode RunEpisode(CacheManager& cache, const SliceTarget& target, double pause)
{
    Episode episode;
    for (;;) {
        SliceReport slice;
        const bool ok = cache.PruneSlice(target, slice);
        ++episode.slices;
        episode.items += slice.itemsPruned;
        episode.bytes += slice.bytesPruned;
        episode.longestLock = std::max(episode.longestLock, slice.lockMicroseconds);
        if (!ok) {
            episode.failed = true;
            break;
        }
        if (!slice.moreNeeded || g_stop)
            break;
        Pause(pause);
    }
    return episode;
}

}  // namespace

int RunMaintain(const Options& options)
{
    if (options.highPercent < options.lowPercent)
        return Usage("--high (" + std::to_string(options.highPercent) + ") is below --low (" +
                     std::to_string(options.lowPercent) + ")");
    int lockFd = -1;
    if (const int refused = TakeMaintainerLock(options, lockFd))
        return refused;
    if (!Start(ArgsFrom(options, DefaultMethod(options))))
        return kExitFailed;
    CacheManager& cache = Facade();
    const CacheManagerImpl& impl = *cache.m_impl;

    // Start below the reserves plus the low share; stop above them plus the
    // high share. A probe is a slice that may prune nothing: it says whether
    // a target is unmet.
    SliceTarget low;
    low.bytesMargin = Share(impl.m_totalSpace, options.lowPercent);
    low.inodesMargin = Share(impl.m_totalInodes, options.lowPercent);
    low.capMargin = Share(impl.m_maxModuleBytes, options.lowPercent);
    low.maxItems = 0;
    SliceTarget high;
    high.bytesMargin = Share(impl.m_totalSpace, options.highPercent);
    high.inodesMargin = Share(impl.m_totalInodes, options.highPercent);
    high.capMargin = Share(impl.m_maxModuleBytes, options.highPercent);
    high.maxItems = static_cast<uint32_t>(options.sliceItems);
    high.maxMicroseconds = static_cast<uint32_t>(options.sliceMs * 1000);
    const double pause = static_cast<double>(options.sliceMs) / 1000.0;

    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal;  // no SA_RESTART: a sleep ends at the signal
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    printf("maintaining %s: start below the reserves + %ld%%, stop above + %ld%%, slices of %ld items or %ld ms%s\n",
           options.ModuleRoot().c_str(), options.lowPercent, options.highPercent, options.sliceItems, options.sliceMs,
           options.once ? ", once" : "");
    fflush(stdout);
    int status = kExitOk;
    while (!g_stop) {
        SliceReport probe;
        if (!cache.PruneSlice(low, probe)) {
            status = Fail("cannot look at " + options.ModuleRoot() + LibraryError());
        } else if (probe.moreNeeded) {
            const double start = Seconds();
            const Episode episode = RunEpisode(cache, high, pause);
            printf("pruned %llu items (%s) in %llu slices over %.3f s; longest lock hold %llu us%s\n",
                   static_cast<unsigned long long>(episode.items), Human(episode.bytes).c_str(),
                   static_cast<unsigned long long>(episode.slices), Seconds() - start,
                   static_cast<unsigned long long>(episode.longestLock),
                   (episode.failed ? "; a slice failed" + LibraryError() : std::string()).c_str());
            fflush(stdout);
            if (episode.failed)
                status = kExitFailed;
        }
        if (options.once)
            break;
        Pause(options.interval);
    }
    if (g_stop) {
        printf("stopped by a signal\n");
        status = kExitOk;
    }
    // The file names no maintainer once this one is gone.
    if (ftruncate(lockFd, 0) != 0)
        fprintf(stderr, "cmtool: cannot clear %s: %s\n", layout::MaintainerLock(options.ModuleRoot()).c_str(),
                strerror(errno));
    return status;
}

}  // namespace cmtool
