#include "cachemanager/util/SysCall.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unistd.h>

#include "cachemanager/timetable/Layout.h"

namespace cm {
namespace sys {

namespace {

bool Silent(Quiet quiet)
{
    return quiet == QUIET || ((quiet & QUIET_IF_MISSING) && errno == ENOENT) ||
           ((quiet & QUIET_IF_EXISTS) && errno == EEXIST) ||
           ((quiet & QUIET_IF_FULL) && (errno == ENOSPC || errno == EDQUOT));
}

}  // namespace

bool Unlink(const LogSite& site, const std::string& path, Quiet quiet)
{
    if (unlink(path.c_str()) == 0)
        return true;
    if (!Silent(quiet))
        CM_LOG_AT(site, LOG_ERROR, "unlink() failed. [%s] [%s]", path.c_str(), strerror(errno));
    return false;
}

bool Truncate(const LogSite& site, const std::string& path, Quiet quiet)
{
    if (truncate(path.c_str(), 0) == 0)
        return true;
    if (!Silent(quiet))
        CM_LOG_AT(site, LOG_ERROR, "truncate() failed. [%s] [%s]", path.c_str(), strerror(errno));
    return false;
}

bool Lstat(const LogSite& site, const std::string& path, struct stat& info, Quiet quiet)
{
    if (lstat(path.c_str(), &info) == 0)
        return true;
    if (!Silent(quiet))
        CM_LOG_AT(site, LOG_ERROR, "lstat() failed. [%s] [%s]", path.c_str(), strerror(errno));
    return false;
}

bool Mkdir(const LogSite& site, const std::string& path, Quiet quiet)
{
    if (mkdir(path.c_str(), 0777) == 0 || errno == EEXIST)
        return true;
    if (!Silent(quiet))
        CM_LOG_AT(site, LOG_ERROR, "mkdir() failed. [%s] [%s]", path.c_str(), strerror(errno));
    return false;
}

bool ReadLink(const LogSite& site, const std::string& path, size_t limit, std::string& text,
              Quiet quiet, ReadLinkMessage message)
{
    // One byte more than the limit tells a text that fits from a cut one.
    // Every limit in use fits the stack buffer, which is not cleared: only
    // the bytes read are used (a zero-filled heap buffer for entry and record
    // texts cost two 4 KiB memsets per update).
    char small[4096];
    std::unique_ptr<char[]> large;
    char* buffer = small;
    if (limit + 1 > sizeof small) {
        large.reset(new char[limit + 1]);
        buffer = large.get();
    }
    ssize_t length = readlink(path.c_str(), buffer, limit + 1);
    if (length >= 0 && static_cast<size_t>(length) <= limit) {
        text.assign(buffer, static_cast<size_t>(length));
        return true;
    }
    if (length >= 0)
        errno = ENAMETOOLONG;
    if (Silent(quiet))
        return false;
    if (message == READLINK_ARROW)
        CM_LOG_AT(site, LOG_ERROR, "readlink() failed. [%s]->[%s] [%s]", path.c_str(), "",
                  strerror(errno));
    else
        CM_LOG_AT(site, LOG_ERROR, "readlink() failed. [%s] [%s]", path.c_str(), strerror(errno));
    return false;
}

namespace {

void SymlinkFailed(const LogSite& site, const std::string& text, const std::string& link,
                   SymlinkMessage message)
{
    const char* error = strerror(errno);
    switch (message) {
    case SYMLINK_LINK_TO_TEXT:
        CM_LOG_AT(site, LOG_ERROR, "symlink() failed. [%s]->[%s] [%s]", link.c_str(), text.c_str(), error);
        break;
    case SYMLINK_TEXT_TO_LINK:
        CM_LOG_AT(site, LOG_ERROR, "symlink() failed. [%s]->[%s] [%s]", text.c_str(), link.c_str(), error);
        break;
    case SYMLINK_LINK_TO_TEXT_SPACED:
        CM_LOG_AT(site, LOG_ERROR, "symlink() failed. [%s] -> [%s] [%s]", link.c_str(), text.c_str(), error);
        break;
    }
}

}  // namespace

bool Symlink(const LogSite& site, const std::string& text, const std::string& link,
             SymlinkMessage message, Quiet quiet)
{
    if (symlink(text.c_str(), link.c_str()) == 0)
        return true;
    if (!Silent(quiet))
        SymlinkFailed(site, text, link, message);
    return false;
}

bool Rename(const LogSite& site, const std::string& from, const std::string& to)
{
    if (rename(from.c_str(), to.c_str()) == 0)
        return true;
    CM_LOG_AT(site, LOG_ERROR, "rename() failed. [%s] -> [%s] [%s]", from.c_str(), to.c_str(), strerror(errno));
    return false;
}

bool ReplaceLink(const LogSite& site, const std::string& text, const std::string& link,
                 SymlinkMessage message)
{
    if (!Unlink(site, link, QUIET_IF_MISSING) && errno != ENOENT)
        return false;
    return Symlink(site, text, link, message);
}

bool ReplaceLinkAside(const LogSite& site, const std::string& text, const std::string& link,
                      const std::string& temp, SymlinkMessage message, WhenFull whenFull)
{
    int made = symlink(text.c_str(), temp.c_str());
    if (made != 0 && errno == EEXIST) {
        // Left by a replacement that was interrupted before its rename.
        if (!Unlink(site, temp, QUIET_IF_MISSING) && errno != ENOENT)
            return false;
        made = symlink(text.c_str(), temp.c_str());
    }
    if (made != 0) {
        if (whenFull == IN_PLACE_WHEN_FULL && (errno == ENOSPC || errno == EDQUOT)) {
            CM_LOG_AT(site, LOG_NOTICE, "No room for [%s]. Replacing [%s] in place.", temp.c_str(), link.c_str());
            return ReplaceLink(site, text, link, message);
        }
        SymlinkFailed(site, text, link, message);
        return false;
    }
    if (Rename(site, temp, link))
        return true;
    ErrnoSaver saver;
    unlink(temp.c_str());
    return false;
}

DirReader::~DirReader()
{
    if (m_dir != nullptr) {
        ErrnoSaver saver;
        closedir(m_dir);
    }
}

bool DirReader::Open(const LogSite& site, const std::string& path, Quiet quiet,
                     OpenDirMessage message)
{
    m_path = path;
    m_dir = opendir(path.c_str());
    if (m_dir != nullptr)
        return true;
    if (Silent(quiet))
        return false;
    if (message == OPENDIR_DOTTED)
        CM_LOG_AT(site, LOG_ERROR, "opendir() failed. [%s]. [%s]", path.c_str(), strerror(errno));
    else
        CM_LOG_AT(site, LOG_ERROR, "opendir() failed. [%s] [%s]", path.c_str(), strerror(errno));
    return false;
}

const char* DirReader::Next()
{
    while (struct dirent* entry = readdir(m_dir)) {
        if (entry->d_name[0] != '.')
            return entry->d_name;
    }
    return nullptr;
}

const char* DirReader::NextNumbered(const LogSite& site, bool& skipped)
{
    while (const char* name = Next()) {
        if (layout::IsNumberName(name))
            return name;
        skipped = true;
        CM_LOG_AT(site, LOG_ERROR, "Name [%s/%s] is not part of the index. Passed over.", m_path.c_str(), name);
    }
    return nullptr;
}

}  // namespace sys
}  // namespace cm
