// The host's directory utilities, as far as the library uses them.
#ifndef HOST_LUMDIRECTORY_H
#define HOST_LUMDIRECTORY_H

#include <stdint.h>
#include <string>

#include "host/LogWriter.h"

// A result code: 0 for success; for a failure a negative code (sign bit set)
// whose low 16 bits are the errno number.
class HOST_EXPORT CLumError {
public:
    explicit CLumError(int32_t code = 0) : m_code(code) {}
    static CLumError FromErrno(int errnoValue)
    {
        return CLumError(static_cast<int32_t>(0x80000000u | (static_cast<uint32_t>(errnoValue) & 0xFFFFu)));
    }

    bool IsError() const { return m_code < 0; }
    int32_t GetErrorCode() const { return m_code; }
    // The system's text for the error, "Success" when there is none.
    std::string AsString() const;

private:
    int32_t m_code;
};

class HOST_EXPORT CLumDirectory {
public:
    // Total and free bytes of the file system that holds path. Free counts
    // the blocks that an unprivileged process may still use (f_bavail).
    static CLumError GetSpaceUsage(const char* path, unsigned long long* total,
                                   unsigned long long* free);

    // Removes the directory path if it is empty. A directory that still holds
    // anything is never removed, whatever the flags say; they are accepted
    // for the callers' sake and have no effect.
    static CLumError Remove(const char* path, bool recursive, bool force);
};

#endif
