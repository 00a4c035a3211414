#include "monitor_app/MonitorState.h"

#include "monitor/TamberlyxStatus.h"

namespace tbx::monitorapp {

SidebarState sidebarState(const std::vector<Printer>& printerList, const Printer& selectedPrinter) {
    SidebarState state;
    state.rows.reserve(printerList.size());
    for (const Printer& printer : printerList) {
        state.rows.push_back({QString::fromStdString(printer.label()), printer == selectedPrinter});
    }
    return state;
}

StatusViewState statusViewState(const Printer& selectedPrinter, const StatusInfo& statusInfo,
                                bool showNetworkSetting, bool networkSettingPending) {
    return StatusViewState{.status = {.name = selectedPrinter.name(),
                                      .type = selectedPrinter.type(),
                                      .ip = selectedPrinter.ip(),
                                      .level = statusInfo.level,
                                      .message = statusInfo.message,
                                      .discription = statusInfo.discription},
                           .toner = statusInfo.toner,
                           .showNetworkSetting = showNetworkSetting,
                           .networkSettingPending = networkSettingPending};
}

StatusInfo connectingStatus() {
    return StatusInfo(1, "connecting", "", 0);
}

std::vector<StatusInfo> everyStatus() {
    std::vector<StatusInfo> statuses{connectingStatus(), noPrinterStatus()};
    for (const auto& [code, row] : TamberlyxStatus()) {
        statuses.emplace_back(row.level, row.message, row.discription, 0);
    }
    return statuses;
}

} // namespace tbx::monitorapp
