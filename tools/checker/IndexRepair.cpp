// Mending an index under the cache lock. Each pass checks afresh and acts on
// what that check found; a second pass picks up what the first one left
// behind (directories its removals emptied, an oldest link they made stale).
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "cachemanager/CacheLock.h"
#include "cachemanager/CacheManagerImpl.h"
#include "cachemanager/prune/PathUtils.h"
#include "cachemanager/timetable/Layout.h"
#include "tools/checker/IndexChecker.h"
#include "tools/checker/IndexScan.h"
#include "tools/common/FileOps.h"

namespace layout = cm::layout;

namespace cm {
namespace check {

namespace {

using detail::EntryInfo;
using detail::FileId;
using detail::Misplaced;
using detail::Scan;

const int kMaxPasses = 3;

class Pass {
public:
    Pass(CacheManagerImpl& manager, const Scan& scan, bool dryRun, RepairReport& report)
        : m_manager(manager), m_scan(scan), m_dryRun(dryRun), m_report(report)
    {
    }

    // True when it did (or on a dry run, would do) anything.
    bool Run()
    {
        RemoveMisplaced();
        MendEntries();
        RemoveStaleRecords();
        RemoveEmptyDirs();
        DropOldest();
        RewriteSize();
        return m_acted;
    }

private:
    // Notes an action; true when it is to be carried out now.
    bool Act(const std::string& what)
    {
        m_acted = true;
        m_report.actions.push_back(what);
        return !m_dryRun;
    }

    void Failed(const std::string& what, int error)
    {
        m_report.failures.push_back(what + ": " + strerror(error));
    }

    void LeaveAlone(const std::string& what)
    {
        if (m_leftAlone.insert(what).second)
            m_report.leftAlone.push_back(what);
    }

    // Unlinks a link or file in T, then the directories that this empties,
    // never T itself.
    void RemoveFromIndex(const std::string& path, const std::string& what)
    {
        if (!Act(what))
            return;
        if (unlink(path.c_str()) != 0 && errno != ENOENT) {
            Failed(what, errno);
            return;
        }
        RemoveEmptiedDirs(path);
    }

    void RemoveEmptiedDirs(const std::string& path)
    {
        std::string dir = path.substr(0, path.rfind('/'));
        const std::string& top = m_scan.timeTableDir;
        while (dir.size() > top.size() + 1 && dir.compare(0, top.size(), top) == 0 && dir[top.size()] == '/') {
            if (RemoveEmptyDirectory(dir.c_str()) != 0)
                break;
            dir.erase(dir.rfind('/'));
        }
    }

    void RemoveMisplaced()
    {
        for (const Misplaced& junk : m_scan.junk) {
            if (junk.isDir) {
                // Only an empty directory goes; what holds something needs a
                // person to look at it.
                struct stat status;
                if (!junk.inTimeTable || lstat(junk.path.c_str(), &status) != 0) {
                    LeaveAlone(junk.path + ": " + junk.detail);
                    continue;
                }
                const std::string what = "remove empty directory " + junk.path + " (" + junk.detail + ")";
                if (!IsEmptyDir(junk.path)) {
                    LeaveAlone(junk.path + ": " + junk.detail + "; it holds something: move it out by hand");
                } else if (Act(what) && RemoveEmptyDirectory(junk.path.c_str()) != 0) {
                    Failed(what, errno);
                }
                continue;
            }
            if (junk.path == layout::LockFile(m_scan.moduleRoot)) {
                LeaveAlone(junk.path + ": " + junk.detail);
                continue;
            }
            const std::string what = "remove " + junk.path + " (" + junk.detail + ")";
            if (junk.inTimeTable) {
                RemoveFromIndex(junk.path, what);
            } else if (Act(what) && unlink(junk.path.c_str()) != 0 && errno != ENOENT) {
                Failed(what, errno);
            }
        }
        for (const Misplaced& link : m_scan.badDepth)
            RemoveFromIndex(link.path, "remove " + link.path + " (" + link.detail + ")");
        for (const Misplaced& link : m_scan.malformed)
            RemoveFromIndex(link.path, "remove malformed entry " + link.path + " (" + link.detail + ")");
    }

    static bool IsEmptyDir(const std::string& path)
    {
        std::vector<fileops::DirEntry> names;
        return fileops::ListDir(path, names) && names.empty();
    }

    void RemoveEntry(const EntryInfo& info, const std::string& what)
    {
        if (!Act(what))
            return;
        CacheItemInfo removed;
        if (m_manager.RemoveItemAtPosition(info.entry.path, removed, true))
            return;
        // The library could not read it back: take the link away by hand.
        if (unlink(info.entry.path.c_str()) != 0 && errno != ENOENT) {
            Failed(what, errno);
            return;
        }
        RemoveEmptiedDirs(info.entry.path);
    }

    void PointRecord(const EntryInfo& info, const std::string& what)
    {
        if (Act(what) && !m_manager.SetItemCachePos(info.entry.item, info.entry.path))
            Failed(what, errno);
    }

    void MendEntries()
    {
        for (const EntryInfo& info : m_scan.entries) {
            const std::string& item = info.entry.item;
            const std::string& entry = info.entry.path;
            if (!info.newest) {
                RemoveEntry(info, "remove older entry " + entry + " of " + item);
                continue;
            }
            switch (info.record) {
            case detail::RECORD_HERE:
                break;
            case detail::RECORD_NONE:
                // A leftover of an update killed before the record was made:
                // the item may have been hidden since, so it stays out.
                if (info.itemExists)
                    m_droppedBytes += info.itemSize;
                RemoveEntry(info, "remove orphan entry " + entry + " (" + item + " has no record" +
                                      (info.itemExists ? "; its file is left alone)" : " and no file)"));
                break;
            case detail::RECORD_SAME_ITEM:
            case detail::RECORD_ELSEWHERE:
                PointRecord(info, "point the record of " + item + " at " + entry + " (it named [" +
                                      info.recordText + "])");
                break;
            case detail::RECORD_UNREADABLE:
                LeaveAlone(layout::RecordPath(item) + ": the record of " + item + " " + info.recordText +
                           "; move it away by hand");
                break;
            }
        }
    }

    void RemoveStaleRecords()
    {
        // A record that MendEntries points afresh is left to it.
        std::set<FileId> mended;
        for (const EntryInfo& info : m_scan.entries)
            if (info.newest && info.record != detail::RECORD_NONE)
                mended.insert(info.recordId);
        for (const detail::BadRecord& record : m_scan.badRecords) {
            if (mended.count(record.id) != 0 || (record.missing && Refile(record)))
                continue;
            const std::string what = "remove record " + record.path + " (" + record.detail + ")";
            if (Act(what) && unlink(record.path.c_str()) != 0 && errno != ENOENT)
                Failed(what, errno);
        }
    }

    // An item whose record names a missing entry, and which no entry names,
    // was in the cache when an update was killed between taking its old
    // entry away and filing the new one. Its file goes back in at the young
    // end with its size now, counted in the total. False when there is no
    // such file: the record then goes.
    bool Refile(const detail::BadRecord& record)
    {
        struct stat status;
        if (lstat(record.item.c_str(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size <= 0)
            return false;
        const uint64_t size = static_cast<uint64_t>(status.st_size);
        m_refiledBytes += size;
        const std::string what = "file " + record.item + " afresh at the young end with its " +
                                 std::to_string(size) + " bytes (its record " + record.detail + ")";
        if (Act(what) && !m_manager.UpdateItem(record.item, true, size, 0))
            Failed(what, errno);
        return true;
    }

    // With the parents that this empties: T/5/6/7 goes in one pass.
    void RemoveEmptyDirs()
    {
        for (const std::string& dir : m_scan.emptyDirs) {
            const std::string what = "remove empty directory " + dir;
            if (!Act(what))
                continue;
            if (RemoveEmptyDirectory(dir.c_str()) != 0) {
                if (errno != ENOENT)
                    Failed(what, errno);
                continue;
            }
            RemoveEmptiedDirs(dir);
        }
    }

    void DropOldest()
    {
        if (m_scan.oldest != detail::OLDEST_IS_STALE && m_scan.oldest != detail::OLDEST_AT_WRONG_DEPTH &&
            m_scan.oldest != detail::OLDEST_IS_NEWER)
            return;
        // Without the link the library finds the oldest by walking the tree.
        const std::string link = layout::OldestLink(m_scan.moduleRoot);
        const std::string what = "drop the oldest link (" + m_scan.oldestDetail + ")";
        if (Act(what) && unlink(link.c_str()) != 0 && errno != ENOENT)
            Failed(what, errno);
    }

    void RewriteSize()
    {
        if (m_scan.storedSize == m_scan.itemBytes - m_droppedBytes)
            return;
        struct stat status;
        const std::string link = layout::SizeLink(m_scan.moduleRoot);
        if (lstat(link.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
            return;  // left alone above
        // Items filed afresh above are in the total already; those whose
        // orphan entry went are not.
        const uint64_t total = m_scan.itemBytes - m_droppedBytes + m_refiledBytes;
        const std::string what = "rewrite the size total: " + std::to_string(m_scan.storedSize) + " -> " +
                                 std::to_string(total);
        if (Act(what) && !m_manager.SetModuleSize(total))
            Failed(what, errno);
    }

    CacheManagerImpl& m_manager;
    const Scan& m_scan;
    const bool m_dryRun;
    RepairReport& m_report;
    bool m_acted = false;
    uint64_t m_refiledBytes = 0;
    uint64_t m_droppedBytes = 0;
    std::set<std::string> m_leftAlone;
};

}  // namespace

bool RepairIndex(CacheManagerImpl& manager, const CheckOptions& options, bool dryRun, RepairReport& report,
                 std::string& error)
{
    report = RepairReport();
    if (manager.m_sizeLink.empty() || !manager.m_ptrCacheLock) {
        error = "the cache manager is not initialised";
        return false;
    }
    CheckOptions ours = options;
    ours.moduleRoot = manager.m_moduleRoot;

    TakeCacheLock lock(manager.m_ptrCacheLock);
    Scan scan;
    if (!detail::RunScan(ours, scan, error))
        return false;
    detail::Summarise(scan, ours, report.before);
    if (dryRun) {
        Pass(manager, scan, true, report).Run();
        report.after = report.before;
        return true;
    }
    for (int pass = 0; pass < kMaxPasses; ++pass) {
        RepairReport passReport;
        const bool acted = Pass(manager, scan, false, passReport).Run();
        report.actions.insert(report.actions.end(), passReport.actions.begin(), passReport.actions.end());
        report.failures.insert(report.failures.end(), passReport.failures.begin(), passReport.failures.end());
        report.leftAlone = passReport.leftAlone;
        if (!detail::RunScan(ours, scan, error))
            return false;
        if (!acted || !passReport.failures.empty())
            break;
    }
    detail::Summarise(scan, ours, report.after);
    if (!report.failures.empty()) {
        error = std::to_string(report.failures.size()) + " repair actions failed";
        return false;
    }
    return true;
}

}  // namespace check
}  // namespace cm
