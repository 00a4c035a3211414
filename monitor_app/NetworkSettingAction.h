// The status view's network-settings action: read the printer's access-point
// settings, then its client-mode settings, then the networks it sees, and open
// the settings screen. The reads run on the network model's worker, one after
// the other, so the window keeps answering while the printer takes its time
// (a list that is not ready is asked for again after 2 seconds). The screen
// opens only when both settings reads succeeded; otherwise the failing read's
// alert is handed back and nothing further is asked of the printer, so the
// forms never show (and OK never writes) defaults or another printer's values.
// Reads that the model dropped (another printer was picked meanwhile) end the
// action without a screen or an alert.
#pragma once

#include "wifi_setup/NetworkModel.h"

#include <functional>

namespace tbx::monitorapp {

// Starts the reads; `failed` runs on the main thread with the alert of the
// read that failed. The model must outlive the reads (the program's model
// lives as long as the process).
void openNetworkSetting(NetworkModel& model, std::function<void(const AlertTriple&)> failed);

// True while the action's reads are out: the button is off meanwhile.
bool networkSettingPending(const NetworkModel& model);

} // namespace tbx::monitorapp
