// The host's log writer, as the library calls it. A host installs its own
// writer with g_ptrLogWriter.reset(new ...); while the pointer is empty the
// library writes nothing and still works.
#ifndef HOST_LOGWRITER_H
#define HOST_LOGWRITER_H

#include <boost/shared_ptr.hpp>

#define HOST_EXPORT __attribute__((visibility("default")))

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

// Writes one line per message on standard error: level, function, line and
// the formatted text. Lines from several threads never interleave.
class HOST_EXPORT CStderrLogWriter : public CLogWriterInterface {
public:
    explicit CStderrLogWriter(int level);
    void WriteLog(int level, const char* function, int line,
                  int reserved1, int reserved2,
                  const char* format, ...) override
        __attribute__((format(printf, 7, 8)));
    int GetLogLevel() override;

private:
    int m_level;
};

#endif
