// The status monitor's printers without the hardware, for the window's tests,
// the demo and tamberlyx-statemonitor-sim: a simulated USB printer (status
// control request and the Wi-Fi command channel) on a simulated bus, and a
// network printer played by snmpd on the sandbox's first test host. The
// agent's processes are stopped by their pids when the object ends.
#pragma once

#include "sim/net/SnmpAgents.h"
#include "sim/printer/CommandResponder.h"
#include "sim/printer/UsbPrinter.h"
#include "sim/usb/SimulatedUsb.h"

#include <memory>
#include <string>

namespace tbx::sim {

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
    // Installs the simulated bus as the USB backend (with the USB printer
    // plugged in when asked for) and starts the network printer.
    explicit SimulatedPrinters(SimulatedPrintersOptions options = {});
    ~SimulatedPrinters();
    SimulatedPrinters(const SimulatedPrinters&) = delete;
    SimulatedPrinters& operator=(const SimulatedPrinters&) = delete;

    // False (with the reason in `problem`) when the network printer did not start.
    bool ready() const { return problem.empty(); }

    // The network printer answers with this status object and toner level from
    // now on; false when there is no network printer.
    bool setNetStatus(const std::string& status, int toner);
    // What the network printer answers now.
    const std::string& netStatus() const { return netStatus_; }
    int netToner() const { return netToner_; }

    std::shared_ptr<usb::Bus> bus;
    std::shared_ptr<UsbPrinter> usb;
    std::shared_ptr<CommandResponder> responder = std::make_shared<CommandResponder>();
    SnmpAgents agents;
    TestHost netHost;
    std::string netAddress; // empty without a network printer
    std::string problem;

private:
    std::string netStatus_;
    int netToner_ = 0;
};

} // namespace tbx::sim
