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

struct CaptureConversion {
    std::string rasterPath = rasterCapturePath;
    std::string pgmPath = "/var/spool/cups/tmp/page.pgm"; // rewritten for every page
    std::string pbmPath = "/var/spool/cups/tmp/page.pbm"; // rewritten for every page
    std::string jbigBase = "/var/spool/cups/tmp/page";    // "<base>-%04d.jbig" per page
    int imageDarkness = 0;
};

// Converts every page of the captured raster. Returns the number of pages converted, or -1 when
// the raster file cannot be opened.
int convertCapturedRaster(const CaptureConversion& conversion = {});

// Entry of the conversion tool: converts the default capture file; an optional first argument
// names another raster file and an optional second the folder for the output files.
int maint(int argc, char** argv);

} // namespace tbx
