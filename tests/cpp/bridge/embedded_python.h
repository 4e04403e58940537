// The interpreter the bridge tests run against: initialised once per test program by a gtest
// environment and left with its lock released, as in a host that calls the runtime through
// ctypes, so that test threads raise events the way library threads do. The helpers below take
// the interpreter lock themselves; call them from any thread that does not hold it.
#ifndef QV_TESTS_BRIDGE_EMBEDDED_PYTHON_H
#define QV_TESTS_BRIDGE_EMBEDDED_PYTHON_H

#include <string>

#include "bridge/host_object.h"

namespace qv::testing {

// Runs `code` in __main__; an exception fails the current test.
void runPython(const std::string& code);

// Evaluates `expression` in __main__ and returns its truth; an exception fails the test.
bool pythonTrue(const std::string& expression);

// repr() of `expression` evaluated in __main__, for failure messages.
std::string pythonRepr(const std::string& expression);

// A borrowed reference to the __main__ global `name`, which keeps it alive.
HostObject mainObject(const char* name);

// How many thread states the main interpreter holds. Call it from a thread that already has a
// state (the test's main thread), or the count includes the one made for the call.
int threadStateCount();

}  // namespace qv::testing

#endif  // QV_TESTS_BRIDGE_EMBEDDED_PYTHON_H
