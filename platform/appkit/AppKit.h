// Stands in for the AppKit image classes that the page files use: `NSImage`, an
// image with a nominal size in points over one bitmap, made from image file data,
// from a file read when first needed, or from a bitmap; and `NSBitmapImageRep`,
// its bitmap with pixel dimensions and JPEG encoding at a compression factor.
// Decoding (JPEG, BMP) uses Qt 6 Gui without a display; JPEG encoding uses
// libjpeg (the library under Qt's JPEG plugin) on the bitmap's rows. A decoded
// file's nominal size equals its pixel size, whatever density the file states:
// the scan road relies on pixel sizes only.
// Left out: multiple representations, TIFF bytes, other file types and properties.
#pragma once

#include "platform/appkit/CoreGraphics.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tbx::appkit {

class NSBitmapImageRep {
public:
    explicit NSBitmapImageRep(CGImage bitmap) : bitmap_(std::move(bitmap)) {}
    int pixelsWide() const { return bitmap_.width(); }
    int pixelsHigh() const { return bitmap_.height(); }
    const CGImage& cgImage() const { return bitmap_; }
    // JPEG file bytes at `compressionFactor` (0.0 strongest compression, 1.0
    // least loss) that state a density of `dotsPerInchX` x `dotsPerInchY`
    // (JFIF, dots per inch; at most 65535); grey bitmaps give one-component
    // JPEGs. The pixels are those Qt's JPEG writer gives at the same quality;
    // the Huffman tables are optimised for the image, and its pixels are not
    // copied. Nothing on failure or for a density below 1.
    std::optional<std::vector<std::uint8_t>>
    jpegRepresentation(double compressionFactor, int dotsPerInchX = 72, int dotsPerInchY = 72) const;

private:
    CGImage bitmap_;
};

class NSImage {
public:
    // init(data:): nothing when the bytes are not a readable JPEG or BMP image.
    static std::optional<NSImage> fromData(std::span<const std::uint8_t> data);
    // init(byReferencingFile:): nothing is read until the bitmap is asked for.
    static NSImage byReferencingFile(std::string path);
    // init(cgImage:size:).
    NSImage(CGImage bitmap, CGSize size);

    CGSize size() const;
    // cgImage(forProposedRect:context:hints:): the image's one bitmap, whatever
    // the proposed rectangle; nothing when a referenced file is missing or unreadable.
    std::optional<CGImage> cgImage(std::optional<CGRect> proposedRect = std::nullopt) const;
    // The first representation, as `tiffRepresentation` read back by
    // NSBitmapImageRep(data:) gives it.
    std::optional<NSBitmapImageRep> bitmapRepresentation() const;

private:
    NSImage() = default;
    std::optional<CGImage> bitmap_;
    CGSize size_;
    std::string path_; // set for an image by reference
};

} // namespace tbx::appkit
