#include "printfilter/JbigPageEncoder.h"

#include "PageTestSupport.h"
#include "printfilter/Halftone.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/wait.h>

namespace tbx {
namespace {

using test::decodeJbig;
using test::noisePage;
using test::readFile;
using test::TempDir;

std::uint32_t be32(const std::string& s, int at) {
    return (std::uint32_t(std::uint8_t(s[at])) << 24) | (std::uint32_t(std::uint8_t(s[at + 1])) << 16) |
           (std::uint32_t(std::uint8_t(s[at + 2])) << 8) | std::uint8_t(s[at + 3]);
}

TEST(JbigPageEncoder, StripeLinesFollowThePageHeight) {
    EXPECT_EQ(jbigStripeLines(7016), 128u); // 200 lowered
    EXPECT_EQ(jbigStripeLines(3508), 100u);
    EXPECT_EQ(jbigStripeLines(50), 2u); // 1 raised
    EXPECT_EQ(jbigStripeLines(1), 2u);
}

TEST(JbigPageEncoder, HeaderCarriesTheEncoderParametersAndTheImageDecodes) {
    TempDir dir;
    const PackedPage page = halftone(noisePage(4961 / 7, 3508, 9), 3); // 708 wide: not a multiple of 8
    const std::string path = dir.path() + "/page.jbig";
    ASSERT_TRUE(bmp_to_jbg(path, page));
    const std::string bytes = readFile(path);
    ASSERT_GE(bytes.size(), 20u);
    EXPECT_EQ(bytes[0], 0); // DL
    EXPECT_EQ(bytes[1], 0); // D
    EXPECT_EQ(bytes[2], 1); // P
    EXPECT_EQ(bytes[3], 0);
    EXPECT_EQ(be32(bytes, 4), 708u);
    EXPECT_EQ(be32(bytes, 8), 3508u);
    EXPECT_EQ(be32(bytes, 12), 100u);
    EXPECT_EQ(bytes[16], 8); // MX
    EXPECT_EQ(bytes[17], 0); // MY
    EXPECT_EQ(bytes[18], 0x03);
    EXPECT_EQ(bytes[19], 0x1C);
    const auto decoded = decodeJbig(bytes);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->width, 708);
    EXPECT_EQ(decoded->height, 3508);
    EXPECT_EQ(decoded->bits, page.bits);
}

TEST(JbigPageEncoder, BlankPageEncodesWhite) {
    TempDir dir;
    const PackedPage blank(4961, 50);
    ASSERT_TRUE(bmp_to_jbg(dir.path() + "/blank", blank));
    const auto decoded = decodeJbig(readFile(dir.path() + "/blank"));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->width, 4961);
    EXPECT_EQ(decoded->height, 50);
    EXPECT_EQ(decoded->bits, blank.bits);
}

TEST(JbigPageEncoder, WriteFailuresAreReported) {
    EXPECT_FALSE(bmp_to_jbg("/nonexistent-folder/page", PackedPage(8, 8)));
    std::FILE* full = std::fopen("/dev/full", "wb");
    ASSERT_TRUE(full);
    EXPECT_FALSE(encodeJbigPage(halftone(noisePage(800, 800, 1), 0), full)); // output beyond one buffer
    EXPECT_FALSE(encodeJbigPage(PackedPage(0, 0), full));
    std::fclose(full);
}

// With the explicit parameters the output is the library's default output, which is what
// JBIG-KIT's own pbmtojbg writes for the same bitmap.
TEST(JbigPageEncoder, OutputIsByteIdenticalToPbmtojbg) {
    if (std::system("command -v pbmtojbg >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "pbmtojbg (jbigkit-bin) is not installed";
    TempDir dir;
    for (int w : {1000, 1237}) {
        const PackedPage page = halftone(noisePage(w, 777, static_cast<unsigned>(w)), 5);
        const std::string pbm = dir.path() + "/page.pbm";
        test::writeFile(pbm, "P4\n" + std::to_string(w) + " 777\n" +
                                 std::string(page.bits.begin(), page.bits.end()));
        const std::string ours = dir.path() + "/ours.jbig";
        const std::string theirs = dir.path() + "/theirs.jbig";
        ASSERT_TRUE(bmp_to_jbg(ours, page));
        ASSERT_EQ(std::system(("pbmtojbg -q " + pbm + " " + theirs).c_str()), 0);
        EXPECT_EQ(readFile(ours), readFile(theirs)) << "width " << w;
    }
}

} // namespace
} // namespace tbx
