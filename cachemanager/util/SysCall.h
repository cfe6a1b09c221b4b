// Thin wrappers over the system calls that the library makes on the index,
// the records and the items. Each makes one call; on failure it writes
// "<call>() failed. [path] [error text]" at the error level, in the name of
// the caller's site, and returns false with errno as the call left it.
// QUIET_IF_MISSING lets a missing path (ENOENT) fail without a line: for most
// readers a missing link or file is a state, not an error.
#ifndef CACHEMANAGER_SYSCALL_H
#define CACHEMANAGER_SYSCALL_H

#include <dirent.h>
#include <stddef.h>
#include <string>
#include <sys/stat.h>

#include "cachemanager/util/Log.h"

namespace cm {
namespace sys {

// Which failures a wrapper leaves unlogged; the QUIET_IF_ flags combine.
enum Quiet : unsigned {
    LOG_FAILURE = 0,             // every failure is logged
    QUIET_IF_MISSING = 1u << 0,  // ENOENT is not logged
    QUIET_IF_EXISTS = 1u << 1,   // EEXIST is not logged
    QUIET_IF_FULL = 1u << 2,     // ENOSPC and EDQUOT are not logged
    QUIET = ~0u,                 // nothing is logged
};

inline Quiet operator|(Quiet a, Quiet b) { return static_cast<Quiet>(static_cast<unsigned>(a) | b); }

// How a failed readlink() names what it read: "[path] [error]" or, for item
// records and entries, "[path]->[text read so far] [error]".
enum ReadLinkMessage { READLINK_PLAIN, READLINK_ARROW };

// The order in which a failed symlink() names the link and its text.
enum SymlinkMessage {
    SYMLINK_LINK_TO_TEXT,         // "[link]->[text]"
    SYMLINK_TEXT_TO_LINK,         // "[text]->[link]"
    SYMLINK_LINK_TO_TEXT_SPACED,  // "[link] -> [text]"
};

// "opendir() failed. [dir]. [error]" for index scans, or without the dot.
enum OpenDirMessage { OPENDIR_DOTTED, OPENDIR_PLAIN };

bool Unlink(const LogSite& site, const std::string& path, Quiet quiet);
bool Truncate(const LogSite& site, const std::string& path, Quiet quiet);
bool Lstat(const LogSite& site, const std::string& path, struct stat& info,
           Quiet quiet);
// True when the directory was made or exists already.
bool Mkdir(const LogSite& site, const std::string& path, Quiet quiet);

// Reads a link's text, which may be at most limit bytes long. A longer text
// is refused (ENAMETOOLONG, logged): nothing is ever used through a shortened
// text.
bool ReadLink(const LogSite& site, const std::string& path, size_t limit,
              std::string& text, Quiet quiet,
              ReadLinkMessage message = READLINK_PLAIN);

bool Symlink(const LogSite& site, const std::string& text, const std::string& link,
             SymlinkMessage message, Quiet quiet = LOG_FAILURE);

// rename(); the message names both paths: "[from] -> [to] [error]".
bool Rename(const LogSite& site, const std::string& from, const std::string& to);

// Replaces a link in place: unlink (a missing link is fine), then symlink.
// Between the two the link is missing.
bool ReplaceLink(const LogSite& site, const std::string& text, const std::string& link,
                 SymlinkMessage message);

// What ReplaceLinkAside does when the file system has no room (ENOSPC,
// EDQUOT) for the link made aside.
enum WhenFull {
    KEEP_OLD_WHEN_FULL,      // fail; the old link stays as it was
    IN_PLACE_WHEN_FULL,      // replace in place: for links whose absence costs only a scan
};

// Replaces a link without a moment in which it is missing, not even in a
// process killed halfway: the new link is made under temp (a name in the same
// file system that only holders of the cache lock use), then renamed over
// link. A temp left by an interrupted replacement is removed first. On
// failure link stays as it was, and the failure line names link, not temp.
bool ReplaceLinkAside(const LogSite& site, const std::string& text, const std::string& link,
                      const std::string& temp, SymlinkMessage message, WhenFull whenFull);

// Lists a directory's names, passing over those that begin with '.'; closes
// the directory on every path out.
class DirReader {
public:
    DirReader() : m_dir(nullptr) {}
    ~DirReader();
    DirReader(const DirReader&) = delete;
    DirReader& operator=(const DirReader&) = delete;

    bool Open(const LogSite& site, const std::string& path, Quiet quiet,
              OpenDirMessage message);
    // The next name, or null at the end.
    const char* Next();
    // The next name that the index could have written ("%u"), or null at the
    // end. Any other name (an editor's backup, lost+found, a number beyond
    // 32 bits) is not part of the index: it is passed over, left where it
    // is, with an error line naming it; skipped says that one was.
    const char* NextNumbered(const LogSite& site, bool& skipped);

private:
    DIR* m_dir;
    std::string m_path;
};

}  // namespace sys
}  // namespace cm

#endif
