#include "Rescan.h"

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace bench {

namespace {

struct FileInfo {
    int64_t mtimeNs;
    uint64_t size;
    uint32_t dir;
    std::string name;
};

void Walk(const std::string& dir, std::vector<std::string>& dirs, std::vector<FileInfo>& files)
{
    DIR* handle = opendir(dir.c_str());
    if (handle == nullptr)
        return;
    const uint32_t dirIndex = static_cast<uint32_t>(dirs.size());
    dirs.push_back(dir);
    const int fd = dirfd(handle);
    std::vector<std::string> subdirs;
    while (struct dirent* entry = readdir(handle)) {
        if (entry->d_name[0] == '.')
            continue;
        struct stat status;
        if (fstatat(fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISDIR(status.st_mode))
            subdirs.push_back(dir + "/" + entry->d_name);
        else if (S_ISREG(status.st_mode))
            files.push_back(FileInfo{static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 +
                                         status.st_mtim.tv_nsec,
                                     static_cast<uint64_t>(status.st_size), dirIndex, entry->d_name});
    }
    closedir(handle);
    for (const std::string& subdir : subdirs)
        Walk(subdir, dirs, files);
}

}  // namespace

size_t RescanCache::MakeRoom(uint64_t bytes)
{
    std::vector<std::string> dirs;
    std::vector<FileInfo> files;
    files.reserve(m_lastCount);
    Walk(m_root, dirs, files);
    m_lastCount = files.size();
    std::sort(files.begin(), files.end(),
              [](const FileInfo& a, const FileInfo& b) { return a.mtimeNs < b.mtimeNs; });
    uint64_t freed = 0;
    size_t deleted = 0;
    for (const FileInfo& file : files) {
        if (freed >= bytes)
            break;
        if (unlink((dirs[file.dir] + "/" + file.name).c_str()) == 0) {
            freed += file.size;
            ++deleted;
        }
    }
    return deleted;
}

}  // namespace bench
