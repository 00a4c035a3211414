// Tests that send anything beyond loopback must run inside scripts/sandbox: a
// private network namespace that holds only loopback and the suite's own test
// links (named "tbx..."). These checks let such a test refuse to run elsewhere.
#pragma once

#include "sim/net/Sandbox.h"

#include <gtest/gtest.h>

namespace tbx::test {

using sim::foreignInterfaces;
using sim::insideNetworkSandbox;

// For a test program's main, after InitGoogleTest: false, with the reason on standard error, when
// it would run tests outside the sandbox. Many tests start the applications' models, whose
// discovery broadcasts on every local subnet; listing the tests (as the build does) is harmless.
inline bool mayRunTests(const char* program) {
    return GTEST_FLAG_GET(list_tests) || sim::insideSandbox(program);
}

} // namespace tbx::test

#define TBX_REQUIRE_NETWORK_SANDBOX()                                                                        \
    do {                                                                                                     \
        if (!::tbx::test::insideNetworkSandbox()) {                                                          \
            GTEST_FAIL() << "refusing to run outside scripts/sandbox; foreign interfaces: "                  \
                         << ::tbx::test::foreignInterfaces();                                                \
        }                                                                                                    \
    } while (0)
