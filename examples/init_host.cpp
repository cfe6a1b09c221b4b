// A small host: initialises a cache manager on a directory (a new temporary
// one unless given), with the library's stderr log writer at level 4, files
// one item, and shows what the manager created on disk.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cachemanager/CacheManager.h"
#include "host/LogWriter.h"

int main(int argc, char** argv)
{
    std::string cacheDir;
    if (argc > 1) {
        cacheDir = argv[1];
    } else {
        char pattern[] = "/tmp/cachemanager-example.XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            perror("mkdtemp");
            return 1;
        }
        cacheDir = pattern;
    }
    g_ptrLogWriter.reset(new CStderrLogWriter(4));

    CacheArgs args;
    args.cacheDir = cacheDir;
    args.moduleId = 7;
    args.bytesMinFree = 5;
    args.inodesMinFree = 5;
    args.pruneMethod = PRUNE_UNLINK;
    args.processModel = CM_LOCK_PROCESS_THREAD;

    CacheManager manager;
    if (!manager.InitCacheManager(args)) {
        fprintf(stderr, "initialisation failed\n");
        return 1;
    }
    const std::string item = cacheDir + "/items/first.bin";
    const std::string command = "mkdir -p '" + cacheDir + "/items' && head -c 4096 /dev/zero > '" + item + "'";
    if (system(command.c_str()) != 0 || !manager.UpdateItem(item, 4096, 0)) {
        fprintf(stderr, "could not add %s\n", item.c_str());
        return 1;
    }
    manager.PrintStats();

    printf("\nWhat the manager keeps under %s:\n", cacheDir.c_str());
    fflush(stdout);
    const std::string list = "cd '" + cacheDir + "' && find . -mindepth 1 | sort | while read p; do "
                             "if [ -L \"$p\" ]; then echo \"$p -> $(readlink \"$p\")\"; else echo \"$p\"; fi; done";
    return system(list.c_str()) == 0 ? 0 : 1;
}
