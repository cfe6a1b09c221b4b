// The old end of the index. The oldest link caches where pruning starts: one
// readlink while it holds a path, a walk down the smallest numbers from "T"
// when it is missing. After a prune the link is moved on from the directory
// of what was just removed, climbing only as far as needed and removing the
// empty directories it meets.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sys/stat.h>
#include <vector>

#include "cachemanager/CacheManagerImpl.h"
#include "cachemanager/Statistics.h"
#include "cachemanager/util/SysCall.h"
#include "cachemanager/prune/PathUtils.h"
#include "cachemanager/timetable/Layout.h"

namespace layout = cm::layout;
namespace sys = cm::sys;

namespace {

// Whether path names something exactly depth levels below timeTableDir, by
// numbered names only: what the oldest link must hold to be followed. Any
// other text ("..", ".", empty components, a path outside the module, the
// other prune mode's depth) would lead pruning astray or out of the index.
bool IsIndexPath(const std::string& path, const std::string& timeTableDir, int depth)
{
    if (path.size() <= timeTableDir.size() + 1 || path.compare(0, timeTableDir.size(), timeTableDir) != 0 ||
        path[timeTableDir.size()] != '/')
        return false;
    int levels = 0;
    for (size_t start = timeTableDir.size() + 1; start <= path.size(); ++levels) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        if (!layout::IsNumberName(path.substr(start, end - start).c_str()))
            return false;
        start = end + 1;
    }
    return levels == depth;
}

// Within one entry directory every new entry is numbered above all the
// entries there, so once the smallest entry is gone, the entry numbered one
// above it, if it exists, is the new smallest: what a scan of the directory
// would find. Pruning a directory of n entries one by one then costs n
// lstat() calls instead of n scans of up to n names. The probe stands in for
// the scan only where its premise holds: previous is what the oldest link
// names (the smallest entry when the link was set: a link into an entry
// directory is removed with that directory, so it never names an entry of a
// later directory of the same name), it is gone, and its successor exists.
// Anything else, a gap in the numbers included, falls back to the walk,
// whose outcome the probe never changes.
bool ProbeNextEntry(const std::string& oldestLink, const std::string& previous, std::string& next)
{
    const size_t slash = previous.rfind('/');
    if (slash == std::string::npos)
        return false;
    const char* name = previous.c_str() + slash + 1;
    const uint32_t number = layout::NameNumber(name);
    std::string linked;
    struct stat status;
    // Only a name that the walk would have built ("%u") has a successor.
    if (number == UINT32_MAX || !layout::IsNumberName(name) ||
        !sys::ReadLink(CM_HERE, oldestLink, layout::kMaxShortLink, linked, sys::QUIET) || linked != previous ||
        sys::Lstat(CM_HERE, previous, status, sys::QUIET) || errno != ENOENT)
        return false;
    const std::string candidate = layout::EntryPath(previous.substr(0, slash), number + 1);
    if (!sys::Lstat(CM_HERE, candidate, status, sys::QUIET))
        return false;
    next = candidate;
    return true;
}

bool Contains(const std::vector<std::string>& paths, const std::string& path)
{
    return std::find(paths.begin(), paths.end(), path) != paths.end();
}

// A directory that holds no numbered name and cannot be removed (it holds
// names that are not the index's), or a numbered name that is no directory
// where one belongs: the walks pass it over and go on with its next sibling.
bool PassOver(const std::string& dir, std::vector<std::string>& deadEnds)
{
    if (errno != ENOTEMPTY && errno != EEXIST && errno != ENOTDIR)
        return false;
    deadEnds.push_back(dir);
    return true;
}

}  // namespace

// The directory is opened by its path: the scan never changes the process's
// working directory, which other host threads rely on.
bool CacheManagerImpl::GetOldest(const std::string& dir, bool& empty, uint32_t& smallest)
{
    return SmallestIn(dir, std::vector<std::string>(), empty, smallest);
}

bool CacheManagerImpl::SmallestIn(const std::string& dir, const std::vector<std::string>& deadEnds, bool& empty,
                                  uint32_t& smallest)
{
    cm::StatTimer timer(m_getMinOrMaxCount, m_getMinOrMaxTime);
    empty = true;
    sys::DirReader reader;
    if (!reader.Open(CM_HERE, dir, sys::QUIET_IF_MISSING, sys::OPENDIR_DOTTED))
        return false;
    smallest = UINT32_MAX;
    bool skipped = false;
    while (const char* name = reader.NextNumbered(CM_HERE, skipped)) {
        if (!deadEnds.empty() && Contains(deadEnds, dir + "/" + name))
            continue;
        empty = false;
        const uint32_t number = layout::NameNumber(name);
        if (number < smallest)
            smallest = number;
    }
    return true;
}

bool CacheManagerImpl::GetOldest(const std::string& dir, bool& empty, std::string& smallest)
{
    uint32_t number = 0;
    if (!GetOldest(dir, empty, number))
        return false;
    if (!empty)
        smallest = std::to_string(number);
    return true;
}

bool CacheManagerImpl::GetOldestItem(std::string& position)
{
    return FindOldest(position, layout::kEntryDepth);
}

bool CacheManagerImpl::GetOldestDir(std::string& dir)
{
    return FindOldest(dir, layout::kEntryDirDepth);
}

bool CacheManagerImpl::FindOldest(std::string& result, int depth)
{
    std::string text;
    if (!sys::ReadLink(CM_HERE, m_oldestLink, layout::kMaxShortLink, text, sys::QUIET_IF_MISSING) &&
        errno != ENOENT)
        return false;
    if (!text.empty()) {
        if (IsIndexPath(text, m_timeTableDir, depth)) {
            result = text;
            return true;
        }
        CM_ERROR("Oldest link [%s] does not name an entry%s. Searching the index.", text.c_str(),
                 depth == layout::kEntryDepth ? "" : " directory");
    }

    std::vector<std::string> deadEnds;
    std::string current = m_timeTableDir;
    int remaining = depth;
    while (remaining > 0) {
        bool empty = true;
        uint32_t smallest = 0;
        if (!SmallestIn(current, deadEnds, empty, smallest)) {
            if (remaining < depth && PassOver(current, deadEnds)) {
                DirName(current, current);
                ++remaining;
                continue;
            }
            if (depth == layout::kEntryDirDepth)
                CM_ERROR("Failed to get oldest in dir [%s]", current.c_str());
            return false;
        }
        if (!empty) {
            current = layout::ChildDir(current, smallest);
            --remaining;
            continue;
        }
        if (remaining == depth) {
            result.clear();
            return true;
        }
        // An empty directory left by an interrupted insertion.
        if (RemoveEmptyDirectory(current.c_str()) != 0 && !PassOver(current, deadEnds))
            return false;
        DirName(current, current);
        ++remaining;
    }
    result = current;
    return true;
}

bool CacheManagerImpl::SetNextOldest(const std::string& previous)
{
    cm::StatTimer timer(m_setNextOldestCount, m_setNextOldestTime);
    return Advance(previous, layout::kEntryDepth);
}

bool CacheManagerImpl::SetNextOldestDir(const std::string& previous)
{
    cm::StatTimer timer(m_setNextOldestCount, m_setNextOldestTime);
    return Advance(previous, layout::kEntryDirDepth);
}

bool CacheManagerImpl::Advance(const std::string& previous, int depth)
{
    const std::string temp = layout::OldestTempLink(m_moduleRoot);
    std::string next;
    if (depth == layout::kEntryDepth && !m_oldestLink.empty() && ProbeNextEntry(m_oldestLink, previous, next))
        return sys::ReplaceLinkAside(CM_HERE, next, m_oldestLink, temp, sys::SYMLINK_LINK_TO_TEXT_SPACED,
                                     sys::IN_PLACE_WHEN_FULL);

    std::vector<std::string> deadEnds;
    // An entry directory that pruning left in place because it holds names
    // that are not the index's is passed over, not found again.
    bool emptyPrevious = false;
    uint32_t unused = 0;
    if (depth == layout::kEntryDirDepth && SmallestIn(previous, deadEnds, emptyPrevious, unused) && emptyPrevious)
        deadEnds.push_back(previous);

    // level is the depth below "T" of the directory being scanned.
    std::string current = DirName(previous);
    int level = depth - 1;
    bool descending = false;
    while (level > 0) {
        bool empty = true;
        uint32_t smallest = 0;
        if (!SmallestIn(current, deadEnds, empty, smallest)) {
            if (descending ? !PassOver(current, deadEnds) : errno != ENOENT)
                return false;
            DirName(current, current);
            --level;
            descending = false;
            continue;
        }
        if (empty) {
            if (RemoveEmptyDirectory(current.c_str()) != 0 && !PassOver(current, deadEnds))
                return false;
            DirName(current, current);
            --level;
            descending = false;
            continue;
        }
        const std::string child = layout::ChildDir(current, smallest);
        if (level == depth - 1) {
            next = child;
            break;
        }
        current = child;
        ++level;
        descending = true;
    }

    if (next.empty()) {
        CM_ERROR_NOT_FAILURE("Failed to find next oldest. Cache must be empty.");
        return m_oldestLink.empty() || RemoveStaleOldestLink();
    }
    if (next == previous) {
        CM_ERROR("Failed to find next oldest");
        return false;
    }
    return sys::ReplaceLinkAside(CM_HERE, next, m_oldestLink, temp, sys::SYMLINK_LINK_TO_TEXT_SPACED,
                                 sys::IN_PLACE_WHEN_FULL);
}

void CacheManagerImpl::DropOldestLinkInto(const std::string& dir)
{
    std::string text;
    if (m_oldestLink.empty() ||
        !sys::ReadLink(CM_HERE, m_oldestLink, layout::kMaxShortLink, text, sys::QUIET) ||
        text.compare(0, dir.size(), dir) != 0 || (text.size() > dir.size() && text[dir.size()] != '/'))
        return;
    RemoveStaleOldestLink();
}

bool CacheManagerImpl::RemoveStaleOldestLink()
{
    return sys::Unlink(CM_HERE, m_oldestLink, sys::QUIET_IF_MISSING) || errno == ENOENT;
}
