#include "cachemanager/CacheManagerImpl.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "cachemanager/CacheLock.h"
#include "cachemanager/util/Log.h"
#include "cachemanager/timetable/Layout.h"

namespace {

// What initialisation corrects or refuses; ValidateCacheArgs says the same
// in words.
bool ModuleRootFits(const std::string& moduleRoot) { return moduleRoot.size() <= cm::layout::kMaxPath; }

// A reserve is a share of the file system: outside 0 to 100 percent it would
// exceed the file system (a negative one widens to a huge unsigned figure)
// and prune the whole cache on every request.
bool PercentValid(int percent) { return percent >= 0 && percent <= 100; }

int ClampedPercent(int percent) { return percent < 0 ? 0 : (percent > 100 ? 100 : percent); }

bool ProcessModelValid(ProcessModel model)
{
    return model == CM_LOCK_PROCESS || model == CM_LOCK_THREAD || model == CM_LOCK_PROCESS_THREAD;
}

bool PruneModeValid(int mode) { return mode == CM_PRUNE_ITEM || mode == CM_PRUNE_SET; }

bool PruneMethodValid(PruneMethod method)
{
    return method == PRUNE_TRUNCATE || method == PRUNE_UNLINK || method == PRUNE_UNLINK_RECURSE;
}

int ClampPercent(const char* name, int percent)
{
    if (PercentValid(percent))
        return percent;
    CM_ERROR("Invalid %s [%d] percent. Using [%d].", name, percent, ClampedPercent(percent));
    return ClampedPercent(percent);
}

uint64_t Reserve(uint64_t total, int percent)
{
    return total / 100 * static_cast<uint64_t>(percent);
}

}  // namespace

bool CacheManagerImpl::InitCacheManager(const CacheArgs& args)
{
    namespace layout = cm::layout;
    DumpArgs(args);

    m_moduleId = static_cast<uint32_t>(args.moduleId);
    const std::string moduleRoot = layout::ModuleRoot(args.cacheDir, m_moduleId);
    if (!ModuleRootFits(moduleRoot)) {
        errno = ENAMETOOLONG;
        CM_ERROR("Module root too long [%s]. [%s]", args.cacheDir.c_str(), strerror(ENAMETOOLONG));
        return false;
    }
    m_moduleRoot = moduleRoot;
    m_timeTableDir = layout::TimeTableDir(m_moduleRoot);
    if (!CreateDirRecurse(m_timeTableDir)) {
        CM_ERROR("Failed to create TimeTable folder [%s].", m_timeTableDir.c_str());
        return false;
    }
    KnowIndexHome();

    m_cacheSize = args.cacheSize != nullptr ? args.cacheSize : new DefaultCacheSize(m_moduleRoot);
    if (!m_cacheSize->GetCacheTotalSpace(m_totalSpace)) {
        CM_ERROR("Failed to get cache size. CacheHead [%s] [%s]", m_moduleRoot.c_str(), strerror(errno));
        return false;
    }
    const int bytesPercent = ClampPercent("bytesMinFree", args.bytesMinFree);
    m_minFreeSpace = Reserve(m_totalSpace, bytesPercent);
    m_overflowLimit = args.overflowLimit;
    m_moduleOverFlow = args.moduleOverFlow;
    CM_NOTICE("Cache Size [%lu]", static_cast<unsigned long>(m_totalSpace));
    CM_NOTICE("Minimum free space [%lu]", static_cast<unsigned long>(m_minFreeSpace));

    if (!m_cacheSize->GetCacheTotalInodes(m_totalInodes)) {
        CM_ERROR("Failed to get cache size. CacheHead [%s] [%s]", m_moduleRoot.c_str(), strerror(errno));
        return false;
    }
    const int inodesPercent = ClampPercent("inodesMinFree", args.inodesMinFree);
    m_minFreeInodes = Reserve(m_totalInodes, inodesPercent);
    CM_NOTICE("Total Inodes [%lu]", static_cast<unsigned long>(m_totalInodes));
    CM_NOTICE("Minimum free inodes [%lu]", static_cast<unsigned long>(m_minFreeInodes));

    m_maxModuleBytes = args.maxModuleBytes;
    m_maxItemAgeSeconds = args.maxItemAgeSeconds;
    m_shareModuleState = args.shareModuleState;
    m_pruneMethod = args.pruneMethod;
    m_processModel = args.processModel;
    if (!ProcessModelValid(m_processModel)) {
        // Without any lock, processes and threads sharing the index would
        // corrupt it; the safest model takes the place of a value that means
        // none.
        CM_ERROR("Invalid process model [%d]. Using [CM_LOCK_PROCESS_THREAD].", static_cast<int>(args.processModel));
        m_processModel = CM_LOCK_PROCESS_THREAD;
    }
    if (PruneModeValid(args.pruneMode)) {
        m_pruneMode = args.pruneMode;
    } else {
        CM_ERROR("Invalid prune mode [%d]. Defaulting to [CM_PRUNE_SET].", args.pruneMode);
        m_pruneMode = CM_PRUNE_SET;
    }

    m_lockFile = layout::LockFile(m_moduleRoot);
    m_ptrCacheLock.reset(new CacheLock(m_lockFile, m_processModel));
    if (!m_ptrCacheLock->m_isOpen) {
        CM_ERROR("Failed to create lockfile for TimeTable.");
        return false;
    }

    m_oldestLink = layout::OldestLink(m_moduleRoot);
    m_latestLink = layout::LatestLink(m_moduleRoot);
    m_sizeLink = layout::SizeLink(m_moduleRoot);

    ZeroStatistics();
    if (m_shareModuleState)
        PublishSettings(bytesPercent, inodesPercent);
    return true;
}

void CacheManagerImpl::AtFork()
{
    if (!Ready("AtFork"))
        return;
    m_ptrCacheLock.reset(new CacheLock(m_lockFile, m_processModel));
    if (!m_ptrCacheLock->m_isOpen)
        CM_ERROR("Failed to create lockfile for TimeTable.");
}

bool CacheManagerImpl::IsInitialised() const { return !m_sizeLink.empty(); }

bool CacheManagerImpl::Ready(const char* op) const
{
    if (IsInitialised())
        return true;
    errno = EINVAL;
    CM_ERROR("%s refused: the cache manager is not initialised. [%s]", op, m_moduleRoot.c_str());
    return false;
}

bool CacheManagerImpl::FreeSpace(uint64_t /*size*/, const std::string& /*item*/) { return true; }

bool ValidateCacheArgs(const CacheArgs& args, std::string& problems)
{
    problems.clear();
    auto add = [&problems](const std::string& problem) {
        problems += (problems.empty() ? "" : " ") + problem + ".";
    };
    if (args.cacheDir.empty())
        add("cacheDir is empty: the index would go to /CM");
    const std::string moduleRoot = cm::layout::ModuleRoot(args.cacheDir, static_cast<uint32_t>(args.moduleId));
    if (!ModuleRootFits(moduleRoot))
        add("The module root is longer than " + std::to_string(cm::layout::kMaxPath) + " bytes");
    for (const auto& percent : {std::make_pair("bytesMinFree", args.bytesMinFree),
                                std::make_pair("inodesMinFree", args.inodesMinFree)}) {
        if (!PercentValid(percent.second))
            add(std::string(percent.first) + " [" + std::to_string(percent.second) +
                "] is outside 0 to 100 percent; initialisation uses " + std::to_string(ClampedPercent(percent.second)));
    }
    if (!PruneMethodValid(args.pruneMethod))
        add("pruneMethod [" + std::to_string(args.pruneMethod) +
            "] is none of PRUNE_TRUNCATE, PRUNE_UNLINK, PRUNE_UNLINK_RECURSE: pruning would leave its files in place");
    if (!PruneModeValid(args.pruneMode))
        add("pruneMode [" + std::to_string(args.pruneMode) +
            "] is neither CM_PRUNE_ITEM nor CM_PRUNE_SET; initialisation uses CM_PRUNE_SET");
    if (!ProcessModelValid(args.processModel))
        add("processModel [" + std::to_string(args.processModel) +
            "] is none of CM_LOCK_PROCESS, CM_LOCK_THREAD, CM_LOCK_PROCESS_THREAD; initialisation uses "
            "CM_LOCK_PROCESS_THREAD");
    return problems.empty();
}
