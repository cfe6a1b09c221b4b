#include "cachemanager/prune/PathUtils.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "cachemanager/Log.h"
#include "host/LumDirectory.h"

namespace {

bool NotEmpty(int error) { return error == ENOTEMPTY || error == EEXIST; }

}  // namespace

std::string PlainPath(const std::string& absolute)
{
    std::string plain;
    size_t start = 0;
    while (start < absolute.size()) {
        size_t end = absolute.find('/', start);
        if (end == std::string::npos)
            end = absolute.size();
        const size_t length = end - start;
        if (length == 2 && absolute.compare(start, 2, "..") == 0) {
            const size_t slash = plain.rfind('/');
            plain.resize(slash == std::string::npos ? 0 : slash);
        } else if (length > 0 && !(length == 1 && absolute[start] == '.')) {
            plain += '/';
            plain.append(absolute, start, length);
        }
        start = end + 1;
    }
    return plain.empty() ? "/" : plain;
}

bool IsWithin(const std::string& path, const std::string& dir)
{
    if (dir == "/")
        return true;
    return path.compare(0, dir.size(), dir) == 0 && (path.size() == dir.size() || path[dir.size()] == '/');
}

void BaseName(const std::string& path, std::string& base)
{
    const size_t slash = path.rfind('/');
    base = slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string BaseName(const std::string& path)
{
    std::string base;
    BaseName(path, base);
    return base;
}

void BaseName(const std::string& path, char* base)
{
    const size_t slash = path.rfind('/');
    const std::string text = slash == std::string::npos ? std::string() : path.substr(slash + 1);
    memcpy(base, text.c_str(), text.size() + 1);
}

void DirName(const std::string& path, std::string& dir)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        dir.clear();
    else
        dir.assign(path, 0, slash);  // safe when dir is path: assign copies first
}

std::string DirName(const std::string& path)
{
    std::string dir;
    DirName(path, dir);
    return dir;
}

void DirName(const std::string& path, char* dir)
{
    const size_t slash = path.rfind('/');
    const size_t length = slash == std::string::npos ? 0 : slash;
    memcpy(dir, path.data(), length);
    dir[length] = '\0';
}

int RemoveEmptyDirectory(const char* path)
{
    if (rmdir(path) == 0)
        return 0;
    if (NotEmpty(errno))
        CM_PROGRESS("rmdir() failed. [%s] not empty", path);
    else
        CM_ERROR("rmdir() failed. [%s] [%s]", path, strerror(errno));
    return 1;
}

bool RemoveDir(const std::string& path, bool recursive)
{
    const CLumError result = CLumDirectory::Remove(path.c_str(), recursive, false);
    const long code = result.GetErrorCode() & 0xFFFF;
    if (!result.IsError() || code == ENOENT) {
        CM_PROGRESS("Removed directory [%s].", path.c_str());
        return true;
    }
    const int level = NotEmpty(static_cast<int>(code)) ? cm::LOG_PROGRESS : cm::LOG_ERROR;
    CM_LOG(level, "Failed to remove directory [%s]. [%s]. [%ld]", path.c_str(),
           result.AsString().c_str(), code);
    return false;
}

bool RemoveDirReverse(const std::string& path, int levels)
{
    std::string current = path;
    RemoveDir(current, false);
    for (int i = 1; i < levels; ++i) {
        DirName(current, current);
        if (RemoveEmptyDirectory(current.c_str()) != 0)
            return NotEmpty(errno);
        CM_PROGRESS("Removed directory [%s].", current.c_str());
    }
    return true;
}
