#include "monitor_app/NetworkSettingAction.h"

#include <utility>

namespace tbx::monitorapp {

void openNetworkSetting(NetworkModel& model, std::function<void(const AlertTriple&)> failed) {
    // The client-mode record is read before the list, which marks the network
    // that record names. A completion runs only while the model exists.
    model.getAPInfo([&model, failed = std::move(failed)](std::optional<AlertTriple> ap) {
        if (!ap) {
            return;
        }
        if (ap->show) {
            failed(*ap);
            return;
        }
        model.getClientModeInfo([&model, failed](std::optional<AlertTriple> client) {
            if (!client) {
                return;
            }
            if (client->show) {
                failed(*client);
                return;
            }
            model.getHotSpotList([&model](bool applied) {
                if (applied) {
                    model.showNetworkSetting = true;
                }
            });
        });
    });
}

bool networkSettingPending(const NetworkModel& model) {
    return model.commandOut(WifiCommand::getAPInfo) || model.commandOut(WifiCommand::getClientModeInfo) ||
           model.commandOut(WifiCommand::getHotSpotList);
}

} // namespace tbx::monitorapp
