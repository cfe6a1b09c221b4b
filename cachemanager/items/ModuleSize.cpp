// The module's byte total, kept in the text of the "size" link so that every
// process sharing the module sees one figure. Item operations and pruning
// change it by deltas under the cache lock; a repair may set it outright. A
// missing link is a total of 0.
#include <cerrno>

#include "cachemanager/CacheManagerImpl.h"
#include "cachemanager/util/SysCall.h"
#include "cachemanager/timetable/Layout.h"

namespace layout = cm::layout;
namespace sys = cm::sys;

bool CacheManagerImpl::GetModuleSize(uint64_t& size)
{
    std::string text;
    if (!sys::ReadLink(CM_HERE, m_sizeLink, layout::kMaxSizeText, text, sys::QUIET_IF_MISSING)) {
        if (errno != ENOENT)
            return false;
        text.clear();
    }
    size = layout::ParseSizeText(text);
    return true;
}

bool CacheManagerImpl::SetModuleSize(uint64_t size)
{
    // Replacing the link by unlink and symlink would leave no total at all in
    // a process killed between the two (a total of 0, which stops pruning at
    // any module floor). The new link is made aside and renamed over it; when
    // there is no room for it, the old total stays and the next write tries
    // again.
    const std::string text = layout::SizeText(size);
    if (m_sizeLink.empty())
        return sys::Symlink(CM_HERE, text, m_sizeLink, sys::SYMLINK_LINK_TO_TEXT_SPACED);
    return sys::ReplaceLinkAside(CM_HERE, text, m_sizeLink, layout::SizeTempLink(m_moduleRoot),
                                 sys::SYMLINK_LINK_TO_TEXT_SPACED, sys::KEEP_OLD_WHEN_FULL);
}

bool CacheManagerImpl::UpdateModuleSize(int64_t delta)
{
    if (delta == 0)
        return true;
    uint64_t current = 0;
    if (!GetModuleSize(current))
        return false;
    uint64_t next = current + static_cast<uint64_t>(delta);
    if (delta < 0 && 0 - static_cast<uint64_t>(delta) > current) {
        // A wrapped total would read as huge and lift the module floor.
        CM_NOTICE("Module size [%lu] is smaller than the decrease [%ld]. Storing 0.",
                  static_cast<unsigned long>(current), static_cast<long>(delta));
        next = 0;
    }
    CM_PROGRESS("cursize [%lu] sizein [%ld] newsize [%lu].", static_cast<unsigned long>(current),
                static_cast<long>(delta), static_cast<unsigned long>(next));
    return SetModuleSize(next);
}
