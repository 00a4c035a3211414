// The filter's two command-line tools run as processes: tamberlyx-raster-convert (a captured raster
// into per-page grey, halftoned and JBIG files, the JBIG being what the filter sends) and
// tamberlyx-jobstream-dump (a recorded job stream back into its headers and per-page JBIG files).
// Every bad argument or input gives one clear line and a non-zero exit.

#include "PageTestSupport.h"
#include "tests/printfilter/support/FilterPeer.h"
#include "tests/printfilter/support/JobStreamDecoder.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>

namespace tbx::test {
namespace {

FilterRun runTool(const char* program, std::vector<std::string> args) {
    FilterPeer peer(program);
    args.insert(args.begin(), std::filesystem::path(program).filename().string());
    peer.setArguments(std::move(args));
    peer.setSideMode(SideMode::closed);
    return peer.run(std::chrono::seconds(30));
}

std::string threePages() {
    return makeRaster({noisePage(90, 40, 1), noisePage(64, 30, 2), noisePage(33, 20, 3)});
}

struct ToolCase {
    const char* name;
    std::vector<std::string> args; // "@" stands for the test's folder, here and in message
    int exitStatus;
    std::string message; // text on standard error (on standard output for a successful run)
    bool oneLine = true; // the error is one line (not the usage text)
};

std::vector<std::string> inFolder(const std::vector<std::string>& args, const std::string& folder) {
    std::vector<std::string> out;
    for (std::string a : args) {
        if (const std::size_t at = a.find('@'); at != std::string::npos)
            a.replace(at, 1, folder);
        out.push_back(a);
    }
    return out;
}

void runCases(const char* program, const std::vector<ToolCase>& cases, const TempDir& dir) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const FilterRun run = runTool(program, inFolder(c.args, dir.path()));
        EXPECT_EQ(run.exitStatus, c.exitStatus) << run.err;
        const std::string& where = c.exitStatus == 0 ? run.out : run.err;
        EXPECT_NE(where.find(inFolder({c.message}, dir.path())[0]), std::string::npos) << where;
        if (c.exitStatus != 0 && c.oneLine) {
            // Besides the page path's own DEBUG trace lines.
            int lines = 0;
            std::istringstream err(run.err);
            for (std::string line; std::getline(err, line);)
                lines += line.rfind("DEBUG:", 0) == 0 ? 0 : 1;
            EXPECT_EQ(lines, 1) << "one clear line\n" << run.err;
        }
    }
}

TEST(RasterConvertTool, RefusesBadArgumentsAndInputsWithOneLineAndANonZeroExit) {
    TempDir dir;
    writeFile(dir.path() + "/good.ras", threePages());
    writeFile(dir.path() + "/garbage.ras", std::string(3000, 'x'));
    RasterSpec rgb;
    rgb.colorSpace = CUPS_CSPACE_RGB;
    rgb.bitsPerPixel = 24;
    rgb.bytesPerLine = 3 * 20;
    writeFile(dir.path() + "/rgb.ras", makeRaster({GrayPage(20, 4)}, rgb));
    const std::string cut = threePages();
    writeFile(dir.path() + "/cut.ras", cut.substr(0, cut.size() - 33 * 10));
    std::filesystem::create_directory(dir.path() + "/out");
    const std::vector<ToolCase> cases = {
        {"help", {"--help"}, 0, "Usage: tamberlyx-raster-convert [RASTER [FOLDER]]"},
        {"unknown option", {"--darker"}, 2, "tamberlyx-raster-convert: unknown option --darker"},
        {"too many operands", {"a", "b", "c"}, 2, "Usage: tamberlyx-raster-convert", false},
        {"missing raster",
         {"@/none.ras", "@/out"},
         1,
         "tamberlyx-raster-convert: cannot open the raster file @/none.ras: No such file"},
        {"garbage",
         {"@/garbage.ras", "@/out"},
         1,
         "tamberlyx-raster-convert: @/garbage.ras: no CUPS raster in the job's input"},
        {"refused raster", {"@/rgb.ras", "@/out"}, 1, "tamberlyx-raster-convert: page 1: unsupported raster"},
        {"page cut short", {"@/cut.ras", "@/out"}, 1, "page 3 of the raster ends after 10 of its 20 rows"},
        {"missing folder", {"@/good.ras", "@/nowhere"}, 1, "the output folder @/nowhere does not exist"},
        {"unwritable folder", {"@/good.ras", "/proc"}, 1, "cannot write /proc/page-0001.pgm"},
    };
    runCases(TBX_RASTER_CONVERT, cases, dir);
}

TEST(RasterConvertTool, WritesEveryPagesOwnFilesAndTheJbigTheFilterSends) {
    TempDir dir;
    const std::string raster = threePages();
    writeFile(dir.path() + "/job.ras", raster);
    const FilterRun run = runTool(TBX_RASTER_CONVERT, {dir.path() + "/job.ras", dir.path()});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_NE(run.err.find("3 page(s) converted"), std::string::npos) << run.err;

    // The filter itself with the project's PPD on the same raster.
    FilterPeer filter(TBX_FILTER_PROGRAM);
    filter.setArguments({"q", "1", "u", "t", "1", ""});
    filter.addEnvironment(std::string("PPD=") + TBX_FILTER_PPD);
    filter.setSideMode(SideMode::closed);
    filter.setInput(raster);
    const FilterRun printed = filter.run();
    ASSERT_EQ(printed.exitStatus, 0) << printed.err;
    const DecodedJob job = decodeJobStream(printed.out);
    ASSERT_EQ(job.pages.size(), 3u);
    const int widths[] = {90, 64, 33};
    for (int n = 1; n <= 3; ++n) {
        char base[32];
        std::snprintf(base, sizeof base, "/page-%04d", n);
        const std::string path = dir.path() + base;
        EXPECT_EQ(readFile(path + ".pgm").substr(0, 3), "P5\n");
        EXPECT_EQ(readFile(path + ".pbm").substr(0, 3 + std::to_string(widths[n - 1]).size()),
                  "P4\n" + std::to_string(widths[n - 1]));
        EXPECT_EQ(readFile(path + ".jbig"), job.pages[n - 1].data)
            << "page " << n << " differs from the filter's";
    }
}

TEST(JobStreamDumpTool, RefusesBadArgumentsAndInputsAndWritesEachPage) {
    TempDir dir;
    FilterPeer filter(TBX_FILTER_PROGRAM);
    filter.setArguments({"q", "1", "u", "t", "1", ""});
    filter.setSideMode(SideMode::closed);
    filter.setInput(threePages());
    const FilterRun printed = filter.run();
    ASSERT_EQ(printed.exitStatus, 0) << printed.err;
    writeFile(dir.path() + "/job.bin", printed.out);
    writeFile(dir.path() + "/cut.bin", printed.out.substr(0, printed.out.size() / 2));
    std::filesystem::create_directory(dir.path() + "/out");

    const std::string d = dir.path();
    const std::vector<ToolCase> cases = {
        {"help", {"--help"}, 0, "Usage: tamberlyx-jobstream-dump STREAM [FOLDER]"},
        {"no operand", {}, 2, "Usage: tamberlyx-jobstream-dump", false},
        {"unknown option", {"-x"}, 2, "tamberlyx-jobstream-dump: unknown option -x"},
        {"missing stream", {"@/none.bin", "@/out"}, 1, "cannot read @/none.bin: No such file or directory"},
        {"missing folder", {"@/job.bin", "@/nowhere"}, 1, "the output folder @/nowhere does not exist"},
        {"stream cut short", {"@/cut.bin"}, 1, "tamberlyx-jobstream-dump: job stream error:"},
        {"unwritable folder", {"@/job.bin", "/proc"}, 1, "cannot write /proc/page-0001.jbg"},
    };
    runCases(TBX_JOBSTREAM_DUMP, cases, dir);

    const FilterRun run = runTool(TBX_JOBSTREAM_DUMP, {d + "/job.bin", d + "/out"});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_NE(run.out.find("3 pages, ended"), std::string::npos) << run.out;
    const DecodedJob job = decodeJobStream(printed.out);
    for (int n = 1; n <= 3; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "/out/page-%04d.jbg", n);
        EXPECT_EQ(readFile(d + name), job.pages[n - 1].data);
    }
}

} // namespace
} // namespace tbx::test
