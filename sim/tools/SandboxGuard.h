// The simulation tools run the products' discovery, which broadcasts on every
// local subnet: they start only inside scripts/sandbox, which marks its private
// network namespace with TAMBERLYX_SANDBOX=1.
#pragma once

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string_view>

namespace tbx::sim {

// True inside the sandbox; otherwise says why `program` does not start.
inline bool insideSandbox(std::string_view program) {
    const char* sandbox = std::getenv("TAMBERLYX_SANDBOX");
    if (sandbox != nullptr && std::strcmp(sandbox, "1") == 0) {
        return true;
    }
    std::cerr << program << ": discovery broadcasts on the local subnets; run it through scripts/sandbox\n";
    return false;
}

} // namespace tbx::sim
