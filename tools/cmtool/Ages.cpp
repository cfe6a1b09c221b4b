// stat --ages: how old the items of a module are, from the time keys of its
// entries, and how large they were filed; as text, as JSON, or as an SVG
// picture of the two histograms.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "tools/cmtool/Ages.h"
#include "tools/cmtool/Text.h"

namespace cmtool {

namespace check = cm::check;

namespace {

struct Bucket {
    std::string label;
    uint64_t from;  // inclusive
    uint64_t to;    // exclusive; 0 for no upper end
    uint64_t items = 0;
    uint64_t bytes = 0;
};

std::vector<Bucket> AgeBuckets()
{
    const uint64_t minute = 60, hour = 3600, day = 86400;
    return {{"< 1m", 0, minute},          {"1m - 1h", minute, hour},      {"1h - 1d", hour, day},
            {"1d - 1w", day, 7 * day},     {"1w - 30d", 7 * day, 30 * day}, {"30d - 1y", 30 * day, 365 * day},
            {">= 1y", 365 * day, 0}};
}

// Powers of 4 from 1 KiB to 1 GiB.
std::vector<Bucket> SizeBuckets()
{
    std::vector<Bucket> buckets = {{"< " + Human(1024), 0, 1024}};
    for (uint64_t from = 1024; from < (1ull << 30); from *= 4)
        buckets.push_back({Human(from) + " - " + Human(from * 4), from, from * 4});
    buckets.push_back({">= " + Human(1ull << 30), 1ull << 30, 0});
    return buckets;
}

void Count(std::vector<Bucket>& buckets, uint64_t value, uint64_t bytes)
{
    for (Bucket& bucket : buckets) {
        if (value >= bucket.from && (bucket.to == 0 || value < bucket.to)) {
            ++bucket.items;
            bucket.bytes += bytes;
            return;
        }
    }
}

// The buckets from the first to the last that holds something.
std::vector<Bucket> Trimmed(const std::vector<Bucket>& buckets)
{
    auto first = std::find_if(buckets.begin(), buckets.end(), [](const Bucket& b) { return b.items != 0; });
    auto last = std::find_if(buckets.rbegin(), buckets.rend(), [](const Bucket& b) { return b.items != 0; });
    if (first == buckets.end())
        return {};
    return std::vector<Bucket>(first, last.base());
}

std::string HistogramText(const char* title, const std::vector<Bucket>& buckets)
{
    uint64_t most = 1;
    for (const Bucket& bucket : buckets)
        most = std::max(most, bucket.items);
    std::string text = std::string(title) + ":\n";
    for (const Bucket& bucket : buckets) {
        char line[256];
        snprintf(line, sizeof line, "  %-21s %8llu %10s  %s\n", bucket.label.c_str(),
                 static_cast<unsigned long long>(bucket.items), Human(bucket.bytes).c_str(),
                 std::string(static_cast<size_t>(bucket.items * 40 / most), '#').c_str());
        text += line;
    }
    return text;
}

std::string HistogramJson(const std::vector<Bucket>& buckets)
{
    std::vector<std::string> values;
    for (const Bucket& bucket : buckets)
        values.push_back(JsonObject()
                             .Num("from", bucket.from)
                             .Raw("to", bucket.to == 0 ? "null" : std::to_string(bucket.to))
                             .Num("items", bucket.items)
                             .Num("bytes", bucket.bytes)
                             .Text());
    return JsonArray(values);
}

std::string Escaped(const std::string& text)
{
    std::string out;
    for (const char c : text)
        out += c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '&' ? "&amp;" : std::string(1, c);
    return out;
}

// One histogram as horizontal bars, its top left corner at y.
std::string HistogramSvg(const char* title, const std::vector<Bucket>& buckets, int y)
{
    uint64_t most = 1;
    for (const Bucket& bucket : buckets)
        most = std::max(most, bucket.items);
    std::string svg = "<text x=\"10\" y=\"" + std::to_string(y + 16) + "\" font-weight=\"bold\">" + title + "</text>\n";
    for (size_t i = 0; i < buckets.size(); ++i) {
        const int row = y + 26 + static_cast<int>(i) * 22;
        const int width = static_cast<int>(buckets[i].items * 400 / most);
        svg += "<text x=\"10\" y=\"" + std::to_string(row + 15) + "\">" + Escaped(buckets[i].label) + "</text>\n";
        svg += "<rect x=\"180\" y=\"" + std::to_string(row + 2) + "\" width=\"" + std::to_string(width) +
               "\" height=\"16\" fill=\"#4a7ab5\"/>\n";
        svg += "<text x=\"" + std::to_string(186 + width) + "\" y=\"" + std::to_string(row + 15) + "\">" +
               std::to_string(buckets[i].items) + "</text>\n";
    }
    return svg;
}

}  // namespace

AgeReport ReadAges(const std::vector<check::IndexEntry>& entries)
{
    AgeReport report;
    const uint64_t now = static_cast<uint64_t>(time(nullptr));
    std::vector<Bucket> ages = AgeBuckets();
    std::vector<Bucket> sizes = SizeBuckets();
    for (const check::IndexEntry& entry : entries) {
        const uint64_t age = now - std::min(now, entry.timeKey >> 8);
        report.oldestAge = std::max(report.oldestAge, age);
        Count(ages, age, entry.storedSize);
        Count(sizes, entry.storedSize, entry.storedSize);
    }
    report.items = entries.size();
    const std::vector<Bucket> shownAges = Trimmed(ages);
    const std::vector<Bucket> shownSizes = Trimmed(sizes);
    report.text = "oldest item   " + (entries.empty() ? std::string("none") : AgeText(report.oldestAge) + " old") +
                  "\n" + HistogramText("item ages", shownAges) + HistogramText("item sizes (as filed)", shownSizes);
    report.json = JsonObject()
                      .Raw("oldestAge", entries.empty() ? "null" : std::to_string(report.oldestAge))
                      .Raw("ageHistogram", HistogramJson(shownAges))
                      .Raw("sizeHistogram", HistogramJson(shownSizes))
                      .Text();
    const int height = 80 + static_cast<int>(shownAges.size() + shownSizes.size()) * 22;
    report.svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"660\" height=\"" + std::to_string(height) +
                 "\" font-family=\"sans-serif\" font-size=\"13\">\n" +
                 HistogramSvg("Item ages", shownAges, 0) +
                 HistogramSvg("Item sizes (as filed)", shownSizes, 40 + static_cast<int>(shownAges.size()) * 22) +
                 "</svg>\n";
    return report;
}

bool WriteSvg(const std::string& path, const AgeReport& report, std::string& error)
{
    FILE* file = fopen(path.c_str(), "w");
    if (file == nullptr) {
        error = path + ": " + strerror(errno);
        return false;
    }
    const bool written = fputs(report.svg.c_str(), file) >= 0;
    const int writeError = errno;
    if (fclose(file) != 0 || !written) {
        error = path + ": " + strerror(written ? errno : writeError);
        return false;
    }
    return true;
}

}  // namespace cmtool
