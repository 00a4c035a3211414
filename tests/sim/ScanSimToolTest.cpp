// tamberlyx-scan-sim's command line: the options read strictly, and the program
// itself refusing bad options with one line and exit status 2 before it makes
// anything, and leaving no empty folder after a scan that wrote nothing.
#include "sim/tools/ScanSimOptions.h"

#include <array>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <tuple>
#include <vector>

using namespace tbx::sim;
namespace fs = std::filesystem;

namespace {

std::variant<ScanSimOptions, std::string> parse(std::vector<std::string> args, std::string transport = "") {
    return parseScanSimOptions(args, transport);
}

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the tool with `args` (each quoted for the shell), collecting both streams.
ToolRun runTool(const std::string& args, const std::string& errFile) {
    ToolRun run;
    const std::string command =
        "TAMBERLYX_SIMULATED_SCANNER=usb '" TBX_SCAN_SIM_PROGRAM "' " + args + " 2>'" + errFile + "'";
    FILE* p = popen(command.c_str(), "r");
    if (!p)
        return run;
    std::array<char, 4096> buffer{};
    while (std::size_t n = fread(buffer.data(), 1, buffer.size(), p))
        run.out.append(buffer.data(), n);
    const int status = pclose(p);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (FILE* e = fopen(errFile.c_str(), "r")) {
        while (std::size_t n = fread(buffer.data(), 1, buffer.size(), e))
            run.err.append(buffer.data(), n);
        fclose(e);
    }
    return run;
}

class ScanSimTool : public testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/tbx-scansim-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir = templ;
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string dir;
};

} // namespace

TEST(ScanSimOptions, GoodCommandLinesGiveTheirSettings) {
    auto o = std::get<ScanSimOptions>(parse({}, "usb"));
    EXPECT_EQ(o.transport, "usb");
    EXPECT_EQ(o.pages, 2);
    EXPECT_EQ(o.jamAfter, -1);
    EXPECT_EQ(std::get<ScanSimOptions>(parse({})).transport, "tcp");

    o = std::get<ScanSimOptions>(
        parse({"--jam-after", "40", "--pages", "40", "--mode", "TEXT", "--pdf", "--size", "B5(JIS)", "--out",
               "x", "--transport", "tcp", "--trailer-pause", "0"},
              "usb"));
    EXPECT_EQ(o.jamAfter, 40); // read against the --pages that came after it
    EXPECT_EQ(std::tie(o.pages, o.mode, o.pdf, o.size, o.out, o.transport, o.trailerPause),
              std::make_tuple(40, std::string("TEXT"), true, std::string("B5(JIS)"), std::string("x"),
                              std::string("tcp"), 0));
    EXPECT_TRUE(std::get<ScanSimOptions>(parse({"--pages", "abc", "--help"})).help);
}

TEST(ScanSimOptions, BadCommandLinesAreRefusedWithOneLine) {
    struct Case {
        std::vector<std::string> args;
        std::string reason;
    };
    const std::vector<Case> cases{
        {{"--pages", "abc"}, "--pages must be a whole number from 1 to 9999, not \"abc\""},
        {{"--pages", "99999999999"}, "--pages must be a whole number from 1 to 9999, not \"99999999999\""},
        {{"--pages", "0"}, "--pages must be a whole number from 1 to 9999, not \"0\""},
        {{"--pages", "-3"}, "--pages must be a whole number from 1 to 9999, not \"-3\""},
        {{"--pages", "3x"}, "--pages must be a whole number from 1 to 9999, not \"3x\""},
        {{"--pages", ""}, "--pages must be a whole number from 1 to 9999, not \"\""},
        {{"--jam-after", "x"}, "--jam-after must be a whole number from 0 to --pages (2), not \"x\""},
        {{"--pages", "3", "--jam-after", "4"},
         "--jam-after must be a whole number from 0 to --pages (3), not \"4\""},
        {{"--trailer-pause", "1e3"},
         "--trailer-pause must be a whole number of milliseconds from 0 to 10000, not \"1e3\""},
        {{"--mode", "COLOR"}, "--mode must be CGRAY, GRAY256 or TEXT, not \"COLOR\""},
        {{"--transport", "bluetooth"}, "--transport must be usb or tcp, not \"bluetooth\""},
        {{"--size", "a4"}, "--size must be A4, A5, B5(JIS) or Letter, not \"a4\""},
        {{"--pages"}, "--pages needs a value (see --help)"},
        {{"--out"}, "--out needs a value (see --help)"},
        {{"--out", ""}, "--out needs a folder name"},
        {{"--bogus"}, "unknown option --bogus (see --help)"},
        {{"pages"}, "unknown option pages (see --help)"},
    };
    for (const Case& c : cases) {
        const auto result = parse(c.args);
        ASSERT_TRUE(std::holds_alternative<std::string>(result)) << testing::PrintToString(c.args);
        EXPECT_EQ(std::get<std::string>(result), c.reason);
    }
    EXPECT_EQ(std::get<std::string>(parse({}, "serial")),
              "TAMBERLYX_SIMULATED_SCANNER must be usb or tcp, not \"serial\"");
}

TEST_F(ScanSimTool, ProgramRefusesBadOptionsBeforeMakingAnything) {
    FILE* f = fopen((dir + "/file").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    const std::string out = "--out '" + dir + "/out'";
    for (const std::string& args :
         {"--pages abc " + out, "--pages 99999999999 " + out, "--pages 0 " + out, "--jam-after x " + out,
          "--bogus " + out, out + " --mode", "--out '" + dir + "/file'", "--out '" + dir + "/file/sub'"}) {
        const ToolRun run = runTool(args, dir + "/err");
        EXPECT_EQ(run.status, 2) << args;
        EXPECT_TRUE(run.out.empty()) << args << "\n" << run.out;
        ASSERT_FALSE(run.err.empty()) << args;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << args << "\n" << run.err; // one line
        EXPECT_EQ(run.err.rfind("tamberlyx-scan-sim: ", 0), 0u) << run.err;
        EXPECT_FALSE(fs::exists(dir + "/out")) << args;
    }
    const ToolRun help = runTool("--help", dir + "/err");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--pages N"), std::string::npos);
    EXPECT_TRUE(help.err.empty());
}

TEST_F(ScanSimTool, ScanThatWritesNothingLeavesNoFolderAndFails) {
    // Refused before the scan; then a jam before the first page.
    for (const std::string args : {"--mode TEXT --combine IDCard", "--jam-after 0"}) {
        const ToolRun run = runTool(args + " --out '" + dir + "/new/out'", dir + "/err");
        EXPECT_EQ(run.status, 1) << args << "\n" << run.out << run.err;
        EXPECT_FALSE(fs::exists(dir + "/new")) << args;
    }
    const ToolRun ok = runTool("--pages 1 --size A5 --out '" + dir + "/out'", dir + "/err");
    EXPECT_EQ(ok.status, 0) << ok.out << ok.err;
    EXPECT_NE(ok.out.find("== 1 file(s)"), std::string::npos) << ok.out;
}
