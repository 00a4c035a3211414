#include "printfilter/PageLoop.h"

#include "PageTestSupport.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace tbx {
namespace {

using test::decodeJbig;
using test::makePage;
using test::makeRaster;
using test::MemoryRaster;
using test::readFile;
using test::TempDir;

// Records what the loop sends; decodes every page's JBIG data as it is sent.
struct RecordingSink : PageSink {
    struct Sent {
        int page;
        int headerWidth, headerHeight;
        std::optional<PackedPage> image;
    };
    std::vector<Sent> sent;
    std::vector<int> converted;
    int cancelAfter = -1; // a cancel request arrives once this many pages were sent
    int cancels = 0;
    int failPage = -1; // this page's data cannot be read
    int pending = 0;
    int lastHeaderW = 0, lastHeaderH = 0;
    bool headerOpen = false;

    bool cancelRequested() override {
        return cancelAfter >= 0 && static_cast<int>(sent.size()) >= cancelAfter;
    }
    void cancelJob() override { ++cancels; }
    void pageConverted(int n) override { converted.push_back(n); }
    void pageSending(int n) override { pending = n; }
    void sendPageHeader(int w, int h) override {
        lastHeaderW = w;
        lastHeaderH = h;
        headerOpen = true;
    }
    bool sendPageData(const std::string& path) override {
        EXPECT_TRUE(headerOpen);
        if (pending == failPage) {
            sent.push_back({pending, lastHeaderW, lastHeaderH, std::nullopt});
            return false;
        }
        sent.push_back({pending, lastHeaderW, lastHeaderH, decodeJbig(readFile(path))});
        return true;
    }
    void endOfPage() override { headerOpen = false; }

    std::vector<int> order() const {
        std::vector<int> o;
        for (const auto& s : sent)
            o.push_back(s.page);
        return o;
    }
};

// Page n of a test job: n × 10 pixels wide, with a black mark in its top-left corner so that its
// orientation is visible in the printed bits.
GrayPage numberedPage(int n) {
    return makePage(10 * n + 3, 20 + n, [](int x, int y) { return (x < 4 && y < 3) ? 0 : 255; });
}

struct Job {
    TempDir tmp;
    std::optional<SpoolDirectory> spool = SpoolDirectory::create(nullptr, tmp.path());
    RecordingSink sink;
    PageLoopResult result;

    void run(int pages, PageLoopOptions options) {
        std::vector<GrayPage> raster;
        for (int n = 1; n <= pages; ++n)
            raster.push_back(numberedPage(n));
        run(makeRaster(raster), options);
    }
    void run(const std::string& rasterBytes, PageLoopOptions options) {
        MemoryRaster ras(rasterBytes);
        result = PageLoop(ras.get(), options, sink, *spool).run();
    }
};

PageLoopOptions opts(int duplex, bool collate, int copies) {
    PageLoopOptions o;
    o.isDuplex = duplex;
    o.collate = collate;
    o.copies = copies;
    return o;
}

TEST(PageLoop, PageOrderForOneAndTwoSidedJobsAndCollatedCopies) {
    const struct {
        int pages, duplex;
        bool collate;
        int copies;
        std::vector<int> order;
    } cases[] = {
        {3, 0, true, 1, {1, 2, 3}},
        {3, 0, true, 0, {1, 2, 3}},
        {4, 1, true, 1, {2, 1, 4, 3}},
        {1, 2, true, 1, {2, 1}},
        {3, 1, true, 1, {2, 1, 4, 3}},
        {3, 2, true, 2, {2, 1, 4, 3, 2, 1, 4, 3}},
        {2, 0, true, 3, {1, 2, 1, 2, 1, 2}},
        {3, 0, false, 3, {1, 2, 3}},
        {0, 0, true, 2, {}},
        {0, 2, true, 2, {}},
    };
    for (const auto& c : cases) {
        Job job;
        job.run(c.pages, opts(c.duplex, c.collate, c.copies));
        EXPECT_EQ(job.sink.order(), c.order)
            << c.pages << " pages, duplex " << c.duplex << ", copies " << c.copies;
        EXPECT_EQ(job.result.pagesRead, c.pages);
        EXPECT_FALSE(job.result.softFailure);
        // Every page decodes to its own size and carries that size in its page header.
        for (const auto& s : job.sink.sent) {
            const int source = s.page > c.pages ? c.pages : s.page; // the blank page takes page N's size
            ASSERT_TRUE(s.image) << "page " << s.page;
            EXPECT_EQ(s.image->width, 10 * source + 3);
            EXPECT_EQ(s.image->height, 20 + source);
            EXPECT_EQ(s.headerWidth, s.image->width);
            EXPECT_EQ(s.headerHeight, s.image->height);
        }
    }
}

TEST(PageLoop, OnlyLongEdgeBackSidesAreTurned) {
    for (int duplex : {0, 1, 2}) {
        Job job;
        job.run(3, opts(duplex, true, 1));
        for (const auto& s : job.sink.sent) {
            const PackedPage& img = *s.image;
            if (s.page == 4) { // the blank back side
                EXPECT_TRUE(std::all_of(img.bits.begin(), img.bits.end(), [](auto b) { return b == 0; }));
                continue;
            }
            const bool turned = duplex == 2 && s.page % 2 == 0;
            const int x = turned ? img.width - 1 : 0;
            const int y = turned ? img.height - 1 : 0;
            EXPECT_TRUE(img.pixel(x, y)) << "duplex " << duplex << " page " << s.page;
            EXPECT_FALSE(img.pixel(img.width - 1 - x, img.height - 1 - y));
        }
    }
}

TEST(PageLoop, PagesAreConvertedScaledAndHalftoned) {
    Job job;
    PageLoopOptions o = opts(0, true, 1);
    o.scaleRatio = 0.5;
    job.run(makeRaster({makePage(40, 40, [](int, int) { return 0; })}), o);
    ASSERT_EQ(job.sink.sent.size(), 1u);
    const PackedPage& img = *job.sink.sent[0].image;
    EXPECT_TRUE(img.pixel(19, 19)); // the reduced image
    EXPECT_FALSE(img.pixel(20, 0)); // white margin at the right
    EXPECT_FALSE(img.pixel(0, 20)); // and at the bottom
    EXPECT_EQ(job.sink.converted, std::vector<int>{1});
}

TEST(PageLoop, CancelIsCarriedOutBeforeTheNextPageAndLeavesNoSpoolFiles) {
    Job job;
    job.sink.cancelAfter = 2;
    job.run(5, opts(0, true, 2));
    EXPECT_EQ(job.sink.order(), (std::vector<int>{1, 2}));
    EXPECT_EQ(job.sink.cancels, 1);
    EXPECT_TRUE(job.result.cancelled);
    // Page 3 was already converted when the cancel was found; nothing after it.
    EXPECT_EQ(job.sink.converted, (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(std::filesystem::is_empty(job.tmp.path()));
}

TEST(PageLoop, UnreadablePageEndsTheJobEarlyButInOrder) {
    Job job;
    job.sink.failPage = 2;
    job.run(4, opts(0, true, 2));
    EXPECT_TRUE(job.result.softFailure);
    EXPECT_EQ(job.result.pagesRead, 2);
    // No raster page is read after the failure; the copy pass still runs for what was read.
    EXPECT_EQ(job.sink.order(), (std::vector<int>{1, 2, 1, 2}));
}

TEST(PageLoop, RasterThatIsNotEightBitGreyIsRefusedAndNothingIsSent) {
    test::RasterSpec rgb{CUPS_CSPACE_RGB, 8, 24, 0};
    Job job;
    testing::internal::CaptureStderr();
    job.run(makeRaster({makePage(16, 4, [](int, int) { return 0; })}, rgb), opts(0, true, 1));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(job.sink.sent.empty());
    EXPECT_TRUE(job.result.failed);
    EXPECT_NE(err.find("ERROR:"), std::string::npos) << err;

    // A bad page after good ones: the good pages are printed, the bad one is not read as grey.
    Job mixed;
    std::string bytes = makeRaster({numberedPage(1)});
    const std::string bad =
        makeRaster({makePage(16, 4, [](int, int) { return 0; })}, {CUPS_CSPACE_W, 1, 1, 0});
    bytes += bad.substr(4); // second page of the same stream, without its sync word
    mixed.run(bytes, opts(0, true, 1));
    EXPECT_EQ(mixed.sink.order(), std::vector<int>{1});
    EXPECT_TRUE(mixed.result.failed);
}

TEST(PageLoop, ShortPageIsAFailureAndIsNotSent) {
    // Missing rows are lost content: the page is not sent as white paper, nor any page after it.
    for (int duplex : {0, 2}) {
        Job job;
        std::string bytes =
            makeRaster({numberedPage(1), numberedPage(2), makePage(16, 10, [](int, int) { return 0; })});
        bytes.resize(bytes.size() - 5 * 16);
        testing::internal::CaptureStderr();
        job.run(bytes, opts(duplex, true, 2));
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(job.result.failed);
        const std::vector<int> sent = duplex ? std::vector<int>{2, 1} : std::vector<int>{1, 2};
        EXPECT_EQ(job.sink.order(), sent) << "no copy pass";
        EXPECT_NE(err.find("ERROR: [Tamberlyx] page 3 of the raster ends after 5 of its 10 rows"),
                  std::string::npos)
            << err;
    }
}

} // namespace
} // namespace tbx
