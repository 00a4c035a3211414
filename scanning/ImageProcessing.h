// The page files of a scan: each received page written as a 1-bit BMP or a JPEG
// (turned and scaled as the settings ask), pages joined two by two into sheets,
// and the JPEG pages gathered into one PDF. Free functions with no state kept
// between calls; every file is written whole under a temporary name in its
// folder and then renamed into place, so no reader ever sees a partial file,
// and gets the same mode (0666 less the umask, TemporaryFile). JPEG files state
// the scan's resolution; the BMP header's resolution fields stay 0.
#pragma once

#include "platform/appkit/AppKit.h"
#include "scanning/ResultPair.h"
#include "scanning/ScanCommand.h"

#include <concepts>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace tbx {

// The fields of a BMP file header and information header, in file order.
struct BMPHeader {
    static constexpr std::uint8_t bfType0 = 0x42; // "B"
    static constexpr std::uint8_t bfType1 = 0x4D; // "M"
    std::uint32_t bfSize = 0;
    std::uint16_t bfReserved1 = 0;
    std::uint16_t bfReserved2 = 0;
    std::uint32_t bfOffBits = 62;
    std::uint32_t biSize = 40;
    std::uint32_t biWidth = 0;
    std::uint32_t biHeight = 0;
    std::uint16_t biPlanes = 1;
    std::uint16_t biBitCount = 1;
    std::uint32_t biCompression = 0;
    std::uint32_t biSizeImage = 0;
    std::uint32_t biXPelsPerMeter = 0;
    std::uint32_t biYPelsPerMeter = 0;
    std::uint32_t biClrUsed = 2;
    std::uint32_t biClrImportant = 0;

    friend bool operator==(const BMPHeader&, const BMPHeader&) = default;
};

// The bytes of `value`, little-endian, as many as the type is wide.
template <std::integral T>
std::vector<std::uint8_t> byteArray(T value) {
    std::vector<std::uint8_t> bytes(sizeof(T));
    auto bits = static_cast<std::make_unsigned_t<T>>(value);
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        bytes[i] = static_cast<std::uint8_t>(bits & 0xFF);
        bits = static_cast<std::make_unsigned_t<T>>(bits >> 4 >> 4);
    }
    return bytes;
}

// The scan's resolution in dots per inch from `param.resolution` ("300,300"):
// the density every JPEG page file and sheet of the scan states. 72 x 72 when
// the text is not two positive numbers.
std::pair<int, int> scanResolution(const ScanParam& param);

// `filePath` + `pageNo` formatted "-%04d" + `extension` (".bmp" or ".jpg").
std::string pageFileName(const std::string& filePath, std::int64_t pageNo, const std::string& extension);

// The 62-byte header of a 1-bit BMP of `param.w` x `param.h` (two-entry palette,
// black first), printed as a bracketed list of decimals. Nothing (and a trace
// line) when a size is negative or a header field would not fit in 32 bits.
std::optional<std::vector<std::uint8_t>> getBWBMPHeader(const ScanParam& param);

// Saves one received page: a TEXT page as `filePath`-NNNN.bmp (result format
// BMP) or through save2JPEG (any other result format); every other mode's page
// through save2JPEG. (true, "saveSuccessfully") or (false, "saveImageError").
// A TEXT page shorter than h rows is completed with white rows.
ResultPair saveImages(const ScanParam& param, std::int64_t pageNo, std::span<const std::uint8_t> data);

// Decodes `data` (JPEG, or a BMP built by saveImages), scales it to 70 % for
// the two side-by-side combine modes (and turns it 180 degrees for
// "CombinVertical"), otherwise turns it by `rotateAngle` ("IDCard" pages are
// left as they are), and writes it as `filePath`-NNNN.jpg.
ResultPair save2JPEG(const ScanParam& param, std::int64_t pageNo, std::span<const std::uint8_t> data);

// Writes `image` unchanged as `filePath`-NNNN.jpg.
ResultPair save2Images(const appkit::NSImage& image, std::int64_t pageNo, const ScanParam& param);

// `image` scaled by `ratio` and turned `degree` degrees counter-clockwise about
// its centre; a quarter turn (exactly 90) exchanges the canvas sides. Nothing
// when there is no image or no canvas can be made for its pixel format.
std::optional<appkit::NSImage> imageRotate(double degree, const std::optional<appkit::NSImage>& image,
                                           double ratio);

// Joins the JPEG page files 1..pages two by two into sheets (oriation 0: side
// by side on an h x w sheet; 1: ID card, page above page on a w x h sheet),
// written as `filePath`-NNNN.jpg with the sheet numbers. The page files are
// removed only once every sheet is on disk; on failure they are left as they
// were and no sheet is written. A page count below 1 has nothing to join.
ResultPair combineImage(std::int64_t pages, std::int64_t oriation, const ScanParam& param);

// The PDF page box in points for the page size name (the paper's size rounded
// to whole points: A4 595 x 842, A5 420 x 595, B5(JIS) 516 x 729, Letter
// 612 x 792, A4 for any other name), landscape for a quarter turn (not for
// "IDCard") and for the two side-by-side combine modes.
appkit::CGSize pdfPageBox(const ScanParam& param, const std::string& pageSize);

// The PDF document of the JPEG page files 1..pages, each stretched over the
// whole page box; nothing when a page file cannot be read or pages < 0.
std::optional<std::vector<std::uint8_t>> makePDF(const ScanParam& param, std::int64_t pages,
                                                 const std::string& pageSize);

// Writes makePDF's document as `pdfDir`/yyyyMMddHHmmss.pdf (local time),
// never replacing an existing file (then -2, -3, ...). (false,
// "saveImageError") when no complete document was written.
ResultPair save2PDF(const ScanParam& param, std::int64_t pages, const std::string& pdfDir,
                    const std::string& pageSize);

// Writes `bytes` to `path` whole or not at all: a temporary file in the same
// folder, flushed to disk, then renamed over `path`. The error text, or nothing.
std::optional<std::string> writeFileWhole(const std::string& path, std::span<const std::uint8_t> bytes);

} // namespace tbx
