#include "platform/appkit/AppKit.h"

#include "platform/posix/PosixIO.h"

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>
#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <memory>

// After <cstdio>: jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

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

// libjpeg ends a fatal error through error_exit, which must not return: it
// jumps back into compress(), and nothing between holds a destructor.
struct JpegErrorJump {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

[[noreturn]] void jumpBack(j_common_ptr info) {
    std::longjmp(reinterpret_cast<JpegErrorJump*>(info->err)->jump, 1);
}

void noMessage(j_common_ptr) {}

// The encoder's output, gathered in chunks into a vector.
struct VectorDestination {
    jpeg_destination_mgr manager;
    std::vector<std::uint8_t>* out;
    bool failed;
    JOCTET chunk[65536];
};

VectorDestination& destinationOf(j_compress_ptr info) {
    return *reinterpret_cast<VectorDestination*>(info->dest);
}

void startChunk(j_compress_ptr info) {
    VectorDestination& d = destinationOf(info);
    d.manager.next_output_byte = d.chunk;
    d.manager.free_in_buffer = sizeof d.chunk;
}

void keep(VectorDestination& d, std::size_t count) noexcept {
    try {
        d.out->insert(d.out->end(), d.chunk, d.chunk + count);
    } catch (...) {
        d.failed = true; // the rest is discarded; the encoding answers nothing
    }
}

boolean keepChunk(j_compress_ptr info) {
    VectorDestination& d = destinationOf(info);
    keep(d, sizeof d.chunk);
    startChunk(info);
    return TRUE;
}

void keepLastChunk(j_compress_ptr info) {
    VectorDestination& d = destinationOf(info);
    keep(d, sizeof d.chunk - d.manager.free_in_buffer);
}

// One baseline JPEG of `pixels` (8-bit grey, or 32-bit RGB handed to libjpeg
// as the bytes lie in memory), with the JFIF density in dots per inch and
// Huffman tables optimised for its coefficients. False after a libjpeg error.
bool compress(jpeg_compress_struct& info, JpegErrorJump& error, VectorDestination& destination,
              const QImage& pixels, int quality, int dotsPerInchX, int dotsPerInchY) {
    if (setjmp(error.jump))
        return false;
    jpeg_create_compress(&info);
    info.dest = &destination.manager;
    info.image_width = static_cast<JDIMENSION>(pixels.width());
    info.image_height = static_cast<JDIMENSION>(pixels.height());
    const bool grey = pixels.format() == QImage::Format_Grayscale8;
    info.input_components = grey ? 1 : 4;
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    info.in_color_space = grey ? JCS_GRAYSCALE : JCS_EXT_BGRX;
#else
    info.in_color_space = grey ? JCS_GRAYSCALE : JCS_EXT_XRGB;
#endif
    jpeg_set_defaults(&info);
    info.density_unit = 1; // dots per inch
    info.X_density = static_cast<UINT16>(std::min(dotsPerInchX, 65535));
    info.Y_density = static_cast<UINT16>(std::min(dotsPerInchY, 65535));
    info.optimize_coding = TRUE;
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(pixels.constScanLine(static_cast<int>(info.next_scanline)));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    return true;
}

// The JPEG file of `pixels` (8-bit grey or 32-bit RGB), encoded straight from
// their rows: no copy of the page is made. The choices are those of Qt's JPEG
// writer (libjpeg's defaults, the quality's baseline tables, 4:2:0 colour),
// so the file decodes to the same pixels as Qt's, in a smaller file.
std::optional<std::vector<std::uint8_t>> encodeJPEG(const QImage& pixels, int quality, int dotsPerInchX,
                                                    int dotsPerInchY) {
    if (pixels.isNull())
        return std::nullopt;
    std::vector<std::uint8_t> out;
    auto destination = std::make_unique<VectorDestination>();
    destination->manager.init_destination = startChunk;
    destination->manager.empty_output_buffer = keepChunk;
    destination->manager.term_destination = keepLastChunk;
    destination->out = &out;
    destination->failed = false;
    JpegErrorJump error{};
    jpeg_compress_struct info{};
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = jumpBack;
    error.manager.output_message = noMessage;
    const bool done = compress(info, error, *destination, pixels, quality, dotsPerInchX, dotsPerInchY);
    jpeg_destroy_compress(&info);
    if (!done || destination->failed || out.empty())
        return std::nullopt;
    return out;
}

} // namespace

std::optional<std::vector<std::uint8_t>>
NSBitmapImageRep::jpegRepresentation(double compressionFactor, int dotsPerInchX, int dotsPerInchY) const {
    const QImage pixels = bitmap_.pixels();
    if (pixels.isNull() || dotsPerInchX < 1 || dotsPerInchY < 1)
        return std::nullopt;
    const int quality = static_cast<int>(std::lround(std::clamp(compressionFactor, 0.0, 1.0) * 100.0));
    if (pixels.format() == QImage::Format_Grayscale8 || pixels.format() == QImage::Format_RGB32)
        return encodeJPEG(pixels, quality, dotsPerInchX, dotsPerInchY);
    return encodeJPEG(pixels.convertToFormat(QImage::Format_RGB32), quality, dotsPerInchX, dotsPerInchY);
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
    // A file that cannot be read (missing, a folder, an I/O error) has no bitmap.
    const posix::FileContents file = posix::readFile(path_);
    if (!file.ok())
        return std::nullopt;
    return decodeFile(std::span(reinterpret_cast<const std::uint8_t*>(file.bytes.data()), file.bytes.size()));
}

std::optional<NSBitmapImageRep> NSImage::bitmapRepresentation() const {
    auto bitmap = cgImage();
    if (!bitmap)
        return std::nullopt;
    return NSBitmapImageRep(*bitmap);
}

} // namespace tbx::appkit
