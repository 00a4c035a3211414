// The page files: BMP bytes, JPEG pages turned and scaled, sheets of two pages,
// the PDF as poppler reads it, what is left on disk after each failure, and
// the density and mode every file of a scan gets.
#include "scanning/ImageProcessing.h"

#include "platform/foundation/Print.h"
#include "platform/posix/PosixIO.h"
#include "scanning/ReceiveFolder.h"

#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace tbx {
namespace {

// Four flat quadrants, so that lossy JPEG still tells them apart:
// top-left 0, top-right 80, bottom-left 160, bottom-right 255.
QImage quadrants(int w, int h, QImage::Format format = QImage::Format_Grayscale8) {
    QImage image(w, h, QImage::Format_Grayscale8);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.scanLine(y)[x] =
                static_cast<uchar>(y < h / 2 ? (x < w / 2 ? 0 : 80) : (x < w / 2 ? 160 : 255));
    return image.convertToFormat(format);
}

std::vector<std::uint8_t> jpegOf(const QImage& image, int quality = 95) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(quality);
    EXPECT_TRUE(writer.write(image));
    return {bytes.begin(), bytes.end()};
}

std::vector<std::uint8_t> fileBytes(const std::string& path) {
    const std::string bytes = posix::readFile(path).bytes;
    return {bytes.begin(), bytes.end()};
}

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
// The density in dots per inch as Qt's JPEG reader reports it.
std::pair<long, long> qtDensity(const std::string& path) {
    const QImage image = QImageReader(QString::fromStdString(path)).read();
    return {std::lround(image.dotsPerMeterX() * 0.0254), std::lround(image.dotsPerMeterY() * 0.0254)};
}

int greyAt(const QImage& image, double fx, double fy) {
    return qGray(image.pixel(static_cast<int>(fx * image.width()), static_cast<int>(fy * image.height())));
}

// Expected grey values at the centres of the four quadrants TL, TR, BL, BR.
void expectQuadrants(const QImage& image, std::array<int, 4> grey, double x0 = 0, double x1 = 1,
                     double y0 = 0, double y1 = 1) {
    const double xs[2] = {x0 + (x1 - x0) * 0.25, x0 + (x1 - x0) * 0.75};
    const double ys[2] = {y0 + (y1 - y0) * 0.25, y0 + (y1 - y0) * 0.75};
    for (int q = 0; q < 4; ++q)
        EXPECT_NEAR(greyAt(image, xs[q % 2], ys[q / 2]), grey[q], 24) << "quadrant " << q;
}

class PageFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/tbx-pages-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir = templ;
        param.mode = "GRAY256";
        param.w = 200;
        param.h = 300;
        param.combineType = "NoCombine";
        param.filePath = dir + "/scan";
        param.fileType = "JPEG";
        param.rotateAngle = 0;
    }
    void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }

    std::set<std::string> files() const {
        std::set<std::string> names;
        if (DIR* d = opendir(dir.c_str())) {
            while (dirent* e = readdir(d))
                if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                    names.insert(e->d_name);
            closedir(d);
        }
        return names;
    }
    QImage page(std::int64_t n) const {
        return QImage(QString::fromStdString(pageFileName(param.filePath, n, ".jpg")));
    }
    void writePage(std::int64_t n, const QImage& image) {
        auto bytes = jpegOf(image);
        ASSERT_FALSE(writeFileWhole(pageFileName(param.filePath, n, ".jpg"), bytes));
    }

    std::string dir;
    ScanParam param;
};

// --- BMP ---------------------------------------------------------------------

TEST(BMPHeader, DefaultsAndLittleEndianBytes) {
    BMPHeader h;
    EXPECT_EQ(h.bfType0, 0x42);
    EXPECT_EQ(h.bfType1, 0x4D);
    EXPECT_EQ(h.bfOffBits, 62u);
    EXPECT_EQ(h.biSize, 40u);
    EXPECT_EQ(h.biClrUsed, 2u);
    EXPECT_EQ((BMPHeader{.bfSize = 66, .biWidth = 16}).biWidth, 16u);
    EXPECT_EQ(byteArray<std::uint32_t>(66), (std::vector<std::uint8_t>{0x42, 0, 0, 0}));
    EXPECT_EQ(byteArray<std::uint16_t>(0x1234), (std::vector<std::uint8_t>{0x34, 0x12}));
    EXPECT_EQ(byteArray<std::int64_t>(-1), std::vector<std::uint8_t>(8, 0xFF));
}

TEST_F(PageFiles, TextPageBecomesTheExact66ByteBMP) {
    param.mode = "TEXT";
    param.fileType = "BMP";
    param.w = 16;
    param.h = 2;
    TraceCapture trace;
    const std::vector<std::uint8_t> data{1, 2, 3, 4, 9, 9}; // two bytes too many
    EXPECT_EQ(saveImages(param, 7, data), (ResultPair{true, "saveSuccessfully"}));
    const std::vector<std::uint8_t> expected{
        0x42, 0x4D, 66, 0, 0, 0, 0, 0, 0, 0, 62, 0, 0, 0, 40,   0,    0,    0, 16, 0, 0, 0,
        2,    0,    0,  0, 1, 0, 1, 0, 0, 0, 0,  0, 4, 0, 0,    0,    0,    0, 0,  0, 0, 0,
        0,    0,    2,  0, 0, 0, 0, 0, 0, 0, 0,  0, 0, 0, 0xFF, 0xFF, 0xFF, 0, 3,  4, 1, 2};
    EXPECT_EQ(fileBytes(dir + "/scan-0007.bmp"), expected);
    EXPECT_EQ(trace.lines().at(0).substr(0, 24), "[66, 77, 66, 0, 0, 0, 0,");
    EXPECT_EQ(files(), (std::set<std::string>{"scan-0007.bmp"}));

    // A BMP page is written as it arrived whatever the rotation and combining say.
    param.rotateAngle = 90;
    param.combineType = "CombinVertical";
    param.h = 0;
    EXPECT_TRUE(saveImages(param, 12345, data).status);
    EXPECT_EQ(fileBytes(dir + "/scan-12345.bmp").size(), 62u);
}

TEST_F(PageFiles, ShortTextPageIsCompletedWithWhiteRows) {
    param.mode = "TEXT";
    param.fileType = "BMP";
    param.w = 16;
    param.h = 3;
    TraceCapture trace;
    EXPECT_TRUE(saveImages(param, 1, std::vector<std::uint8_t>{1, 2, 3}).status);
    const auto bytes = fileBytes(dir + "/scan-0001.bmp");
    ASSERT_EQ(bytes.size(), 68u);
    // Rows bottom first: row 2 (missing), row 1 (03, missing), row 0 (01 02).
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 62, bytes.end()),
              (std::vector<std::uint8_t>{0xFF, 0xFF, 3, 0xFF, 1, 2}));
    EXPECT_EQ(trace.lines().at(1), "page data holds 3 of 6 bytes, the missing rows are filled with white");
}

TEST_F(PageFiles, SizesBeyondTheHeaderFieldsAreRefused) {
    param.mode = "TEXT";
    param.fileType = "BMP";
    for (auto [w, h] : {std::pair<std::int64_t, std::int64_t>{-8, 2},
                        {16, -1},
                        {8, 4294967295LL - 61},
                        {1LL << 33, 1},
                        {65536 * 8, 65536}}) {
        param.w = w;
        param.h = h;
        TraceCapture trace;
        EXPECT_FALSE(getBWBMPHeader(param)) << w << " x " << h;
        EXPECT_EQ(saveImages(param, 1, std::vector<std::uint8_t>{}), (ResultPair{false, "saveImageError"}));
    }
    param.w = 8;
    param.h = 4294967295LL - 62; // S + 62 is exactly the largest 32-bit value
    TraceCapture trace;
    EXPECT_TRUE(getBWBMPHeader(param));
    EXPECT_TRUE(files().empty());
}

TEST_F(PageFiles, TextPageForAPDFBecomesAGreyJPEG) {
    param.mode = "TEXT";
    param.fileType = "PDF";
    param.w = 64;
    param.h = 32;
    std::vector<std::uint8_t> data(8 * 32, 0xFF);
    for (int row = 0; row < 16; ++row) // top half black
        std::fill_n(data.begin() + row * 8, 8, 0x00);
    TraceCapture trace;
    EXPECT_TRUE(saveImages(param, 1, data).status);
    EXPECT_EQ(files(), (std::set<std::string>{"scan-0001.jpg"}));
    const QImage out = page(1);
    EXPECT_EQ(out.format(), QImage::Format_Grayscale8);
    EXPECT_EQ(out.size(), QSize(64, 32));
    EXPECT_LT(greyAt(out, 0.5, 0.2), 40);
    EXPECT_GT(greyAt(out, 0.5, 0.8), 215);
}

// --- JPEG pages ----------------------------------------------------------------

TEST_F(PageFiles, GreyPageIsSavedAsGreyJPEGWithItsTraceLines) {
    TraceCapture trace;
    EXPECT_EQ(saveImages(param, 1, jpegOf(quadrants(200, 300))), (ResultPair{true, "saveSuccessfully"}));
    EXPECT_EQ(trace.lines(), (std::vector<std::string>{"image.size.width is 200.0 image.size.height is 300.0",
                                                       "image.size.width is 200.0 image.size.height is 300.0",
                                                       "pixelsWide = 200 and pixelsHigh =300"}));
    const QImage out = page(1);
    EXPECT_EQ(out.format(), QImage::Format_Grayscale8);
    expectQuadrants(out, {0, 80, 160, 255});
    // Compression factor 0.2 is much smaller than the quality-95 input.
    EXPECT_LT(fileBytes(pageFileName(param.filePath, 1, ".jpg")).size(), jpegOf(quadrants(200, 300)).size());
}

TEST_F(PageFiles, QuarterTurnIsCounterClockwiseAndExchangesTheSides) {
    param.rotateAngle = 90;
    TraceCapture trace;
    EXPECT_TRUE(save2JPEG(param, 1, jpegOf(quadrants(200, 301))).status);
    EXPECT_EQ(trace.lines().at(1), "rotate size w = 301.0 and h = 200.0 and w = 200 and h = 301");
    EXPECT_EQ(trace.lines().at(2), "the cgimage.bitPerComponent is 8");
    EXPECT_EQ(trace.lines().at(3), "the cgimage.bitsPerPixel is 8");
    EXPECT_EQ(trace.lines().at(4), "image.size.width is 301.0 image.size.height is 200.0");
    const QImage out = page(1);
    ASSERT_EQ(out.size(), QSize(301, 200));
    EXPECT_EQ(out.format(), QImage::Format_Grayscale8);
    // The top edge ends on the left, the right edge at the top.
    expectQuadrants(out, {80, 255, 0, 160});
    // Odd sides are not smeared: the whole page fills the turned canvas.
    EXPECT_GT(greyAt(out, 0.99, 0.01), 230);
    EXPECT_LT(qGray(out.pixel(0, 199)), 30);
}

TEST_F(PageFiles, HalfTurnKeepsTheSizeOfAColourPage) {
    param.mode = "CGRAY";
    param.rotateAngle = 180;
    TraceCapture trace;
    EXPECT_TRUE(save2JPEG(param, 2, jpegOf(quadrants(200, 300, QImage::Format_RGB32))).status);
    EXPECT_EQ(trace.lines().at(3), "the cgimage.bitsPerPixel is 32");
    const QImage out = page(2);
    EXPECT_EQ(out.size(), QSize(200, 300));
    expectQuadrants(out, {255, 160, 80, 0});
}

TEST_F(PageFiles, CombineModesScaleAndTurnWhateverTheRotation) {
    param.rotateAngle = 90;
    param.combineType = "CombinHorizontal";
    TraceCapture trace;
    EXPECT_TRUE(save2JPEG(param, 1, jpegOf(quadrants(200, 301))).status);
    EXPECT_EQ(trace.lines().at(1), "rotate size w = 140.0 and h = 210.0 and w = 140 and h = 210");
    EXPECT_EQ(page(1).size(), QSize(140, 210));
    expectQuadrants(page(1), {0, 80, 160, 255});

    param.combineType = "CombinVertical";
    EXPECT_TRUE(save2JPEG(param, 2, jpegOf(quadrants(200, 301))).status);
    EXPECT_EQ(page(2).size(), QSize(140, 210));
    expectQuadrants(page(2), {255, 160, 80, 0});

    // ID-card pages stay upright and unscaled, also with a quarter turn asked for.
    param.combineType = "IDCard";
    EXPECT_TRUE(save2JPEG(param, 3, jpegOf(quadrants(200, 301))).status);
    EXPECT_EQ(page(3).size(), QSize(200, 301));
    expectQuadrants(page(3), {0, 80, 160, 255});
}

TEST_F(PageFiles, UnreadablePageDataLeavesNoFile) {
    TraceCapture trace;
    auto bytes = jpegOf(quadrants(200, 300));
    for (auto data : {std::vector<std::uint8_t>{}, std::vector<std::uint8_t>{1, 2, 3},
                      std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + bytes.size() / 2)}) {
        EXPECT_EQ(saveImages(param, 1, data), (ResultPair{false, "saveImageError"}));
    }
    EXPECT_TRUE(files().empty());
}

TEST_F(PageFiles, FailedWriteLeavesNoPartialFile) {
    TraceCapture trace;
    // The page's name is taken by a folder: the rename fails after the write.
    ASSERT_EQ(mkdir((dir + "/scan-0001.jpg").c_str(), 0755), 0);
    EXPECT_EQ(saveImages(param, 1, jpegOf(quadrants(200, 300))), (ResultPair{false, "saveImageError"}));
    EXPECT_EQ(files(), (std::set<std::string>{"scan-0001.jpg"}));
    EXPECT_NE(trace.text().find("save image error = cannot save"), std::string::npos);

    param.filePath = dir + "/missing/scan";
    EXPECT_FALSE(saveImages(param, 1, jpegOf(quadrants(200, 300))).status);
    EXPECT_FALSE(writeFileWhole(dir + "/a", std::vector<std::uint8_t>{1, 2}));
    EXPECT_EQ(fileBytes(dir + "/a"), (std::vector<std::uint8_t>{1, 2}));
    struct stat st {};
    ASSERT_EQ(stat((dir + "/a").c_str(), &st), 0);
    EXPECT_EQ(
        st.st_mode & 0777, 0666 & ~[] {
            mode_t m = umask(0);
            umask(m);
            return m;
        }());
}

TEST(PageFileNames, AtLeastFourDigits) {
    EXPECT_EQ(pageFileName("/r/f", 7, ".jpg"), "/r/f-0007.jpg");
    EXPECT_EQ(pageFileName("/r/f", 12345, ".bmp"), "/r/f-12345.bmp");
}

TEST(ImageRotate, SizesAndFailures) {
    TraceCapture trace;
    EXPECT_FALSE(imageRotate(90, std::nullopt, 1.0));
    auto image = appkit::NSImage::fromData(jpegOf(quadrants(1000, 500)));
    ASSERT_TRUE(image);
    auto turned = imageRotate(90, image, 1.0);
    ASSERT_TRUE(turned);
    EXPECT_EQ(turned->bitmapRepresentation()->pixelsWide(), 500);
    EXPECT_EQ(turned->size().height, 1000.0);
    image = appkit::NSImage::fromData(jpegOf(quadrants(2432, 3441)));
    EXPECT_EQ(imageRotate(0, image, 0.7)->bitmapRepresentation()->pixelsHigh(), 2408);
    EXPECT_EQ(imageRotate(0, image, 0.7)->bitmapRepresentation()->pixelsWide(), 1702);
    // 270 keeps the canvas: the turned page overhangs it.
    auto odd = imageRotate(270, appkit::NSImage::fromData(jpegOf(quadrants(100, 50))), 1.0);
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->size().width, 100.0);
    EXPECT_FALSE(imageRotate(0, image, 0.0)); // no canvas of 0 x 0
}

// --- Combining -------------------------------------------------------------------

TEST_F(PageFiles, ThreePagesSideBySideMakeTwoLandscapeSheets) {
    param.w = 240;
    param.h = 340;
    writePage(1, quadrants(168, 238));
    QImage black(168, 238, QImage::Format_Grayscale8);
    black.fill(0);
    writePage(2, black);
    writePage(3, quadrants(168, 238));
    TraceCapture trace;
    EXPECT_EQ(combineImage(3, 0, param), (ResultPair{true, "saveSuccessfully"}));
    EXPECT_EQ(trace.lines().at(0), "combine image w = 340 h = 240");
    EXPECT_EQ(trace.lines().at(1), "read odd image = " + dir + "/scan-0001.jpg");
    EXPECT_EQ(files(), (std::set<std::string>{"scan-0001.jpg", "scan-0002.jpg"}));
    const QImage sheet1 = page(1), sheet2 = page(2);
    EXPECT_EQ(sheet1.size(), QSize(340, 240));
    expectQuadrants(sheet1, {0, 80, 160, 255}, 0, 0.5);
    expectQuadrants(sheet1, {0, 0, 0, 0}, 0.5, 1);
    expectQuadrants(sheet2, {0, 80, 160, 255}, 0, 0.5);
    expectQuadrants(sheet2, {255, 255, 255, 255}, 0.5, 1);
}

TEST_F(PageFiles, IDCardSheetHoldsTheFirstPageBelowTheSecond) {
    param.w = 200;
    param.h = 300;
    writePage(1, quadrants(200, 300));
    QImage black(200, 300, QImage::Format_Grayscale8);
    black.fill(0);
    writePage(2, black);
    TraceCapture trace;
    EXPECT_TRUE(combineImage(2, 1, param).status);
    EXPECT_EQ(files(), (std::set<std::string>{"scan-0001.jpg"}));
    const QImage sheet = page(1);
    EXPECT_EQ(sheet.size(), QSize(200, 300));
    expectQuadrants(sheet, {0, 0, 0, 0}, 0, 1, 0, 0.5);      // page 2 on top
    expectQuadrants(sheet, {0, 80, 160, 255}, 0, 1, 0.5, 1); // page 1 below, squeezed
}

TEST_F(PageFiles, FailedCombiningLeavesEveryPageAsItWas) {
    writePage(1, quadrants(140, 210));
    writePage(3, quadrants(140, 210));
    const auto before = fileBytes(pageFileName(param.filePath, 1, ".jpg"));
    TraceCapture trace;
    EXPECT_EQ(combineImage(3, 0, param), (ResultPair{false, "saveImageError"}));
    EXPECT_EQ(files(), (std::set<std::string>{"scan-0001.jpg", "scan-0003.jpg"}));
    EXPECT_EQ(fileBytes(pageFileName(param.filePath, 1, ".jpg")), before);

    // Sheet 1 was made before page 3 turned out missing: it is not kept, and
    // pages 1 and 2 are still there to retry with.
    ::unlink(pageFileName(param.filePath, 3, ".jpg").c_str());
    writePage(2, quadrants(140, 210));
    EXPECT_FALSE(combineImage(3, 0, param).status);
    EXPECT_NE(trace.text().find("save 2 image path = " + dir + "/scan-0001.jpg"), std::string::npos);
    EXPECT_EQ(files(), (std::set<std::string>{"scan-0001.jpg", "scan-0002.jpg"}));
    EXPECT_EQ(fileBytes(pageFileName(param.filePath, 1, ".jpg")), before);

    // A folder, a named pipe without a writer or a link to a device without end
    // in the place of page 2 cannot be read: the same save error, neither an
    // abort nor a wait.
    const std::string page2 = pageFileName(param.filePath, 2, ".jpg");
    for (const std::string stand : {"folder", "pipe", "/dev/zero"}) {
        std::filesystem::remove(page2);
        if (stand == "folder")
            std::filesystem::create_directory(page2);
        else if (stand == "pipe")
            ASSERT_EQ(::mkfifo(page2.c_str(), 0600), 0);
        else
            std::filesystem::create_symlink(stand, page2);
        EXPECT_EQ(combineImage(2, 0, param), (ResultPair{false, "saveImageError"})) << stand;
        EXPECT_EQ(files(), (std::set<std::string>{"scan-0001.jpg", "scan-0002.jpg"})) << stand;
        EXPECT_EQ(fileBytes(pageFileName(param.filePath, 1, ".jpg")), before) << stand;
    }

    param.w = 1;
    param.h = 1'000'001; // no canvas of that size
    EXPECT_FALSE(combineImage(2, 0, param).status);
}

TEST_F(PageFiles, BMPPagesAreNotCombined) {
    param.mode = "TEXT";
    param.fileType = "BMP";
    param.w = 16;
    param.h = 2;
    TraceCapture trace;
    ASSERT_TRUE(saveImages(param, 1, std::vector<std::uint8_t>{1, 2, 3, 4}).status);
    EXPECT_FALSE(combineImage(1, 0, param).status);
    EXPECT_EQ(trace.lines().back(), "comImage to cgImage error");
    EXPECT_EQ(files(), (std::set<std::string>{"scan-0001.bmp"}));
    EXPECT_TRUE(combineImage(0, 0, param).status); // nothing to join
}

// --- PDF -------------------------------------------------------------------------

TEST(PDFPageBox, SizesAndLandscape) {
    ScanParam p;
    p.combineType = "NoCombine";
    auto box = [&](const std::string& size) {
        auto b = pdfPageBox(p, size);
        return std::pair{b.width, b.height};
    };
    EXPECT_EQ(box("B5(JIS)"), (std::pair{516.0, 729.0})); // 182 x 257 mm
    EXPECT_EQ(box("Letter"), (std::pair{612.0, 792.0}));  // 8.5 x 11 in
    EXPECT_EQ(box("A4"), (std::pair{595.0, 842.0}));
    EXPECT_EQ(box("A5"), (std::pair{420.0, 595.0}));
    EXPECT_EQ(box("Legal"), (std::pair{595.0, 842.0}));
    p.rotateAngle = 90;
    EXPECT_EQ(box("Letter"), (std::pair{792.0, 612.0}));
    p.rotateAngle = 180;
    EXPECT_EQ(box("A4"), (std::pair{595.0, 842.0}));
    p.combineType = "CombinVertical";
    EXPECT_EQ(box("A5"), (std::pair{595.0, 420.0}));
    p.combineType = "IDCard";
    p.rotateAngle = 90;
    EXPECT_EQ(box("A4"), (std::pair{595.0, 842.0}));
}

TEST_F(PageFiles, PDFHasOnePageStretchedOverEachBox) {
    writePage(1, quadrants(200, 300));
    writePage(2, quadrants(300, 100, QImage::Format_RGB32));
    const std::string out = dir + "/out";
    ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
    param.rotateAngle = 90;
    TraceCapture trace;
    EXPECT_EQ(save2PDF(param, 2, out, "Letter"), (ResultPair{true, "saveSuccessfully"}));
    DIR* d = opendir(out.c_str());
    std::string pdf;
    while (dirent* e = readdir(d))
        if (std::string(e->d_name).ends_with(".pdf"))
            pdf = out + "/" + e->d_name;
    closedir(d);
    ASSERT_EQ(pdf.size(), out.size() + 1 + 18);
    const std::string info = run("pdfinfo -f 1 -l 2 '" + pdf + "' 2>&1");
    EXPECT_NE(info.find("Pages:           2"), std::string::npos) << info;
    EXPECT_NE(info.find("Page    1 size:  792 x 612 pts (letter)"), std::string::npos) << info;
    EXPECT_NE(info.find("Page    2 size:  792 x 612 pts (letter)"), std::string::npos) << info;
    // The page files stay for the scan to clear.
    EXPECT_TRUE(files().count("scan-0001.jpg") && files().count("scan-0002.jpg"));

    run("pdftoppm -r 18 -gray '" + pdf + "' '" + dir + "/render'");
    for (const char* name : {"/render-1.pgm", "/render-2.pgm"}) {
        const QImage rendered(QString::fromStdString(dir + name));
        ASSERT_FALSE(rendered.isNull()) << name;
        EXPECT_NEAR(rendered.width(), 792 * 18 / 72, 1);
        expectQuadrants(rendered, {0, 80, 160, 255});
    }
    // A second document never replaces the first, even within the same second.
    const auto firstPdf = fileBytes(pdf);
    EXPECT_TRUE(save2PDF(param, 1, out, "A4").status);
    EXPECT_EQ(fileBytes(pdf), firstPdf);
    const std::string both = run("for f in '" + out + "'/*.pdf; do pdfinfo \"$f\" 2>&1; done");
    EXPECT_NE(both.find("Pages:           1"), std::string::npos) << both;
    EXPECT_NE(both.find("Pages:           2"), std::string::npos) << both;
    // A document of no pages has an empty page tree (poppler refuses to count it).
    const auto empty = makePDF(param, 0, "A4");
    ASSERT_TRUE(empty);
    const std::string text(empty->begin(), empty->end());
    EXPECT_TRUE(text.starts_with("%PDF-1.4"));
    EXPECT_NE(text.find("/Type /Pages /Kids [ ] /Count 0"), std::string::npos);
    EXPECT_TRUE(text.ends_with("%%EOF\n"));
}

TEST_F(PageFiles, PDFOfAMissingOrCutPageIsNotWritten) {
    writePage(1, quadrants(200, 300));
    auto bytes = jpegOf(quadrants(200, 300));
    bytes.resize(bytes.size() - 100);
    ASSERT_FALSE(writeFileWhole(pageFileName(param.filePath, 2, ".jpg"), bytes));
    TraceCapture trace;
    EXPECT_FALSE(makePDF(param, 3, "A4")); // page 3 is missing
    EXPECT_FALSE(makePDF(param, 2, "A4")); // page 2 is cut short
    ScanParam folderPage = param;
    folderPage.filePath = dir + "/folder";
    std::filesystem::create_directory(pageFileName(folderPage.filePath, 1, ".jpg"));
    EXPECT_FALSE(makePDF(folderPage, 1, "A4")); // page 1 is a folder: unreadable, not an abort
    EXPECT_FALSE(makePDF(param, -1, "A4"));
    EXPECT_FALSE(save2PDF(param, 2, dir, "A4").status);
    EXPECT_EQ(files().size(), 3u);
}

// --- What the files say about themselves -------------------------------------------

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

TEST_F(PageFiles, JpegPagesAndSheetsStateTheScanResolution) {
    TraceCapture trace;
    const bool haveIdentify = std::system("command -v identify >/dev/null 2>&1") == 0;
    for (const int dpi : {200, 300, 600, 1200}) {
        SCOPED_TRACE(dpi);
        param.resolution = std::to_string(dpi) + "," + std::to_string(dpi);
        param.combineType = "NoCombine";
        param.rotateAngle = 90;
        ASSERT_TRUE(saveImages(param, 1, jpegOf(quadrants(120, 160))).status); // turned page
        param.rotateAngle = 0;
        param.combineType = "CombinHorizontal";
        ASSERT_TRUE(saveImages(param, 2, jpegOf(quadrants(120, 160))).status); // scaled for combining
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
        std::filesystem::remove(pageFileName(param.filePath, 1, ".jpg"));
        std::filesystem::remove(pageFileName(param.filePath, 3, ".jpg"));
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

// A page that looks like print: white paper with a little noise, dark lines
// of "words" and a shaded block (tinted in colour), so that the Huffman tables
// have real work; flat pages say little about them.
QImage printLikePage(int w, int h, bool colour) {
    QImage page(w, h, QImage::Format_RGB32);
    std::uint32_t seed = 12345;
    for (int y = 0; y < h; ++y) {
        auto* row = reinterpret_cast<QRgb*>(page.scanLine(y));
        const bool textLine = (y / 12) % 2 == 0;
        for (int x = 0; x < w; ++x) {
            seed = seed * 1664525u + 1013904223u;
            int v = 245 + static_cast<int>(seed >> 29);
            if (textLine && x > w / 12 && x < w - w / 12 && (x / 11) % 7 != 0 && ((seed >> 20) & 3))
                v = 20 + static_cast<int>(seed >> 28);
            const bool photo = y > h / 2 && y < h / 2 + h / 5 && x > w / 5 && x < w / 2;
            if (photo)
                v = (x + y) % 256;
            row[x] = colour && photo ? qRgb(v, 255 - v, 128) : qRgb(v, v, v);
        }
    }
    return colour ? page : page.convertToFormat(QImage::Format_Grayscale8);
}

TEST_F(PageFiles, JpegPagesKeepTheirPixelsInFilesAsSmallAsImageMagicksAtTheSameQuality) {
    ASSERT_EQ(access("/usr/bin/convert", X_OK), 0) << "ImageMagick (scripts/deps) is needed here";
    TraceCapture trace;
    param.resolution = "300,300";
    for (const bool colour : {true, false}) {
        SCOPED_TRACE(colour ? "colour" : "grey");
        param.mode = colour ? "CGRAY" : "GRAY256";
        const auto scanned = jpegOf(printLikePage(1200, 1700, colour)); // as the scanner sends it
        ASSERT_TRUE(saveImages(param, 1, scanned).status);
        const std::string name = pageFileName(param.filePath, 1, ".jpg");
        const auto ours = fileBytes(name);

        // Before: Qt's JPEG writer at the same quality, on the same decoded pixels.
        QImage decoded;
        ASSERT_TRUE(decoded.loadFromData(scanned.data(), static_cast<int>(scanned.size()), "JPEG"));
        const auto before = jpegOf(decoded, 20);
        QImage oursDecoded, beforeDecoded;
        ASSERT_TRUE(oursDecoded.loadFromData(ours.data(), static_cast<int>(ours.size()), "JPEG"));
        ASSERT_TRUE(beforeDecoded.loadFromData(before.data(), static_cast<int>(before.size()), "JPEG"));
        EXPECT_TRUE(oursDecoded == beforeDecoded) << "the page's pixels changed";
        EXPECT_LT(ours.size(), before.size());

        // ImageMagick's convert at the same quality, from the same file.
        ASSERT_FALSE(writeFileWhole(dir + "/scanned.jpg", scanned));
        run("/usr/bin/convert '" + dir + "/scanned.jpg' -quality 20 '" + dir + "/convert.jpg'");
        const auto theirs = fileBytes(dir + "/convert.jpg");
        ASSERT_FALSE(theirs.empty());
        EXPECT_LE(ours.size() * 10, theirs.size() * 11) << ours.size() << " bytes against " << theirs.size();
        EXPECT_EQ(qtDensity(name), (std::pair<long, long>{300, 300}));
    }
}

TEST_F(PageFiles, EveryFileOfAScanGetsTheModeTheUmaskLeaves) {
    for (const mode_t mask : {mode_t(022), mode_t(077), mode_t(002), mode_t(0)}) {
        SCOPED_TRACE(testing::Message() << std::oct << mask);
        TraceCapture trace;
        const mode_t before = ::umask(mask);
        auto folder = makeNewFolder(dir, "20261208211000");
        ASSERT_TRUE(folder);
        param.filePath = *folder + "/scan";
        param.mode = "GRAY256";
        param.fileType = "JPEG";
        param.combineType = "CombinHorizontal";
        ASSERT_TRUE(saveImages(param, 1, jpegOf(quadrants(120, 160))).status);
        ASSERT_TRUE(saveImages(param, 2, jpegOf(quadrants(120, 160))).status);
        ASSERT_TRUE(saveImages(param, 3, jpegOf(quadrants(120, 160))).status);
        ASSERT_TRUE(combineImage(3, 0, param).status); // two sheets replace three pages
        ScanParam text = param;
        text.mode = "TEXT";
        text.fileType = "BMP";
        text.w = 32;
        text.h = 2;
        ASSERT_TRUE(saveImages(text, 9, std::vector<std::uint8_t>(8, 0)).status);
        ASSERT_TRUE(save2PDF(param, 2, *folder, "A4").status);
        ::umask(before);

        const auto expected = static_cast<std::filesystem::perms>(0666 & ~mask);
        int files = 0;
        for (const auto& entry : std::filesystem::directory_iterator(*folder)) {
            EXPECT_EQ(entry.status().permissions(), expected) << entry.path();
            ++files;
        }
        EXPECT_EQ(files, 4); // two sheets, the BMP page, the PDF; no temporary file left
        EXPECT_EQ(std::filesystem::status(*folder).permissions(),
                  static_cast<std::filesystem::perms>(0777 & ~mask));
    }
}

} // namespace
} // namespace tbx
