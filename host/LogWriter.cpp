#include "host/LogWriter.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <algorithm>
#include <unistd.h>
#include <utility>

boost::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

CLogWriterInterface::~CLogWriterInterface() = default;

void CFormattedLogWriter::WriteLog(int level, const char* function, int line,
                                   int /*reserved1*/, int /*reserved2*/,
                                   const char* format, ...)
{
    const int savedErrno = errno;
    char text[8192];
    va_list args;
    va_start(args, format);
    if (vsnprintf(text, sizeof text, format, args) < 0)
        text[0] = '\0';
    va_end(args);
    WriteLine(level, function, line, text);
    errno = savedErrno;
}

CFunctionLogWriter::CFunctionLogWriter(int level, Sink sink) : m_level(level), m_sink(std::move(sink)) {}

int CFunctionLogWriter::GetLogLevel() { return m_level; }

void CFunctionLogWriter::WriteLine(int level, const char* function, int line, const char* text)
{
    if (m_sink)
        m_sink(level, function, line, text);
}

CStderrLogWriter::CStderrLogWriter(int level) : m_level(level) {}

int CStderrLogWriter::GetLogLevel() { return m_level; }

void CStderrLogWriter::WriteLine(int level, const char* function, int line, const char* message)
{
    char text[8192 + 512];
    int used = snprintf(text, sizeof text - 1, "[%d] %s:%d: %s", level, function, line, message);
    if (used < 0)
        used = 0;
    size_t length = std::min(static_cast<size_t>(used), sizeof text - 2);
    // A format may end in its own newline (the statistics header does).
    if (length == 0 || text[length - 1] != '\n')
        text[length++] = '\n';
    // One write() per line keeps lines of concurrent threads whole.
    ssize_t ignored = write(STDERR_FILENO, text, length);
    (void)ignored;
}
