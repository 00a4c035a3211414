#pragma once

// Reading the job's CUPS raster page by page into 8-bit grey pages. Only 8-bit one-channel grey
// raster is taken (white-is-255 grey, sGrey, or black-is-255 K, which is turned into grey); page
// sizes whose buffers would overflow or exhaust memory are refused. Rows the raster does not
// supply (a page that ends early) are white.

#include "printfilter/GrayPage.h"

#include <cstddef>
#include <cstring>
#include <cups/raster.h>
#include <string>

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
