// What the files of one scan say about themselves: the density in their
// headers as independent readers (Qt's and ImageMagick's) see it, their
// permission bits under the umask.
#include "platform/foundation/Print.h"
#include "scanning/ImageProcessing.h"
#include "scanning/ReceiveFolder.h"

#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <sys/stat.h>

namespace tbx {
namespace {

namespace fs = std::filesystem;

std::string run(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buffer[4096];
        while (std::size_t n = fread(buffer, 1, sizeof buffer, p))
            out.append(buffer, n);
        pclose(p);
    }
    return out;
}

// A grey JPEG that states 96 dpi, so that a page file's density cannot simply
// come from the scanner's data.
std::vector<std::uint8_t> greyJPEG(int w, int h) {
    QImage image(w, h, QImage::Format_Grayscale8);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.scanLine(y)[x] = static_cast<uchar>((x * 7 + y * 3) % 256);
    image.setDotsPerMeterX(3780);
    image.setDotsPerMeterY(3780);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter(&buffer, "jpeg").write(image);
    return {bytes.begin(), bytes.end()};
}

std::vector<std::uint8_t> fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The density in dots per inch as Qt's JPEG reader reports it.
std::pair<long, long> qtDensity(const std::string& path) {
    QImageReader reader(QString::fromStdString(path));
    const QImage image = reader.read();
    return {std::lround(image.dotsPerMeterX() * 0.0254), std::lround(image.dotsPerMeterY() * 0.0254)};
}

class ScanFileAttributes : public testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/tbx-attrs-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir = templ;
        param.mode = "GRAY256";
        param.w = 120;
        param.h = 160;
        param.combineType = "NoCombine";
        param.filePath = dir + "/scan";
        param.fileType = "JPEG";
        param.resolution = "200,200";
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    std::string dir;
    ScanParam param;
    TraceCapture trace; // keeps the writers' lines out of the test output
};

} // namespace

TEST(ScanResolution, TheResolutionWordsAndWhatIsNotOne) {
    struct Case {
        std::string text;
        std::pair<int, int> dpi;
    };
    for (const Case& c :
         {Case{"200,200", {200, 200}}, Case{"1200,1200", {1200, 1200}}, Case{"300,600", {300, 600}},
          Case{"", {72, 72}}, Case{"300", {72, 72}}, Case{"300,", {72, 72}}, Case{"0,0", {72, 72}},
          Case{"-300,-300", {72, 72}}, Case{"300,300x", {72, 72}}, Case{"99999999999,1", {72, 72}}}) {
        ScanParam p;
        p.resolution = c.text;
        EXPECT_EQ(scanResolution(p), c.dpi) << c.text;
    }
}

TEST_F(ScanFileAttributes, JpegPagesAndSheetsStateTheScanResolution) {
    const bool haveIdentify = std::system("command -v identify >/dev/null 2>&1") == 0;
    for (const int dpi : {200, 300, 600, 1200}) {
        SCOPED_TRACE(dpi);
        param.resolution = std::to_string(dpi) + "," + std::to_string(dpi);
        param.combineType = "NoCombine";
        param.rotateAngle = 90;
        ASSERT_TRUE(saveImages(param, 1, greyJPEG(120, 160)).status); // turned page
        param.rotateAngle = 0;
        param.combineType = "CombinHorizontal";
        ASSERT_TRUE(saveImages(param, 2, greyJPEG(120, 160)).status); // scaled for combining
        ScanParam text = param;
        text.mode = "TEXT";
        text.fileType = "PDF";
        text.w = 64;
        text.h = 16;
        text.combineType = "NoCombine";
        ASSERT_TRUE(saveImages(text, 3, std::vector<std::uint8_t>(8 * 16, 0x0F)).status); // a PDF's page
        ASSERT_TRUE(combineImage(2, 0, param).status); // pages 1 and 2 become sheet 1

        for (const int file : {1, 3}) {
            const std::string name = pageFileName(param.filePath, file, ".jpg");
            EXPECT_EQ(qtDensity(name), (std::pair<long, long>{dpi, dpi})) << name;
            if (haveIdentify) {
                EXPECT_EQ(run("identify -format '%x %y %U' '" + name + "'"),
                          std::to_string(dpi) + " " + std::to_string(dpi) + " PixelsPerInch")
                    << name;
            }
        }
        fs::remove(pageFileName(param.filePath, 1, ".jpg"));
        fs::remove(pageFileName(param.filePath, 3, ".jpg"));
    }

    // The BMP header keeps its fixed fields: no resolution, whatever the scan's.
    param.mode = "TEXT";
    param.fileType = "BMP";
    param.w = 32;
    param.h = 2;
    param.resolution = "600,600";
    ASSERT_TRUE(saveImages(param, 4, std::vector<std::uint8_t>(8, 0xAA)).status);
    const auto bmp = fileBytes(pageFileName(param.filePath, 4, ".bmp"));
    ASSERT_EQ(bmp.size(), 62u + 8u);
    EXPECT_EQ(std::vector<std::uint8_t>(bmp.begin() + 38, bmp.begin() + 46), std::vector<std::uint8_t>(8, 0));
}

TEST_F(ScanFileAttributes, EveryFileOfAScanGetsTheModeTheUmaskLeaves) {
    for (const mode_t mask : {mode_t(022), mode_t(077), mode_t(002), mode_t(0)}) {
        SCOPED_TRACE(testing::Message() << std::oct << mask);
        const mode_t before = ::umask(mask);
        auto folder = makeNewFolder(dir, "20261208211000");
        ASSERT_TRUE(folder);
        param.filePath = *folder + "/scan";
        param.mode = "GRAY256";
        param.fileType = "JPEG";
        param.combineType = "CombinHorizontal";
        ASSERT_TRUE(saveImages(param, 1, greyJPEG(120, 160)).status);
        ASSERT_TRUE(saveImages(param, 2, greyJPEG(120, 160)).status);
        ASSERT_TRUE(saveImages(param, 3, greyJPEG(120, 160)).status);
        ASSERT_TRUE(combineImage(3, 0, param).status); // two sheets replace three pages
        ScanParam text = param;
        text.mode = "TEXT";
        text.fileType = "BMP";
        text.w = 32;
        text.h = 2;
        ASSERT_TRUE(saveImages(text, 9, std::vector<std::uint8_t>(8, 0)).status);
        ASSERT_TRUE(save2PDF(param, 2, *folder, "A4").status);
        ::umask(before);

        const auto expected = static_cast<fs::perms>(0666 & ~mask);
        int files = 0;
        for (const auto& entry : fs::directory_iterator(*folder)) {
            EXPECT_EQ(entry.status().permissions(), expected) << entry.path();
            ++files;
        }
        EXPECT_EQ(files, 4); // two sheets, the BMP page, the PDF; no temporary file left
        EXPECT_EQ(fs::status(*folder).permissions(), static_cast<fs::perms>(0777 & ~mask));
    }
}

} // namespace tbx
