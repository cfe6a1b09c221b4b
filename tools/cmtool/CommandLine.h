// cmtool's command line: what was asked for, the one table of options, the
// commands' help and the checks that turn a mistake into a usage error.
#ifndef TOOLS_CMTOOL_COMMANDLINE_H
#define TOOLS_CMTOOL_COMMANDLINE_H

#include <stddef.h>
#include <stdint.h>
#include <string>
#include <vector>

#include "cachemanager/CacheManager.h"
#include "cachemanager/timetable/Layout.h"

namespace cmtool {

struct Options {
    std::string cacheDir;  // made absolute before a command runs
    bool hasCacheDir = false;
    uint32_t module = 0;
    bool hasModule = false;
    bool hasLogLevel = false;
    int logLevel = 0;
    int pruneMode = CM_PRUNE_ITEM;
    int bytesMinFree = 0;
    int inodesMinFree = 0;
    bool hasPruneMode = false, hasBytesMinFree = false, hasInodesMinFree = false;
    // What the module's hosts published of their settings, where they did:
    // the defaults of the options above and of the prune method of items
    // filed here.
    bool published = false;
    cm::layout::ModuleSettings settings;
    bool zero = false;
    // maintain
    bool once = false;
    long lowPercent = 2;      // start pruning below the reserves plus this share
    long highPercent = 5;     // ...and stop above the reserves plus this one
    double interval = 1.0;    // seconds between looks at the free space
    long sliceItems = 4;
    long sliceMs = 1;
    std::vector<std::string> itemDirs;

    std::string command;
    std::vector<std::string> args;
    bool help = false;
    bool version = false;
    std::vector<std::string> given;  // the command options given, for checking

    bool json = false;
    bool raw = false;
    bool lock = false;
    bool verbose = false;
    bool quiet = false;
    bool yes = false;
    bool ages = false;
    std::string svg;  // with ages: the histograms as a picture
    bool hasToSize = false;
    uint64_t toSize = 0;
    bool hasOlderThan = false;
    uint64_t olderThan = 0;  // seconds
    bool dryRun = false;
    bool keep = false;
    bool force = false;
    bool create = false;
    bool hasSize = false;
    uint64_t size = 0;
    bool hasMethod = false;
    PruneMethod method = PRUNE_TRUNCATE;
    bool hasBytes = false;
    uint64_t bytes = 0;
    size_t examples = 5;

    std::string ModuleRoot() const { return cm::layout::ModuleRoot(cacheDir, module); }
};

struct Command {
    const char* name;
    const char* synopsis;
    const char* summary;
    const char* details;
    std::vector<std::string> options;  // command options it takes
    int arguments;                     // positional arguments
    bool needsModule;  // --cache-dir and --module; otherwise --cache-dir when needsCacheDir
    bool needsCacheDir;
    int (*run)(const Options&);

    bool Takes(const std::string& option) const;
};

// Every command, in the order --help lists them (Commands.cpp).
const std::vector<Command>& Commands();
const Command* FindCommand(const std::string& name);

// False with error (a usage message) for an unknown option, a missing or
// bad value.
bool ParseCommandLine(int argc, char** argv, Options& options, std::string& error);
// False with error when options do not suit the command.
bool CheckCommandLine(const Options& options, const Command& command, std::string& error);

void PrintHelp();
void PrintCommandHelp(const Command& command);

}  // namespace cmtool

#endif
