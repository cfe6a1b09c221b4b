// A fault at one chosen system call: symlink(), rename() and unlink() are
// interposed in the test program that links FaultShim.cpp. Armed, the shim
// waits for the call whose path (the link made, the name renamed to, the
// name removed) ends with the given text, and then either kills the process
// with SIGKILL before the call is made, or fails the call with an errno.
// Disarmed, every call goes straight to the C library.
#ifndef TESTS_FAULTSHIM_H
#define TESTS_FAULTSHIM_H

#include <string>

namespace test {

enum FaultCall { FAULT_SYMLINK, FAULT_RENAME, FAULT_UNLINK };

struct Fault {
    FaultCall call;
    std::string pathEnd;  // the call's path ends with this
    int error;            // 0: SIGKILL before the call; otherwise the call fails with it
    int after;            // matching calls to let pass first
};

void ArmFault(const Fault& fault);
void DisarmFault();

}  // namespace test

#endif
