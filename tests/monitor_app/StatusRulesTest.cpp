// The status view's rules over plain state: level colours, the connection
// lines, the network-settings button and the texts looked up as keys.
#include "monitor_app/StatusRules.h"

#include "platform/foundation/Localization.h"

#include <gtest/gtest.h>

namespace tbx::monitorapp {
namespace {

class StatusRulesTest : public testing::Test {
protected:
    void SetUp() override { setCurrentLanguage("zh"); }
    void TearDown() override { setCurrentLanguage(languageFromEnvironment()); }
};

TEST_F(StatusRulesTest, LevelColours) {
    const QColor black(Qt::black);
    const QColor orange(255, 149, 0);
    const QColor red(255, 59, 48);
    const struct {
        int level;
        QColor colour;
    } cases[] = {{1, black}, {2, orange}, {3, red}, {0, red}, {4, red}, {-1, red}, {99, red}};
    for (const auto& c : cases) {
        EXPECT_EQ(levelColor(c.level), c.colour) << "level " << c.level;
    }
}

TEST_F(StatusRulesTest, NetworkSettingOnlyForExactlyUsb) {
    const struct {
        const char* type;
        bool shown;
    } cases[] = {{"USB", true}, {"Net", false}, {"", false}, {"usb", false}, {"USB ", false}};
    for (const auto& c : cases) {
        EXPECT_EQ(showsNetworkSetting(c.type), c.shown) << '"' << c.type << '"';
    }
}

TEST_F(StatusRulesTest, ConnectionLinesByType) {
    const struct {
        const char* type;
        const char* ip;
        QStringList lines;
    } cases[] = {
        {"Net", "10.213.0.2", {"网络打印机", QString::fromUtf8("IP：10.213.0.2")}},
        {"USB", "", {"USB 打印机"}},
        {"USB", "10.0.0.1", {"USB 打印机"}},
        {"", "", {}},
        {"net", "10.0.0.1", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(connectionLines(c.type, c.ip), c.lines) << c.type;
    }
    // The colon after "IP" is the full-width one, directly followed by the address.
    EXPECT_EQ(connectionLines("Net", "1.2.3.4").at(1).toStdU32String(), U"IP\uFF1A1.2.3.4");
}

TEST_F(StatusRulesTest, ContentLooksUpStatusTextsButNotTheName) {
    const StatusContent content = statusContent({.name = "connecting",
                                                 .type = "Net",
                                                 .ip = "10.213.0.2",
                                                 .level = 2,
                                                 .message = "connecting",
                                                 .discription = "请添加纸张"});
    EXPECT_EQ(content.header, "connecting"); // the name is never a key
    EXPECT_EQ(content.pictureName, "connecting");
    EXPECT_FALSE(content.networkSettingShown);
    EXPECT_EQ(content.message, "正在连接");
    EXPECT_EQ(content.description, "请添加纸张"); // no entry: shown unchanged
    EXPECT_EQ(content.levelColor, levelColor(2));
}

} // namespace
} // namespace tbx::monitorapp
