// How the library writes to the host's log writer.
//
// Each line asks the writer's level first and is written only when that level
// is at least the line's. Every log call leaves errno as it found it, so a
// caller may log a failure and then test errno.
//
// Every error-level line is also kept as the calling thread's last error
// (GetLastCacheError), whether or not a writer is installed. The few lines
// that the library has always written at the error level although nothing
// failed use CM_ERROR_NOT_FAILURE, which writes without keeping.
#ifndef CACHEMANAGER_LOG_H
#define CACHEMANAGER_LOG_H

#include <cerrno>

#include "host/LogWriter.h"

namespace cm {

// Message levels, as host/LogWriter.h names them for hosts.
enum {
    LOG_ERROR = CM_LOG_LEVEL_ERROR,
    LOG_NOTICE = CM_LOG_LEVEL_NOTICE,
    LOG_PROGRESS = CM_LOG_LEVEL_PROGRESS,
};

class ErrnoSaver {
public:
    ErrnoSaver() : m_saved(errno) {}
    ~ErrnoSaver() { errno = m_saved; }
    ErrnoSaver(const ErrnoSaver&) = delete;
    ErrnoSaver& operator=(const ErrnoSaver&) = delete;

    int Saved() const { return m_saved; }

private:
    int m_saved;
};

// Where a log line comes from: the reporting function's signature and line.
// The system-call wrappers take one so that their lines name their caller.
struct LogSite {
    const char* function;
    int line;
};

inline bool LogEnabled(int level)
{
    ErrnoSaver saver;
    CLogWriterInterface* writer = g_ptrLogWriter.get();
    return writer != nullptr && writer->GetLogLevel() >= level;
}

// Whether the writer takes lines of this level. The writer may change errno
// while it answers (a configuration read, a mutex): the caller's errno is put
// back before the line's arguments, strerror(errno) among them, are evaluated.
inline bool WriterTakes(CLogWriterInterface* writer, int level, const ErrnoSaver& saved)
{
    const bool takes = writer != nullptr && writer->GetLogLevel() >= level;
    errno = saved.Saved();
    return takes;
}

// Keeps the message as the calling thread's last error, with errno as the
// caller had it. Leaves errno as it found it.
void RecordError(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace cm

#define CM_HERE (::cm::LogSite{__PRETTY_FUNCTION__, __LINE__})

// Writes the line only; the error-level lines that are not failures.
#define CM_WRITE_AT(site, level, ...)                                            \
    do {                                                                         \
        ::cm::ErrnoSaver cmErrnoSaver_;                                          \
        CLogWriterInterface* cmWriter_ = g_ptrLogWriter.get();                   \
        if (::cm::WriterTakes(cmWriter_, (level), cmErrnoSaver_))                \
            cmWriter_->WriteLog((level), (site).function, (site).line, 0, 0,     \
                                __VA_ARGS__);                                    \
    } while (0)

// The arguments of an error line are evaluated twice, once to keep it and
// once to write it: they must have no side effects.
#define CM_LOG_AT(site, level, ...)                                              \
    do {                                                                         \
        if ((level) == ::cm::LOG_ERROR)                                          \
            ::cm::RecordError(__VA_ARGS__);                                      \
        CM_WRITE_AT(site, level, __VA_ARGS__);                                   \
    } while (0)

#define CM_LOG(level, ...) CM_LOG_AT(CM_HERE, level, __VA_ARGS__)
#define CM_ERROR(...) CM_LOG(::cm::LOG_ERROR, __VA_ARGS__)
#define CM_NOTICE(...) CM_LOG(::cm::LOG_NOTICE, __VA_ARGS__)
#define CM_PROGRESS(...) CM_LOG(::cm::LOG_PROGRESS, __VA_ARGS__)
#define CM_ERROR_NOT_FAILURE(...) CM_WRITE_AT(CM_HERE, ::cm::LOG_ERROR, __VA_ARGS__)

#endif
