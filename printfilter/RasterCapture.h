#pragma once

// Examining a job outside the printing path: the raster the scheduler feeds to the filter can be
// captured into a file unchanged, and such a file converted offline, page by page, into the
// filter's intermediate images: the grey page (PGM, P5), the halftoned page (PBM, P4) and the JBIG
// file the printer would receive.

#include <string>

namespace tbx {

inline constexpr const char* rasterCapturePath = "/var/spool/cups/tmp/ras.prn";

// Copies everything readable from inFd into the capture file (created or truncated). Diagnostics
// go to standard error only: in the filter, standard output is the printer's stream. Returns false
// when the file cannot be created or a read or write failed.
bool saveRaster(int inFd = 0, const std::string& path = rasterCapturePath);

// The darkness the filter uses with the queue's PPD as shipped (its DefaultGammaDarkness).
inline constexpr int kDefaultDarkness = 3;

struct CaptureConversion {
    std::string rasterPath = rasterCapturePath;
    // Per page n: "<folder>/page-%04d.pgm" (grey), ".pbm" (halftoned) and ".jbig" (what the
    // printer receives).
    std::string outputFolder = "/var/spool/cups/tmp";
    int imageDarkness = kDefaultDarkness;
};

struct ConversionResult {
    int pages = 0;     // pages converted, all of their files written
    std::string error; // empty when the whole raster was converted
    bool ok() const { return error.empty(); }
};

// Converts every page of the captured raster. Stops at the first failure: a raster file that
// cannot be opened or holds no CUPS raster, a page the filter would refuse, a page cut short,
// anything after the last page that is no page, no page at all, a file that cannot be written.
// The files of the pages converted before stay.
ConversionResult convertCapturedRaster(const CaptureConversion& conversion = {});

// Entry of the conversion tool tamberlyx-raster-convert [--help] [RASTER [FOLDER]]: exit status 0
// when every page was converted, 1 on a failure (one "tamberlyx-raster-convert: ..." line on
// standard error), 2 on bad arguments.
int maint(int argc, char** argv);

} // namespace tbx
