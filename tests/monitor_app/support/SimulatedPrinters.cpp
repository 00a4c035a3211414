#include "tests/monitor_app/support/SimulatedPrinters.h"

#include "sim/printer/UsbCommandPipes.h"
#include "wifi_setup/SharedNetworkModel.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <thread>

namespace tbx::test {

namespace {
constexpr const char* kStatusObject = ".1.3.6.1.4.1.53303.2.7.1.1";
constexpr const char* kTonerObject = ".1.3.6.1.4.1.53303.2.7.4.1";
} // namespace

SimulatedPrinters::SimulatedPrinters(SimulatedPrintersOptions options) {
    useEmptySnmpConfiguration();
    bus = sim::usb::Bus::install();
    if (options.usbPrinter) {
        usb = std::make_shared<sim::UsbPrinter>();
        sim::serveCommandPipes(*usb->device(), responder);
        bus->plug(usb->device());
    }
    if (options.netPrinter) {
        const auto hosts = sandboxTestHosts();
        if (hosts.empty()) {
            problem = "no sandbox test host for the network printer (run under scripts/sandbox --hosts 1)";
            return;
        }
        const SnmpAgentSpec spec{
            .makerObjects = {{kStatusObject, "string", options.netStatus},
                             {kTonerObject, "integer", std::to_string(options.netToner)}}};
        if (!agents.start(hosts.front(), spec)) {
            problem = "snmpd did not start: " + agents.log(hosts.front());
            return;
        }
        netAddress = hosts.front().address;
    }
}

SimulatedPrinters::~SimulatedPrinters() {
    if (bus) {
        bus->unplugAll();
    }
}

std::shared_ptr<PrinterModel> SimulatedPrinters::makePrinterModel(PrinterModel::Options options) {
    return PrinterModel::make(options);
}

std::unique_ptr<NetworkModel>
SimulatedPrinters::makeNetworkModel(const std::shared_ptr<PrinterModel>& printerModel,
                                    std::chrono::milliseconds listPause) {
    NetworkModelEnvironment environment;
    environment.pause = [listPause](std::chrono::milliseconds) { std::this_thread::sleep_for(listPause); };
    return tbx::makeNetworkModel(printerModel, std::move(environment));
}

bool waitUntil(const std::function<bool()>& done, double seconds) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > seconds * 1000) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

} // namespace tbx::test
