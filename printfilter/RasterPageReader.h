#pragma once

// Reading the job's CUPS raster row by row, or a page at a time into an 8-bit grey page. Only
// 8-bit one-channel grey raster is taken (white-is-255 grey, sGrey, or black-is-255 K, which is
// turned into grey); page sizes whose buffers would overflow or exhaust memory are refused. Rows
// the raster does not supply (a page that ends early) are white.

#include "printfilter/GrayPage.h"

#include <cstddef>
#include <cstring>
#include <cups/raster.h>
#include <string>
#include <vector>

namespace tbx {

struct RasterLimits {
    // A4 at 600 dpi is 4961 × 7016 (35 million pixels); the limit leaves room for the largest
    // media at 1200 dpi while keeping the page's few buffers well below a gigabyte.
    std::size_t maxPixels = std::size_t{1} << 28;
    unsigned maxSide = 100000;
};

// The value of an enum field of a raster header as the stream carries it: the stream may hold any
// 32-bit value, which is not necessarily one of the enum's values.
template <typename E>
unsigned rawHeaderValue(const E& field) {
    static_assert(sizeof(E) == sizeof(unsigned));
    unsigned v;
    std::memcpy(&v, &field, sizeof v);
    return v;
}

// Empty when the page header describes raster the filter can print, else the reason, for the
// "ERROR:" line.
std::string checkRasterHeader(const cups_page_header2_t& header, const RasterLimits& limits = {});

// The rows of the page whose header was just read, one at a time through one row buffer, in the
// order the raster holds them. With turn set (the back side of a long-edge two-sided job) every
// row comes reversed; the caller places raster row y at page row height - 1 - y. The header must
// have passed checkRasterHeader. The constructor throws std::bad_alloc when the row buffers
// cannot be had.
class RasterRowReader {
public:
    RasterRowReader(cups_raster_t* ras, const cups_page_header2_t& header, bool turn);

    int width() const { return width_; }
    int height() const { return height_; }
    bool turned() const { return turn_; }
    // Raster rows handed out or skipped so far: the index of the row next() gives next.
    int position() const { return position_; }
    // Rows the raster supplied so far; after the first row it fails to supply, every row is white.
    int rowsRead() const { return rowsRead_; }

    // The next row, grey (0 black, 255 white), width() bytes, valid until the next call.
    const std::uint8_t* next();
    // Reads and drops rows up to (not including) raster row y.
    void skipTo(int y);
    // Reads and drops the rest of the page, so that the next page header can be read.
    void finish() { skipTo(height_); }

private:
    bool read(std::uint8_t* into);

    cups_raster_t* ras_;
    unsigned bytesPerLine_;
    int width_, height_;
    bool turn_, inverted_;
    int position_ = 0, rowsRead_ = 0;
    bool ended_ = false;
    std::vector<std::uint8_t> raw_, row_;
};

struct RasterPage {
    GrayPage page;
    int rowsRead = 0; // rows the raster supplied; the rest of the page is white
};

// Reads the rows of the page whose header was just read. With turn set (the back side of a
// long-edge two-sided job) the page is turned by 180 degrees: the last row read is the top row and
// each row is reversed. The header must have passed checkRasterHeader. Throws std::bad_alloc when
// the page buffer cannot be had.
RasterPage readRasterPage(cups_raster_t* ras, const cups_page_header2_t& header, bool turn);

} // namespace tbx
