// Reading the printer's answers: every reply of another form than expected
// reads as "no value", never as a made-up code or level.
#include "monitor/StatusReply.h"

#include <gtest/gtest.h>
#include <vector>

namespace tbx {
namespace {

TEST(StatusReplyTest, StatusCodeComesFromBetweenTheFirstQuoteAndTheFirstComma) {
    const std::pair<std::string, std::optional<std::int64_t>> cases[] = {
        {"STRING: \"3004,cover\"", 3004},
        {"STRING: \"2009,\"", 2009},
        {"STRING: \"-7,x\"", -7},
        {"STRING: \"+7,x\"", 7},
        {"STRING: \"7777,a,b\"", 7777},
        {"STRING: \"9223372036854775807,x\"", INT64_MAX},
        {"STRING: \"-9223372036854775808,x\"", INT64_MIN},
        {"error", std::nullopt},
        {"", std::nullopt},
        {"INTEGER: 3", std::nullopt},                        // no quote
        {"STRING: \"3004\"", std::nullopt},                  // no comma
        {"STR,ING: \"3004,cover\"", std::nullopt},           // comma before the quote
        {"STRING: \",cover\"", std::nullopt},                // nothing between
        {"STRING: \"30a4,cover\"", std::nullopt},            // not digits
        {"STRING: \" 3004,cover\"", std::nullopt},           // blank
        {"STRING: \"-,cover\"", std::nullopt},               // sign only
        {"STRING: \"9223372036854775808,x\"", std::nullopt}, // overflows
        {"STRING: \"99999999999999999999999,x\"", std::nullopt},
        {"No Such Object available on this agent at this OID", std::nullopt},
        {"Hex-STRING: 33 30 30 34 2C E5 89 8D", std::nullopt},
        {"\"3004,cover\"", 3004}, // a user's quick printing drops the type word
    };
    for (const auto& [reply, code] : cases) {
        EXPECT_EQ(statusCodeFromReply(reply), code) << reply;
    }
}

TEST(StatusReplyTest, TonerIsTheNumberAfterTheOneSeparator) {
    struct Case {
        std::string reply;
        std::optional<std::string> value;
        int toner;
    };
    const Case cases[] = {
        {"INTEGER: 57", "57", 57},
        {"INTEGER: 0", "0", 0},
        {"INTEGER: -3", "-3", -3},
        {"INTEGER: 200", "200", 200},
        {"Gauge32: 12", "12", 12},
        {"error", std::nullopt, 0},
        {"", std::nullopt, 0},
        {"57", std::nullopt, 0},
        {"INTEGER: 57: 3", std::nullopt, 0},      // two separators
        {"STRING: \"57\"", "\"57\"", 0},          // not a number
        {"INTEGER: 4294967296", "4294967296", 0}, // does not fit
        {"INTEGER: ", "", 0},
        {"No Such Object available on this agent at this OID", std::nullopt, 0},
    };
    for (const auto& c : cases) {
        const TonerReply toner = tonerFromReply(c.reply);
        EXPECT_EQ(toner.value, c.value) << c.reply;
        EXPECT_EQ(toner.toner, c.toner) << c.reply;
    }
}

TEST(StatusReplyTest, UsbAnswerNeedsTheTwoCodeBytesAndKeepsTheTonerOnlyWhenSent) {
    struct Case {
        std::vector<std::uint8_t> bytes;
        std::size_t received;
        std::optional<std::int64_t> code;
        std::optional<int> toner;
    };
    const Case cases[] = {
        {{0xD9, 0x07, 0x32}, 3, 2009, 50},
        {{0xBC, 0x0B, 0x00}, 3, 3004, 0},
        {{0xFF, 0xFF, 0xC8, 0x11}, 512, 65535, 200},
        {{0x01, 0x00, 0x50}, 2, 1, std::nullopt}, // the toner byte did not come
        {{0x01, 0x00, 0x50}, 1, std::nullopt, std::nullopt},
        {{0x00, 0x00, 0x00}, 0, std::nullopt, std::nullopt},
        {{0x01}, 5, std::nullopt, std::nullopt}, // more reported than the buffer holds
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes) + " received " + std::to_string(c.received));
        const auto answer = usbStatusFromAnswer(c.bytes, c.received);
        ASSERT_EQ(answer.has_value(), c.code.has_value());
        if (answer) {
            EXPECT_EQ(answer->code, *c.code);
            EXPECT_EQ(answer->toner, c.toner);
        }
    }
}

} // namespace
} // namespace tbx
