#include "wifi_setup/NetworkModel.h"

#include "platform/foundation/Print.h"
#include "wifi_setup/AlertTexts.h"
#include "wifi_setup/CommandText.h"
#include "wifi_setup/UsbInteraction.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace tbx {
namespace {

using namespace std::string_literals;
using namespace wifi;
using Reply = std::optional<std::string>;
using Communicator = NetworkModel::Communicator;

AlertTriple triple(bool show, std::string_view title, std::string_view message) {
    return {show, std::string(title), std::string(message)};
}

AlertTriple errorResult(std::string_view message) {
    return triple(true, kErrorTitle, message);
}

bool isDecimal(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

Reply usbExchange(const CommandTarget& printer, const std::string& cmd) {
    return usbInteraction(cmd, long(printer.PID), long(printer.VID), printer.usbLocation);
}

// The exchange goes to the printer's own address, on a connection of its own:
// a printer that dropped an idle connection costs nothing, and every wait is
// bounded by the client's time-outs. `client` is pointed at the printer first.
Reply tcpExchange(const CommandTarget& printer, const std::string& cmd, std::uint32_t port,
                  const cfnetwork::StreamTimeouts& timeouts, std::unique_ptr<Communicator>& client) {
    if (printer.address.empty()) {
        return std::nullopt;
    }
    if (!client || client->url() != printer.address || client->port() != port) {
        client = std::make_unique<Communicator>(printer.address, port, timeouts);
    }
    client->connect();
    Reply reply;
    // A request that did not go out has no reply to wait for.
    if (client->send(cmd)) {
        if (const Reply received = client->receive()) {
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(received->data());
            reply = replyText({bytes, received->size()});
        }
    }
    client->disconnect();
    return reply;
}

// One request to `printer` over the transport its type picks.
Reply commandExchange(const CommandTarget& printer, const std::string& cmd, std::uint32_t port,
                      const cfnetwork::StreamTimeouts& timeouts, std::unique_ptr<Communicator>& client) {
    print("send cmd = " + maskedCommand(cmd) + " and current printer type = " + printer.type);
    if (printer.type == "Net") {
        return tcpExchange(printer, cmd, port, timeouts, client);
    }
    return usbExchange(printer, cmd);
}

// The code and the list piece of a network-list reply; none when the reply has
// no ";" (whatever its code: a bare "8011" is not asked again).
struct ListReply {
    std::string code;
    std::string list;
};
std::optional<ListReply> splitListReply(const Reply& reply) {
    if (!reply) {
        return std::nullopt;
    }
    const std::vector<std::string> pieces = components(*reply, ";");
    if (pieces.size() < 2) {
        return std::nullopt;
    }
    return ListReply{replyCode(pieces[0]), pieces[1]};
}

// The reply that ends one network-list query: the first one that is not
// "8011". After each "8011" the query waits `pause` (`wait` answers false to give up)
// and asks again, up to `limit` requests: a printer that never gets its list
// ready must not keep the query out for good.
Reply listQueryReply(const std::function<Reply()>& send,
                     const std::function<bool(std::chrono::milliseconds)>& wait,
                     std::chrono::milliseconds pause, int limit) {
    for (int request = 1;; ++request) {
        Reply reply = send();
        const std::optional<ListReply> split = splitListReply(reply);
        if (!split || split->code != "8011" || request >= std::max(1, limit)) {
            return reply;
        }
        if (!wait(pause)) {
            return std::nullopt;
        }
    }
}

} // namespace

// What the model and its worker's jobs share. `model` is read and written on
// the main thread only; the generation moves on when the commands out are dropped.
struct NetworkModel::Shared {
    NetworkModel* model = nullptr;
    std::atomic<std::uint64_t> generation{0};
    std::mutex mutex;
    std::condition_variable overtaken;

    void overtake() {
        {
            std::lock_guard lock(mutex);
            ++generation;
        }
        overtaken.notify_all();
    }
    // Waits `wait`; false when the generation moved on first.
    bool waitUnlessOvertaken(std::uint64_t current, std::chrono::milliseconds wait) {
        std::unique_lock lock(mutex);
        return !overtaken.wait_for(lock, wait, [&] { return generation.load() != current; });
    }
};

// A job's view of the printer and the channel settings, copied on the main
// thread when the job is asked for; the worker touches nothing else.
class NetworkModel::Channel {
public:
    Channel(CommandTarget printer, const NetworkModelEnvironment& environment, std::shared_ptr<Shared> shared)
        : printer_(std::move(printer)), port_(environment.commandPort), timeouts_(environment.tcpTimeouts),
          pause_(environment.pause), retryPause_(environment.listRetryPause),
          listRequests_(environment.hotSpotListRequests), shared_(std::move(shared)),
          generation_(shared_->generation.load()) {}

    const CommandTarget& printer() const { return printer_; }
    std::uint64_t generation() const { return generation_; }
    bool current() const { return shared_->generation.load() == generation_; }
    int listRequests() const { return listRequests_; }
    std::chrono::milliseconds retryPause() const { return retryPause_; }

    Reply send(const std::string& cmd) {
        return commandExchange(printer_, cmd, port_, timeouts_, tcpClient_);
    }

    // The wait before the network list is asked for again; false when the
    // commands were dropped meanwhile.
    bool wait(std::chrono::milliseconds wait) {
        if (pause_) {
            pause_(wait);
            return current();
        }
        return shared_->waitUnlessOvertaken(generation_, wait);
    }

private:
    CommandTarget printer_;
    std::uint32_t port_;
    cfnetwork::StreamTimeouts timeouts_;
    std::function<void(std::chrono::milliseconds)> pause_;
    std::chrono::milliseconds retryPause_;
    int listRequests_;
    std::shared_ptr<Shared> shared_;
    std::uint64_t generation_;
    std::unique_ptr<Communicator> tcpClient_;
};

NetworkModel::NetworkModel(NetworkModelEnvironment environment)
    : environment_(std::move(environment)), shared_(std::make_shared<Shared>()) {
    clietModeSetting = ClietModeSetting{"", "", 0, "Manual", "", "", ""};
    apSetting = APSetting{"", 1, "", "", "", ""};
    tcpClient = std::make_unique<Communicator>("192.168.1.1", 9101, environment_.tcpTimeouts);
    shared_->model = this;
}

NetworkModel::~NetworkModel() {
    // Queued jobs end unstarted and a list waiting to ask again stops waiting;
    // the worker is joined when it goes, after the exchange in progress.
    cancelCommands();
    shared_->model = nullptr;
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

// ---- The exchange on the calling thread -------------------------------------------

std::optional<std::string> NetworkModel::sendCommand(const std::string& cmd) {
    return commandExchange(selectedPrinter(), cmd, environment_.commandPort, environment_.tcpTimeouts,
                           tcpClient);
}

std::optional<std::string> NetworkModel::usbCommucation(const std::string& cmd) {
    return usbExchange(selectedPrinter(), cmd);
}

std::optional<std::string> NetworkModel::tcpCommucation(const std::string& cmd) {
    return tcpExchange(selectedPrinter(), cmd, environment_.commandPort, environment_.tcpTimeouts, tcpClient);
}

void NetworkModel::getHotSpotList() {
    hotSpotList.clear();
    const Reply reply = listQueryReply([this] { return sendCommand(GETHOTSPOTLISTCMD); },
                                       [this](std::chrono::milliseconds wait) {
                                           if (environment_.pause) {
                                               environment_.pause(wait);
                                           } else {
                                               std::this_thread::sleep_for(wait);
                                           }
                                           return true;
                                       },
                                       environment_.listRetryPause, environment_.hotSpotListRequests);
    applyHotSpotList(reply);
}

AlertTriple NetworkModel::getAPInfo() {
    print("run in function getAPInfo");
    return applyAPInfo(sendCommand(std::string(kAPInfoRequest)));
}

AlertTriple NetworkModel::setAPInfo() {
    const Write write = prepareAPWrite();
    if (write.refused) {
        return *write.refused;
    }
    return applyAPWrite(sendCommand(escapeCommand(write.command)), write.encryptCode);
}

AlertTriple NetworkModel::getClientModeInfo() {
    return applyClientModeInfo(sendCommand(std::string(kClientModeRequest)));
}

AlertTriple NetworkModel::setClientModeInfo() {
    const Write write = prepareClientModeWrite();
    if (write.refused) {
        return *write.refused;
    }
    return applyClientModeWrite(sendCommand(escapeCommand(write.command)));
}

// ---- The replies, into the model ----------------------------------------------------

void NetworkModel::applyHotSpotList(const Reply& reply) {
    hotSpotList.clear();
    const std::optional<ListReply> split = splitListReply(reply);
    if (!split || split->code != "8012") {
        return;
    }
    std::int64_t counter = 0;
    for (ListedNetwork& network : listedNetworks(split->list)) {
        if (sameUnicodeText(network.name, clietModeSetting->WifiName)) {
            clietModeSetting->orderInList = counter;
        }
        hotSpotList.push_back(HotSpot{counter, std::move(network.name), network.signal});
        ++counter;
    }
}

AlertTriple NetworkModel::applyAPInfo(const Reply& reply) {
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

NetworkModel::Write NetworkModel::prepareAPWrite() const {
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
            return {.refused = errorResult(kWrongParameters)};
        }
    }
    std::string command = apCommand(setting, encryptCode);
    print("run in set ap info and cmd = " + maskedCommand(command));
    return {.command = std::move(command), .encryptCode = std::move(encryptCode)};
}

AlertTriple NetworkModel::applyAPWrite(const Reply& reply, const std::string& encryptCode) {
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

AlertTriple NetworkModel::applyClientModeInfo(const Reply& reply) {
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

NetworkModel::Write NetworkModel::prepareClientModeWrite() const {
    const ClietModeSetting& setting = *clietModeSetting;
    // A position left over from an earlier, longer list names no network.
    if (setting.orderInList < 0 || std::uint64_t(setting.orderInList) >= hotSpotList.size()) {
        return {.refused = errorResult(kParseFailedRetry)};
    }
    const std::string& networkName = hotSpotList[std::size_t(setting.orderInList)].name;
    for (const std::string* field : {&networkName, &setting.WifiPassword, &setting.ipSetType, &setting.ip,
                                     &setting.mask, &setting.gateway}) {
        if (holdsControlByte(*field)) {
            return {.refused = errorResult(kWrongParameters)};
        }
    }
    return {.command = clientModeCommand(networkName, setting)};
}

AlertTriple NetworkModel::applyClientModeWrite(const Reply& reply) {
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

// ---- The exchange on the worker ---------------------------------------------------

void NetworkModel::getHotSpotList(std::function<void(bool applied)> done) {
    hotSpotList.clear();
    submit(
        WifiCommand::getHotSpotList,
        [request = GETHOTSPOTLISTCMD](Channel& channel) {
            return listQueryReply([&] { return channel.send(request); },
                                  [&](std::chrono::milliseconds wait) { return channel.wait(wait); },
                                  channel.retryPause(), channel.listRequests());
        },
        [this, done](const Reply& reply) {
            applyHotSpotList(reply);
            if (done) {
                done(true);
            }
        },
        [done] {
            if (done) {
                done(false);
            }
        });
}

void NetworkModel::getAPInfo(Completion done) {
    print("run in function getAPInfo");
    submitCommand(
        WifiCommand::getAPInfo, std::string(kAPInfoRequest),
        [this](const Reply& reply) { return applyAPInfo(reply); }, std::move(done));
}

void NetworkModel::setAPInfo(Completion done) {
    const Write write = prepareAPWrite();
    submitWrite(
        WifiCommand::setAPInfo, write,
        [this, encryptCode = write.encryptCode](const Reply& reply) {
            return applyAPWrite(reply, encryptCode);
        },
        std::move(done));
}

void NetworkModel::getClientModeInfo(Completion done) {
    submitCommand(
        WifiCommand::getClientModeInfo, std::string(kClientModeRequest),
        [this](const Reply& reply) { return applyClientModeInfo(reply); }, std::move(done));
}

void NetworkModel::setClientModeInfo(Completion done) {
    submitWrite(
        WifiCommand::setClientModeInfo, prepareClientModeWrite(),
        [this](const Reply& reply) { return applyClientModeWrite(reply); }, std::move(done));
}

void NetworkModel::submitWrite(WifiCommand command, const Write& write,
                               std::function<AlertTriple(const Reply&)> apply, Completion done) {
    if (write.refused) {
        if (done) {
            done(write.refused);
        }
        return;
    }
    submitCommand(command, escapeCommand(write.command), std::move(apply), std::move(done));
}

void NetworkModel::submitCommand(WifiCommand command, std::string request,
                                 std::function<AlertTriple(const Reply&)> apply, Completion done) {
    submit(
        command, [request = std::move(request)](Channel& channel) { return channel.send(request); },
        [apply = std::move(apply), done](const Reply& reply) {
            const AlertTriple result = apply(reply);
            if (done) {
                done(result);
            }
        },
        [done] {
            if (done) {
                done(std::nullopt);
            }
        });
}

void NetworkModel::submit(WifiCommand command, std::function<Reply(Channel&)> exchange,
                          std::function<void(const Reply&)> apply, std::function<void()> dropped) {
    auto channel = std::make_shared<Channel>(selectedPrinter(), environment_, shared_);
    countOut(command, +1);
    worker_.async([channel = std::move(channel), shared = shared_, command, exchange = std::move(exchange),
                   apply = std::move(apply), dropped = std::move(dropped)]() mutable {
        // Dropped before it started: nothing goes to the printer.
        Reply reply = channel->current() ? exchange(*channel) : std::nullopt;
        dispatch::Queue::main().async([shared, command, printer = channel->printer(),
                                       generation = channel->generation(), reply = std::move(reply),
                                       apply = std::move(apply), dropped = std::move(dropped)] {
            NetworkModel* model = shared->model;
            if (model == nullptr) {
                return; // the model is gone, and with it whoever waited for the result
            }
            model->countOut(command, -1);
            // A result for a printer no longer selected would describe the wrong one.
            if (shared->generation.load() != generation || model->selectedPrinter() != printer) {
                dropped();
                return;
            }
            apply(reply);
        });
    });
}

void NetworkModel::countOut(WifiCommand command, int change) {
    std::array<int, kWifiCommandCount> counts = commandsOut_.get();
    counts[static_cast<std::size_t>(command)] += change;
    commandsOut_ = counts;
}

bool NetworkModel::commandOut(WifiCommand command) const {
    return commandsOut_.get()[static_cast<std::size_t>(command)] > 0;
}

void NetworkModel::cancelCommands() {
    shared_->overtake();
}

void NetworkModel::stopCommands() {
    cancelCommands();
    worker_.sync([] {});
}

} // namespace tbx
