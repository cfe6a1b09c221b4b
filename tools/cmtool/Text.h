// How cmtool writes numbers, times, names and messages, and reads them back
// from the command line.
#ifndef TOOLS_CMTOOL_TEXT_H
#define TOOLS_CMTOOL_TEXT_H

#include <stdint.h>
#include <string>
#include <vector>

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
// Digits with a unit: s, m, h, d or w; in seconds.
bool ParseAge(const std::string& text, uint64_t& seconds);
// "45s", "12m", "5h 3m", "3d 4h".
std::string AgeText(uint64_t seconds);
bool ParseInt(const std::string& text, long low, long high, long& value);
// A time key as local time with its zone, to the tenth of a second.
std::string KeyTime(uint64_t key);
// A JSON string; see JsonString in Text.cpp for bytes that are not UTF-8.
std::string JsonString(const std::string& text);

// A JSON object, one member at a time: {"name": value, ...} on one line.
class JsonObject {
public:
    JsonObject& Str(const char* name, const std::string& value) { return Raw(name, JsonString(value)); }
    JsonObject& Num(const char* name, uint64_t value) { return Raw(name, std::to_string(value)); }
    JsonObject& Bool(const char* name, bool value) { return Raw(name, value ? "true" : "false"); }
    JsonObject& Raw(const char* name, const std::string& json);  // a value that is JSON already
    std::string Text() const { return "{" + m_members + "}"; }

private:
    std::string m_members;
};

// [a, b, ...] from values that are JSON already; one per line when long.
std::string JsonArray(const std::vector<std::string>& values, bool linePerValue = false);

// Progress on standard error when it is a terminal (never on a pipe):
// "[=====     ] done/total pct% rate unit/s", or a count of the names read
// while the total is unknown. Cleared when done reaches total, and when
// destroyed.
class ProgressBar {
public:
    ProgressBar(bool wanted, const char* unit);
    ~ProgressBar() { Clear(); }
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void Show(uint64_t done, uint64_t total);
    void Count(uint64_t done);
    void Clear();

private:
    bool m_shown;
    bool m_drawn = false;
    const char* m_unit;
    double m_started;
};

}  // namespace cmtool

#endif
