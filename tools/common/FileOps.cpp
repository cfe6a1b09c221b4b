#include "tools/common/FileOps.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cm {
namespace fileops {

bool ReadLink(const std::string& path, size_t limit, std::string& text)
{
    std::vector<char> buffer(limit + 2);
    const ssize_t length = readlink(path.c_str(), buffer.data(), buffer.size());
    if (length < 0)
        return false;
    if (static_cast<size_t>(length) > limit) {
        errno = ENAMETOOLONG;
        return false;
    }
    text.assign(buffer.data(), static_cast<size_t>(length));
    return true;
}

std::string LinkOr(const std::string& path, const std::string& otherwise)
{
    std::string text;
    return ReadLink(path, 8191, text) ? text : otherwise;
}

bool ListDir(const std::string& path, std::vector<DirEntry>& entries)
{
    entries.clear();
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr)
        return false;
    while (struct dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            entries.push_back(DirEntry{entry->d_name, entry->d_type});
    }
    closedir(dir);
    std::sort(entries.begin(), entries.end(), [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
    return true;
}

std::vector<std::string> ListNames(const std::string& path)
{
    std::vector<DirEntry> entries;
    ListDir(path, entries);
    std::vector<std::string> names;
    for (const DirEntry& entry : entries)
        names.push_back(entry.name);
    return names;
}

bool MakeDirs(const std::string& path, mode_t mode)
{
    struct stat status;
    if (path.empty() || (stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)))
        return true;
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirs(path.substr(0, slash), mode))
        return false;
    return mkdir(path.c_str(), mode) == 0 || errno == EEXIST;
}

namespace {

int RemoveOne(const char* path, const struct stat*, int kind, struct FTW*)
{
    if (kind == FTW_DP || kind == FTW_D || kind == FTW_DNR)
        rmdir(path);
    else
        unlink(path);
    return 0;
}

int MakeWritable(const char* path, const struct stat* status, int kind, struct FTW*)
{
    if (kind == FTW_D || kind == FTW_DNR)
        chmod(path, status->st_mode | S_IRWXU);
    return 0;
}

}  // namespace

bool RemoveTree(const std::string& path)
{
    struct stat status;
    if (lstat(path.c_str(), &status) != 0)
        return errno == ENOENT;
    if (S_ISDIR(status.st_mode))
        nftw(path.c_str(), MakeWritable, 64, FTW_PHYS | FTW_MOUNT);
    nftw(path.c_str(), RemoveOne, 64, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
    return lstat(path.c_str(), &status) != 0;
}

}  // namespace fileops
}  // namespace cm
