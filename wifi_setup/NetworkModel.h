// The status monitor's Wi-Fi setup model: what it knows of the printer's
// access point, its client-mode settings and the networks the printer sees,
// the alert the last settings command left behind, the TCP client of the
// command channel, and the published switch of the Wi-Fi settings screen.
//
// Observing it: the model is a combine::ObservableObject. Only
// `showNetworkSetting` is published: every assignment, of the value it already
// holds too, sends `objectWillChange` first and then the new value to the
// field's subscribers. The other fields notify nobody.
//
// Commands: every read or write is one request and one reply through
// `sendCommand`, which goes over TCP for a selected printer of type "Net" and
// over the USB bulk pipes otherwise. Nothing here throws to the caller; a failed
// exchange is an absent reply.
//
// Threads. The model lives on the main thread: its fields are read and written
// there only. Each settings operation comes in two forms. The plain form
// exchanges on the calling thread and blocks it (bounded by the USB and TCP
// time-outs and, for the network list, the 2-second waits after "8011"). The
// form with a completion is the window's: it copies what the command needs on
// the main thread, runs the exchange on the model's own worker (one command at
// a time, in the order asked), and back on the main thread writes the result
// into the model in the order the plain form does, then calls the completion.
// A result is dropped (the model stays as it was; the completion gets none)
// when another printer was selected meanwhile or the model stopped its
// commands. While a command is out, `commandOut` says so (published).
// Destroying the model drops what is queued and waits only for the exchange in
// progress.
#pragma once

#include "device/Build.h"
#include "device/TCPCommunicator.h"
#include "platform/combine/Combine.h"
#include "platform/dispatch/Dispatch.h"
#include "wifi_setup/APSetting.h"
#include "wifi_setup/ClietModeSetting.h"
#include "wifi_setup/HotSpot.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tbx {

// The printer commands go to, as the printer model shows it.
struct CommandTarget {
    std::string type; // "USB", "Net", or empty for the no-printer entry
    std::uint16_t PID = 0;
    std::uint16_t VID = 0x0EFD;
    std::string name;
    std::string address; // the IPv4 address of a network printer
    // The registry location of a USB printer, telling two attached printers of
    // the same model apart; none: the first device with PID and VID.
    std::optional<std::uint32_t> usbLocation = std::nullopt;

    bool operator==(const CommandTarget&) const = default;
};

// The settings operations, as `commandOut` tells them apart.
enum class WifiCommand { getHotSpotList, getAPInfo, setAPInfo, getClientModeInfo, setClientModeInfo };
inline constexpr std::size_t kWifiCommandCount = 5;

// (show an alert, title, message) of a settings command.
struct AlertTriple {
    bool show = false;
    std::string title;
    std::string message;

    bool operator==(const AlertTriple&) const = default;
};

// What the model reaches outside itself. The status monitor wires the printer
// model's selected printer in (monitor/SharedData); tests give their own.
struct NetworkModelEnvironment {
    // The selected printer; unset: the no-printer entry.
    std::function<CommandTarget()> selectedPrinter;
    // The command port of a network printer.
    std::uint32_t commandPort = 9101;
    // Bounds of the TCP exchange: the connection, each write and the read.
    cfnetwork::StreamTimeouts tcpTimeouts{std::chrono::seconds(3), std::chrono::seconds(3),
                                          std::chrono::seconds(3)};
    // How long the network list's query waits before it asks again after "8011".
    std::chrono::milliseconds listRetryPause{2000};
    // The blocking wait before the network list is asked for again; unset: sleep
    // (on the worker, a wait that stopping the model's commands cuts short).
    std::function<void(std::chrono::milliseconds)> pause;
    // Requests of one network-list query at most, "8011" answers included.
    int hotSpotListRequests = 5;
};

class NetworkModel : public combine::ObservableObject {
public:
    using Communicator = TCPCommunicator<MonitorBuild>;
    // The result of a settings operation run on the worker; none when it was dropped.
    using Completion = std::function<void(std::optional<AlertTriple>)>;

    explicit NetworkModel(NetworkModelEnvironment environment = {});
    ~NetworkModel() override;

    const std::string GETHOTSPOTLISTCMD = "Checkwifiserver?";
    std::optional<ClietModeSetting> clietModeSetting;
    std::optional<APSetting> apSetting;
    std::vector<HotSpot> hotSpotList;
    bool showAlter = false;
    std::string alterTitle;
    std::string alterInfo;
    // Made for "192.168.1.1", port 9101; not connected. A plain-form exchange
    // with a network printer points it at that printer's own address first;
    // the worker's exchanges use a client of their own.
    std::unique_ptr<Communicator> tcpClient;
    combine::Published<bool> showNetworkSetting{*this, false};

    // Points the client at `url` (an address text) and connects it.
    void initTCPClient(const std::string& url);
    void disconnectTCPClient();

    // Rebuilds `hotSpotList` from the printer's list and marks the entry named
    // like `clietModeSetting.WifiName` in `orderInList`. While the printer
    // answers "8011" it asks again after 2 seconds, up to the request limit;
    // then the list stays empty.
    void getHotSpotList();
    AlertTriple getAPInfo();
    // Sends `apSetting`. A text field holding a control byte is refused
    // (nothing is sent). The encryption code the printer reported is sent back
    // unchanged unless the choice (encrypted or not) was changed since.
    AlertTriple setAPInfo();
    AlertTriple getClientModeInfo();
    // Sends the network at `orderInList` of `hotSpotList` with the password and
    // address settings of `clietModeSetting`. A position outside the list or a
    // field holding a control byte gives the parse-error result; nothing is sent.
    AlertTriple setClientModeInfo();

    // The same five on the model's worker; `done` runs on the main thread after
    // the result is in the model (the list: true when it was applied).
    void getHotSpotList(std::function<void(bool applied)> done);
    void getAPInfo(Completion done);
    void setAPInfo(Completion done);
    void getClientModeInfo(Completion done);
    void setClientModeInfo(Completion done);

    // True while an operation of this kind, started with a completion, is out.
    bool commandOut(WifiCommand command) const;
    // Drops the commands that are queued or out: their results are not
    // written and their completions get none; a network list waiting to ask
    // again stops waiting.
    void cancelCommands();
    // Cancels, then waits until the exchange in progress (if any) has ended.
    void stopCommands();

    // One request and its reply (absent when the exchange failed).
    std::optional<std::string> sendCommand(const std::string& cmd);
    std::optional<std::string> usbCommucation(const std::string& cmd);
    std::optional<std::string> tcpCommucation(const std::string& cmd);

    const NetworkModelEnvironment& environment() const { return environment_; }

private:
    struct Shared;
    class Channel;
    using Reply = std::optional<std::string>;
    // A write ready to go: the command, or the result that refused it unsent.
    struct Write {
        std::optional<AlertTriple> refused{};
        std::string command{};
        std::string encryptCode{};
    };

    CommandTarget selectedPrinter() const;
    void setAlert(std::string_view title, std::string_view info);

    // What the operations make of their replies, on the thread that owns the model.
    void applyHotSpotList(const Reply& reply);
    AlertTriple applyAPInfo(const Reply& reply);
    Write prepareAPWrite() const;
    AlertTriple applyAPWrite(const Reply& reply, const std::string& encryptCode);
    AlertTriple applyClientModeInfo(const Reply& reply);
    Write prepareClientModeWrite() const;
    AlertTriple applyClientModeWrite(const Reply& reply);

    // Runs `exchange` on the worker and `apply` with its reply back on the
    // main thread, unless the result is dropped (then `dropped`).
    void submit(WifiCommand command, std::function<Reply(Channel&)> exchange,
                std::function<void(const Reply&)> apply, std::function<void()> dropped);
    // One request whose reply `apply` turns into the result handed to `done`.
    void submitCommand(WifiCommand command, std::string request,
                       std::function<AlertTriple(const Reply&)> apply, Completion done);
    // A settings write: refused at once (nothing sent) or submitted as one request.
    void submitWrite(WifiCommand command, const Write& write, std::function<AlertTriple(const Reply&)> apply,
                     Completion done);
    void countOut(WifiCommand command, int change);

    NetworkModelEnvironment environment_;
    // The encryption code of the last good access-point read or write.
    std::optional<std::string> printerEncryptCode_;
    // The asynchronous operations out, per kind.
    combine::Published<std::array<int, kWifiCommandCount>> commandsOut_{*this, {}};
    std::shared_ptr<Shared> shared_;
    // Last: destroying it waits for the exchange in progress.
    dispatch::Queue worker_ = dispatch::Queue::serial("tamberlyx.wifi.worker");
};

} // namespace tbx
