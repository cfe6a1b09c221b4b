#include "cachemanager/prune/PathUtils.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "cachemanager/util/Log.h"
#include "host/LumDirectory.h"

namespace {

bool NotEmpty(int error) { return error == ENOTEMPTY || error == EEXIST; }

}  // namespace


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
