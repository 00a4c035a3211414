#include "scanning/ScanOptions.h"

#include <gtest/gtest.h>
#include <thread>

using namespace tbx;

TEST(ScanOptions, ListsInIndexOrder) {
    using V = std::vector<std::string>;
    EXPECT_EQ(colorModeOption(), (V{"CGRAY", "GRAY256", "TEXT"}));
    EXPECT_EQ(resolutionOption(), (V{"200dpi", "300dpi", "600dpi", "1200dpi"}));
    EXPECT_EQ(typeOption(), (V{"AUTO", "PHOTO", "TYPE"}));
    EXPECT_EQ(compressionOption(), (V{"JPEG", "BMP"}));
    EXPECT_EQ(pageSizeOption(), (V{"A4", "A5", "B5(JIS)", "Letter"}));
    EXPECT_EQ(scanSourceOption(), (V{"AUTO", "ADF", "FB"}));
    EXPECT_EQ(saveFileTypeOption(), (V{"JPEG", "PDF", "BMP"}));
    EXPECT_EQ(rotateOption(), (std::vector<std::int64_t>{0, 90, 180}));
    EXPECT_EQ(combineTypeOption(), (V{"NoCombine", "CombinHorizontal", "CombinVertical", "IDCard"}));
}

TEST(ScanOptions, StatusTable) {
    const std::map<std::int64_t, std::string> expected{
        {0x80, "scanFinished"},
        {0x83, "forceInterruptByCommadR"},
        {0x86, "stoppedByDeviceKey"},
        {0xC2, "noPaperInADF"},
        {0xC3, "paperJunck"},
        {0xC4, "upperDoorOpen"},
        {0xC5, "cannotScannerByICommandC5"},
        {0xC6, "scannerMemoryFull"},
        {0xD0, "commandXSyntaxError"},
        {0xE2, "paperTooLong"},
        {0xE4, "runPaperFailed"},
        {0xE7, "resetFailed"},
        {0xE9, "pushOutPaperFailed"},
    };
    EXPECT_EQ(ScanStatus(), expected);
    EXPECT_EQ(ScanStatus().size(), 13u);
    EXPECT_EQ(scanStatusKey(0xC4), std::optional<std::string>("upperDoorOpen"));
    EXPECT_FALSE(scanStatusKey(0x81).has_value());
    EXPECT_FALSE(scanStatusKey(-1).has_value());
}

TEST(ScanOptions, KnownModels) {
    ASSERT_EQ(ZelkDevices().size(), 1u);
    const BaseDevice& d = ZelkDevices()[0];
    EXPECT_EQ(d.name, "Tamberlyx");
    EXPECT_EQ(d.oid, "53303.4.7.1.9");
    EXPECT_EQ(d.PID, 0x37);
    EXPECT_EQ(d.VID, 0x356C);
    EXPECT_EQ(BaseDevice("Other", "1.2", 9).VID, 0x356C);
}

TEST(ScanOptions, FirstUseFromManyThreadsSeesOneList) {
    std::vector<std::thread> threads;
    std::vector<const void*> seen(8);
    for (std::size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&seen, i] { seen[i] = &ZelkDevices(); });
    }
    for (auto& t : threads) {
        t.join();
    }
    for (auto* p : seen) {
        EXPECT_EQ(p, seen[0]);
    }
}
