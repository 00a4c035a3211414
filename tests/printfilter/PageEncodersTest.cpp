#include "printfilter/PageEncoders.h"

#include "PageTestSupport.h"
#include "printfilter/PageLoop.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

namespace tbx {
namespace {

using test::makeRaster;
using test::MemoryRaster;
using test::noisePage;
using test::readFile;
using test::TempDir;

// Everything the loop asks of the job stream, in order, with every page file's bytes. Each call
// is also written to standard error, where the filter's own progress lines would go, so the log
// shows how the loop's lines and the job stream interleave.
struct TranscriptSink : PageSink {
    std::string transcript;
    int sent = 0;
    int cancelAfter = -1; // a cancel request arrives once this many pages were sent
    int failPage = -1;    // this page's data cannot be read
    int pending = 0;

    void note(const std::string& event) {
        transcript += event + "\n";
        std::fprintf(stderr, "sink: %s\n", event.c_str());
    }
    bool cancelRequested() override { return cancelAfter >= 0 && sent >= cancelAfter; }
    void cancelJob() override { note("cancel"); }
    void pageConverted(int n) override { note("converted " + std::to_string(n)); }
    void pageSending(int n) override {
        pending = n;
        note("sending " + std::to_string(n));
    }
    void sendPageHeader(int w, int h) override {
        note("header " + std::to_string(w) + "x" + std::to_string(h));
    }
    bool sendPageData(const std::string& path) override {
        ++sent;
        if (pending == failPage)
            return false;
        note("data of " + std::to_string(pending));
        transcript += readFile(path) + "\n";
        return true;
    }
    void endOfPage() override { note("end"); }
};

struct LoopRun {
    std::string transcript, log;
    PageLoopResult result;
    bool spoolEmpty = false;
};

LoopRun runLoop(const std::string& raster, PageLoopOptions options, int threads, int cancelAfter,
                int failPage) {
    TempDir tmp;
    auto spool = SpoolDirectory::create(nullptr, tmp.path());
    TranscriptSink sink;
    sink.cancelAfter = cancelAfter;
    sink.failPage = failPage;
    options.encoderThreads = threads;
    MemoryRaster ras(raster);
    testing::internal::CaptureStderr();
    LoopRun run;
    run.result = PageLoop(ras.get(), options, sink, *spool).run();
    run.log = testing::internal::GetCapturedStderr();
    run.transcript = sink.transcript;
    run.spoolEmpty = !std::filesystem::exists(spool->path()) || std::filesystem::is_empty(spool->path());
    if (sink.cancelAfter >= 0)
        run.spoolEmpty = std::filesystem::is_empty(tmp.path());
    return run;
}

// Pages encoded on worker threads give exactly the job of one thread: the same pages in the same
// order with the same bytes, the same progress calls, the same lines on standard error, also when
// the job is cancelled, a page fails to send, or a page is refused or cut short part way through.
TEST(PageEncoders, ThreadedLoopMatchesTheOneThreadLoopExactly) {
    std::vector<GrayPage> pages;
    for (int n = 0; n < 7; ++n)
        pages.push_back(noisePage(150 + 9 * n, 120 + n, 40 + n));
    const std::string raster = makeRaster(pages);
    std::string refused = makeRaster({pages[0], pages[1], pages[2]});
    refused += makeRaster({pages[3]}, {CUPS_CSPACE_RGB, 8, 24, 0}).substr(4);
    std::string cut = makeRaster({pages[0], pages[1], pages[2], pages[3]});
    cut.resize(cut.size() - 40 * static_cast<std::size_t>(pages[3].width)); // page 4 misses 40 rows
    const auto opts = [](int duplex, int copies, double ratio) {
        PageLoopOptions o;
        o.isDuplex = duplex;
        o.copies = copies;
        o.scaleRatio = ratio;
        o.imageDarkness = 3;
        return o;
    };
    const struct {
        const char* what;
        const std::string& raster;
        PageLoopOptions options;
        int cancelAfter, failPage;
    } cases[] = {
        {"one-sided", raster, opts(0, 1, 1.0), -1, -1},
        {"long edge, 2 copies", raster, opts(2, 2, 1.0), -1, -1},
        {"short edge, scaled", raster, opts(1, 1, 0.8), -1, -1},
        {"long edge, enlarged", raster, opts(2, 1, 1.2), -1, -1},
        {"cancelled after 2 pages", raster, opts(0, 2, 1.0), 2, -1},
        {"cancelled after 3 two-sided pages", raster, opts(2, 1, 1.0), 3, -1},
        {"page 3 fails to send", raster, opts(0, 2, 1.0), -1, 3},
        {"page 4 is refused", refused, opts(2, 1, 1.0), -1, -1},
        {"page 4 ends early", cut, opts(0, 1, 0.9), -1, -1},
    };
    for (const auto& c : cases) {
        const LoopRun one = runLoop(c.raster, c.options, 1, c.cancelAfter, c.failPage);
        ASSERT_NE(one.transcript.find("data of 1"), std::string::npos) << c.what;
        for (int threads : {2, 4}) {
            const LoopRun many = runLoop(c.raster, c.options, threads, c.cancelAfter, c.failPage);
            EXPECT_TRUE(many.transcript == one.transcript) << c.what << ", " << threads << " threads";
            EXPECT_EQ(many.log, one.log) << c.what << ", " << threads << " threads";
            EXPECT_EQ(many.result.pagesRead, one.result.pagesRead) << c.what;
            EXPECT_EQ(many.result.softFailure, one.result.softFailure) << c.what;
            EXPECT_EQ(many.result.cancelled, one.result.cancelled) << c.what;
            EXPECT_EQ(many.result.failed, one.result.failed) << c.what;
            if (c.cancelAfter >= 0) {
                EXPECT_TRUE(many.spoolEmpty) << c.what << ": spool files left after the cancel";
            }
        }
    }
}

TEST(PageEncoders, ThreadCountFollowsTheEnvironmentWithinItsBounds) {
    const int machine = encoderThreads();
    EXPECT_GE(machine, 1);
    EXPECT_LE(machine, maxEncoderThreads);
    const struct {
        const char* value;
        int threads;
    } cases[] = {{"1", 1},        {"3", 3},         {"4", 4},        {"0", machine}, {"5", machine},
                 {"-2", machine}, {"two", machine}, {"2x", machine}, {"", machine}};
    for (const auto& c : cases) {
        ::setenv("TAMBERLYX_ENCODER_THREADS", c.value, 1);
        EXPECT_EQ(encoderThreads(), c.threads) << "\"" << c.value << "\"";
    }
    ::unsetenv("TAMBERLYX_ENCODER_THREADS");
}

// drain() drops the jobs not begun, releasing what they hold, and waits for the running ones.
TEST(PageEncoders, DrainDropsWaitingJobsAndWaitsForRunningOnes) {
    PageEncoders encoders(2);
    std::atomic<bool> gate{false};
    std::atomic<int> started{0}, finished{0};
    auto held = std::make_shared<int>(0);
    std::vector<std::future<int>> results;
    for (int i = 0; i < 6; ++i)
        results.push_back(encoders.submit(PageEncoders::Job([&, held] {
            ++started;
            while (!gate)
                std::this_thread::yield();
            ++finished;
            return true;
        })));
    while (started < 2)
        std::this_thread::yield();
    std::thread opener([&] {
        while (held.use_count() > 3) // the test's and the two running jobs' copies remain
            std::this_thread::yield();
        gate = true;
    });
    encoders.drain();
    opener.join();
    EXPECT_EQ(finished.load(), 2);  // drain returned only after the running jobs ended
    EXPECT_EQ(started.load(), 2);   // and no waiting job began
    EXPECT_EQ(held.use_count(), 1); // the dropped jobs released what they held
    EXPECT_TRUE(results[0].get() && results[1].get());
    for (int i = 2; i < 6; ++i)
        EXPECT_THROW(results[i].get(), std::future_error);
    // The encoders still work after a drain.
    EXPECT_TRUE(encoders.submit(PageEncoders::Job([] { return true; })).get());
}

} // namespace
} // namespace tbx
