// What every test shares: a fresh directory per test (kept when the test
// fails), a log writer that captures every line, a size provider whose
// figures the test sets, real tmpfs mounts, forked and unprivileged children,
// helpers to build and read state on disk with raw calls, caller time keys
// and listings of the index for the pruning tests, and, for the stress,
// crash and fault tests, the index checker run on a module and the honest
// worker that drives every item operation from many processes.
#ifndef TESTS_TESTSUPPORT_H
#define TESTS_TESTSUPPORT_H

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <random>
#include <stdint.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "cachemanager/CacheManager.h"
#include "cachemanager/CacheManagerImpl.h"
#include "cachemanager/timetable/Layout.h"
#include "host/LogWriter.h"
#include "tools/checker/IndexChecker.h"

namespace test {

struct LogLine {
    int level;
    std::string function;
    int line;
    std::string format;
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
    std::vector<LogLine> Lines();
    void Clear();
    // Lines whose formatted text contains needle (at the given level, or any
    // level when level is kAnyLevel).
    static const int kAnyLevel = -1000;
    int Count(const std::string& needle, int level = kAnyLevel);
    bool Has(const std::string& needle, int level = kAnyLevel) { return Count(needle, level) > 0; }
    int CountLevel(int level);
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
    bool GetCacheFreeSpace(uint64_t& bytes) override;
    bool GetCacheTotalSpace(uint64_t& bytes) override;
    bool GetCacheTotalInodes(uint64_t& inodes) override;
    bool GetCacheFreeInodes(uint64_t& inodes) override;

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
    std::string RecordOf(const std::string& item) const;

    CaptureLog& log() { return *m_log; }
    ScriptedSize size;

private:
    std::string m_dir;
    boost::shared_ptr<CaptureLog> m_log;
    std::vector<CacheManagerImpl*> m_managers;
};

// --- Pruning: the items on disk, the index, caller time keys ---------------------


// The regular files below dir: their sizes summed, and their number.
inline void WalkFiles(const std::string& dir, uint64_t& bytes, uint64_t& files)
{
    for (const std::string& name : ListDir(dir)) {
        const std::string path = dir + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            WalkFiles(path, bytes, files);
        } else if (S_ISREG(st.st_mode)) {
            bytes += static_cast<uint64_t>(st.st_size);
            ++files;
        }
    }
}

inline uint64_t BytesUnder(const std::string& dir)
{
    uint64_t bytes = 0, files = 0;
    WalkFiles(dir, bytes, files);
    return bytes;
}

inline uint64_t FilesUnder(const std::string& dir)
{
    uint64_t bytes = 0, files = 0;
    WalkFiles(dir, bytes, files);
    return files;
}

// Every symbolic link below dir, sorted: under "T", the index entries.
inline std::vector<std::string> LinksUnder(const std::string& dir)
{
    std::vector<std::string> links;
    for (const std::string& name : ListDir(dir)) {
        const std::string path = dir + "/" + name;
        if (IsDir(path)) {
            const std::vector<std::string> below = LinksUnder(path);
            links.insert(links.end(), below.begin(), below.end());
        } else if (IsLink(path)) {
            links.push_back(path);
        }
    }
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
        size.freeBytesFn = [items, capacity]() {
            const uint64_t used = BytesUnder(items);
            return used >= capacity ? 0 : capacity - used;
        };
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
    std::string LatestText() const { return LinkText(ModuleRoot() + "/latest"); }
    std::vector<std::string> Entries() const { return LinksUnder(T()); }
};


// --- Stress, crash and fault tests ----------------------------------------------


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

// --- Files --------------------------------------------------------------------

// mkdir -p of path's directory, without complaints: workers run in children.
inline void MakeParentsQuietly(const std::string& path)
{
    const std::string dir = ParentOf(path);
    if (dir.empty() || IsDir(dir))
        return;
    MakeParentsQuietly(dir);
    mkdir(dir.c_str(), 0777);
}

// Makes path a file of exactly size bytes (its directories too), allocating
// the bytes when the file system has them and leaving a hole when it has
// not: either way lstat reports size, which is all the cache counts. False
// when the file could not be made at all.
inline bool SetFileSize(const std::string& path, uint64_t size)
{
    int fd = -1;
    for (int attempt = 0; attempt < 20 && fd < 0; ++attempt) {
        // Another process's PRUNE_UNLINK_RECURSE may take an emptied
        // directory between the mkdir and the open.
        MakeParentsQuietly(path);
        fd = open(path.c_str(), O_WRONLY | O_CREAT, 0666);
        if (fd < 0 && errno != ENOENT)
            return false;
    }
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0;
    if (ok && static_cast<uint64_t>(st.st_size) > size)
        ok = ftruncate(fd, static_cast<off_t>(size)) == 0;
    else if (ok && size > 0 && fallocate(fd, 0, 0, static_cast<off_t>(size)) != 0)
        ok = ftruncate(fd, static_cast<off_t>(size)) == 0;
    close(fd);
    return ok;
}

// --- Shared memory --------------------------------------------------------------

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

// --- The size provider ------------------------------------------------------------

// Free figures of the cache's file system: statvfs of a directory on it, or,
// with a capacity, that capacity less the bytes of the files below the
// directory. Its first free-space query after Resize() in the same thread
// makes the item's file the size asked for.
class HonestSize : public CacheSize {
public:
    HonestSize(const std::string& dir, uint64_t capacity) : m_dir(dir), m_capacity(capacity) {}

    // Call right before the item's UpdateItem or UnHideItem, in its thread.
    static void Resize(const std::string& item, uint64_t size)
    {
        Pending().item = item;
        Pending().size = size;
        Pending().done = false;
    }
    // Whether the file was resized since Resize(); forgets the request.
    static bool Resized()
    {
        const bool done = Pending().done;
        Pending().item.clear();
        return done;
    }

    bool GetCacheFreeSpace(uint64_t& bytes) override
    {
        Request& pending = Pending();
        if (!pending.item.empty() && !pending.done) {
            pending.done = true;
            SetFileSize(pending.item, pending.size);
        }
        return Figure(bytes, false);
    }
    bool GetCacheTotalSpace(uint64_t& bytes) override { return Figure(bytes, true); }
    bool GetCacheTotalInodes(uint64_t& inodes) override { return Inodes(inodes, true); }
    bool GetCacheFreeInodes(uint64_t& inodes) override { return Inodes(inodes, false); }

private:
    struct Request {
        std::string item;
        uint64_t size = 0;
        bool done = false;
    };
    static Request& Pending()
    {
        static thread_local Request request;
        return request;
    }

    bool Figure(uint64_t& bytes, bool total)
    {
        if (m_capacity != 0) {
            const uint64_t used = BytesUnder(m_dir);
            bytes = total ? m_capacity : (used >= m_capacity ? 0 : m_capacity - used);
            return true;
        }
        struct statvfs fs;
        if (statvfs(m_dir.c_str(), &fs) != 0)
            return false;
        bytes = static_cast<uint64_t>(total ? fs.f_blocks : fs.f_bavail) * fs.f_frsize;
        return true;
    }
    bool Inodes(uint64_t& inodes, bool total)
    {
        // The directory may not be there yet (or may have been pruned away):
        // its file system is that of its nearest ancestor.
        std::string dir = m_dir;
        while (!dir.empty() && !IsDir(dir))
            dir = ParentOf(dir);
        struct statvfs fs;
        if (statvfs(dir.empty() ? "/" : dir.c_str(), &fs) != 0)
            return false;
        inodes = total ? fs.f_files : fs.f_ffree;
        return true;
    }

    std::string m_dir;
    uint64_t m_capacity;
};

// --- The honest worker ---------------------------------------------------------------

// What an item's owner knows of it, shared by the owner's successive processes.
struct ItemState {
    enum { MAYBE_IN, OUT, BUSY };
    std::atomic<int> state{MAYBE_IN};
    // OUT: the file's size as the owner left it, -1 for no file.
    std::atomic<int64_t> size{-1};
};

// Operations, in the order their counts print.
enum Op { OP_RESIZE, OP_TOUCH, OP_WRITE_AND_ADD, OP_METHOD, OP_DELETE, OP_HIDE, OP_UNHIDE, OP_CREATE_SPACE, kOps };
inline const char* OpName(int op)
{
    static const char* const kNames[kOps] = {"resize", "touch", "write+add", "method", "delete",
                                             "hide",   "unhide", "CreateSpace"};
    return kNames[op];
}

// Counters and the first complaint, shared by every worker process.
struct SharedTally {
    std::atomic<uint64_t> done[kOps];
    std::atomic<uint64_t> failed[kOps];
    std::atomic<uint64_t> lostFiles{0};
    std::atomic<int> complaintTaken{0};
    char complaint[512] = {0};
    // Error lines by format: the library's formats lie at the same address
    // in every forked process.
    static const int kFormats = 64;
    std::atomic<const char*> format[kFormats];
    std::atomic<uint64_t> lines[kFormats];
    char example[kFormats][256] = {};  // the first line of each format, as written

    SharedTally()
    {
        for (int i = 0; i < kOps; ++i)
            done[i] = failed[i] = 0;
        for (int i = 0; i < kFormats; ++i) {
            format[i] = nullptr;
            lines[i] = 0;
        }
    }
    void Complain(const std::string& text)
    {
        ++lostFiles;
        if (complaintTaken.exchange(1) == 0)
            snprintf(complaint, sizeof complaint, "%s", text.c_str());
    }
    void CountLine(const char* fmt, va_list args)
    {
        for (int i = 0; i < kFormats; ++i) {
            const char* seen = format[i].load();
            if (seen == nullptr && format[i].compare_exchange_strong(seen, fmt)) {
                vsnprintf(example[i], sizeof example[i], fmt, args);
                ++lines[i];
                return;
            }
            if (seen == fmt) {
                ++lines[i];
                return;
            }
        }
    }
    std::string Summary() const
    {
        std::string text;
        for (int op = 0; op < kOps; ++op)
            text += std::string(OpName(op)) + " " + std::to_string(done[op].load()) + " (" +
                    std::to_string(failed[op].load()) + " false)  ";
        text += "\n";
        for (int i = 0; i < kFormats && format[i].load() != nullptr; ++i)
            text += "  error line x" + std::to_string(lines[i].load()) + ", first: " + example[i] + "\n";
        return text;
    }
};

// A log writer for worker processes: counts error lines by format, keeps nothing.
class TallyLog : public CLogWriterInterface {
public:
    explicit TallyLog(SharedTally& tally) : m_tally(tally) {}
    void WriteLog(int level, const char*, int, int, int, const char* format, ...) override
    {
        if (level >= 0)
            return;
        va_list args;
        va_start(args, format);
        m_tally.CountLine(format, args);
        va_end(args);
    }
    int GetLogLevel() override { return -1; }

private:
    SharedTally& m_tally;
};

// One worker thread's random mix of every item operation on the items it owns.
class HonestWorker {
public:
    HonestWorker(CacheManager& cache, const std::vector<std::string>& items, ItemState* states,
                 const std::vector<size_t>& mine, uint64_t maxSize, SharedTally& tally, unsigned seed)
        : m_cache(cache), m_items(items), m_states(states), m_mine(mine), m_maxSize(maxSize), m_tally(tally),
          m_random(seed)
    {
    }

    // After a crash: what the dead owner was doing is unknown.
    void Recover()
    {
        for (size_t index : m_mine)
            if (m_states[index].state == ItemState::BUSY)
                m_states[index].state = ItemState::MAYBE_IN;
    }

    void Step()
    {
        const size_t index = m_mine[Pick(m_mine.size())];
        const std::string& item = m_items[index];
        ItemState& state = m_states[index];
        const bool out = state.state == ItemState::OUT;
        if (out)
            CheckUntouched(item, state);
        const int op = static_cast<int>(Pick(kOps));
        const uint64_t newSize = 1 + Pick(m_maxSize);
        state.state = ItemState::BUSY;
        bool ok = false;
        switch (op) {
        case OP_RESIZE:
            HonestSize::Resize(item, newSize);
            ok = m_cache.UpdateItem(item, newSize, 0);
            HonestSize::Resized();
            break;
        case OP_TOUCH:
            ok = m_cache.UpdateItem(item, static_cast<uint64_t>(0), 0);
            break;
        case OP_WRITE_AND_ADD:
            if (!out) {  // only an item certainly out of the cache may be written directly
                HonestSize::Resize(item, newSize);
                ok = m_cache.UpdateItem(item, newSize, 0);
                HonestSize::Resized();
            } else if (SetFileSize(item, newSize)) {
                ok = m_cache.UpdateItem(item, Pick(2) == 0, newSize, 0);
            }
            break;
        case OP_METHOD:
            ok = m_cache.UpdateItem(item, static_cast<PruneMethod>(Pick(3)));
            break;
        case OP_DELETE:
            ok = m_cache.DeleteFromCache(item);
            break;
        case OP_HIDE:
            ok = m_cache.HideItem(item, 0);
            break;
        case OP_UNHIDE:
            if (out && FileSize(item) > 0) {
                ok = m_cache.UnHideItem(item, static_cast<uint64_t>(FileSize(item)), 0);
            } else {
                HonestSize::Resize(item, newSize);
                ok = m_cache.UnHideItem(item, newSize, 0);
                HonestSize::Resized();
            }
            break;
        case OP_CREATE_SPACE:
            ok = m_cache.CreateSpace(item, newSize);
            break;
        }
        ++m_tally.done[op];
        if (!ok)
            ++m_tally.failed[op];
        // Only its owner files an item: one without a record stays out of
        // the cache until the owner's next step. One with a record may be
        // pruned by anybody at any moment.
        if (IsLink(cm::layout::RecordPath(item))) {
            state.state = ItemState::MAYBE_IN;
            return;
        }
        // A host drops now and then what it could not cache; otherwise such
        // files would fill the file system for good.
        if (!ok && Pick(2) == 0)
            unlink(item.c_str());
        state.size = FileSize(item);
        state.state = ItemState::OUT;
    }

private:
    size_t Pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(m_random); }

    // Nothing may touch the file of an item out of the cache.
    void CheckUntouched(const std::string& item, const ItemState& state)
    {
        const int64_t now = FileSize(item);
        if (now != state.size)
            m_tally.Complain(item + " is out of the cache, yet its file went from " + std::to_string(state.size) +
                             " to " + std::to_string(now) + " bytes (-1: no file)");
    }

    CacheManager& m_cache;
    const std::vector<std::string>& m_items;
    ItemState* m_states;
    std::vector<size_t> m_mine;
    uint64_t m_maxSize;
    SharedTally& m_tally;
    std::mt19937 m_random;
};

// The body of a forked worker process: a manager of its own on args (with
// a HonestSize on sizeDir and capacity), and threads that each own every
// (slots * threads)-th item and step through random operations until they
// have made ops steps (0: no limit) or stop is set. Returns the exit code.
inline int RunWorkers(CacheArgs args, const std::string& sizeDir, uint64_t capacity,
                      const std::vector<std::string>& items, ItemState* states, SharedTally& tally, int slot,
                      int slots, int threads, long ops, uint64_t maxSize, const std::atomic<int>* stop,
                      unsigned seed)
{
    g_ptrLogWriter.reset(new TallyLog(tally));
    args.cacheSize = new HonestSize(sizeDir, capacity);
    static CacheManager cache;  // lives as long as the process, like a host's
    if (!cache.InitCacheManager(args))
        return 3;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        std::vector<size_t> mine;
        for (size_t i = 0; i < items.size(); ++i)
            if (static_cast<int>(i % static_cast<size_t>(slots * threads)) == slot * threads + t)
                mine.push_back(i);
        pool.emplace_back([&, mine, t] {
            HonestWorker worker(cache, items, states, mine, maxSize, tally, seed * 31 + static_cast<unsigned>(t));
            worker.Recover();
            for (long n = 0; (ops == 0 || n < ops) && (stop == nullptr || stop->load() == 0); ++n)
                worker.Step();
        });
    }
    for (std::thread& thread : pool)
        thread.join();
    return 0;
}

// Items spread over a few directories below itemsDir.
inline std::vector<std::string> ItemPaths(const std::string& itemsDir, size_t count, size_t dirs)
{
    std::vector<std::string> items;
    for (size_t i = 0; i < count; ++i)
        items.push_back(itemsDir + "/d" + std::to_string(i % dirs) + "/i" + std::to_string(i));
    return items;
}

// A size from the environment, or the default.
inline long EnvNumber(const char* name, long fallback)
{
    const char* text = getenv(name);
    return text != nullptr && atol(text) > 0 ? atol(text) : fallback;
}

}  // namespace test

#endif
