// A dozen-line host on the installed library: files one item in a cache
// under the directory given, then takes it out again.
#include <cstdio>
#include <fstream>
#include <string>

#include "cachemanager/CacheManager.h"
#include "host/LogWriter.h"

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    g_ptrLogWriter.reset(new CStderrLogWriter(-1));
    CacheArgs args;
    args.cacheDir = argv[1];
    args.moduleId = 7;
    args.pruneMethod = PRUNE_UNLINK;
    args.processModel = CM_LOCK_PROCESS_THREAD;
    static CacheManager cache;
    const std::string item = args.cacheDir + "/item.bin";
    std::ofstream(item) << "twelve bytes";
    const bool ok = cache.InitCacheManager(args) && cache.UpdateItem(item, 12, 0) && cache.DeleteFromCache(item);
    printf("consumer: %s\n", ok ? "ok" : "failed");
    return ok ? 0 : 1;
}
