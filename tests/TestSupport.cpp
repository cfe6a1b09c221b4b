#include "tests/TestSupport.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tools/common/FileOps.h"

namespace test {

void CaptureLog::WriteLog(int level, const char* function, int, int, int, const char* format, ...)
{
    char text[8192];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_lines.push_back(LogLine{level, function, text});
    }
    errno = EIO;  // on purpose: the library must not depend on the writer leaving errno alone
}

int CaptureLog::Count(const std::string& needle, int level)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return static_cast<int>(std::count_if(m_lines.begin(), m_lines.end(), [&](const LogLine& l) {
        return (level == kAnyLevel || l.level == level) && l.text.find(needle) != std::string::npos;
    }));
}

std::string CaptureLog::Dump()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    std::string out;
    for (const LogLine& l : m_lines)
        out += "[" + std::to_string(l.level) + "] " + l.function + ": " + l.text + "\n";
    return out;
}

std::string ParentOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

void MakeDirs(const std::string& path)
{
    if (!cm::fileops::MakeDirs(path))
        ADD_FAILURE() << "mkdir " << path << ": " << strerror(errno);
}

void WriteFile(const std::string& path, size_t size)
{
    MakeDirs(ParentOf(path));
    FILE* file = fopen(path.c_str(), "w");
    const bool written = file != nullptr && fwrite(std::string(size, 'x').data(), 1, size, file) == size;
    if (file == nullptr || fclose(file) != 0 || !written)
        ADD_FAILURE() << "writing " << path << ": " << strerror(errno);
}

void MakeLink(const std::string& target, const std::string& path)
{
    MakeDirs(ParentOf(path));
    unlink(path.c_str());
    if (symlink(target.c_str(), path.c_str()) != 0)
        ADD_FAILURE() << "symlink " << path << ": " << strerror(errno);
}

// The lstat mode of path, 0 when it is missing.
mode_t ModeOf(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

bool Exists(const std::string& path) { return ModeOf(path) != 0; }
bool IsLink(const std::string& path) { return S_ISLNK(ModeOf(path)); }
bool IsDir(const std::string& path) { return S_ISDIR(ModeOf(path)); }

int64_t FileSize(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

std::string LinkText(const std::string& path) { return cm::fileops::LinkOr(path); }

std::vector<std::string> ListDir(const std::string& path) { return cm::fileops::ListNames(path); }

void RemoveTree(const std::string& path) { cm::fileops::RemoveTree(path); }

bool IsRoot() { return geteuid() == 0; }

pid_t Spawn(const std::function<int()>& fn)
{
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0)
        _exit(fn());
    return pid;
}

int Reap(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunInChild(const std::function<int()>& fn)
{
    const pid_t pid = Spawn(fn);
    return pid < 0 ? -1 : Reap(pid);
}

int RunAsNobody(const std::function<int()>& fn)
{
    return RunInChild([&]() {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            return 99;
        return fn();
    });
}

TmpfsMount::TmpfsMount(const std::string& dir, const std::string& options)
    : m_dir(dir), m_options(options), m_ok(false)
{
    MakeDirs(dir);
    m_ok = mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0;
    if (!m_ok)
        ADD_FAILURE() << "mount tmpfs on " << dir << ": " << strerror(errno);
}

TmpfsMount::~TmpfsMount()
{
    if (m_ok && umount2(m_dir.c_str(), MNT_DETACH) != 0)
        ADD_FAILURE() << "umount " << m_dir << ": " << strerror(errno);
}

bool TmpfsMount::RemountReadOnly(bool readOnly)
{
    const unsigned long flags = MS_REMOUNT | (readOnly ? MS_RDONLY : 0);
    return mount("tmpfs", m_dir.c_str(), "tmpfs", flags, m_options.c_str()) == 0;
}

void CacheTest::SetUp()
{
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/cmtest.XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    ASSERT_NE(mkdtemp(buffer.data()), nullptr) << strerror(errno);
    char resolved[PATH_MAX];
    ASSERT_NE(realpath(buffer.data(), resolved), nullptr);
    m_dir = resolved;
    m_log.reset(new CaptureLog(4));
    g_ptrLogWriter = m_log;
}

void CacheTest::TearDown()
{
    g_ptrLogWriter.reset();
    // Managers are never torn down by the library; tests free theirs.
    for (CacheManagerImpl* manager : m_managers)
        delete manager;
    m_managers.clear();
    if (HasFailure()) {
        fprintf(stderr, "kept the failed test's directory: %s\n", m_dir.c_str());
        return;
    }
    RemoveTree(m_dir);
}

CacheArgs CacheTest::Args()
{
    CacheArgs args;
    args.cacheDir = m_dir;
    args.moduleId = 7;
    args.pruneMethod = PRUNE_UNLINK;
    args.cacheSize = &size;
    args.pruneMode = CM_PRUNE_ITEM;
    args.processModel = CM_LOCK_PROCESS_THREAD;
    return args;
}

CacheManagerImpl& CacheTest::Manager(const CacheArgs& args)
{
    CacheManagerImpl* manager = new CacheManagerImpl();
    m_managers.push_back(manager);
    EXPECT_TRUE(manager->InitCacheManager(args)) << log().Dump();
    return *manager;
}

}  // namespace test
