// What a failed scan's alert says: every failure key has its own text in both
// languages, the page stream's failures are told apart (broken, stalled,
// malformed), and an unknown status shows its code.
#include "platform/foundation/Localization.h"
#include "platform/foundation/Print.h"
#include "scanning/ScanOptions.h"
#include "scanning/ScannerModel.h"
#include "scanning/SocketScanProcess.h"

#include <cerrno>
#include <deque>
#include <gtest/gtest.h>
#include <map>
#include <set>

using namespace tbx;

namespace {

using Bytes = std::vector<std::uint8_t>;

// A page stream that delivers one scripted step per read: bytes, or a failed
// read with an error code (ETIMEDOUT when a bound ran out).
class StepStream final : public cfnetwork::InputStream {
public:
    struct Step {
        Bytes bytes;
        long result = 0; // used when `bytes` is empty: 0 end of stream, -1 failure
        int error = 0;
    };
    explicit StepStream(std::deque<Step> steps) : steps_(std::move(steps)) {}
    void open() override {}
    void close() override {}
    cfnetwork::StreamStatus streamStatus() const override { return cfnetwork::StreamStatus::open; }
    int streamError() const override { return error_; }
    long read(std::uint8_t* buffer, std::size_t maxLength) override {
        if (steps_.empty())
            return 0;
        Step& step = steps_.front();
        if (step.bytes.empty()) {
            error_ = step.error;
            const long result = step.result;
            steps_.pop_front();
            return result;
        }
        const std::size_t n = std::min(maxLength, step.bytes.size());
        std::copy_n(step.bytes.begin(), n, buffer);
        step.bytes.erase(step.bytes.begin(), step.bytes.begin() + std::ptrdiff_t(n));
        if (step.bytes.empty())
            steps_.pop_front();
        return long(n);
    }

private:
    std::deque<Step> steps_;
    int error_ = 0;
};

class NoOutput final : public cfnetwork::OutputStream {
public:
    void open() override {}
    void close() override {}
    cfnetwork::StreamStatus streamStatus() const override { return cfnetwork::StreamStatus::open; }
    int streamError() const override { return 0; }
    long write(const std::uint8_t*, std::size_t length) override { return long(length); }
};

StepStream::Step bytes(Bytes b) {
    return {std::move(b)};
}
StepStream::Step header(std::size_t length) {
    Bytes h(12, 0);
    h[3] = 1;
    h[10] = std::uint8_t(length & 0xFF);
    h[11] = std::uint8_t(length >> 8);
    return {h};
}
StepStream::Step trailer(std::uint8_t first = 0x82) {
    Bytes t(10, 0);
    t[0] = first;
    return {t};
}
StepStream::Step end() {
    return {{}, 0, 0};
}
StepStream::Step failure(int error) {
    return {{}, -1, error};
}

ResultPair receive(std::deque<StepStream::Step> steps) {
    auto input = std::make_shared<StepStream>(std::move(steps));
    TCPCommunicator<ScannerBuild> socket("10.0.0.1", 54321,
                                         [input](const std::string&, std::uint32_t, const cfnetwork::StreamTimeouts&) {
                                             return cfnetwork::StreamPair{input, std::make_shared<NoOutput>()};
                                         });
    socket.connect();
    ScanParam param;
    param.mode = "GRAY256";
    param.w = 8;
    param.h = 4;
    TraceCapture trace;
    return receiveImages(socket, param,
                         [](const ScanParam&, std::int64_t, std::span<const std::uint8_t>) {
                             return ResultPair{true, "saveSuccessfully"};
                         });
}

} // namespace

TEST(ScanFailureText, EveryFailureHasItsOwnTextInBothLanguages) {
    // "error" is the alert's title; the failures that answer it carry a detail.
    std::set<std::string> keys{
        // the scan road's own keys
        "noScannerFound", "noSaveDir", "noSaveFileName", "cannotCreateReceiveDir", "openError",
        "closeError", "noPaperInADF", "paperSourceNotExist", "cannotChekPaperSource", "unexpectError",
        "checkPaperSourceError", "sndSCommandError", "sndICommandError", "sndXCommandError",
        "receiveImagesError", "scannerNetworkError", "checkScannerError", "saveImageError",
        // ours, where one of those stands for several failures, and our checks
        "usbScannerNotFound", "scannerOpenRefused", "scanStreamBroken", "scanStreamStalled",
        "scanStreamMalformed", "unknownScannerStatus", "invalidScanSetting", "invalidSaveFileName",
        "saveFileNameNotUTF8", "saveFileNameControlCharacter", "saveFileNameStartsWithDash",
        "saveFileNameTooLong", "cannotCombineBWPages", "combineFailed", "pdfFailed", "scanProcessUnavailable"};
    for (const auto& [code, word] : ScanStatus()) {
        if (code != 0x80) {
            keys.insert(word); // noPaperInADF is a status word and a reply of the paper check
        }
    }
    for (const std::string language : {"en", "zh"}) {
        const auto& table = stringTable(language);
        std::map<std::string, std::string> byText;
        for (const auto& key : keys) {
            const auto it = table.find(key);
            ASSERT_NE(it, table.end()) << language << " has no text for " << key;
            EXPECT_NE(it->second, table.at("error")) << language << " " << key << " reads like the title";
            const auto [seen, fresh] = byText.emplace(it->second, key);
            EXPECT_TRUE(fresh) << language << ": " << key << " and " << seen->second << " read the same";
        }
    }
}

TEST(ScanFailureText, DetailsAndArgumentsMakeTheAlertText) {
    struct Case {
        ResultPair ret;
        std::string en;
        std::string zh;
    };
    const std::vector<Case> cases{
        {{false, "error", "usbScannerNotFound"},
         "The scanner was not found on USB. Check that it is switched on and connected, then refresh the "
         "scanner list.",
         "在 USB 上找不到扫描仪。请确认扫描仪已开机并已连接，然后刷新扫描仪列表。"},
        {{false, "scannerNetworkError", "scanStreamStalled"},
         "The scanner stopped sending in the middle of the scan.",
         "扫描进行到一半时扫描仪停止了发送。"},
        {{false, "scannerNetworkError"},
         "The scanner could not be reached over the network.",
         "无法通过网络连接扫描仪。"},
        {{false, "unknownScannerStatus 0x99"},
         "The scanner stopped the scan with a status this program does not know (0x99).",
         "扫描仪以本程序未知的状态停止了扫描（0x99）。"},
        {{false, "someNewKey"}, "someNewKey", "someNewKey"},
        {{false, "no text here"}, "no text here", "no text here"},
    };
    for (const Case& c : cases) {
        setCurrentLanguage("en");
        EXPECT_EQ(failureText(c.ret), c.en) << c.ret;
        setCurrentLanguage("zh");
        EXPECT_EQ(failureText(c.ret), c.zh) << c.ret;
    }
    setCurrentLanguage("en");
    // The detail refines the text only: the outcome stays the scan road's key.
    EXPECT_EQ((ResultPair{false, "error", "usbScannerNotFound"}), (ResultPair{false, "error"}));
    EXPECT_EQ(describe({false, "error", "usbScannerNotFound"}),
              "(status: false, message: \"error\", detail: \"usbScannerNotFound\")");
}

TEST(ScanFailureText, PageStreamFailuresAreToldApart) {
    struct Case {
        const char* what;
        std::deque<StepStream::Step> steps;
        ResultPair expected;
    };
    const std::vector<Case> cases{
        {"closed inside a payload", {header(4), bytes({1, 2}), end()}, {false, "scannerNetworkError", "scanStreamBroken"}},
        {"closed before the trailer", {header(2), bytes({1, 2}), end()}, {false, "scannerNetworkError", "scanStreamBroken"}},
        {"reset inside a payload", {header(2), failure(ECONNRESET)}, {false, "scannerNetworkError", "scanStreamBroken"}},
        {"silent inside a payload", {header(2), failure(ETIMEDOUT)}, {false, "scannerNetworkError", "scanStreamStalled"}},
        {"silent between pages",
         {header(1), bytes({5}), trailer(), failure(ETIMEDOUT)},
         {false, "scannerNetworkError", "scanStreamStalled"}},
        {"a header cut short", {bytes({1, 2, 3, 4, 5}), end()}, {false, "scannerNetworkError", "scanStreamMalformed"}},
        {"a trailer without its mark",
         {header(1), bytes({5}), trailer(0x42)},
         {false, "scannerNetworkError", "scanStreamMalformed"}},
        {"an unknown status", {header(1), bytes({5}), trailer(), bytes({0x99})}, {false, "unknownScannerStatus 0x99"}},
    };
    for (const Case& c : cases) {
        const ResultPair result = receive(c.steps);
        EXPECT_EQ(result, c.expected) << c.what;
        EXPECT_EQ(result.detail, c.expected.detail) << c.what;
    }
}
