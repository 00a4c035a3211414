// The filter under Debian's own CUPS: run by cupsfilter with the project's PPD and no backend, and
// behind a private scheduler (cupsd on loopback, its own configuration, spool and data folders) whose
// queue is added with the README's own command and prints through the socket backend to a fake
// printer, which records the job stream.

#include "PageTestSupport.h"
#include "tests/printfilter/support/FilterPeer.h"
#include "tests/printfilter/support/JobStreamDecoder.h"
#include "tests/printfilter/support/PrivateCups.h"
#include "tests/support/Sandbox.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace tbx::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::size_t pieceCount(const DecodedJob& job) {
    std::size_t n = 0;
    for (const auto& p : job.pages)
        n += p.pieces.size();
    return n;
}

TEST(CupsFilter, RunsTheFilterWithoutABackendAndDoesNotWait) {
    if (!haveProgram("/usr/sbin/cupsfilter") || !haveProgram("/usr/bin/gs") ||
        !haveProgram("/usr/lib/cups/filter/gstoraster"))
        GTEST_SKIP() << "cupsfilter, Ghostscript or the CUPS converters are not installed";
    TempFolder dir;
    ::chmod(dir.path().c_str(), 0755);
    makeServerBin(dir.file("sb"), TBX_FILTER_PROGRAM);
    ASSERT_TRUE(writeWholeFile(dir.file("cups-files.conf"),
                               "ServerBin " + dir.file("sb") + "\nDataDir /usr/share/cups\n"));
    ASSERT_TRUE(makePdf(dir.file("doc.pdf"), 3));
    const auto started = std::chrono::steady_clock::now();
    const int status =
        shell("cd '" + dir.path() +
              "' && cupsfilter -e -c cups-files.conf -p '" TBX_FILTER_PPD
              "' -m printer/foo -o Duplex=DuplexNoTumble -o MediaType=Thin doc.pdf > stream.bin 2> log.txt")
            .first;
    const std::string log = readWholeFile(dir.file("log.txt"));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_EQ(status, 0) << log;
    EXPECT_LT(seconds, 20.0) << "no waiting for a backend that is not there";
    EXPECT_NE(log.find("printfilter-tamberlyx"), std::string::npos);

    const DecodedJob job = decodeJobStream(readWholeFile(dir.file("stream.bin")));
    ASSERT_TRUE(job.ok()) << job.error;
    EXPECT_EQ(job.jobField("JobName"), "doc.pdf");
    EXPECT_EQ(job.jobField("MediaType"), "thin");
    EXPECT_EQ(job.jobField("Sides"), "TwoSidedLongEdge");
    ASSERT_EQ(job.pages.size(), 4u) << "3 pages and a blank back side";
    for (const auto& page : job.pages) {
        EXPECT_EQ(page.field("MediaSize"), "na_a4_210x297mm");
        // A4 at 600 dpi within the PPD's 6-point margins (the printer's +50-dot origin).
        EXPECT_NEAR(page.width(), 4864, 8);
        EXPECT_NEAR(page.height(), 6917, 2);
        EXPECT_FALSE(page.data.empty());
    }
    EXPECT_TRUE(job.endOfJob);
}

TEST(CupsTestFolders, NothingIsWrittenThroughALinkIntoTheSystem) {
    // A stand-in of the system's folders with this filter already installed in them.
    TempFolder dir;
    const std::string system = dir.file("system");
    for (const char* sub : {"/filter", "/daemon", "/backend", "/data/model/other", "/data/mime"})
        fs::create_directories(system + sub);
    const std::string installed = system + "/filter/printfilter-tamberlyx";
    ASSERT_TRUE(writeWholeFile(installed, "the installed filter"));
    ASSERT_TRUE(writeWholeFile(system + "/filter/gstoraster", "a converter"));
    ASSERT_TRUE(writeWholeFile(system + "/backend/socket", "the backend"));
    ASSERT_TRUE(writeWholeFile(system + "/data/model/other/x.ppd", "another driver"));
    fs::create_directories(dir.file("install/tamberlyx"));
    ASSERT_TRUE(writeWholeFile(dir.file("install/tamberlyx/tamberlyx.ppd"), "the build's PPD"));

    makeServerBin(dir.file("sb"), TBX_FILTER_PROGRAM, system);
    makeDataDir(dir.file("data"), dir.file("install/tamberlyx"), system + "/data");
    EXPECT_EQ(readWholeFile(installed), "the installed filter");
    const auto own = dir.file("sb/filter/printfilter-tamberlyx");
    EXPECT_FALSE(fs::is_symlink(own));
    EXPECT_EQ(readWholeFile(own), readWholeFile(TBX_FILTER_PROGRAM));
    EXPECT_TRUE(fs::is_symlink(dir.file("sb/filter/gstoraster")));
    EXPECT_FALSE(fs::is_symlink(dir.file("data/model/tamberlyx/tamberlyx.ppd")));
    EXPECT_TRUE(fs::is_symlink(dir.file("data/model/other")));
    // A second set-up into the same folders refuses instead of copying over what is there.
    EXPECT_THROW(makeServerBin(dir.file("sb"), TBX_FILTER_PROGRAM, system), fs::filesystem_error);
    EXPECT_EQ(readWholeFile(installed), "the installed filter");
}

// The README's queue command ("sudo lpadmin ... socket://PRINTER-ADDRESS ..."), for the given
// queue and printer address, without sudo.
std::string readmeQueueCommand(const std::string& queue, const std::string& address) {
    std::istringstream readme(readWholeFile(TBX_SOURCE_DIR "/README.md"));
    for (std::string line; std::getline(readme, line);) {
        if (line.rfind("sudo lpadmin ", 0) != 0 || line.find("socket://PRINTER-ADDRESS") == std::string::npos)
            continue;
        std::string command = line.substr(5);
        command.replace(command.find("PRINTER-ADDRESS"), 15, address);
        const std::size_t name = command.find("-p Tamberlyx ");
        if (name != std::string::npos)
            command.replace(name + 3, 9, queue);
        return command;
    }
    return {};
}

// A private scheduler with this build's filter component installed into the test's folder the way
// the README installs it, and a queue added with the README's command.
class SchedulerJob : public ::testing::Test {
protected:
    void SetUp() override {
        TBX_REQUIRE_NETWORK_SANDBOX();
        if (!haveProgram("/usr/sbin/cupsd") || !haveProgram("/usr/sbin/lpadmin") ||
            !haveProgram("/usr/bin/lp") || !haveProgram("/usr/bin/gs") ||
            !haveProgram("/usr/lib/cups/backend/socket"))
            GTEST_SKIP() << "CUPS, its clients, the socket backend or Ghostscript are not installed";
        if (::geteuid() != 0 || !::getpwnam("lp"))
            GTEST_SKIP() << "a private cupsd needs root and the lp user here";
        ::chmod(dir_.path().c_str(), 0755);
        const std::string root = dir_.file("root");
        const auto [installed, out] =
            shell("DESTDIR='" + root + "' cmake --install '" TBX_BUILD_DIR "' --component printfilter");
        ASSERT_EQ(installed, 0) << out;
        makeServerBin(dir_.file("sb"), root + TBX_INSTALLED_FILTER_DIR "/printfilter-tamberlyx");
        makeDataDir(dir_.file("data"), root + TBX_INSTALLED_PPD_DIR);
        ASSERT_TRUE(makePdf(dir_.file("doc.pdf"), 2));
        ::chmod(dir_.file("doc.pdf").c_str(), 0644);
        cupsd_.emplace(dir_.file("cups"), dir_.file("sb"), dir_.file("data"));
        if (!cupsd_->ready())
            GTEST_SKIP() << "cupsd cannot run here:\n" << cupsd_->log();
    }

    // Adds the queue with the README's command; the printer listens on port.
    void addQueue(const std::string& queue, int port) {
        const std::string command = readmeQueueCommand(queue, "127.0.0.1:" + std::to_string(port));
        ASSERT_FALSE(command.empty()) << "the README has no lpadmin command for a socket:// queue";
        const auto [status, out] = cupsd_->run(command);
        ASSERT_EQ(status, 0) << command << "\n" << out;
    }

    // Prints the PDF; returns the job's name ("queue-N").
    std::string print(const std::string& queue, const std::string& options,
                      const std::string& document = "doc.pdf") {
        const auto [status, out] =
            cupsd_->run("lp -d " + queue + " " + options + " '" + dir_.file(document) + "'");
        EXPECT_EQ(status, 0) << out;
        const std::size_t at = out.find(queue + "-");
        if (at == std::string::npos)
            return {};
        return out.substr(at, out.find(' ', at) - at);
    }

    bool waitFor(const std::function<bool()>& done) {
        for (int i = 0; i < 240; ++i) {
            if (done())
                return true;
            std::this_thread::sleep_for(250ms);
        }
        return false;
    }

    // The scheduler's log of the jobs, without the per-piece lines, for failure messages.
    std::string jobLog() const {
        std::istringstream in(cupsd_->log());
        std::string out;
        for (std::string line; std::getline(in, line);)
            if (line.find("[Job ") != std::string::npos &&
                line.find("bytes of print data") == std::string::npos &&
                line.find("sned cmd") == std::string::npos && line.find("readsize") == std::string::npos &&
                line.find("envp[") == std::string::npos &&
                line.find("backendDrainOutput") == std::string::npos)
                out += line + "\n";
        return out;
    }

    TempFolder dir_;
    std::optional<PrivateScheduler> cupsd_;
};

TEST_F(SchedulerJob, PrintsWithTheReadmeQueueAndCountsItsPages) {
    FakePrinter printer;
    addQueue("tbxtest", printer.port());
    const std::string job = print("tbxtest", "-t 'Q3; report' -n 2 -o Duplex=DuplexTumble");
    ASSERT_FALSE(job.empty());
    const bool completed = waitFor([&] {
        return cupsd_->run("lpstat -W completed -o tbxtest").second.find(job + " ") != std::string::npos;
    });
    ASSERT_TRUE(completed) << cupsd_->run("lpstat -l -W all -o tbxtest").second << "\n" << jobLog();
    waitFor([&] { return printer.jobsFinished() >= 1; });

    const std::string log = cupsd_->log();
    EXPECT_NE(log.find("Job completed."), std::string::npos);
    EXPECT_EQ(log.find("not asking the backend anything more"), std::string::npos)
        << "the socket backend answers the side channel";
    EXPECT_EQ(log.find("Check Connecttion CUPS Stauts"), std::string::npos)
        << "the backend answers the first connection question: printing starts at once";
    const DecodedJob stream = decodeJobStream(printer.received());
    ASSERT_TRUE(stream.ok()) << stream.error;
    EXPECT_EQ(stream.jobField("JobName"), "Q3_ report");
    EXPECT_EQ(stream.jobField("Sides"), "TwoSidedShortEdge");
    EXPECT_EQ(stream.jobField("Copies"), "1");
    ASSERT_EQ(stream.pages.size(), 4u) << "two collated copies of two pages";
    for (const auto& page : stream.pages) {
        EXPECT_EQ(page.field("MediaSize"), "na_a4_210x297mm");
        EXPECT_EQ(page.field("MediaInputTrayCheck"), "auto");
        EXPECT_GT(page.data.size(), 20u);
    }
    EXPECT_GT(pieceCount(stream), 0u);
    EXPECT_TRUE(stream.endOfJob);
    // The page log counts the pages the filter reported: 2 pages x 2 copies.
    const std::string jobId = job.substr(job.rfind('-') + 1);
    std::istringstream pageLog(cupsd_->pageLog());
    std::string total;
    for (std::string line; std::getline(pageLog, line);)
        if (line.rfind("tbxtest root " + jobId + " ", 0) == 0 && line.find("] total ") != std::string::npos)
            total = line.substr(line.find("] total ") + 8, 2);
    EXPECT_EQ(total, "4 ") << cupsd_->pageLog();
}

TEST_F(SchedulerJob, APrinterThatClosesTheConnectionEarlyLeavesTheJobNotCompleted) {
    FakePrinter printer(30000);
    addQueue("tbxclose", printer.port());
    ASSERT_TRUE(makePdf(dir_.file("long.pdf"), 12)); // about 40 kB of job stream
    ::chmod(dir_.file("long.pdf").c_str(), 0644);
    const std::string job = print("tbxclose", "", "long.pdf");
    ASSERT_FALSE(job.empty());
    // The filter fails, and the scheduler holds, stops or aborts the job instead of completing it.
    const bool ended = waitFor([&] {
        const std::string log = cupsd_->log();
        return log.find("Job held") != std::string::npos || log.find("Job stopped") != std::string::npos ||
               log.find("aborted") != std::string::npos ||
               cupsd_->run("lpstat -W completed -o tbxclose").second.find(job + " ") != std::string::npos;
    });
    ASSERT_TRUE(ended) << jobLog();
    EXPECT_EQ(cupsd_->run("lpstat -W completed -o tbxclose").second.find(job + " "), std::string::npos)
        << jobLog();
    EXPECT_EQ(printer.received().size(), 30000u) << jobLog();
    const std::string log = cupsd_->log();
    EXPECT_NE(log.find("[Tamberlyx] the connection to the printer was lost"), std::string::npos) << jobLog();
    EXPECT_NE(log.find("printfilter-tamberlyx) stopped with status 1"), std::string::npos) << jobLog();
}

// The printfilter-tamberlyx processes started from this test's own server-binary folder.
std::size_t filtersRunningFrom(const std::string& program) {
    std::size_t n = 0;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::error_code ec;
        const fs::path exe = fs::read_symlink(entry.path() / "exe", ec);
        n += !ec && exe == program;
    }
    return n;
}

TEST_F(SchedulerJob, ACancelEndsTheFilterWhenThePrinterHasStoppedReading) {
    FakePrinter printer(100000, true);
    addQueue("tbxstall", printer.port());
    // More job stream than the backend's socket and pipe can hold (a few MB) while the printer stalls.
    ASSERT_TRUE(makeNoisePdf(dir_.file("noise.pdf"), 8));
    ::chmod(dir_.file("noise.pdf").c_str(), 0644);
    const std::string job = print("tbxstall", "", "noise.pdf");
    ASSERT_FALSE(job.empty());
    const std::string filter = dir_.file("sb/filter/printfilter-tamberlyx");
    // The printer takes its 100000 bytes and no more; the filter is then held up by the full
    // connection in the middle of the first page: the backend, stuck behind the printer, leaves a
    // drain request unanswered.
    ASSERT_TRUE(waitFor([&] { return printer.received().size() >= 100000; })) << jobLog();
    ASSERT_TRUE(waitFor([&] {
        return cupsd_->log().find("write data to stdout time out") != std::string::npos;
    })) << jobLog();
    ASSERT_EQ(filtersRunningFrom(filter), 1u) << jobLog();

    const auto [status, out] = cupsd_->run("cancel " + job);
    ASSERT_EQ(status, 0) << out;
    const auto cancelled = std::chrono::steady_clock::now();
    while (filtersRunningFrom(filter) > 0 && std::chrono::steady_clock::now() - cancelled < 10s)
        std::this_thread::sleep_for(50ms);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - cancelled).count();
    EXPECT_LT(seconds, 5.0) << "the filter was still there after the cancel\n" << jobLog();
    EXPECT_FALSE(spoolFolderLeft(dir_.file("cups/spool/tmp"))) << "the job's spool folder stayed";
}

} // namespace
} // namespace tbx::test
