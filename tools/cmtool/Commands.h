// cmtool's commands, one function each, and what the demo borrows of them.
#ifndef TOOLS_CMTOOL_COMMANDS_H
#define TOOLS_CMTOOL_COMMANDS_H

#include <string>
#include <vector>

#include "cachemanager/CacheManager.h"
#include "tools/checker/IndexChecker.h"
#include "tools/cmtool/CommandLine.h"

namespace cmtool {

int RunStat(const Options& options);
int RunLs(const Options& options);
int RunCheck(const Options& options);
int RunRepair(const Options& options);
int RunAdd(const Options& options);  // add, update and unhide
int RunDelete(const Options& options);
int RunHide(const Options& options);
int RunModules(const Options& options);
int RunPrune(const Options& options);  // Prune.cpp
int RunClear(const Options& options);  // Prune.cpp
int RunDemo(const Options& options);  // Demo.cpp
int RunMaintain(const Options& options);  // Maintain.cpp

// stat's report, with the free space as provider sees it.
int PrintStat(const Options& options, CacheSize& provider);
// Entries that were there before and are not now, but for the entries of
// the item except: what an operation pruned, oldest first.
std::vector<cm::check::IndexEntry> Pruned(const std::vector<cm::check::IndexEntry>& before,
                                          const std::vector<cm::check::IndexEntry>& after,
                                          const std::string& except);

}  // namespace cmtool

#endif
