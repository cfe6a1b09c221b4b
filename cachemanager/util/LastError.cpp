// The calling thread's last error, kept by every error-level log line.
#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "cachemanager/CacheManager.h"
#include "cachemanager/util/Log.h"

namespace {

// Plain thread-local storage: nothing to construct, nothing that can fail.
struct LastError {
    int errnum;
    char text[4096];
};
thread_local LastError t_lastError;

}  // namespace

namespace cm {

void RecordError(const char* format, ...)
{
    ErrnoSaver saver;
    va_list args;
    va_start(args, format);
    if (vsnprintf(t_lastError.text, sizeof t_lastError.text, format, args) < 0)
        t_lastError.text[0] = '\0';
    va_end(args);
    t_lastError.errnum = saver.Saved();
}

}  // namespace cm

bool GetLastCacheError(std::string& text, int& errnum)
{
    text = t_lastError.text;
    errnum = t_lastError.errnum;
    return !text.empty();
}

void ClearLastCacheError()
{
    t_lastError.text[0] = '\0';
    t_lastError.errnum = 0;
}
