#pragma once

// Inputs of the print filter benchmark, made before anything is timed: documents of text, mixed
// and photo pages, turned into the raster the scheduler delivers by CUPS's own cupsfilter with
// the project's PPD, and the same pages halftoned as the filter prints them, in the forms the peer
// drivers read (one PBM file per page, all pages as one PBM stream, 1-bit CUPS raster).

#include <string>
#include <vector>

namespace tbx::bench {

enum class Content { Text, Mixed, Photo };
const char* contentName(Content c);

// PostScript of a document of the given pages; every page differs from the others.
std::string documentPostScript(Content content, int pages);

struct JobInputs {
    Content content = Content::Text;
    int pages = 0;
    int width = 0, height = 0;        // raster size of the pages
    std::string base;                 // folder and name of the job's files, without an extension
    std::string raster;               // 8-bit grey raster as cupsfilter made it
    std::vector<std::string> pagePbm; // each halftoned page as a PBM file
    std::string allPbm;               // all halftoned pages, one PBM after another
    std::string bilevelRaster;        // all halftoned pages as 1-bit CUPS raster (1 = black)
};

// The names of the job's files in folder; the size is read from the first halftoned page when
// that exists.
JobInputs jobFiles(Content content, int pages, const std::string& folder);

// Makes the job's files: the document as PDF (by Ghostscript), the raster (by cupsfilter with
// ppd), the halftoned pages at the darkness level. Throws std::runtime_error with the reason when
// a tool fails.
void makeJob(const JobInputs& job, const std::string& ppd, int darkness);

} // namespace tbx::bench
