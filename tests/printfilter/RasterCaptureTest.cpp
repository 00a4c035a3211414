#include "printfilter/RasterCapture.h"

#include "PageTestSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace tbx {
namespace {

using test::decodeJbig;
using test::makePage;
using test::makeRaster;
using test::readFile;
using test::TempDir;

TEST(RasterCapture, CopiesTheInputUnchangedAndKeepsDiagnosticsOffStandardOutput) {
    TempDir dir;
    const std::string raster = makeRaster({test::noisePage(300, 200, 5)}); // larger than one read
    const std::string in = dir.path() + "/in";
    test::writeFile(in, raster);
    const int fd = ::open(in.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(saveRaster(fd, dir.path() + "/ras.prn"));
    ::close(fd);
    EXPECT_EQ(readFile(dir.path() + "/ras.prn"), raster);

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(saveRaster(0, dir.path() + "/missing/ras.prn"));
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "create raster temp file error\n");
}

TEST(RasterCapture, ConvertsEveryPageIntoGreyBilevelAndJbigFilesOfItsOwn) {
    TempDir dir;
    const GrayPage first = makePage(13, 5, [](int x, int) { return x < 6 ? 0 : 255; });
    const GrayPage last = makePage(21, 9, [](int, int y) { return y < 2 ? 0 : 255; });
    const std::string raster = dir.path() + "/ras.prn";
    test::writeFile(raster, makeRaster({first, last}));

    char* argv[] = {const_cast<char*>("convert"), const_cast<char*>(raster.c_str()),
                    const_cast<char*>(dir.path().c_str())};
    testing::internal::CaptureStdout();
    EXPECT_EQ(maint(3, argv), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(" read data file ok\n"), std::string::npos);
    EXPECT_NE(out.find("DEBUG: cupsWidth = 21\n"), std::string::npos);
    EXPECT_NE(out.find("image data size = 189\n"), std::string::npos);

    // Each page keeps its own grey and halftoned files.
    EXPECT_EQ(readFile(dir.path() + "/page-0001.pgm"),
              "P5\n13 5\n255\n" + std::string(first.pixels.begin(), first.pixels.end()));
    const std::string pgm = readFile(dir.path() + "/page-0002.pgm");
    EXPECT_EQ(pgm, "P5\n21 9\n255\n" + std::string(last.pixels.begin(), last.pixels.end()));
    const std::string pbm = readFile(dir.path() + "/page-0002.pbm");
    ASSERT_EQ(pbm.size(), std::string("P4\n21 9\n").size() + 3 * 9);
    EXPECT_EQ(pbm.substr(0, 8), "P4\n21 9\n");
    EXPECT_EQ(static_cast<unsigned char>(pbm[8]), 0xFF);
    EXPECT_EQ(static_cast<unsigned char>(pbm[10]), 0xF8); // pixels 16..20 black, pad bits white
    EXPECT_EQ(readFile(dir.path() + "/page-0001.pbm").substr(0, 8), "P4\n13 5\n");

    const auto j1 = decodeJbig(readFile(dir.path() + "/page-0001.jbig"));
    const auto j2 = decodeJbig(readFile(dir.path() + "/page-0002.jbig"));
    ASSERT_TRUE(j1 && j2);
    EXPECT_EQ(j1->width, 13);
    EXPECT_TRUE(j1->pixel(5, 4));
    EXPECT_FALSE(j1->pixel(6, 4));
    EXPECT_EQ(j2->height, 9);
}

TEST(RasterCapture, TheDefaultDarknessIsThePpdsDefault) {
    const std::string ppd = readFile(TBX_FILTER_PPD);
    EXPECT_NE(ppd.find("*DefaultGammaDarkness: darkness" + std::to_string(kDefaultDarkness) + "\n"),
              std::string::npos);
    EXPECT_EQ(CaptureConversion{}.imageDarkness, kDefaultDarkness);
}

} // namespace
} // namespace tbx
