// What a module publishes beside its index when its hosts ask for it: the
// settings its processes run with, and what pruning has done, so that every
// process and cmtool see one account. Both are links in the module root,
// replaced aside like the size total, and written only under the cache lock.
#include <cerrno>
#include <ctime>

#include "cachemanager/CacheLock.h"
#include "cachemanager/CacheManagerImpl.h"
#include "cachemanager/util/Log.h"
#include "cachemanager/util/SysCall.h"
#include "cachemanager/timetable/Layout.h"

namespace layout = cm::layout;
namespace sys = cm::sys;

void CacheManagerImpl::PublishSettings(int bytesPercent, int inodesPercent)
{
    layout::ModuleSettings settings;
    settings.values[layout::ModuleSettings::BYTES_MIN_FREE] = static_cast<uint64_t>(bytesPercent);
    settings.values[layout::ModuleSettings::INODES_MIN_FREE] = static_cast<uint64_t>(inodesPercent);
    settings.values[layout::ModuleSettings::MIN_FREE_BYTES] = m_minFreeSpace;
    settings.values[layout::ModuleSettings::MIN_FREE_INODES] = m_minFreeInodes;
    settings.values[layout::ModuleSettings::PRUNE_METHOD] = static_cast<uint64_t>(m_pruneMethod);
    settings.values[layout::ModuleSettings::PRUNE_MODE] = static_cast<uint64_t>(m_pruneMode);
    settings.values[layout::ModuleSettings::PROCESS_MODEL] = static_cast<uint64_t>(m_processModel);
    settings.values[layout::ModuleSettings::MODULE_FLOOR] = m_moduleOverFlow;
    settings.values[layout::ModuleSettings::OVERFLOW_LIMIT] = static_cast<uint64_t>(m_overflowLimit);
    settings.values[layout::ModuleSettings::MAX_MODULE_BYTES] = m_maxModuleBytes;
    settings.values[layout::ModuleSettings::MAX_ITEM_AGE_SECONDS] = m_maxItemAgeSeconds;
    const std::string text = layout::FormatFields(settings);
    const std::string link = layout::SettingsLink(m_moduleRoot);

    TakeCacheLock lock(m_ptrCacheLock);
    std::string published;
    if (sys::ReadLink(CM_HERE, link, layout::kMaxLongLink, published, sys::QUIET_IF_MISSING)) {
        if (published == text)
            return;
        CM_NOTICE("Settings of module [%s] differ from those another process published: [%s]. Publishing [%s].",
                  m_moduleRoot.c_str(), published.c_str(), text.c_str());
    } else if (errno != ENOENT) {
        return;
    }
    sys::ReplaceLinkAside(CM_HERE, text, link, layout::SettingsTempLink(m_moduleRoot),
                          sys::SYMLINK_LINK_TO_TEXT_SPACED, sys::KEEP_OLD_WHEN_FULL);
}

void CacheManagerImpl::CountStep(int reason, uint64_t bytes)
{
    static_assert(kModuleStatisticsFields == layout::ModuleStatistics::kCount,
                  "one pending figure per field of the statistics link");
    layout::ModuleStatistics step;
    if (reason >= 0)
        step.AddPruned(static_cast<layout::PruneReason>(reason), m_stepItems, bytes);
    else
        step.values[layout::ModuleStatistics::REFUSED] = 1;
    for (size_t i = 0; i < kModuleStatisticsFields; ++i)
        m_pending[i] += step.values[i];
    if (m_stepItems > 0 && reason >= 0) {
        const uint64_t now = static_cast<uint64_t>(time(nullptr));
        const uint64_t filed = layout::KeySeconds(m_stepKey);
        m_pending[layout::ModuleStatistics::LAST_PRUNE_TIME] = now;
        m_pending[layout::ModuleStatistics::LAST_PRUNED_AGE_SECONDS] = now > filed ? now - filed : 0;
    }
    m_pendingAny = m_pendingAny || m_stepItems > 0 || reason < 0;
}

void CacheManagerImpl::FlushModuleStatistics()
{
    if (!m_pendingAny)
        return;
    m_pendingAny = false;
    layout::ModuleStatistics pending;
    for (size_t i = 0; i < kModuleStatisticsFields; ++i) {
        pending.values[i] = m_pending[i];
        m_pending[i] = 0;
    }
    if (!m_shareModuleState)
        return;
    const std::string link = layout::StatisticsLink(m_moduleRoot);
    std::string text;
    layout::ModuleStatistics stored;
    if (sys::ReadLink(CM_HERE, link, layout::kMaxLongLink, text, sys::QUIET_IF_MISSING))
        layout::ParseFields(text, stored);
    else if (errno != ENOENT)
        return;
    for (size_t i = 0; i < kModuleStatisticsFields; ++i) {
        const bool latest = i == layout::ModuleStatistics::LAST_PRUNE_TIME ||
                            i == layout::ModuleStatistics::LAST_PRUNED_AGE_SECONDS;
        if (!latest)
            stored.values[i] += pending.values[i];
        else if (pending.values[layout::ModuleStatistics::LAST_PRUNE_TIME] != 0)
            stored.values[i] = pending.values[i];
    }
    sys::ReplaceLinkAside(CM_HERE, layout::FormatFields(stored), link, layout::StatisticsTempLink(m_moduleRoot),
                          sys::SYMLINK_LINK_TO_TEXT_SPACED, sys::KEEP_OLD_WHEN_FULL);
}
