// Splitting paths at their last '/' and removing emptied directories.
// Nothing is normalised: "a/b/" splits into "a/b" and "".
#ifndef CACHEMANAGER_PRUNE_PATHUTILS_H
#define CACHEMANAGER_PRUNE_PATHUTILS_H

#include <string>

#include "cachemanager/Export.h"

// Removes path if it is an empty directory: 0 when removed, 1 otherwise, with
// errno as rmdir() left it. A directory that still holds something is logged
// at level 4, any other failure at the error level.
CM_EXPORT int RemoveEmptyDirectory(const char* path);

// The text after the last '/'; the whole path when it has none.
CM_HIDDEN void BaseName(const std::string& path, std::string& base);
CM_HIDDEN std::string BaseName(const std::string& path);
// As above into a buffer of at least path.size() + 1 bytes, except that a
// path without '/' gives the empty text.
CM_HIDDEN void BaseName(const std::string& path, char* base);

// The text before the last '/'; empty when there is none. dir may be path.
CM_HIDDEN void DirName(const std::string& path, std::string& dir);
CM_HIDDEN std::string DirName(const std::string& path);
CM_HIDDEN void DirName(const std::string& path, char* dir);

// An absolute path spelt plainly: "." and empty components dropped, ".."
// taken off textually (above "/" it stays at "/"); no trailing '/'. Nothing
// on disk is asked, so links are not resolved.
CM_HIDDEN std::string PlainPath(const std::string& absolute);

// Whether path is dir itself or lies below it, by text.
CM_HIDDEN bool IsWithin(const std::string& path, const std::string& dir);

// Removes a directory through the host's directory removal, which takes only
// empty directories. True when it is gone (or was not there).
CM_HIDDEN bool RemoveDir(const std::string& path, bool recursive);

// Removes path, then up to levels - 1 ancestors while they are empty. True
// when the walk stopped at an ancestor that still holds something or ran its
// course; false when an ancestor could not be removed for another reason.
CM_HIDDEN bool RemoveDirReverse(const std::string& path, int levels);

#endif
