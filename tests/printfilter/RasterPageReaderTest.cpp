#include "printfilter/RasterPageReader.h"

#include "PageTestSupport.h"

#include <gtest/gtest.h>

namespace tbx {
namespace {

using test::makeRaster;
using test::MemoryRaster;
using test::noisePage;

cups_page_header2_t greyHeader(unsigned w, unsigned h) {
    cups_page_header2_t hd{};
    hd.cupsWidth = w;
    hd.cupsHeight = h;
    hd.cupsBytesPerLine = w;
    hd.cupsBitsPerColor = hd.cupsBitsPerPixel = 8;
    hd.cupsColorSpace = CUPS_CSPACE_W;
    hd.cupsNumColors = 1;
    return hd;
}

TEST(RasterPageReader, TakesOnlyEightBitGreyOfSaneSize) {
    EXPECT_EQ(checkRasterHeader(greyHeader(4961, 7016)), "");
    auto h = greyHeader(100, 100);
    h.cupsColorSpace = CUPS_CSPACE_SW;
    EXPECT_EQ(checkRasterHeader(h), "");
    h.cupsColorSpace = CUPS_CSPACE_K;
    EXPECT_EQ(checkRasterHeader(h), "");

    h = greyHeader(100, 100);
    h.cupsColorSpace = CUPS_CSPACE_RGB;
    h.cupsBitsPerPixel = 24;
    h.cupsBytesPerLine = 300;
    EXPECT_NE(checkRasterHeader(h).find("8-bit grey"), std::string::npos);
    // The refusal names the field that is wrong, not the ones that are fine.
    h = greyHeader(100, 100);
    h.cupsColorSpace = CUPS_CSPACE_SW;
    h.cupsNumColors = 3;
    EXPECT_EQ(checkRasterHeader(h), "unsupported raster (cupsNumColors 3); the printer needs 8-bit grey");
    h = greyHeader(100, 100);
    h.cupsBitsPerColor = h.cupsBitsPerPixel = 1;
    EXPECT_NE(checkRasterHeader(h), "");
    h = greyHeader(100, 100);
    h.cupsBitsPerColor = h.cupsBitsPerPixel = 16;
    EXPECT_NE(checkRasterHeader(h), "");
    h = greyHeader(100, 100);
    h.cupsBytesPerLine = 104;
    EXPECT_NE(checkRasterHeader(h), "");
    EXPECT_NE(checkRasterHeader(greyHeader(0, 100)), "");
    EXPECT_NE(checkRasterHeader(greyHeader(100, 0)), "");
    // Sizes whose buffers overflow 32-bit arithmetic or would exhaust memory.
    EXPECT_NE(checkRasterHeader(greyHeader(0xFFFFFFFFu, 0xFFFFFFFFu)).find("too large"), std::string::npos);
    EXPECT_NE(checkRasterHeader(greyHeader(70000, 70000)), "");
    EXPECT_NE(checkRasterHeader(greyHeader(200000, 10)), "");
    EXPECT_EQ(checkRasterHeader(greyHeader(1000, 1000), RasterLimits{1000000, 1000}), "");
    EXPECT_NE(checkRasterHeader(greyHeader(1000, 1001), RasterLimits{1000000, 2000}), "");
}

TEST(RasterPageReader, ReadsPagesAndTurnsBackSides) {
    const GrayPage a = noisePage(23, 11, 1), b = noisePage(23, 11, 2);
    MemoryRaster ras(makeRaster({a, b}));
    cups_page_header2_t h;
    ASSERT_TRUE(cupsRasterReadHeader2(ras.get(), &h));
    RasterPage p = readRasterPage(ras.get(), h, false);
    EXPECT_EQ(p.rowsRead, 11);
    EXPECT_EQ(p.page.pixels, a.pixels);
    ASSERT_TRUE(cupsRasterReadHeader2(ras.get(), &h));
    p = readRasterPage(ras.get(), h, true);
    for (int y = 0; y < 11; ++y)
        for (int x = 0; x < 23; ++x)
            ASSERT_EQ(p.page.row(y)[x], b.row(10 - y)[22 - x]);
    EXPECT_FALSE(cupsRasterReadHeader2(ras.get(), &h));
}

TEST(RasterPageReader, RowsThatNeverArriveAreWhite) {
    const GrayPage black(40, 10);
    GrayPage page = test::makePage(40, 10, [](int, int) { return 0; });
    std::string bytes = makeRaster({page});
    bytes.resize(bytes.size() - 6 * 40 - 7); // 3 whole rows and a part of the fourth remain
    for (bool turn : {false, true}) {
        MemoryRaster ras(bytes);
        cups_page_header2_t h;
        ASSERT_TRUE(cupsRasterReadHeader2(ras.get(), &h));
        const RasterPage p = readRasterPage(ras.get(), h, turn);
        EXPECT_EQ(p.rowsRead, 3);
        for (int y = 0; y < 10; ++y) {
            const bool supplied = turn ? y >= 7 : y < 3;
            for (int x = 0; x < 40; ++x)
                ASSERT_EQ(p.page.row(y)[x], supplied ? 0 : 255) << "turn " << turn << " row " << y;
        }
    }
}

TEST(RasterPageReader, BlackIsFullRasterBecomesGrey) {
    const GrayPage k = test::makePage(8, 2, [](int x, int) { return x * 30; });
    MemoryRaster ras(makeRaster({k}, {CUPS_CSPACE_K}));
    cups_page_header2_t h;
    ASSERT_TRUE(cupsRasterReadHeader2(ras.get(), &h));
    const RasterPage p = readRasterPage(ras.get(), h, false);
    for (int x = 0; x < 8; ++x)
        EXPECT_EQ(p.page.row(1)[x], 255 - x * 30);
}

} // namespace
} // namespace tbx
