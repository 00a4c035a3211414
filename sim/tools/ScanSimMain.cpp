// tamberlyx-scan-sim: one whole scan without the hardware. Starts the simulated
// scanner (on the simulated USB bus, or on a loopback TCP port), runs the scanner
// model's startScan with the chosen settings through the product's services,
// then lists the files written and the time the scan took.
//
//   tamberlyx-scan-sim [--transport usb|tcp] [--pages N] [--source AUTO|ADF|FB]
//                      [--mode CGRAY|GRAY256|TEXT] [--resolution 200dpi|300dpi|...]
//                      [--size A4|A5|B5(JIS)|Letter] [--combine NoCombine|CombinHorizontal|
//                       CombinVertical|IDCard] [--pdf] [--jam-after N] [--out DIR]
//                      [--trailer-pause MS]
//
// The transport defaults to TAMBERLYX_SIMULATED_SCANNER (usb or tcp), else tcp.
// Run it inside scripts/sandbox: the TCP scanner listens on loopback only.
#include "platform/foundation/Localization.h"
#include "platform/iokit/Backend.h"
#include "scanning/ScanOptions.h"
#include "scanning/ScannerModel.h"
#include "sim/scanner/TcpScanner.h"
#include "sim/scanner/UsbScanner.h"

#include <QGuiApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <sys/resource.h>

using namespace tbx;
namespace fs = std::filesystem;

namespace {

std::int64_t indexIn(const std::vector<std::string>& list, const std::string& value, const char* what) {
    const auto it = std::find(list.begin(), list.end(), value);
    if (it == list.end()) {
        std::cerr << "unknown " << what << ": " << value << "\n";
        std::exit(2);
    }
    return it - list.begin();
}

} // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    QGuiApplication app(argc, argv);

    const char* envTransport = std::getenv("TAMBERLYX_SIMULATED_SCANNER");
    std::string transport = envTransport && *envTransport ? envTransport : "tcp";
    std::string source = "ADF", mode = "GRAY256", resolution = "200dpi", size = "A4", combine = "NoCombine";
    std::string out;
    int pages = 2;
    int jamAfter = -1;
    int trailerPause = 0; // ms after each page trailer on TCP
    bool pdf = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::cerr << arg << " needs a value\n";
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--transport")
            transport = value();
        else if (arg == "--pages")
            pages = std::stoi(value());
        else if (arg == "--source")
            source = value();
        else if (arg == "--mode")
            mode = value();
        else if (arg == "--resolution")
            resolution = value();
        else if (arg == "--size")
            size = value();
        else if (arg == "--combine")
            combine = value();
        else if (arg == "--jam-after")
            jamAfter = std::stoi(value());
        else if (arg == "--out")
            out = value();
        else if (arg == "--trailer-pause")
            trailerPause = std::stoi(value());
        else if (arg == "--pdf")
            pdf = true;
        else {
            std::cerr << "unknown argument " << arg << "\n";
            return 2;
        }
    }
    if (transport != "usb" && transport != "tcp") {
        std::cerr << "transport must be usb or tcp\n";
        return 2;
    }
    if (out.empty()) {
        char pattern[] = "/tmp/tamberlyx-scan-sim-XXXXXX";
        if (!mkdtemp(pattern)) {
            std::perror("mkdtemp");
            return 1;
        }
        out = pattern;
    }
    fs::create_directories(out);

    sim::ScannerScript script;
    script.pages = pages;
    script.tcpTrailerPause = std::chrono::milliseconds(trailerPause);
    if (jamAfter >= 0) {
        script.endStatus = 0xC3; // paper jam
        script.endStatusAfterPages = jamAfter;
    }
    std::shared_ptr<sim::usb::Bus> bus;
    std::unique_ptr<sim::UsbScanner> usbScanner;
    std::unique_ptr<sim::TcpScanner> tcpScanner;
    Device scanner("Tamberlyx", "Tamberlyx", "USB", "", 0x37, 0x356C);
    if (transport == "usb") {
        bus = sim::usb::Bus::install();
        usbScanner = std::make_unique<sim::UsbScanner>(script);
        bus->plug(usbScanner->device());

    } else {
        tcpScanner = std::make_unique<sim::TcpScanner>(script);
        setenv("TAMBERLYX_SCANNER_PORT", std::to_string(tcpScanner->port()).c_str(), 1);
        scanner = Device("Tamberlyx", "Tamberlyx(127.0.0.1)", "Net", "127.0.0.1", 0x37, 0x356C);
    }

    UIParams ui{.scannerName = "Tamberlyx",
                .scanSourceIndex = indexIn(scanSourceOption(), source, "source"),
                .colorModeIndex = indexIn(colorModeOption(), mode, "mode"),
                .resolutionIndex = indexIn(resolutionOption(), resolution, "resolution"),
                .pageSizeIndex = indexIn(pageSizeOption(), size, "page size"),
                .saveTypeIndex = pdf ? 1 : 0,
                .combineTypeIndex = indexIn(combineTypeOption(), combine, "combine mode"),
                .savePrefix = "scan",
                .saveDir = out,
                .saveFileName = "scan"};

    auto model = ScannerModel::make(scanner);
    const auto start = std::chrono::steady_clock::now();
    model->startScan(ui);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::cout << "\n== " << model->alertTitle.get() << ": " << model->alertMessage.get() << "\n";
    std::cout << "== files under " << out << ":\n";
    std::size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(out)) {
        if (entry.is_regular_file()) {
            std::cout << "   " << entry.path().string() << " (" << entry.file_size() << " bytes)\n";
            ++files;
        }
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::cout << "== " << files << " file(s); scan took " << seconds << " s";
    if (seconds > 0 && pages > 0) {
        std::cout << ", " << pages / seconds << " pages/s";
    }
    std::cout << "; peak memory " << usage.ru_maxrss / 1024 << " MiB\n";
    if (bus && usbScanner) {
        bus->unplug(usbScanner->device());
    }
    return model->alertTitle.get() == localizedString("error") ? 1 : 0;
}
