// tamberlyx-scan-sim: one whole scan without the hardware. Starts the simulated
// scanner (on the simulated USB bus, or on a loopback TCP port), runs the scanner
// model's startScan with the chosen settings through the product's services,
// then lists the files written (control characters in their paths escaped as
// the console shows them) and the time the scan took. Options: --help, or
// sim/tools/ScanSimOptions.cpp. A bad option is refused with one line and exit
// status 2 before anything is made; a failed scan exits with 1.
//
// The transport defaults to TAMBERLYX_SIMULATED_SCANNER (usb or tcp), else tcp.
// Run it inside scripts/sandbox: the TCP scanner listens on loopback only.
#include "platform/foundation/Localization.h"
#include "platform/iokit/Backend.h"
#include "scanning/ScanOptions.h"
#include "scanning/ScannerModel.h"
#include "scanning/SocketScanProcess.h"
#include "sim/scanner/TcpScanner.h"
#include "sim/scanner/UsbScanner.h"
#include "sim/tools/ConsoleLines.h"
#include "sim/tools/FileListing.h"
#include "sim/tools/ScanSimOptions.h"

#include <QGuiApplication>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <string>
#include <sys/resource.h>
#include <vector>

using namespace tbx;
namespace fs = std::filesystem;

namespace {

std::int64_t indexIn(const std::vector<std::string>& list, const std::string& value) {
    return std::find(list.begin(), list.end(), value) - list.begin();
}

int refuse(const std::string& reason, int status) {
    // The reason may quote a path or option as given, control bytes and all.
    std::cerr << "tamberlyx-scan-sim: " << sim::escapedControls(reason) << "\n";
    return status;
}

} // namespace

int main(int argc, char** argv) {
    const char* envTransport = std::getenv("TAMBERLYX_SIMULATED_SCANNER");
    const std::vector<std::string> args(argv + 1, argv + argc);
    const auto parsed = sim::parseScanSimOptions(args, envTransport ? envTransport : "");
    if (const auto* reason = std::get_if<std::string>(&parsed)) {
        return refuse(*reason, 2);
    }
    const sim::ScanSimOptions o = std::get<sim::ScanSimOptions>(parsed);
    if (o.help) {
        std::cout << sim::scanSimUsage();
        return 0;
    }
    if (!o.out.empty()) {
        if (auto problem = sim::outputFolderProblem(o.out)) {
            return refuse(*problem, 2);
        }
    }

    if (!std::getenv("QT_QPA_PLATFORM")) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    QGuiApplication app(argc, argv);

    // The output folder is made only now, and removed again when the scan
    // leaves nothing in a folder this run made.
    std::string out = o.out;
    fs::path firstMade; // the outermost folder this run made, if any
    if (out.empty()) {
        char pattern[] = "/tmp/tamberlyx-scan-sim-XXXXXX";
        if (!mkdtemp(pattern)) {
            return refuse(std::string("cannot make a folder in /tmp: ") + std::strerror(errno), 1);
        }
        out = pattern;
        firstMade = out;
    } else {
        std::error_code ec;
        for (fs::path p = fs::absolute(out, ec); !ec && !p.empty() && !fs::exists(p, ec);
             p = p.parent_path()) {
            firstMade = p;
            if (p == p.parent_path()) {
                break;
            }
        }
        fs::create_directories(out, ec);
        if (ec) {
            return refuse("cannot make the folder " + out + ": " + ec.message(), 1);
        }
    }

    sim::ScannerScript script;
    script.pages = o.pages;
    if (o.trailerPause >= 0) {
        script.tcpTrailerPause = std::chrono::milliseconds(o.trailerPause);
    }
    if (o.jamAfter >= 0) {
        script.endStatus = 0xC3; // paper jam
        script.endStatusAfterPages = o.jamAfter;
    }
    script.misbehaviour = o.fault;
    script.faultAfterPages = o.faultAfter;
    std::shared_ptr<sim::usb::Bus> bus;
    std::unique_ptr<sim::UsbScanner> usbScanner;
    std::unique_ptr<sim::TcpScanner> tcpScanner;
    Device scanner("Tamberlyx", "Tamberlyx", "USB", "", 0x37, 0x356C);
    if (o.transport == "usb") {
        bus = sim::usb::Bus::install();
        usbScanner = std::make_unique<sim::UsbScanner>(script);
        bus->plug(usbScanner->device());
    } else {
        tcpScanner = std::make_unique<sim::TcpScanner>(script);
        setenv("TAMBERLYX_SCANNER_PORT", std::to_string(tcpScanner->port()).c_str(), 1);
        scanner = Device("Tamberlyx", "Tamberlyx(127.0.0.1)", "Net", "127.0.0.1", 0x37, 0x356C);
    }

    UIParams ui{.scannerName = "Tamberlyx",
                .scanSourceIndex = indexIn(scanSourceOption(), o.source),
                .colorModeIndex = indexIn(colorModeOption(), o.mode),
                .resolutionIndex = indexIn(resolutionOption(), o.resolution),
                .pageSizeIndex = indexIn(pageSizeOption(), o.size),
                .saveTypeIndex = o.pdf ? 1 : 0,
                .combineTypeIndex = indexIn(combineTypeOption(), o.combine),
                .savePrefix = "scan",
                .saveDir = out,
                .saveFileName = "scan"};

    ScannerServices services = productScannerServices();
    if (o.readTimeout > 0) {
        services.runSocketScan = [timeout = std::chrono::milliseconds(o.readTimeout)](
                                     const Device& device, const std::shared_ptr<ScanCommand>& command) {
            SocketScanProcess::Options options;
            options.port = socketScanPort();
            options.timeouts.read = timeout;
            return SocketScanProcess(device, command, std::move(options)).startScan();
        };
    }
    auto model = ScannerModel::make(scanner, std::move(services));
    const auto start = std::chrono::steady_clock::now();
    model->startScan(ui);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const bool failed = model->alertTitle.get() == localizedString("error");

    std::cout << "\n== " << model->alertTitle.get() << ": " << model->alertMessage.get() << "\n";
    std::size_t files = 0;
    std::error_code ec;
    if (!firstMade.empty() && fs::is_empty(out, ec)) {
        // Only empty folders go: fs::remove refuses anything else.
        fs::path p = fs::absolute(out, ec);
        while (fs::remove(p, ec) && p != firstMade) {
            p = p.parent_path();
        }
        std::cout << "== nothing was written; " << sim::escapedControls(out) << " was removed\n";
    } else {
        std::cout << "== files under " << sim::escapedControls(out) << ":\n";
        files += sim::listFiles(std::cout, out, "   ");
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::cout << "== " << files << " file(s); scan took " << seconds << " s";
    if (seconds > 0 && !failed) {
        std::cout << ", " << o.pages / seconds << " pages/s";
    }
    std::cout << "; peak memory " << std::fixed << std::setprecision(1) << usage.ru_maxrss / 1024.0
              << " MiB\n";
    if (bus && usbScanner) {
        bus->unplug(usbScanner->device());
    }
    return failed ? 1 : 0;
}
