// Stands in for the parts of CoreGraphics that the page files use: bitmaps with
// their pixel format, bitmap canvases in a y-up coordinate system with
// translation, rotation, scaled drawing and white fill, and PDF documents built
// in memory with one media box per page. Pixels live in Qt 6 QImages (8-bit grey
// or 32-bit RGB); quarter turns and whole-pixel placements are drawn exactly.
// Left out: alpha, colour management, blend modes, clipping paths, text.
#pragma once

#include <QImage>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tbx::appkit {

struct CGPoint {
    double x = 0;
    double y = 0;
};

struct CGSize {
    double width = 0;
    double height = 0;
};

struct CGRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
};

enum class CGColorSpace { deviceGray, deviceRGB };

// How the components sit in a pixel: grey has one component and no alpha, RGB
// is 32-bit with the unused byte first (0xffRRGGBB words).
enum class CGBitmapInfo { alphaNone, alphaNoneSkipFirst };

struct CGColor {
    double red = 0;
    double green = 0;
    double blue = 0;
    static CGColor white() { return {1.0, 1.0, 1.0}; }
};

// An immutable bitmap. One made from a JPEG file keeps the file's bytes and is
// decoded only when its pixels are needed (a PDF embeds those bytes unchanged).
class CGImage {
public:
    // A bitmap of decoded pixels; any QImage format is brought to 8-bit grey
    // (when every colour is grey) or 32-bit RGB. A null image gives nothing.
    static std::optional<CGImage> fromPixels(const QImage& pixels);
    // A bitmap over a complete JPEG file; nothing when the bytes are not one.
    static std::optional<CGImage> fromJPEGData(std::shared_ptr<const std::vector<std::uint8_t>> jpeg);

    int width() const;
    int height() const;
    int bitsPerComponent() const { return 8; }
    int bitsPerPixel() const;
    std::optional<CGColorSpace> colorSpace() const;
    CGBitmapInfo bitmapInfo() const;

    // The pixels (decoded now if needed); a null QImage when decoding fails.
    QImage pixels() const;
    // The JPEG file this bitmap came from, or null.
    const std::shared_ptr<const std::vector<std::uint8_t>>& jpegData() const;

private:
    struct State;
    explicit CGImage(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
};

// A drawing canvas of its own pixels. Coordinates have their origin in the
// lower-left corner with y up; the current transformation starts as identity.
class CGBitmapContext {
public:
    // Nothing for a size below 1 pixel, a format other than 8-bit grey/alpha
    // none or 8-bit RGB/skip first, or when the pixels cannot be allocated.
    static std::optional<CGBitmapContext> create(std::int64_t width, std::int64_t height,
                                                 int bitsPerComponent, CGColorSpace space, CGBitmapInfo info);

    int width() const { return canvas_.width(); }
    int height() const { return canvas_.height(); }

    void translateCTM(double tx, double ty);
    // Counter-clockwise, in radians, as y points up.
    void rotateCTM(double radians);
    void setFillColor(CGColor color) { fill_ = color; }
    void fillRect(CGRect rect);
    // Draws `image` scaled to fill `rect` (user space), upright in that space.
    void draw(const CGImage& image, CGRect rect);
    // A snapshot of the canvas; nothing when the copy cannot be made.
    std::optional<CGImage> makeImage() const;

private:
    explicit CGBitmapContext(QImage canvas) : canvas_(std::move(canvas)) {}
    // Maps user space to canvas pixels (y down).
    QTransform deviceTransform() const;
    bool drawAxisAligned(const QImage& source, const QTransform& toDevice);

    QImage canvas_;
    // a, b, c, d, tx, ty of the current transformation (user to y-up canvas).
    double ctm_[6] = {1, 0, 0, 1, 0, 0};
    CGColor fill_ = {0, 0, 0};
};

// A PDF document written to memory: pages with a media box in points, into
// which bitmaps are drawn scaled to a rectangle. A bitmap that came from a JPEG
// file is embedded as that file (no new encoding, grey stays grey); others are
// embedded as deflated pixels. A document of no pages is valid.
class CGPDFContext {
public:
    explicit CGPDFContext(CGRect defaultMediaBox);
    void beginPage(std::optional<CGRect> mediaBox = std::nullopt);
    // False when the bitmap cannot be embedded (its pixels cannot be decoded).
    bool draw(const CGImage& image, CGRect rect);
    void endPage();
    // Finishes the document; the bytes are ready in `data()` afterwards.
    void close();
    const std::vector<std::uint8_t>& data() const { return out_; }

private:
    struct Page {
        CGRect mediaBox;
        std::string content;
        std::vector<int> images; // object numbers of the page's image objects
    };
    int addObject(const std::string& head, const std::vector<std::uint8_t>* stream = nullptr,
                  const QByteArray* qstream = nullptr);
    void append(const std::string& text);

    CGRect defaultBox_;
    std::vector<std::uint8_t> out_;
    std::vector<std::size_t> offsets_; // byte offset of object n at index n - 1
    std::vector<int> pageObjects_;
    std::optional<Page> page_;
    int pagesObject_ = 0;
    bool closed_ = false;
};

} // namespace tbx::appkit
