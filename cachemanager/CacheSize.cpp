#include <sys/statvfs.h>

#include "cachemanager/CacheManager.h"
#include "cachemanager/util/Log.h"
#include "host/LumDirectory.h"

CacheSize::~CacheSize() = default;

DefaultCacheSize::DefaultCacheSize(const std::string& path) : m_path(path) {}

DefaultCacheSize::~DefaultCacheSize() = default;

bool DefaultCacheSize::GetCacheFreeSpace(uint64_t& bytes) { return GetSpace(bytes, false); }
bool DefaultCacheSize::GetCacheTotalSpace(uint64_t& bytes) { return GetSpace(bytes, true); }
bool DefaultCacheSize::GetCacheTotalInodes(uint64_t& inodes) { return GetInodes(inodes, true); }
bool DefaultCacheSize::GetCacheFreeInodes(uint64_t& inodes) { return GetInodes(inodes, false); }

bool DefaultCacheSize::GetSpace(uint64_t& bytes, bool total)
{
    unsigned long long totalBytes = 0;
    unsigned long long freeBytes = 0;
    const CLumError result = CLumDirectory::GetSpaceUsage(m_path.c_str(), &totalBytes, &freeBytes);
    if (result.IsError()) {
        // errno is what the caller reports; the error's code says what failed.
        errno = result.GetErrorCode() & 0xFFFF;
        CM_ERROR("Failed to stat path [%s] [%s : %ld]", m_path.c_str(), result.AsString().c_str(),
                 static_cast<long>(result.GetErrorCode() & 0xFFFF));
        return false;
    }
    bytes = total ? totalBytes : freeBytes;
    return true;
}

bool DefaultCacheSize::GetInodes(uint64_t& inodes, bool total)
{
    struct statvfs64 info;
    if (statvfs64(m_path.c_str(), &info) != 0)
        return false;
    inodes = total ? info.f_files : info.f_ffree;
    return true;
}
