// tamberlyx-monitor-sim: the status monitor's engine without the hardware.
// Starts the simulated printer chosen by TAMBERLYX_SIMULATED_PRINTER (usb, the
// default), runs the printer model on it and prints every published change of
// the printer list, the selection and the status, with the engine's own trace
// lines in between.
//
//   tamberlyx-monitor-sim [--code N] [--toner N] [--interval SECONDS] [--polls N]
//                         [--unplug-after N]
//
// --help lists the options with their defaults and ranges (MonitorSimOptions).
// A bad value is refused with one line and exit status 2. The SNMP discovery
// runs too, so it starts only inside scripts/sandbox.
#include "monitor/PrinterModel.h"
#include "sim/net/Sandbox.h"
#include "sim/printer/UsbPrinter.h"
#include "sim/tools/ModelTrace.h"
#include "sim/tools/MonitorSimOptions.h"

#include <QCoreApplication>
#include <cstdlib>
#include <iostream>
#include <string>
#include <variant>
#include <vector>

using namespace tbx;

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const auto parsed = sim::parseMonitorSimOptions(args);
    if (const auto* reason = std::get_if<std::string>(&parsed)) {
        std::cerr << "tamberlyx-monitor-sim: " << *reason << "\n";
        return 2;
    }
    const sim::MonitorSimOptions o = std::get<sim::MonitorSimOptions>(parsed);
    if (o.help) {
        std::cout << sim::monitorSimUsage();
        return 0;
    }
    if (!sim::insideSandbox("tamberlyx-monitor-sim")) {
        return 2;
    }
    QCoreApplication app(argc, argv);
    setenv("TAMBERLYX_SIMULATED_PRINTER", "usb", 0);
    std::shared_ptr<sim::UsbPrinter> printer;
    try {
        printer = sim::simulatedPrinterFromEnvironment();
        if (!printer) {
            std::cerr << "tamberlyx-monitor-sim: TAMBERLYX_SIMULATED_PRINTER names no simulated printer (use "
                         "usb)\n";
            return 2;
        }
    } catch (const std::exception& error) {
        std::cerr << "tamberlyx-monitor-sim: " << error.what() << "\n";
        return 2;
    }
    printer->setStatus(static_cast<std::uint16_t>(o.code), static_cast<std::uint8_t>(o.toner));

    auto model = PrinterModel::make({.pollInterval = dispatch::Seconds(o.interval)});
    sim::traceModelChanges(model, std::cout);
    for (int n = 1; n <= o.polls; ++n) {
        dispatch::runMainFor(dispatch::Seconds(o.interval));
        if (n == o.unplugAfter) {
            std::cout << "[unplug]" << std::endl;
            sim::usb::Bus::current()->unplug(printer->device());
        }
    }
    model->stop(); // and wait for a status request still out, which uses the bus
    return 0;
}
