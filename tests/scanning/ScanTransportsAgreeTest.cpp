// The same scans over USB and over TCP, the TCP scanner cutting its stream in
// random pieces from several fixed seeds: every scan succeeds and writes the
// same files, byte for byte, whichever transport carried it.
#include "platform/posix/PosixIO.h"
#include "scanning/ScanOptions.h"
#include "scanning/ScannerModel.h"
#include "sim/scanner/TcpScanner.h"
#include "sim/scanner/UsbScanner.h"
#include "tests/support/SimulatedBus.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>

using namespace tbx;
namespace fs = std::filesystem;

namespace {

struct Setting {
    std::string mode;
    bool pdf;
};

std::int64_t indexOf(const std::vector<std::string>& list, const std::string& value) {
    return std::find(list.begin(), list.end(), value) - list.begin();
}

class ScanTransportsAgreeTest : public test::SimulatedBusTest<> {
protected:
    void SetUp() override {
        SimulatedBusTest::SetUp();
        char pattern[] = "/tmp/tbx-agree-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
    }
    void TearDown() override {
        unsetenv("TAMBERLYX_SCANNER_PORT");
        if (usbScanner) {
            bus->unplug(usbScanner->device());
        }
        SimulatedBusTest::TearDown();
        fs::remove_all(root);
    }

    // Scans 40 pages; answers the model's message and every file written, by
    // name (a name made of the scan's time stands as its extension alone).
    std::pair<std::string, std::map<std::string, std::string>> scan(const Setting& s, bool tcp,
                                                                    std::uint32_t seed) {
        sim::ScannerScript script;
        script.pages = 40;
        script.tcpSegmentSeed = seed;
        Device device("Tamberlyx", "Tamberlyx", "USB", "", 0x37, 0x356C);
        if (tcp) {
            tcpScanner = std::make_unique<sim::TcpScanner>(script);
            setenv("TAMBERLYX_SCANNER_PORT", std::to_string(tcpScanner->port()).c_str(), 1);
            device = Device("Tamberlyx", "Tamberlyx(127.0.0.1)", "Net", "127.0.0.1", 0x37, 0x356C);
        } else {
            if (usbScanner) {
                bus->unplug(usbScanner->device());
            }
            usbScanner = std::make_unique<sim::UsbScanner>(script);
            bus->plug(usbScanner->device());
        }
        const std::string dir = root + "/" + std::to_string(++scans);
        fs::create_directory(dir);
        auto model = ScannerModel::make(device);
        model->startScan(UIParams{.scannerName = "Tamberlyx",
                                  .scanSourceIndex = indexOf(scanSourceOption(), "ADF"),
                                  .colorModeIndex = indexOf(colorModeOption(), s.mode),
                                  .resolutionIndex = 0,
                                  .pageSizeIndex = indexOf(pageSizeOption(), "A5"),
                                  .saveTypeIndex = s.pdf ? 1 : 0,
                                  .savePrefix = "scan",
                                  .saveDir = dir,
                                  .saveFileName = "scan"});
        std::map<std::string, std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(dir)) {
            if (!entry.is_regular_file()) {
                continue;
            }
            std::string name = entry.path().filename().string();
            if (std::isdigit(static_cast<unsigned char>(name.front()))) {
                name = entry.path().extension().string();
            }
            files[name] = posix::readFile(entry.path()).bytes;
        }
        return {model->alertMessage.get(), files};
    }

    std::string root;
    int scans = 0;
    std::unique_ptr<sim::UsbScanner> usbScanner;
    std::unique_ptr<sim::TcpScanner> tcpScanner;
};

} // namespace

TEST_F(ScanTransportsAgreeTest, FortyPagesOverRandomlyCutTcpMatchUsbByteForByte) {
    for (const Setting& s : {Setting{"CGRAY", false}, Setting{"GRAY256", false}, Setting{"TEXT", true}}) {
        const auto [usbMessage, usbFiles] = scan(s, false, 0);
        EXPECT_EQ(usbMessage, "Scanned 40 page(s)") << s.mode;
        EXPECT_EQ(usbFiles.size(), s.pdf ? 1u : 40u) << s.mode;
        for (const std::uint32_t seed : {1u, 77u, 20240u}) {
            const auto [message, files] = scan(s, true, seed);
            EXPECT_EQ(message, usbMessage) << s.mode << " seed " << seed;
            EXPECT_TRUE(files == usbFiles) << s.mode << " seed " << seed << ": " << files.size() << " files";
        }
    }
}
