// The host's log writer, as the library calls it. A host installs its own
// writer with g_ptrLogWriter.reset(new ...); while the pointer is empty the
// library writes nothing and still works.
//
// Install the writer once, before the first manager is initialised, and
// leave it in place: the library reads g_ptrLogWriter without a lock. Any
// thread that calls the library may write through it, at the same time as
// others, so a writer must be thread-safe. A host that forks and renews its
// managers in the child (CacheManager::AtFork) also writes from the child.
#ifndef HOST_LOGWRITER_H
#define HOST_LOGWRITER_H

#include <boost/shared_ptr.hpp>
#include <functional>

#define HOST_EXPORT __attribute__((visibility("default")))

// The levels the library writes at. A line is written when the writer's
// GetLogLevel() is at least the line's level.
enum {
    CM_LOG_LEVEL_ERROR = -1,    // failed calls and steps, refused requests
    CM_LOG_LEVEL_NOTICE = 1,    // arguments, initialisation figures, statistics, notices
    CM_LOG_LEVEL_PROGRESS = 4,  // each pruned file, removed directory, pass, position
};

class HOST_EXPORT CLogWriterInterface {
public:
    virtual ~CLogWriterInterface();
    // level, reporting function's signature text, source line, two reserved
    // integers that the library always passes as 0, printf-style format, args
    virtual void WriteLog(int level, const char* function, int line,
                          int reserved1, int reserved2,
                          const char* format, ...)
        __attribute__((format(printf, 7, 8))) = 0;
    virtual int GetLogLevel() = 0;
};

extern HOST_EXPORT boost::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

// A writer that receives each line formatted: WriteLog formats the message
// (up to 8191 bytes; longer ones are cut) and hands it to WriteLine, and
// puts errno back afterwards, so a subclass need not care for either.
class HOST_EXPORT CFormattedLogWriter : public CLogWriterInterface {
public:
    void WriteLog(int level, const char* function, int line,
                  int reserved1, int reserved2,
                  const char* format, ...) override
        __attribute__((format(printf, 7, 8)));

protected:
    // text is the message as its format makes it, which may end in a
    // newline of its own (the statistics header does).
    virtual void WriteLine(int level, const char* function, int line, const char* text) = 0;
};

// Forwards every line the level lets through to a function of the host's.
// The function is called from whichever thread writes the line.
class HOST_EXPORT CFunctionLogWriter : public CFormattedLogWriter {
public:
    typedef std::function<void(int level, const char* function, int line, const char* text)> Sink;
    CFunctionLogWriter(int level, Sink sink);
    int GetLogLevel() override;

protected:
    void WriteLine(int level, const char* function, int line, const char* text) override;

private:
    int m_level;
    Sink m_sink;
};

// Writes one line per message on standard error: level, function, line and
// the formatted text. Lines from several threads never interleave.
class HOST_EXPORT CStderrLogWriter : public CFormattedLogWriter {
public:
    explicit CStderrLogWriter(int level);
    int GetLogLevel() override;

protected:
    void WriteLine(int level, const char* function, int line, const char* text) override;

private:
    int m_level;
};

#endif
