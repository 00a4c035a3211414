// The filter run as a process with its raster coming through a pipe a page at a time, as an upstream
// CUPS filter produces it: every page must reach the printer before the next page is written, a
// SIGTERM at any point must leave the same pages and cancel command with one encoder thread and
// with the default threads, and a cancel must end the job even when the printer stopped reading.

#include "PageTestSupport.h"
#include "tests/printfilter/support/FilterPeer.h"
#include "tests/printfilter/support/JobStreamDecoder.h"

#include <gtest/gtest.h>

namespace tbx::test {
namespace {

constexpr const char* kEndOfPage = "Event=EndOfPage;";

// The raster of the pages cut where each page ends: piece 0 holds the sync word and page 1.
std::vector<std::string> rasterByPage(int count, int width = 320, int height = 240) {
    std::vector<GrayPage> pages;
    for (int n = 0; n < count; ++n)
        pages.push_back(noisePage(width + 8 * n, height, 40 + n));
    const std::string whole = makeRaster(pages);
    std::vector<std::string> pieces;
    std::size_t at = 0;
    for (int n = 0; n < count; ++n) {
        const std::size_t size = makeRaster({pages[n]}).size() - 4 + (n == 0 ? 4 : 0);
        pieces.push_back(whole.substr(at, size));
        at += size;
    }
    return pieces;
}

FilterPeer peerFor(const char* threads, std::string options = "") {
    FilterPeer peer(TBX_FILTER_PROGRAM);
    peer.setArguments({"tbxqueue", "17", "alice", "paced", "1", std::move(options)});
    peer.addEnvironment(std::string("PPD=") + TBX_FILTER_PPD);
    peer.addEnvironment("LANG=en_US.UTF-8");
    if (threads)
        peer.addEnvironment(std::string("TAMBERLYX_ENCODER_THREADS=") + threads);
    return peer;
}

TEST(PagePacing, EachPageIsOnTheStreamBeforeTheNextIsWritten) {
    const auto pages = rasterByPage(4);
    const struct {
        const char* what;
        const char* options;
        int sentWith[4]; // EndOfPage count once page n is written (two-sided: pairs at even pages)
    } cases[] = {
        {"one-sided", "", {1, 2, 3, 4}},
        {"two-sided", "Duplex=DuplexTumble", {0, 2, 2, 4}},
    };
    for (const auto& c : cases) {
        FilterPeer peer = peerFor(nullptr, c.options);
        std::vector<FeedStep> steps;
        for (int n = 0; n < 4; ++n)
            steps.push_back(
                {pages[n], kEndOfPage, n == 0 ? 0u : static_cast<std::size_t>(c.sentWith[n - 1])});
        // The stream must also hold the last page while the input is still open.
        steps.push_back({"", kEndOfPage, static_cast<std::size_t>(c.sentWith[3])});
        peer.feedInSteps(steps);
        const FilterRun run = peer.run();
        ASSERT_EQ(run.exitStatus, 0) << c.what << "\n" << run.err;
        EXPECT_EQ(run.waitsMissed, 0u) << c.what << ": a page waited for the next one";
        const DecodedJob job = decodeJobStream(run.out);
        ASSERT_TRUE(job.ok()) << job.error;
        EXPECT_EQ(job.pages.size(), 4u) << c.what;
        EXPECT_TRUE(job.endOfJob) << c.what;
    }
}

// What the upstream filter does after the SIGTERM.
enum class Then {
    rest,     // writes the rest of the raster and closes its output
    pageOnly, // finishes the page being written, then keeps its output open with nothing more
    nothing,  // writes nothing more and keeps its output open (stalled for good)
};

// Where the SIGTERM comes in a five-page job fed a page at a time, each page written once the one
// before it is on the stream.
struct SigtermPoint {
    std::string what;
    int page;           // SIGTERM while this page is written (its first half is in); 0: see below
    int afterPage;      // (page 0) SIGTERM once this page is on the stream, before the next is
                        // written; -1: once the filter has started, before any raster is written
    std::size_t sent;   // pages the printer gets
    bool cancelCommand; // the stream ends with "CancelJob?" (else with "Event=EndOfJob;")
    Then then = Then::rest;
    double within = 0; // the filter has ended this many seconds after the SIGTERM (0: no bound)
};

std::vector<FeedStep> stepsFor(const std::vector<std::string>& pages, const SigtermPoint& point) {
    std::vector<FeedStep> steps;
    if (point.page == 0 && point.afterPage < 0)
        return steps;
    bool terminated = false;
    const auto add = [&](std::string bytes, std::size_t pagesBefore, bool terminate) {
        steps.push_back({std::move(bytes), kEndOfPage, terminated ? 0 : pagesBefore, terminate});
        terminated = terminated || terminate;
    };
    const bool stalls = point.then == Then::nothing;
    for (int n = 1; n <= 5 && !(terminated && point.then != Then::rest); ++n) {
        const std::string& page = pages[n - 1];
        const std::size_t before = static_cast<std::size_t>(n - 1);
        if (n == point.page) {
            add(page.substr(0, page.size() / 2), before, false);
            // The filter has begun before the SIGTERM comes: its job header is on the stream.
            steps.push_back({stalls ? "" : page.substr(page.size() / 2), "Event=StartOfJob;", 1, true});
            terminated = true;
        } else {
            const bool terminate = point.page == 0 && point.afterPage == n - 1;
            add(terminate && stalls ? "" : page, before, terminate);
        }
    }
    if (point.page == 0 && point.afterPage == 5)
        add("", 5, true);
    return steps;
}

TEST(PagePacing, SigtermPointsLeaveTheSamePagesWithOneAndWithTheDefaultThreads) {
    const auto pages = rasterByPage(5);
    std::vector<SigtermPoint> points;
    for (int k = 1; k <= 5; ++k)
        points.push_back(
            {"while page " + std::to_string(k) + " is read", k, 0, static_cast<std::size_t>(k - 1), true});
    points.push_back({"between pages 2 and 3", 0, 2, 2, true});
    points.push_back({"after the last page", 0, 5, 5, false});
    // An input that stays open once the page being read is in, and one that stalls for good: the
    // cancel is carried out with the pages sent so far, and the filter ends.
    points.push_back({"while page 3 is read, input then held open", 3, 0, 2, true, Then::pageOnly, 2.0});
    points.push_back({"input stalled before the first page", 0, -1, 0, true, Then::nothing, 5.0});
    points.push_back({"input stalled between pages 2 and 3", 0, 2, 2, true, Then::nothing, 5.0});
    points.push_back({"input stalled in the middle of page 3", 3, 0, 2, true, Then::nothing, 5.0});
    for (const auto& point : points) {
        std::string streams[2];
        for (int i = 0; i < 2; ++i) {
            const char* threads = i == 0 ? "1" : nullptr;
            const std::string what = point.what + (threads ? ", one thread" : ", default threads");
            FilterPeer peer = peerFor(threads);
            peer.feedInSteps(stepsFor(pages, point), point.then != Then::rest);
            if (point.page == 0 && point.afterPage < 0)
                peer.terminateWhenLogShows("DEBUG:[Tamberlyx]imageDarkness=");
            const FilterRun run = peer.run(std::chrono::seconds(30));
            ASSERT_EQ(run.exitStatus, 0) << what << "\n" << run.err;
            EXPECT_EQ(run.waitsMissed, 0u) << what;
            ASSERT_GE(run.terminatedAt, 0) << what;
            if (point.within > 0) {
                EXPECT_LT(run.seconds - run.terminatedAt, point.within) << what;
            }
            const DecodedJob job = decodeJobStream(run.out);
            ASSERT_TRUE(job.ok()) << what << ": " << job.error;
            EXPECT_EQ(job.pages.size(), point.sent) << what;
            for (const auto& page : job.pages)
                EXPECT_TRUE(page.endOfPage) << what;
            EXPECT_EQ(job.cancelled, point.cancelCommand) << what;
            EXPECT_EQ(job.endOfJob, !point.cancelCommand) << what;
            // Carried out with the scheduler too (one Cancel-Job), or not at all.
            EXPECT_EQ(run.ippRequests.size(), point.cancelCommand ? 1u : 0u) << what;
            EXPECT_EQ(run.logHas("INFO:Job Cancelled"), point.cancelCommand) << what;
            EXPECT_TRUE(run.logHas("INFO:Job Cancelling")) << what;
            EXPECT_FALSE(spoolFolderLeft(peer.folder())) << what;
            streams[i] = withoutJobTime(run.out);
        }
        EXPECT_TRUE(streams[0] == streams[1]) << point.what << ": the job streams differ";
    }
}

// A printer that takes nothing makes a cancelled job give up 2 s after the cancel; one that reads
// slowly gets the page being sent completed, then the cancel command, even behind a backend that
// cannot say what the printer took.
TEST(PagePacing, ACancelEndsTheJobWhenThePrinterTakesNothingAndFinishesThePageOnASlowOne) {
    const auto pages = rasterByPage(3, 800, 400); // each page's data more than the pipe holds
    const struct {
        const char* what;
        const char* threads;
        bool inputOpen;               // the raster pipe stays open: the filter may be waiting for more
        std::size_t readRate;         // bytes per second the printer reads; 0: none at all
        cups_sc_status_t drainAnswer; // what the backend answers a drain request
    } cases[] = {
        {"one thread", "1", false, 0, CUPS_SC_STATUS_OK},
        {"default threads", nullptr, false, 0, CUPS_SC_STATUS_OK},
        {"default threads, raster still coming", nullptr, true, 0, CUPS_SC_STATUS_OK},
        {"slow printer, drains not implemented, one thread", "1", false, 12000,
         CUPS_SC_STATUS_NOT_IMPLEMENTED},
        {"slow printer, drains not implemented", nullptr, true, 12000, CUPS_SC_STATUS_NOT_IMPLEMENTED},
    };
    for (const auto& c : cases) {
        FilterPeer peer = peerFor(c.threads);
        if (c.readRate)
            peer.readOutputAt(c.readRate);
        else
            peer.leaveOutputUnread();
        peer.setSidePolicy([&c](cups_sc_command_t command, int) {
            return SideAnswer{false, command == CUPS_SC_CMD_DRAIN_OUTPUT ? c.drainAnswer : CUPS_SC_STATUS_OK};
        });
        peer.feedInSteps({{pages[0] + pages[1] + pages[2], "", 0, false}}, c.inputOpen);
        // The first page's data fills the pipe: the printer is holding the filter up.
        peer.terminateWhenLogShows("INFO: Start to send page(1) data");
        const FilterRun run = peer.run(std::chrono::seconds(20));
        ASSERT_FALSE(run.timedOut) << c.what << "\n" << run.err;
        EXPECT_EQ(run.exitStatus, 0) << c.what << "\n" << run.err;
        ASSERT_GE(run.terminatedAt, 0) << c.what;
        EXPECT_LT(run.seconds - run.terminatedAt, 5.0) << c.what;
        const bool givesUp = c.readRate == 0;
        EXPECT_EQ(run.err.find("since the job was cancelled: nothing more is sent") != std::string::npos,
                  givesUp)
            << c.what << "\n"
            << run.err;
        if (!givesUp) {
            const DecodedJob job = decodeJobStream(run.out);
            ASSERT_TRUE(job.ok()) << c.what << ": " << job.error;
            ASSERT_EQ(job.pages.size(), 1u) << c.what;
            EXPECT_TRUE(job.pages[0].endOfPage) << c.what;
            EXPECT_TRUE(job.cancelled) << c.what;
        }
        EXPECT_TRUE(run.logHas("INFO:Job Cancelled")) << c.what;
        EXPECT_EQ(run.ippRequests.size(), 1u) << c.what << ": the scheduler is asked to cancel the job";
        EXPECT_FALSE(spoolFolderLeft(peer.folder())) << c.what;
    }
}

} // namespace
} // namespace tbx::test
