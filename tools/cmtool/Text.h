// How cmtool writes numbers, times, names and messages, and reads them back
// from the command line.
#ifndef TOOLS_CMTOOL_TEXT_H
#define TOOLS_CMTOOL_TEXT_H

#include <stdint.h>
#include <string>

#include "cachemanager/CacheManager.h"

namespace cmtool {

const int kExitOk = 0;
const int kExitFailed = 1;    // an operation failed or was refused, or check found faults
const int kExitUsage = 2;     // a bad command line
const int kExitNoModule = 3;  // no such module, or no cache directory

// One line "cmtool: message" on standard error, after what standard output
// holds; returns status.
int Fail(const std::string& message, int status = kExitFailed);
// As Fail, pointing at --help; returns kExitUsage.
int Usage(const std::string& message);

// "512 B", "1.5 KiB", "20 MiB".
std::string Human(uint64_t bytes);
const char* MethodName(int32_t method);
bool ParseMethod(const std::string& text, PruneMethod& method);
// Digits with an optional unit: K, M, G, T or KiB, MiB, GiB, TiB (powers of
// 1024).
bool ParseBytes(const std::string& text, uint64_t& bytes);
bool ParseInt(const std::string& text, long low, long high, long& value);
// A time key as local time with its zone, to the tenth of a second.
std::string KeyTime(uint64_t key);
// A JSON string; see JsonString in Text.cpp for bytes that are not UTF-8.
std::string JsonString(const std::string& text);

}  // namespace cmtool

#endif
