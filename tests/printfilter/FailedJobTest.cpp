// Jobs that cannot be printed, run as processes against the backend peer: each must say why in an
// "ERROR:" line, exit non-zero, leave no spool file, and send nothing after the point of failure
// but the printer's cancel command.

#include "PageTestSupport.h"
#include "tests/printfilter/support/FilterPeer.h"
#include "tests/printfilter/support/JobStreamDecoder.h"

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>

namespace tbx::test {
namespace {

GrayPage textPage(int w, int h, int seed) {
    return makePage(w, h, [seed](int x, int y) { return (x / 3 + y / 5 + seed) % 4 ? 255 : 0; });
}

std::string twoPages(const RasterSpec& spec = {}) {
    return makeRaster({textPage(64, 40, 1), textPage(64, 40, 2)}, spec);
}

// The raster with one 32-bit field of its first page header replaced.
std::string withHeaderField(std::size_t offset, unsigned value) {
    std::string bytes = makeRaster({textPage(64, 40, 1)});
    std::memcpy(bytes.data() + 4 + offset, &value, sizeof value);
    return bytes;
}

#define COPIES_ERROR "the number of copies must be a whole number from 1 to 9999, not \""

constexpr std::size_t kHeader = sizeof(cups_page_header2_t);
constexpr std::size_t kPlainPage = kHeader + 64 * 40; // one page of twoPages(), uncompressed

struct BrokenJob {
    const char* name;
    std::string input;
    std::string copies = "1";
    std::string options;
    const char* error;  // the text the "ERROR:" line holds
    int pagesSent;      // whole pages before the failure
    bool streamStarted; // false: nothing at all goes to the printer
    std::function<void(FilterPeer&)> setUp = {};
    bool printerLeaves = false; // the stream ends where the printer went: nothing can follow it
};

// Four pages of about 15 kB of JBIG each that stay open for more: the raster stalls after them,
// longer than the job may take, while the printer goes away during page 2 or 3. With one encoder
// thread the loss shows before the stall is reached; with several the pages are read ahead and
// the reading waits for raster when the sending fails.
BrokenJob printerGoneWhileRasterStalls(const char* name, const char* threads) {
    std::vector<GrayPage> pages;
    for (int n = 0; n < 4; ++n)
        pages.push_back(noisePage(400, 300, 60 + n));
    const std::string raster = makeRaster(pages);
    BrokenJob job{name, "", "1", "", "the connection to the printer was lost: Broken pipe", 0, true};
    job.setUp = [raster, threads](FilterPeer& peer) {
        if (threads)
            peer.addEnvironment(std::string("TAMBERLYX_ENCODER_THREADS=") + threads);
        peer.feedInSteps({{raster, "", 0, false}}, true);
        peer.closeOutputAfter(20000);
    };
    job.printerLeaves = true;
    return job;
}

TEST(FailedJob, EachBrokenJobFailsWithItsReasonAndSendsNothingAfterIt) {
    const RasterSpec compressed{CUPS_CSPACE_W, 8, 8, 0, true};
    const std::string two = twoPages();
    const std::string twoCompressed = twoPages(compressed);
    const std::string sync = two.substr(0, 4);
    const BrokenJob cases[] = {
        {"a header and no rows", two.substr(0, 4 + kHeader), "1", "",
         "page 1 of the raster ends after 0 of its 40 rows", 0, true},
        {"the first page cut short", two.substr(0, 4 + kHeader + 64 * 13 + 5), "1", "",
         "page 1 of the raster ends after 13 of its 40 rows", 0, true},
        {"the second page cut short", two.substr(0, two.size() - 64 * 7), "1", "",
         "page 2 of the raster ends after 33 of its 40 rows", 1, true},
        {"the second page cut short, compressed", twoCompressed.substr(0, twoCompressed.size() - 30), "1", "",
         "page 2 of the raster ends after", 1, true},
        {"two-sided: the page after a pair cut short",
         makeRaster({textPage(64, 40, 1), textPage(64, 40, 2), textPage(64, 40, 3)})
             .substr(0, 4 + 2 * kPlainPage + kHeader),
         "1", "Duplex=DuplexTumble", "page 3 of the raster ends after 0 of its 40 rows", 2, true},
        {"the sync word and garbage", sync + std::string(5000, '\x01'), "1", "",
         "no page in the job's raster: data that is no valid page header follows", 0, true},
        {"the sync word and a few bytes", sync + "junk", "1", "",
         "no page in the job's raster: a page header cut short after 4 bytes", 0, true},
        {"garbage after the last page", two + std::string(3000, 'Z'), "1", "",
         "the raster after page 2 is unreadable: data that is no valid page header follows", 2, true},
        {"garbage after the last page, compressed", twoCompressed + std::string(3000, 'Z'), "1", "",
         "the raster after page 2 is unreadable", 2, true},
        {"a page header cut short after the last page", two + two.substr(4, 100), "1", "",
         "the raster after page 2 is unreadable: a page header cut short after 100 bytes", 2, true},
        {"a page of width 0", withHeaderField(offsetof(cups_page_header2_t, cupsWidth), 0), "1", "",
         "page 1: empty raster page (0 x 40)", 0, true},
        {"a page of height 0", withHeaderField(offsetof(cups_page_header2_t, cupsHeight), 0), "1", "",
         "no page in the job's raster: a page of 64 x 0 pixels", 0, true},
        {"no page at all", makeRaster({}), "1", "", "no page in the job's raster", 0, true},
        {"copies as letters", two, "abc", "", COPIES_ERROR "abc\"", 0, false},
        {"copies negative", two, "-5", "", COPIES_ERROR "-5\"", 0, false},
        {"copies zero", two, "0", "", COPIES_ERROR "0\"", 0, false},
        {"copies with spaces and letters", two, " 7x", "Collate=False", COPIES_ERROR " 7x\"", 0, false},
        {"copies with text after", two, "3_Evil_1", "Collate=False", COPIES_ERROR "3_Evil_1\"", 0, false},
        {"copies beyond the scheduler's limit", two, "10000", "", COPIES_ERROR "10000\"", 0, false},
        {"copies that overflow", two, "99999999999", "", COPIES_ERROR "99999999999\"", 0, false},
        {"the backend loses the printer", makeRaster({textPage(64, 40, 1), noisePage(600, 400, 3)}), "1", "",
         "the connection to the printer was lost: the backend reports an I/O error", 1, true,
         [](FilterPeer& peer) {
             // Drains 0..5: the job's start and header, page 1 (header, one piece, end) and page
             // 2's header; the drain of page 2's first data piece fails.
             peer.setSidePolicy([](cups_sc_command_t c, int n) {
                 SideAnswer a;
                 if (c == CUPS_SC_CMD_DRAIN_OUTPUT && n >= 6)
                     a.status = CUPS_SC_STATUS_IO_ERROR;
                 return a;
             });
         }},
        printerGoneWhileRasterStalls("the printer goes away while the raster stalls, one thread", "1"),
        printerGoneWhileRasterStalls("the printer goes away while the raster stalls", nullptr),
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FilterPeer peer(TBX_FILTER_PROGRAM);
        peer.setArguments({"tbxqueue", "17", "alice", "broken", c.copies, c.options});
        peer.addEnvironment(std::string("PPD=") + TBX_FILTER_PPD);
        peer.addEnvironment("LANG=en_US.UTF-8");
        peer.setInput(c.input);
        if (c.setUp)
            c.setUp(peer);
        const FilterRun run = peer.run();
        EXPECT_EQ(run.exitStatus, 1) << run.err;
        EXPECT_NE(run.err.find(std::string("ERROR: [Tamberlyx] ") + c.error), std::string::npos) << run.err;
        EXPECT_FALSE(spoolFolderLeft(peer.folder()));
        EXPECT_TRUE(run.ippRequests.empty()) << "a failed job is left to the scheduler's error policy";
        if (c.printerLeaves) {
            // A job that waited for the stalled raster would run to the peer's time limit (60 s).
            EXPECT_LT(run.seconds, 30.0) << "a failed job ends at once, whatever input it still waits for";
            continue;
        }
        if (!c.streamStarted) {
            EXPECT_EQ(run.out, "");
            EXPECT_TRUE(run.sideRequests.empty());
            continue;
        }
        const DecodedJob job = decodeJobStream(run.out);
        EXPECT_TRUE(job.cancelled);
        EXPECT_FALSE(job.endOfJob);
        const std::string tail = "CancelJob?";
        ASSERT_GE(run.out.size(), tail.size());
        EXPECT_EQ(run.out.substr(run.out.size() - tail.size()), tail) << "the cancel command comes last";
        int whole = 0;
        for (const auto& page : job.pages)
            whole += page.endOfPage ? 1 : 0;
        EXPECT_EQ(whole, c.pagesSent);
        EXPECT_EQ(run.err.find("PAGE: " + std::to_string(c.pagesSent + 1) + " "), std::string::npos)
            << "no page after the failure counts as printed";
    }
}

TEST(FailedJob, AFullSpoolFolderStopsTheJobWithTheCancelCommand) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer's runtime keeps a file of its own in the filter's temporary folder";
#endif
    FilterPeer peer(TBX_FILTER_PROGRAM);
    peer.setArguments({"tbxqueue", "17", "alice", "big", "1", ""});
    peer.addEnvironment("LANG=en_US.UTF-8");
    // One encoder: with several, the pages encoded ahead share the small folder and which page
    // finds it full first depends on their timing.
    peer.addEnvironment("TAMBERLYX_ENCODER_THREADS=1");
    std::vector<GrayPage> pages;
    for (int n = 0; n < 8; ++n)
        pages.push_back(noisePage(400, 300, 40 + n)); // about 15 kB of JBIG each
    peer.setInput(makeRaster(pages));
    peer.limitSpool(64 * 1024);
    const FilterRun run = peer.run();
    if (run.exitStatus == FilterPeer::kCannotLimitSpool)
        GTEST_SKIP() << "no right to mount a small temporary folder here";
    EXPECT_EQ(run.exitStatus, 1) << run.err;
    EXPECT_NE(run.err.find("ERROR: [Tamberlyx] no space left in the temporary folder"), std::string::npos)
        << run.err;
    const DecodedJob job = decodeJobStream(run.out);
    ASSERT_TRUE(job.ok()) << job.error;
    EXPECT_TRUE(job.cancelled);
    EXPECT_FALSE(job.endOfJob);
    ASSERT_GE(job.pages.size(), 1u) << "the folder holds a few pages";
    EXPECT_LT(job.pages.size(), pages.size());
    for (const auto& page : job.pages) {
        EXPECT_TRUE(page.endOfPage);
        EXPECT_TRUE(decodeJbig(page.data)) << "no page goes out without its data";
    }
}

TEST(FailedJob, APrinterThatClosesTheConnectionEndsTheJob) {
    FilterPeer peer(TBX_FILTER_PROGRAM);
    peer.setArguments({"tbxqueue", "17", "alice", "big", "1", ""});
    peer.addEnvironment("LANG=en_US.UTF-8");
    std::vector<GrayPage> pages;
    for (int n = 0; n < 4; ++n)
        pages.push_back(noisePage(400, 300, 60 + n));
    peer.setInput(makeRaster(pages));
    peer.closeOutputAfter(30000);
    const FilterRun run = peer.run();
    EXPECT_EQ(run.exitStatus, 1) << run.err;
    EXPECT_NE(run.err.find("ERROR: [Tamberlyx] the connection to the printer was lost: Broken pipe"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.find("INFO: Finish sending all job data"), std::string::npos);
    EXPECT_FALSE(spoolFolderLeft(peer.folder()));
}

} // namespace
} // namespace tbx::test
