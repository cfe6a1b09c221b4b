// Removing emptied directories. The path splitting that goes with it is in
// cachemanager/util/PathName.h, included here for the callers of both.
#ifndef CACHEMANAGER_PRUNE_PATHUTILS_H
#define CACHEMANAGER_PRUNE_PATHUTILS_H

#include <string>

#include "cachemanager/util/Export.h"
#include "cachemanager/util/PathName.h"

// Removes path if it is an empty directory: 0 when removed, 1 otherwise, with
// errno as rmdir() left it. A directory that still holds something is logged
// at level 4, any other failure at the error level.
CM_EXPORT int RemoveEmptyDirectory(const char* path);

// Removes a directory through the host's directory removal, which takes only
// empty directories. True when it is gone (or was not there).
CM_HIDDEN bool RemoveDir(const std::string& path, bool recursive);

// Removes path, then up to levels - 1 ancestors while they are empty. True
// when the walk stopped at an ancestor that still holds something or ran its
// course; false when an ancestor could not be removed for another reason.
CM_HIDDEN bool RemoveDirReverse(const std::string& path, int levels);

#endif
