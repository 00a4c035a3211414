#pragma once

// Per-stage figures of the filter's page path on one raster page as cupsfilter made it: reading
// the whole grey page, scaling, halftoning and JBIG encoding one after another as the filter did
// before rows were streamed, the streamed conversion that replaced them, and JBIG-KIT's pbmtojbg
// on the same bitmap.

#include <string>

namespace tbx::bench {

struct StageFigures {
    double read = 0;           // raster page into a whole grey page
    double scale10 = 0;        // scaling at 1.0 (hands the page on)
    double scale09 = 0;        // scaling at 0.9
    double halftone = 0;       // grey page to 1-bit page
    double encode = 0;         // JBIG into a spool file
    double pbmtojbg = -1;      // pbmtojbg -q on the same bitmap, a whole process run; -1 when absent
    double staged10 = 0;       // read + scale + halftone + encode at 1.0, stage after stage
    double staged09 = 0;       // the same at 0.9
    double streamed10 = 0;     // rows streamed from the raster into the 1-bit page at 1.0 (no encoding)
    double streamed09 = 0;     // the same at 0.9
    double streamedTurned = 0; // the same at 1.0 for a turned back side
};

// Seconds per stage (medians of runs) for the first page of the raster file, at the darkness
// level; tmp is a folder for spool files.
StageFigures measureStages(const std::string& rasterFile, int darkness, int runs, const std::string& tmp);

} // namespace tbx::bench
