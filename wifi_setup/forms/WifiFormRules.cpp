#include "wifi_setup/forms/WifiFormRules.h"

#include "wifi_setup/CommandText.h"
#include "wifi_setup/IPv4Rule.h"

namespace tbx::wifi::forms {

std::optional<std::string> firstAddressError(std::string_view ip, std::string_view mask,
                                             std::string_view gateway) {
    if (!isIPv4Text(ip)) {
        return "IP格式错误";
    }
    if (!isIPv4Text(mask)) {
        return "子网掩码格式错误";
    }
    if (!isIPv4Text(gateway)) {
        return "网关格式错误";
    }
    return std::nullopt;
}

std::int64_t encryptModeToSend(std::int64_t selection) {
    return selection == 0 ? 0 : 6;
}

std::int64_t ipSetTypeSelection(std::string_view ipSetType) {
    return ipSetType == "S" ? 1 : 0;
}

ClientRecordWrite clientRecordWrite(const ClientFormState& state) {
    const bool fixed = state.ipSetTypeSelection == 1;
    return ClientRecordWrite{
        .wifiPassword = state.wifiPassword,
        .ip = fixed ? state.ip : "0.0.0.0",
        .mask = fixed ? state.mask : "0.0.0.0",
        .gateway = fixed ? state.gateway : "0.0.0.0",
        .ipSetType = fixed ? "S" : "D",
        .orderInList = state.selection,
    };
}

std::optional<std::string> clientAddressError(const ClientFormState& state) {
    if (state.ipSetTypeSelection != 1) {
        return std::nullopt;
    }
    return firstAddressError(state.ip, state.mask, state.gateway);
}

std::string passwordForChoice(std::string_view chosenName, std::string_view recordWifiName,
                              std::string_view recordWifiPassword) {
    if (sameUnicodeText(chosenName, recordWifiName)) {
        return std::string(recordWifiPassword);
    }
    return {};
}

std::string_view wifiIconName(std::int64_t signalDB) {
    if (signalDB <= 2) {
        return "custom.wifi.weak";
    }
    if (signalDB <= 4) {
        return "custom.wifi.medium";
    }
    return "custom.wifi.strong";
}

} // namespace tbx::wifi::forms
