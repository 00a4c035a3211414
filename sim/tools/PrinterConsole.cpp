#include "sim/tools/PrinterConsole.h"

#include "sim/tools/ConsoleLines.h"
#include "sim/tools/MonitorSimOptions.h"
#include "sim/tools/ToolOptions.h"

#include <algorithm>
#include <optional>
#include <sstream>
#include <variant>
#include <vector>

namespace tbx::sim {

namespace {

constexpr int kMaxListWait = 100;

std::vector<std::string> words(std::string_view line) {
    std::istringstream in{std::string(line)};
    std::vector<std::string> out;
    for (std::string word; in >> word;) {
        out.push_back(word);
    }
    return out;
}

std::string onOff(bool on) {
    return on ? "on" : "off";
}

} // namespace

std::string PrinterConsole::help() {
    return "Commands (one a line):\n"
           "  code N            the USB printer's status code, 0 to " +
           std::to_string(kMaxStatusCode) +
           "\n"
           "  toner N           the USB printer's toner level, 0 to " +
           std::to_string(kMaxTonerLevel) +
           " %\n"
           "  unplug | plug     take the USB printer off the bus or put it back\n"
           "  stall on|off      the USB printer's status requests stall\n"
           "  net code N        the network printer's status code\n"
           "  net toner N       the network printer's toner level\n"
           "  busy on|off       the USB printer answers Wi-Fi commands with \"busy\" (1001)\n"
           "  silent on|off     the USB printer does not answer Wi-Fi commands at all\n"
           "  list-wait N       its network list is \"not ready\" (8011) for the next N requests, 0 to " +
           std::to_string(kMaxListWait) +
           "\n"
           "  state             what the simulated printers answer now\n"
           "  help              this list\n"
           "  quit              close the window and stop\n";
}

std::string PrinterConsole::state() const {
    std::string text = "USB printer: ";
    if (printers_.usb) {
        const auto devices = printers_.bus->devices();
        const bool plugged =
            std::find(devices.begin(), devices.end(), printers_.usb->device()) != devices.end();
        text += std::string(plugged ? "plugged in" : "unplugged") + ", status code " +
                std::to_string(printers_.usb->statusCode()) + ", toner " +
                std::to_string(printers_.usb->toner()) + " %, stall " + onOff(stalled_) + ", busy " +
                onOff(busy_) + ", silent " + onOff(silent_);
    } else {
        text += "none";
    }
    text += "; network printer: ";
    if (printers_.netAddress.empty()) {
        return text + "none";
    }
    return text + printers_.netAddress + ", status \"" + printers_.netStatus() + "\", toner " +
           std::to_string(printers_.netToner()) + " %";
}

PrinterConsole::Reply PrinterConsole::run(std::string_view line) {
    const std::vector<std::string> w = words(line);
    if (w.empty()) {
        return {};
    }
    const std::string command = w.size() >= 2 && w[0] == "net" ? "net " + w[1] : w[0];
    const std::size_t argsAt = command.rfind("net ", 0) == 0 ? 2 : 1;
    const std::vector<std::string> args(w.begin() + long(std::min(argsAt, w.size())), w.end());

    // A command with one whole number in [low, high].
    const auto number = [&](long long low, long long high) -> std::variant<int, std::string> {
        if (args.size() != 1) {
            return command + " takes one number from " + std::to_string(low) + " to " + std::to_string(high);
        }
        const auto value = wholeNumber(args[0], low, high);
        if (!value) {
            return command + " must be a whole number from " + std::to_string(low) + " to " +
                   std::to_string(high) + ", not \"" + escapedControls(args[0]) + "\"";
        }
        return int(*value);
    };
    // A command with on or off.
    const auto flag = [&]() -> std::optional<bool> {
        if (args.size() == 1 && (args[0] == "on" || args[0] == "off")) {
            return args[0] == "on";
        }
        return std::nullopt;
    };
    const auto refused = [](const auto& result) { return std::get_if<std::string>(&result); };

    if (command == "help") {
        return {help()};
    }
    if (command == "quit" || command == "exit") {
        return {"quitting", true};
    }
    if (command == "state") {
        return {state()};
    }
    if (command.rfind("net ", 0) == 0 && printers_.netAddress.empty()) {
        return {"there is no network printer (run the tool with scripts/sandbox --hosts 1)"};
    }
    const bool usbCommand = command == "code" || command == "toner" || command == "unplug" ||
                            command == "plug" || command == "stall" || command == "busy" ||
                            command == "silent" || command == "list-wait";
    if (usbCommand && !printers_.usb) {
        return {"there is no USB printer"};
    }
    if (command == "code" || command == "toner") {
        const auto value = command == "code" ? number(0, kMaxStatusCode) : number(0, kMaxTonerLevel);
        if (const auto* reason = refused(value)) {
            return {*reason};
        }
        auto& usb = *printers_.usb;
        const int n = std::get<int>(value);
        usb.setStatus(command == "code" ? std::uint16_t(n) : usb.statusCode(),
                      command == "toner" ? std::uint8_t(n) : usb.toner());
        return {"USB printer: " + (command == "code" ? "status code " + std::to_string(n)
                                                     : "toner " + std::to_string(n) + " %")};
    }
    if (command == "unplug" || command == "plug") {
        if (!args.empty()) {
            return {command + " takes nothing more"};
        }
        if (command == "unplug") {
            printers_.bus->unplug(printers_.usb->device());
            return {"USB printer unplugged"};
        }
        printers_.bus->plug(printers_.usb->device());
        return {"USB printer plugged in"};
    }
    if (command == "net code" || command == "net toner") {
        const auto value = command == "net code" ? number(0, kMaxStatusCode) : number(0, kMaxTonerLevel);
        if (const auto* reason = refused(value)) {
            return {*reason};
        }
        const int n = std::get<int>(value);
        const std::string status =
            command == "net code" ? std::to_string(n) + ",status" : printers_.netStatus();
        const int toner = command == "net toner" ? n : printers_.netToner();
        if (!printers_.setNetStatus(status, toner)) {
            return {"the network printer's agent did not take the new values"};
        }
        return {"network printer: " + (command == "net code" ? "status code " + std::to_string(n)
                                                             : "toner " + std::to_string(n) + " %")};
    }
    if (command == "stall" || command == "busy" || command == "silent") {
        const auto on = flag();
        if (!on) {
            return {command + " takes on or off"};
        }
        if (command == "stall") {
            stalled_ = *on;
            printers_.usb->misbehave(*on ? UsbPrinter::Misbehaviour::stall : UsbPrinter::Misbehaviour::none);
            return {"USB printer: status requests " + std::string(*on ? "stall" : "answered")};
        }
        if (command == "busy") {
            busy_ = *on;
            printers_.responder->setBusy(*on);
            return {"USB printer: Wi-Fi commands answered " + std::string(*on ? "\"busy\"" : "normally")};
        }
        silent_ = *on;
        printers_.responder->setMisbehaviour(*on ? Misbehaviour::silence : Misbehaviour::none);
        // As with a real printer that keeps quiet, each read waits out its time-out.
        printers_.usb->device()->setTimeoutsTakeTime(*on);
        return {"USB printer: Wi-Fi commands " + std::string(*on ? "go unanswered" : "answered")};
    }
    if (command == "list-wait") {
        const auto value = number(0, kMaxListWait);
        if (const auto* reason = refused(value)) {
            return {*reason};
        }
        printers_.responder->setListNotReady(std::get<int>(value));
        return {"USB printer: the network list is not ready for the next " +
                std::to_string(std::get<int>(value)) + " requests"};
    }
    return {"unknown command \"" + escapedControls(line) + "\" (type help)"};
}

} // namespace tbx::sim
