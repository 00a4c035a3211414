// The status view's network-settings action: read the printer's access-point
// settings, then its client-mode settings, then the networks it sees, and open
// the settings screen. The screen opens only when both settings reads
// succeeded; otherwise the failing read's alert is handed back and nothing
// further is asked of the printer, so the forms never show (and OK never
// writes) defaults or another printer's values.
#pragma once

#include "wifi_setup/NetworkModel.h"

#include <optional>

namespace tbx::monitorapp {

// None when the screen was opened; else the alert of the read that failed.
std::optional<AlertTriple> openNetworkSetting(NetworkModel& model);

} // namespace tbx::monitorapp
