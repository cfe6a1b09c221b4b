#include "tests/FaultShim.h"

#include <cerrno>
#include <csignal>
#include <dlfcn.h>
#include <unistd.h>

namespace {

bool g_armed = false;
test::Fault g_fault;

bool Hits(test::FaultCall call, const char* path)
{
    if (!g_armed || call != g_fault.call)
        return false;
    const std::string text(path);
    const std::string& end = g_fault.pathEnd;
    if (text.size() < end.size() || text.compare(text.size() - end.size(), end.size(), end) != 0 ||
        g_fault.after-- > 0)
        return false;
    if (g_fault.error == 0)
        raise(SIGKILL);
    g_armed = false;
    errno = g_fault.error;
    return true;
}

template <typename F>
F Next(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

namespace test {

void ArmFault(const Fault& fault)
{
    g_fault = fault;
    g_armed = true;
}

void DisarmFault() { g_armed = false; }

}  // namespace test

extern "C" int symlink(const char* text, const char* link)
{
    static auto real = Next<int (*)(const char*, const char*)>("symlink");
    return Hits(test::FAULT_SYMLINK, link) ? -1 : real(text, link);
}

extern "C" int rename(const char* from, const char* to)
{
    static auto real = Next<int (*)(const char*, const char*)>("rename");
    return Hits(test::FAULT_RENAME, to) ? -1 : real(from, to);
}

extern "C" int unlink(const char* path)
{
    static auto real = Next<int (*)(const char*)>("unlink");
    return Hits(test::FAULT_UNLINK, path) ? -1 : real(path);
}
