#include "monitor_app/NetworkSettingAction.h"

namespace tbx::monitorapp {

std::optional<AlertTriple> openNetworkSetting(NetworkModel& model) {
    // The client-mode record is read before the list, which marks the network
    // that record names.
    if (AlertTriple ap = model.getAPInfo(); ap.show) {
        return ap;
    }
    if (AlertTriple client = model.getClientModeInfo(); client.show) {
        return client;
    }
    model.getHotSpotList();
    model.showNetworkSetting = true;
    return std::nullopt;
}

} // namespace tbx::monitorapp
