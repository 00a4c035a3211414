// The filter run as a process with its pages encoded on worker threads and with one thread
// (TAMBERLYX_ENCODER_THREADS=1): the job streams must be the same byte for byte, and so must the
// job logs, for a plain job, a two-sided collated job and a job cancelled part way.

#include "PageTestSupport.h"
#include "tests/printfilter/support/FilterPeer.h"
#include "tests/printfilter/support/JobStreamDecoder.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <regex>

namespace tbx::test {
namespace {

// The job log without what differs from run to run: the job time, the job's spool folder, which
// has a name of its own each time, and the SIGTERM handler's two lines, which land wherever the
// signal happens to arrive (they are counted instead).
std::string withoutRunDetails(const std::string& log) {
    static const std::regex folder("/[^ \n]*/tamberlyx-jbig-[A-Za-z0-9]+");
    static const std::regex time("JobTime=[^;]*;");
    static const std::regex signal("INFO:Job Cancelling\n|\\[Tamberlyx\\] Set Cancel Job Flag to True =+\n");
    std::string s = std::regex_replace(log, folder, "SPOOL");
    s = std::regex_replace(s, time, "JobTime=;");
    return std::regex_replace(s, signal, "");
}

struct Job {
    FilterRun run;
    bool spoolLeft = false;
};

// `cancelAt`, when not 0, is where the raster is cut: the SIGTERM comes once two pages are on the
// stream, and only then does the rest of the raster follow.
Job runFilter(const std::string& raster, const std::string& options, const char* threads,
              std::size_t cancelAt) {
    FilterPeer peer(TBX_FILTER_PROGRAM);
    peer.setArguments({"tbxqueue", "17", "alice", "threads", "2", options});
    peer.addEnvironment(std::string("PPD=") + TBX_FILTER_PPD);
    peer.addEnvironment("LANG=en_US.UTF-8");
    peer.addEnvironment(std::string("TAMBERLYX_ENCODER_THREADS=") + threads);
    if (cancelAt == 0)
        peer.setInput(raster);
    else
        peer.feedInSteps({{raster.substr(0, cancelAt), "", 0, false},
                          {raster.substr(cancelAt), "Event=EndOfPage;", 2, true}});
    Job job;
    job.run = peer.run();
    for (const auto& entry : std::filesystem::directory_iterator(peer.folder()))
        job.spoolLeft = job.spoolLeft || entry.path().filename().string().rfind("tamberlyx-jbig-", 0) == 0;
    return job;
}

TEST(EncoderThreads, ThreadedFilterWritesTheOneThreadJobStreamAndLog) {
    std::vector<GrayPage> pages;
    for (int n = 0; n < 6; ++n)
        pages.push_back(noisePage(300 + 17 * n, 410, 70 + n));
    const std::string raster = makeRaster(pages);
    // Halfway through page 3: the cancel comes while page 3 is read, with pages 1 and 2 sent.
    const std::size_t pageThree = makeRaster({pages[0], pages[1]}).size();
    const std::size_t pageFour = makeRaster({pages[0], pages[1], pages[2]}).size();
    ASSERT_EQ(raster.compare(0, pageFour, makeRaster({pages[0], pages[1], pages[2]})), 0);
    const std::size_t midPageThree = pageThree + (pageFour - pageThree) / 2;
    const struct {
        const char* what;
        const char* options;
        bool cancel;
        std::size_t pagesSent;
    } cases[] = {
        {"one-sided", "", false, 12},
        {"long edge, collated, scaled", "Duplex=DuplexNoTumble Collate=True QvScale=90%", false, 12},
        {"cancelled while page 3 is read", "", true, 2},
    };
    for (const auto& c : cases) {
        const std::size_t cancelAt = c.cancel ? midPageThree : 0;
        const Job one = runFilter(raster, c.options, "1", cancelAt);
        const Job many = runFilter(raster, c.options, "4", cancelAt);
        ASSERT_EQ(one.run.exitStatus, 0) << c.what << "\n" << one.run.err;
        ASSERT_EQ(many.run.exitStatus, 0) << c.what << "\n" << many.run.err;
        const DecodedJob decoded = decodeJobStream(one.run.out);
        ASSERT_TRUE(decoded.ok()) << c.what << ": " << decoded.error;
        EXPECT_EQ(decoded.cancelled, c.cancel) << c.what;
        EXPECT_EQ(decoded.pages.size(), c.pagesSent) << c.what;
        EXPECT_TRUE(withoutJobTime(many.run.out) == withoutJobTime(one.run.out))
            << c.what << ": the job streams differ";
        EXPECT_EQ(withoutRunDetails(many.run.err), withoutRunDetails(one.run.err)) << c.what;
        EXPECT_EQ(many.run.logHas("INFO:Job Cancelling"), c.cancel) << c.what;
        EXPECT_FALSE(one.spoolLeft || many.spoolLeft) << c.what << ": a spool folder stayed";
    }
}

} // namespace
} // namespace tbx::test
