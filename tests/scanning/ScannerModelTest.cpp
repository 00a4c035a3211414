#include "scanning/ScannerModel.h"

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Localization.h"
#include "platform/foundation/Print.h"
#include "scanning/ReceiveFolder.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>

using namespace tbx;
namespace fs = std::filesystem;

namespace {

// 2026-12-08 21:10:00 UTC
const auto fixedTime = std::chrono::system_clock::from_time_t(1796764200);
const std::string fixedStamp = "20261208211000";

std::set<std::string> namesIn(const fs::path& dir) {
    std::set<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        names.insert(it->path().filename().string());
    }
    return names;
}

std::string pageName(const std::string& filePath, int page, const char* ext = "jpg") {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "-%04d.%s", page, ext);
    return filePath + suffix;
}

void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

struct ProcessCall {
    Device scanner;
    ScanParam param;
    bool network;
};

class ScannerModelTest : public testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        setCurrentLanguage("en");
        char templ[] = "/tmp/tbx-scanmodel-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        saveDir = templ;
        services.now = [this] { return now; };
        services.getDevicesList = [this] { return found; };
        auto run = [this](bool network) {
            return [this, network](const Device& d, const std::shared_ptr<ScanCommand>& cmd) {
                calls.push_back({d, cmd->param, network});
                for (int p = 1; p <= pagesToWrite; ++p) {
                    writeText(pageName(cmd->param.filePath, p), "page " + std::to_string(p));
                }
                return answer;
            };
        };
        services.runUsbScan = run(false);
        services.runSocketScan = run(true);
        services.combineImage = [this](std::int64_t pages, std::int64_t oriation, const ScanParam& p) {
            combineCalls.push_back({pages, oriation});
            combineParam = p;
            return combineAnswer;
        };
        services.save2PDF = [this](const ScanParam& p, std::int64_t pages, const std::string& dir,
                                   const std::string& size) {
            pdfCalls.push_back({pages, dir, size});
            pdfParam = p;
            if (!pdfAnswer.status) {
                return pdfAnswer;
            }
            const std::string bytes = "%PDF-1.4 " + std::to_string(pages);
            auto written =
                writeNewFile(dir, scanTimestamp(now), ".pdf",
                             std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
            return written ? ResultPair{true, "saveSuccessfully"} : ResultPair{false, "saveImageError"};
        };
    }
    void TearDown() override {
        std::error_code ec;
        fs::permissions(saveDir, fs::perms::owner_all, ec);
        fs::remove_all(saveDir, ec);
    }

    std::shared_ptr<ScannerModel> modelWith(Device scanner) {
        return ScannerModel::make(std::move(scanner), services);
    }

    UIParams form(std::string fileName = "file") {
        UIParams ui;
        ui.scannerName = "Tamberlyx";
        ui.savePrefix = fileName;
        ui.saveDir = saveDir;
        ui.saveFileName = fileName;
        return ui;
    }

    std::string receiveFolder() const { return saveDir + "/" + fixedStamp; }

    static Device usb() { return Device("Tamberlyx", "Tamberlyx", "USB", "", 0x37, 0x356C); }
    static Device net() {
        return Device("Tamberlyx", "Tamberlyx(10.213.0.2)", "Net", "10.213.0.2", 0x37, 0x356C);
    }

    std::string saveDir;
    std::chrono::system_clock::time_point now = fixedTime;
    ScannerServices services;
    std::vector<Device> found;
    std::vector<ProcessCall> calls;
    int pagesToWrite = 3;
    ResultPair answer{true, "3"};
    std::vector<std::pair<std::int64_t, std::int64_t>> combineCalls;
    ScanParam combineParam;
    ResultPair combineAnswer{true, "saveSuccessfully"};
    struct PdfCall {
        std::int64_t pages;
        std::string dir;
        std::string size;
    };
    std::vector<PdfCall> pdfCalls;
    ScanParam pdfParam;
    ResultPair pdfAnswer{true, "saveSuccessfully"};
};

} // namespace

TEST_F(ScannerModelTest, SuccessfulJpegScanReportsThePagesAndKeepsThem) {
    TraceCapture trace;
    auto model = modelWith(usb());
    model->startScan(form());
    EXPECT_TRUE(model->showAlert.get());
    EXPECT_EQ(model->alertTitle.get(), "Information");
    EXPECT_EQ(model->alertMessage.get(), "Scanned 3 page(s)");
    EXPECT_EQ(model->receiveDir, receiveFolder());
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].param.filePath, receiveFolder() + "/file");
    EXPECT_EQ(namesIn(receiveFolder()),
              (std::set<std::string>{"file-0001.jpg", "file-0002.jpg", "file-0003.jpg"}));
    EXPECT_TRUE(combineCalls.empty());
    EXPECT_TRUE(pdfCalls.empty());
    const auto lines = trace.lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "receive directory created: " + receiveFolder()),
              lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "ret = (status: true, message: \"3\")"), lines.end());
}

TEST_F(ScannerModelTest, AlertTextsFollowTheLanguage) {
    setCurrentLanguage("zh");
    auto model = modelWith(usb());
    model->startScan(form());
    EXPECT_EQ(model->alertTitle.get(), "信息");
    EXPECT_EQ(model->alertMessage.get(), "已扫描 3 页");
}

TEST_F(ScannerModelTest, OnlyNetGoesTheNetworkWay) {
    struct Case {
        std::string type;
        bool network;
    };
    for (const Case& c : {Case{"Net", true}, Case{"USB", false}, Case{"net", false}, Case{"", false}}) {
        calls.clear();
        Device d("Tamberlyx", "Tamberlyx", c.type, "10.213.0.2", 0x37, 0x356C);
        auto model = modelWith(d);
        now += std::chrono::seconds(1);
        model->startScan(form());
        ASSERT_EQ(calls.size(), 1u) << c.type;
        EXPECT_EQ(calls[0].network, c.network) << c.type;
        EXPECT_EQ(calls[0].scanner, d); // a copy of the selected device
    }
}

TEST_F(ScannerModelTest, FourScansInOneSecondGetFourFoldersAndEarlierPagesStay) {
    auto model = modelWith(usb());
    std::vector<std::string> folders;
    for (int scan = 1; scan <= 4; ++scan) {
        model->alertMessage = "";
        model->startScan(form());
        EXPECT_EQ(model->alertTitle.get(), "Information") << scan;
        EXPECT_EQ(model->alertMessage.get(), "Scanned 3 page(s)") << scan;
        folders.push_back(model->receiveDir);
        writeText(model->receiveDir + "/file-0001.jpg", "scan " + std::to_string(scan));
    }
    EXPECT_EQ(calls.size(), 4u);
    EXPECT_EQ(folders, (std::vector<std::string>{receiveFolder(), receiveFolder() + "-2",
                                                 receiveFolder() + "-3", receiveFolder() + "-4"}));
    for (int scan = 1; scan <= 4; ++scan) {
        EXPECT_EQ(calls[std::size_t(scan - 1)].param.filePath, folders[std::size_t(scan - 1)] + "/file");
        std::ifstream in(folders[std::size_t(scan - 1)] + "/file-0001.jpg");
        std::string text;
        std::getline(in, text);
        EXPECT_EQ(text, "scan " + std::to_string(scan)); // no scan wrote into another's folder
        EXPECT_EQ(namesIn(folders[std::size_t(scan - 1)]).size(), 3u);
    }
    // A plain file that holds the name is passed over as well.
    now += std::chrono::seconds(1);
    writeText(saveDir + "/" + scanTimestamp(now), "not a folder");
    model->startScan(form());
    EXPECT_EQ(model->receiveDir, saveDir + "/" + scanTimestamp(now) + "-2");
}

TEST_F(ScannerModelTest, UnsafeFileNamesAndBmpCombiningAreRefusedBeforeTheScan) {
    struct Case {
        std::string name;
        std::int64_t mode;
        std::int64_t combine;
        std::string text;
    };
    const std::vector<Case> cases{
        {std::string(250, 'n'), 0, 0,
         "The file name is too long for the chosen folder. Use a shorter name or a folder higher up."},
        {"two\nlines", 0, 0,
         "The file name must not contain a line break, a tab or another control character."},
        {"file", 2, 3,
         "Black-and-white pages saved as BMP files cannot be combined. Choose \"No combining\", or the "
         "\"Colour\" or \"Grey\" colour mode."},
    };
    for (const Case& c : cases) {
        auto model = modelWith(usb());
        UIParams ui = form(c.name);
        ui.colorModeIndex = c.mode;
        ui.combineTypeIndex = c.combine;
        model->startScan(ui);
        EXPECT_EQ(model->alertTitle.get(), "Error") << testing::PrintToString(c.name);
        EXPECT_EQ(model->alertMessage.get(), c.text) << testing::PrintToString(c.name);
    }
    EXPECT_TRUE(calls.empty()); // the scanner was never contacted
    EXPECT_TRUE(namesIn(saveDir).empty());

    // Black-and-white pages for a PDF are JPEG pages: they are combined.
    auto model = modelWith(usb());
    UIParams ui = form();
    ui.colorModeIndex = 2;
    ui.combineTypeIndex = 3;
    ui.saveTypeIndex = 1;
    model->startScan(ui);
    EXPECT_EQ(calls.size(), 1u);
    EXPECT_EQ(combineCalls.size(), 1u);
    EXPECT_EQ(pdfCalls.size(), 1u);
}

TEST_F(ScannerModelTest, ReceiveFolderThatCannotBeMadeScansNothing) {
    writeText(saveDir + "/plainfile", "x");
    const std::vector<std::string> badParents{saveDir + "/missing", saveDir + "/plainfile", saveDir + "/a/b"};
    for (const auto& parent : badParents) {
        auto model = modelWith(usb());
        UIParams ui = form();
        ui.saveDir = parent;
        model->startScan(ui);
        EXPECT_TRUE(model->showAlert.get());
        EXPECT_EQ(model->alertTitle.get(), "Error");
        EXPECT_EQ(model->alertMessage.get(), localizedString("cannotCreateReceiveDir"));
        EXPECT_EQ(model->receiveDir, parent + "/" + fixedStamp); // names the folder that was not made
    }
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(namesIn(saveDir), (std::set<std::string>{"plainfile"}));
}

TEST_F(ScannerModelTest, FileNamesThatLeaveTheReceiveFolderAreRefusedWritingNothing) {
    // A name of blanks only would leave files that look nameless: refused alike.
    for (const std::string name : {"../x", "sub/x", "/etc/x", "..", "  "}) {
        auto model = modelWith(usb());
        model->startScan(form(name));
        EXPECT_EQ(model->alertTitle.get(), "Error") << name;
        EXPECT_EQ(model->alertMessage.get(), localizedString("invalidSaveFileName")) << name;
    }
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(namesIn(saveDir).empty());
}

TEST_F(ScannerModelTest, IndexesOutsideTheirListsAreRefusedWritingNothing) {
    std::vector<UIParams> bad(6, form());
    bad[0].scanSourceIndex = 3;
    bad[1].colorModeIndex = -1;
    bad[2].resolutionIndex = 4;
    bad[3].pageSizeIndex = 4;
    bad[4].combineTypeIndex = 99;
    bad[5].saveTypeIndex = 2;
    for (const auto& ui : bad) {
        auto model = modelWith(usb());
        model->startScan(ui);
        EXPECT_EQ(model->alertTitle.get(), "Error");
        EXPECT_EQ(model->alertMessage.get(), localizedString("invalidScanSetting"));
    }
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(namesIn(saveDir).empty());
}

TEST_F(ScannerModelTest, FailedScanKeepsThePagesReceivedAndSaysWhere) {
    pagesToWrite = 2;
    answer = {false, "paperJunck"};
    auto model = modelWith(net());
    model->startScan(form());
    EXPECT_EQ(model->alertTitle.get(), "Error");
    EXPECT_EQ(model->alertMessage.get(),
              "Paper jam.\nThe pages received so far were kept in " + receiveFolder());
    EXPECT_EQ(namesIn(receiveFolder()), (std::set<std::string>{"file-0001.jpg", "file-0002.jpg"}));
    EXPECT_TRUE(combineCalls.empty());
    EXPECT_TRUE(pdfCalls.empty());
}

TEST_F(ScannerModelTest, FailedScanWithNoPageLeavesNoEmptyFolder) {
    pagesToWrite = 0;
    answer = {false, "openError"};
    auto model = modelWith(usb());
    model->startScan(form());
    EXPECT_EQ(model->alertTitle.get(), "Error");
    EXPECT_EQ(model->alertMessage.get(), "The scanner could not be opened.");
    EXPECT_FALSE(fs::exists(receiveFolder()));
    // A key without a text is shown as the key.
    answer = {false, "someNewKey"};
    now += std::chrono::seconds(1);
    model->startScan(form());
    EXPECT_EQ(model->alertMessage.get(), "someNewKey");
}

TEST_F(ScannerModelTest, SuccessWithoutAPageNumberCountsAsNoPage) {
    pagesToWrite = 0;
    answer = {true, "ok"};
    auto model = modelWith(usb());
    UIParams ui = form();
    ui.combineTypeIndex = 1;
    ui.saveTypeIndex = 1; // PDF
    model->startScan(ui);
    EXPECT_EQ(model->alertTitle.get(), "Information");
    EXPECT_EQ(model->alertMessage.get(), "Scanned 0 page(s)");
    EXPECT_TRUE(combineCalls.empty());
    EXPECT_TRUE(pdfCalls.empty());
    EXPECT_FALSE(fs::exists(receiveFolder())); // it held nothing
}

TEST_F(ScannerModelTest, PageCountReading) {
    EXPECT_EQ(pageCountOf("3"), 3);
    EXPECT_EQ(pageCountOf("0012"), 12);
    EXPECT_EQ(pageCountOf("ok"), 0);
    EXPECT_EQ(pageCountOf(""), 0);
    EXPECT_EQ(pageCountOf("-2"), 0);
    EXPECT_EQ(pageCountOf("+2"), 0);
    EXPECT_EQ(pageCountOf("3 "), 0);
    EXPECT_EQ(pageCountOf("99999999999999999999999"), 0);
}

TEST_F(ScannerModelTest, CombinedPdfGetsTheSheetCountAndTheFolderGoes) {
    pagesToWrite = 5;
    answer = {true, "5"};
    auto model = modelWith(usb());
    UIParams ui = form();
    ui.combineTypeIndex = 1; // CombinHorizontal
    ui.saveTypeIndex = 1;    // PDF
    ui.pageSizeIndex = 3;    // Letter
    model->startScan(ui);
    ASSERT_EQ(combineCalls.size(), 1u);
    EXPECT_EQ(combineCalls[0], (std::pair<std::int64_t, std::int64_t>{5, 0}));
    ASSERT_EQ(pdfCalls.size(), 1u);
    EXPECT_EQ(pdfCalls[0].pages, 3);
    EXPECT_EQ(pdfCalls[0].dir, saveDir);
    EXPECT_EQ(pdfCalls[0].size, "Letter");
    EXPECT_EQ(pdfParam.filePath, receiveFolder() + "/file");
    EXPECT_EQ(model->alertMessage.get(), "Scanned 5 page(s)");
    EXPECT_FALSE(fs::exists(receiveFolder()));
    EXPECT_EQ(namesIn(saveDir), (std::set<std::string>{fixedStamp + ".pdf"}));
}

TEST_F(ScannerModelTest, OnlyIdCardCombinesWithOriationOne) {
    for (std::int64_t combine : {1, 2, 3}) {
        combineCalls.clear();
        auto model = modelWith(usb());
        UIParams ui = form();
        ui.combineTypeIndex = combine;
        now += std::chrono::seconds(1);
        model->startScan(ui);
        ASSERT_EQ(combineCalls.size(), 1u);
        EXPECT_EQ(combineCalls[0].second, combine == 3 ? 1 : 0);
        EXPECT_TRUE(fs::exists(model->receiveDir)); // JPEG result: the sheets stay
    }
}

TEST_F(ScannerModelTest, FailedCombineWritesNoPdfAndKeepsTheFolder) {
    combineAnswer = {false, "saveImageError"};
    auto model = modelWith(usb());
    UIParams ui = form();
    ui.combineTypeIndex = 2;
    ui.saveTypeIndex = 1;
    model->startScan(ui);
    EXPECT_EQ(model->alertTitle.get(), "Error");
    EXPECT_EQ(model->alertMessage.get(),
              "The pages could not be combined.\nThe pages received so far were kept in " + receiveFolder());
    EXPECT_TRUE(pdfCalls.empty());
    EXPECT_EQ(namesIn(receiveFolder()).size(), 3u);
}

TEST_F(ScannerModelTest, FailedPdfKeepsTheFolderAndSaysSo) {
    pdfAnswer = {false, "saveImageError"};
    auto model = modelWith(usb());
    UIParams ui = form();
    ui.saveTypeIndex = 1;
    model->startScan(ui);
    ASSERT_EQ(pdfCalls.size(), 1u);
    EXPECT_EQ(pdfCalls[0].pages, 3);
    EXPECT_EQ(model->alertTitle.get(), "Error");
    EXPECT_EQ(model->alertMessage.get(),
              "The PDF file could not be written.\nThe pages received so far were kept in " +
                  receiveFolder());
    EXPECT_EQ(namesIn(receiveFolder()).size(), 3u);
}

TEST_F(ScannerModelTest, TwoPdfScansInOneSecondGiveTwoPdfs) {
    auto model = modelWith(usb());
    UIParams ui = form();
    ui.saveTypeIndex = 1;
    model->startScan(ui);
    model->startScan(ui); // the first folder is gone, so the same name is free again
    EXPECT_EQ(pdfCalls.size(), 2u);
    EXPECT_EQ(namesIn(saveDir), (std::set<std::string>{fixedStamp + ".pdf", fixedStamp + "-2.pdf"}));
}

TEST_F(ScannerModelTest, ScanProcessThatThrowsIsAnErrorOutcome) {
    services.runUsbScan = [](const Device&, const std::shared_ptr<ScanCommand>&) -> ResultPair {
        throw std::runtime_error("boom");
    };
    services.runSocketScan = nullptr;
    auto model = modelWith(usb());
    model->startScan(form());
    EXPECT_EQ(model->alertTitle.get(), "Error");
    EXPECT_EQ(model->alertMessage.get(), localizedString("unexpectError"));
    auto netModel = modelWith(net());
    now += std::chrono::seconds(1);
    netModel->startScan(form());
    EXPECT_EQ(netModel->alertMessage.get(), localizedString("scanProcessUnavailable"));
}

TEST_F(ScannerModelTest, ThePaperSourceCheckSeesTheSharedCommand) {
    // The process resolves the source in the shared command; later steps see it.
    services.runUsbScan = [this](const Device&, const std::shared_ptr<ScanCommand>& cmd) {
        cmd->param.source = "FB";
        calls.push_back({Device::placeholder(), cmd->param, false});
        return ResultPair{true, "1"};
    };
    auto model = modelWith(usb());
    model->startScan(form());
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].param.source, "FB");
}

TEST_F(ScannerModelTest, DiscoveryRunsLaterOnTheMainQueueAndSelectsTheFirst) {
    found = {net(), usb()};
    TraceCapture trace;
    auto model = ScannerModel::make(services);
    EXPECT_TRUE(model->scannerList->empty()); // posted, not run yet
    EXPECT_EQ(model->selectedScanner, model->selectedScanner);
    EXPECT_EQ(model->selectedScanner.VID, 0);
    int willChange = 0;
    auto sub = model->objectWillChange.sink([&] { ++willChange; });
    ASSERT_TRUE(dispatch::runMainUntil([&] { return !model->scannerList->empty(); }, dispatch::Seconds(30)));
    EXPECT_EQ(model->scannerList.get(), found);
    EXPECT_EQ(model->selectedScanner, found[0]);
    EXPECT_FALSE(model->showAlert.get());
    EXPECT_EQ(willChange, 1);
    EXPECT_EQ(trace.lines(), (std::vector<std::string>{"find scanner , ip = 10.213.0.2"}));
}

TEST_F(ScannerModelTest, EmptyDiscoveryRaisesTheAlertAndKeepsTheChoice) {
    const Device chosen = usb();
    auto model = modelWith(chosen);
    model->scannerList = {chosen};
    std::vector<std::string> order;
    auto a = model->scannerList.sink([&](const std::vector<Device>&) { order.push_back("list"); });
    auto b = model->showAlert.sink([&](const bool&) { order.push_back("show"); });
    auto c = model->alertTitle.sink([&](const std::string&) { order.push_back("title"); });
    auto d = model->alertMessage.sink([&](const std::string&) { order.push_back("message"); });
    order.clear();
    model->autoDetectScanners();
    ASSERT_TRUE(dispatch::runMainUntil([&] { return model->showAlert.get(); }, dispatch::Seconds(30)));
    EXPECT_TRUE(model->scannerList->empty());
    EXPECT_EQ(model->alertTitle.get(), "Error");
    EXPECT_EQ(model->alertMessage.get(), "No scanner was found.");
    EXPECT_EQ(model->selectedScanner, chosen);
    EXPECT_EQ(order, (std::vector<std::string>{"list", "show", "title", "message"}));
}

TEST_F(ScannerModelTest, PostedDiscoveryKeepsTheModelAlive) {
    found = {usb()};
    std::weak_ptr<ScannerModel> weak;
    {
        auto model = ScannerModel::make(services);
        weak = model;
    }
    EXPECT_FALSE(weak.expired());
    // Once the posted discovery has run, nothing holds the model.
    EXPECT_TRUE(dispatch::runMainUntil([&] { return weak.expired(); }, dispatch::Seconds(30)));
}

TEST_F(ScannerModelTest, ScannerIndexOutsideTheListIsNoScanner) {
    auto model = modelWith(Device::placeholder());
    model->scannerList = {net(), usb()};
    EXPECT_FALSE(model->selectScanner(2));
    EXPECT_TRUE(model->showAlert.get());
    EXPECT_EQ(model->alertMessage.get(), "No scanner was found.");
    EXPECT_EQ(model->selectedScanner.VID, 0);
    EXPECT_FALSE(model->selectScanner(-1));
    EXPECT_TRUE(model->selectScanner(1));
    EXPECT_EQ(model->selectedScanner, model->scannerList.get()[1]);
}

TEST_F(ScannerModelTest, ClearingAFolderThatIsGoneOnlyLogs) {
    auto model = modelWith(usb());
    model->receiveDir = saveDir + "/gone";
    TraceCapture trace;
    model->clearReceiveDir();
    EXPECT_EQ(trace.lines(), (std::vector<std::string>{"clear receive dir error"}));
    EXPECT_EQ(model->receiveDir, saveDir + "/gone");
}

TEST_F(ScannerModelTest, SetScanParameterJoinsTheReceiveFolder) {
    auto model = modelWith(usb());
    model->receiveDir = "/x/y/";
    EXPECT_EQ(model->setScanParameter(form()).filePath, "/x/y//file");
}
