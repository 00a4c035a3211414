// The Wi-Fi forms' rules: the IPv4 check and its messages, what OK writes, the
// password that a network choice brings and the signal icons.
#include "wifi_setup/forms/WifiFormRules.h"

#include <gtest/gtest.h>

namespace tbx::wifi::forms {
namespace {

TEST(WifiFormRulesTest, FirstFailingAddressNamesTheMessage) {
    const struct {
        const char* ip;
        const char* mask;
        const char* gateway;
        std::optional<std::string> message;
    } cases[] = {
        {"192.168.1.10", "255.255.255.0", "192.168.1.1", std::nullopt},
        {"", "", "", "IP格式错误"},
        {"bad", "bad", "bad", "IP格式错误"},
        {"192.168.1.10", "255.255.255", "bad", "子网掩码格式错误"},
        {"192.168.1.10", "255.255.255.0", "192.168.1.", "网关格式错误"},
        {"192.168.1.10", "1.2.3.4", "5.6.7.8", std::nullopt}, // any dotted quad is a mask
    };
    for (const auto& c : cases) {
        EXPECT_EQ(firstAddressError(c.ip, c.mask, c.gateway), c.message)
            << c.ip << ' ' << c.mask << ' ' << c.gateway;
    }
}

TEST(WifiFormRulesTest, EncryptionSentAsZeroOrSix) {
    const struct {
        std::int64_t selection;
        std::int64_t sent;
    } cases[] = {{0, 0}, {1, 6}, {6, 6}, {-1, 6}};
    for (const auto& c : cases) {
        EXPECT_EQ(encryptModeToSend(c.selection), c.sent) << c.selection;
    }
}

TEST(WifiFormRulesTest, FixedAddressModeOnlyForExactlyS) {
    const struct {
        const char* type;
        std::int64_t selection;
    } cases[] = {{"S", 1}, {"D", 0}, {"", 0}, {"s", 0}, {"Manual", 0}, {"S ", 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(ipSetTypeSelection(c.type), c.selection) << '"' << c.type << '"';
    }
}

TEST(WifiFormRulesTest, ClientWriteByAddressMode) {
    ClientFormState state{.selection = 2,
                          .wifiName = "home",
                          .wifiPassword = "pa;ss?",
                          .ipSetTypeSelection = 0,
                          .ip = "not an address",
                          .mask = "x",
                          .gateway = "y"};
    // DHCP: nothing is checked, the addresses go as 0.0.0.0.
    EXPECT_EQ(clientAddressError(state), std::nullopt);
    ClientRecordWrite write = clientRecordWrite(state);
    EXPECT_EQ(write.wifiPassword, "pa;ss?");
    EXPECT_EQ(write.ip, "0.0.0.0");
    EXPECT_EQ(write.mask, "0.0.0.0");
    EXPECT_EQ(write.gateway, "0.0.0.0");
    EXPECT_EQ(write.ipSetType, "D");
    EXPECT_EQ(write.orderInList, 2);

    // Fixed: checked in the order ip, mask, gateway, then written as typed.
    state.ipSetTypeSelection = 1;
    EXPECT_EQ(clientAddressError(state), "IP格式错误");
    state.ip = "192.168.1.20";
    EXPECT_EQ(clientAddressError(state), "子网掩码格式错误");
    state.mask = "255.255.255.0";
    EXPECT_EQ(clientAddressError(state), "网关格式错误");
    state.gateway = "192.168.1.1";
    EXPECT_EQ(clientAddressError(state), std::nullopt);
    write = clientRecordWrite(state);
    EXPECT_EQ(write.ip, "192.168.1.20");
    EXPECT_EQ(write.mask, "255.255.255.0");
    EXPECT_EQ(write.gateway, "192.168.1.1");
    EXPECT_EQ(write.ipSetType, "S");
}

TEST(WifiFormRulesTest, PasswordFollowsTheChosenNetwork) {
    const struct {
        const char* chosen;
        const char* recordName;
        const char* expected;
    } cases[] = {
        {"home", "home", "secret"},
        {"office", "home", ""},
        {"Home", "home", ""},
        {"caf\u00e9", "cafe\u0301", "secret"}, // canonically equivalent names are equal
        {"", "", "secret"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(passwordForChoice(c.chosen, c.recordName, "secret"), c.expected) << c.chosen;
    }
}

TEST(WifiFormRulesTest, SignalIcons) {
    const struct {
        std::int64_t signal;
        const char* icon;
    } cases[] = {{-3, "custom.wifi.weak"},  {0, "custom.wifi.weak"},    {2, "custom.wifi.weak"},
                 {3, "custom.wifi.medium"}, {4, "custom.wifi.medium"},  {5, "custom.wifi.strong"},
                 {9, "custom.wifi.strong"}, {100, "custom.wifi.strong"}};
    for (const auto& c : cases) {
        EXPECT_EQ(wifiIconName(c.signal), c.icon) << c.signal;
    }
}

TEST(WifiFormRulesTest, ClientOkNeedsANetwork) {
    EXPECT_FALSE(clientOkEnabled(0));
    EXPECT_TRUE(clientOkEnabled(1));
}

} // namespace
} // namespace tbx::wifi::forms
