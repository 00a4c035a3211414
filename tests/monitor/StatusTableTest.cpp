// The status vocabulary: rows as the printer's users know them, the fallback
// for unknown codes and other printers, and the trace line of each decoding.
#include "monitor/TamberlyxStatus.h"
#include "platform/foundation/Print.h"

#include <gtest/gtest.h>
#include <map>

namespace tbx {
namespace {

struct Decoding {
    std::int64_t code;
    std::string name;
    int level;
    std::string message;
    std::string discription;
};

const std::string kRestart = "请重启设备，如果错误还存在，请联系厂家";

TEST(StatusTableTest, DecodesKnownCodesOfTheModelAndFallsBackForEverythingElse) {
    const Decoding cases[] = {
        {2009, "Tamberlyx", 1, "休眠", ""},
        {1, "Tamberlyx", 1, "就绪", ""},
        {10, "Tamberlyx", 1, "就绪", ""},
        {1011, "Tamberlyx", 1, "正在打印", ""},
        {2017, "Tamberlyx", 2, "纸量较少", "请添加纸张"},
        {3030, "Tamberlyx", 2, "墨粉已不多", "请关注粉盒状态"},
        {3004, "Tamberlyx", 3, "前盖打开", "请关闭前盖"},
        {3070, "Tamberlyx", 3, "机芯前部有纸-取纸", "机芯前部有纸-取纸"},
        {3101, "Tamberlyx", 3, "纸盒无纸", "纸盒无纸,按 OK 键继续打印"},
        {3173, "Tamberlyx", 3, "激光马达错误", "激光马达错误，请重启打印机"},
        {3174, "Tamberlyx", 3, "激光马达同步错误", "激光马达同步错误，请重启打印机"},
        // Codes the table lacks.
        {0, "Tamberlyx", 3, "错误码0", kRestart},
        {3, "Tamberlyx", 3, "错误码3", kRestart},
        {3172, "Tamberlyx", 3, "错误码3172", kRestart},
        {-12, "Tamberlyx", 3, "错误码-12", kRestart},
        // Only the exact model name reads the table.
        {1, "", 3, "错误码1", kRestart},
        {1, "Tamberlyx(USB)", 3, "错误码1", kRestart},
        {1, "tamberlyx", 3, "错误码1", kRestart},
        {2009, "KRV-1", 3, "错误码2009", kRestart},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.code) + " from \"" + c.name + "\"");
        TraceCapture trace;
        const StatusRow row = decodeStatusInfo(c.code, c.name);
        EXPECT_EQ(row.level, c.level);
        EXPECT_EQ(row.message, c.message);
        EXPECT_EQ(row.discription, c.discription);
        EXPECT_EQ(trace.text(),
                  "select printer is " + c.name + " and status code = " + std::to_string(c.code) + "\n");
    }
}

TEST(StatusTableTest, HoldsFiftySixRowsWithTheirLevelsAndPunctuation) {
    const auto& table = TamberlyxStatus();
    ASSERT_EQ(table.size(), 56u);
    std::map<int, int> perLevel;
    for (const auto& [code, row] : table) {
        SCOPED_TRACE(code);
        ++perLevel[row.level];
        if (row.level == 1) {
            EXPECT_EQ(row.discription, "");
        } else {
            EXPECT_NE(row.discription, "");
        }
        const bool okRow = code == 3100 || code == 3101 || code == 3102;
        // The three "press OK" rows use an ASCII comma; no other row does.
        EXPECT_EQ(row.discription.find(',') != std::string::npos, okRow);
        EXPECT_EQ(row.discription.find(",按 OK 键继续打印") != std::string::npos, okRow);
        EXPECT_EQ(row.message.find(','), std::string::npos);
    }
    EXPECT_EQ(perLevel, (std::map<int, int>{{1, 9}, {2, 3}, {3, 44}}));
    // Rows that repeat their message as the description.
    for (const std::int64_t code : {3070, 3073, 3076}) {
        EXPECT_EQ(table.at(code).message, table.at(code).discription) << code;
    }
}

} // namespace
} // namespace tbx
