// One pthread_atfork registration that renews the lock of every registered
// manager in the child.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <vector>

#include "cachemanager/CacheManager.h"
#include "cachemanager/util/Log.h"

namespace {

// Never freed, like the managers: a fork during exit still finds it.
struct Registry {
    std::mutex mutex;
    std::vector<CacheManager*> managers;
};

Registry& TheRegistry()
{
    static Registry* registry = new Registry();
    return *registry;
}

// fork() holds the mutex from prepare on, so the child's copy of the list is
// whole and no other thread of the parent changes it meanwhile.
void Prepare() { TheRegistry().mutex.lock(); }

void Parent() { TheRegistry().mutex.unlock(); }

void Child()
{
    Registry& registry = TheRegistry();
    for (CacheManager* manager : registry.managers)
        manager->AtFork();
    registry.mutex.unlock();
}

// Made outside the registry's mutex: fork() runs Prepare while it holds the
// lock that pthread_atfork takes.
int RegisterOnce()
{
    static std::once_flag once;
    static int result = 0;
    std::call_once(once, [] { result = pthread_atfork(Prepare, Parent, Child); });
    return result;
}

}  // namespace

bool RegisterForkHandler(CacheManager& manager)
{
    const int result = RegisterOnce();
    if (result != 0) {
        errno = result;
        CM_ERROR("pthread_atfork() failed. [%s]", strerror(result));
        return false;
    }
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.mutex);
    if (std::find(registry.managers.begin(), registry.managers.end(), &manager) == registry.managers.end())
        registry.managers.push_back(&manager);
    return true;
}

void UnregisterForkHandler(CacheManager& manager)
{
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.mutex);
    registry.managers.erase(std::remove(registry.managers.begin(), registry.managers.end(), &manager),
                            registry.managers.end());
}
