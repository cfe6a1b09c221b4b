#include "BenchSupport.h"

#include "tools/common/FileOps.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace bench {

double Now()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void Die(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    fprintf(stderr, "cache_bench: ");
    vfprintf(stderr, format, args);
    fprintf(stderr, "\n");
    va_end(args);
    exit(1);
}

void MakeDirs(const std::string& path)
{
    if (!cm::fileops::MakeDirs(path))
        Die("mkdir %s: %s", path.c_str(), strerror(errno));
}

void RemoveTree(const std::string& path) { cm::fileops::RemoveTree(path); }

void MakeSparseFile(const std::string& path, uint64_t size)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0)
        Die("create %s: %s", path.c_str(), strerror(errno));
    close(fd);
}

std::string ItemPath(const std::string& root, uint64_t i)
{
    char tail[64];
    snprintf(tail, sizeof tail, "/d%lu/i%lu", static_cast<unsigned long>(i / 1000),
             static_cast<unsigned long>(i));
    return root + tail;
}

void MakeItemDirs(const std::string& root, uint64_t count)
{
    MakeDirs(root);
    for (uint64_t d = 0; d * 1000 < count; ++d)
        MakeDirs(root + "/d" + std::to_string(d));
}

std::string RecordPath(const std::string& item)
{
    const size_t slash = item.rfind('/');
    return item.substr(0, slash) + "/cacheposition." + item.substr(slash + 1);
}

bool ScriptedSize::GetCacheFreeSpace(uint64_t& bytes)
{
    if (shortAnswers > 0) {
        --shortAnswers;
        bytes = 0;
    } else {
        bytes = kPlenty;
    }
    return true;
}

bool ScriptedSize::GetCacheTotalSpace(uint64_t& bytes)
{
    bytes = kPlenty;
    return true;
}

bool ScriptedSize::GetCacheTotalInodes(uint64_t& inodes)
{
    inodes = kPlenty;
    return true;
}

bool ScriptedSize::GetCacheFreeInodes(uint64_t& inodes)
{
    inodes = kPlenty;
    return true;
}

CacheManager& OpenCache(const std::string& cacheDir, ScriptedSize& size, int pruneMode, int overflowLimit,
                        uint64_t maxModuleBytes, uint64_t maxItemAgeSeconds)
{
    CacheArgs args;
    args.cacheDir = cacheDir;
    args.moduleId = 7;
    args.pruneMethod = PRUNE_UNLINK;
    args.cacheSize = &size;
    args.pruneMode = pruneMode;
    args.overflowLimit = overflowLimit;
    args.processModel = CM_LOCK_PROCESS;
    args.maxModuleBytes = maxModuleBytes;
    args.maxItemAgeSeconds = maxItemAgeSeconds;
    MakeDirs(cacheDir);
    CacheManager* cache = new CacheManager();
    if (!cache->InitCacheManager(args))
        Die("InitCacheManager failed on %s", cacheDir.c_str());
    return *cache;
}

namespace {

// Calls visit(entryDir, entries) for every entry directory, five levels down.
template <typename Visit>
void WalkEntryDirs(const std::string& dir, int level, Visit& visit)
{
    DIR* handle = opendir(dir.c_str());
    if (handle == nullptr)
        return;
    std::vector<std::string> children;
    size_t names = 0;
    while (struct dirent* entry = readdir(handle)) {
        if (entry->d_name[0] == '.')
            continue;
        ++names;
        if (level < 5)
            children.push_back(dir + "/" + entry->d_name);
    }
    closedir(handle);
    if (level == 5)
        visit(names);
    for (const std::string& child : children)
        WalkEntryDirs(child, level + 1, visit);
}

}  // namespace

IndexShape MeasureIndex(const std::string& cacheDir)
{
    std::vector<double> perDir;
    auto visit = [&perDir](size_t names) { perDir.push_back(static_cast<double>(names)); };
    WalkEntryDirs(cacheDir + "/CM/7/T", 0, visit);
    IndexShape shape;
    shape.entryDirs = perDir.size();
    for (double n : perDir) {
        shape.entries += static_cast<size_t>(n);
        shape.maxPerDir = std::max(shape.maxPerDir, static_cast<size_t>(n));
    }
    shape.medianPerDir = static_cast<size_t>(Median(perDir));
    return shape;
}

double FillIndex(CacheManager& cache, const std::string& itemsRoot, uint64_t count, uint64_t itemSize)
{
    MakeItemDirs(itemsRoot, count);
    std::vector<std::string> items;
    items.reserve(count);
    for (uint64_t i = 0; i < count; ++i) {
        items.push_back(ItemPath(itemsRoot, i));
        MakeSparseFile(items.back(), itemSize);
    }
    const double start = Now();
    for (const std::string& item : items) {
        if (!cache.UpdateItem(item, itemSize, 0))
            Die("UpdateItem failed while filling %s", item.c_str());
    }
    return static_cast<double>(count) / (Now() - start);
}

}  // namespace bench
