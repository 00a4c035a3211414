#include "printfilter/PageConverter.h"

#include "PageTestSupport.h"
#include "printfilter/Halftone.h"
#include "printfilter/PageScaler.h"

#include <gtest/gtest.h>

namespace tbx {
namespace {

using test::makePage;
using test::makeRaster;
using test::MemoryRaster;
using test::noisePage;

// Text: black strokes with grey edges on white; photo: grey noise over a smooth ramp.
GrayPage textPage(int w, int h) {
    return makePage(w, h, [](int x, int y) {
        const bool stroke = (y % 11 < 6) && (x % 7 < 4) && ((x / 7 + y / 11) % 3 != 0);
        const bool edge = (y % 11 == 0 || y % 11 == 5 || x % 7 == 0);
        return stroke ? (edge ? 96 : 0) : 255;
    });
}

GrayPage photoPage(int w, int h, unsigned seed) {
    GrayPage p = noisePage(w, h, seed);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            p.row(y)[x] = static_cast<std::uint8_t>((p.row(y)[x] / 4 + (x * 160) / w + (y * 40) / h) & 0xFF);
    return p;
}

// The page as the old path held it: rows the raster supplied, turned when asked, the rest white.
GrayPage heldPage(const GrayPage& src, bool turn, int rowsSupplied) {
    GrayPage g(src.width, src.height);
    for (int y = 0; y < rowsSupplied; ++y)
        for (int x = 0; x < src.width; ++x) {
            const int gx = turn ? src.width - 1 - x : x;
            const int gy = turn ? src.height - 1 - y : y;
            g.row(gy)[gx] = src.row(y)[x];
        }
    return g;
}

struct Reference {
    PackedPage page;
    std::string log;
};

// The page path before rows were streamed: the whole grey page, scaled, halftoned.
Reference stagedPath(GrayPage held, double ratio, int darkness) {
    testing::internal::CaptureStderr();
    PackedPage page = halftone(zoomGrayPage(std::move(held), ratio), darkness);
    return {std::move(page), testing::internal::GetCapturedStderr()};
}

void expectSameBits(const PackedPage& got, const PackedPage& want, const std::string& what) {
    ASSERT_EQ(got.width, want.width) << what;
    ASSERT_EQ(got.height, want.height) << what;
    for (int y = 0; y < want.height; ++y)
        for (int b = 0; b < want.bytesPerRow; ++b)
            ASSERT_EQ(got.row(y)[b], want.row(y)[b]) << what << ": row " << y << " byte " << b;
}

// Every page kind, size, orientation, ratio the options offer (and odd ones) and darkness level:
// the streamed conversion gives the old path's bits and trace lines, and leaves the raster at the
// next page, which converts as well.
TEST(PageConverter, SameBitsAndLinesAsTheWholePagePath) {
    const struct {
        const char* kind;
        GrayPage page, next;
    } pages[] = {
        {"text 203x157", textPage(203, 157), photoPage(203, 157, 9)},
        {"photo 64x300", photoPage(64, 300, 1), textPage(64, 300)},
        {"photo 13x7", photoPage(13, 7, 2), photoPage(13, 7, 3)},
        {"text 1x1", textPage(1, 1), photoPage(1, 1, 4)},
    };
    const double ratios[] = {1.0, 0.25, 0.5, 0.8, 0.9, 1.1, 1.2, 1.5, 0.3333, 3.0, 0.001};
    for (const auto& p : pages)
        for (bool turn : {false, true})
            for (double ratio : ratios)
                for (int darkness : {0, 1, 3, 5}) {
                    const std::string what = std::string(p.kind) + (turn ? " turned" : "") + " ratio " +
                                             std::to_string(ratio) + " darkness " + std::to_string(darkness);
                    MemoryRaster ras(makeRaster({p.page, p.next}));
                    const PageConversion how{turn, ratio, darkness};
                    for (const GrayPage* src : {&p.page, &p.next}) {
                        cups_page_header2_t h;
                        ASSERT_TRUE(cupsRasterReadHeader2(ras.get(), &h)) << what;
                        std::string log;
                        const ConvertedPage got = convertRasterPage(ras.get(), h, how, log);
                        const Reference want = stagedPath(heldPage(*src, turn, src->height), ratio, darkness);
                        EXPECT_EQ(got.failure, ConversionFailure::None);
                        EXPECT_EQ(got.rowsRead, src->height) << what;
                        EXPECT_EQ(log, want.log) << what;
                        expectSameBits(got.page, want.page, what);
                    }
                    cups_page_header2_t h;
                    EXPECT_FALSE(cupsRasterReadHeader2(ras.get(), &h)) << what;
                }
}

// A raster that ends inside the page, also inside a row, and black-is-255 raster.
TEST(PageConverter, ShortPagesAndBlackRasterMatchTheWholePagePath) {
    const GrayPage src = photoPage(45, 140, 5);
    const GrayPage black = makePage(45, 140, [&](int x, int y) { return 255 - src.row(y)[x]; });
    const struct {
        const char* what;
        const GrayPage& stored;
        test::RasterSpec spec;
        std::size_t cut; // bytes taken off the end of the raster
        int rowsSupplied;
    } cases[] = {
        {"whole K page", black, {CUPS_CSPACE_K}, 0, 140},
        {"ends after 100 rows", src, {}, 40 * 45, 100},
        {"ends inside row 30", src, {}, 109 * 45 + 20, 30},
        {"only the header", src, {}, 140 * 45, 0},
    };
    for (const auto& c : cases)
        for (bool turn : {false, true})
            for (double ratio : {1.0, 0.5, 0.9, 1.5}) {
                const std::string what =
                    std::string(c.what) + (turn ? " turned" : "") + " ratio " + std::to_string(ratio);
                std::string bytes = makeRaster({c.stored}, c.spec);
                bytes.resize(bytes.size() - c.cut);
                MemoryRaster ras(bytes);
                cups_page_header2_t h;
                ASSERT_TRUE(cupsRasterReadHeader2(ras.get(), &h)) << what;
                std::string log;
                const ConvertedPage got = convertRasterPage(ras.get(), h, {turn, ratio, 3}, log);
                const Reference want = stagedPath(heldPage(src, turn, c.rowsSupplied), ratio, 3);
                EXPECT_EQ(got.rowsRead, c.rowsSupplied) << what;
                EXPECT_EQ(log, want.log) << what;
                expectSameBits(got.page, want.page, what);
            }
}

// Scaled pages leave rows from the scaled height down unprinted only because no threshold reaches
// 255: a white pixel never prints at any darkness level.
TEST(PageConverter, NoThresholdPrintsWhite) {
    for (int darkness = 0; darkness <= 5; ++darkness)
        for (const auto& row : halftoneThresholds(darkness))
            for (std::uint8_t t : row)
                ASSERT_LT(t, 255) << "darkness " << darkness;
}

} // namespace
} // namespace tbx
