#pragma once

// Page images: the whole 8-bit grey page (the raster conversion tool and the page-at-a-time
// stages, which take their input by value and return their output) and the packed 1-bit page the
// printer prints, which the filter makes straight from the raster rows and JBIG-encodes.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tbx {

// 8-bit grey page, one byte per pixel, 0 black and 255 white, rows top to bottom.
struct GrayPage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels; // width × height bytes, row r at r × width

    GrayPage() = default;
    // An all-white page of the given size.
    GrayPage(int w, int h)
        : width(w), height(h), pixels(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), 255) {}

    std::uint8_t* row(int y) { return pixels.data() + static_cast<std::size_t>(y) * width; }
    const std::uint8_t* row(int y) const { return pixels.data() + static_cast<std::size_t>(y) * width; }
};

// 1-bit page as the printer prints it: (width + 7) / 8 bytes per row, the most significant bit
// is the leftmost pixel, a 1 bit is black. Pad bits after the last pixel of a row are 0 (white).
struct PackedPage {
    int width = 0;
    int height = 0;
    int bytesPerRow = 0;
    std::vector<std::uint8_t> bits;

    PackedPage() = default;
    // An all-white page of the given size.
    PackedPage(int w, int h)
        : width(w), height(h), bytesPerRow((w + 7) / 8),
          bits(static_cast<std::size_t>(bytesPerRow) * static_cast<std::size_t>(h), 0) {}

    std::uint8_t* row(int y) { return bits.data() + static_cast<std::size_t>(y) * bytesPerRow; }
    const std::uint8_t* row(int y) const { return bits.data() + static_cast<std::size_t>(y) * bytesPerRow; }
    bool pixel(int x, int y) const { return (row(y)[x / 8] >> (7 - x % 8)) & 1; }
};

} // namespace tbx
