// tamberlyx-monitor-sim's command line and the value readers it shares with
// the scan tool: values read strictly, and the program refusing a bad value
// with one line and exit status 2 before anything starts.
#include "sim/tools/MonitorSimOptions.h"
#include "sim/tools/ToolOptions.h"

#include <array>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <tuple>
#include <vector>

using namespace tbx::sim;

namespace {

std::variant<MonitorSimOptions, std::string> parse(std::vector<std::string> args) {
    return parseMonitorSimOptions(args);
}

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

ToolRun runTool(const std::string& args) {
    ToolRun run;
    char errFile[] = "/tmp/tbx-monitorsim-err-XXXXXX";
    const int fd = mkstemp(errFile);
    if (fd < 0) {
        return run;
    }
    close(fd);
    const std::string command = "'" TBX_MONITOR_SIM_PROGRAM "' " + args + " 2>'" + errFile + "'";
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) {
        return run;
    }
    std::array<char, 4096> buffer{};
    while (std::size_t n = fread(buffer.data(), 1, buffer.size(), p)) {
        run.out.append(buffer.data(), n);
    }
    const int status = pclose(p);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (FILE* e = fopen(errFile, "r")) {
        while (std::size_t n = fread(buffer.data(), 1, buffer.size(), e)) {
            run.err.append(buffer.data(), n);
        }
        fclose(e);
    }
    unlink(errFile);
    return run;
}

} // namespace

TEST(ToolOptions, ValuesAreReadWholeAndInRange) {
    const struct {
        const char* text;
        std::optional<long long> whole; // in 0..65535
        std::optional<double> decimal;  // in 0.1..3600
    } cases[] = {
        {"6", 6, 6.0},
        {"0.5", std::nullopt, 0.5},
        {"0", 0, std::nullopt},
        {"-1", std::nullopt, std::nullopt},
        {"65535", 65535, std::nullopt},
        {"99999999999", std::nullopt, std::nullopt},
        {"abc", std::nullopt, std::nullopt},
        {"", std::nullopt, std::nullopt},
        {"6x", std::nullopt, std::nullopt},
        {" 6", std::nullopt, std::nullopt},
        {"+6", std::nullopt, std::nullopt},
        {"1e3", std::nullopt, std::nullopt},
        {"nan", std::nullopt, std::nullopt},
        {"inf", std::nullopt, std::nullopt},
        {"-nan", std::nullopt, std::nullopt},
        {"0x10", std::nullopt, std::nullopt},
        {"3600.0", std::nullopt, 3600.0},
        {"3600.01", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(wholeNumber(c.text, 0, 65535), c.whole) << '"' << c.text << '"';
        EXPECT_EQ(decimalNumber(c.text, 0.1, 3600), c.decimal) << '"' << c.text << '"';
    }
    EXPECT_EQ(joinedWords({}), "");
    EXPECT_EQ(joinedWords({"usb"}), "usb");
    EXPECT_EQ(joinedWords({"usb", "tcp"}), "usb or tcp");
    EXPECT_EQ(joinedWords({"A4", "A5", "Letter"}), "A4, A5 or Letter");
}

TEST(MonitorSimOptions, GoodCommandLinesGiveTheirSettings) {
    auto o = std::get<MonitorSimOptions>(parse({}));
    EXPECT_EQ(std::tie(o.code, o.toner, o.interval, o.polls, o.unplugAfter, o.help),
              std::make_tuple(1, 80, 6.0, 3, -1, false));
    o = std::get<MonitorSimOptions>(parse(
        {"--unplug-after", "4", "--code", "8001", "--toner", "0", "--interval", "0.25", "--polls", "5"}));
    EXPECT_EQ(std::tie(o.code, o.toner, o.interval, o.polls, o.unplugAfter),
              std::make_tuple(8001, 0, 0.25, 5, 4)); // --unplug-after read against the later --polls
    EXPECT_TRUE(std::get<MonitorSimOptions>(parse({"--interval", "abc", "-h"})).help);
}

TEST(MonitorSimOptions, BadCommandLinesAreRefusedWithOneLine) {
    const struct {
        std::vector<std::string> args;
        std::string reason;
    } cases[] = {
        {{"--interval", "abc"}, R"(--interval must be a number of seconds from 0.1 to 3600, not "abc")"},
        {{"--interval", "-1"}, R"(--interval must be a number of seconds from 0.1 to 3600, not "-1")"},
        {{"--interval", "nan"}, R"(--interval must be a number of seconds from 0.1 to 3600, not "nan")"},
        {{"--interval", "0"}, R"(--interval must be a number of seconds from 0.1 to 3600, not "0")"},
        {{"--interval", "inf"}, R"(--interval must be a number of seconds from 0.1 to 3600, not "inf")"},
        {{"--polls", "x"}, R"(--polls must be a whole number from 1 to 100000, not "x")"},
        {{"--polls", "0"}, R"(--polls must be a whole number from 1 to 100000, not "0")"},
        {{"--code", "99999999999"}, R"(--code must be a whole number from 0 to 65535, not "99999999999")"},
        {{"--code", "-1"}, R"(--code must be a whole number from 0 to 65535, not "-1")"},
        {{"--toner", "101"}, R"(--toner must be a whole number from 0 to 100, not "101")"},
        {{"--unplug-after", "4"}, R"(--unplug-after must be a whole number from 1 to 3 (--polls), not "4")"},
        {{"--unplug-after", "0"}, R"(--unplug-after must be a whole number from 1 to 3 (--polls), not "0")"},
        {{"--code"}, "--code needs a value (see --help)"},
        {{"--bogus", "1"}, "unknown option --bogus (see --help)"},
        {{"6"}, "unknown option 6 (see --help)"},
    };
    for (const auto& c : cases) {
        const auto result = parse(c.args);
        ASSERT_TRUE(std::holds_alternative<std::string>(result)) << testing::PrintToString(c.args);
        EXPECT_EQ(std::get<std::string>(result), c.reason);
    }
}

TEST(MonitorSimTool, ProgramRefusesBadValuesAndListsEveryOption) {
    for (const char* args : {"--interval abc", "--polls x", "--code 99999999999", "--interval -1",
                             "--interval nan", "--toner", "--unplug-after 9"}) {
        const ToolRun run = runTool(args);
        EXPECT_EQ(run.status, 2) << args;
        EXPECT_TRUE(run.out.empty()) << args << "\n" << run.out;
        ASSERT_FALSE(run.err.empty()) << args;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << args << "\n" << run.err; // one line
        EXPECT_EQ(run.err.rfind("tamberlyx-monitor-sim: ", 0), 0u) << run.err;
    }
    const ToolRun help = runTool("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.err.empty());
    for (const char* option :
         {"--code N", "--toner N", "--interval SECONDS", "--polls N", "--unplug-after N", "--help"}) {
        EXPECT_NE(help.out.find(option), std::string::npos) << option << "\n" << help.out;
    }

    // A short run against the simulated printer ends by itself with status 0.
    const ToolRun run = runTool("--interval 0.2 --polls 2 --code 8001 --toner 40");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("[selected] Tamberlyx(USB)"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("/ 40%"), std::string::npos) << run.out;
}
