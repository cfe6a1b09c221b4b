// What every test shares: a fresh directory per test (kept when the test
// fails), a log writer that captures every line, a size provider whose
// figures the test sets, real tmpfs mounts, forked and unprivileged children,
// helpers to build and read state on disk with raw calls, caller time keys
// and listings of the index for the pruning tests, and the index checker run
// on a module.
#ifndef TESTS_TESTSUPPORT_H
#define TESTS_TESTSUPPORT_H

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <stdint.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "cachemanager/CacheManager.h"
#include "cachemanager/CacheManagerImpl.h"
#include "cachemanager/timetable/Layout.h"
#include "host/LogWriter.h"
#include "tools/checker/IndexChecker.h"
#include "tools/common/FileOps.h"

namespace test {

struct LogLine {
    int level;
    std::string function;
    std::string text;  // the formatted message
};

// Captures every line written to it. Thread-safe; level settable.
class CaptureLog : public CLogWriterInterface {
public:
    explicit CaptureLog(int level = 4) : m_level(level) {}
    void WriteLog(int level, const char* function, int line, int reserved1, int reserved2,
                  const char* format, ...) override __attribute__((format(printf, 7, 8)));
    // Both calls clobber errno on purpose: the library must not depend on
    // the writer leaving it alone.
    int GetLogLevel() override
    {
        errno = EXDEV;
        return m_level.load();
    }

    void SetLevel(int level) { m_level = level; }
    std::vector<LogLine> Lines() { std::lock_guard<std::mutex> guard(m_mutex); return m_lines; }
    void Clear() { std::lock_guard<std::mutex> guard(m_mutex); m_lines.clear(); }
    // Lines whose formatted text contains needle (at the given level, or any
    // level when level is kAnyLevel).
    static const int kAnyLevel = -1000;
    int Count(const std::string& needle, int level = kAnyLevel);
    bool Has(const std::string& needle, int level = kAnyLevel) { return Count(needle, level) > 0; }
    int CountLevel(int level) { return Count("", level); }
    // Every line, one per row, for failure messages.
    std::string Dump();

private:
    std::mutex m_mutex;
    std::vector<LogLine> m_lines;
    std::atomic<int> m_level;
};

// A size provider whose figures the test sets. Free figures may instead come
// from a function, called on every query.
class ScriptedSize : public CacheSize {
public:
    bool GetCacheFreeSpace(uint64_t& bytes) override
    {
        return ++freeSpaceQueries, Answer(failFreeSpace, freeBytesFn ? freeBytesFn() : freeBytes.load(), bytes);
    }
    bool GetCacheTotalSpace(uint64_t& bytes) override { return Answer(failTotalSpace, totalBytes, bytes); }
    bool GetCacheTotalInodes(uint64_t& inodes) override { return Answer(failTotalInodes, totalInodes, inodes); }
    bool GetCacheFreeInodes(uint64_t& inodes) override
    {
        return ++freeInodeQueries, Answer(failFreeInodes, freeInodesFn ? freeInodesFn() : freeInodes.load(), inodes);
    }
    static bool Answer(bool fail, uint64_t figure, uint64_t& out) { return !fail && (out = figure, true); }

    std::atomic<uint64_t> totalBytes{1000000};
    std::atomic<uint64_t> freeBytes{1000000};
    std::atomic<uint64_t> totalInodes{1000000};
    std::atomic<uint64_t> freeInodes{1000000};
    std::function<uint64_t()> freeBytesFn;   // when set, answers GetCacheFreeSpace
    std::function<uint64_t()> freeInodesFn;  // when set, answers GetCacheFreeInodes
    std::atomic<bool> failTotalSpace{false};
    std::atomic<bool> failFreeSpace{false};
    std::atomic<bool> failTotalInodes{false};
    std::atomic<bool> failFreeInodes{false};
    std::atomic<int> freeSpaceQueries{0};
    std::atomic<int> freeInodeQueries{0};
};

// --- Files and links, with raw calls ---------------------------------------

void WriteFile(const std::string& path, size_t size);  // makes parent dirs
void MakeDirs(const std::string& path);                // mkdir -p
void MakeLink(const std::string& target, const std::string& path);
bool Exists(const std::string& path);   // lstat succeeds
bool IsLink(const std::string& path);
bool IsDir(const std::string& path);
int64_t FileSize(const std::string& path);  // -1 when missing
std::string LinkText(const std::string& path);  // "" when missing
std::vector<std::string> ListDir(const std::string& path);  // sorted, without . and ..
void RemoveTree(const std::string& path);
std::string ParentOf(const std::string& path);

// --- Processes and mounts ---------------------------------------------------

bool IsRoot();
// Runs fn in a forked child and returns its exit status (fn's result), or
// -1 when the child did not exit normally.
int RunInChild(const std::function<int()>& fn);
// fork() with fn as the child's body (the child never returns), and the
// child's exit status, or -1 when it did not exit normally.
pid_t Spawn(const std::function<int()>& fn);
int Reap(pid_t pid);
// As RunInChild, with the child's uid and gid dropped to nobody's (65534).
int RunAsNobody(const std::function<int()>& fn);

// A tmpfs mounted on a directory for the life of the object. Needs root.
class TmpfsMount {
public:
    // options: e.g. "size=2m,nr_inodes=200".
    TmpfsMount(const std::string& dir, const std::string& options);
    ~TmpfsMount();
    bool ok() const { return m_ok; }
    bool RemountReadOnly(bool readOnly);

private:
    std::string m_dir;
    std::string m_options;
    bool m_ok;
};

#define SKIP_UNLESS_ROOT() \
    do { if (!::test::IsRoot()) GTEST_SKIP() << "needs root to mount a tmpfs or drop privileges"; } while (0)

// --- The fixture ------------------------------------------------------------

// A fresh absolute directory per test under $TMPDIR (or /tmp), removed after
// a passing test and kept, with a note, after a failing one. Installs a
// CaptureLog at level 4 as the library's log writer.
class CacheTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // CacheArgs for module 7 under dir() with the scripted size provider,
    // item mode, PRUNE_UNLINK, no reserves, CM_LOCK_PROCESS_THREAD.
    CacheArgs Args();
    // A manager initialised with args (Args() by default); fails the test
    // when initialisation fails. Owned by the fixture.
    CacheManagerImpl& Manager(const CacheArgs& args);
    CacheManagerImpl& Manager() { return Manager(Args()); }

    const std::string& dir() const { return m_dir; }
    std::string ModuleRoot() const { return m_dir + "/CM/7"; }
    std::string T() const { return ModuleRoot() + "/T"; }
    // An item path under dir()/items.
    std::string Item(const std::string& name) const { return m_dir + "/items/" + name; }
    std::string RecordOf(const std::string& item) const { return cm::layout::RecordPath(item); }

    CaptureLog& log() { return *m_log; }
    ScriptedSize size;

private:
    std::string m_dir;
    boost::shared_ptr<CaptureLog> m_log;
    std::vector<CacheManagerImpl*> m_managers;
};

// --- Pruning: the items on disk, the index, caller time keys ---------------------


// Calls fn with the path and the lstat of everything below dir, depth first.
inline void Walk(const std::string& dir, const std::function<void(const std::string&, const struct stat&)>& fn)
{
    for (const std::string& name : ListDir(dir)) {
        struct stat st;
        if (lstat((dir + "/" + name).c_str(), &st) == 0) {
            fn(dir + "/" + name, st);
            if (S_ISDIR(st.st_mode))
                Walk(dir + "/" + name, fn);
        }
    }
}

// The bytes, or the number, of the regular files below dir.
inline uint64_t FilesUnder(const std::string& dir, bool bytes = false)
{
    uint64_t n = 0;
    Walk(dir, [&](const std::string&, const struct stat& st) { n += S_ISREG(st.st_mode) ? bytes ? st.st_size : 1 : 0; });
    return n;
}
inline uint64_t BytesUnder(const std::string& dir) { return FilesUnder(dir, true); }

// Every symbolic link below dir, sorted: under "T", the index entries.
inline std::vector<std::string> LinksUnder(const std::string& dir)
{
    std::vector<std::string> links;
    Walk(dir, [&](const std::string& path, const struct stat& st) {
        if (S_ISLNK(st.st_mode))
            links.push_back(path);
    });
    std::sort(links.begin(), links.end());
    return links;
}

// A caller's time key of whole seconds; below 256 its entry directory is
// T/0/0/0/<seconds>/0.
inline uint64_t Key(uint64_t seconds) { return seconds << 8; }

class PruneTest : public CacheTest {
protected:
    // Free bytes follow the items: capacity minus what the files below
    // dir()/items hold, so that every prune really makes room.
    void UseCapacity(uint64_t capacity)
    {
        const std::string items = dir() + "/items";
        size.freeBytesFn = [items, capacity]() { return capacity - std::min(capacity, BytesUnder(items)); };
    }

    // Writes the item's file and files it under key without making room.
    std::string Add(CacheManagerImpl& m, const std::string& name, size_t bytes, uint64_t key)
    {
        const std::string item = Item(name);
        WriteFile(item, bytes);
        EXPECT_TRUE(m.UpdateItem(item, true, bytes, key)) << log().Dump();
        return item;
    }

    std::string EntryOf(const std::string& item) const { return LinkText(RecordOf(item)); }
    std::string SizeText() const { return LinkText(ModuleRoot() + "/size"); }
    std::string OldestText() const { return LinkText(ModuleRoot() + "/oldest"); }
    std::vector<std::string> Entries() const { return LinksUnder(T()); }
};


// --- Checking a module --------------------------------------------------------

inline cm::check::CheckReport CheckModule(const std::string& moduleRoot, const std::string& itemsDir, int pruneMode)
{
    cm::check::CheckOptions options;
    options.moduleRoot = moduleRoot;
    options.itemDirs.push_back(itemsDir);
    options.pruneMode = pruneMode;
    cm::check::CheckReport report;
    std::string error;
    EXPECT_TRUE(cm::check::CheckIndex(options, report, error)) << error;
    return report;
}

// The total in the module's size link (0 when it is missing).
inline uint64_t StoredTotal(const std::string& moduleRoot)
{
    return cm::layout::ParseSizeText(LinkText(cm::layout::SizeLink(moduleRoot)));
}

// Whether the item is in the cache: its record names an entry that exists.
inline bool InCache(const std::string& item)
{
    const std::string position = LinkText(cm::layout::RecordPath(item));
    return !position.empty() && IsLink(position);
}

inline uint64_t BytesInCache(const std::vector<std::string>& items)
{
    uint64_t bytes = 0;
    for (const std::string& item : items)
        if (InCache(item))
            bytes += static_cast<uint64_t>(std::max<int64_t>(FileSize(item), 0));
    return bytes;
}

// count Ts in memory that forked children share with their parent; never freed.
template <typename T>
T* SharedArray(size_t count)
{
    void* memory = mmap(nullptr, sizeof(T) * count, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        ADD_FAILURE() << "mmap: " << strerror(errno);
        abort();
    }
    T* array = static_cast<T*>(memory);
    for (size_t i = 0; i < count; ++i)
        new (&array[i]) T();
    return array;
}

}  // namespace test

#endif
