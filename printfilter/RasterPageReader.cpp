#include "printfilter/RasterPageReader.h"

#include <algorithm>
#include <cstdio>

namespace tbx {

std::string checkRasterHeader(const cups_page_header2_t& h, const RasterLimits& limits) {
    char why[256];
    const unsigned space = rawHeaderValue(h.cupsColorSpace);
    const bool grey = space == CUPS_CSPACE_W || space == CUPS_CSPACE_SW || space == CUPS_CSPACE_K;
    if (h.cupsBitsPerColor != 8 || h.cupsBitsPerPixel != 8 || !grey || h.cupsNumColors > 1) {
        std::snprintf(why, sizeof why,
                      "unsupported raster (%u bits per colour, %u bits per pixel, colour space %u); "
                      "the printer needs 8-bit grey",
                      h.cupsBitsPerColor, h.cupsBitsPerPixel, space);
        return why;
    }
    if (h.cupsWidth == 0 || h.cupsHeight == 0) {
        std::snprintf(why, sizeof why, "empty raster page (%u x %u)", h.cupsWidth, h.cupsHeight);
        return why;
    }
    if (h.cupsBytesPerLine != h.cupsWidth) {
        std::snprintf(why, sizeof why, "raster line of %u bytes for a width of %u pixels", h.cupsBytesPerLine,
                      h.cupsWidth);
        return why;
    }
    if (h.cupsWidth > limits.maxSide || h.cupsHeight > limits.maxSide ||
        static_cast<unsigned long long>(h.cupsWidth) * h.cupsHeight > limits.maxPixels) {
        std::snprintf(why, sizeof why, "raster page too large (%u x %u pixels)", h.cupsWidth, h.cupsHeight);
        return why;
    }
    return {};
}

RasterPage readRasterPage(cups_raster_t* ras, const cups_page_header2_t& header, bool turn) {
    const int w = static_cast<int>(header.cupsWidth);
    const int h = static_cast<int>(header.cupsHeight);
    RasterPage out{GrayPage(w, h), 0};
    const bool inverted = rawHeaderValue(header.cupsColorSpace) == CUPS_CSPACE_K;
    for (int y = 0; y < h; ++y) {
        std::uint8_t* row = out.page.row(turn ? h - 1 - y : y);
        if (cupsRasterReadPixels(ras, row, header.cupsBytesPerLine) == 0) {
            std::fill(row, row + w, 255); // a failed read may have filled part of the row
            break;
        }
        ++out.rowsRead;
        if (inverted)
            for (int x = 0; x < w; ++x)
                row[x] = static_cast<std::uint8_t>(255 - row[x]);
        if (turn)
            std::reverse(row, row + w);
    }
    return out;
}

} // namespace tbx
