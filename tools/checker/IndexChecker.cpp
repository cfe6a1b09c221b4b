#include "tools/checker/IndexChecker.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cachemanager/CacheManager.h"
#include "cachemanager/timetable/Layout.h"
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

const uint64_t kProgressEvery = 1024;

FileId IdOf(const struct stat& status)
{
    FileId id;
    id.dev = status.st_dev;
    id.ino = status.st_ino;
    return id;
}

std::string ParentOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

using fileops::ReadLink;

// A directory's names, read whole before anything is done with them.
bool ReadNames(const std::string& path, std::vector<fileops::DirEntry>& names) { return fileops::ListDir(path, names); }

const char* KindOf(const struct stat& status)
{
    if (S_ISLNK(status.st_mode))
        return "a link";
    if (S_ISDIR(status.st_mode))
        return "a directory";
    if (S_ISREG(status.st_mode))
        return "a plain file";
    return "a special file";
}

// The walk of T, oldest first: at each level the names in numeric order, as
// the library's own walks take them.
class TreeWalk {
public:
    TreeWalk(const CheckOptions& options, Scan& scan) : m_options(options), m_scan(scan) {}

    void Walk()
    {
        struct stat status;
        if (lstat(m_scan.timeTableDir.c_str(), &status) == 0)
            WalkDir(m_scan.timeTableDir, status, 0, 0);
    }

private:
    struct Numbered {
        uint32_t number;
        std::string name;
        struct stat status;
    };

    void Count()
    {
        if (++m_scan.namesRead % kProgressEvery == 0 && m_options.progress)
            m_options.progress(m_scan.namesRead);
    }

    void Junk(const std::string& path, const std::string& detail, bool isDir)
    {
        Misplaced junk;
        junk.path = path;
        junk.detail = detail;
        junk.isDir = isDir;
        m_scan.junk.push_back(junk);
    }

    // dir lies level levels below T; key holds the numbers of its path.
    void WalkDir(const std::string& dir, const struct stat& self, int level, uint64_t key)
    {
        std::vector<fileops::DirEntry> names;
        if (!ReadNames(dir, names)) {
            Junk(dir, std::string("cannot be read: ") + strerror(errno), true);
            return;
        }
        if (names.empty() && level > 0)
            m_emptyDirs.push_back(std::make_pair(level, dir));
        if (level == layout::kEntryDirDepth) {
            m_dirSeq = m_nextDirSeq++;
            m_scan.entryDirSeq[IdOf(self)] = m_dirSeq;
        }

        std::vector<Numbered> numbered;
        for (const fileops::DirEntry& name : names) {
            Count();
            const std::string path = dir + "/" + name.name;
            struct stat status;
            if (lstat(path.c_str(), &status) != 0)
                continue;  // gone meanwhile
            if (!layout::IsNumberName(name.name.c_str())) {
                Junk(path, std::string("not a number as the index writes them (") + KindOf(status) + ")",
                     S_ISDIR(status.st_mode));
                continue;
            }
            numbered.push_back(Numbered{layout::NameNumber(name.name.c_str()), name.name, status});
        }
        std::sort(numbered.begin(), numbered.end(),
                  [](const Numbered& a, const Numbered& b) { return a.number < b.number; });

        const int childLevel = level + 1;
        for (const Numbered& child : numbered) {
            const std::string path = dir + "/" + child.name;
            const bool isLink = S_ISLNK(child.status.st_mode);
            const bool isDir = S_ISDIR(child.status.st_mode);
            if (childLevel < layout::kEntryDepth) {
                const uint64_t childKey = AddToKey(key, childLevel, child.number);
                if (isDir)
                    WalkDir(path, child.status, childLevel, childKey);
                else if (isLink)
                    m_scan.badDepth.push_back(Misplaced{path, "a link " + std::to_string(childLevel) +
                                                                   " levels below T, where only directories belong",
                                                        false, true});
                else
                    Junk(path, std::string(KindOf(child.status)) + " where a directory belongs", false);
            } else if (isLink) {
                Entry(path, key, child.number, child.status);
            } else {
                Junk(path, std::string(KindOf(child.status)) + " where an entry belongs", isDir);
            }
        }
    }

    // Level 1 holds the key's bits 63..32, levels 2 to 5 one byte each.
    static uint64_t AddToKey(uint64_t key, int level, uint32_t number)
    {
        if (level == 1)
            return static_cast<uint64_t>(number) << 32;
        return key | (static_cast<uint64_t>(number & 0xFF) << (8 * (layout::kEntryDirDepth - level)));
    }

    void Entry(const std::string& path, uint64_t key, uint32_t number, const struct stat& status)
    {
        const uint64_t seq = m_nextSeq++;
        if (seq == 0) {
            m_scan.firstLinkPath = path;
            m_scan.firstLinkDirSeq = m_dirSeq;
        }
        std::string text;
        std::string detail;
        layout::EntryFields fields;
        std::string badPart;
        if (!ReadLink(path, layout::kMaxLongLink, text))
            detail = std::string("cannot be read: ") + strerror(errno);
        else if (!layout::ParseEntryTarget(text, fields, badPart))
            detail = "text [" + text + "] is not <size>:<method>:<item>";
        if (!detail.empty()) {
            m_scan.malformed.push_back(Misplaced{path, detail, false, true});
            m_scan.malformedSeq[IdOf(status)] = seq;
            return;
        }
        EntryInfo info;
        info.entry.path = path;
        info.entry.timeKey = key;
        info.entry.number = number;
        info.entry.storedSize = fields.size < 0 ? 0 : static_cast<uint64_t>(fields.size);
        info.entry.method = fields.method;
        info.entry.item = fields.item;
        info.id = IdOf(status);
        info.seq = seq;
        info.dirSeq = m_dirSeq;
        m_scan.entryById[info.id] = m_scan.entries.size();
        m_scan.entries.push_back(info);
    }

public:
    // Empty directories, deepest first, so that removing them in order also
    // lets their parents go.
    void FinishEmptyDirs()
    {
        std::stable_sort(m_emptyDirs.begin(), m_emptyDirs.end(),
                         [](const std::pair<int, std::string>& a, const std::pair<int, std::string>& b) {
                             return a.first > b.first;
                         });
        for (const auto& dir : m_emptyDirs)
            m_scan.emptyDirs.push_back(dir.second);
    }

private:
    const CheckOptions& m_options;
    Scan& m_scan;
    std::vector<std::pair<int, std::string>> m_emptyDirs;
    uint64_t m_nextSeq = 0;
    uint64_t m_nextDirSeq = 0;
    uint64_t m_dirSeq = 0;
};

// The entries' items: their sizes, records and duplicates.
void CheckItems(Scan& scan, const CheckOptions& options)
{
    std::map<std::string, size_t> newestOfItem;
    for (size_t i = 0; i < scan.entries.size(); ++i) {
        if (i % kProgressEvery == 0 && options.entryProgress)
            options.entryProgress(i, scan.entries.size());
        EntryInfo& info = scan.entries[i];
        auto found = newestOfItem.find(info.entry.item);
        if (found != newestOfItem.end())
            scan.entries[found->second].newest = false;  // entries come oldest first
        newestOfItem[info.entry.item] = i;

        struct stat status;
        info.itemExists = lstat(info.entry.item.c_str(), &status) == 0;
        info.itemSize = info.itemExists ? static_cast<uint64_t>(status.st_size) : 0;

        const std::string record = layout::RecordPath(info.entry.item);
        struct stat recordStatus;
        if (lstat(record.c_str(), &recordStatus) == 0)
            info.recordId = IdOf(recordStatus);
        std::string text;
        if (!ReadLink(record, layout::kMaxLongLink, text)) {
            if (errno == ENOENT || errno == ENOTDIR) {
                info.record = detail::RECORD_NONE;
            } else {
                info.record = detail::RECORD_UNREADABLE;
                info.recordText = errno == EINVAL ? "is not a link" : strerror(errno);
            }
            continue;
        }
        info.recordText = text;
        struct stat named;
        if (lstat(text.c_str(), &named) != 0) {
            info.record = detail::RECORD_ELSEWHERE;
            continue;
        }
        const auto other = scan.entryById.find(IdOf(named));
        if (other == scan.entryById.end())
            info.record = detail::RECORD_ELSEWHERE;
        else if (other->second == i)
            info.record = detail::RECORD_HERE;
        else if (scan.entries[other->second].entry.item == info.entry.item)
            info.record = detail::RECORD_SAME_ITEM;
        else
            info.record = detail::RECORD_ELSEWHERE;
    }
    for (const auto& item : newestOfItem)
        scan.itemBytes += scan.entries[item.second].itemSize;
}

// Whether a record's text lies in another module's index: one of its
// ancestors is a TimeTable directory that exists and is not this one.
bool InOtherIndex(const std::string& text, const FileId& ourIndex)
{
    std::string ancestor = text;
    for (int level = 0; level <= layout::kEntryDepth; ++level) {
        ancestor = ParentOf(ancestor);
        if (ancestor.empty())
            return false;
        if (layout::TimeTableDir(ParentOf(ancestor)) != ancestor)
            continue;
        struct stat status;
        if (stat(ancestor.c_str(), &status) != 0)
            return false;
        return !(IdOf(status) == ourIndex);
    }
    return false;
}

class RecordSearch {
public:
    RecordSearch(const CheckOptions& options, Scan& scan) : m_options(options), m_scan(scan)
    {
        struct stat status;
        if (stat(scan.timeTableDir.c_str(), &status) == 0)
            m_ourIndex = IdOf(status);
        // The cache's own "CM" directory holds no items: never search it.
        if (lstat(ParentOf(scan.moduleRoot).c_str(), &status) == 0)
            m_skipDirs.insert(IdOf(status));
    }

    void Search(const std::string& dir, bool recursive)
    {
        struct stat status;
        if (lstat(dir.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
            return;
        const FileId id = IdOf(status);
        if (m_skipDirs.count(id) != 0 || !m_visitedDirs.insert(std::make_pair(id, recursive)).second)
            return;
        std::vector<fileops::DirEntry> names;
        if (!ReadNames(dir, names))
            return;
        for (const fileops::DirEntry& name : names) {
            if (++m_scan.namesRead % kProgressEvery == 0 && m_options.progress)
                m_options.progress(m_scan.namesRead);
            const std::string path = dir + "/" + name.name;
            std::string item;
            if (layout::RecordItem(path, item) && (name.type == DT_LNK || name.type == DT_UNKNOWN))
                Record(path, item);
            else if (recursive && (name.type == DT_DIR || name.type == DT_UNKNOWN))
                Search(path, true);
        }
    }

private:
    void Record(const std::string& path, const std::string& item)
    {
        struct stat status;
        if (lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode))
            return;
        if (!m_records.insert(IdOf(status)).second)
            return;
        ++m_scan.recordsRead;
        detail::BadRecord bad;
        bad.path = path;
        bad.item = item;
        bad.id = IdOf(status);
        std::string text;
        if (!ReadLink(path, layout::kMaxLongLink, text)) {
            bad.detail = std::string("cannot be read: ") + strerror(errno);
            m_scan.badRecords.push_back(bad);
            return;
        }
        struct stat named;
        if (lstat(text.c_str(), &named) != 0) {
            if (InOtherIndex(text, m_ourIndex))
                return;
            bad.missing = true;
            bad.detail = "names [" + text + "], which does not exist";
            m_scan.badRecords.push_back(bad);
            return;
        }
        const auto entry = m_scan.entryById.find(IdOf(named));
        if (entry != m_scan.entryById.end()) {
            const std::string& entryItem = m_scan.entries[entry->second].entry.item;
            struct stat own;
            if (lstat(layout::RecordPath(entryItem).c_str(), &own) == 0 && IdOf(own) == bad.id)
                return;
            bad.detail = "names [" + text + "], the entry of [" + entryItem + "]";
        } else if (InOtherIndex(text, m_ourIndex)) {
            return;
        } else if (m_scan.malformedSeq.count(IdOf(named)) != 0) {
            bad.detail = "names [" + text + "], a malformed entry";
        } else {
            bad.detail = "names [" + text + "], " + KindOf(named) + " that is not an entry of this index";
        }
        m_scan.badRecords.push_back(bad);
    }

    const CheckOptions& m_options;
    Scan& m_scan;
    FileId m_ourIndex;
    std::set<FileId> m_skipDirs;
    std::set<std::pair<FileId, bool>> m_visitedDirs;
    std::set<FileId> m_records;
};

void CheckOldest(Scan& scan, const CheckOptions& options)
{
    const std::string link = layout::OldestLink(scan.moduleRoot);
    std::string text;
    if (!ReadLink(link, layout::kMaxShortLink, text)) {
        if (errno == EINVAL)
            scan.junk.push_back(Misplaced{link, "the oldest link is not a link", false, false});
        else if (errno != ENOENT)
            scan.junk.push_back(Misplaced{link, std::string("the oldest link cannot be read: ") + strerror(errno),
                                          false, false});
        return;
    }
    scan.oldestText = text;
    if (text.empty())
        return;
    struct stat status;
    if (lstat(text.c_str(), &status) != 0) {
        scan.oldest = detail::OLDEST_IS_STALE;
        scan.oldestDetail = "names [" + text + "], which does not exist";
        return;
    }
    const bool wantEntry = options.pruneMode == CM_PRUNE_ITEM;
    const bool wantDir = options.pruneMode == CM_PRUNE_SET;
    const FileId id = IdOf(status);
    const auto entry = scan.entryById.find(id);
    const auto malformed = scan.malformedSeq.find(id);
    const auto dir = scan.entryDirSeq.find(id);
    if (S_ISLNK(status.st_mode) && (entry != scan.entryById.end() || malformed != scan.malformedSeq.end())) {
        if (wantDir) {
            scan.oldest = detail::OLDEST_AT_WRONG_DEPTH;
            scan.oldestDetail = "names the entry [" + text + "]; in set mode it names an entry directory";
            return;
        }
        // The walk numbers every link 6 levels down from 0, oldest first.
        const uint64_t seq = entry != scan.entryById.end() ? scan.entries[entry->second].seq : malformed->second;
        if (seq > 0) {
            scan.oldest = detail::OLDEST_IS_NEWER;
            scan.oldestDetail = "names [" + text + "], but [" + scan.firstLinkPath + "] is older";
            return;
        }
    } else if (S_ISDIR(status.st_mode) && dir != scan.entryDirSeq.end()) {
        if (wantEntry) {
            scan.oldest = detail::OLDEST_AT_WRONG_DEPTH;
            scan.oldestDetail = "names the entry directory [" + text + "]; in item mode it names an entry";
            return;
        }
        if (scan.firstLinkDirSeq < dir->second) {
            scan.oldest = detail::OLDEST_IS_NEWER;
            scan.oldestDetail = "names [" + text + "], but [" + ParentOf(scan.firstLinkPath) + "] is older";
            return;
        }
    } else {
        scan.oldest = detail::OLDEST_AT_WRONG_DEPTH;
        scan.oldestDetail = "names [" + text + "], " + KindOf(status) +
                            " that is neither an entry nor an entry directory of this index";
        return;
    }
    scan.oldest = detail::OLDEST_OK;
}

void CheckFixedNames(Scan& scan)
{
    const std::string sizeLink = layout::SizeLink(scan.moduleRoot);
    std::string text;
    if (ReadLink(sizeLink, layout::kMaxSizeText, text)) {
        scan.sizeLinkPresent = true;
        scan.storedSize = layout::ParseSizeText(text);
    } else if (errno != ENOENT) {
        scan.junk.push_back(Misplaced{sizeLink,
                                      errno == EINVAL ? "the size link is not a link"
                                                      : std::string("the size link cannot be read: ") + strerror(errno),
                                      false, false});
    }
    const std::string latest = layout::LatestLink(scan.moduleRoot);
    if (!ReadLink(latest, layout::kMaxShortLink, text) && errno != ENOENT)
        scan.junk.push_back(Misplaced{latest,
                                      errno == EINVAL ? "the latest link is not a link"
                                                      : std::string("the latest link cannot be read: ") + strerror(errno),
                                      false, false});
    // What hosts that share the module's state publish: readable, or junk.
    const std::string settings = layout::SettingsLink(scan.moduleRoot);
    const std::string statistics = layout::StatisticsLink(scan.moduleRoot);
    layout::ModuleSettings settingsFields;
    layout::ModuleStatistics statisticsFields;
    const bool isSettings = ReadLink(settings, layout::kMaxLongLink, text);
    if (isSettings ? layout::ParseFields(text, settingsFields) != layout::ModuleSettings::kCount : errno != ENOENT)
        scan.junk.push_back(Misplaced{settings, "the settings link holds no whole record of settings", false, false});
    const bool isStatistics = ReadLink(statistics, layout::kMaxLongLink, text);
    if (isStatistics ? !layout::ParseFields(text, statisticsFields) : errno != ENOENT)
        scan.junk.push_back(Misplaced{statistics, "the statistics link holds no statistics", false, false});
    struct stat status;
    const std::string lockFile = layout::LockFile(scan.moduleRoot);
    if (lstat(lockFile.c_str(), &status) == 0 && !S_ISREG(status.st_mode))
        scan.junk.push_back(Misplaced{lockFile, std::string("the lockfile is ") + KindOf(status), false, false});
    // A directory at a link's name cannot be replaced by the library.
    for (Misplaced& junk : scan.junk)
        if (!junk.inTimeTable && lstat(junk.path.c_str(), &status) == 0)
            junk.isDir = S_ISDIR(status.st_mode);
}

void Add(FindingList& list, const CheckOptions& options, const std::string& path, const std::string& detail)
{
    ++list.count;
    if (list.examples.size() < options.maxExamples)
        list.examples.push_back(Finding{path, detail});
}

std::string SizeWords(uint64_t bytes)
{
    return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
}

}  // namespace

namespace detail {

bool RunScan(const CheckOptions& options, Scan& scan, std::string& error)
{
    scan = Scan();
    scan.moduleRoot = options.moduleRoot;
    scan.timeTableDir = layout::TimeTableDir(options.moduleRoot);
    struct stat status;
    if (stat(scan.moduleRoot.c_str(), &status) != 0) {
        error = "no module at " + scan.moduleRoot + ": " + strerror(errno);
        return false;
    }
    if (lstat(scan.timeTableDir.c_str(), &status) != 0) {
        error = "no index at " + scan.timeTableDir + ": " + strerror(errno);
        return false;
    }
    if (!S_ISDIR(status.st_mode)) {
        error = "no index at " + scan.timeTableDir + ": " + KindOf(status) + ", not a directory";
        return false;
    }
    std::vector<fileops::DirEntry> names;
    if (!ReadNames(scan.timeTableDir, names)) {
        error = "cannot read " + scan.timeTableDir + ": " + strerror(errno);
        return false;
    }

    TreeWalk walk(options, scan);
    walk.Walk();
    walk.FinishEmptyDirs();
    CheckItems(scan, options);
    if (options.entryProgress)
        options.entryProgress(scan.entries.size(), scan.entries.size());
    CheckFixedNames(scan);
    CheckOldest(scan, options);

    RecordSearch search(options, scan);
    for (const std::string& dir : options.itemDirs)
        search.Search(dir, true);
    if (options.scanIndexedItemDirs) {
        std::set<std::string> dirs;
        for (const EntryInfo& info : scan.entries)
            dirs.insert(info.entry.item.find('/') == std::string::npos ? "." : ParentOf(info.entry.item));
        for (const std::string& dir : dirs)
            search.Search(dir.empty() ? "/" : dir, false);
    }
    return true;
}

void Summarise(const Scan& scan, const CheckOptions& options, CheckReport& report)
{
    report = CheckReport();
    report.sizeLinkPresent = scan.sizeLinkPresent;
    report.storedSize = scan.storedSize;
    report.itemBytes = scan.itemBytes;
    report.namesRead = scan.namesRead;
    report.recordsRead = scan.recordsRead;
    FindingList* findings = report.findings;

    for (const Misplaced& link : scan.badDepth)
        Add(findings[ENTRY_BAD_DEPTH], options, link.path, link.detail);
    for (const Misplaced& link : scan.malformed)
        Add(findings[ENTRY_MALFORMED], options, link.path, link.detail);
    for (const EntryInfo& info : scan.entries) {
        report.entries.push_back(info.entry);
        const std::string& item = info.entry.item;
        if (!info.newest) {
            Add(findings[ENTRY_DUPLICATE], options, info.entry.path, "an older entry of [" + item + "]");
            continue;
        }
        switch (info.record) {
        case RECORD_NONE:
            Add(findings[ENTRY_NO_RECORD], options, info.entry.path,
                "[" + item + "] has no record" + (info.itemExists ? "" : " and no file"));
            break;
        case RECORD_ELSEWHERE:
            Add(findings[ENTRY_RECORD_ELSEWHERE], options, info.entry.path,
                "the record of [" + item + "] names [" + info.recordText + "]");
            break;
        case RECORD_UNREADABLE:
            Add(findings[ENTRY_RECORD_ELSEWHERE], options, info.entry.path,
                "the record of [" + item + "] " + info.recordText);
            break;
        case RECORD_HERE:
        case RECORD_SAME_ITEM:
            break;
        }
    }
    for (const BadRecord& record : scan.badRecords)
        Add(findings[record.missing ? RECORD_MISSING_ENTRY : RECORD_NOT_ENTRY], options, record.path, record.detail);
    if (scan.storedSize != scan.itemBytes)
        Add(findings[SIZE_MISMATCH], options, layout::SizeLink(scan.moduleRoot),
            "holds " + SizeWords(scan.storedSize) + (scan.sizeLinkPresent ? "" : " (missing)") +
                "; the indexed items hold " + SizeWords(scan.itemBytes));
    const std::string oldestLink = layout::OldestLink(scan.moduleRoot);
    if (scan.oldest == OLDEST_IS_STALE)
        Add(findings[OLDEST_STALE], options, oldestLink, scan.oldestDetail);
    else if (scan.oldest == OLDEST_AT_WRONG_DEPTH)
        Add(findings[OLDEST_WRONG_DEPTH], options, oldestLink, scan.oldestDetail);
    else if (scan.oldest == OLDEST_IS_NEWER)
        Add(findings[OLDEST_NOT_OLDEST], options, oldestLink, scan.oldestDetail);
    for (const std::string& dir : scan.emptyDirs)
        Add(findings[EMPTY_DIR], options, dir, "holds nothing");
    for (const Misplaced& junk : scan.junk)
        Add(findings[JUNK], options, junk.path, junk.detail);
}

}  // namespace detail

const char* FindingTag(FindingKind kind)
{
    static const char* const kTags[kFindingKinds] = {
        "entry-bad-depth", "entry-malformed", "entry-no-record", "entry-record-elsewhere", "entry-duplicate",
        "record-missing-entry", "record-not-entry", "size-mismatch", "oldest-stale", "oldest-wrong-depth",
        "oldest-not-oldest", "empty-dir", "junk",
    };
    return kind >= 0 && kind < kFindingKinds ? kTags[kind] : "unknown";
}

const char* FindingTitle(FindingKind kind)
{
    static const char* const kTitles[kFindingKinds] = {
        "links in the index that are not 6 levels below T",
        "entries whose text is not <size>:<method>:<item>",
        "entries whose item has no record",
        "entries whose item's record names something else",
        "older entries of items that have a newer one",
        "records that name a missing entry",
        "records that name something that is not their item's entry",
        "size total that differs from the indexed items",
        "oldest link that names nothing",
        "oldest link at the wrong depth for the prune mode",
        "oldest link that names something newer than an existing entry",
        "empty numbered directories",
        "names, files or directories that do not belong in the index",
    };
    return kind >= 0 && kind < kFindingKinds ? kTitles[kind] : "unknown";
}

bool IsFault(FindingKind kind) { return kind != OLDEST_STALE; }

uint64_t CheckReport::Total() const
{
    uint64_t total = 0;
    for (int kind = 0; kind < kFindingKinds; ++kind)
        total += IsFault(static_cast<FindingKind>(kind)) ? findings[kind].count : 0;
    return total;
}

uint64_t CheckReport::Notes() const
{
    uint64_t notes = 0;
    for (int kind = 0; kind < kFindingKinds; ++kind)
        notes += IsFault(static_cast<FindingKind>(kind)) ? 0 : findings[kind].count;
    return notes;
}

std::string CheckReport::Format() const
{
    std::string text;
    if (Clean())
        text = "clean: " + std::to_string(entries.size()) + " entries, " + SizeWords(itemBytes) +
               " in their items, size total " + SizeWords(storedSize) + "\n";
    else
        text = std::to_string(Total()) + (Total() == 1 ? " fault" : " faults") + " in " +
               std::to_string(entries.size()) + " entries:\n";
    for (const bool faults : {true, false}) {
        for (int kind = 0; kind < kFindingKinds; ++kind) {
            const FindingList& list = findings[kind];
            if (list.count == 0 || IsFault(static_cast<FindingKind>(kind)) != faults)
                continue;
            text += std::string(faults ? "  " : "  note: ") + FindingTag(static_cast<FindingKind>(kind)) + ": " +
                    std::to_string(list.count) + " " + FindingTitle(static_cast<FindingKind>(kind)) +
                    (faults ? "" : " (the next prune drops it)") + "\n";
            for (const Finding& finding : list.examples)
                text += "    " + finding.path + ": " + finding.detail + "\n";
            if (list.count > list.examples.size())
                text += "    ... and " + std::to_string(list.count - list.examples.size()) + " more\n";
        }
    }
    return text;
}

bool CheckIndex(const CheckOptions& options, CheckReport& report, std::string& error)
{
    detail::Scan scan;
    if (!detail::RunScan(options, scan, error))
        return false;
    detail::Summarise(scan, options, report);
    return true;
}

bool ListEntries(const std::string& moduleRoot, std::vector<IndexEntry>& entries, std::string& error)
{
    CheckOptions options;
    options.moduleRoot = moduleRoot;
    detail::Scan scan;
    scan.moduleRoot = moduleRoot;
    scan.timeTableDir = layout::TimeTableDir(moduleRoot);
    std::vector<fileops::DirEntry> names;
    if (!ReadNames(scan.timeTableDir, names)) {
        error = "cannot read " + scan.timeTableDir + ": " + strerror(errno);
        return false;
    }
    TreeWalk walk(options, scan);
    walk.Walk();
    entries.clear();
    for (const EntryInfo& info : scan.entries)
        entries.push_back(info.entry);
    return true;
}

}  // namespace check
}  // namespace cm
