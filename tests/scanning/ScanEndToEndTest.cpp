// Whole scans through the scanner model and the product's services, against the
// simulated scanner on both transports: the files in the receive folder (or the
// PDF beside it), their pixel sizes, and the model's alert.
#include "platform/foundation/Localization.h"
#include "platform/iokit/Backend.h"
#include "scanning/ScanOptions.h"
#include "scanning/ScannerModel.h"
#include "sim/scanner/TcpScanner.h"
#include "sim/scanner/UsbScanner.h"

#include <QImage>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>

using namespace tbx;
namespace fs = std::filesystem;
namespace simusb = tbx::sim::usb;

namespace {

enum class Transport { usb, tcp };

struct Setting {
    std::string name;
    std::string source; // "AUTO", "ADF", "FB"
    std::string mode;   // "CGRAY", "GRAY256", "TEXT"
    int pages;
    std::int64_t combineIndex = 0; // NoCombine, CombinHorizontal, CombinVertical, IDCard
    bool pdf = false;
};

std::int64_t indexOf(const std::vector<std::string>& list, const std::string& value) {
    return std::find(list.begin(), list.end(), value) - list.begin();
}

class ScanEndToEndTest : public testing::TestWithParam<Transport> {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tbx-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        saveDir = pattern;
        if (GetParam() == Transport::usb) {
            bus = simusb::Bus::install();
            baseline = iokit::liveObjectCounts();
        }
    }
    void TearDown() override {
        unsetenv("TAMBERLYX_SCANNER_PORT");
        if (bus) {
            if (usbScanner) {
                bus->unplug(usbScanner->device());
            }
            EXPECT_EQ(iokit::liveObjectCounts(), baseline) << iokit::describe(iokit::liveObjectCounts());
        }
        fs::remove_all(saveDir);
    }

    // Attaches a simulated scanner with this script and answers the device to scan from.
    Device attach(const sim::ScannerScript& script) {
        if (GetParam() == Transport::usb) {
            if (usbScanner) {
                bus->unplug(usbScanner->device());
            }
            usbScanner = std::make_unique<sim::UsbScanner>(script);
            bus->plug(usbScanner->device());
            return Device("Tamberlyx", "Tamberlyx", "USB", "", 0x37, 0x356C);
        }
        tcpScanner = std::make_unique<sim::TcpScanner>(script);
        setenv("TAMBERLYX_SCANNER_PORT", std::to_string(tcpScanner->port()).c_str(), 1);
        return Device("Tamberlyx", "Tamberlyx(127.0.0.1)", "Net", "127.0.0.1", 0x37, 0x356C);
    }

    UIParams form(const Setting& s) {
        return UIParams{.scannerName = "Tamberlyx",
                        .scanSourceIndex = indexOf(scanSourceOption(), s.source),
                        .colorModeIndex = indexOf(colorModeOption(), s.mode),
                        .resolutionIndex = 0,                             // 200 dpi
                        .pageSizeIndex = indexOf(pageSizeOption(), "A5"), // small pages keep it quick
                        .saveTypeIndex = s.pdf ? 1 : 0,
                        .combineTypeIndex = s.combineIndex,
                        .savePrefix = "scan",
                        .saveDir = scanDir,
                        .saveFileName = "scan"};
    }

    std::shared_ptr<ScannerModel> scan(const Setting& s, sim::ScannerScript script = {}) {
        script.pages = s.pages;
        // Each scan gets a parent folder of its own, so its files are easy to find.
        scanDir = saveDir + "/" + std::to_string(++scans);
        fs::create_directory(scanDir);
        auto model = ScannerModel::make(attach(script));
        model->startScan(form(s));
        return model;
    }

    static std::set<std::string> namesIn(const std::string& dir) {
        std::set<std::string> names;
        if (!dir.empty() && fs::exists(dir)) {
            for (const auto& entry : fs::directory_iterator(dir)) {
                names.insert(entry.path().filename().string());
            }
        }
        return names;
    }

    static std::set<std::string> pageNames(int count, const std::string& extension) {
        std::set<std::string> names;
        for (int i = 1; i <= count; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "scan-%04d%s", i, extension.c_str());
            names.insert(name);
        }
        return names;
    }

    static QSize sizeOf(const fs::path& file) { return QImage(QString::fromStdString(file.string())).size(); }

    std::string saveDir;
    std::string scanDir;
    int scans = 0;
    std::shared_ptr<simusb::Bus> bus;
    iokit::ObjectCounts baseline{};
    std::unique_ptr<sim::UsbScanner> usbScanner;
    std::unique_ptr<sim::TcpScanner> tcpScanner;
};

} // namespace

TEST_P(ScanEndToEndTest, PagesOfEveryModeAndSourceArriveAsFiles) {
    const std::vector<Setting> settings{
        {"flatbed grey", "FB", "GRAY256", 1},
        {"feeder colour", "ADF", "CGRAY", 3},
        {"auto text", "AUTO", "TEXT", 2},
    };
    for (const auto& s : settings) {
        auto model = scan(s);
        const ScanParam param = model->setScanParameter(form(s));
        EXPECT_EQ(model->alertMessage.get(), "Scanned " + std::to_string(s.pages) + " page(s)") << s.name;
        const std::string extension = s.mode == "TEXT" ? ".bmp" : ".jpg";
        EXPECT_EQ(namesIn(model->receiveDir), pageNames(s.pages, extension)) << s.name;
        for (const auto& name : pageNames(s.pages, extension)) {
            const QImage image(QString::fromStdString((fs::path(model->receiveDir) / name).string()));
            EXPECT_EQ(image.size(), QSize(int(param.w), int(param.h))) << s.name << " " << name;
            if (extension == ".jpg") { // 200 dpi, as scanned
                EXPECT_EQ(std::lround(image.dotsPerMeterX() * 0.0254), 200) << name;
                EXPECT_EQ(std::lround(image.dotsPerMeterY() * 0.0254), 200) << name;
            }
        }
    }
}

TEST_P(ScanEndToEndTest, CombinedSheetsAndPdf) {
    for (std::int64_t combine : {1, 2, 3}) {
        const Setting s{"combine", "ADF", "GRAY256", 3, combine};
        auto model = scan(s);
        const ScanParam param = model->setScanParameter(form(s));
        EXPECT_EQ(model->alertMessage.get(), "Scanned 3 page(s)") << combine;
        EXPECT_EQ(namesIn(model->receiveDir), pageNames(2, ".jpg")) << combine; // 3 pages, 2 sheets
        const QSize sheet = sizeOf(fs::path(model->receiveDir) / "scan-0001.jpg");
        if (combine == 3) {
            EXPECT_EQ(sheet, QSize(int(param.w), int(param.h))); // ID card: page above page
        } else {
            EXPECT_EQ(sheet, QSize(int(param.h), int(param.w))); // side by side, landscape
        }
    }

    const Setting s{"pdf", "FB", "CGRAY", 2, 0, true};
    auto model = scan(s);
    EXPECT_EQ(model->alertMessage.get(), "Scanned 2 page(s)");
    const auto names = namesIn(scanDir);
    ASSERT_EQ(
        std::count_if(names.begin(), names.end(), [](const std::string& n) { return n.ends_with(".pdf"); }),
        1);
    EXPECT_FALSE(fs::exists(model->receiveDir)); // the pages went into the PDF
}

TEST_P(ScanEndToEndTest, FourScansInQuickSuccessionIntoOneFolderAllSucceed) {
    const Setting s{"quick", "FB", "GRAY256", 1};
    sim::ScannerScript script;
    script.pages = 1;
    const Device scanner = attach(script); // one scanner, four jobs
    scanDir = saveDir;
    std::set<std::string> folders;
    for (int scan = 0; scan < 4; ++scan) {
        auto model = ScannerModel::make(scanner);
        model->startScan(form(s));
        EXPECT_EQ(model->alertMessage.get(), "Scanned 1 page(s)") << scan;
        EXPECT_EQ(namesIn(model->receiveDir), pageNames(1, ".jpg")) << scan;
        folders.insert(model->receiveDir);
    }
    EXPECT_EQ(folders.size(), 4u);
    EXPECT_EQ(namesIn(saveDir).size(), 4u);
}

TEST_P(ScanEndToEndTest, PaperJamKeepsThePagesBeforeIt) {
    sim::ScannerScript jam;
    jam.endStatus = 0xC3;
    jam.endStatusAfterPages = 2;
    const Setting s{"jam", "ADF", "GRAY256", 4};
    auto model = scan(s, jam);
    EXPECT_EQ(model->alertTitle.get(), localizedString("error"));
    EXPECT_EQ(model->alertMessage.get().rfind(localizedString("paperJunck"), 0), 0u)
        << model->alertMessage.get();
    EXPECT_EQ(namesIn(model->receiveDir), pageNames(2, ".jpg"));
}

TEST_P(ScanEndToEndTest, FailureAlertsSayWhatHappened) {
    sim::ScannerScript unknown;
    unknown.endStatus = 0x99;
    unknown.endStatusAfterPages = 1;
    auto model = scan({"unknown status", "FB", "GRAY256", 2}, unknown);
    EXPECT_EQ(model->alertMessage.get(),
              "The scanner stopped the scan with a status this program does not know (0x99).\nThe pages "
              "received so far were kept in " +
                  model->receiveDir);
    if (GetParam() != Transport::usb) {
        return;
    }
    sim::ScannerScript refusing;
    refusing.openAnswer = {5, 0, 0, 0, 1};
    model = scan({"refused", "FB", "GRAY256", 1}, refusing);
    EXPECT_EQ(
        model->alertMessage.get(),
        "The scanner did not accept the request to start a session. Switch it off and on again, then try "
        "again.");
    bus->unplug(usbScanner->device());
    usbScanner.reset();
    model = ScannerModel::make(Device("Tamberlyx", "Tamberlyx", "USB", "", 0x37, 0x356C));
    model->startScan(form({"missing", "FB", "GRAY256", 1}));
    EXPECT_EQ(model->alertMessage.get(), "The scanner was not found on USB. Check that it is switched on and "
                                         "connected, then refresh the scanner list.");
}

TEST_P(ScanEndToEndTest, MisbehavingScannerEndsTheScanWithAnErrorInBoundedTime) {
    for (auto misbehaviour : {sim::Misbehaviour::truncateBlock, sim::Misbehaviour::malformedBlock,
                              sim::Misbehaviour::closeMidPage}) {
        sim::ScannerScript script;
        script.misbehaviour = misbehaviour;
        script.maxPayload = 4096;
        const auto start = std::chrono::steady_clock::now();
        auto model = scan({"broken", "FB", "GRAY256", 2}, script);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(40));
        EXPECT_EQ(model->alertTitle.get(), localizedString("error")) << int(misbehaviour);
        EXPECT_TRUE(namesIn(model->receiveDir).empty()) << int(misbehaviour);
    }
}

INSTANTIATE_TEST_SUITE_P(BothTransports, ScanEndToEndTest, testing::Values(Transport::usb, Transport::tcp),
                         [](const auto& info) { return info.param == Transport::usb ? "usb" : "tcp"; });
