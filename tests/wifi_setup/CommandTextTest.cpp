// Command building, escaping, masking, reply cutting and parsing, and the IPv4
// rule, on hand-made texts.
#include "wifi_setup/CommandText.h"

#include "wifi_setup/IPv4Rule.h"

#include <gtest/gtest.h>

using namespace tbx;
using namespace tbx::wifi;

namespace {

TEST(CommandTextTest, Components) {
    using V = std::vector<std::string>;
    EXPECT_EQ(components("a,b,", ","), (V{"a", "b", ""}));
    EXPECT_EQ(components("", ","), (V{""}));
    EXPECT_EQ(components("abc", ";"), (V{"abc"}));
    EXPECT_EQ(components("a\r\n\r\nb", "\r\n"), (V{"a", "", "b"}));
    EXPECT_EQ(components("a\rb\nc", "\r\n"), (V{"a\rb\nc"}));
}

TEST(CommandTextTest, EscapingKeepsOnlyTheFinalSemicolon) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"SetwifiAP=a;b?c\r\n6\r\np;w\r\nS\r\n1\r\n2\r\n3;", "SetwifiAP=a\x02"
                                                             "b\x01"
                                                             "c\r\n6\r\np\x02w\r\nS\r\n1\r\n2\r\n3;"},
        {"SetwifiSTA=x;;", "SetwifiSTA=x\x02;"},
        {"CheckwifiAP?", "CheckwifiAP?"},
        {"a?b?", "a\x01"
                 "b?"},
        {"密码;", "密码;"},
        {"", ""},
    };
    for (const auto& [plain, escaped] : cases) {
        EXPECT_EQ(escapeCommand(plain), escaped) << plain;
    }
}

TEST(CommandTextTest, CommandsJoinTheirFields) {
    EXPECT_EQ(apCommand({"n", 6, "p", "1.1.1.1", "2.2.2.2", "3.3.3.3"}, "6"),
              "SetwifiAP=n\r\n6\r\np\r\nS\r\n1.1.1.1\r\n2.2.2.2\r\n3.3.3.3;");
    EXPECT_EQ(clientModeCommand("net", {"ignored", "pw", 5, "D", "0.0.0.0", "0.0.0.0", "0.0.0.0"}),
              "SetwifiSTA=net\r\npw\r\nD\r\n0.0.0.0\r\n0.0.0.0\r\n0.0.0.0;");
}

TEST(CommandTextTest, MaskingHidesOnlyThePassword) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"SetwifiAP=n\r\n6\r\nsecret\r\nS\r\n1\r\n2\r\n3;",
         "SetwifiAP=n\r\n6\r\n******\r\nS\r\n1\r\n2\r\n3;"},
        {"SetwifiAP=n\r\n6\r\n\r\nS\r\n1\r\n2\r\n3;", "SetwifiAP=n\r\n6\r\n\r\nS\r\n1\r\n2\r\n3;"},
        {"SetwifiSTA=net\r\nse\x02"
         "cret\r\nD\r\n0\r\n0\r\n0;",
         "SetwifiSTA=net\r\n******\r\nD\r\n0\r\n0\r\n0;"},
        {"SetwifiSTA=net\r\nsecret", "SetwifiSTA=net\r\nsecret"}, // nothing after it: not a password field
        {"CheckwifiAP?", "CheckwifiAP?"},
    };
    for (const auto& [command, masked] : cases) {
        EXPECT_EQ(maskedCommand(command), masked) << command;
    }
}

TEST(CommandTextTest, ControlBytes) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"plain text", false},  {"密码 ;?", false}, {"", false},
        {"\r", true},           {"\n", true},       {"\x01", true},
        {"\x1f", true},         {"\x7f", true},     {std::string("a\0", 2), true},
        {"\x80\xc3\xa9", false}};
    for (const auto& [field, held] : cases) {
        EXPECT_EQ(holdsControlByte(field), held) << testing::PrintToString(field);
    }
}

TEST(CommandTextTest, ReplyCodeAndText) {
    EXPECT_EQ(replyCode("8004,ok"), "8004");
    EXPECT_EQ(replyCode("8004"), "8004");
    EXPECT_EQ(replyCode(",x"), "");
    using B = std::vector<std::uint8_t>;
    const std::vector<std::pair<B, std::optional<std::string>>> cases = {
        {{'8', '0', '0', '4', 0, 0, 0}, "8004"},
        {{'a', 0, 'b', 0}, std::string("a\0b", 3)},
        {{0, 0}, ""},
        {{}, ""},
        {{'a', 0xFF}, std::nullopt},
        {{0xE5, 0xAF, 0x86, 0}, "密"},
        {{0xE5, 0xAF, 0}, std::nullopt}, // a character cut short
    };
    for (const auto& [bytes, text] : cases) {
        EXPECT_EQ(replyText(bytes), text) << testing::PrintToString(bytes);
    }
}

TEST(CommandTextTest, OptionalDescription) {
    EXPECT_EQ(optionalDescription(std::nullopt), "nil");
    EXPECT_EQ(optionalDescription("ab"), "Optional(\"ab\")");
    EXPECT_EQ(optionalDescription("a\"b\\c'"), "Optional(\"a\\\"b\\\\c\\'\")");
    EXPECT_EQ(optionalDescription("1\r\n2\t"), "Optional(\"1\\r\\n2\\t\")");
    EXPECT_EQ(optionalDescription(std::string("x\0\x01\x7f", 4)), "Optional(\"x\\0\\u{1}\\u{7F}\")");
    EXPECT_EQ(optionalDescription("咖啡"), "Optional(\"咖啡\")");
}

TEST(CommandTextTest, SettingsReply) {
    const auto reply = settingsReply("8014,a;Name;rest\r\n6\r\np\r\n1\r\n2\r\n3\r\n4");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->name, "Name");
    EXPECT_EQ(reply->lines, (std::vector<std::string>{"6", "p", "1", "2", "3"}));
    EXPECT_EQ(settingsReply("8014,a;\r\n\r\n\r\n\r\n\r\n")->name, "");
    EXPECT_FALSE(settingsReply("8014,a;N\r\n6\r\np\r\n1\r\n2"));
    EXPECT_FALSE(settingsReply("8014,a N\r\n6\r\np\r\n1\r\n2\r\n3"));
}

TEST(CommandTextTest, UnicodeTextEquality) {
    EXPECT_TRUE(sameUnicodeText("Caf\xC3\xA9", "Cafe\xCC\x81"));
    EXPECT_TRUE(sameUnicodeText("", ""));
    EXPECT_FALSE(sameUnicodeText("Cafe", "Caf\xC3\xA9"));
    EXPECT_FALSE(sameUnicodeText("office", "Office"));
}

TEST(IPv4RuleTest, WholeTextMustBeADottedQuad) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"192.168.1.1", true},   {"192.168.001.010", true},
        {"0.0.0.0", true},       {"255.255.255.255", true},
        {"1.2.3.4", true},       {"192.168.1.256", false},
        {"192.168.1.1 ", false}, {" 192.168.1.1", false},
        {"192.168.1", false},    {"", false},
        {"1.2.3.4\n", false},    {"1.2.3.4\n5.6.7.8", false},
        {"1.2.3.4.5", false},    {"1.2.3.0004", false},
        {"a.b.c.d", false},      {"1,2,3,4", false},
    };
    for (const auto& [text, passes] : cases) {
        EXPECT_EQ(isIPv4Text(text), passes) << testing::PrintToString(text);
    }
}

} // namespace
