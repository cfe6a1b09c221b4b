// Numbers, times, names and messages as cmtool writes and reads them.
#include "tools/cmtool/Text.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <unistd.h>

namespace cmtool {

// Standard output first, so that in one pipe the lines keep their order.
int Fail(const std::string& message, int status)
{
    fflush(stdout);
    fprintf(stderr, "cmtool: %s\n", message.c_str());
    return status;
}

int Usage(const std::string& message)
{
    fflush(stdout);
    fprintf(stderr, "cmtool: %s (see cmtool --help)\n", message.c_str());
    return kExitUsage;
}

std::string Human(uint64_t bytes)
{
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024)
        return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes) / 1024;
    size_t unit = 0;
    while (value >= 1024 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    snprintf(text, sizeof text, value < 10 ? "%.1f %s" : "%.0f %s", value, kUnits[unit]);
    return text;
}

const char* MethodName(int32_t method)
{
    switch (method) {
    case PRUNE_TRUNCATE:
        return "truncate";
    case PRUNE_UNLINK:
        return "unlink";
    case PRUNE_UNLINK_RECURSE:
        return "unlink-recurse";
    default:
        return "none";
    }
}

bool ParseMethod(const std::string& text, PruneMethod& method)
{
    static const std::map<std::string, PruneMethod> kNames = {
        {"truncate", PRUNE_TRUNCATE}, {"0", PRUNE_TRUNCATE},
        {"unlink", PRUNE_UNLINK}, {"1", PRUNE_UNLINK},
        {"unlink-recurse", PRUNE_UNLINK_RECURSE}, {"unlink_recurse", PRUNE_UNLINK_RECURSE},
        {"recurse", PRUNE_UNLINK_RECURSE}, {"2", PRUNE_UNLINK_RECURSE},
    };
    const auto found = kNames.find(text);
    if (found == kNames.end())
        return false;
    method = found->second;
    return true;
}

bool ParseBytes(const std::string& text, uint64_t& bytes)
{
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = strtoull(text.c_str(), &end, 10);
    if (errno != 0)
        return false;
    // K and KiB alike are powers of 1024, as everywhere in this tool's output.
    static const char kUnits[] = "KMGT";
    uint64_t unit = 1;
    const std::string suffix = end;
    if (!suffix.empty()) {
        const char* found = strchr(kUnits, toupper(static_cast<unsigned char>(suffix[0])));
        if (found == nullptr || (suffix.size() != 1 && suffix.substr(1) != "iB"))
            return false;
        unit = 1ull << (10 * (found - kUnits + 1));
    }
    if (value > UINT64_MAX / unit)
        return false;
    bytes = value * unit;
    return true;
}

bool ParseAge(const std::string& text, uint64_t& seconds)
{
    static const std::map<std::string, uint64_t> kUnits = {
        {"s", 1}, {"m", 60}, {"h", 3600}, {"d", 86400}, {"w", 7 * 86400}};
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = strtoull(text.c_str(), &end, 10);
    const auto unit = kUnits.find(end);
    if (errno != 0 || unit == kUnits.end() || value > UINT64_MAX / unit->second)
        return false;
    seconds = value * unit->second;
    return true;
}

std::string AgeText(uint64_t seconds)
{
    if (seconds < 60)
        return std::to_string(seconds) + "s";
    if (seconds < 3600)
        return std::to_string(seconds / 60) + "m";
    if (seconds < 86400)
        return std::to_string(seconds / 3600) + "h " + std::to_string(seconds % 3600 / 60) + "m";
    return std::to_string(seconds / 86400) + "d " + std::to_string(seconds % 86400 / 3600) + "h";
}

bool ParseInt(const std::string& text, long low, long high, long& value)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    value = strtol(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0' && value >= low && value <= high;
}

// A time key as local time: seconds, then the tenth of a second (or "+n" for
// a caller's key whose low byte is no tenth).
std::string KeyTime(uint64_t key)
{
    const time_t seconds = static_cast<time_t>(key >> 8);
    const unsigned step = static_cast<unsigned>(key & 0xFF);
    struct tm local;
    char text[64];
    char zone[16] = "";
    if (localtime_r(&seconds, &local) == nullptr || strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0)
        snprintf(text, sizeof text, "@%llu", static_cast<unsigned long long>(seconds));
    else
        strftime(zone, sizeof zone, " %z", &local);
    char tail[16];
    snprintf(tail, sizeof tail, step < 10 ? ".%u" : "+%u", step);
    return std::string(text) + tail + zone;
}

namespace {

// The length of the well-formed UTF-8 sequence at text[at], or 0.
size_t Utf8Length(const std::string& text, size_t at)
{
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    size_t length = 0;
    uint32_t low = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        low = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = 0x10000;
    } else {
        return 0;
    }
    if (at + length > text.size())
        return 0;
    uint32_t code = lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        const unsigned char next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (next & 0x3F);
    }
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code < low || code > 0x10FFFF || surrogate ? 0 : length;
}

}  // namespace

// Valid UTF-8 passes as it is, with the escapes JSON needs. A file name may
// hold any bytes but '/' and NUL: a byte that is not part of well-formed
// UTF-8 is written as the escape \udcXX, XX its value in hex (the
// convention of Python's "surrogateescape", which reads it back to the
// same byte). A name with such escapes still names the same file.
std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (size_t at = 0; at < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        char escaped[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (const size_t length = Utf8Length(text, at)) {
            out += text.substr(at, length);
            at += length;
            continue;
        } else {
            snprintf(escaped, sizeof escaped, "\\udc%02x", c);
            out += escaped;
        }
        ++at;
    }
    return out + "\"";
}

namespace {

double Now()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

ProgressBar::ProgressBar(bool wanted, const char* unit)
    : m_shown(wanted && isatty(STDERR_FILENO)), m_unit(unit), m_started(Now())
{
}

void ProgressBar::Show(uint64_t done, uint64_t total)
{
    if (!m_shown || total == 0)
        return;
    if (done >= total) {
        Clear();
        return;
    }
    const int width = 30;
    const int filled = static_cast<int>(done * width / total);
    const double seconds = Now() - m_started;
    fprintf(stderr, "\r[%s%s] %llu/%llu %3llu%% %.0f %s/s\033[K", std::string(filled, '=').c_str(),
            std::string(width - filled, ' ').c_str(), static_cast<unsigned long long>(done),
            static_cast<unsigned long long>(total), static_cast<unsigned long long>(done * 100 / total),
            seconds > 0 ? static_cast<double>(done) / seconds : 0.0, m_unit);
    m_drawn = true;
}

void ProgressBar::Count(uint64_t done)
{
    if (!m_shown)
        return;
    fprintf(stderr, "\r%llu names read...\033[K", static_cast<unsigned long long>(done));
    m_drawn = true;
}

void ProgressBar::Clear()
{
    if (m_drawn)
        fprintf(stderr, "\r\033[K");
    m_drawn = false;
}

JsonObject& JsonObject::Raw(const char* name, const std::string& json)
{
    m_members += (m_members.empty() ? "" : ", ") + JsonString(name) + ": " + json;
    return *this;
}

std::string JsonArray(const std::vector<std::string>& values, bool linePerValue)
{
    std::string text = "[";
    for (size_t i = 0; i < values.size(); ++i)
        text += (i == 0 ? "" : ",") + std::string(linePerValue ? "\n  " : i == 0 ? "" : " ") + values[i];
    return text + (linePerValue && !values.empty() ? "\n]" : "]");
}

}  // namespace cmtool
