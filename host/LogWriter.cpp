#include "host/LogWriter.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <unistd.h>

boost::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

CLogWriterInterface::~CLogWriterInterface() = default;

CStderrLogWriter::CStderrLogWriter(int level) : m_level(level) {}

int CStderrLogWriter::GetLogLevel() { return m_level; }

void CStderrLogWriter::WriteLog(int level, const char* function, int line,
                                int /*reserved1*/, int /*reserved2*/,
                                const char* format, ...)
{
    const int savedErrno = errno;
    char text[8192];
    int used = snprintf(text, sizeof text, "[%d] %s:%d: ", level, function, line);
    if (used < 0)
        used = 0;
    if (static_cast<size_t>(used) < sizeof text) {
        va_list args;
        va_start(args, format);
        vsnprintf(text + used, sizeof text - used, format, args);
        va_end(args);
    }
    text[sizeof text - 2] = '\0';
    size_t length = 0;
    while (text[length] != '\0')
        ++length;
    // A format may end in its own newline (the statistics header does).
    if (length == 0 || text[length - 1] != '\n')
        text[length++] = '\n';
    // One write() per line keeps lines of concurrent threads whole.
    ssize_t ignored = write(STDERR_FILENO, text, length);
    (void)ignored;
    errno = savedErrno;
}
