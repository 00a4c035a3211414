#include "printfilter/Halftone.h"

#include "PageTestSupport.h"

#include <gtest/gtest.h>

namespace tbx {
namespace {

using test::makePage;
using test::noisePage;

int blackCount(const PackedPage& p) {
    int n = 0;
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x)
            n += p.pixel(x, y);
    return n;
}

// The look-up rule: threshold by row (y mod 4 or y mod 128) and bit position (x mod 8); black when
// the grey value is at most the threshold.
bool referenceBlack(int level, int g, int x, int y) {
    const float gamma = darknessGamma(level);
    int t;
    if (gamma == 0.0f) {
        t = halftoneMatrix4x4[y % 4][(x % 8) % 4];
    } else {
        t = FINE_TAry_128[(y % 128) * ClusterWidth + (x % 8)];
        if (gamma != 1.0f) {
            static std::array<std::uint8_t, 256> luts[6];
            static bool made[6] = {};
            if (!made[level])
                luts[level] = gammaToneCurve(gamma), made[level] = true;
            const auto& lut = luts[level];
            auto clamp = [](int v) { return v < 1 ? 1 : (v > 254 ? 254 : v); };
            t = clamp(lut[clamp(t)]);
        }
    }
    return g <= t;
}

TEST(Halftone, FourByFourMatrixAtMidGrey) {
    const PackedPage p = halftone(GrayPage(16, 8), 0) /* white */;
    EXPECT_EQ(blackCount(p), 0);
    GrayPage grey = makePage(16, 8, [](int, int) { return 128; });
    const PackedPage h = halftone(grey, 0);
    // Black where the matrix entry is at least 128: 8 of every 16 pixels, at the matrix positions.
    EXPECT_EQ(blackCount(h), 64);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 16; ++x)
            ASSERT_EQ(h.pixel(x, y), halftoneMatrix4x4[y % 4][x % 4] >= 128) << x << "," << y;
}

TEST(Halftone, FineScreenLookUpUsesTheBitPosition) {
    // Level 5: the screen as stored; entry (1, 5) is 254.
    GrayPage page = makePage(16, 130, [](int, int) { return 254; });
    const PackedPage h = halftone(page, 5);
    EXPECT_TRUE(h.pixel(5, 1));
    EXPECT_TRUE(h.pixel(13, 1));  // column 13 uses the thresholds of column 5
    EXPECT_TRUE(h.pixel(5, 129)); // row 129 uses row 1
    EXPECT_FALSE(h.pixel(4, 1));
    // Level 1 (gamma 4): stored 67 becomes 1, so at (0, 0) only values 0 and 1 print.
    EXPECT_EQ(halftoneThresholds(1)[0][0], 1);
    EXPECT_TRUE(halftone(makePage(8, 1, [](int, int) { return 1; }), 1).pixel(0, 0));
    EXPECT_FALSE(halftone(makePage(8, 1, [](int, int) { return 2; }), 1).pixel(0, 0));
}

TEST(Halftone, ToneCurvePoints) {
    const struct {
        float gamma;
        int at64, at128, at192;
    } points[] = {{4.0f, 1, 16, 82}, {2.0f, 16, 64, 145}, {1.65f, 26, 82, 160}, {1.35f, 39, 101, 174}};
    for (const auto& p : points) {
        const auto lut = gammaToneCurve(p.gamma);
        EXPECT_EQ(lut[0], 0);
        EXPECT_EQ(lut[255], 255);
        EXPECT_EQ(lut[64], p.at64) << p.gamma;
        EXPECT_EQ(lut[128], p.at128) << p.gamma;
        EXPECT_EQ(lut[192], p.at192) << p.gamma;
    }
}

TEST(Halftone, FineScreenValuesStayWithinTheirRange) {
    for (int y = 0; y < ClusterHeight; ++y)
        for (int x = 0; x < 8; ++x) {
            const int t = FINE_TAry_128[y * ClusterWidth + x];
            ASSERT_GE(t, 1);
            ASSERT_LE(t, 254);
            ASSERT_LE(std::abs(t - FINE_TAry_128[(y % 8) * ClusterWidth + x]), 3) << y << "," << x;
        }
    EXPECT_EQ(FINE_TAry_128[0], 67);
    EXPECT_EQ(FINE_TAry_128[7 * ClusterWidth + 7], 125);
}

// The 128 × 8 entries that are read spread evenly over 1..254: 64 in each band of 16 values (give
// or take 2 in the top two bands), so a flat grey at the start of a band prints exactly the share
// of black its band stands for, at darkness 5 as stored.
TEST(Halftone, FineScreenBandsHoldSixtyFourEntriesEach) {
    int bands[16] = {};
    for (int y = 0; y < ClusterHeight; ++y)
        for (int x = 0; x < 8; ++x)
            ++bands[FINE_TAry_128[y * ClusterWidth + x] / 16];
    for (int b = 0; b < 16; ++b)
        EXPECT_NEAR(bands[b], 64, b >= 14 ? 2 : 0) << "band " << b * 16 << ".." << b * 16 + 15;
    for (int b = 0; b <= 14; ++b) {
        const int g = b * 16;
        const int ink = blackCount(halftone(makePage(8, ClusterHeight, [g](int, int) { return g; }), 5));
        EXPECT_EQ(ink, (16 - b) * 64) << "grey " << g;
    }
}

// Every pixel of a random page of odd width, at every level, with the vector kernels and the plain
// loops, agrees with the look-up rule, and the pad bits after the last pixel are white.
TEST(Halftone, EveryPixelFollowsTheLookUpRule) {
    for (bool vector : {true, false})
        for (int w : {13, 37, 63, 1001}) {
            detail::setHalftoneVectorKernels(vector);
            const GrayPage src = noisePage(w, 140, static_cast<unsigned>(w));
            for (int level = 0; level <= 5; ++level) {
                const PackedPage h = halftone(src, level);
                ASSERT_EQ(h.bytesPerRow, (w + 7) / 8);
                for (int y = 0; y < 140; ++y) {
                    for (int x = 0; x < w; ++x)
                        ASSERT_EQ(h.pixel(x, y), referenceBlack(level, src.row(y)[x], x, y))
                            << "level " << level << " w " << w << " vector " << vector << " at " << x << ","
                            << y;
                    for (int x = w; x < h.bytesPerRow * 8; ++x)
                        ASSERT_FALSE(h.pixel(x, y)) << "pad bit " << x;
                }
            }
        }
    detail::setHalftoneVectorKernels(true);
}

TEST(Halftone, BlackAndWhiteStayBlackAndWhiteAndPadBitsAreWhite) {
    for (int level = 0; level <= 5; ++level) {
        EXPECT_EQ(blackCount(halftone(GrayPage(13, 9), level)), 0) << level;
        const PackedPage black = halftone(makePage(13, 9, [](int, int) { return 0; }), level);
        EXPECT_EQ(blackCount(black), 13 * 9) << level;
        for (int y = 0; y < 9; ++y)
            EXPECT_EQ(black.row(y)[1], 0xF8) << level; // pixels 8..12 black, 3 pad bits white
    }
}

// A grey ramp: coverage grows as the page gets darker at every level, and for every grey value it
// never falls from level 1 (lightest) to level 5 (darkest).
TEST(Halftone, CoverageFollowsGreynessAndDarkness) {
    const int w = 64, h = 128;
    int previousLevel[256] = {};
    for (int level = 0; level <= 5; ++level) {
        int previous = w * h + 1;
        for (int g = 0; g < 256; ++g) {
            const int ink = blackCount(halftone(makePage(w, h, [g](int, int) { return g; }), level));
            EXPECT_LE(ink, previous) << "level " << level << " grey " << g;
            previous = ink;
            if (level >= 2) {
                EXPECT_GE(ink, previousLevel[g]) << "level " << level << " grey " << g;
            }
            previousLevel[g] = ink;
        }
        EXPECT_EQ(previous, 0); // white prints nothing
    }
}

} // namespace
} // namespace tbx
