// The rules of the two Wi-Fi forms over their own editing state: the IPv4
// check of address, mask and gateway with the message of the first failing
// text, what the OK actions write into the records, the password that a new
// network choice brings, the signal icon of a listed network and when the
// client form's OK is offered. The form widgets only bind controls to these.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tbx::wifi::forms {

// The message key of the first of ip, mask and gateway that fails the IPv4
// rule (isIPv4Text) ("IP格式错误", "子网掩码格式错误", "网关格式错误"), or none.
std::optional<std::string> firstAddressError(std::string_view ip, std::string_view mask,
                                             std::string_view gateway);

// The alert title key of a failed check.
inline constexpr std::string_view kCheckErrorTitle = "错误";

// Access-point form. The picker offers 0 (no encryption) and 1 ("WAP2PSK_AES");
// a record read before may also hold 6, which selects no entry.
struct APFormState {
    std::string apName{};
    std::int64_t encryptModeSelection = 0;
    std::string apPassword{};
    std::string ip{};
    std::string mask{};
    std::string gateway{};
};

// The value that goes to the printer: 0 for no encryption, else 6.
std::int64_t encryptModeToSend(std::int64_t selection);

// Client-mode form. `selection` is a position in the network list; the address
// fields are only edited and checked in fixed-address mode (selection 1).
struct ClientFormState {
    std::int64_t selection = 0;
    std::string wifiName{};
    std::string wifiPassword{};
    std::int64_t ipSetTypeSelection = 0; // 0 DHCP, 1 fixed
    std::string ip{};
    std::string mask{};
    std::string gateway{};
};

// 1 when the record's type is exactly "S", else 0.
std::int64_t ipSetTypeSelection(std::string_view ipSetType);

// What the client form's OK writes into the client-mode record.
struct ClientRecordWrite {
    std::string wifiPassword{};
    std::string ip{};
    std::string mask{};
    std::string gateway{};
    std::string ipSetType{};
    std::int64_t orderInList = 0;
};
ClientRecordWrite clientRecordWrite(const ClientFormState& state);

// The client form's OK check: none in DHCP mode.
std::optional<std::string> clientAddressError(const ClientFormState& state);

// The password shown after the user chose the network `chosenName`: the
// record's password when it names the network the record holds (compared as
// Unicode text, canonically equivalent names are equal), else empty.
std::string passwordForChoice(std::string_view chosenName, std::string_view recordWifiName,
                              std::string_view recordWifiPassword);

// "custom.wifi.weak" up to 2, "custom.wifi.medium" for 3 and 4, "custom.wifi.strong" from 5.
std::string_view wifiIconName(std::int64_t signalDB);

// The client form's OK is offered only while the printer listed a network and
// no settings of this form are on their way to the printer.
inline bool clientOkEnabled(std::size_t hotSpotCount, bool writeOut = false) {
    return hotSpotCount > 0 && !writeOut;
}

} // namespace tbx::wifi::forms
