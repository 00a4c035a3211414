// The filter run as a process, the way the scheduler and a backend run it: the backend peer holds
// the side and back channels and records the job stream, which is decoded and checked.

#include "PageTestSupport.h"
#include "tests/printfilter/support/FilterPeer.h"
#include "tests/printfilter/support/JobStreamDecoder.h"

#include <gtest/gtest.h>

namespace tbx::test {
namespace {

std::string pages(int count, int w = 40, int h = 24) {
    std::vector<GrayPage> list;
    for (int i = 0; i < count; ++i)
        list.push_back(makePage(w + i, h, [i](int x, int y) { return (x + y + i) % 3 ? 255 : 0; }));
    return makeRaster(list);
}

FilterPeer peerFor(std::string title = "report", std::string copies = "1", std::string options = "") {
    FilterPeer peer(TBX_FILTER_PROGRAM);
    peer.setArguments({"tbxqueue", "17", "alice", std::move(title), std::move(copies), std::move(options)});
    peer.addEnvironment(std::string("PPD=") + TBX_FILTER_PPD);
    peer.addEnvironment("LANG=en_US.UTF-8");
    return peer;
}

std::size_t count(const std::vector<cups_sc_command_t>& requests, cups_sc_command_t command) {
    return static_cast<std::size_t>(std::count(requests.begin(), requests.end(), command));
}

// The "PAGE:" lines of the log, in order.
std::vector<std::string> pageLines(const FilterRun& run) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while ((at = run.err.find("PAGE: ", at)) != std::string::npos) {
        const std::size_t end = run.err.find('\n', at);
        if (at == 0 || run.err[at - 1] == '\n')
            lines.push_back(run.err.substr(at, end - at));
        at = end;
    }
    return lines;
}

std::vector<int> widths(const DecodedJob& job) {
    std::vector<int> w;
    for (const auto& p : job.pages)
        w.push_back(p.width());
    return w;
}

TEST(FilterProcess, FewerThanSixArgumentsPrintsUsage) {
    FilterPeer peer(TBX_FILTER_PROGRAM);
    peer.setArguments({"tbxqueue", "17", "alice", "title", "1"});
    const FilterRun run = peer.run();
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_TRUE(run.logHas("ERROR: Usage: tbxqueue job-id user title copies options [file]")) << run.err;
    EXPECT_TRUE(run.out.empty());
}

TEST(FilterProcess, OneSidedJobWithABackend) {
    FilterPeer peer = peerFor("100% of Q3", "1", "MediaType=Thick InputSlot=MPTRAY media=Letter");
    peer.setInput(pages(3));
    const FilterRun run = peer.run();
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const DecodedJob job = decodeJobStream(run.out);
    ASSERT_TRUE(job.ok()) << job.error;
    EXPECT_EQ(job.jobField("JobName"), "100% of Q3");
    EXPECT_EQ(job.jobField("MediaType"), "thick");
    EXPECT_EQ(job.jobField("Sides"), "OneSided");
    EXPECT_EQ(job.jobField("Copies"), "1");
    ASSERT_EQ(job.pages.size(), 3u);
    EXPECT_EQ(widths(job), (std::vector<int>{40, 48, 48})) << "each page's own width, rounded to 8";
    for (const auto& page : job.pages) {
        EXPECT_EQ(page.field("MediaSize"), "na_LETTER_216x279mm");
        EXPECT_EQ(page.field("MediaInputTrayCheck"), "manual");
        EXPECT_EQ(page.height(), 24);
        EXPECT_TRUE(decodeJbig(page.data)) << "page data is one JBIG image";
    }
    EXPECT_TRUE(job.endOfJob);
    // One connection question, then a drain after every command and data piece.
    EXPECT_EQ(count(run.sideRequests, CUPS_SC_CMD_GET_CONNECTED), 1u);
    std::size_t pieces = 0;
    for (const auto& p : job.pages)
        pieces += p.pieces.size();
    EXPECT_EQ(count(run.sideRequests, CUPS_SC_CMD_DRAIN_OUTPUT), 2 + 3 * 2 + pieces + 1);
    EXPECT_TRUE(run.logHas("INFO:Finished page 3 data transformation"));
    EXPECT_TRUE(run.logHas("INFO: Start to send page(3) data"));
    EXPECT_TRUE(run.logHas("INFO: Finish sending all job data.And waiting for printer to finish the job."));
}

TEST(FilterProcess, NoSideChannelNoWaiting) {
    FilterPeer peer = peerFor();
    peer.setSideMode(SideMode::closed);
    peer.setInput(pages(2));
    const FilterRun run = peer.run();
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_LT(run.seconds, 3.0);
    EXPECT_EQ(decodeJobStream(run.out).pages.size(), 2u);
}

TEST(FilterProcess, FileQueueHasNoBackendToWaitFor) {
    FilterPeer peer = peerFor();
    peer.setSideMode(SideMode::silent);
    peer.addEnvironment("DEVICE_URI=file:///dev/null");
    peer.setInput(pages(3));
    const FilterRun run = peer.run();
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const DecodedJob job = decodeJobStream(run.out);
    ASSERT_TRUE(job.ok()) << job.error;
    EXPECT_EQ(job.pages.size(), 3u);
    EXPECT_TRUE(run.sideRequests.empty());
    EXPECT_LT(run.seconds, 3.0);
}

TEST(FilterProcess, BackendThatStartsAnsweringLateKeepsBeingAsked) {
    // A socket backend probes the printer before it serves the side channel.
    FilterPeer peer = peerFor();
    peer.addEnvironment("DEVICE_URI=socket://127.0.0.1:9100");
    peer.setSidePolicy([](cups_sc_command_t c, int n) {
        SideAnswer a;
        a.silent = c == CUPS_SC_CMD_GET_CONNECTED && n == 0;
        return a;
    });
    peer.setInput(pages(1));
    const FilterRun run = peer.run();
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(count(run.sideRequests, CUPS_SC_CMD_GET_CONNECTED), 2u);
    const DecodedJob job = decodeJobStream(run.out);
    ASSERT_EQ(job.pages.size(), 1u);
    EXPECT_EQ(count(run.sideRequests, CUPS_SC_CMD_DRAIN_OUTPUT), 2 + 2 + job.pages[0].pieces.size() + 1);
}

TEST(FilterProcess, LateDrainAnswersDoNotStopTheDraining) {
    FilterPeer peer = peerFor();
    peer.setSidePolicy([](cups_sc_command_t c, int n) {
        SideAnswer a;
        if (c == CUPS_SC_CMD_DRAIN_OUTPUT && n == 1)
            a.delay = std::chrono::milliseconds(1500); // answered after the filter's time-out
        return a;
    });
    peer.setInput(pages(2));
    const FilterRun run = peer.run();
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const DecodedJob job = decodeJobStream(run.out);
    ASSERT_TRUE(job.ok()) << job.error;
    std::size_t pieces = 0;
    for (const auto& p : job.pages)
        pieces += p.pieces.size();
    EXPECT_EQ(count(run.sideRequests, CUPS_SC_CMD_DRAIN_OUTPUT), 2 + 2 * 2 + pieces + 1);
}

TEST(FilterProcess, AnAnswerAfterItsTimeOutIsNotTakenForTheNextOne) {
    // The first drain's answer comes after the filter gave up on it, together with the second's;
    // the drain answers turn to I/O errors from the fourth drain on (the first data piece). Late
    // answers must not shift the answers of later requests: the failure of that piece is seen at
    // that piece, however the answers arrive together.
    FilterPeer peer = peerFor();
    peer.setSidePolicy([](cups_sc_command_t c, int n) {
        SideAnswer a;
        if (c == CUPS_SC_CMD_DRAIN_OUTPUT && n == 0)
            a.delay = std::chrono::milliseconds(1200);
        if (c == CUPS_SC_CMD_DRAIN_OUTPUT && n >= 3)
            a.status = CUPS_SC_STATUS_IO_ERROR;
        return a;
    });
    peer.setInput(pages(1));
    const FilterRun run = peer.run();
    EXPECT_EQ(run.exitStatus, 1) << run.err;
    EXPECT_EQ(count(run.sideRequests, CUPS_SC_CMD_DRAIN_OUTPUT), 4u)
        << "start of job, job header, page header, the failing first piece";
    const DecodedJob job = decodeJobStream(run.out);
    EXPECT_TRUE(job.cancelled);
    ASSERT_EQ(job.pages.size(), 1u);
    EXPECT_EQ(job.pages[0].pieces.size(), 1u);
}

TEST(FilterProcess, ConnectionWaitRepeatsUntilTheBackendSaysOk) {
    FilterPeer peer = peerFor();
    peer.setSidePolicy([](cups_sc_command_t c, int n) {
        SideAnswer a;
        if (c == CUPS_SC_CMD_GET_CONNECTED && n < 2)
            a.status = CUPS_SC_STATUS_NONE;
        return a;
    });
    peer.setInput(pages(1));
    const FilterRun run = peer.run();
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(count(run.sideRequests, CUPS_SC_CMD_GET_CONNECTED), 3u);
    EXPECT_GE(run.seconds, 1.9);
    EXPECT_TRUE(run.logHas("DEBUG:[Tamberlyx] Check Connecttion CUPS Stauts = 0 "));
}

TEST(FilterProcess, NotImplementedEndsTheWaitAtOnce) {
    FilterPeer peer = peerFor();
    peer.setSidePolicy([](cups_sc_command_t, int) {
        return SideAnswer{false, CUPS_SC_STATUS_NOT_IMPLEMENTED, {}};
    });
    peer.setInput(pages(1));
    const FilterRun run = peer.run();
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(count(run.sideRequests, CUPS_SC_CMD_GET_CONNECTED), 1u);
    EXPECT_EQ(decodeJobStream(run.out).pages.size(), 1u);
}

TEST(FilterProcess, PrinterGoneCancelsAtTheFirstPage) {
    FilterPeer peer = peerFor();
    peer.setSidePolicy([](cups_sc_command_t c, int) {
        SideAnswer a;
        if (c == CUPS_SC_CMD_GET_CONNECTED)
            a.status = CUPS_SC_STATUS_NO_RESPONSE;
        return a;
    });
    peer.setInput(pages(2));
    const FilterRun run = peer.run();
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    const DecodedJob job = decodeJobStream(run.out);
    ASSERT_TRUE(job.ok()) << job.error;
    EXPECT_TRUE(job.cancelled);
    EXPECT_TRUE(job.pages.empty());
    EXPECT_EQ(count(run.sideRequests, CUPS_SC_CMD_GET_CONNECTED), 1u) << "the wait ends with the cancel";
    EXPECT_TRUE(run.logHas("INFO:Job Cancelling"));
    EXPECT_TRUE(run.logHas("INFO:Job Cancelled"));
}

TEST(FilterProcess, SigtermCancelsWhereTheNextPageWouldBegin) {
    FilterPeer peer = peerFor();
    // The SIGTERM comes while page 3 is read: pages 1 and 2 are on the stream, page 3's rows are
    // still coming.
    const std::string whole = pages(5);
    const std::size_t pageThree = pages(2).size();
    ASSERT_EQ(whole.compare(0, pageThree, pages(2)), 0);
    const std::size_t cut = pageThree + (pages(3).size() - pageThree) / 2;
    peer.feedInSteps(
        {{whole.substr(0, cut), "", 0, false}, {whole.substr(cut), "Event=EndOfPage;", 2, true}});
    const FilterRun run = peer.run();
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    const DecodedJob job = decodeJobStream(run.out);
    ASSERT_TRUE(job.ok()) << job.error;
    EXPECT_TRUE(job.cancelled);
    EXPECT_FALSE(job.endOfJob);
    ASSERT_EQ(job.pages.size(), 2u) << "pages 1 and 2 only";
    EXPECT_TRUE(job.pages[1].endOfPage);
    EXPECT_TRUE(run.logHas("INFO:Job Cancelling"));
    EXPECT_TRUE(run.logHas("[Tamberlyx] Set Cancel Job Flag to True ================="));
    EXPECT_TRUE(run.logHas("INFO:Finished page 3 data transformation")) << "the page in progress is finished";
    EXPECT_TRUE(run.logHas("INFO:Job Cancelled"));
    // The job is cancelled with the scheduler: one IPP Cancel-Job (operation 0x0008) for job 17.
    ASSERT_EQ(run.ippRequests.size(), 1u) << run.err;
    const std::string& request = run.ippRequests[0];
    const std::size_t body = request.find("\r\n\r\n") + 4;
    ASSERT_GE(request.size(), body + 4);
    EXPECT_EQ(request[body + 2], '\x00');
    EXPECT_EQ(request[body + 3], '\x08');
    EXPECT_NE(request.find("tbxqueue"), std::string::npos);
    EXPECT_NE(request.find(std::string("job-id\x00\x04\x00\x00\x00\x11", 12)), std::string::npos);
}

// The scheduler's cancel takes 0 for the queue's current job and -1 for every job of the queue: a
// filter run by hand or by a wrapper with such an id, or any other that is no job id, cancels
// nothing with the scheduler; the rest of the cancel stays as it is.
TEST(FilterProcess, OnlyAPositiveJobIdReachesTheSchedulersCancel) {
    const struct {
        const char* jobId;
        bool sent;
    } cases[] = {
        {"42", true}, {"-1", false},    {"0", false},           {"abc", false},
        {"", false},  {"17abc", false}, {"99999999999", false},
    };
    for (const auto& c : cases) {
        FilterPeer peer = peerFor();
        peer.setArguments({"tbxqueue", c.jobId, "alice", "report", "1", ""});
        // The SIGTERM comes while page 1 is read (its job header is on the stream, the rest of the
        // page comes after the signal): the cancel comes at the first page.
        const std::string raster = pages(3);
        const std::size_t half = pages(1).size() / 2;
        peer.feedInSteps(
            {{raster.substr(0, half), "", 0, false}, {raster.substr(half), "Event=StartOfJob;", 1, true}});
        const FilterRun run = peer.run();
        EXPECT_EQ(run.exitStatus, 0) << c.jobId << "\n" << run.err;
        const DecodedJob job = decodeJobStream(run.out);
        ASSERT_TRUE(job.ok()) << c.jobId << ": " << job.error;
        EXPECT_TRUE(job.cancelled) << c.jobId;
        EXPECT_TRUE(job.pages.empty()) << c.jobId;
        EXPECT_TRUE(run.logHas("INFO:Job Cancelled")) << c.jobId;
        ASSERT_EQ(run.ippRequests.size(), c.sent ? 1u : 0u) << c.jobId << "\n" << run.err;
        const std::string refusal = std::string("DEBUG:[Tamberlyx] the job id \"") + c.jobId +
                                    "\" is not a positive decimal number the scheduler can take: the job "
                                    "is not cancelled with the scheduler";
        EXPECT_EQ(run.logHas(refusal), !c.sent) << c.jobId << "\n" << run.err;
        if (c.sent) {
            EXPECT_NE(run.ippRequests[0].find(std::string("job-id\x00\x04\x00\x00\x00\x2a", 12)),
                      std::string::npos);
        }
    }
}

TEST(FilterProcess, RasterFromTheFileArgument) {
    FilterPeer peer = peerFor();
    const std::string file = peer.folder() + "/job.ras";
    ASSERT_TRUE(writeWholeFile(file, pages(2)));
    peer.setArguments({"tbxqueue", "17", "alice", "t", "1", "", file});
    const FilterRun run = peer.run();
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(decodeJobStream(run.out).pages.size(), 2u);

    FilterPeer missing = peerFor();
    missing.setArguments({"tbxqueue", "17", "alice", "t", "1", "", peer.folder() + "/none.ras"});
    const FilterRun failed = missing.run();
    EXPECT_EQ(failed.exitStatus, 1);
    EXPECT_TRUE(failed.out.empty());
}

TEST(FilterProcess, NoRasterFailsWithoutSendingAnything) {
    FilterPeer peer = peerFor();
    peer.setInput("");
    const FilterRun run = peer.run();
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_TRUE(run.out.empty());
    EXPECT_NE(run.err.find("ERROR:"), std::string::npos);
}

TEST(FilterProcess, RefusedRasterEndsTheJobWithTheCancelCommandAndFails) {
    FilterPeer peer = peerFor();
    RasterSpec rgb;
    rgb.colorSpace = CUPS_CSPACE_RGB;
    rgb.bitsPerPixel = 24;
    rgb.bytesPerLine = 40 * 3;
    peer.setInput(makeRaster({GrayPage(40, 8)}, rgb));
    const FilterRun run = peer.run();
    EXPECT_EQ(run.exitStatus, 1);
    const DecodedJob job = decodeJobStream(run.out);
    ASSERT_TRUE(job.ok()) << job.error;
    EXPECT_TRUE(job.pages.empty());
    EXPECT_TRUE(job.cancelled);
    EXPECT_FALSE(job.endOfJob);
    EXPECT_NE(run.err.find("ERROR: [Tamberlyx] page 1: unsupported raster"), std::string::npos) << run.err;
    EXPECT_TRUE(run.ippRequests.empty()) << "a failed job is not cancelled with the scheduler";
}

TEST(FilterProcess, CollatedCopiesAndPrinterCopies) {
    FilterPeer collated = peerFor("t", "3");
    collated.setInput(pages(2));
    FilterRun run = collated.run();
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    DecodedJob job = decodeJobStream(run.out);
    EXPECT_EQ(job.jobField("Copies"), "1");
    EXPECT_EQ(widths(job), (std::vector<int>{40, 48, 40, 48, 40, 48}));
    // The scheduler's page log: each page of each pass prints once.
    using Lines = std::vector<std::string>;
    EXPECT_EQ(pageLines(run),
              (Lines{"PAGE: 1 1", "PAGE: 2 1", "PAGE: 1 1", "PAGE: 2 1", "PAGE: 1 1", "PAGE: 2 1"}));

    FilterPeer uncollated = peerFor("t", "0003", "Collate=False");
    uncollated.setInput(pages(2));
    run = uncollated.run();
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    job = decodeJobStream(run.out);
    EXPECT_EQ(job.jobField("Copies"), "3");
    EXPECT_EQ(job.pages.size(), 2u);
    EXPECT_EQ(pageLines(run), (Lines{"PAGE: 1 3", "PAGE: 2 3"})) << "the printer makes the copies";
}

TEST(FilterProcess, TwoSidedShortEdgeSendsBackSidesFirst) {
    FilterPeer peer = peerFor("t", "1", "Duplex=DuplexTumble");
    peer.setInput(pages(3));
    const FilterRun run = peer.run();
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const DecodedJob job = decodeJobStream(run.out);
    EXPECT_EQ(job.jobField("Sides"), "TwoSidedShortEdge");
    // Pages 2, 1, blank 4 (the size of page 3), 3.
    EXPECT_EQ(widths(job), (std::vector<int>{48, 40, 48, 48}));
    EXPECT_EQ(pageLines(run), (std::vector<std::string>{"PAGE: 2 1", "PAGE: 1 1", "PAGE: 3 1"}))
        << "the blank back side is no page of the document";
}

TEST(FilterProcess, LanguageOfTheInfoLines) {
    struct Case {
        std::vector<std::string> env;
        const char* line;
    };
    const Case cases[] = {
        {{"LANG=en_US.UTF-8"}, "INFO:Finished page 1 data transformation"},
        {{"APPLE_LANGUAGE=zh-Hans", "LANG=en_US.UTF-8"}, "INFO:完成第1页的数据转换"},
        {{"LANG=fr_FR.UTF-8"}, nullptr},
        {{"LANG=C"}, "INFO:Finished page 1 data transformation"},
        {{"LANG=POSIX"}, "INFO: Start to send page(1) data"},
    };
    for (const auto& c : cases) {
        FilterPeer peer(TBX_FILTER_PROGRAM);
        peer.setArguments({"q", "1", "u", "t", "1", ""});
        for (const auto& e : c.env)
            peer.addEnvironment(e);
        peer.setInput(pages(1));
        const FilterRun run = peer.run();
        ASSERT_EQ(run.exitStatus, 0) << run.err;
        if (c.line) {
            EXPECT_TRUE(run.logHas(c.line)) << c.env.back() << "\n" << run.err;
        } else {
            EXPECT_EQ(run.err.find("INFO:"), std::string::npos) << run.err;
        }
        // Without a PPD every setting has its default.
        const DecodedJob job = decodeJobStream(run.out);
        EXPECT_EQ(job.jobField("MediaType"), "plain");
        EXPECT_EQ(job.pages.at(0).field("MediaSize"), "na_a4_210x297mm");
        EXPECT_EQ(job.pages.at(0).field("MediaInputTrayCheck"), "auto");
    }
}

} // namespace
} // namespace tbx::test

namespace tbx::test {
namespace {

TEST(StatusQueryProcess, StatusAnsweredOnTheBackChannel) {
    FilterPeer peer(TBX_STATUS_PROBE);
    peer.setArguments({"probe"});
    peer.setQueryReply([](std::string_view query) -> std::optional<std::string> {
        if (query == "Status?")
            return std::string("3038 toner low");
        return std::nullopt;
    });
    const FilterRun run = peer.run();
    EXPECT_EQ(run.exitStatus, 7) << run.err;
    EXPECT_EQ(run.out, "Status?");
    EXPECT_TRUE(run.logHas("category=7 cancel=0")) << run.err;
}

TEST(StatusQueryProcess, NoAnswerCancels) {
    FilterPeer peer(TBX_STATUS_PROBE);
    peer.setArguments({"probe"});
    const FilterRun run = peer.run();
    EXPECT_EQ(run.exitStatus, 6) << run.err;
    EXPECT_TRUE(run.logHas("INFO:Job Cancelling"));
    EXPECT_TRUE(run.logHas("category=6 cancel=1")) << run.err;
    EXPECT_GE(run.seconds, 3.5) << "a first read and three retries of 1 s each";
}

} // namespace
} // namespace tbx::test
