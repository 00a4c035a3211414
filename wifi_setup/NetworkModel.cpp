#include "wifi_setup/NetworkModel.h"

#include "platform/foundation/Print.h"
#include "wifi_setup/AlertTexts.h"
#include "wifi_setup/CommandText.h"
#include "wifi_setup/UsbInteraction.h"

#include <algorithm>
#include <thread>

namespace tbx {
namespace {

using namespace std::string_literals;
using namespace wifi;

constexpr auto kListRetryPause = std::chrono::milliseconds(2000);

AlertTriple triple(bool show, std::string_view title, std::string_view message) {
    return {show, std::string(title), std::string(message)};
}

AlertTriple errorResult(std::string_view message) {
    return triple(true, kErrorTitle, message);
}

bool isDecimal(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

} // namespace

NetworkModel::NetworkModel(NetworkModelEnvironment environment) : environment_(std::move(environment)) {
    clietModeSetting = ClietModeSetting{"", "", 0, "Manual", "", "", ""};
    apSetting = APSetting{"", 1, "", "", "", ""};
    tcpClient = std::make_unique<Communicator>("192.168.1.1", 9101, environment_.tcpTimeouts);
}

CommandTarget NetworkModel::selectedPrinter() const {
    return environment_.selectedPrinter ? environment_.selectedPrinter() : CommandTarget{};
}

void NetworkModel::setAlert(std::string_view title, std::string_view info) {
    showAlter = true;
    alterTitle = title;
    alterInfo = info;
}

void NetworkModel::initTCPClient(const std::string& url) {
    tcpClient->setURL(url);
    tcpClient->connect();
}

void NetworkModel::disconnectTCPClient() {
    tcpClient->disconnect();
}

std::optional<std::string> NetworkModel::sendCommand(const std::string& cmd) {
    print("send cmd = " + maskedCommand(cmd) + " and current printer type = " + selectedPrinter().type);
    if (selectedPrinter().type == "Net") {
        return tcpCommucation(cmd);
    }
    return usbCommucation(cmd);
}

std::optional<std::string> NetworkModel::usbCommucation(const std::string& cmd) {
    const CommandTarget printer = selectedPrinter();
    return usbInteraction(cmd, long(printer.PID), long(printer.VID), printer.usbLocation);
}

std::optional<std::string> NetworkModel::tcpCommucation(const std::string& cmd) {
    // The exchange goes to the selected printer's own address, on a connection
    // of its own: a printer that dropped an idle connection costs nothing, and
    // every wait is bounded by the client's time-outs.
    const CommandTarget printer = selectedPrinter();
    if (printer.address.empty()) {
        return std::nullopt;
    }
    if (tcpClient->url() != printer.address || tcpClient->port() != environment_.commandPort) {
        tcpClient = std::make_unique<Communicator>(printer.address, environment_.commandPort,
                                                   environment_.tcpTimeouts);
    }
    tcpClient->connect();
    std::optional<std::string> reply;
    // A request that did not go out has no reply to wait for.
    if (tcpClient->send(cmd)) {
        if (const std::optional<std::string> received = tcpClient->receive()) {
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(received->data());
            reply = replyText({bytes, received->size()});
        }
    }
    tcpClient->disconnect();
    return reply;
}

void NetworkModel::getHotSpotList() {
    const int limit = std::max(1, environment_.hotSpotListRequests);
    for (int request = 1;; ++request) {
        hotSpotList.clear();
        const std::optional<std::string> reply = sendCommand(GETHOTSPOTLISTCMD);
        if (!reply) {
            return;
        }
        const std::vector<std::string> pieces = components(*reply, ";");
        if (pieces.size() < 2) {
            return;
        }
        const std::string code = replyCode(pieces[0]);
        if (code == "8012") {
            std::int64_t counter = 0;
            for (ListedNetwork& network : listedNetworks(pieces[1])) {
                if (sameUnicodeText(network.name, clietModeSetting->WifiName)) {
                    clietModeSetting->orderInList = counter;
                }
                hotSpotList.push_back(HotSpot{counter, std::move(network.name), network.signal});
                ++counter;
            }
            return;
        }
        // A printer that never gets its list ready must not hold the window
        // for good: after the last allowed request the list stays empty.
        if (code != "8011" || request >= limit) {
            return;
        }
        if (environment_.pause) {
            environment_.pause(kListRetryPause);
        } else {
            std::this_thread::sleep_for(kListRetryPause);
        }
    }
}

AlertTriple NetworkModel::getAPInfo() {
    print("run in function getAPInfo");
    const std::optional<std::string> reply = sendCommand(std::string(kAPInfoRequest));
    if (!reply) {
        return errorResult(kDataParseError);
    }
    const std::string code = replyCode(*reply);
    if (code == "1001" || code == "8001") {
        const std::string_view info = code == "1001" ? kDeviceBusy : kModeNotSupportedNow;
        setAlert(kErrorTitleLatin, info);
        return errorResult(info);
    }
    if (code != "8014") {
        return errorResult(kDataParseError);
    }
    const std::optional<SettingsReply> settings = settingsReply(*reply);
    if (!settings) {
        return errorResult(kDataParseError);
    }
    apSetting->APName = settings->name;
    const auto shownName = [this] {
        return optionalDescription(apSetting ? std::optional<std::string>(apSetting->APName) : std::nullopt);
    };
    print("apname = " + shownName() + " and value = " + settings->name);
    const std::string& encryptCode = settings->lines[0];
    apSetting->encryptMode = encryptCode == "6" ? 1 : 0;
    printerEncryptCode_ = encryptCode;
    apSetting->APPassword = settings->lines[1];
    apSetting->ip = settings->lines[2];
    apSetting->mask = settings->lines[3];
    apSetting->gateway = settings->lines[4];
    print("apname = " + shownName());
    return triple(false, "", "");
}

AlertTriple NetworkModel::setAPInfo() {
    const APSetting& setting = *apSetting;
    std::string encryptCode = std::to_string(setting.encryptMode);
    // The form offers only "none" and one encryption; a printer that reported
    // another code keeps it unless the user switched between the two.
    if (printerEncryptCode_ && isDecimal(*printerEncryptCode_)) {
        const bool encryptedAtRead = *printerEncryptCode_ == "6";
        const bool encryptedNow = setting.encryptMode != 0;
        if (encryptedAtRead == encryptedNow) {
            encryptCode = *printerEncryptCode_;
        }
    }
    // A control byte could shift the fields (and the password out of its mask).
    for (const std::string* field :
         {&setting.APName, &setting.APPassword, &setting.ip, &setting.mask, &setting.gateway}) {
        if (holdsControlByte(*field)) {
            return errorResult(kWrongParameters);
        }
    }
    const std::string command = apCommand(setting, encryptCode);
    print("run in set ap info and cmd = " + maskedCommand(command));
    const std::optional<std::string> reply = sendCommand(escapeCommand(command));
    if (!reply) {
        return errorResult(kAPReplyParseError);
    }
    print("set ap response = " + *reply);
    const std::string code = replyCode(*reply);
    if (code == "8004") {
        printerEncryptCode_ = encryptCode;
        setAlert(kSetSucceeded, kHotSpotInfoSet);
        return triple(true, kSetSucceeded, kHotSpotInfoSet);
    }
    const std::string_view info = code == "1001"   ? kPrintingCannotSet
                                  : code == "8005" ? kWrongParameters
                                  : code == "8001" ? kModeNotSupported
                                                   : std::string_view();
    if (info.empty()) {
        return errorResult(kAPReplyParseError);
    }
    setAlert(kErrorTitle, info);
    return errorResult(info);
}

AlertTriple NetworkModel::getClientModeInfo() {
    const std::optional<std::string> reply = sendCommand(std::string(kClientModeRequest));
    if (!reply || reply->find(',') == std::string::npos) {
        return errorResult(kClientModeReadError);
    }
    const std::string code = replyCode(*reply);
    if (code == "1001" || code == "8001") {
        const std::string_view info = code == "1001" ? kDeviceBusy : kModeNotSupportedNow;
        setAlert(kErrorTitleLatin, info);
        return errorResult(info);
    }
    if (code != "8013") {
        return errorResult(kClientModeReadError);
    }
    const std::optional<SettingsReply> settings = settingsReply(*reply);
    if (!settings) {
        return errorResult(kClientModeReadError);
    }
    clietModeSetting->WifiName = settings->name;
    clietModeSetting->WifiPassword = settings->lines[0];
    clietModeSetting->ipSetType = settings->lines[1];
    clietModeSetting->ip = settings->lines[2];
    clietModeSetting->mask = settings->lines[3];
    clietModeSetting->gateway = settings->lines[4];
    return triple(false, "", "");
}

AlertTriple NetworkModel::setClientModeInfo() {
    const ClietModeSetting& setting = *clietModeSetting;
    // A position left over from an earlier, longer list names no network.
    if (setting.orderInList < 0 || std::uint64_t(setting.orderInList) >= hotSpotList.size()) {
        return errorResult(kParseFailedRetry);
    }
    const std::string& networkName = hotSpotList[std::size_t(setting.orderInList)].name;
    for (const std::string* field : {&networkName, &setting.WifiPassword, &setting.ipSetType, &setting.ip,
                                     &setting.mask, &setting.gateway}) {
        if (holdsControlByte(*field)) {
            return errorResult(kWrongParameters);
        }
    }
    const std::optional<std::string> reply =
        sendCommand(escapeCommand(clientModeCommand(networkName, setting)));
    if (!reply || reply->find(',') == std::string::npos) {
        return errorResult(kParseFailedRetry);
    }
    const std::string code = replyCode(*reply);
    if (code == "8002") {
        setAlert(kSetSucceeded, kHotSpotInfoSet);
        return triple(true, kSetSucceeded, kHotSpotInfoSet);
    }
    const std::string_view info = code == "1001"   ? kPrintingCannotSet
                                  : code == "8003" ? kWrongParameters
                                  : code == "8001" ? kModeNotSupported
                                                   : std::string_view();
    if (info.empty()) {
        return errorResult(kParseFailedRetry);
    }
    setAlert(kErrorTitle, info);
    return errorResult(info);
}

} // namespace tbx
