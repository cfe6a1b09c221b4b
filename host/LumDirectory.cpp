#include "host/LumDirectory.h"

#include <cerrno>
#include <cstring>
#include <sys/statvfs.h>
#include <unistd.h>

std::string CLumError::AsString() const
{
    if (!IsError())
        return "Success";
    return strerror(m_code & 0xFFFF);
}

CLumError CLumDirectory::GetSpaceUsage(const char* path, unsigned long long* total,
                                       unsigned long long* free)
{
    struct statvfs64 info;
    if (statvfs64(path, &info) != 0)
        return CLumError::FromErrno(errno);
    *total = static_cast<unsigned long long>(info.f_blocks) * info.f_frsize;
    *free = static_cast<unsigned long long>(info.f_bavail) * info.f_frsize;
    return CLumError();
}

CLumError CLumDirectory::Remove(const char* path, bool /*recursive*/, bool /*force*/)
{
    if (rmdir(path) != 0)
        return CLumError::FromErrno(errno);
    return CLumError();
}
