// What a failed scan's alert says: every failure key has its own text in both
// languages, the page stream's failures are told apart (broken, stalled,
// malformed), and an unknown status shows its code.
#include "platform/foundation/Localization.h"
#include "platform/foundation/Print.h"
#include "scanning/ScanOptions.h"
#include "scanning/ScannerModel.h"
#include "scanning/SocketScanProcess.h"
#include "tests/support/ScanStreams.h"
#include "tests/support/ScriptedStreams.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <set>

using namespace tbx;

namespace {

using Bytes = std::vector<std::uint8_t>;

using test::blockHeader;
using test::trailer;

// One step of a scripted page stream: bytes, the end of the stream (no error)
// or a failed read with this error.
struct Step {
    Bytes bytes;
    std::optional<int> failure = {};
};
const Step kEnd{};

ResultPair receive(const std::vector<Step>& steps) {
    test::ScriptedStreams streams;
    for (const Step& step : steps) {
        if (!step.bytes.empty())
            streams.input->pushBytes(step.bytes);
        else if (step.failure)
            streams.input->pushFailure(*step.failure);
        else
            streams.input->pushEnd();
    }
    TCPCommunicator<ScannerBuild> socket("10.0.0.1", 54321, streams.factory());
    socket.connect();
    ScanParam param;
    param.mode = "GRAY256";
    param.w = 8;
    param.h = 4;
    TraceCapture trace;
    return receiveImages(socket, param, [](const ScanParam&, std::int64_t, std::span<const std::uint8_t>) {
        return ResultPair{true, "saveSuccessfully"};
    });
}

} // namespace

TEST(ScanFailureText, EveryFailureHasItsOwnTextInBothLanguages) {
    // "error" is the alert's title; the failures that answer it carry a detail.
    std::set<std::string> keys{
        // the scan road's own keys
        "noScannerFound", "noSaveDir", "noSaveFileName", "cannotCreateReceiveDir", "openError", "closeError",
        "noPaperInADF", "paperSourceNotExist", "cannotChekPaperSource", "unexpectError",
        "checkPaperSourceError", "sndSCommandError", "sndICommandError", "sndXCommandError",
        "receiveImagesError", "scannerNetworkError", "checkScannerError", "saveImageError",
        // ours, where one of those stands for several failures, and our checks
        "usbScannerNotFound", "scannerOpenRefused", "scanStreamBroken", "scanStreamStalled",
        "scanStreamMalformed", "unknownScannerStatus", "invalidScanSetting", "invalidSaveFileName",
        "saveFileNameNotUTF8", "saveFileNameControlCharacter", "saveFileNameStartsWithDash",
        "saveFileNameTooLong", "cannotCombineBWPages", "combineFailed", "pdfFailed",
        "scanProcessUnavailable"};
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
    setCurrentLanguage("en");
    const std::pair<ResultPair, std::string> cases[] = {
        {{false, "error", "usbScannerNotFound"},
         "The scanner was not found on USB. Check that it is switched on and connected, then refresh the "
         "scanner list."},
        {{false, "scannerNetworkError", "scanStreamStalled"},
         "The scanner stopped sending in the middle of the scan."},
        {{false, "unknownScannerStatus 0x99"},
         "The scanner stopped the scan with a status this program does not know (0x99)."},
        {{false, "someNewKey"}, "someNewKey"},
        {{false, "no text here"}, "no text here"},
    };
    for (const auto& [ret, text] : cases) {
        EXPECT_EQ(failureText(ret), text) << ret;
    }
    setCurrentLanguage("zh");
    EXPECT_EQ(failureText({false, "unknownScannerStatus 0xC7"}),
              "扫描仪以本程序未知的状态停止了扫描（0xC7）。");
    setCurrentLanguage("en");
    // The detail refines the text only: the outcome stays the scan road's key.
    EXPECT_EQ((ResultPair{false, "error", "usbScannerNotFound"}), (ResultPair{false, "error"}));
    EXPECT_EQ(describe({false, "error", "usbScannerNotFound"}),
              "(status: false, message: \"error\", detail: \"usbScannerNotFound\")");
}

TEST(ScanFailureText, PageStreamFailuresAreToldApart) {
    const std::string broken = "scanStreamBroken", stalled = "scanStreamStalled",
                      malformed = "scanStreamMalformed";
    struct Case {
        const char* what;
        std::vector<Step> steps;
        std::string message;
        std::string detail;
    };
    const std::vector<Case> cases{
        {"closed inside a payload", {{blockHeader(4)}, {{1, 2}}, kEnd}, "scannerNetworkError", broken},
        {"closed before the trailer", {{blockHeader(2)}, {{1, 2}}, kEnd}, "scannerNetworkError", broken},
        {"reset inside a payload", {{blockHeader(2)}, {{}, ECONNRESET}}, "scannerNetworkError", broken},
        {"silent inside a payload", {{blockHeader(2)}, {{}, ETIMEDOUT}}, "scannerNetworkError", stalled},
        {"silent between pages",
         {{blockHeader(1)}, {{5}}, {trailer()}, {{}, ETIMEDOUT}},
         "scannerNetworkError",
         stalled},
        // The stream is cut by its own lengths: a header whose rest never comes
        // is a stream that ended inside a page.
        {"a header cut short", {{{1, 2, 3, 4, 5}}, kEnd}, "scannerNetworkError", broken},
        {"a trailer without its mark",
         {{blockHeader(1)}, {{5}}, {trailer(0x42)}},
         "scannerNetworkError",
         broken},
        {"a trailer without a block", {{trailer()}}, "scannerNetworkError", malformed},
        {"an unknown status",
         {{blockHeader(1)}, {{5}}, {trailer()}, {{0x99}}},
         "unknownScannerStatus 0x99",
         ""},
    };
    for (const Case& c : cases) {
        const ResultPair result = receive(c.steps);
        EXPECT_EQ(result, (ResultPair{false, c.message})) << c.what;
        EXPECT_EQ(result.detail, c.detail) << c.what;
    }
}
