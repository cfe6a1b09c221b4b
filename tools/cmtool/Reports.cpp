// Reports as text and as JSON.
#include "tools/cmtool/Reports.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/cmtool/Text.h"

namespace cmtool {

namespace check = cm::check;

FreeSpace ReadFreeSpace(CacheSize& provider, const Options& options)
{
    FreeSpace space;
    space.bytesKnown = provider.GetCacheTotalSpace(space.totalBytes) && provider.GetCacheFreeSpace(space.freeBytes);
    if (!space.bytesKnown)
        space.why = strerror(errno);
    space.inodesKnown =
        provider.GetCacheTotalInodes(space.totalInodes) && provider.GetCacheFreeInodes(space.freeInodes);
    if (!space.inodesKnown)
        space.why = strerror(errno);
    space.byteReserve = space.totalBytes / 100 * static_cast<uint64_t>(options.bytesMinFree);
    space.inodeReserve = space.totalInodes / 100 * static_cast<uint64_t>(options.inodesMinFree);
    return space;
}

std::string FreeSpaceText(const FreeSpace& space, const Options& options)
{
    char line[512];
    std::string text;
    if (space.bytesKnown)
        snprintf(line, sizeof line, "%-13s %s free of %s; reserve %d%% = %s: %s\n", "free bytes",
                 Human(space.freeBytes).c_str(), Human(space.totalBytes).c_str(), options.bytesMinFree,
                 Human(space.byteReserve).c_str(),
                 space.freeBytes > space.byteReserve ? "above it" : "AT OR BELOW IT (the next update prunes)");
    else
        snprintf(line, sizeof line, "%-13s unknown: %s\n", "free bytes", space.why.c_str());
    text += line;
    if (space.inodesKnown)
        snprintf(line, sizeof line, "%-13s %llu free of %llu; reserve %d%% = %llu: %s\n", "free inodes",
                 static_cast<unsigned long long>(space.freeInodes), static_cast<unsigned long long>(space.totalInodes),
                 options.inodesMinFree, static_cast<unsigned long long>(space.inodeReserve),
                 space.freeInodes > space.inodeReserve ? "above it" : "AT OR BELOW IT");
    else
        snprintf(line, sizeof line, "%-13s unknown: %s\n", "free inodes", space.why.c_str());
    return text + line;
}

std::string FreeSpaceJson(const FreeSpace& space)
{
    JsonObject json;
    if (space.bytesKnown)
        json.Num("freeBytes", space.freeBytes)
            .Num("totalBytes", space.totalBytes)
            .Num("byteReserve", space.byteReserve);
    if (space.inodesKnown)
        json.Num("freeInodes", space.freeInodes)
            .Num("totalInodes", space.totalInodes)
            .Num("inodeReserve", space.inodeReserve);
    return json.Text();
}

std::string StatisticsText(const cm::layout::ModuleStatistics& statistics)
{
    typedef cm::layout::ModuleStatistics S;
    const uint64_t* v = statistics.values;
    std::string text = std::to_string(v[S::PRUNED_ITEMS]) + " items, " + Human(v[S::PRUNED_BYTES]) + " pruned";
    const char* const reasons[] = {"reserve", "inodes", "cap", "age", "delete", "maintainer"};
    std::string by;
    for (int reason = 0; reason < cm::layout::kReasons; ++reason)
        if (v[S::RESERVE_ITEMS + 2 * reason] != 0)
            by += std::string(by.empty() ? "" : ", ") + reasons[reason] + " " +
                  std::to_string(v[S::RESERVE_ITEMS + 2 * reason]);
    if (!by.empty())
        text += " (" + by + ")";
    text += "; " + std::to_string(v[S::REFUSED]) + " requests refused";
    if (v[S::LAST_PRUNE_TIME] != 0)
        text += "; last prune " + KeyTime(v[S::LAST_PRUNE_TIME] << 8) + ", of an item cached " +
                AgeText(v[S::LAST_PRUNED_AGE_SECONDS]);
    return text;
}

std::string EntryJson(const check::IndexEntry& entry)
{
    return JsonObject()
        .Str("time", KeyTime(entry.timeKey))
        .Num("key", entry.timeKey)
        .Num("size", entry.storedSize)
        .Str("method", MethodName(entry.method))
        .Str("item", entry.item)
        .Str("entry", entry.path)
        .Text();
}

void PrintEntries(const std::vector<check::IndexEntry>& entries, const Options& options)
{
    if (options.json) {
        std::vector<std::string> values;
        for (const check::IndexEntry& entry : entries)
            values.push_back(EntryJson(entry));
        printf("%s\n", JsonArray(values, true).c_str());
        return;
    }
    printf("%-29s %10s  %-14s  %s\n", "TIME", "SIZE", "METHOD", "ITEM");
    uint64_t total = 0;
    for (const check::IndexEntry& entry : entries) {
        const std::string size = options.raw ? std::to_string(entry.storedSize) : Human(entry.storedSize);
        printf("%-29s %10s  %-14s  %s\n", KeyTime(entry.timeKey).c_str(), size.c_str(), MethodName(entry.method),
               entry.item.c_str());
        total += entry.storedSize;
    }
    printf("%zu %s, %llu bytes (%s) as last filed, oldest first\n", entries.size(),
           entries.size() == 1 ? "item" : "items", static_cast<unsigned long long>(total), Human(total).c_str());
}

void PrintPruned(const std::vector<check::IndexEntry>& pruned)
{
    for (const check::IndexEntry& entry : pruned)
        printf("  pruned %-29s %10s  %-14s  %s\n", KeyTime(entry.timeKey).c_str(), Human(entry.storedSize).c_str(),
               MethodName(entry.method), entry.item.c_str());
}

std::string CheckJson(const check::CheckReport& report, bool locked)
{
    std::vector<std::string> findings;
    for (int kind = 0; kind < check::kFindingKinds; ++kind) {
        const check::FindingList& list = report.findings[kind];
        if (list.count == 0)
            continue;
        std::vector<std::string> examples;
        for (const check::Finding& finding : list.examples)
            examples.push_back(JsonObject().Str("path", finding.path).Str("detail", finding.detail).Text());
        findings.push_back(JsonObject()
                               .Str("kind", check::FindingTag(static_cast<check::FindingKind>(kind)))
                               .Bool("fault", check::IsFault(static_cast<check::FindingKind>(kind)))
                               .Num("count", list.count)
                               .Raw("examples", JsonArray(examples))
                               .Text());
    }
    JsonObject json;
    json.Bool("clean", report.Clean()).Bool("locked", locked);
    json.Num("faults", report.Total()).Num("notes", report.Notes());
    json.Num("entries", report.entries.size()).Num("itemBytes", report.itemBytes);
    if (report.sizeLinkPresent)
        json.Num("sizeTotal", report.storedSize);
    return json.Raw("findings", JsonArray(findings, true)).Text();
}

std::string RepairJson(const check::RepairReport& report, bool dryRun)
{
    const auto strings = [](const std::vector<std::string>& texts) {
        std::vector<std::string> values;
        for (const std::string& text : texts)
            values.push_back(JsonString(text));
        return JsonArray(values, true);
    };
    return JsonObject()
        .Bool("dryRun", dryRun)
        .Raw("actions", strings(report.actions))
        .Raw("failures", strings(report.failures))
        .Raw("leftAlone", strings(report.leftAlone))
        .Raw("after", CheckJson(report.after, true))
        .Text();
}

}  // namespace cmtool
