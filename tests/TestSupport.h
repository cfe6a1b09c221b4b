// What every test of the library shares: a fresh directory per test (kept
// when the test fails), a log writer that captures every line, a size
// provider whose figures the test sets, real tmpfs mounts and unprivileged
// children, and small helpers to build and read state on disk with raw calls.
#ifndef TESTS_TESTSUPPORT_H
#define TESTS_TESTSUPPORT_H

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <mutex>
#include <stdint.h>
#include <string>
#include <vector>

#include "cachemanager/CacheManager.h"
#include "cachemanager/CacheManagerImpl.h"
#include "host/LogWriter.h"

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

}  // namespace test

#endif
