// tamberlyx-monitor-sim: the status monitor's engine without the hardware.
// Starts the simulated printer chosen by TAMBERLYX_SIMULATED_PRINTER (usb, the
// default), runs the printer model on it and prints every published change of
// the printer list, the selection and the status, with the engine's own trace
// lines in between.
//
//   tamberlyx-monitor-sim [--code N] [--toner N] [--interval SECONDS] [--polls N]
//                         [--unplug-after N]
//
// --code/--toner set what the printer answers (default 1 and 80), --interval the
// poll interval (default 6), --polls how many poll intervals to run (default 3),
// --unplug-after unplugs the printer after that many intervals. The SNMP
// discovery runs too, so it starts only inside scripts/sandbox.
#include "monitor/PrinterModel.h"
#include "sim/net/Sandbox.h"
#include "sim/printer/UsbPrinter.h"

#include <QCoreApplication>
#include <cstdlib>
#include <iostream>
#include <string>

using namespace tbx;

int main(int argc, char** argv) {
    if (!sim::insideSandbox("tamberlyx-monitor-sim")) {
        return 2;
    }
    QCoreApplication app(argc, argv);
    int code = 1, toner = 80, polls = 3, unplugAfter = -1;
    double interval = 6.0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) {
            std::cerr << "usage: see the top of sim/tools/MonitorSimMain.cpp\n";
            return 2;
        }
        const std::string value = argv[++i];
        if (arg == "--code") {
            code = std::stoi(value);
        } else if (arg == "--toner") {
            toner = std::stoi(value);
        } else if (arg == "--interval") {
            interval = std::stod(value);
        } else if (arg == "--polls") {
            polls = std::stoi(value);
        } else if (arg == "--unplug-after") {
            unplugAfter = std::stoi(value);
        } else {
            std::cerr << "unknown option " << arg << "\n";
            return 2;
        }
    }
    setenv("TAMBERLYX_SIMULATED_PRINTER", "usb", 0);
    std::shared_ptr<sim::UsbPrinter> printer;
    try {
        printer = sim::simulatedPrinterFromEnvironment();
        if (!printer) {
            std::cerr << "TAMBERLYX_SIMULATED_PRINTER names no simulated printer (use usb)\n";
            return 2;
        }
    } catch (const std::exception& error) {
        std::cerr << error.what() << "\n";
        return 2;
    }
    printer->setStatus(static_cast<std::uint16_t>(code), static_cast<std::uint8_t>(toner));

    auto model = PrinterModel::make({.pollInterval = dispatch::Seconds(interval)});
    QObject::connect(model.get(), &PrinterModel::printerListChanged, [&] {
        std::cout << "[list]";
        for (const auto& p : model->printerList()) {
            std::cout << " " << p.label();
        }
        std::cout << std::endl;
    });
    QObject::connect(model.get(), &PrinterModel::selectedPrinterChanged,
                     [&] { std::cout << "[selected] " << model->selectedPrinter().label() << std::endl; });
    QObject::connect(model.get(), &PrinterModel::statusInfoChanged, [&] {
        const auto& s = model->statusInfo();
        std::cout << "[status] " << s.level << " " << s.message << " / " << s.discription << " / " << s.toner
                  << "%" << std::endl;
    });
    for (int n = 1; n <= polls; ++n) {
        dispatch::runMainFor(dispatch::Seconds(interval));
        if (n == unplugAfter) {
            std::cout << "[unplug]" << std::endl;
            sim::usb::Bus::current()->unplug(printer->device());
        }
    }
    model->stopUpdateStatus();
    return 0;
}
