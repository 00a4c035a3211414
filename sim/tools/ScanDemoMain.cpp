// tamberlyx-scan-demo OUTDIR
// Runs the scanner engine against the simulated Tamberlyx scanner attached on a
// simulated USB bus: discovery, then a few scans with different settings, each
// into its own receive folder under OUTDIR. Discovery broadcasts on every local
// subnet, so this program runs only inside scripts/sandbox. The engine's trace
// lines go to standard output, the summary to standard error. --help (or -h)
// prints the usage; any other option, a missing OUTDIR or a second one is
// refused with the usage and exit status 2, before anything is made.
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Localization.h"
#include "scanning/ScanOptions.h"
#include "scanning/ScannerModel.h"
#include "sim/net/Sandbox.h"
#include "sim/scanner/UsbScanner.h"
#include "sim/tools/ConsoleLines.h"
#include "sim/tools/FileListing.h"
#include "sim/tools/ToolOptions.h"
#include "sim/usb/SimulatedUsb.h"

#include <QGuiApplication>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Demo {
    const char* title;
    tbx::UIParams settings;
    int pages;
};

tbx::UIParams settings(std::int64_t source, std::int64_t mode, std::int64_t saveType, std::int64_t combine,
                       std::int64_t rotate, const std::string& dir) {
    return {.scannerName = "Tamberlyx",
            .scanSourceIndex = source,
            .colorModeIndex = mode,
            .resolutionIndex = 0,
            .pageSizeIndex = 0,
            .saveTypeIndex = saveType,
            .contentTypeIndex = 0,
            .rotateAngleIndex = rotate,
            .combineTypeIndex = combine,
            .savePrefix = "file",
            .saveDir = dir,
            .saveFileName = "file"};
}

std::string usage() {
    return "usage: tamberlyx-scan-demo OUTDIR\n"
           "Scans from the simulated scanner with a few settings, each into its own folder under OUTDIR\n"
           "(run it inside scripts/sandbox).\n" +
           tbx::sim::usageLine("--help", "this text");
}

// Why the command line is refused, or nothing when it names one OUTDIR.
std::optional<std::string> commandLineProblem(const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
        if (arg.size() > 1 && arg.front() == '-') {
            return "unknown option " + tbx::sim::escapedControls(arg);
        }
    }
    if (args.size() != 1) {
        return "one OUTDIR is needed, not " + std::to_string(args.size());
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (tbx::sim::asksForHelp(args)) {
        std::cout << usage();
        return 0;
    }
    if (const auto problem = commandLineProblem(args)) {
        std::cerr << "tamberlyx-scan-demo: " << *problem << "\n" << usage();
        return 2;
    }
    if (!tbx::sim::insideSandbox("tamberlyx-scan-demo")) {
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QGuiApplication app(argc, argv);
    const std::string out = argv[1];
    std::filesystem::create_directories(out);

    auto bus = tbx::sim::usb::Bus::install();
    const Demo demos[] = {
        {"grey pages from the feeder, one PDF", settings(1, 1, 1, 0, 0, out + "/feeder-grey-pdf"), 3},
        {"black-and-white flatbed page as BMP", settings(2, 2, 0, 0, 1, out + "/flatbed-text-bmp"), 1},
        {"colour pages combined side by side as JPEG",
         settings(1, 0, 0, 1, 0, out + "/feeder-colour-combined"), 2},
    };
    int failures = 0;
    for (const auto& demo : demos) {
        tbx::sim::ScannerScript script;
        script.pages = demo.pages;
        tbx::sim::UsbScanner scanner(script);
        bus->plug(scanner.device());
        std::filesystem::create_directories(demo.settings.saveDir);

        auto model = tbx::ScannerModel::make();
        tbx::dispatch::runMainUntil([&] { return !model->scannerList->empty() || model->showAlert; },
                                    std::chrono::seconds(30));
        std::cerr << "\n-- " << demo.title << "\n";
        if (model->scannerList->empty()) {
            std::cerr << "no scanner found: " << model->alertMessage.get() << "\n";
            ++failures;
            bus->unplug(scanner.device());
            continue;
        }
        std::cerr << "found " << model->scannerList->front().label << " (" << model->scannerList->front().type
                  << ")\n";
        model->selectScanner(0);
        model->startScan(demo.settings);
        std::cerr << model->alertTitle.get() << ": " << model->alertMessage.get() << "\n";
        if (model->alertTitle.get() != tbx::localizedString("info")) {
            ++failures;
        }
        tbx::sim::listFiles(std::cerr, demo.settings.saveDir, "  ", out);
        bus->unplug(scanner.device());
        // Two scans within one second would ask for the same receive folder name.
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    }
    return failures == 0 ? 0 : 1;
}
