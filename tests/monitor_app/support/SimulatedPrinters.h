// The status monitor's world for the window tests and the demo: a simulated
// USB printer (status control request and the Wi-Fi command channel) on a
// simulated bus, a network printer played by snmpd on the sandbox's first test
// host, and the two models wired together as the program wires them.
#pragma once

#include "monitor/PrinterModel.h"
#include "sim/printer/CommandResponder.h"
#include "sim/printer/UsbPrinter.h"
#include "sim/usb/SimulatedUsb.h"
#include "tests/support/SnmpAgents.h"
#include "wifi_setup/NetworkModel.h"

#include <chrono>
#include <memory>
#include <string>

namespace tbx::test {

struct SimulatedPrintersOptions {
    bool usbPrinter = true;
    bool netPrinter = true;
    // The network printer's status object (a string beginning with the code
    // and a comma) and toner object.
    std::string netStatus = "1,ready";
    int netToner = 57;
};

class SimulatedPrinters {
public:
    explicit SimulatedPrinters(SimulatedPrintersOptions options = {});
    ~SimulatedPrinters();

    // False (with the reason in `problem`) when the network printer did not start.
    bool ready() const { return problem.empty(); }

    std::shared_ptr<PrinterModel> makePrinterModel(PrinterModel::Options options = {});
    // Sends its commands to the printer that `printerModel` has selected, as
    // the program's model does; it waits `listPause` (not 2 seconds) before it
    // asks again for a network list that is not ready.
    std::unique_ptr<NetworkModel> makeNetworkModel(const std::shared_ptr<PrinterModel>& printerModel,
                                                   std::chrono::milliseconds listPause = {});

    std::shared_ptr<sim::usb::Bus> bus;
    std::shared_ptr<sim::UsbPrinter> usb;
    std::shared_ptr<sim::CommandResponder> responder = std::make_shared<sim::CommandResponder>();
    SnmpAgents agents;
    std::string netAddress;
    std::string problem;
};

// Runs the main event loop until `done` holds or `seconds` have passed.
bool waitUntil(const std::function<bool()>& done, double seconds = 30.0);

} // namespace tbx::test
