// The printer as a client (station) of another Wi-Fi network. `orderInList` is
// the chosen entry of the model's network list; `ipSetType` is "S" for a fixed
// address (`ip`, `mask`, `gateway`) or "D" for DHCP.
#pragma once

#include <cstdint>
#include <string>

namespace tbx {

struct ClietModeSetting {
    std::string WifiName;
    std::string WifiPassword;
    std::int64_t orderInList = 0;
    std::string ipSetType;
    std::string ip;
    std::string mask;
    std::string gateway;

    bool operator==(const ClietModeSetting&) const = default;
};

} // namespace tbx
