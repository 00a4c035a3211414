#include "device/IOReturn.h"

#include "platform/foundation/Print.h"

#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace tbx;

namespace {

class IOReturnTest : public testing::Test {
protected:
    void TearDown() override { ErrorTextOverrides::removeAll(); }
};

} // namespace

TEST_F(IOReturnTest, NamedCodesHaveThePlatformValues) {
    EXPECT_EQ(ioreturn::success, 0);
    EXPECT_EQ(ioreturn::error, int32_t(0xE00002BC));
    EXPECT_EQ(ioreturn::notResponding, int32_t(0xE00002ED));
    EXPECT_EQ(ioreturn::invalid, int32_t(0xE0000001));
    EXPECT_EQ(ioreturn::usbPipeStalled, int32_t(0xE000404F));
    EXPECT_EQ(iokit_usb_err(0x61), int32_t(0xE0004061));
    EXPECT_LT(ioreturn::timeout, 0); // signed 32-bit
}

TEST_F(IOReturnTest, DescriptionLookupFirstEqualEntryAndFallback) {
    EXPECT_EQ(returnCodeDescription(ioreturn::notResponding), "Device not responding");
    EXPECT_EQ(returnCodeDescription(ioreturn::unformattedMedia), "media not formatted");
    // Two names share 0x49; the earlier entry answers for both.
    EXPECT_EQ(returnCodeDescription(ioreturn::usbDeviceNotHighSpeed), "Name is deprecated, see below");
    EXPECT_EQ(returnCodeDescription(ioreturn::usbDeviceTransferredToCompanion),
              "Name is deprecated, see below");
    EXPECT_EQ(returnCodeDescription(ioreturn::invalid), "Should never be seen");
    EXPECT_EQ(returnCodeDescription(1), "IOError (1)");
    EXPECT_EQ(returnCodeDescription(0), "IOError (0)");
    EXPECT_EQ(returnCodeDescription(iokitCommonError(0x2CB)), "IOError (-536870197)");
    EXPECT_EQ(returnCodeDescription(12345), "IOError (12345)");
}

TEST_F(IOReturnTest, TextsKeepTheirOddSpacing) {
    EXPECT_EQ(
        returnCodeDescription(ioreturn::usbLowLatencyBufferNotPreviouslyAllocated),
        "Attempted to use user land low latency isoc calls w/out calling PrepareBuffer (on the data buffer) "
        "first ");
    EXPECT_EQ(returnCodeDescription(ioreturn::usbLowLatencyFrameListNotPreviouslyAllocated).back(), 't');
    EXPECT_NE(returnCodeDescription(ioreturn::usbSyncRequestOnWlThread).find("callback?).  Only async"),
              std::string::npos);
}

TEST_F(IOReturnTest, JqIOErrorRawValuesAndTexts) {
    const std::pair<JqIOError, const char*> cases[] = {
        {JqIOError::noPluginInterface, "I/O: No plugin interface."},
        {JqIOError::pluginHasNoUsbDeviceInterface, "USB: Plugin has no device interface."},
        {JqIOError::pluginHasNoUsbInterfaceInterface, "USB: Plugin has no interface interface."},
        {JqIOError::couldNotQueryInterface, "I/O: Could not query interface."},
        {JqIOError::couldNotQueryUsbDeviceInterface, "USB: Could not query device interface."},
        {JqIOError::couldNotQueryUsbInterfaceInterface, "USB: Could not query interface interface."},
        {JqIOError::couldNotGetEnoughData, "Could not get enough data."},
    };
    int raw = 0;
    for (const auto& [kase, text] : cases) {
        EXPECT_EQ(rawValue(kase), raw);
        EXPECT_EQ(jqIOErrorFromRaw(raw), kase);
        EXPECT_EQ(errorDescription(kase), text);
        EXPECT_EQ(recoverySuggestion(kase), std::nullopt);
        ++raw;
    }
    EXPECT_EQ(jqIOErrorFromRaw(7), std::nullopt);
    EXPECT_EQ(jqIOErrorFromRaw(-1), std::nullopt);
    USBError error(JqIOError::couldNotGetEnoughData);
    EXPECT_EQ(error.code(), 6);
    EXPECT_FALSE(error.isReturnCode());
    EXPECT_STREQ(error.what(), "Could not get enough data.");
    EXPECT_TRUE(error == JqIOError::couldNotGetEnoughData);
}

TEST_F(IOReturnTest, ScannerBuildTracesBeforeThrowingTheExactCode) {
    TraceCapture capture;
    EXPECT_NO_THROW(throwIfNotSuccess<ScannerBuild>(ioreturn::success, "func write "));
    EXPECT_EQ(capture.text(), "");
    try {
        throwIfNotSuccess<ScannerBuild>(ioreturn::notResponding, "func readBytes");
        FAIL() << "no throw";
    } catch (const USBError& error) {
        EXPECT_TRUE(error == ioreturn::notResponding);
        EXPECT_TRUE(error.isReturnCode());
        EXPECT_EQ(error.jqIOError(), std::nullopt);
    }
    EXPECT_EQ(capture.text(),
              "error happened at func readBytes and error is: Optional(\"Device not responding\")\n");
}

TEST_F(IOReturnTest, MonitorBuildThrowsSilentlyAndTracesControlRequests) {
    TraceCapture capture;
    EXPECT_THROW(throwIfNotSuccess<MonitorBuild>(ioreturn::busy, "func readBytes"), USBError);
    EXPECT_EQ(capture.text(), "");
    EXPECT_NO_THROW(throwIfControlRequestNotSuccess<MonitorBuild>(ioreturn::success));
    EXPECT_THROW(throwIfControlRequestNotSuccess<MonitorBuild>(ioreturn::timeout), USBError);
    EXPECT_EQ(capture.text(), "send control request not success\n");
    capture.clear();
    EXPECT_THROW(throwIfControlRequestNotSuccess<ScannerBuild>(ioreturn::timeout), USBError);
    EXPECT_EQ(capture.text(), "");
}

TEST_F(IOReturnTest, ClosureFormThrowsTheMadeError) {
    EXPECT_NO_THROW(throwIfNotSuccess(0, [] { return USBError(JqIOError::noPluginInterface); }));
    EXPECT_THROW(throwIfNotSuccess(ioreturn::error, [] { return std::runtime_error("made"); }),
                 std::runtime_error);
}

TEST_F(IOReturnTest, OverridesChangeOnlyTheCodesTheyAnswerFor) {
    ErrorTextOverrides::addReturnCodeDescription([](IOReturn code) -> std::optional<std::string> {
        if (code == ioreturn::busy) {
            return "Scanner busy";
        }
        return std::nullopt;
    });
    ErrorTextOverrides::addReturnCodeDescription(
        [](IOReturn) -> std::optional<std::string> { return "later"; });
    EXPECT_EQ(returnCodeDescription(ioreturn::busy), "Scanner busy"); // the first answer wins
    EXPECT_EQ(returnCodeDescription(ioreturn::timeout), "later");
    EXPECT_EQ(returnCodeRecoverySuggestion(ioreturn::busy), std::nullopt);

    ErrorTextOverrides::addJqIOErrorRecoverySuggestion([](JqIOError e) -> std::optional<std::string> {
        if (e == JqIOError::couldNotGetEnoughData) {
            return "Retry the scan.";
        }
        return std::nullopt;
    });
    EXPECT_EQ(recoverySuggestion(JqIOError::couldNotGetEnoughData), "Retry the scan.");
    EXPECT_EQ(recoverySuggestion(JqIOError::noPluginInterface), std::nullopt);
    EXPECT_EQ(errorDescription(JqIOError::couldNotGetEnoughData), "Could not get enough data.");
}

TEST_F(IOReturnTest, OverrideListsAreSafeFromManyThreads) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) {
                if (t % 2 == 0) {
                    ErrorTextOverrides::addReturnCodeDescription(
                        [](IOReturn) -> std::optional<std::string> { return std::nullopt; });
                } else {
                    EXPECT_EQ(returnCodeDescription(ioreturn::busy), "Device busy");
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
}
