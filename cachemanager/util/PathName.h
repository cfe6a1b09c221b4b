// Splitting a path at its last '/', and spelling it plainly: text only,
// nothing on disk is asked. Used by every part of the library, so it depends
// on none of them.
#ifndef CACHEMANAGER_UTIL_PATHNAME_H
#define CACHEMANAGER_UTIL_PATHNAME_H

#include <string>

#include "cachemanager/util/Export.h"

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

#endif
