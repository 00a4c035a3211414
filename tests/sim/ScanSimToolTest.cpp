// tamberlyx-scan-sim's command line: the options read strictly, and the program
// itself refusing bad options with one line and exit status 2 before it makes
// anything, leaving no empty folder after a scan that wrote nothing, listing
// the files with their control characters escaped, and scanning from a
// simulated scanner that misbehaves as asked. tamberlyx-scan-demo answering a
// command line that is no OUTDIR with its usage alone.
#include "platform/foundation/Localization.h"
#include "sim/tools/ScanSimOptions.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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

// Runs the tool with `args` (each quoted for the shell), collecting both
// streams; `prefix` goes before the program (a watchdog, a change of folder).
ToolRun runTool(const std::string& args, const std::string& errFile, const std::string& prefix = "",
                const std::string& program = TBX_SCAN_SIM_PROGRAM) {
    ToolRun run;
    const std::string command = prefix + "env TAMBERLYX_SIMULATED_SCANNER=usb TAMBERLYX_LANGUAGE=en '" +
                                program + "' " + args + " 2>'" + errFile + "'";
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

    o = std::get<ScanSimOptions>(
        parse({"--fault", "garbage", "--fault-after", "4", "--read-timeout", "250", "--pages", "5"}));
    EXPECT_EQ(std::tie(o.fault, o.faultAfter, o.readTimeout), std::make_tuple(Misbehaviour::garbage, 4, 250));
    EXPECT_EQ(std::get<ScanSimOptions>(parse({"--pages", "3"})).faultAfter, 1); // one page before the fault
    EXPECT_EQ(std::get<ScanSimOptions>(parse({"--pages", "1"})).faultAfter, 0);
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
        {{"--fault", "jam"},
         "--fault must be endless-page, length-past-page, stall, garbage, close-mid-header or "
         "unknown-status, "
         "not \"jam\""},
        {{"--fault-after", "3", "--pages", "3"},
         "--fault-after must be a whole number from 0 to --pages - 1 (2), not \"3\""},
        {{"--read-timeout", "0"},
         "--read-timeout must be a whole number of milliseconds from 1 to 600000, not \"0\""},
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
    for (const ScanSimFault& fault : scanSimFaults()) {
        EXPECT_NE(help.out.find(" " + fault.word + " "), std::string::npos) << fault.word;
    }
    EXPECT_TRUE(help.err.empty());

    // The demo tool takes no option but --help: it prints its usage and scans
    // nothing, not even into a folder named after the option.
    const std::string cwd = dir + "/cwd";
    fs::create_directory(cwd);
    for (const auto& [args, status] : std::vector<std::pair<std::string, int>>{
             {"--help", 0}, {"--bogus", 2}, {"out --bogus", 2}, {"", 2}, {"a b", 2}}) {
        const ToolRun run =
            runTool(args, dir + "/err", "cd '" + cwd + "' && timeout -s KILL 60 ", TBX_SCAN_DEMO_PROGRAM);
        EXPECT_EQ(run.status, status) << args << "\n" << run.out << run.err;
        const std::string& usage = status == 0 ? run.out : run.err;
        EXPECT_EQ(usage.rfind(status == 0 ? "usage: " : "tamberlyx-scan-demo: ", 0), 0u) << usage;
        EXPECT_NE(usage.find("usage: tamberlyx-scan-demo OUTDIR\n"), std::string::npos) << args;
        EXPECT_TRUE((status == 0 ? run.err : run.out).empty()) << args;
        EXPECT_TRUE(fs::is_empty(cwd)) << args;
    }
}

TEST_F(ScanSimTool, ScanThatWritesNothingLeavesNoFolderAndFails) {
    // Refused before the scan; then a jam before the first page.
    for (const std::string args : {"--mode TEXT --combine IDCard", "--jam-after 0"}) {
        const ToolRun run = runTool(args + " --out '" + dir + "/new/out'", dir + "/err");
        EXPECT_EQ(run.status, 1) << args << "\n" << run.out << run.err;
        EXPECT_FALSE(fs::exists(dir + "/new")) << args;
    }
    // A folder name with control characters is listed as the console shows it.
    for (const auto& [name, shown] :
         {std::pair{"out", "out"}, std::pair{"out\x1b[2J\a", "out\\x1b[2J\\x07"}}) {
        const ToolRun ok = runTool("--pages 1 --size A5 --out '" + dir + "/" + name + "'", dir + "/err");
        EXPECT_EQ(ok.status, 0) << ok.out << ok.err;
        const std::string listing = ok.out.substr(std::min(ok.out.find("\n== files under "), ok.out.size()));
        const std::string folder = dir + "/" + shown;
        EXPECT_EQ(listing.rfind("\n== files under " + folder + ":\n   " + folder + "/", 0), 0u) << ok.out;
        EXPECT_EQ(listing.find_first_of("\x1b\a"), std::string::npos) << listing;
        EXPECT_NE(listing.find("== 1 file(s)"), std::string::npos) << ok.out;
    }
}

namespace {

// What one scan of the tool showed: its alert, the page files it left and its
// peak memory.
struct ScanOutcome {
    ToolRun run;
    std::string alert; // the "== title: message" text, up to the end of the output's alert
    std::vector<std::string> files;
    double peakMiB = 0;
    double seconds = 0;
};

// `readTimeoutMs` is how long the scan waits for the scanner's next bytes: short only where the
// scanner is made to stall, since a loaded machine can hold the simulated scanner that long.
ScanOutcome scanWith(const std::string& transport, const std::string& args, const std::string& dir,
                     int readTimeoutMs = 15000) {
    ScanOutcome outcome;
    const auto start = std::chrono::steady_clock::now();
    // A watchdog: a scan that never ends is killed, and fails the checks below.
    outcome.run = runTool("--transport " + transport + " --pages 3 --size A5 --read-timeout " +
                              std::to_string(readTimeoutMs) + " --out '" + dir + "' " + args,
                          dir + ".err", "timeout -s KILL 60 ");
    outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string& out = outcome.run.out;
    const auto alert = out.find("\n== ");
    const auto listing = out.find("\n== ", alert + 1);
    if (alert != std::string::npos && listing != std::string::npos)
        outcome.alert = out.substr(alert + 4, listing - alert - 4);
    for (std::size_t at = out.find("\n   "); at != std::string::npos; at = out.find("\n   ", at + 1))
        outcome.files.push_back(
            fs::path(out.substr(at + 4, out.find(" (", at) - at - 4)).filename().string());
    const auto peak = out.find("peak memory ");
    if (peak != std::string::npos)
        outcome.peakMiB = std::atof(out.c_str() + peak + 12);
    return outcome;
}

class ScannerFaults : public ScanSimTool, public testing::WithParamInterface<std::string> {};

} // namespace

// Every fault the simulated scanner can make, after one whole page: the scan
// fails with the fault's own text within seconds, the page before it stays in
// the scan's folder, and the scan's peak memory stays under twice a normal
// scan's (a page that never ends is cut at the bound its settings give).
TEST_P(ScannerFaults, EachEndsTheScanWithItsOwnErrorAndKeepsThePageBefore) {
    const std::string transport = GetParam();
    const bool usb = transport == "usb";
    tbx::setCurrentLanguage("en");
    auto text = [](const char* key) { return tbx::localizedString(key); };
    const std::string kept = tbx::localizedString("pagesKeptIn").substr(0, 20); // "The pages received so"
    struct Case {
        std::string fault;
        std::string message;
    };
    const std::vector<Case> cases{
        {"endless-page", text("scanPageTooLarge")},
        {"length-past-page", usb ? text("scanStreamMalformed") : text("scanStreamBroken")},
        {"stall", text("scanStreamStalled")},
        {"garbage", usb ? text("scanStreamMalformed") : text("scanPageTooLarge")},
        {"close-mid-header", usb ? text("scanStreamMalformed") : text("scanStreamBroken")},
        {"unknown-status", tbx::localizedFormat("unknownScannerStatus", {"0x99"})},
    };
    ASSERT_EQ(cases.size(), scanSimFaults().size());

    const ScanOutcome normal = scanWith(transport, "", dir + "/normal");
    ASSERT_EQ(normal.run.status, 0) << normal.run.out << normal.run.err;
    EXPECT_EQ(normal.files.size(), 3u) << normal.run.out;
    ASSERT_GT(normal.peakMiB, 0) << normal.run.out;

    for (const Case& c : cases) {
        SCOPED_TRACE(transport + " " + c.fault);
        const ScanOutcome faulty = scanWith(transport, "--fault " + c.fault + " --fault-after 1",
                                            dir + "/" + c.fault, c.fault == "stall" ? 2000 : 15000);
        EXPECT_EQ(faulty.run.status, 1) << faulty.run.out << faulty.run.err;
        EXPECT_EQ(faulty.alert.rfind("Error: " + c.message + "\n" + kept, 0), 0u) << faulty.alert;
        EXPECT_EQ(faulty.files, std::vector<std::string>{"scan-0001.jpg"});
        EXPECT_LT(faulty.seconds, 20) << "the scan ends within a bounded time";
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        EXPECT_LT(faulty.peakMiB, 2 * normal.peakMiB) << "a normal scan's peak: " << normal.peakMiB << " MiB";
#endif
    }
}

INSTANTIATE_TEST_SUITE_P(BothTransports, ScannerFaults, testing::Values("usb", "tcp"),
                         [](const auto& info) { return info.param; });
