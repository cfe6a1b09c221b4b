// stat --ages: how old and how large a module's items are, from its index.
#ifndef TOOLS_CMTOOL_AGES_H
#define TOOLS_CMTOOL_AGES_H

#include <stdint.h>
#include <string>
#include <vector>

#include "tools/checker/IndexChecker.h"

namespace cmtool {

struct AgeReport {
    size_t items = 0;
    uint64_t oldestAge = 0;  // seconds
    std::string text;        // the oldest item's age, then both histograms
    std::string json;        // {"oldestAge", "ageHistogram", "sizeHistogram"}
    std::string svg;         // both histograms as horizontal bars
};

// From the time keys and filed sizes of the entries, against the clock now.
AgeReport ReadAges(const std::vector<cm::check::IndexEntry>& entries);
// False with error (path and reason) when the file cannot be written.
bool WriteSvg(const std::string& path, const AgeReport& report, std::string& error);

}  // namespace cmtool

#endif
