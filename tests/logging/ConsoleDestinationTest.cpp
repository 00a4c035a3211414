#include "logging/ConsoleDestination.h"

#include "platform/foundation/Print.h"

#include <gtest/gtest.h>

using tbx::ConsoleDestination;
using tbx::LogLevel;

TEST(ConsoleDestination, HeartMarksAndTerminalColours) {
    ConsoleDestination d;
    EXPECT_FALSE(d.useNSLog());
    EXPECT_FALSE(d.useTerminalColors());
    EXPECT_EQ(d.levelColor().verbose, "\xF0\x9F\x92\x9C ");
    EXPECT_EQ(d.levelColor().error, "\xE2\x9D\xA4\xEF\xB8\x8F ");
    EXPECT_EQ(d.escape(), "");
    EXPECT_EQ(d.defaultHashValue(), 1);

    d.setUseTerminalColors(true);
    EXPECT_EQ(d.escape(), "\x1b[38;5;");
    EXPECT_EQ(d.reset(), "\x1b[0m");
    EXPECT_EQ(d.levelColor(), (tbx::BaseDestination::LevelColor{"251m", "35m", "38m", "178m", "197m"}));
    d.setFormat("$C$L$c $M");
    EXPECT_EQ(*d.send(LogLevel::warning, "hot", "", "f", "g()", 1, std::nullopt) + "",
              "\x1b[38;5;178mWARNING\x1b[0m hot");

    d.setUseTerminalColors(false);
    EXPECT_EQ(d.levelColor(), ConsoleDestination::heartMarks());
    EXPECT_EQ(d.escape(), "\x1b[38;5;"); // left as they were
}

TEST(ConsoleDestination, WritesEachLineOnceWithItsLineEnd) {
    ConsoleDestination d;
    d.setFormat("$L $M");
    tbx::TraceCapture capture;
    const auto line = d.send(LogLevel::info, "hello", "", "f", "g()", 1, std::nullopt);
    EXPECT_EQ(line, "INFO hello");
    EXPECT_EQ(capture.text(), "INFO hello\n");
}

namespace {
class CapturingSystemLog : public ConsoleDestination {
public:
    std::vector<std::string> entries;

protected:
    void writeToSystemLog(const std::string& line) override {
        entries.push_back(line);
        ConsoleDestination::writeToSystemLog(line); // the real call must not read the line as a format
    }
};
} // namespace

TEST(ConsoleDestination, SystemLogTakesTheLineVerbatim) {
    CapturingSystemLog d;
    d.setUseNSLog(true);
    d.setFormat("$M");
    tbx::TraceCapture capture;
    const auto line = d.send(LogLevel::info, "100% %s%s%s%n %d", "", "f", "g()", 1, std::nullopt);
    EXPECT_EQ(line, "100% %s%s%s%n %d");
    EXPECT_EQ(d.entries, std::vector<std::string>{"100% %s%s%s%n %d"});
    EXPECT_EQ(capture.text(), ""); // not on standard output
}
