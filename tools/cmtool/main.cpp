// cmtool: looks into, checks, repairs and drives one module's cache from the
// shell. The library reads no command line: everything here is built
// around it. Nothing throws out of main: a failure is a line on stderr and
// an exit status (Text.h).
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/cmtool/Cache.h"
#include "tools/cmtool/CommandLine.h"
#include "tools/cmtool/Text.h"

#ifndef CMTOOL_VERSION
#define CMTOOL_VERSION "unknown"
#endif

namespace {

using namespace cmtool;

int Run(int argc, char** argv)
{
    Options options;
    std::string error;
    if (!ParseCommandLine(argc, argv, options, error))
        return Usage(error);
    if (options.version) {
        printf("cmtool, built with the cache manager library %s\n", CMTOOL_VERSION);
        return kExitOk;
    }
    if (options.command.empty() || options.command == "help") {
        const std::string topic = options.args.empty() ? std::string() : options.args[0];
        if (const Command* command = topic.empty() ? nullptr : FindCommand(topic)) {
            PrintCommandHelp(*command);
            return kExitOk;
        }
        PrintHelp();
        return options.help || options.command == "help" ? kExitOk : kExitUsage;
    }
    const Command* command = FindCommand(options.command);
    if (command == nullptr)
        return Usage("unknown command [" + options.command + "]");
    if (options.help) {
        PrintCommandHelp(*command);
        return kExitOk;
    }
    if (!CheckCommandLine(options, *command, error))
        return Usage(error);

    InstallLogWriter(options);
    options.cacheDir = AbsolutePath(options.cacheDir);
    if (command->needsModule) {
        if (const int missing = CheckModule(options, command->Takes("--create")))
            return missing;
        TakeModuleSettings(options);
    }
    return command->run(options);
}

}  // namespace

int main(int argc, char** argv)
{
    int status = kExitFailed;
    try {
        status = Run(argc, argv);
    } catch (const std::exception& caught) {
        status = Fail(std::string("internal error: ") + caught.what());
    } catch (...) {
        status = Fail("internal error");
    }
    // What could not be written is a failure too (a closed pipe ends the
    // program by SIGPIPE unless that is ignored).
    if (fflush(stdout) != 0 || ferror(stdout)) {
        const int writeError = errno;
        fprintf(stderr, "cmtool: cannot write standard output: %s\n", strerror(writeError));
        return status == kExitOk ? kExitFailed : status;
    }
    return status;
}
