#include "scanning/UsbScanProcess.h"

#include "platform/foundation/Print.h"
#include "scanning/ScanParameters.h"
#include "sim/scanner/UsbScanner.h"
#include "tests/support/SimulatedBus.h"

#include <gtest/gtest.h>

using namespace tbx;
namespace simusb = tbx::sim::usb;

namespace {

struct SavedPage {
    std::int64_t pageNo;
    std::size_t size;
    std::string source;
};

class UsbScanProcessTest : public test::SimulatedBusTest<> {
protected:
    // A TEXT scan of a small area (the sim's pages follow the X command's area).
    std::shared_ptr<ScanCommand> command(const std::string& source, const std::string& mode = "TEXT") {
        UIParams ui{.scannerName = "Tamberlyx",
                    .scanSourceIndex = source == "AUTO"  ? 0
                                       : source == "ADF" ? 1
                                                         : 2,
                    .colorModeIndex = mode == "CGRAY"     ? 0
                                      : mode == "GRAY256" ? 1
                                                          : 2,
                    .resolutionIndex = 1,
                    .savePrefix = "file",
                    .saveDir = "/nonexistent",
                    .saveFileName = "file"};
        auto param = scanParameters(ui, "/nonexistent/receive");
        param.w = 64; // keep the generated pages small
        param.h = 16;
        return std::make_shared<ScanCommand>(param);
    }

    sim::UsbScanner& plugScanner(sim::ScannerScript script = {}) {
        scanner = std::make_unique<sim::UsbScanner>(script);
        bus->plug(scanner->device());
        return *scanner;
    }

    ResultPair scan(const std::shared_ptr<ScanCommand>& cmd, bool saveSucceeds = true) {
        UsbScanProcess process(Device("Tamberlyx", "Tamberlyx", "USB", "", 0x37, 0x356C), cmd,
                               [&, saveSucceeds](const ScanParam& param, std::int64_t pageNo,
                                                 std::span<const std::uint8_t> data) {
                                   saved.push_back({pageNo, data.size(), param.source});
                                   return saveSucceeds ? ResultPair{true, "saveSuccessfully"}
                                                       : ResultPair{false, "saveImageError"};
                               });
        return process.startScan();
    }

    // Vendor requests the scanner saw, in order (1 open, 2 close).
    std::vector<int> vendorRequests() const {
        std::vector<int> requests;
        for (const auto& control : scanner->device()->controlRequests()) {
            requests.push_back(control.setup.bRequest);
        }
        return requests;
    }

    std::unique_ptr<sim::UsbScanner> scanner;
    std::vector<SavedPage> saved;
};

} // namespace

TEST_F(UsbScanProcessTest, ThreePageJobSavesEveryPageAndClosesTheSession) {
    sim::ScannerScript script;
    script.pages = 3;
    plugScanner(script);
    TraceCapture capture;
    const auto result = scan(command("ADF"));
    EXPECT_EQ(result, (ResultPair{true, "3"}));
    ASSERT_EQ(saved.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(saved[i].pageNo, std::int64_t(i + 1));
        EXPECT_EQ(saved[i].size, 64u / 8 * 16);
    }
    EXPECT_EQ(scanner->commandLog(), (std::vector<std::string>{"D", "S", "I", "X"}));
    EXPECT_EQ(vendorRequests(), (std::vector<int>{1, 2}));
    EXPECT_FALSE(scanner->sessionOpen());
    const auto open = scanner->device()->controlRequests().front();
    EXPECT_EQ(open.setup.bmRequestType, 0xC0);
    EXPECT_EQ(open.setup.wValue, 2);
    EXPECT_EQ(open.setup.wLength, 0x0500);
    EXPECT_EQ(open.noDataTimeout, 2000u);
    EXPECT_EQ(open.completionTimeout, 3000u);
    const auto lines = capture.lines();
    EXPECT_EQ(lines.front(), "init usbscanprocess pid=55 and vid = 13676");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "[5, 0, 0, 0, 0]"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "x command is sent"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "close scanner successfully"), lines.end());
    // Commands go out with the short time-outs; text commands end in 0x0A 0xC2 0x80.
    const auto writes = scanner->device()->writes();
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[0].noDataTimeout, 300u);
    EXPECT_EQ(writes[0].bytes.back(), 0x80);
    EXPECT_EQ(writes[0].bytes[writes[0].bytes.size() - 2], 0xC2);
}

TEST_F(UsbScanProcessTest, PaperSourceCheckResolvesAutoAndRefusesAnEmptyFeeder) {
    struct Case {
        std::string source;
        std::uint8_t reply;
        ResultPair result;
        std::string sCommandSource; // empty: no S command
    };
    const Case cases[] = {
        {"AUTO", 0x80, {true, "1"}, "ADF"},
        {"AUTO", 0xC2, {true, "1"}, "FB"},
        {"ADF", 0xC2, {false, "noPaperInADF"}, ""},
        {"ADF", 0xD0, {false, "paperSourceNotExist"}, ""},
        {"ADF", 0xC4, {false, "cannotChekPaperSource"}, ""},
        {"ADF", 0x11, {false, "unexpectError"}, ""},
    };
    for (const auto& c : cases) {
        sim::ScannerScript script;
        script.paperSourceReply = c.reply;
        plugScanner(script);
        saved.clear();
        EXPECT_EQ(scan(command(c.source)), c.result) << c.source << " " << int(c.reply);
        const auto log = scanner->commandLog();
        if (c.sCommandSource.empty()) {
            EXPECT_EQ(log, (std::vector<std::string>{"D"}));
        } else {
            ASSERT_GE(log.size(), 2u);
            EXPECT_EQ(scanner->commandTexts()[1], c.sCommandSource);
            ASSERT_EQ(saved.size(), 1u);
            EXPECT_EQ(saved[0].source, c.sCommandSource);
        }
        EXPECT_EQ(vendorRequests(), (std::vector<int>{1, 2})) << "the session is closed on every path";
        bus->unplug(scanner->device());
    }
}

TEST_F(UsbScanProcessTest, FlatbedSkipsTheCheckAndCommandRepliesAreJudged) {
    plugScanner();
    EXPECT_EQ(scan(command("FB")), (ResultPair{true, "1"}));
    EXPECT_EQ(scanner->commandLog(), (std::vector<std::string>{"S", "I", "X"}));
    bus->unplug(scanner->device());

    sim::ScannerScript s;
    s.sourceReply = 0xD0;
    plugScanner(s);
    TraceCapture capture;
    EXPECT_EQ(scan(command("FB")), (ResultPair{false, "paperSourceNotExist"}));
    EXPECT_NE(capture.text().find("\n S command  sent error\n"), std::string::npos);
    bus->unplug(scanner->device());

    sim::ScannerScript i;
    i.imageSettingsReply = 0x01;
    plugScanner(i);
    EXPECT_EQ(scan(command("FB")), (ResultPair{false, "sndICommandError"}));
    EXPECT_EQ(vendorRequests(), (std::vector<int>{1, 2}));
}

TEST_F(UsbScanProcessTest, OpenAnswersAreJudgedOnTheirFirstAndFifthBytes) {
    sim::ScannerScript one;
    one.openAnswer = {5, 0, 0, 0, 0};
    plugScanner(one);
    scanner->device()->queueControl({.data = {5}}); // a one-byte answer is accepted
    EXPECT_EQ(scan(command("FB")), (ResultPair{true, "1"}));
    bus->unplug(scanner->device());

    sim::ScannerScript refused;
    refused.openAnswer = {5, 0, 0, 0, 1};
    plugScanner(refused);
    EXPECT_EQ(scan(command("FB")), (ResultPair{false, "error"}));
    EXPECT_TRUE(scanner->device()->writes().empty());
    EXPECT_EQ(vendorRequests(), (std::vector<int>{1}));
    bus->unplug(scanner->device());

    plugScanner();
    scanner->device()->injectFault(simusb::Step::control, {.code = iokit::kIOReturnNotResponding});
    EXPECT_EQ(scan(command("FB")), (ResultPair{false, "openError"}));
}

TEST_F(UsbScanProcessTest, MissingScannerFailsWithoutAnyTraffic) {
    TraceCapture capture;
    EXPECT_EQ(scan(command("ADF")), (ResultPair{false, "error"}));
    EXPECT_NE(capture.text().find("init usb interface error. and error is "), std::string::npos);
    // A device of the model whose scan interface is not numbered 1 is no scanner either.
    auto other = simusb::Device::make(simusb::bulkPairDevice(0x356C, 0x37, 0));
    bus->plug(other);
    EXPECT_EQ(scan(command("ADF")), (ResultPair{false, "error"}));
    EXPECT_TRUE(other->writes().empty());
    EXPECT_TRUE(other->controlRequests().empty());
}

TEST_F(UsbScanProcessTest, StatusBytesEndTheJobKeepingEarlierPages) {
    sim::ScannerScript jam;
    jam.pages = 5;
    jam.endStatus = 0xC3;
    jam.endStatusAfterPages = 2;
    plugScanner(jam);
    EXPECT_EQ(scan(command("ADF")), (ResultPair{false, "paperJunck"}));
    EXPECT_EQ(saved.size(), 2u);
    EXPECT_EQ(vendorRequests(), (std::vector<int>{1, 2}));
    bus->unplug(scanner->device());

    sim::ScannerScript unknown;
    unknown.endStatus = 0x81;
    unknown.endStatusAfterPages = 0;
    plugScanner(unknown);
    EXPECT_EQ(scan(command("ADF")), (ResultPair{false, "unknownScannerStatus 0x81"}));
    bus->unplug(scanner->device());

    sim::ScannerScript empty;
    empty.pages = 0;
    plugScanner(empty);
    EXPECT_EQ(scan(command("ADF")), (ResultPair{true, "ok"})); // no page: the caller counts 0
}

TEST_F(UsbScanProcessTest, BrokenStreamsAndFailedWritesAreFailuresThatStillCloseTheSession) {
    // Each with the key of our own that tells what the stream did.
    const std::pair<sim::Misbehaviour, std::string> faults[] = {
        {sim::Misbehaviour::truncateBlock, "scanStreamMalformed"},
        {sim::Misbehaviour::stall, "scanStreamStalled"},
        {sim::Misbehaviour::malformedBlock, "scanStreamMalformed"},
        {sim::Misbehaviour::closeMidPage, "scanStreamBroken"},
        {sim::Misbehaviour::endlessPage, "scanPageTooLarge"},
    };
    for (const auto& [misbehaviour, detail] : faults) {
        sim::ScannerScript script;
        script.maxPayload = 16;
        script.misbehaviour = misbehaviour;
        plugScanner(script);
        const ResultPair result = scan(command("ADF"));
        EXPECT_EQ(result, (ResultPair{false, "receiveImagesError"})) << int(misbehaviour);
        EXPECT_EQ(result.detail, detail) << int(misbehaviour);
        EXPECT_TRUE(saved.empty());
        EXPECT_EQ(vendorRequests().back(), 2);
        bus->unplug(scanner->device());
    }

    plugScanner();
    // The X command's write fails: no job was started, and none is pretended.
    scanner->failWrite(3, iokit::kIOReturnNotResponding); // S, I, then X
    EXPECT_EQ(scan(command("FB")), (ResultPair{false, "sndXCommandError"}));
    EXPECT_EQ(vendorRequests(), (std::vector<int>{1, 2}));
}

TEST_F(UsbScanProcessTest, PageThatCannotBeSavedMakesTheJobFail) {
    sim::ScannerScript script;
    script.pages = 2;
    plugScanner(script);
    EXPECT_EQ(scan(command("ADF"), false), (ResultPair{false, "saveImageError"}));
    EXPECT_EQ(saved.size(), 2u);
}

TEST_F(UsbScanProcessTest, ReleaseTwiceGivesEachHandleBackOnce) {
    plugScanner();
    UsbScanProcess process(Device("Tamberlyx", "Tamberlyx", "USB", "", 0x37, 0x356C), command("FB"));
    EXPECT_TRUE(process.hasInterface());
    process.release();
    process.release();
    EXPECT_FALSE(process.hasInterface());
    EXPECT_EQ(iokit::liveObjectCounts(), baseline);
}

// A fault at each USB step of a scan: the scan answers the step's failure, the
// interface is not left open, and every object it made has been given back
// while the scanner is still attached.
TEST_F(UsbScanProcessTest, FaultAtEachStepGivesEveryObjectBack) {
    using iokit::ServiceKind;
    using simusb::Step;
    constexpr auto failed = iokit::kIOReturnNotResponding;
    struct Case {
        std::string name;
        Step step;
        simusb::Fault fault;
        ResultPair expected;
    };
    const Case cases[] = {
        {"device plug-in", Step::plugIn, {.code = failed, .kind = ServiceKind::device}, {false, "error"}},
        {"device query", Step::query, {.kind = ServiceKind::device}, {false, "error"}},
        {"interface plug-in",
         Step::plugIn,
         {.code = failed, .kind = ServiceKind::interface},
         {false, "error"}},
        {"interface query", Step::query, {.kind = ServiceKind::interface}, {false, "error"}},
        {"open request", Step::control, {.code = failed}, {false, "openError"}},
        {"close request", Step::control, {.code = failed, .after = 1}, {true, "1"}},
        {"interface open",
         Step::interfaceOpen,
         {.code = iokit::kIOReturnExclusiveAccess},
         {false, "unexpectError"}},
        {"interface close", Step::interfaceClose, {.code = failed, .times = -1}, {true, "1"}},
        {"pipe properties", Step::pipeProperties, {.code = failed, .pipe = 2}, {false, "unexpectError"}},
        {"command write", Step::write, {.code = failed}, {false, "checkPaperSourceError"}},
        {"X write", Step::write, {.code = failed, .after = 3}, {false, "sndXCommandError"}},
        {"reply read", Step::read, {.code = failed}, {false, "checkPaperSourceError"}},
        {"I reply read", Step::read, {.code = failed, .after = 2}, {false, "sndICommandError"}},
        {"page read", Step::read, {.code = failed, .after = 3}, {false, "receiveImagesError"}},
        {"stall clearing", Step::clearStall, {.code = failed}, {false, "receiveImagesError"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        plugScanner();
        scanner->device()->injectFault(c.step, c.fault);
        if (c.step == Step::clearStall) { // a failed page read makes the stall be cleared
            scanner->device()->injectFault(Step::read, {.code = failed, .after = 3});
        }
        saved.clear();
        EXPECT_EQ(scan(command("ADF")), c.expected);
        EXPECT_FALSE(scanner->device()->isInterfaceOpen(1));
        EXPECT_EQ(iokit::liveObjectCounts(), baseline) << iokit::describe(iokit::liveObjectCounts());
        bus->unplug(scanner->device());
    }
}

TEST_F(UsbScanProcessTest, PagesAreCountedAndNamedFromOneWhateverTheStreamNumbers) {
    sim::ScannerScript script;
    script.pages = 2;
    script.firstPageNumber = 7;
    plugScanner(script);
    TraceCapture capture;
    EXPECT_EQ(scan(command("ADF")), (ResultPair{true, "2"}));
    ASSERT_EQ(saved.size(), 2u);
    EXPECT_EQ(saved[0].pageNo, 1);
    EXPECT_EQ(saved[1].pageNo, 2);
    // A scan whose opens all succeed writes no failed open.
    EXPECT_EQ(capture.text().find("open interface failed"), std::string::npos) << capture.text();
}
