#include "cachemanager/CacheManager.h"

#include "cachemanager/CacheManagerImpl.h"
#include "cachemanager/util/Log.h"

void DumpArgs(const CacheArgs& args)
{
    CM_NOTICE("Cache Dir [%s]", args.cacheDir.c_str());
    CM_NOTICE("moduleId [%d]", args.moduleId);
    CM_NOTICE("bytesMinFree [%d] percent", args.bytesMinFree);
    CM_NOTICE("inodesMinFree [%d] percent", args.inodesMinFree);
    CM_NOTICE("pruneMethod [%d]", static_cast<int>(args.pruneMethod));
    CM_NOTICE("cacheSize [%p]", static_cast<void*>(args.cacheSize));
    CM_NOTICE("overflowLimit [%d]", args.overflowLimit);
    CM_NOTICE("moduleOverFlow [%lu]", static_cast<unsigned long>(args.moduleOverFlow));
    CM_NOTICE("pruneMode [%d]", args.pruneMode);
    // Settings beyond these nine are written only when they are not at their
    // default, so that a default configuration logs what it always did.
    if (args.maxModuleBytes != 0)
        CM_NOTICE("maxModuleBytes [%lu]", static_cast<unsigned long>(args.maxModuleBytes));
    if (args.maxItemAgeSeconds != 0)
        CM_NOTICE("maxItemAgeSeconds [%lu]", static_cast<unsigned long>(args.maxItemAgeSeconds));
    if (args.shareModuleState)
        CM_NOTICE("shareModuleState [1]");
}

CacheManager::CacheManager() : m_impl(nullptr) {}

bool CacheManager::InitCacheManager(const CacheArgs& args)
{
    // The manager is attached whatever its initialisation says, and is never
    // freed: hosts may hold on to it for the life of the process.
    m_impl = new CacheManagerImpl();
    return m_impl->InitCacheManager(args);
}

bool CacheManager::UpdateItem(const std::string& item, PruneMethod method)
{
    return m_impl == nullptr || m_impl->UpdateItem(item, method);
}

bool CacheManager::UpdateItem(const std::string& item, uint64_t size, uint64_t timeKey)
{
    return m_impl == nullptr || m_impl->UpdateItem(item, size, timeKey);
}

bool CacheManager::UpdateItem(const std::string& item, bool skipCreateSpace, uint64_t size,
                              uint64_t timeKey)
{
    return m_impl == nullptr || m_impl->UpdateItem(item, skipCreateSpace, size, timeKey);
}

bool CacheManager::DeleteFromCache(const std::string& item)
{
    return m_impl == nullptr || m_impl->DeleteFromCache(item);
}

bool CacheManager::HideItem(const std::string& item, uint64_t value)
{
    return m_impl == nullptr || m_impl->HideItem(item, value);
}

bool CacheManager::UnHideItem(const std::string& item, uint64_t size, uint64_t timeKey)
{
    return m_impl == nullptr || m_impl->UnHideItem(item, size, timeKey);
}

bool CacheManager::CreateSpace(const std::string& item, uint64_t size)
{
    return m_impl == nullptr || m_impl->CreateSpace(item, size);
}

bool CacheManager::PruneExpired()
{
    return m_impl == nullptr || m_impl->PruneExpired();
}

bool CacheManager::PruneSlice(const SliceTarget& target, SliceReport& report)
{
    report = SliceReport();
    return m_impl == nullptr || m_impl->PruneSlice(target, report);
}

bool CacheManager::GetStatistics(CacheStatistics& out)
{
    if (m_impl == nullptr) {
        out = CacheStatistics();
        return false;
    }
    return m_impl->GetStatistics(out);
}

void CacheManager::ResetStatistics()
{
    if (m_impl != nullptr)
        m_impl->ResetStatistics();
}

void CacheManager::PrintStats()
{
    if (m_impl != nullptr)
        m_impl->PrintStats();
}

void CacheManager::AtFork()
{
    if (m_impl != nullptr)
        m_impl->AtFork();
}

bool CacheManager::IsInitialised() const
{
    return m_impl != nullptr && m_impl->IsInitialised();
}
