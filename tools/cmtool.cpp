// cmtool: looks into, checks, repairs and drives one module's cache from the
// shell.
//
// ls, stat and check read the index directly and never change it; the item
// operations and prune go through the library's facade, as a host's calls
// would; repair mends the index under the cache lock. The library itself
// reads no command line: everything here is built around it.
#include <cerrno>
#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "cachemanager/CacheManager.h"
#include "cachemanager/CacheManagerImpl.h"
#include "cachemanager/timetable/Layout.h"
#include "host/LogWriter.h"
#include "tools/IndexChecker.h"

namespace layout = cm::layout;
namespace check = cm::check;

namespace {

const int kExitOk = 0;
const int kExitFailed = 1;  // an operation failed, or check found faults
const int kExitUsage = 2;   // a bad command line
const int kExitNoModule = 3;  // no such module, or no cache directory

const int kLibraryErrorLevel = -1;  // the level of the library's error lines
const int kLibraryNoticeLevel = 1;  // ...and of its statistics table

// --- What the library logs --------------------------------------------------

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

// Collects the lines of one level, for the statistics table.
class LineCollector : public CLogWriterInterface {
public:
    explicit LineCollector(int level) : m_level(level) {}
    void WriteLog(int level, const char* /*function*/, int /*line*/, int /*reserved1*/, int /*reserved2*/,
                  const char* format, ...) override __attribute__((format(printf, 7, 8)))
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
    int GetLogLevel() override { return m_level; }

    int m_level;
    std::vector<std::string> m_lines;
};

LastError* g_lastError = nullptr;

std::string LibraryError()
{
    if (g_lastError == nullptr)
        return " (the library's messages are above)";
    if (g_lastError->m_last.empty())
        return "";
    return ": " + g_lastError->m_last;
}

// Standard output first, so that in one pipe the lines keep their order.
int Fail(const std::string& message, int status = kExitFailed)
{
    fflush(stdout);
    fprintf(stderr, "cmtool: %s\n", message.c_str());
    return status;
}

int Usage(const std::string& message)
{
    fflush(stdout);
    fprintf(stderr, "cmtool: %s (see cmtool --help)\n", message.c_str());
    return kExitUsage;
}

// --- Texts ------------------------------------------------------------------

std::string Human(uint64_t bytes)
{
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024)
        return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes) / 1024;
    size_t unit = 0;
    while (value >= 1024 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    snprintf(text, sizeof text, value < 10 ? "%.1f %s" : "%.0f %s", value, kUnits[unit]);
    return text;
}

const char* MethodName(int32_t method)
{
    switch (method) {
    case PRUNE_TRUNCATE:
        return "truncate";
    case PRUNE_UNLINK:
        return "unlink";
    case PRUNE_UNLINK_RECURSE:
        return "unlink-recurse";
    default:
        return "none";
    }
}

bool ParseMethod(const std::string& text, PruneMethod& method)
{
    static const std::map<std::string, PruneMethod> kNames = {
        {"truncate", PRUNE_TRUNCATE}, {"0", PRUNE_TRUNCATE},
        {"unlink", PRUNE_UNLINK}, {"1", PRUNE_UNLINK},
        {"unlink-recurse", PRUNE_UNLINK_RECURSE}, {"unlink_recurse", PRUNE_UNLINK_RECURSE},
        {"recurse", PRUNE_UNLINK_RECURSE}, {"2", PRUNE_UNLINK_RECURSE},
    };
    const auto found = kNames.find(text);
    if (found == kNames.end())
        return false;
    method = found->second;
    return true;
}

// A byte count: digits with an optional K, M or G (powers of 1024).
bool ParseBytes(const std::string& text, uint64_t& bytes)
{
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = strtoull(text.c_str(), &end, 10);
    if (errno != 0)
        return false;
    uint64_t unit = 1;
    const std::string suffix = end;
    if (suffix == "K" || suffix == "k" || suffix == "KiB")
        unit = 1ull << 10;
    else if (suffix == "M" || suffix == "m" || suffix == "MiB")
        unit = 1ull << 20;
    else if (suffix == "G" || suffix == "g" || suffix == "GiB")
        unit = 1ull << 30;
    else if (!suffix.empty())
        return false;
    if (value > UINT64_MAX / unit)
        return false;
    bytes = value * unit;
    return true;
}

bool ParseInt(const std::string& text, long low, long high, long& value)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    value = strtol(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0' && value >= low && value <= high;
}

// A time key as local time: seconds, then the tenth of a second (or "+n" for
// a caller's key whose low byte is no tenth).
std::string KeyTime(uint64_t key)
{
    const time_t seconds = static_cast<time_t>(key >> 8);
    const unsigned step = static_cast<unsigned>(key & 0xFF);
    struct tm local;
    char text[64];
    if (localtime_r(&seconds, &local) == nullptr || strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0)
        snprintf(text, sizeof text, "@%llu", static_cast<unsigned long long>(seconds));
    char tail[16];
    snprintf(tail, sizeof tail, step < 10 ? ".%u" : "+%u", step);
    return std::string(text) + tail;
}

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

// --- The command line -------------------------------------------------------

struct Options {
    std::string cacheDir;
    bool hasCacheDir = false;
    uint32_t module = 0;
    bool hasModule = false;
    bool hasLogLevel = false;
    int logLevel = 0;
    int pruneMode = CM_PRUNE_ITEM;
    int bytesMinFree = 0;
    int inodesMinFree = 0;
    std::vector<std::string> itemDirs;

    std::string command;
    std::vector<std::string> args;
    bool help = false;
    std::vector<std::string> given;  // the command options given, for checking

    bool json = false;
    bool dryRun = false;
    bool keep = false;
    bool force = false;
    bool create = false;
    bool hasSize = false;
    uint64_t size = 0;
    bool hasMethod = false;
    PruneMethod method = PRUNE_TRUNCATE;
    bool hasBytes = false;
    uint64_t bytes = 0;
    size_t examples = 5;

    std::string ModuleRoot() const { return layout::ModuleRoot(cacheDir, module); }
};

struct Command {
    const char* name;
    const char* synopsis;
    const char* summary;
    const char* details;
    std::vector<std::string> options;  // command options it takes
    int arguments;                     // positional arguments
    bool needsModule;
    int (*run)(const Options&);
};

const std::vector<Command>& Commands();

const char kGlobalHelp[] =
    "Global options (before or after the command):\n"
    "  --cache-dir DIR          the cache head: the index is DIR/CM/<module>\n"
    "  --module N               the module number\n"
    "  --log-level L            write the library's log lines up to level L on stderr\n"
    "                           (-1 errors, 1 notices, 4 progress)\n"
    "  --prune-mode item|set    how the module is pruned (default item)\n"
    "  --bytes-min-free P       percent of the file system's bytes to keep free (default 0)\n"
    "  --inodes-min-free P      percent of its inodes to keep free (default 0)\n"
    "  --items DIR              where check and repair look for records (repeatable)\n"
    "  -h, --help               this text, or a command's own with a command\n";

const char kExitHelp[] =
    "Exit status: 0 done (for check: clean); 1 the operation failed or was\n"
    "refused, or check found faults; 2 a usage error; 3 no such module or cache\n"
    "directory.\n";

void PrintHelp()
{
    printf("usage: cmtool --cache-dir DIR --module N [options] <command> [arguments]\n\n"
           "Looks into, checks, repairs and drives the cache of one module.\n\nCommands:\n");
    int width = 0;
    for (const Command& command : Commands())
        width = std::max(width, static_cast<int>(strlen(command.synopsis)));
    for (const Command& command : Commands())
        printf("  %-*s  %s\n", width, command.synopsis, command.summary);
    printf("\n%s\n%s", kGlobalHelp, kExitHelp);
}

void PrintCommandHelp(const Command& command)
{
    printf("usage: cmtool%s %s\n\n%s.\n\n%s", command.needsModule ? " --cache-dir DIR --module N" : "",
           command.synopsis, command.summary, command.details);
    printf("\n%s\n%s", kGlobalHelp, kExitHelp);
}

bool TakesValue(const std::string& name)
{
    static const char* const kValued[] = {"--cache-dir", "--module", "--log-level", "--prune-mode",
                                          "--bytes-min-free", "--inodes-min-free", "--items", "--size",
                                          "--method", "--bytes", "--examples"};
    for (const char* valued : kValued)
        if (name == valued)
            return true;
    return false;
}

// Reads one option; false after a usage message.
bool TakeOption(Options& options, const std::string& name, const std::string& value, std::string& error)
{
    long number = 0;
    if (name == "--cache-dir") {
        options.cacheDir = value;
        options.hasCacheDir = !value.empty();
        if (!options.hasCacheDir)
            error = "--cache-dir needs a directory";
    } else if (name == "--module") {
        if (!ParseInt(value, 0, UINT32_MAX, number))
            error = "--module needs a number from 0 to 4294967295, not [" + value + "]";
        options.module = static_cast<uint32_t>(number);
        options.hasModule = true;
    } else if (name == "--log-level") {
        if (!ParseInt(value, -1, 100, number))
            error = "--log-level needs a number from -1 to 100, not [" + value + "]";
        options.logLevel = static_cast<int>(number);
        options.hasLogLevel = true;
    } else if (name == "--prune-mode") {
        if (value == "item")
            options.pruneMode = CM_PRUNE_ITEM;
        else if (value == "set")
            options.pruneMode = CM_PRUNE_SET;
        else
            error = "--prune-mode is item or set, not [" + value + "]";
    } else if (name == "--bytes-min-free" || name == "--inodes-min-free") {
        if (!ParseInt(value, 0, 100, number))
            error = name + " needs a percentage from 0 to 100, not [" + value + "]";
        (name == "--bytes-min-free" ? options.bytesMinFree : options.inodesMinFree) = static_cast<int>(number);
    } else if (name == "--items") {
        options.itemDirs.push_back(value);
    } else if (name == "--size") {
        options.hasSize = ParseBytes(value, options.size);
        if (!options.hasSize)
            error = "--size needs a byte count (digits, optionally K, M or G), not [" + value + "]";
    } else if (name == "--bytes") {
        options.hasBytes = ParseBytes(value, options.bytes);
        if (!options.hasBytes)
            error = "--bytes needs a byte count (digits, optionally K, M or G), not [" + value + "]";
    } else if (name == "--method") {
        options.hasMethod = ParseMethod(value, options.method);
        if (!options.hasMethod)
            error = "--method is truncate, unlink or unlink-recurse, not [" + value + "]";
    } else if (name == "--examples") {
        if (!ParseInt(value, 0, 1000000, number))
            error = "--examples needs a count, not [" + value + "]";
        options.examples = static_cast<size_t>(number);
    } else if (name == "--json") {
        options.json = true;
    } else if (name == "--dry-run") {
        options.dryRun = true;
    } else if (name == "--keep") {
        options.keep = true;
    } else if (name == "--force") {
        options.force = true;
    } else if (name == "--create") {
        options.create = true;
    } else if (name == "--help" || name == "-h") {
        options.help = true;
    } else {
        error = "unknown option " + name;
    }
    static const char* const kGlobal[] = {"--cache-dir", "--module", "--log-level", "--prune-mode",
                                          "--bytes-min-free", "--inodes-min-free", "--items", "--help", "-h"};
    bool global = false;
    for (const char* known : kGlobal)
        global = global || name == known;
    if (!global)
        options.given.push_back(name);
    return error.empty();
}

bool ParseCommandLine(int argc, char** argv, Options& options, std::string& error)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.size() > 1 && arg[0] == '-' && arg != "--") {
            std::string value;
            const size_t equals = arg.find('=');
            if (equals != std::string::npos) {
                value = arg.substr(equals + 1);
                arg.erase(equals);
            } else if (TakesValue(arg)) {
                if (i + 1 >= argc) {
                    error = arg + " needs a value";
                    return false;
                }
                value = argv[++i];
            }
            if (!TakeOption(options, arg, value, error))
                return false;
        } else if (options.command.empty()) {
            options.command = arg;
        } else {
            options.args.push_back(arg);
        }
    }
    return true;
}

// --- The index as it is on disk ---------------------------------------------

bool ReadIndex(const Options& options, std::vector<check::IndexEntry>& entries, std::string& error)
{
    struct stat status;
    if (stat(options.ModuleRoot().c_str(), &status) != 0) {
        error = "no module at " + options.ModuleRoot() + ": " + strerror(errno);
        return false;
    }
    return check::ListEntries(options.ModuleRoot(), entries, error);
}

void PrintEntries(const std::vector<check::IndexEntry>& entries, bool json)
{
    if (json) {
        printf("[");
        for (size_t i = 0; i < entries.size(); ++i) {
            const check::IndexEntry& entry = entries[i];
            printf("%s\n  {\"time\": %s, \"key\": %llu, \"size\": %llu, \"method\": %s, \"item\": %s, \"entry\": %s}",
                   i == 0 ? "" : ",", JsonString(KeyTime(entry.timeKey)).c_str(),
                   static_cast<unsigned long long>(entry.timeKey), static_cast<unsigned long long>(entry.storedSize),
                   JsonString(MethodName(entry.method)).c_str(), JsonString(entry.item).c_str(),
                   JsonString(entry.path).c_str());
        }
        printf("%s]\n", entries.empty() ? "" : "\n");
        return;
    }
    printf("%-23s %10s  %-14s  %s\n", "TIME", "SIZE", "METHOD", "ITEM");
    uint64_t total = 0;
    for (const check::IndexEntry& entry : entries) {
        printf("%-23s %10llu  %-14s  %s\n", KeyTime(entry.timeKey).c_str(),
               static_cast<unsigned long long>(entry.storedSize), MethodName(entry.method), entry.item.c_str());
        total += entry.storedSize;
    }
    printf("%zu %s, %llu bytes (%s) as last filed, oldest first\n", entries.size(),
           entries.size() == 1 ? "item" : "items", static_cast<unsigned long long>(total), Human(total).c_str());
}

std::string ReadLinkOr(const std::string& path, const std::string& otherwise)
{
    char text[layout::kMaxLongLink + 1];
    const ssize_t length = readlink(path.c_str(), text, sizeof text - 1);
    if (length < 0)
        return otherwise;
    return std::string(text, static_cast<size_t>(length));
}

// Free bytes and inodes of the file system against the reserves, as the
// library's own size provider sees them.
void PrintFreeSpace(const std::string& root, CacheSize& provider, int bytesMinFree, int inodesMinFree)
{
    uint64_t total = 0;
    uint64_t free = 0;
    if (provider.GetCacheTotalSpace(total) && provider.GetCacheFreeSpace(free)) {
        const uint64_t reserve = total / 100 * static_cast<uint64_t>(bytesMinFree);
        printf("%-13s %s free of %s; reserve %d%% = %s: %s\n", "free bytes", Human(free).c_str(),
               Human(total).c_str(), bytesMinFree, Human(reserve).c_str(),
               free > reserve ? "above it" : "AT OR BELOW IT (the next update prunes)");
    } else {
        printf("%-13s unknown: %s\n", "free bytes", strerror(errno));
    }
    if (provider.GetCacheTotalInodes(total) && provider.GetCacheFreeInodes(free)) {
        const uint64_t reserve = total / 100 * static_cast<uint64_t>(inodesMinFree);
        printf("%-13s %llu free of %llu; reserve %d%% = %llu: %s\n", "free inodes",
               static_cast<unsigned long long>(free), static_cast<unsigned long long>(total), inodesMinFree,
               static_cast<unsigned long long>(reserve), free > reserve ? "above it" : "AT OR BELOW IT");
    } else {
        printf("%-13s unknown for %s: %s\n", "free inodes", root.c_str(), strerror(errno));
    }
}

int PrintStat(const Options& options, CacheSize& provider)
{
    std::vector<check::IndexEntry> entries;
    std::string error;
    if (!ReadIndex(options, entries, error))
        return Fail(error);
    const std::string root = options.ModuleRoot();
    uint64_t onDisk = 0;
    size_t gone = 0;
    for (const check::IndexEntry& entry : entries) {
        struct stat status;
        if (lstat(entry.item.c_str(), &status) == 0)
            onDisk += static_cast<uint64_t>(status.st_size);
        else
            ++gone;
    }
    const std::string sizeText = ReadLinkOr(layout::SizeLink(root), "");
    const uint64_t moduleSize = layout::ParseSizeText(sizeText);
    printf("%-13s %s\n", "module", root.c_str());
    printf("%-13s %llu bytes (%s)%s\n", "module size", static_cast<unsigned long long>(moduleSize),
           Human(moduleSize).c_str(), sizeText.empty() ? ", no size link yet" : "");
    printf("%-13s %zu; their files hold %llu bytes (%s) now%s\n", "entries", entries.size(),
           static_cast<unsigned long long>(onDisk), Human(onDisk).c_str(),
           gone == 0 ? "" : (", " + std::to_string(gone) + " of them gone from disk").c_str());
    if (entries.empty()) {
        printf("%-13s none\n%-13s none\n", "oldest", "latest");
    } else {
        printf("%-13s %s  %s\n", "oldest", KeyTime(entries.front().timeKey).c_str(), entries.front().item.c_str());
        printf("%-13s %s  %s\n", "latest", KeyTime(entries.back().timeKey).c_str(), entries.back().item.c_str());
    }
    const std::string oldest = ReadLinkOr(layout::OldestLink(root), "");
    printf("%-13s %s\n", "oldest link", oldest.empty() ? "none: pruning walks the tree" : oldest.c_str());
    PrintFreeSpace(root, provider, options.bytesMinFree, options.inodesMinFree);
    return kExitOk;
}

// Entries that were there before and are not now, but for the item's own
// old entry: what an operation pruned, oldest first.
std::vector<check::IndexEntry> Pruned(const std::vector<check::IndexEntry>& before,
                                      const std::vector<check::IndexEntry>& after, const std::string& except)
{
    std::map<std::string, std::string> now;
    for (const check::IndexEntry& entry : after)
        now[entry.path] = entry.item;
    std::vector<check::IndexEntry> pruned;
    for (const check::IndexEntry& entry : before) {
        const auto found = now.find(entry.path);
        if (entry.item != except && (found == now.end() || found->second != entry.item))
            pruned.push_back(entry);
    }
    return pruned;
}

void PrintPruned(const std::vector<check::IndexEntry>& pruned)
{
    for (const check::IndexEntry& entry : pruned)
        printf("  pruned %-23s %10llu  %-14s  %s\n", KeyTime(entry.timeKey).c_str(),
               static_cast<unsigned long long>(entry.storedSize), MethodName(entry.method), entry.item.c_str());
}

// --- A manager ----------------------------------------------------------------

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
    return args;
}

// The facade lives as long as the process, as the library expects.
CacheManager& Facade()
{
    static CacheManager facade;
    return facade;
}

std::string WhyNotOpen(const std::string& moduleRoot);

bool Start(const CacheArgs& args)
{
    if (Facade().InitCacheManager(args)) {
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

// --- Items named on the command line ------------------------------------------------

struct ItemState {
    std::string path;     // absolute
    bool exists = false;  // there is something by that name
    bool isDir = false;
    uint64_t size = 0;    // its file's size now
    std::string record;   // what its record names; empty without a record
    bool entryExists = false;
    int32_t method = -1;  // the prune method its entry carries, when readable

    bool InCache() const { return !record.empty(); }
    bool HasMethod() const { return method >= PRUNE_TRUNCATE && method <= PRUNE_UNLINK_RECURSE; }
};

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

// --- Commands -------------------------------------------------------------------

int RunStat(const Options& options)
{
    DefaultCacheSize provider(options.ModuleRoot());
    return PrintStat(options, provider);
}

int RunLs(const Options& options)
{
    std::vector<check::IndexEntry> entries;
    std::string error;
    if (!ReadIndex(options, entries, error))
        return Fail(error);
    PrintEntries(entries, options.json);
    return kExitOk;
}

check::CheckOptions CheckOptionsFrom(const Options& options)
{
    check::CheckOptions checkOptions;
    checkOptions.moduleRoot = options.ModuleRoot();
    checkOptions.itemDirs = options.itemDirs;
    checkOptions.pruneMode = options.pruneMode;
    checkOptions.maxExamples = options.examples;
    if (isatty(STDERR_FILENO)) {
        checkOptions.progress = [](uint64_t names) {
            fprintf(stderr, "\rcmtool: %llu names read...", static_cast<unsigned long long>(names));
        };
    }
    return checkOptions;
}

void EndProgress()
{
    if (isatty(STDERR_FILENO))
        fprintf(stderr, "\r\033[K");
}

int RunCheck(const Options& options)
{
    check::CheckReport report;
    std::string error;
    const bool checked = check::CheckIndex(CheckOptionsFrom(options), report, error);
    EndProgress();
    if (!checked)
        return Fail(error);
    printf("%s", report.Format().c_str());
    return report.Clean() ? kExitOk : kExitFailed;
}

int RunRepair(const Options& options)
{
    if (!Start(ArgsFrom(options, PRUNE_TRUNCATE)))
        return kExitFailed;
    check::RepairReport report;
    std::string error;
    const bool repaired =
        check::RepairIndex(*Facade().m_impl, CheckOptionsFrom(options), options.dryRun, report, error);
    EndProgress();
    if (!repaired && report.actions.empty())
        return Fail("repair failed: " + error);
    const char* verb = options.dryRun ? "would" : "did";
    if (report.actions.empty())
        printf("nothing to repair\n");
    for (const std::string& action : report.actions)
        printf("%s: %s\n", verb, action.c_str());
    for (const std::string& failure : report.failures)
        printf("FAILED: %s\n", failure.c_str());
    for (const std::string& left : report.leftAlone)
        printf("left alone: %s\n", left.c_str());
    printf("%s: %s", options.dryRun ? "now" : "after", report.after.Format().c_str());
    if (!repaired)
        return Fail("repair failed: " + error + LibraryError());
    return report.after.Clean() || options.dryRun ? kExitOk : kExitFailed;
}

PruneMethod MethodFor(const Options& options, const ItemState& item)
{
    if (options.hasMethod)
        return options.method;
    return item.HasMethod() ? static_cast<PruneMethod>(item.method) : PRUNE_TRUNCATE;
}

int ChangeMethod(const Options& options, const ItemState& item)
{
    if (!item.InCache())
        return Fail(item.path + " is not in the cache: nothing changed");
    if (!Start(ArgsFrom(options, options.method)))
        return kExitFailed;
    if (!Facade().UpdateItem(item.path, options.method))
        return Fail("update " + item.path + " failed" + LibraryError());
    const ItemState now = ReadItem(item.path);
    if (!now.InCache())
        return Fail(item.path + ": its entry [" + item.record + "] was gone; its record is removed and it is " +
                    "out of the cache");
    printf("%s: prune method now %s\n", item.path.c_str(), MethodName(now.method));
    return kExitOk;
}

int RunAdd(const Options& options)
{
    ItemState item;
    if (const int refused = LookAtItem(options, options.args[0], item))
        return refused;
    if (options.command == "update" && options.hasMethod && !options.hasSize)
        return ChangeMethod(options, item);
    if (!options.hasSize && !item.exists)
        return Fail(item.path + ": " + strerror(ENOENT) + "; give its size with --size");
    const uint64_t size = options.hasSize ? options.size : item.size;
    if (size == 0)
        return Fail(item.path + ": 0 bytes: the cache files no empty item (give its size with --size)");
    if (const int refused = CheckFits(options, size, item.path))
        return refused;
    // An item in the cache keeps its prune method unless one is given.
    const PruneMethod method = MethodFor(options, item);
    if (!Start(ArgsFrom(options, method)))
        return kExitFailed;
    std::vector<check::IndexEntry> before;
    std::vector<check::IndexEntry> after;
    std::string error;
    ReadIndex(options, before, error);
    const bool filed = options.command == "unhide" ? Facade().UnHideItem(item.path, size, 0)
                                                   : Facade().UpdateItem(item.path, size, 0);
    ReadIndex(options, after, error);
    PrintPruned(Pruned(before, after, item.path));
    const std::string entry = RecordOf(item.path);
    if (!filed || entry.empty())
        return Fail(options.command + " " + item.path + " failed" + LibraryError());
    printf("%s %s: %llu bytes, %s, entry %s\n", options.command == "unhide" ? "unhid" : "filed", item.path.c_str(),
           static_cast<unsigned long long>(size), MethodName(method), entry.c_str());
    return kExitOk;
}

// What pruning left of a file that was there before.
std::string PruneOutcome(const ItemState& before, const ItemState& after)
{
    if (!before.exists)
        return "its file was not there";
    if (after.exists)
        return after.size == 0 ? "its file was truncated" : "";
    struct stat status;
    return lstat(ParentOf(before.path).c_str(), &status) != 0 ? "its file was unlinked with its emptied directories" : "its file was unlinked";
}

int RunDelete(const Options& options)
{
    ItemState item;
    if (const int refused = LookAtItem(options, options.args[0], item))
        return refused;
    if (!item.InCache() && !options.force)
        return Fail(item.path + " is not in the cache: nothing changed (--force prunes its file anyway)");
    if (!item.InCache() && !item.exists)
        return Fail(item.path + ": " + strerror(ENOENT) + ": nothing to prune");
    if (!Start(ArgsFrom(options, PRUNE_TRUNCATE)))
        return kExitFailed;
    const bool deleted = Facade().DeleteFromCache(item.path);
    const ItemState now = ReadItem(item.path);
    const std::string outcome = PruneOutcome(item, now);
    if (!deleted || now.InCache() || outcome.empty())
        return Fail("delete " + item.path + " failed" + (now.InCache() ? "; it is still in the cache" : "") +
                    (outcome.empty() ? "; its file is still there" : "") + LibraryError());
    if (item.InCache())
        printf("deleted %s from the cache; %s\n", item.path.c_str(), outcome.c_str());
    else
        printf("%s was not in the cache; %s\n", item.path.c_str(), outcome.c_str());
    return kExitOk;
}

int RunHide(const Options& options)
{
    ItemState item;
    if (const int refused = LookAtItem(options, options.args[0], item))
        return refused;
    if (!item.InCache())
        return Fail(item.path + " is not in the cache: nothing changed");
    if (!Start(ArgsFrom(options, PRUNE_TRUNCATE)))
        return kExitFailed;
    if (!Facade().HideItem(item.path, 0) || !RecordOf(item.path).empty())
        return Fail("hide " + item.path + " failed" + LibraryError());
    printf("hid %s: out of the cache, its file left alone\n", item.path.c_str());
    return kExitOk;
}

int RunPrune(const Options& options)
{
    if (!options.hasBytes)
        return Usage("prune needs --bytes N");
    if (const int refused = CheckFits(options, options.bytes, "--bytes"))
        return refused;
    if (!Start(ArgsFrom(options, PRUNE_TRUNCATE)))
        return kExitFailed;
    std::vector<check::IndexEntry> before;
    std::vector<check::IndexEntry> after;
    std::string error;
    ReadIndex(options, before, error);
    const bool made = Facade().CreateSpace(options.ModuleRoot(), options.bytes);
    ReadIndex(options, after, error);
    const std::vector<check::IndexEntry> pruned = Pruned(before, after, std::string());
    PrintPruned(pruned);
    uint64_t freed = 0;
    for (const check::IndexEntry& entry : pruned)
        freed += entry.storedSize;
    printf("pruned %zu %s (%s as filed)\n", pruned.size(), pruned.size() == 1 ? "item" : "items",
           Human(freed).c_str());
    DefaultCacheSize provider(options.ModuleRoot());
    PrintFreeSpace(options.ModuleRoot(), provider, options.bytesMinFree, options.inodesMinFree);
    if (made)
        return kExitOk;
    if (after.empty())
        return Fail("no room for " + std::to_string(options.bytes) + " bytes: the cache is empty and the file "
                    "system still has too little free");
    return Fail("no room for " + std::to_string(options.bytes) + " bytes" + LibraryError());
}

int RunDemo(const Options& options);

const std::vector<Command>& Commands()
{
    static const std::vector<Command> kCommands = {
        {"stat", "stat", "module size, entries, oldest and latest, free bytes and inodes",
         "Reads the index and the file system; changes nothing. The reserves shown\n"
         "are --bytes-min-free and --inodes-min-free percent of the file system.\n",
         {}, 0, true, RunStat},
        {"ls", "ls [--json]", "the items, oldest first: time, size, prune method, path",
         "Reads the index; changes nothing. SIZE is the size the item was last filed\n"
         "with. --json prints an array of objects (time, key, size, method, item,\n"
         "entry) for scripts.\n",
         {"--json"}, 0, true, RunLs},
        {"check", "check [--items DIR]... [--examples N]", "checks the index; exit 1 when it finds faults",
         "Reads the index, the record of every indexed item and the records in the\n"
         "directories of the indexed items and under each --items DIR; changes\n"
         "nothing. Prints each kind of fault found with a count and the first N\n"
         "examples (default 5). Exit status 0 when clean, 1 with faults.\n",
         {"--examples"}, 0, true, RunCheck},
        {"repair", "repair [--dry-run] [--items DIR]...", "mends what check finds, under the cache lock",
         "Under the cache lock: removes what does not belong in the index (malformed\n"
         "entries, links at the wrong depth, stray files, empty directories), older\n"
         "duplicate entries and entries of vanished items; re-creates or re-points\n"
         "records, removes records that lead nowhere; drops a stale oldest link;\n"
         "rewrites the size total from the indexed items. Says what it did, then\n"
         "checks again. --dry-run says what it would do and changes nothing.\n",
         {"--dry-run", "--examples"}, 0, true, RunRepair},
        {"add", "add ITEM [--size N] [--method M] [--create]", "files an item (makes room first)",
         "UpdateItem(ITEM, N): files the item at the young end of the index with\n"
         "size N (default: its file's size now), pruning the oldest items first when\n"
         "the file system is short of room. M is its prune method: truncate, unlink\n"
         "or unlink-recurse; an item in the cache keeps its own unless M is given,\n"
         "a new one gets truncate. Refused, with nothing changed: a directory, a\n"
         "path under DIR/CM, an item whose record leads into another module, a size\n"
         "of 0, and a size that with the byte reserve is more than the file system\n"
         "holds. A module that is not there is made only with --create.\n",
         {"--size", "--method", "--create"}, 1, true, RunAdd},
        {"update", "update ITEM [--size N] [--method M] [--create]",
         "files an item afresh, or changes its prune method",
         "As add. With --method alone, changes the prune method of an item in the\n"
         "cache in place, leaving its place in the time order.\n",
         {"--size", "--method", "--create"}, 1, true, RunAdd},
        {"delete", "delete ITEM [--force]", "takes an item out of the cache and prunes its file",
         "DeleteFromCache(ITEM): removes its entry and record and prunes its file by\n"
         "its prune method, and says what became of the file. A file that is not in\n"
         "the cache is refused; --force truncates it all the same.\n",
         {"--force"}, 1, true, RunDelete},
        {"hide", "hide ITEM", "takes an item out of the cache, leaving its file",
         "HideItem(ITEM): removes its entry and record; the file stays as it is and\n"
         "is never pruned until it is given back with unhide. An item that is not\n"
         "in the cache is refused.\n",
         {}, 1, true, RunHide},
        {"unhide", "unhide ITEM [--size N] [--method M] [--create]", "gives a hidden item back to the cache",
         "UnHideItem(ITEM, N): files the item afresh with size N (default: its\n"
         "file's size now), refusing what add refuses.\n",
         {"--size", "--method", "--create"}, 1, true, RunAdd},
        {"prune", "prune --bytes N", "prunes the oldest items until N bytes (plus the reserve) are free",
         "CreateSpace(N): prunes the oldest items until the file system has more than\n"
         "N bytes plus the --bytes-min-free reserve free, and more free inodes than\n"
         "the --inodes-min-free reserve. N takes K, M and G. Lists what it pruned.\n"
         "An N that with the reserve is more than the file system holds is refused\n"
         "before anything is pruned.\n",
         {"--bytes"}, 0, true, RunPrune},
        {"demo", "demo [--keep]", "a cache at work on a small file system, from scratch",
         "Makes a cache on a new temporary directory (a 4 MiB tmpfs when run as\n"
         "root, so that the library's own size provider drives pruning; otherwise\n"
         "a provider that counts the files under it against 4 MiB), runs a workload\n"
         "that adds and updates items well past the 25% reserve, and shows what was\n"
         "pruned, oldest first, by which method; then ls, stat, check and the\n"
         "statistics table. --keep leaves the directory (and the tmpfs) in place;\n"
         "otherwise it is unmounted and removed on every way out.\n"
         "Run as root, demo MOUNTS A TMPFS under $TMPDIR (or /tmp).\n"
         "--module picks the module number (default 7).\n",
         {"--keep"}, 0, false, RunDemo},
    };
    return kCommands;
}

// --- demo -------------------------------------------------------------------------

const uint64_t kDemoBytes = 4ull << 20;
const int kDemoReservePercent = 25;
const int kDemoInodeReservePercent = 5;

// Without root, a provider that plays a small file system: its files, each
// rounded up to whole 4 KiB pages, are what is used.
class CountingSize : public CacheSize {
public:
    explicit CountingSize(const std::string& dir) : m_dir(dir) {}
    bool GetCacheFreeSpace(uint64_t& bytes) override
    {
        uint64_t used = 0;
        uint64_t files = 0;
        Count(m_dir, used, files);
        bytes = used >= kDemoBytes ? 0 : kDemoBytes - used;
        return true;
    }
    bool GetCacheTotalSpace(uint64_t& bytes) override
    {
        bytes = kDemoBytes;
        return true;
    }
    bool GetCacheTotalInodes(uint64_t& inodes) override
    {
        inodes = kInodes;
        return true;
    }
    bool GetCacheFreeInodes(uint64_t& inodes) override
    {
        uint64_t used = 0;
        uint64_t files = 0;
        Count(m_dir, used, files);
        inodes = files >= kInodes ? 0 : kInodes - files;
        return true;
    }

private:
    static constexpr uint64_t kInodes = 4096;

    static void Count(const std::string& dir, uint64_t& used, uint64_t& files)
    {
        DIR* handle = opendir(dir.c_str());
        if (handle == nullptr)
            return;
        std::vector<std::string> subdirs;
        while (struct dirent* entry = readdir(handle)) {
            if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
                continue;
            const std::string path = dir + "/" + entry->d_name;
            struct stat status;
            if (lstat(path.c_str(), &status) != 0)
                continue;
            ++files;
            if (S_ISDIR(status.st_mode))
                subdirs.push_back(path);
            else if (S_ISREG(status.st_mode))
                used += (static_cast<uint64_t>(status.st_size) + 4095) / 4096 * 4096;
        }
        closedir(handle);
        for (const std::string& subdir : subdirs)
            Count(subdir, used, files);
    }

    std::string m_dir;
};

bool MakeDirs(const std::string& dir)
{
    for (size_t slash = dir.find('/', 1); slash != std::string::npos; slash = dir.find('/', slash + 1))
        mkdir(dir.substr(0, slash).c_str(), 0777);
    return mkdir(dir.c_str(), 0777) == 0 || errno == EEXIST;
}

bool WriteItem(const std::string& path, uint64_t size)
{
    MakeDirs(path.substr(0, path.rfind('/')));
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    std::vector<char> block(65536, 'x');
    bool ok = true;
    for (uint64_t left = size; ok && left > 0;) {
        const size_t chunk = left < block.size() ? static_cast<size_t>(left) : block.size();
        const ssize_t written = write(fd, block.data(), chunk);
        ok = written > 0;
        left -= ok ? static_cast<uint64_t>(written) : 0;
    }
    return close(fd) == 0 && ok;
}

void RemoveTree(const std::string& path)
{
    struct stat status;
    if (lstat(path.c_str(), &status) != 0)
        return;
    if (S_ISDIR(status.st_mode)) {
        if (DIR* dir = opendir(path.c_str())) {
            std::vector<std::string> names;
            while (struct dirent* entry = readdir(dir))
                if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
                    names.push_back(entry->d_name);
            closedir(dir);
            for (const std::string& name : names)
                RemoveTree(path + "/" + name);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

// One item of the workload: what the host keeps, and how it is pruned.
struct DemoItem {
    std::string name;
    uint64_t size;
    PruneMethod method;
};

// Media clips are unlinked when pruned, thumbnails truncated (the host keeps
// their names), map tiles unlinked with their emptied directories. The kinds
// take turns, so that each of them is among the oldest at some point.
std::vector<DemoItem> DemoItems()
{
    std::vector<DemoItem> items;
    for (int i = 1; i <= 10; ++i) {
        const std::string number = (i < 10 ? "0" : "") + std::to_string(i);
        items.push_back(DemoItem{"media/clip" + number + ".bin", static_cast<uint64_t>(160 + (i * 37) % 160) * 1024,
                                 PRUNE_UNLINK});
        items.push_back(DemoItem{"tiles/z" + std::to_string(i % 3) + "/x" + std::to_string(i) + "/tile.dat",
                                 static_cast<uint64_t>(48 + 8 * (i % 4)) * 1024, PRUNE_UNLINK_RECURSE});
        if (i % 2 == 0)
            items.push_back(DemoItem{"thumbs/t" + number + ".jpg", static_cast<uint64_t>(12 + 4 * i) * 1024,
                                     PRUNE_TRUNCATE});
    }
    return items;
}

struct DemoStep {
    size_t item;
    bool grow;  // an update that grows the item; otherwise add or re-read
};

// A fixed, varied order: mostly new items, some re-read (which moves them to
// the young end), some grown.
std::vector<DemoStep> DemoSteps(size_t itemCount)
{
    std::vector<DemoStep> steps;
    uint32_t state = 20240601;
    size_t next = 0;
    for (int step = 0; step < 48; ++step) {
        state = state * 1103515245u + 12345u;
        const uint32_t roll = (state >> 16) % 10;
        if (next < itemCount && (roll < 6 || step < 6)) {
            steps.push_back(DemoStep{next++, false});
        } else {
            state = state * 1103515245u + 12345u;
            const size_t pick = next == 0 ? 0 : (state >> 16) % next;
            steps.push_back(DemoStep{pick, roll >= 8});
        }
    }
    return steps;
}

struct DemoPruned {
    check::IndexEntry entry;
    int step;
    std::string outcome;  // what pruning left of the item's file
};

std::string Outcome(const std::string& item)
{
    struct stat status;
    if (lstat(item.c_str(), &status) == 0)
        return status.st_size == 0 ? "truncated, name kept" : "file still there";
    const std::string dir = item.substr(0, item.rfind('/'));
    return lstat(dir.c_str(), &status) == 0 ? "unlinked" : "unlinked with its emptied dirs";
}

void PrintStatistics()
{
    boost::shared_ptr<CLogWriterInterface> saved = g_ptrLogWriter;
    boost::shared_ptr<LineCollector> collector(new LineCollector(kLibraryNoticeLevel));
    g_ptrLogWriter = collector;
    Facade().PrintStats();
    g_ptrLogWriter = saved;
    // The library's table is laid out with tabs; line it up.
    for (const std::string& line : collector->m_lines) {
        std::vector<std::string> fields;
        size_t start = 0;
        while (start <= line.size()) {
            const size_t tab = line.find('\t', start);
            const std::string field = line.substr(start, tab == std::string::npos ? std::string::npos : tab - start);
            if (!field.empty())
                fields.push_back(field);
            if (tab == std::string::npos)
                break;
            start = tab + 1;
        }
        if (fields.size() == 4)
            printf("  %-14s %8s %16s %16s\n", fields[0].c_str(), fields[1].c_str(), fields[2].c_str(),
                   fields[3].c_str());
    }
}

// The demo's directory, and the tmpfs on it: unmounted and removed on every
// way out of the demo, unless kept.
struct DemoPlace {
    DemoPlace(const std::string& made, bool keepIt) : dir(made), keep(keepIt) {}
    ~DemoPlace()
    {
        if (keep)
            return;
        fflush(stdout);
        if (mounted && umount2(dir.c_str(), MNT_DETACH) != 0)
            fprintf(stderr, "cmtool: cannot unmount %s: %s\n", dir.c_str(), strerror(errno));
        else
            RemoveTree(dir);
    }
    DemoPlace(const DemoPlace&) = delete;
    DemoPlace& operator=(const DemoPlace&) = delete;

    bool Mount()
    {
        const std::string mountOptions = "size=" + std::to_string(kDemoBytes) + ",nr_inodes=4096,mode=0755";
        mounted = mount("tmpfs", dir.c_str(), "tmpfs", 0, mountOptions.c_str()) == 0;
        return mounted;
    }

    std::string dir;
    bool keep;
    bool mounted = false;
};

int RunDemo(const Options& options)
{
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/cmtool-demo.XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr)
        return Fail("cannot make a temporary directory from " + pattern + ": " + strerror(errno));
    DemoPlace place(buffer.data(), options.keep);
    const std::string& dir = place.dir;

    std::string mountError;
    if (geteuid() == 0 && !place.Mount())
        mountError = strerror(errno);
    const bool mounted = place.mounted;
    CountingSize counting(dir);
    Options demo = options;
    demo.cacheDir = dir;
    demo.module = options.hasModule ? options.module : 7;
    demo.bytesMinFree = kDemoReservePercent;
    demo.inodesMinFree = kDemoInodeReservePercent;
    demo.pruneMode = CM_PRUNE_ITEM;
    CacheArgs args = ArgsFrom(demo, PRUNE_UNLINK);
    if (!mounted)
        args.cacheSize = &counting;

    printf("cmtool demo: a cache for module %u in %s\n", demo.module, dir.c_str());
    if (mounted)
        printf("  on a %s tmpfs: the library's own size provider asks the file system\n", Human(kDemoBytes).c_str());
    else
        printf("  on a %s file system played by counting the files under it (%s)\n", Human(kDemoBytes).c_str(),
               geteuid() == 0 ? ("no tmpfs: " + mountError).c_str() : "run as root for a real tmpfs");
    printf("  keeping %d%% of the bytes and %d%% of the inodes free; items are filed before they are written,\n"
           "  so the library makes room for them first\n\n",
           kDemoReservePercent, kDemoInodeReservePercent);
    if (!Start(args))
        return kExitFailed;
    CacheManagerImpl& manager = *Facade().m_impl;
    CacheSize& provider = *manager.m_cacheSize;

    const std::vector<DemoItem> items = DemoItems();
    const std::vector<DemoStep> steps = DemoSteps(items.size());
    std::vector<uint64_t> sizes(items.size(), 0);
    std::vector<DemoPruned> pruned;
    // Keys of our own, one step every 150 s over the last two hours, so that
    // the times read like a working day rather than one second.
    const uint64_t start = static_cast<uint64_t>(time(nullptr)) - steps.size() * 150;
    printf("%4s  %-6s  %-26s %9s  %-14s %10s  %s\n", "STEP", "OP", "ITEM", "SIZE", "METHOD", "FREE AFTER", "PRUNED");
    int failures = 0;
    for (size_t i = 0; i < steps.size(); ++i) {
        const DemoItem& item = items[steps[i].item];
        const std::string path = dir + "/items/" + item.name;
        const bool inCache = !RecordOf(path).empty();
        const char* op = !inCache ? (sizes[steps[i].item] == 0 ? "add" : "re-add") : steps[i].grow ? "grow" : "read";
        uint64_t size = item.size;
        if (inCache)
            size = sizes[steps[i].item] + (steps[i].grow ? item.size / 2 : 0);
        const uint64_t key = ((start + i * 150) << 8) | (i % 10);

        std::vector<check::IndexEntry> before;
        std::vector<check::IndexEntry> after;
        std::string error;
        check::ListEntries(manager.m_moduleRoot, before, error);
        // A read files the item afresh at its present size; an add or a grow
        // makes room for the new size before the bytes are written.
        bool ok = Facade().UpdateItem(path, false, inCache && !steps[i].grow ? 0 : size, key);
        if (ok && (!inCache || steps[i].grow))
            ok = WriteItem(path, size);
        // A new entry carries the default method: the host sets its own again.
        if (ok && item.method != PRUNE_UNLINK)
            ok = Facade().UpdateItem(path, item.method);
        if (ok)
            sizes[steps[i].item] = size;
        else
            ++failures;
        check::ListEntries(manager.m_moduleRoot, after, error);
        const std::vector<check::IndexEntry> gone = Pruned(before, after, path);
        for (const check::IndexEntry& entry : gone)
            pruned.push_back(DemoPruned{entry, static_cast<int>(i + 1), Outcome(entry.item)});
        uint64_t free = 0;
        provider.GetCacheFreeSpace(free);
        const std::string outcome =
            !ok ? "FAILED" : gone.empty() ? "" : std::to_string(gone.size()) + (gone.size() == 1 ? " item" : " items");
        char row[512];
        snprintf(row, sizeof row, "%4zu  %-6s  %-26s %9s  %-14s %10s  %s", i + 1, op, item.name.c_str(),
                 Human(size).c_str(), MethodName(item.method), Human(free).c_str(), outcome.c_str());
        std::string line = row;
        line.erase(line.find_last_not_of(' ') + 1);
        printf("%s\n", line.c_str());
    }

    uint64_t prunedBytes = 0;
    for (const DemoPruned& entry : pruned)
        prunedBytes += entry.entry.storedSize;
    printf("\nPruned to keep the reserve: %zu items, %s, oldest first\n", pruned.size(), Human(prunedBytes).c_str());
    printf("%4s  %-23s %9s  %-14s  %-26s %s\n", "STEP", "FILED AT", "SIZE", "METHOD", "ITEM", "NOW");
    for (const DemoPruned& entry : pruned) {
        const std::string name = entry.entry.item.substr(dir.size() + std::string("/items/").size());
        printf("%4d  %-23s %9s  %-14s  %-26s %s\n", entry.step, KeyTime(entry.entry.timeKey).c_str(),
               Human(entry.entry.storedSize).c_str(), MethodName(entry.entry.method), name.c_str(),
               entry.outcome.c_str());
    }

    printf("\n$ cmtool --cache-dir %s --module %u ls\n", dir.c_str(), demo.module);
    RunLs(demo);
    printf("\n$ cmtool --cache-dir %s --module %u --bytes-min-free %d --inodes-min-free %d stat\n", dir.c_str(),
           demo.module, kDemoReservePercent, kDemoInodeReservePercent);
    PrintStat(demo, provider);
    printf("\n$ cmtool --cache-dir %s --module %u check --items %s/items\n", dir.c_str(), demo.module, dir.c_str());
    demo.itemDirs.push_back(dir + "/items");
    const int checked = RunCheck(demo);
    printf("\nStatistics of this run (microseconds):\n");
    PrintStatistics();

    if (options.keep)
        printf("\nkept %s%s\n", dir.c_str(), mounted ? " (a tmpfs: umount it when done)" : "");
    else
        printf("\nremoving %s\n", dir.c_str());
    if (failures != 0)
        return Fail(std::to_string(failures) + " demo steps failed" + LibraryError());
    return checked;
}

const Command* FindCommand(const std::string& name)
{
    for (const Command& command : Commands())
        if (name == command.name)
            return &command;
    return nullptr;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    std::string error;
    if (!ParseCommandLine(argc, argv, options, error))
        return Usage(error);
    if (options.command.empty() || options.command == "help") {
        const std::string topic = options.args.empty() ? std::string() : options.args[0];
        if (const Command* command = topic.empty() ? nullptr : FindCommand(topic)) {
            PrintCommandHelp(*command);
            return kExitOk;
        }
        PrintHelp();
        return options.help || options.command == "help" ? kExitOk : kExitUsage;
    }
    const Command* command = FindCommand(options.command);
    if (command == nullptr)
        return Usage("unknown command [" + options.command + "]");
    if (options.help) {
        PrintCommandHelp(*command);
        return kExitOk;
    }
    for (const std::string& given : options.given) {
        bool known = false;
        for (const std::string& option : command->options)
            known = known || given == option;
        if (!known)
            return Usage(options.command + " takes no " + given);
    }
    if (static_cast<int>(options.args.size()) != command->arguments)
        return Usage(options.command + (command->arguments == 0 ? " takes no arguments" : " takes one item path"));
    if (command->needsModule && (!options.hasCacheDir || !options.hasModule))
        return Usage(options.command + " needs --cache-dir DIR and --module N");

    if (options.hasLogLevel) {
        g_ptrLogWriter.reset(new CStderrLogWriter(options.logLevel));
    } else {
        g_lastError = new LastError();
        g_ptrLogWriter.reset(g_lastError);
    }
    options.cacheDir = AbsolutePath(options.cacheDir);
    if (command->needsModule) {
        const bool mayCreate =
            std::find(command->options.begin(), command->options.end(), "--create") != command->options.end();
        if (const int missing = CheckModule(options, mayCreate))
            return missing;
    }
    const int status = command->run(options);
    // What could not be written is a failure too (a closed pipe ends the
    // program by SIGPIPE unless that is ignored).
    if (fflush(stdout) != 0 || ferror(stdout)) {
        const int writeError = errno;
        fprintf(stderr, "cmtool: cannot write standard output: %s\n", strerror(writeError));
        return status == kExitOk ? kExitFailed : status;
    }
    return status;
}
