// Tests that send anything beyond loopback must run inside scripts/sandbox: a
// private network namespace that holds only loopback and the suite's own test
// links (named "tbx..."). These checks let such a test refuse to run elsewhere.
#pragma once

#include <gtest/gtest.h>
#include <string>

namespace tbx::test {

// True when every network interface visible to this process is loopback or one
// of the sandbox's own test links, and the sandbox marked the environment.
bool insideNetworkSandbox();

// Names of the visible interfaces that are neither loopback nor test links.
std::string foreignInterfaces();

} // namespace tbx::test

#define TBX_REQUIRE_NETWORK_SANDBOX()                                                                        \
    do {                                                                                                     \
        if (!::tbx::test::insideNetworkSandbox()) {                                                          \
            GTEST_FAIL() << "refusing to run outside scripts/sandbox; foreign interfaces: "                  \
                         << ::tbx::test::foreignInterfaces();                                                \
        }                                                                                                    \
    } while (0)
