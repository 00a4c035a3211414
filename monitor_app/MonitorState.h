// The plain states that the sidebar and the status view draw, taken from the
// models: one row per listed printer (the row that equals the selected printer
// marked), and the selected printer with its status and the settings flag.
#pragma once

#include "monitor/Printer.h"
#include "monitor/StatusInfo.h"
#include "monitor_app/SidebarView.h"
#include "monitor_app/StatusInfoView.h"

#include <vector>

namespace tbx::monitorapp {

// Rows in list order; a row is selected when its printer equals the selected
// one (a copy of that very row: printers built apart never compare equal).
SidebarState sidebarState(const std::vector<Printer>& printerList, const Printer& selectedPrinter);

StatusViewState statusViewState(const Printer& selectedPrinter, const StatusInfo& statusInfo,
                                bool showNetworkSetting, bool networkSettingPending = false);

// The placeholder status that a selection in the sidebar shows until the
// printer's first answer: level 1, "connecting", toner 0.
StatusInfo connectingStatus();

// Every status the status view can be given: the placeholder of a selection,
// the one of a search that found no printer, and each row of the printer's
// status table. (A code the table lacks reads "错误码" and the number, which
// wraps like the table's texts.)
std::vector<StatusInfo> everyStatus();

} // namespace tbx::monitorapp
