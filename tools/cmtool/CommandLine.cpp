// The command line: one table of options, read into Options; the commands'
// help; the checks that make a mistake a usage error before anything runs.
#include "tools/cmtool/CommandLine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/cmtool/Text.h"

namespace cmtool {

namespace {

// A byte count for an option, or a usage message.
bool TakeBytes(const char* name, const std::string& value, bool& has, uint64_t& bytes, std::string& error)
{
    has = ParseBytes(value, bytes);
    if (!has)
        error = std::string(name) + " needs a byte count (digits, optionally K, M, G, T or KiB, MiB, GiB, TiB), " +
                "not [" + value + "]";
    return has;
}

bool TakeNumber(const char* name, const std::string& value, long low, long high, long& number, std::string& error)
{
    if (ParseInt(value, low, high, number))
        return true;
    error = std::string(name) + " needs a number from " + std::to_string(low) + " to " + std::to_string(high) +
            ", not [" + value + "]";
    return false;
}

struct Option {
    const char* name;
    const char* value;  // what follows it; nullptr for a flag
    bool global;        // every command takes it
    const char* help;   // for the list of global options
    bool (*take)(Options& options, const std::string& value, std::string& error);
};

const Option kOptions[] = {
    {"--cache-dir", "DIR", true, "the cache head: the index is DIR/CM/<module>",
     [](Options& o, const std::string& v, std::string& e) {
         o.cacheDir = v;
         o.hasCacheDir = !v.empty();
         if (!o.hasCacheDir)
             e = "--cache-dir needs a directory";
         return o.hasCacheDir;
     }},
    {"--module", "N", true, "the module number",
     [](Options& o, const std::string& v, std::string& e) {
         long n = 0;
         o.hasModule = TakeNumber("--module", v, 0, UINT32_MAX, n, e);
         o.module = static_cast<uint32_t>(n);
         return o.hasModule;
     }},
    {"--log-level", "L", true, "write the library's log lines up to level L on stderr\n"
                               "(-1 errors, 1 notices, 4 progress)",
     [](Options& o, const std::string& v, std::string& e) {
         long n = 0;
         o.hasLogLevel = TakeNumber("--log-level", v, -1, 100, n, e);
         o.logLevel = static_cast<int>(n);
         return o.hasLogLevel;
     }},
    {"--prune-mode", "item|set", true, "how the module is pruned (default item)",
     [](Options& o, const std::string& v, std::string& e) {
         if (v != "item" && v != "set") {
             e = "--prune-mode is item or set, not [" + v + "]";
             return false;
         }
         o.pruneMode = v == "item" ? CM_PRUNE_ITEM : CM_PRUNE_SET;
         return o.hasPruneMode = true;
     }},
    {"--bytes-min-free", "P", true, "percent of the file system's bytes to keep free (default 0)",
     [](Options& o, const std::string& v, std::string& e) {
         long n = 0;
         o.hasBytesMinFree = TakeNumber("--bytes-min-free", v, 0, 100, n, e);
         o.bytesMinFree = static_cast<int>(n);
         return o.hasBytesMinFree;
     }},
    {"--inodes-min-free", "P", true, "percent of its inodes to keep free (default 0)",
     [](Options& o, const std::string& v, std::string& e) {
         long n = 0;
         o.hasInodesMinFree = TakeNumber("--inodes-min-free", v, 0, 100, n, e);
         o.inodesMinFree = static_cast<int>(n);
         return o.hasInodesMinFree;
     }},
    {"--items", "DIR", true, "where check and repair look for records (repeatable)",
     [](Options& o, const std::string& v, std::string&) {
         o.itemDirs.push_back(v);
         return true;
     }},
    {"--help", nullptr, true, "this text, or a command's own with a command",
     [](Options& o, const std::string&, std::string&) { return o.help = true; }},
    {"-h", nullptr, true, nullptr, [](Options& o, const std::string&, std::string&) { return o.help = true; }},
    {"--version", nullptr, true, "the library's version",
     [](Options& o, const std::string&, std::string&) { return o.version = true; }},
    {"--size", "N", false, nullptr,
     [](Options& o, const std::string& v, std::string& e) { return TakeBytes("--size", v, o.hasSize, o.size, e); }},
    {"--bytes", "N", false, nullptr,
     [](Options& o, const std::string& v, std::string& e) { return TakeBytes("--bytes", v, o.hasBytes, o.bytes, e); }},
    {"--method", "M", false, nullptr,
     [](Options& o, const std::string& v, std::string& e) {
         o.hasMethod = ParseMethod(v, o.method);
         if (!o.hasMethod)
             e = "--method is truncate, unlink or unlink-recurse, not [" + v + "]";
         return o.hasMethod;
     }},
    {"--examples", "N", false, nullptr,
     [](Options& o, const std::string& v, std::string& e) {
         long n = 0;
         const bool ok = TakeNumber("--examples", v, 0, 1000000, n, e);
         o.examples = static_cast<size_t>(n);
         return ok;
     }},
    {"--to-size", "SIZE", false, nullptr,
     [](Options& o, const std::string& v, std::string& e) {
         return TakeBytes("--to-size", v, o.hasToSize, o.toSize, e);
     }},
    {"--older-than", "AGE", false, nullptr,
     [](Options& o, const std::string& v, std::string& e) {
         o.hasOlderThan = ParseAge(v, o.olderThan);
         if (!o.hasOlderThan)
             e = "--older-than needs an age (digits with s, m, h, d or w, e.g. 7d or 12h), not [" + v + "]";
         return o.hasOlderThan;
     }},
    {"--svg", "FILE", false, nullptr,
     [](Options& o, const std::string& v, std::string& e) {
         o.svg = v;
         o.ages = true;
         if (v.empty())
             e = "--svg needs a file name";
         return !v.empty();
     }},
    {"--json", nullptr, false, nullptr, [](Options& o, const std::string&, std::string&) { return o.json = true; }},
    {"--zero", nullptr, false, nullptr, [](Options& o, const std::string&, std::string&) { return o.zero = true; }},
    {"--once", nullptr, false, nullptr, [](Options& o, const std::string&, std::string&) { return o.once = true; }},
    {"--low", "PCT", false, nullptr,
     [](Options& o, const std::string& v, std::string& e) { return TakeNumber("--low", v, 0, 100, o.lowPercent, e); }},
    {"--high", "PCT", false, nullptr,
     [](Options& o, const std::string& v, std::string& e) { return TakeNumber("--high", v, 0, 100, o.highPercent, e); }},
    {"--interval", "SECONDS", false, nullptr,
     [](Options& o, const std::string& v, std::string& e) {
         char* end = nullptr;
         o.interval = strtod(v.c_str(), &end);
         const bool ok = !v.empty() && end != nullptr && *end == '\0' && o.interval > 0 && o.interval <= 86400;
         if (!ok)
             e = "--interval needs seconds above 0 and up to 86400 (e.g. 0.5), not [" + v + "]";
         return ok;
     }},
    {"--slice-items", "N", false, nullptr,
     [](Options& o, const std::string& v, std::string& e) {
         return TakeNumber("--slice-items", v, 1, 1000000, o.sliceItems, e);
     }},
    {"--slice-ms", "MS", false, nullptr,
     [](Options& o, const std::string& v, std::string& e) {
         return TakeNumber("--slice-ms", v, 1, 60000, o.sliceMs, e);
     }},
    {"--ages", nullptr, false, nullptr, [](Options& o, const std::string&, std::string&) { return o.ages = true; }},
    {"--raw", nullptr, false, nullptr, [](Options& o, const std::string&, std::string&) { return o.raw = true; }},
    {"--lock", nullptr, false, nullptr, [](Options& o, const std::string&, std::string&) { return o.lock = true; }},
    {"--verbose", nullptr, false, nullptr,
     [](Options& o, const std::string&, std::string&) { return o.verbose = true; }},
    {"--quiet", nullptr, false, nullptr, [](Options& o, const std::string&, std::string&) { return o.quiet = true; }},
    {"--yes", nullptr, false, nullptr, [](Options& o, const std::string&, std::string&) { return o.yes = true; }},
    {"--dry-run", nullptr, false, nullptr,
     [](Options& o, const std::string&, std::string&) { return o.dryRun = true; }},
    {"--keep", nullptr, false, nullptr, [](Options& o, const std::string&, std::string&) { return o.keep = true; }},
    {"--force", nullptr, false, nullptr, [](Options& o, const std::string&, std::string&) { return o.force = true; }},
    {"--create", nullptr, false, nullptr,
     [](Options& o, const std::string&, std::string&) { return o.create = true; }},
};

const Option* FindOption(const std::string& name)
{
    for (const Option& option : kOptions)
        if (name == option.name)
            return &option;
    return nullptr;
}

const char kExitHelp[] =
    "Exit status: 0 done (for check: clean); 1 the operation failed or was\n"
    "refused, or check found faults; 2 a usage error; 3 no such module or cache\n"
    "directory.\n";

void PrintGlobalHelp()
{
    printf("\nGlobal options (before or after the command):\n");
    for (const Option& option : kOptions) {
        if (!option.global || option.help == nullptr)
            continue;
        const std::string name = std::string(option.name == std::string("--help") ? "-h, " : "") + option.name +
                                 (option.value != nullptr ? std::string(" ") + option.value : "");
        std::string help = option.help;
        for (size_t newline = help.find('\n'); newline != std::string::npos; newline = help.find('\n', newline + 1))
            help.insert(newline + 1, std::string(27, ' '));
        printf("  %-24s %s\n", name.c_str(), help.c_str());
    }
    printf("\n%s", kExitHelp);
}

}  // namespace

bool Command::Takes(const std::string& option) const
{
    return std::find(options.begin(), options.end(), option) != options.end();
}

const Command* FindCommand(const std::string& name)
{
    for (const Command& command : Commands())
        if (name == command.name)
            return &command;
    return nullptr;
}

bool ParseCommandLine(int argc, char** argv, Options& options, std::string& error)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.size() < 2 || arg[0] != '-' || arg == "--") {
            if (options.command.empty())
                options.command = arg;
            else
                options.args.push_back(arg);
            continue;
        }
        std::string value;
        const size_t equals = arg.find('=');
        bool hasValue = equals != std::string::npos;
        if (hasValue) {
            value = arg.substr(equals + 1);
            arg.erase(equals);
        }
        const Option* option = FindOption(arg);
        if (option == nullptr) {
            error = "unknown option " + arg;
            return false;
        }
        if (option->value != nullptr && !hasValue) {
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            value = argv[++i];
        } else if (option->value == nullptr && hasValue) {
            error = arg + " takes no value";
            return false;
        }
        if (!option->take(options, value, error))
            return false;
        if (!option->global)
            options.given.push_back(arg);
    }
    return true;
}

bool CheckCommandLine(const Options& options, const Command& command, std::string& error)
{
    for (const std::string& given : options.given) {
        if (!command.Takes(given)) {
            error = options.command + " takes no " + given;
            return false;
        }
    }
    if (static_cast<int>(options.args.size()) != command.arguments) {
        error = options.command + (command.arguments == 0 ? " takes no arguments" : " takes one item path");
        return false;
    }
    if (command.needsModule && (!options.hasCacheDir || !options.hasModule)) {
        error = options.command + " needs --cache-dir DIR and --module N";
        return false;
    }
    if (command.needsCacheDir && !options.hasCacheDir) {
        error = options.command + " needs --cache-dir DIR";
        return false;
    }
    return true;
}

void PrintHelp()
{
    printf("usage: cmtool --cache-dir DIR --module N [options] <command> [arguments]\n\n"
           "Looks into, checks, repairs and drives the cache of one module.\n\nCommands:\n");
    // Each command's synopsis, and its summary indented below it: the
    // synopses are too long to stand side by side with the summaries.
    for (const Command& command : Commands())
        printf("  %s\n      %s\n", command.synopsis, command.summary);
    PrintGlobalHelp();
}

void PrintCommandHelp(const Command& command)
{
    printf("usage: cmtool%s %s\n\n%s.\n\n%s",
           command.needsModule ? " --cache-dir DIR --module N" : command.needsCacheDir ? " --cache-dir DIR" : "",
           command.synopsis, command.summary, command.details);
    PrintGlobalHelp();
}

}  // namespace cmtool
