#include "sim/printer/SimulatedPrinters.h"

#include "sim/printer/UsbCommandPipes.h"

namespace tbx::sim {

namespace {

constexpr const char* kStatusObject = ".1.3.6.1.4.1.53303.2.7.1.1";
constexpr const char* kTonerObject = ".1.3.6.1.4.1.53303.2.7.4.1";

std::vector<AgentObject> printerObjects(const std::string& status, int toner) {
    return {{kStatusObject, "string", status}, {kTonerObject, "integer", std::to_string(toner)}};
}

} // namespace

SimulatedPrinters::SimulatedPrinters(SimulatedPrintersOptions options) {
    useEmptySnmpConfiguration();
    bus = usb::Bus::install();
    if (options.usbPrinter) {
        usb = std::make_shared<UsbPrinter>();
        serveCommandPipes(*usb->device(), responder);
        bus->plug(usb->device());
    }
    if (options.netPrinter) {
        const auto hosts = sandboxTestHosts();
        if (hosts.empty()) {
            problem = "no sandbox test host for the network printer (run under scripts/sandbox --hosts 1)";
            return;
        }
        const SnmpAgentSpec spec{.makerObjects = printerObjects(options.netStatus, options.netToner)};
        if (!agents.start(hosts.front(), spec)) {
            problem = "snmpd did not start: " + agents.problem();
            return;
        }
        netHost = hosts.front();
        netAddress = netHost.address;
        netStatus_ = options.netStatus;
        netToner_ = options.netToner;
    }
}

SimulatedPrinters::~SimulatedPrinters() {
    if (bus) {
        bus->unplugAll();
    }
}

bool SimulatedPrinters::setNetStatus(const std::string& status, int toner) {
    if (netAddress.empty() || !agents.setMakerObjects(netHost, printerObjects(status, toner))) {
        return false;
    }
    netStatus_ = status;
    netToner_ = toner;
    return true;
}

} // namespace tbx::sim
