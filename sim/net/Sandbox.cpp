#include "sim/net/Sandbox.h"

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <net/if.h>
#include <set>

namespace tbx::sim {

std::string foreignInterfaces() {
    std::string names;
    struct if_nameindex* list = if_nameindex();
    if (list == nullptr) {
        return "(interface list unavailable)";
    }
    for (auto* entry = list; entry->if_index != 0; ++entry) {
        const std::string name = entry->if_name;
        if (name == "lo" || name.rfind("tbx", 0) == 0) {
            continue;
        }
        names += names.empty() ? name : " " + name;
    }
    if_freenameindex(list);
    return names;
}

bool insideNetworkSandbox() {
    const char* marker = std::getenv("TAMBERLYX_SANDBOX");
    return marker != nullptr && std::strcmp(marker, "1") == 0 && foreignInterfaces().empty();
}

bool insideSandbox(std::string_view program) {
    if (insideNetworkSandbox()) {
        return true;
    }
    std::cerr << program << ": discovery broadcasts on the local subnets; run it through scripts/sandbox\n";
    return false;
}

} // namespace tbx::sim
