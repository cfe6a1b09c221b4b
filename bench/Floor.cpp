#include "Floor.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "BenchSupport.h"

namespace bench {

namespace {

const int kEntryDirLevels = 5;
const int kMaxClimb = 5;

// Ends text at the last '/'; false when there is none.
bool CutLastSlash(char* text)
{
    char* slash = strrchr(text, '/');
    if (slash == nullptr)
        return false;
    *slash = '\0';
    return true;
}

}  // namespace

FloorReplay::FloorReplay(const std::string& cacheDir)
{
    const std::string root = cacheDir + "/CM/7";
    m_timeTable = root + "/T";
    m_latest = root + "/latest";
    m_size = root + "/size";
    m_sizeTemp = root + "/size.tmp";
    m_lockFd = open((root + "/lockfile").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0700);
    if (m_lockFd < 0)
        Die("open %s/lockfile: %s", root.c_str(), strerror(errno));
}

bool FloorReplay::Update(const char* item, const char* record, uint64_t size)
{
    lockf(m_lockFd, F_LOCK, 0);
    char position[4097];
    const ssize_t length = readlink(record, position, 4096);
    uint64_t previousSize = 0;
    bool ok = length > 0;
    if (ok) {
        position[length] = '\0';
        ok = RemoveEntry(position, previousSize) && FileEntry(item, record, size, previousSize);
    }
    lockf(m_lockFd, F_ULOCK, 0);
    return ok;
}

bool FloorReplay::Add(const char* item, const char* record, uint64_t size)
{
    lockf(m_lockFd, F_LOCK, 0);
    char position[4097];
    const bool ok = readlink(record, position, 4096) < 0 && errno == ENOENT &&
                    FileEntry(item, record, size, 0);
    lockf(m_lockFd, F_ULOCK, 0);
    return ok;
}

bool FloorReplay::RemoveEntry(const char* position, uint64_t& previousSize)
{
    struct stat status;
    if (lstat(position, &status) != 0)
        return false;
    char text[4097];
    const ssize_t length = readlink(position, text, 4096);
    if (length < 0)
        return false;
    text[length] = '\0';
    const char* first = strchr(text, ':');
    const char* second = first == nullptr ? nullptr : strchr(first + 1, ':');
    if (second == nullptr)
        return false;
    if (lstat(second + 1, &status) == 0)
        previousSize = static_cast<uint64_t>(status.st_size);
    else if (errno != ENOENT)
        return false;
    if (unlink(position) != 0 && errno != ENOENT)
        return false;
    // The directories this emptied, at most the five levels below "T".
    char dir[4097];
    strcpy(dir, position);
    for (int level = 0; level < kEntryDirLevels; ++level) {
        if (!CutLastSlash(dir) || strlen(dir) <= m_timeTable.size() + 1 || rmdir(dir) != 0)
            break;
    }
    return true;
}

bool FloorReplay::FileEntry(const char* item, const char* record, uint64_t size, uint64_t previousSize)
{
    char text[2049];
    const bool sizeChanged = size != previousSize;
    if (sizeChanged) {
        // Making room reads the module total once for bytes, once for inodes;
        // the scripted provider answers without a call.
        readlink(m_size.c_str(), text, 256);
        readlink(m_size.c_str(), text, 256);
    }

    char latest[2049];
    ssize_t latestLength = readlink(m_latest.c_str(), latest, 2048);
    if (latestLength < 0) {
        if (errno != ENOENT)
            return false;
        latestLength = 0;
    }
    latest[latestLength] = '\0';
    struct timeval now;
    gettimeofday(&now, nullptr);
    const uint64_t key = (static_cast<uint64_t>(now.tv_sec) << 8) | static_cast<uint64_t>(now.tv_usec / 100000);
    char dir[2048];
    const int dirLength = snprintf(dir, sizeof dir, "%s/%u/%u/%u/%u/%u", m_timeTable.c_str(),
                                   static_cast<unsigned>(key >> 32), static_cast<unsigned>((key >> 24) & 0xFF),
                                   static_cast<unsigned>((key >> 16) & 0xFF),
                                   static_cast<unsigned>((key >> 8) & 0xFF), static_cast<unsigned>(key & 0xFF));
    uint32_t number = 0;
    if (latestLength > dirLength && memcmp(latest, dir, static_cast<size_t>(dirLength)) == 0 &&
        latest[dirLength] == '/')
        number = static_cast<uint32_t>(atoi(strrchr(latest, '/') + 1));
    else
        number = HighestEntry(dir);
    char entry[2064];
    snprintf(entry, sizeof entry, "%s/%u", dir, number + 1);
    if (!MakeEntryDir(dir))
        return false;
    snprintf(text, sizeof text, "%" PRIu64 ":%d:%s", size, 1, item);
    if (symlink(text, entry) != 0)
        return false;

    if ((unlink(m_latest.c_str()) != 0 && errno != ENOENT) || symlink(entry, m_latest.c_str()) != 0)
        return false;
    if ((unlink(record) != 0 && errno != ENOENT) || symlink(entry, record) != 0)
        return false;

    if (!sizeChanged)
        return true;
    ssize_t length = readlink(m_size.c_str(), text, 256);
    if (length < 0) {
        if (errno != ENOENT)
            return false;
        length = 0;
    }
    text[length] = '\0';
    const uint64_t total = strtoull(text, nullptr, 10) + size - previousSize;
    snprintf(text, sizeof text, "%" PRIu64, total);
    // The new total is made aside and renamed over the size link, so that it
    // is never missing; a leftover from a process killed halfway is removed
    // first, when there is one.
    if (symlink(text, m_sizeTemp.c_str()) != 0 &&
        (errno != EEXIST || unlink(m_sizeTemp.c_str()) != 0 || symlink(text, m_sizeTemp.c_str()) != 0))
        return false;
    return rename(m_sizeTemp.c_str(), m_size.c_str()) == 0;
}

// As the library makes an entry directory: climb while a parent is missing,
// then make the missing ones on the way down.
bool FloorReplay::MakeEntryDir(const char* dir)
{
    if (mkdir(dir, 0777) == 0 || errno == EEXIST)
        return true;
    if (errno != ENOENT)
        return false;
    char current[2048];
    strcpy(current, dir);
    int climb = 0;
    for (;;) {
        if (!CutLastSlash(current))
            current[0] = '\0';
        if (++climb == kMaxClimb || mkdir(current, 0777) == 0 || errno == EEXIST)
            break;
        if (errno != ENOENT)
            return false;
    }
    size_t end = strlen(current);
    for (; climb > 0; --climb) {
        size_t start = end;
        if (dir[start] == '/')
            ++start;
        const char* slash = strchr(dir + start, '/');
        end = slash == nullptr ? strlen(dir) : static_cast<size_t>(slash - dir);
        memcpy(current, dir, end);
        current[end] = '\0';
        if (mkdir(current, 0777) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

uint32_t FloorReplay::HighestEntry(const char* dir)
{
    uint32_t highest = 0;
    DIR* handle = opendir(dir);
    if (handle == nullptr)
        return 0;
    while (struct dirent* entry = readdir(handle)) {
        if (entry->d_name[0] == '.')
            continue;
        const uint32_t number = static_cast<uint32_t>(atoi(entry->d_name));
        if (number > highest)
            highest = number;
    }
    closedir(handle);
    return highest;
}

}  // namespace bench
