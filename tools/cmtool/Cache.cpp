// The library's log lines, the facade, where a module and an item are, and
// the refusals that keep a typo from destroying anything.
#include "tools/cmtool/Cache.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cachemanager/CacheManagerImpl.h"
#include "cachemanager/timetable/Layout.h"
#include "tools/common/FileOps.h"
#include "tools/cmtool/Text.h"

namespace cmtool {

namespace layout = cm::layout;
namespace check = cm::check;

namespace {

std::string Format(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
std::string Format(const char* format, va_list args)
{
    char text[4096];
    vsnprintf(text, sizeof text, format, args);
    std::string line = text;
    while (!line.empty() && line.back() == '\n')
        line.pop_back();
    return line;
}

// Keeps the library's last error line, to end the one line that says why a
// command failed: an operation's own summary comes after the steps it
// called. Installed unless --log-level asks for the library's stderr writer.
class LastError : public CLogWriterInterface {
public:
    void WriteLog(int level, const char* /*function*/, int /*line*/, int /*reserved1*/, int /*reserved2*/,
                  const char* format, ...) override __attribute__((format(printf, 7, 8)))
    {
        if (level > kLibraryErrorLevel)
            return;
        const int saved = errno;
        va_list args;
        va_start(args, format);
        m_last = Format(format, args);
        va_end(args);
        errno = saved;
    }
    int GetLogLevel() override { return kLibraryErrorLevel; }

    std::string m_last;
};

LastError* g_lastError = nullptr;

}  // namespace

void LineCollector::WriteLog(int level, const char* /*function*/, int /*line*/, int /*reserved1*/,
                             int /*reserved2*/, const char* format, ...)
{
    if (level != m_level)
        return;
    const int saved = errno;
    va_list args;
    va_start(args, format);
    m_lines.push_back(Format(format, args));
    va_end(args);
    errno = saved;
}

void InstallLogWriter(const Options& options)
{
    if (options.hasLogLevel) {
        g_ptrLogWriter.reset(new CStderrLogWriter(options.logLevel));
    } else {
        g_lastError = new LastError();
        g_ptrLogWriter.reset(g_lastError);
    }
}

std::string LibraryError()
{
    if (g_lastError == nullptr)
        return " (the library's messages are above)";
    if (g_lastError->m_last.empty())
        return "";
    return ": " + g_lastError->m_last;
}

std::string ReadLinkOr(const std::string& path, const std::string& otherwise)
{
    std::string text;
    return cm::fileops::ReadLink(path, layout::kMaxLongLink, text) ? text : otherwise;
}

bool ReadIndex(const Options& options, std::vector<check::IndexEntry>& entries, std::string& error)
{
    struct stat status;
    if (stat(options.ModuleRoot().c_str(), &status) != 0) {
        error = "no module at " + options.ModuleRoot() + ": " + strerror(errno);
        return false;
    }
    return check::ListEntries(options.ModuleRoot(), entries, error);
}

namespace {

// Whether the module's hosts publish its settings and statistics.
bool g_moduleShared = false;

}  // namespace

void TakeModuleSettings(Options& options)
{
    const std::string text = ReadLinkOr(layout::SettingsLink(options.ModuleRoot()), "");
    // Only a whole record of settings stands in for the command line: a part
    // of one would set the rest to 0.
    options.published = layout::ParseFields(text, options.settings) == layout::ModuleSettings::kCount;
    g_moduleShared = options.published;
    if (!options.published)
        return;
    const uint64_t* values = options.settings.values;
    if (!options.hasPruneMode)
        options.pruneMode = static_cast<int>(values[layout::ModuleSettings::PRUNE_MODE]);
    if (!options.hasBytesMinFree)
        options.bytesMinFree = static_cast<int>(values[layout::ModuleSettings::BYTES_MIN_FREE]);
    if (!options.hasInodesMinFree)
        options.inodesMinFree = static_cast<int>(values[layout::ModuleSettings::INODES_MIN_FREE]);
}

PruneMethod DefaultMethod(const Options& options)
{
    const uint64_t method = options.settings.values[layout::ModuleSettings::PRUNE_METHOD];
    return options.published && method <= PRUNE_UNLINK_RECURSE ? static_cast<PruneMethod>(method) : PRUNE_TRUNCATE;
}

CacheArgs ArgsFrom(const Options& options, PruneMethod method)
{
    CacheArgs args;
    args.cacheDir = options.cacheDir;
    args.moduleId = static_cast<int32_t>(options.module);
    args.bytesMinFree = options.bytesMinFree;
    args.inodesMinFree = options.inodesMinFree;
    args.pruneMethod = method;
    args.pruneMode = options.pruneMode;
    args.processModel = CM_LOCK_PROCESS_THREAD;  // excludes every host that uses the file lock
    if (options.published) {
        args.maxModuleBytes = options.settings.values[layout::ModuleSettings::MAX_MODULE_BYTES];
        args.maxItemAgeSeconds = options.settings.values[layout::ModuleSettings::MAX_ITEM_AGE_SECONDS];
        args.moduleOverFlow = options.settings.values[layout::ModuleSettings::MODULE_FLOOR];
        args.overflowLimit = static_cast<int>(options.settings.values[layout::ModuleSettings::OVERFLOW_LIMIT]);
    }
    return args;
}

// The facade lives as long as the process, as the library expects.
CacheManager& Facade()
{
    static CacheManager facade;
    return facade;
}

std::string RecordOf(const std::string& item) { return ReadLinkOr(layout::RecordPath(item), ""); }

std::string ParentOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// --- Where things are -----------------------------------------------------------

// A path made absolute from the working directory, without "." parts and
// doubled or trailing slashes. ".." stays: it may lead through a link.
std::string AbsolutePath(const std::string& path)
{
    std::string whole = path;
    if (whole.empty() || whole[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) != nullptr)
            whole = std::string(cwd) + "/" + whole;
    }
    std::string clean;
    for (size_t start = 0; start < whole.size();) {
        size_t slash = whole.find('/', start);
        if (slash == std::string::npos)
            slash = whole.size();
        const std::string part = whole.substr(start, slash - start);
        if (!part.empty() && part != ".")
            clean += "/" + part;
        start = slash + 1;
    }
    return clean.empty() ? "/" : clean;
}

namespace {

bool SameFile(const std::string& a, const std::string& b)
{
    struct stat first;
    struct stat second;
    return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}


// Whether path is dir or lies below it, by its spelling or by the files its
// existing ancestors are.
bool IsUnder(const std::string& path, const std::string& dir)
{
    if (path == dir || path.compare(0, dir.size() + 1, dir + "/") == 0)
        return true;
    for (std::string at = path; at != "/"; at = ParentOf(at))
        if (SameFile(at, dir))
            return true;
    return false;
}


// Whether an entry path, as a record names it, lies six numbered levels
// below this module's T.
bool InThisIndex(const Options& options, const std::string& entry)
{
    std::string dir = entry;
    for (int level = 0; level < layout::kEntryDepth; ++level) {
        const size_t slash = dir.rfind('/');
        if (slash == std::string::npos || slash == 0 || !layout::IsNumberName(dir.c_str() + slash + 1))
            return false;
        dir.erase(slash);
    }
    const std::string ours = layout::TimeTableDir(options.ModuleRoot());
    return dir == ours || SameFile(dir, ours);
}


bool ModuleExists(const Options& options)
{
    struct stat status;
    return stat(layout::TimeTableDir(options.ModuleRoot()).c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

// A command that needs a module gets one that is there; one that files
// items may make it with --create.
int CheckModule(const Options& options, bool mayCreate)
{
    if (mayCreate && options.create)
        return kExitOk;
    struct stat status;
    if (stat(options.cacheDir.c_str(), &status) != 0) {
        const int error = errno;
        return Fail("no cache directory " + options.cacheDir + ": " + strerror(error),
                    error == ENOENT || error == ENOTDIR ? kExitNoModule : kExitFailed);
    }
    if (ModuleExists(options))
        return kExitOk;
    const int error = errno;
    if (error != ENOENT && error != ENOTDIR)
        return Fail("cannot reach the module at " + options.ModuleRoot() + ": " + strerror(error));
    return Fail("no module at " + options.ModuleRoot() + ": " + strerror(error) +
                    (mayCreate ? " (--create makes it)" : ""),
                kExitNoModule);
}

namespace {

// Why the cache cannot be opened, as far as the file system tells: the
// lockfile cannot be opened for writing, or the deepest directory on the way
// to it that exists cannot be written.
std::string WhyNotOpen(const std::string& moduleRoot)
{
    const std::string lockFile = layout::LockFile(moduleRoot);
    const int fd = open(lockFile.c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
        return "";
    }
    if (errno != ENOENT)
        return lockFile + ": " + strerror(errno);
    std::string dir = ParentOf(lockFile);
    struct stat status;
    while (dir != "/" && lstat(dir.c_str(), &status) != 0)
        dir = ParentOf(dir);
    if (!S_ISDIR(status.st_mode))
        return dir + ": " + strerror(ENOTDIR);
    if (access(dir.c_str(), W_OK | X_OK) != 0)
        return dir + ": " + strerror(errno);
    return "";
}

}  // namespace

bool Start(const CacheArgs& args)
{
    if (Facade().InitCacheManager(args)) {
        // The tool's settings are its own: it never publishes them, but what
        // it prunes goes into the module's account.
        Facade().m_impl->m_shareModuleState = g_moduleShared;
        // Initialisation writes a line of its own at the error level; what
        // tells why a command failed comes after it.
        if (g_lastError != nullptr)
            g_lastError->m_last.clear();
        return true;
    }
    const std::string root = layout::ModuleRoot(args.cacheDir, static_cast<uint32_t>(args.moduleId));
    const std::string why = WhyNotOpen(root);
    Fail("cannot open the cache at " + root + (why.empty() ? LibraryError() : ": " + why));
    return false;
}

// --- Items named on the command line ------------------------------------------------

ItemState ReadItem(const std::string& path)
{
    ItemState item;
    item.path = path;
    struct stat status;
    if (lstat(path.c_str(), &status) == 0) {
        item.exists = true;
        item.isDir = S_ISDIR(status.st_mode);
        item.size = static_cast<uint64_t>(status.st_size);
    }
    item.record = RecordOf(path);
    layout::EntryFields fields;
    std::string badPart;
    const std::string entryText = item.record.empty() ? "" : ReadLinkOr(item.record, "");
    item.entryExists = !item.record.empty() && lstat(item.record.c_str(), &status) == 0;
    if (layout::ParseEntryTarget(entryText, fields, badPart))
        item.method = fields.method;
    return item;
}

// What an item path names, or a refusal: a directory, the index's own files
// and another module's item are never the cache's to touch.
int LookAtItem(const Options& options, const std::string& given, ItemState& item)
{
    item = ReadItem(AbsolutePath(given));
    const std::string cmDir = options.cacheDir + "/" + layout::kModuleDirName;
    if (IsUnder(item.path, cmDir))
        return Fail(item.path + " lies in the cache's own index (" + cmDir + "): refused, nothing changed");
    if (item.isDir)
        return Fail(item.path + " is a directory; the cache holds files: refused, nothing changed");
    if (item.InCache() && !InThisIndex(options, item.record))
        return Fail(item.path + ": its record names [" + item.record + "], outside the index of module " +
                    std::to_string(options.module) + ": refused, nothing changed");
    return kExitOk;
}

// Making room for more than the file system holds, less the byte reserve,
// would prune the whole module and still fail: refuse it before anything is
// pruned.
int CheckFits(const Options& options, uint64_t size, const std::string& what)
{
    std::string dir = options.cacheDir;
    struct stat status;
    while (dir != "/" && stat(dir.c_str(), &status) != 0)
        dir = ParentOf(dir);
    DefaultCacheSize provider(dir);
    uint64_t total = 0;
    if (!provider.GetCacheTotalSpace(total))
        return kExitOk;  // the library says why when it asks the same
    const uint64_t reserve = total / 100 * static_cast<uint64_t>(options.bytesMinFree);
    if (size <= total && total - size >= reserve)
        return kExitOk;
    return Fail("no room for " + what + " (" + std::to_string(size) + " bytes) on a file system of " +
                Human(total) + " with " + Human(reserve) + " kept free (--bytes-min-free " +
                std::to_string(options.bytesMinFree) + "): refused, nothing pruned");
}

}  // namespace cmtool
