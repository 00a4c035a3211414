// Programs and tests that send anything beyond loopback (discovery broadcasts
// on every local subnet) run only inside scripts/sandbox: a private network
// namespace that holds only loopback and the suite's own test links (named
// "tbx..."), marked by TAMBERLYX_SANDBOX=1. These checks let them refuse to
// run elsewhere.
#pragma once

#include <string>
#include <string_view>

namespace tbx::sim {

// True when every network interface visible to this process is loopback or one
// of the sandbox's own test links, and the sandbox marked the environment.
bool insideNetworkSandbox();

// Names of the visible interfaces that are neither loopback nor test links.
std::string foreignInterfaces();

// For a program's start: true inside the sandbox; otherwise says on stderr why
// `program` does not start.
bool insideSandbox(std::string_view program);

} // namespace tbx::sim
