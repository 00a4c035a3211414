#pragma once

// One raster page turned into the printer's 1-bit page without a grey page: each raster row is
// read into one row buffer and halftoned straight into the packed page (a turned back side's row
// y goes to row height - 1 - y, reversed, with that row's thresholds); a scaled page keeps only
// the two source rows the scaler interpolates. The bits are those of reading the whole grey page,
// scaling it and halftoning it.

#include "printfilter/GrayPage.h"

#include <cups/raster.h>
#include <string>

namespace tbx {

struct PageConversion {
    bool turn = false; // the back side of a long-edge two-sided job: turned by 180 degrees
    double scaleRatio = 1.0;
    int imageDarkness = 0;
};

enum class ConversionFailure {
    None,
    NoRasterMemory,   // the row buffers: nothing of the page was read
    NoScaleMemory,    // the scaler's buffers
    NoHalftoneMemory, // the packed page
};

struct ConvertedPage {
    PackedPage page;
    int rowsRead = 0; // rows the raster supplied; the rest of the page is white
    ConversionFailure failure = ConversionFailure::None;
};

// Converts the page whose header was just read (it must have passed checkRasterHeader) and reads
// the raster to the end of the page. The trace lines of scaling and halftoning, and the line of a
// failure, are appended to log as the filter writes them.
ConvertedPage convertRasterPage(cups_raster_t* ras, const cups_page_header2_t& header,
                                const PageConversion& how, std::string& log);

} // namespace tbx
