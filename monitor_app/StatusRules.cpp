#include "monitor_app/StatusRules.h"

#include "platform/widgets/Text.h"

namespace tbx::monitorapp {

QColor levelColor(int level) {
    switch (level) {
    case 1:
        return QColor(Qt::black);
    case 2:
        return QColor(255, 149, 0); // the platform's orange
    default:
        return QColor(255, 59, 48); // the platform's red
    }
}

bool showsNetworkSetting(const std::string& type) {
    return type == "USB";
}

QStringList connectionLines(const std::string& type, const std::string& ip) {
    if (type == "Net") {
        // The full-width colon is part of the text; the address is not looked up.
        return {widgets::localizedText("netPrinter"),
                QStringLiteral("IP\uFF1A") + QString::fromStdString(ip)};
    }
    if (type == "USB") {
        return {widgets::localizedText("usbPrinter")};
    }
    return {};
}

StatusContent statusContent(const StatusState& state) {
    return StatusContent{
        .header = QString::fromStdString(state.name),
        .networkSettingShown = showsNetworkSetting(state.type),
        .pictureName = QString::fromStdString(state.name),
        .connectionLines = connectionLines(state.type, state.ip),
        .message = widgets::localizedText(state.message),
        .description = widgets::localizedText(state.discription),
        .levelColor = levelColor(state.level),
    };
}

} // namespace tbx::monitorapp
