// What cmtool knows of a cache beyond the library's calls: the library's
// log lines, the one facade it opens, where a module and an item are, and
// the refusals that keep a typo from destroying anything.
#ifndef TOOLS_CMTOOL_CACHE_H
#define TOOLS_CMTOOL_CACHE_H

#include <stdint.h>
#include <string>
#include <vector>

#include "cachemanager/CacheManager.h"
#include "host/LogWriter.h"
#include "tools/checker/IndexChecker.h"
#include "tools/cmtool/CommandLine.h"

namespace cmtool {

const int kLibraryErrorLevel = -1;  // the level of the library's error lines
const int kLibraryNoticeLevel = 1;  // ...and of its statistics table

// Collects the library's lines of one level (the statistics table).
class LineCollector : public CLogWriterInterface {
public:
    explicit LineCollector(int level) : m_level(level) {}
    void WriteLog(int level, const char* function, int line, int reserved1, int reserved2, const char* format,
                  ...) override __attribute__((format(printf, 7, 8)));
    int GetLogLevel() override { return m_level; }

    int m_level;
    std::vector<std::string> m_lines;
};

// The library's stderr writer at --log-level, or one that keeps its last
// error line for LibraryError().
void InstallLogWriter(const Options& options);
// ": <the library's last error line>", or "" when it wrote none.
std::string LibraryError();

// The facade lives as long as the process, as the library expects.
CacheManager& Facade();
// The module's published settings, where there are any, in place of every
// setting that the command line did not give.
void TakeModuleSettings(Options& options);
// The prune method of items filed here when the command line gives none.
PruneMethod DefaultMethod(const Options& options);
CacheArgs ArgsFrom(const Options& options, PruneMethod method);
// Opens the cache; false after a line that says why not. What it prunes is
// added to the module's published statistics when its hosts keep them.
bool Start(const CacheArgs& args);

std::string ReadLinkOr(const std::string& path, const std::string& otherwise);
std::string RecordOf(const std::string& item);
std::string ParentOf(const std::string& path);
// Absolute from the working directory, without "." parts and doubled or
// trailing slashes; ".." stays, as it may lead through a link.
std::string AbsolutePath(const std::string& path);

// kExitOk when the module is there (or may be made: mayCreate and --create);
// otherwise the status after a line that says what is missing.
int CheckModule(const Options& options, bool mayCreate);
// The well-formed entries, oldest first.
bool ReadIndex(const Options& options, std::vector<cm::check::IndexEntry>& entries, std::string& error);

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

ItemState ReadItem(const std::string& path);
// What an item path names, or a refusal (kExitFailed after a line): a
// directory, a path in the index's own CM directory, an item whose record
// leads outside this module's index.
int LookAtItem(const Options& options, const std::string& given, ItemState& item);
// A refusal when size with the byte reserve is more than the file system
// holds: making room for it would prune the whole module and still fail.
int CheckFits(const Options& options, uint64_t size, const std::string& what);

}  // namespace cmtool

#endif
