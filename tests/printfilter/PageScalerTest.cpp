#include "printfilter/PageScaler.h"

#include "PageTestSupport.h"

#include <gtest/gtest.h>

namespace tbx {
namespace {

using test::makePage;
using test::noisePage;

TEST(PageScaler, UnitRatioHandsThePageOnUnchanged) {
    const GrayPage src = noisePage(37, 21, 1);
    const GrayPage dst = zoomGrayPage(src, 1.0);
    ASSERT_EQ(dst.width, 37);
    ASSERT_EQ(dst.height, 21);
    EXPECT_EQ(dst.pixels, src.pixels);
}

TEST(PageScaler, HalfTakesEverySecondPixelAndLeavesWhiteMargins) {
    const GrayPage src = noisePage(100, 80, 2);
    const GrayPage dst = zoomGrayPage(src, 0.5);
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 100; ++x) {
            const int expected = (x < 50 && y < 40) ? src.row(2 * y)[2 * x] : 255;
            ASSERT_EQ(dst.row(y)[x], expected) << x << "," << y;
        }
}

TEST(PageScaler, QuarterNeverInterpolates) {
    const GrayPage src = noisePage(64, 48, 3);
    const GrayPage dst = zoomGrayPage(src, 0.25);
    for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 16; ++x)
            ASSERT_EQ(dst.row(y)[x], src.row(4 * y)[4 * x]);
}

TEST(PageScaler, TargetSizeIsTruncated) {
    // 4961 × 0.8 = 3968.8: columns 0..3967 are the image, column 3968 on is white.
    const GrayPage black = makePage(4961, 3, [](int, int) { return 0; });
    const GrayPage dst = zoomGrayPage(black, 0.8);
    EXPECT_EQ(dst.row(0)[3967], 0);
    EXPECT_EQ(dst.row(0)[3968], 255);
    EXPECT_EQ(dst.row(1)[0], 0); // 3 × 0.8 = 2.4 → rows 0 and 1
    EXPECT_EQ(dst.row(2)[0], 255);
}

TEST(PageScaler, InterpolationTruncatesTheWeightedSum) {
    // p00 = 0, p10 = 255 on an exact source row: sx − x0 = 0.25 gives 63.75 → 63.
    const GrayPage src = makePage(8, 8, [](int x, int) { return x % 2 ? 255 : 0; });
    const GrayPage dst = zoomGrayPage(src, 4.0); // sx = j / 4
    EXPECT_EQ(dst.row(0)[1], 63);
    EXPECT_EQ(dst.row(0)[2], 127);
}

TEST(PageScaler, EnlargementCoversThePageWithTheTopLeftOfTheSource) {
    const GrayPage src = makePage(30, 30, [](int x, int y) { return (x >= 20 || y >= 20) ? 0 : 200; });
    const GrayPage dst = zoomGrayPage(src, 1.5);
    // Source columns and rows from 20 on are reached only from output position 30 on: outside.
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 30; ++x)
            ASSERT_GE(dst.row(y)[x], (x >= 28 || y >= 28) ? 0 : 200) << x << "," << y;
    EXPECT_EQ(dst.row(0)[0], 200);
}

// The in-place row-wise scaling (vector kernels where the processor has them, and the plain loops)
// must give exactly the reference rule's byte for every pixel, for every ratio the job options
// offer and for odd ratios and sizes.
TEST(PageScaler, MatchesTheReferenceRuleBitForBit) {
    const GrayPage src = noisePage(203, 157, 4);
    for (bool vector : {true, false}) {
        detail::setScalerVectorKernels(vector);
        for (double ratio : {0.25, 0.5, 0.8, 0.9, 1.1, 1.2, 1.5, 0.3333, 1.37, 3.0, 0.001}) {
            const GrayPage dst = zoomGrayPage(src, ratio);
            const int mx = std::min(static_cast<int>(203 * ratio), 203);
            const int my = std::min(static_cast<int>(157 * ratio), 157);
            for (int y = 0; y < 157; ++y)
                for (int x = 0; x < 203; ++x) {
                    const int expected = (x < mx && y < my) ? zoomedPixelReference(src, ratio, x, y) : 255;
                    ASSERT_EQ(dst.row(y)[x], expected)
                        << "ratio " << ratio << " vector " << vector << " at " << x << "," << y;
                }
        }
    }
    detail::setScalerVectorKernels(true);
}

} // namespace
} // namespace tbx
