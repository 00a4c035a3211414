#include "TestDestinations.h"
#include "logging/Text.h"
#include "platform/foundation/Print.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using tbx::LogLevel;
using tbx::test::FixedClockDestination;

namespace {

std::string fmt(FixedClockDestination& d, std::string_view format, LogLevel level = LogLevel::info,
                std::string msg = "ready", tbx::LogContext context = std::nullopt) {
    return d.formatMessage(format, level, msg, "worker", "/src/app/ScanView.impl", "start()", 42, context);
}

} // namespace

TEST(FormatLanguage, WorkedExampleWithTheDefaultFormat) {
    FixedClockDestination d;
    EXPECT_EQ(d.format(), "$DHH:mm:ss.SSS$d $C$L$c $N.$F:$l - $M");
    EXPECT_EQ(*d.send(LogLevel::info, "ready", "", "/src/app/ScanView.impl", "start()", 42, std::nullopt),
              "14:03:22.417 INFO ScanView.start():42 - ready");
    EXPECT_EQ(fmt(d, "$-7L|$M"), "INFO   |ready");
    EXPECT_EQ(fmt(d, "$7L|$M"), "   INFO|ready");
}

TEST(FormatLanguage, EachCode) {
    FixedClockDestination d;
    EXPECT_EQ(fmt(d, "<$T>"), "<worker>");
    EXPECT_EQ(fmt(d, "$N|$n|$F|$l"), "ScanView|ScanView.impl|start()|42");
    EXPECT_EQ(fmt(d, "[$5l]"), "[   42]");
    EXPECT_EQ(fmt(d, "[$-5l]"), "[42   ]");
    EXPECT_EQ(fmt(d, "$L", LogLevel::warning), "WARNING");
    EXPECT_EQ(fmt(d, "$2L", LogLevel::warning), "WARNING"); // never cut
    d.setEscape("<e>");
    d.setReset("<r>");
    d.setLevelColor({"v", "d", "i", "w", "x"});
    EXPECT_EQ(fmt(d, "$5C$L$5c!", LogLevel::error), "<e>xERROR<r>!"); // colour codes ignore padding
    EXPECT_EQ(fmt(d, "$DHH$5d|$ZHH$5z|"),
              "14|" + tbx::DateFormatter::format("HH", d.fixedNow, tbx::DateFormatter::Zone::utc) + "|");
    EXPECT_EQ(fmt(d, "$X."), ".");
    EXPECT_EQ(fmt(d, "[$4X]"), "[    ]");
    EXPECT_EQ(fmt(d, "$X", LogLevel::info, "m", nlohmann::json(" \n a b \n")), "a b");
    EXPECT_EQ(fmt(d, "$X", LogLevel::info, "m", nlohmann::json({{"k", 1}})), R"({"k":1})");
}

TEST(FormatLanguage, LiteralsUnknownCodesAndTrailingWhiteSpace) {
    FixedClockDestination d;
    EXPECT_EQ(fmt(d, ""), "");
    EXPECT_EQ(fmt(d, "plain text \t\n"), "plain text");
    EXPECT_EQ(fmt(d, "a$$b"), "ab");
    EXPECT_EQ(fmt(d, "$Qx"), "Qx");
    EXPECT_EQ(fmt(d, "$5Qx"), "5Qx");
    EXPECT_EQ(fmt(d, "$-M"), "-M");
    EXPECT_EQ(fmt(d, "x$"), "x");
    EXPECT_EQ(fmt(d, "$M", LogLevel::info, "x  "), "x");
    EXPECT_EQ(fmt(d, "$M|", LogLevel::info, "x  "), "x  |");
    EXPECT_EQ(fmt(d, "$M$Jz"), "readyJz");                         // J only counts at the very start
    EXPECT_EQ(fmt(d, "$M", LogLevel::info, "x\u3000\u00a0"), "x"); // Unicode spaces too
    EXPECT_EQ(fmt(d, "a$-5"), "a-5");                              // a width without a code stays
}

TEST(FormatLanguage, PaddingIsParsedSignedAndCapped) {
    using Pad = std::pair<std::int64_t, std::int64_t>;
    FixedClockDestination d;
    EXPECT_EQ(d.parsePadding("12Mx"), (Pad{12, 2}));
    EXPECT_EQ(d.parsePadding("-7L"), (Pad{-7, 2}));
    EXPECT_EQ(d.parsePadding("-L"), (Pad{0, 0}));
    EXPECT_EQ(d.parsePadding("99999999999999999999M"), (Pad{0, 0}));
    // A width that reads as a number but is absurd is cut down, not allocated.
    const std::string wide = fmt(d, "[$999999999999M]");
    EXPECT_EQ(wide.size(), std::size_t(tbx::BaseDestination::maxPadding) + 2);
    EXPECT_EQ(fmt(d, "$-999999999999M|").size(), std::size_t(tbx::BaseDestination::maxPadding) + 1);
    EXPECT_EQ(fmt(d, "$99999999999999999999M"), "99999999999999999999M");
    // Widths count characters, not bytes.
    EXPECT_EQ(d.paddedString("äö", 4), "  äö");
    EXPECT_EQ(d.paddedString("äöü", -2, true), "äö");
    EXPECT_EQ(d.paddedString("äöü", 2, true), "öü");
    EXPECT_EQ(d.paddedString("abc", -5), "abc  ");
}

TEST(FormatLanguage, DateCodeStaysLocalAfterUtcCode) {
    ::setenv("TZ", "Asia/Kolkata", 1); // +05:30, no daylight saving
    ::tzset();
    FixedClockDestination d;
    d.fixedNow = std::chrono::system_clock::from_time_t(0);
    EXPECT_EQ(fmt(d, "$DHH:mm$d"), "05:30");
    EXPECT_EQ(fmt(d, "$ZHH:mm$z"), "00:00");
    EXPECT_EQ(fmt(d, "$DHH:mm$d"), "05:30");
    EXPECT_EQ(fmt(d, "$Dyyyy-MM-dd'T'HH:mm:ss.SSSZZZZZ EEE MMM a$d"),
              "1970-01-01T05:30:00.000+05:30 Thu Jan AM");
    ::unsetenv("TZ");
    ::tzset();
}

TEST(FormatLanguage, UptimeAndFileNames) {
    FixedClockDestination d;
    d.fixedNow = d.startDate() + std::chrono::milliseconds(3725500);
    EXPECT_EQ(d.uptime(), "01:02:05.500");
    d.fixedNow = d.startDate() + std::chrono::hours(100);
    EXPECT_EQ(fmt(d, "$U"), "100:00:00.000");
    EXPECT_EQ(d.fileNameOfFile("a/b/"), "");
    EXPECT_EQ(d.fileNameOfFile("plain"), "plain");
    EXPECT_EQ(d.fileNameWithoutSuffix("/x/.profile"), "");
    EXPECT_EQ(d.fileNameWithoutSuffix("/x/Makefile"), "Makefile");
    EXPECT_EQ(d.fileNameWithoutSuffix("Main.view.txt"), "Main");
}

TEST(DestinationJson, MembersAndFailure) {
    FixedClockDestination d;
    d.setFormat("$J and the rest is ignored");
    auto plain =
        nlohmann::json::parse(*d.send(LogLevel::info, "m", "t", "/a/f.cpp", "fn(x:)", 7, std::nullopt));
    EXPECT_EQ(plain.size(), 7u);
    EXPECT_EQ(plain["level"], 2);
    EXPECT_EQ(plain["message"], "m");
    EXPECT_EQ(plain["thread"], "t");
    EXPECT_EQ(plain["file"], "/a/f.cpp");
    EXPECT_EQ(plain["function"], "fn(x:)");
    EXPECT_EQ(plain["line"], 7);
    EXPECT_NEAR(plain["timestamp"].get<double>(),
                std::chrono::duration<double>(d.fixedNow.time_since_epoch()).count(), 0.001);
    auto withContext = nlohmann::json::parse(
        *d.send(LogLevel::error, "m", "t", "f", "g", 1, nlohmann::json({{"user", "u"}})));
    EXPECT_EQ(withContext.size(), 8u);
    EXPECT_EQ(withContext["context"]["user"], "u");

    tbx::TraceCapture capture;
    EXPECT_FALSE(d.send(LogLevel::info, "m", "t", "f", "g", 1, nlohmann::json("\xff\xfe")));
    EXPECT_EQ(capture.lines(), std::vector<std::string>{"Logbook could not create JSON from dict."});
    EXPECT_EQ(d.jsonStringValue(std::nullopt, "a"), "");
    EXPECT_EQ(d.jsonStringValue(std::string(R"({"a":"b"})"), "a"), "b");
    EXPECT_EQ(d.jsonStringValue(std::string("{}"), "key"), "");
}

TEST(TextHelpers, CharactersNotBytes) {
    using namespace tbx::text;
    EXPECT_EQ(length("h\u00e9\U0001F49C"), 3u);
    EXPECT_EQ(firstChar(""), std::nullopt);
    EXPECT_EQ(lastChar(""), std::nullopt);
    EXPECT_EQ(lastChar("a\U0001F49C"), "\U0001F49C");
    EXPECT_EQ(find("abc", 'z'), std::nullopt);
    EXPECT_EQ(find("a(b", '('), 1u);
    EXPECT_EQ(jsonQuoted("a\"\\\n\x01\xff"), "\"a\\\"\\\\\\n\\u0001\\ufffd\"");
    EXPECT_FALSE(isValidUtf8("\xc0\x80"));
    EXPECT_TRUE(isValidUtf8("\u2764\uFE0F"));
}
