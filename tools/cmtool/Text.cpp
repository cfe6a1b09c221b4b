// Numbers, times, names and messages as cmtool writes and reads them.
#include "tools/cmtool/Text.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>

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
    if (localtime_r(&seconds, &local) == nullptr || strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0)
        snprintf(text, sizeof text, "@%llu", static_cast<unsigned long long>(seconds));
    char tail[16];
    snprintf(tail, sizeof tail, step < 10 ? ".%u" : "+%u", step);
    return std::string(text) + tail;
}

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

}  // namespace cmtool
