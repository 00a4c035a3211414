#include "platform/appkit/AppKit.h"

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>
#include <QImageWriter>
#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <memory>

namespace tbx::appkit {

namespace {

bool looksLikeJPEG(std::span<const std::uint8_t> data) {
    return data.size() >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF;
}

std::optional<CGImage> decodeFile(std::span<const std::uint8_t> data) {
    if (looksLikeJPEG(data))
        return CGImage::fromJPEGData(
            std::make_shared<const std::vector<std::uint8_t>>(data.begin(), data.end()));
    if (data.size() < 2 || data[0] != 'B' || data[1] != 'M')
        return std::nullopt;
    QByteArray view = QByteArray::fromRawData(reinterpret_cast<const char*>(data.data()),
                                              static_cast<qsizetype>(data.size()));
    QBuffer buffer(&view);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "bmp");
    return CGImage::fromPixels(reader.read());
}

} // namespace

std::optional<std::vector<std::uint8_t>>
NSBitmapImageRep::jpegRepresentation(double compressionFactor, int dotsPerInchX, int dotsPerInchY) const {
    QImage pixels = bitmap_.pixels();
    if (pixels.isNull() || dotsPerInchX < 1 || dotsPerInchY < 1)
        return std::nullopt;
    // Qt keeps the density in dots per metre and writes it back to the JFIF
    // header in dots per inch, rounded: the inch value survives the trip.
    constexpr double inchesPerMetre = 1.0 / 0.0254;
    pixels.setDotsPerMeterX(static_cast<int>(std::lround(dotsPerInchX * inchesPerMetre)));
    pixels.setDotsPerMeterY(static_cast<int>(std::lround(dotsPerInchY * inchesPerMetre)));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(static_cast<int>(std::lround(std::clamp(compressionFactor, 0.0, 1.0) * 100.0)));
    if (!writer.write(pixels) || bytes.isEmpty())
        return std::nullopt;
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

std::optional<NSImage> NSImage::fromData(std::span<const std::uint8_t> data) {
    auto bitmap = decodeFile(data);
    if (!bitmap)
        return std::nullopt;
    if (!bitmap->jpegData() && bitmap->pixels().isNull())
        return std::nullopt;
    return NSImage(*bitmap,
                   CGSize{static_cast<double>(bitmap->width()), static_cast<double>(bitmap->height())});
}

NSImage NSImage::byReferencingFile(std::string path) {
    NSImage image;
    image.path_ = std::move(path);
    return image;
}

NSImage::NSImage(CGImage bitmap, CGSize size) : bitmap_(std::move(bitmap)), size_(size) {}

CGSize NSImage::size() const {
    if (bitmap_ || path_.empty())
        return size_;
    if (auto bitmap = cgImage())
        return {static_cast<double>(bitmap->width()), static_cast<double>(bitmap->height())};
    return {};
}

std::optional<CGImage> NSImage::cgImage(std::optional<CGRect>) const {
    if (bitmap_ || path_.empty())
        return bitmap_;
    std::ifstream in(path_, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return std::nullopt;
    return decodeFile(bytes);
}

std::optional<NSBitmapImageRep> NSImage::bitmapRepresentation() const {
    auto bitmap = cgImage();
    if (!bitmap)
        return std::nullopt;
    return NSBitmapImageRep(*bitmap);
}

} // namespace tbx::appkit
