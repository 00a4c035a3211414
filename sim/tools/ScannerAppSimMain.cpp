// tamberlyx-scanner-sim: the scanner application Tamberlyx_Scanner with the
// simulated Tamberlyx scanner attached, for users and demos without the
// hardware. TAMBERLYX_SIMULATED_SCANNER chooses where the scanner sits:
//   usb  on a simulated USB bus (the default), found by the USB discovery;
//   tcp  on a loopback TCP port, announced to the form's discovery as the
//        network scanner 127.0.0.1 (the SNMP broadcast never covers loopback).
// The real USB bus is never opened. Discovery still broadcasts on every local
// subnet, so the program runs only inside scripts/sandbox.
//
//   tamberlyx-scanner-sim [--pages N] [--scan-into DIR --screenshot FILE.png]
//
// With --scan-into it makes one scan through the form: waits for discovery,
// types DIR into the folder field, presses the scan button, waits for the
// result, saves a picture of the window to FILE.png and ends (status 0 when the
// scan succeeded). Without it the window stays open for the user.
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Localization.h"
#include "scanner_app/ContentView.h"
#include "scanner_app/ScannerApplication.h"
#include "scanning/AutoDetectDevices.h"
#include "scanning/ScanOptions.h"
#include "sim/net/Sandbox.h"
#include "sim/scanner/TcpScanner.h"
#include "sim/scanner/UsbScanner.h"
#include "sim/tools/FileListing.h"
#include "sim/usb/SimulatedUsb.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

using namespace tbx;

namespace {

// One scan through the window's form, as a user would make it.
int scanThroughForm(scanner_app::ContentView& window, const std::string& dir, const std::string& screenshot) {
    auto& form = window.form();
    auto& model = form.model();
    if (!dispatch::runMainUntil([&] { return !model.scannerList->empty() || model.showAlert; },
                                std::chrono::seconds(60)) ||
        model.scannerList->empty()) {
        std::cerr << "no scanner found: " << model.alertMessage.get() << "\n";
        return 1;
    }
    std::cerr << "found " << model.scannerList->front().label << " (" << model.scannerList->front().type
              << ")\n";
    std::filesystem::create_directories(dir);
    window.findChild<QLineEdit*>("saveDir")->setText(QString::fromStdString(dir));
    window.findChild<QPushButton*>("scan")->click();
    if (!dispatch::runMainUntil([&] { return !form.state().scanning; }, std::chrono::minutes(5))) {
        std::cerr << "the scan did not end\n";
        return 1;
    }
    dispatch::runMainFor(std::chrono::milliseconds(200)); // the result's render and alert
    if (!window.grab().save(QString::fromStdString(screenshot), "PNG")) {
        std::cerr << "could not write " << screenshot << "\n";
        return 1;
    }
    std::cerr << model.alertTitle.get() << ": " << model.alertMessage.get() << "\n";
    std::cerr << "window picture: " << screenshot << "\n";
    sim::listFiles(std::cerr, dir, "  ");
    return model.alertTitle.get() == localizedString("info") ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (!sim::insideSandbox("tamberlyx-scanner-sim")) {
        return 2;
    }
    const char* where = std::getenv("TAMBERLYX_SIMULATED_SCANNER");
    const std::string transport = where != nullptr && *where != '\0' ? where : "usb";
    if (transport != "usb" && transport != "tcp") {
        std::cerr << "TAMBERLYX_SIMULATED_SCANNER must be usb or tcp\n";
        return 2;
    }

    QApplication app(argc, argv);
    int pages = 2;
    std::string scanInto, screenshot;
    const QStringList args = QApplication::arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        const auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) {
                std::cerr << args[i].toStdString() << " needs a value\n";
                std::exit(2);
            }
            return args[++i].toStdString();
        };
        if (args[i] == "--pages") {
            pages = std::stoi(value());
        } else if (args[i] == "--scan-into") {
            scanInto = value();
        } else if (args[i] == "--screenshot") {
            screenshot = value();
        } else {
            std::cerr << "unknown argument " << args[i].toStdString() << "\n";
            return 2;
        }
    }
    if (scanInto.empty() != screenshot.empty()) {
        std::cerr << "--scan-into and --screenshot go together\n";
        return 2;
    }
    scanner_app::configureApplication(app);

    sim::ScannerScript script;
    script.pages = pages;
    auto bus = sim::usb::Bus::install(); // also keeps the real USB bus closed in tcp mode
    std::unique_ptr<sim::UsbScanner> usbScanner;
    std::unique_ptr<sim::TcpScanner> tcpScanner;
    scanner_app::FormServices services;
    if (transport == "usb") {
        usbScanner = std::make_unique<sim::UsbScanner>(script);
        bus->plug(usbScanner->device());
    } else {
        tcpScanner = std::make_unique<sim::TcpScanner>(script);
        setenv("TAMBERLYX_SCANNER_PORT", std::to_string(tcpScanner->port()).c_str(), 1);
        const std::string record = "127.0.0.1," + ZelkDevices().front().oid + "|";
        services.scanner.getDevicesList = [record] {
            auto found = devicesFromDiscoveryText(record);
            for (auto& device : getDevicesList()) {
                found.push_back(std::move(device));
            }
            return found;
        };
    }

    auto* window = scanner_app::ContentView::open(services);
    if (!scanInto.empty()) {
        const int status = scanThroughForm(*window, scanInto, screenshot);
        QApplication::closeAllWindows();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        ScannerModel::waitForBackgroundWork();
        if (usbScanner) {
            bus->unplug(usbScanner->device());
        }
        return status;
    }
    const int status = scanner_app::runEventLoop(app);
    if (usbScanner) {
        bus->unplug(usbScanner->device());
    }
    return status;
}
