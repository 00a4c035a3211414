#include "printfilter/PageConverter.h"

#include "printfilter/Halftone.h"
#include "printfilter/PageScaler.h"
#include "printfilter/RasterPageReader.h"

#include <cstdio>
#include <memory>
#include <new>
#include <optional>

namespace tbx {

ConvertedPage convertRasterPage(cups_raster_t* ras, const cups_page_header2_t& header,
                                const PageConversion& how, std::string& log) {
    ConvertedPage out;
    std::optional<RasterRowReader> rows;
    try {
        rows.emplace(ras, header, how.turn);
    } catch (const std::bad_alloc&) {
        char line[128];
        std::snprintf(line, sizeof line, "DEBUG:[Tamberlyx] failed to locate temp image memory size=%llu\n",
                      static_cast<unsigned long long>(header.cupsWidth) * header.cupsHeight);
        log += line;
        out.failure = ConversionFailure::NoRasterMemory;
        return out;
    }
    const int w = rows->width();
    const int h = rows->height();
    const bool scaled = how.scaleRatio != 1.0;
    log += scaleTraceLine(w, h, how.scaleRatio);
    std::unique_ptr<ScaledRowStream> scaler;
    if (scaled) {
        try {
            scaler = std::make_unique<ScaledRowStream>(*rows, how.scaleRatio);
        } catch (const std::bad_alloc&) {
            log += "DEBUG:[Tamberlyx]:allocate zoom page image memory failed\n";
            out.failure = ConversionFailure::NoScaleMemory;
            return out;
        }
    }
    log += halftoneTraceLine(how.imageDarkness);
    try {
        out.page = PackedPage(w, h);
    } catch (const std::bad_alloc&) {
        log += "DEBUG: failed to locate memory for halftone line and dstImage .\n";
        out.failure = ConversionFailure::NoHalftoneMemory;
        return out;
    }
    const ThresholdRows thresholds = halftoneThresholds(how.imageDarkness);
    if (!scaled) {
        for (int y = 0; y < h; ++y) {
            const std::uint8_t* row = rows->next();
            const int at = how.turn ? h - 1 - y : y;
            halftoneRow(row, w, thresholds[at % ClusterHeight], out.page.row(at));
        }
    } else {
        // Rows from the scaled height down stay white: every threshold is below 255, so a white
        // pixel never prints.
        int at;
        const std::uint8_t* row;
        while (scaler->next(at, row))
            halftoneRow(row, w, thresholds[at % ClusterHeight], out.page.row(at));
        rows->finish();
    }
    out.rowsRead = rows->rowsRead();
    log += halftoneReleaseLine(how.imageDarkness);
    return out;
}

} // namespace tbx
