// The image stand-in: exact quarter turns on the canvas, scaled drawing, pixel
// formats that stay grey, JPEG at a compression factor, and PDF pages of bitmaps.
#include "platform/appkit/AppKit.h"

#include <QImage>
#include <cmath>
#include <gtest/gtest.h>
#include <numbers>

namespace tbx::appkit {
namespace {

// Every pixel different: value (x + 7 y) mod 256.
QImage numbered(int w, int h) {
    QImage image(w, h, QImage::Format_Grayscale8);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.scanLine(y)[x] = static_cast<uchar>((x + 7 * y) % 256);
    return image;
}

CGBitmapContext greyCanvas(int w, int h) {
    auto canvas = CGBitmapContext::create(w, h, 8, CGColorSpace::deviceGray, CGBitmapInfo::alphaNone);
    EXPECT_TRUE(canvas);
    return *canvas;
}

TEST(CGBitmapContext, QuarterTurnsArePurePixelPermutations) {
    const QImage source = numbered(5, 3);
    const auto bitmap = CGImage::fromPixels(source);
    ASSERT_TRUE(bitmap);
    for (int quarter : {1, 2, 3}) {
        const int cw = quarter % 2 ? 3 : 5, ch = quarter % 2 ? 5 : 3;
        auto canvas = greyCanvas(cw, ch);
        canvas.translateCTM(cw / 2.0, ch / 2.0);
        canvas.rotateCTM(quarter * std::numbers::pi / 2);
        canvas.draw(*bitmap, CGRect{-2, -1, 5, 3});
        const QImage out = canvas.makeImage()->pixels();
        // Counter-clockwise as displayed, quarter turns at a time.
        const QImage expected = source.transformed(QTransform().rotate(-90.0 * quarter));
        ASSERT_EQ(out.size(), expected.size());
        for (int y = 0; y < ch; ++y)
            for (int x = 0; x < cw; ++x)
                EXPECT_EQ(qGray(out.pixel(x, y)), qGray(expected.pixel(x, y)))
                    << "quarter " << quarter << " at " << x << "," << y;
    }
}

TEST(CGBitmapContext, YPointsUpAndFillIsWhite) {
    auto canvas = greyCanvas(4, 4);
    canvas.setFillColor(CGColor::white());
    canvas.fillRect(CGRect{0, 0, 4, 4});
    QImage black(2, 2, QImage::Format_Grayscale8);
    black.fill(0);
    canvas.draw(*CGImage::fromPixels(black), CGRect{0, 0, 2, 2}); // lower-left corner
    const QImage out = canvas.makeImage()->pixels();
    EXPECT_EQ(qGray(out.pixel(0, 3)), 0);
    EXPECT_EQ(qGray(out.pixel(1, 2)), 0);
    EXPECT_EQ(qGray(out.pixel(0, 0)), 255);
    EXPECT_EQ(qGray(out.pixel(3, 3)), 255);
    EXPECT_EQ(out.format(), QImage::Format_Grayscale8);
}

TEST(CGBitmapContext, ScaledAndAnyAngleDrawing) {
    auto canvas = greyCanvas(10, 10);
    QImage white(20, 20, QImage::Format_Grayscale8);
    white.fill(255);
    canvas.draw(*CGImage::fromPixels(white), CGRect{0, 0, 10, 5}); // squeezed into the lower half
    QImage out = canvas.makeImage()->pixels();
    EXPECT_EQ(qGray(out.pixel(5, 8)), 255);
    EXPECT_EQ(qGray(out.pixel(5, 2)), 0);
    canvas.translateCTM(5, 5);
    canvas.rotateCTM(std::numbers::pi / 4);
    canvas.draw(*CGImage::fromPixels(white), CGRect{-2, -2, 4, 4});
    out = canvas.makeImage()->pixels();
    EXPECT_EQ(qGray(out.pixel(5, 5)), 255);
    EXPECT_EQ(qGray(out.pixel(5, 1)), 0);
}

TEST(CGBitmapContext, RefusedFormatsAndSizes) {
    EXPECT_FALSE(CGBitmapContext::create(0, 5, 8, CGColorSpace::deviceGray, CGBitmapInfo::alphaNone));
    EXPECT_FALSE(CGBitmapContext::create(5, 5, 16, CGColorSpace::deviceGray, CGBitmapInfo::alphaNone));
    EXPECT_FALSE(
        CGBitmapContext::create(5, 5, 8, CGColorSpace::deviceGray, CGBitmapInfo::alphaNoneSkipFirst));
    EXPECT_FALSE(
        CGBitmapContext::create(2'000'000, 5, 8, CGColorSpace::deviceRGB, CGBitmapInfo::alphaNoneSkipFirst));
    EXPECT_TRUE(CGBitmapContext::create(5, 5, 8, CGColorSpace::deviceRGB, CGBitmapInfo::alphaNoneSkipFirst));
}

TEST(NSImage, DecodesJPEGAndOneBitBMPAndKeepsGreyGrey) {
    const auto jpeg = NSBitmapImageRep(*CGImage::fromPixels(numbered(40, 30))).jpegRepresentation(0.2);
    ASSERT_TRUE(jpeg);
    auto image = NSImage::fromData(*jpeg);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->size().width, 40.0);
    EXPECT_EQ(image->cgImage()->colorSpace(), CGColorSpace::deviceGray);
    EXPECT_EQ(image->cgImage()->bitsPerPixel(), 8);
    // Lower factors compress harder.
    const auto fine = NSBitmapImageRep(*CGImage::fromPixels(numbered(40, 30))).jpegRepresentation(0.9);
    EXPECT_LT(jpeg->size(), fine->size());

    // 16 x 1, one-bit: first byte 0x80 has its leftmost pixel white.
    const std::vector<std::uint8_t> bmp{
        0x42, 0x4D, 66, 0, 0, 0, 0, 0, 0, 0, 62, 0, 0, 0, 40,   0,    0,    0, 16,   0,    0, 0,
        1,    0,    0,  0, 1, 0, 1, 0, 0, 0, 0,  0, 4, 0, 0,    0,    0,    0, 0,    0,    0, 0,
        0,    0,    2,  0, 0, 0, 0, 0, 0, 0, 0,  0, 0, 0, 0xFF, 0xFF, 0xFF, 0, 0x80, 0x01, 0, 0};
    auto page = NSImage::fromData(bmp);
    ASSERT_TRUE(page);
    const QImage pixels = page->cgImage()->pixels();
    EXPECT_EQ(pixels.format(), QImage::Format_Grayscale8);
    EXPECT_EQ(qGray(pixels.pixel(0, 0)), 255);
    EXPECT_EQ(qGray(pixels.pixel(1, 0)), 0);
    EXPECT_EQ(qGray(pixels.pixel(15, 0)), 255);

    EXPECT_FALSE(NSImage::fromData(std::vector<std::uint8_t>{0xFF, 0xD8, 0xFF, 0}));
    EXPECT_FALSE(NSImage::byReferencingFile("/nonexistent/page.jpg").cgImage());
    EXPECT_FALSE(NSImage::byReferencingFile("/").cgImage()); // a folder: its read fails, nothing aborts
}

TEST(CGPDFContext, PagesOfDecodedBitmapsAreDeflated) {
    CGPDFContext pdf(CGRect{0, 0, 100, 200});
    pdf.beginPage();
    EXPECT_TRUE(pdf.draw(*CGImage::fromPixels(numbered(4, 4)), CGRect{0, 0, 100, 200}));
    pdf.endPage();
    pdf.close();
    const std::string text(pdf.data().begin(), pdf.data().end());
    EXPECT_NE(text.find("/MediaBox [0 0 100 200]"), std::string::npos);
    EXPECT_NE(text.find("/ColorSpace /DeviceGray /BitsPerComponent 8 /Filter /FlateDecode"),
              std::string::npos);
    EXPECT_NE(text.find("q 100 0 0 200 0 0 cm /Im1 Do Q"), std::string::npos);
    const auto xref = text.rfind("startxref\n");
    EXPECT_EQ(text.substr(std::stoul(text.substr(xref + 10)), 4), "xref");
}

} // namespace
} // namespace tbx::appkit
