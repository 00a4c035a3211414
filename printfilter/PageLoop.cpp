#include "printfilter/PageLoop.h"

#include "printfilter/Halftone.h"
#include "printfilter/PageScaler.h"
#include "printfilter/RasterSource.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

namespace tbx {

namespace {

// The reason a spool file could not be written, for the "ERROR:" line.
std::string spoolFailure(const SpoolDirectory& spool, int n) {
    const int error = spool.lastError();
    if (error == ENOSPC || error == EDQUOT)
        return "no space left in the temporary folder " + spool.path() + " for page " + std::to_string(n);
    return "cannot write the spool file of page " + std::to_string(n) + ": " +
           std::strerror(error ? error : EIO);
}

} // namespace

void PageLoop::fail(const std::string& why) {
    if (!why.empty())
        std::fprintf(stderr, "ERROR: [Tamberlyx] %s\n", why.c_str());
    result_.failed = true;
}

bool PageLoop::convertPage(int n, const cups_page_header2_t& header) {
    const bool turn = options_.isDuplex == 2 && n % 2 == 0;
    RasterPage raster;
    try {
        raster = readRasterPage(ras_, header, turn);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "DEBUG:[Tamberlyx] failed to locate temp image memory size=%llu\n",
                     static_cast<unsigned long long>(header.cupsWidth) * header.cupsHeight);
        fail("not enough memory for page " + std::to_string(n));
        return false;
    }
    // Rows the raster never supplied are lost content, not white paper.
    if (raster.rowsRead < raster.page.height) {
        fail(shortPageError(n, raster.rowsRead, raster.page.height));
        return false;
    }
    sizes_[n] = {raster.page.width, raster.page.height};

    GrayPage scaled;
    try {
        scaled = zoomGrayPage(std::move(raster.page), options_.scaleRatio);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "DEBUG:[Tamberlyx]:allocate zoom page image memory failed\n");
        result_.softFailure = true;
        return false;
    }
    PackedPage packed;
    try {
        packed = halftone(std::move(scaled), options_.imageDarkness);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "DEBUG: failed to locate memory for halftone line and dstImage .\n");
        result_.softFailure = true;
        return false;
    }
    if (!spool_.writePage(n, packed)) {
        fail(spoolFailure(spool_, n));
        return false;
    }
    sink_.pageConverted(n);
    return true;
}

void PageLoop::createBlankPage(int n, std::pair<int, int> size) {
    sizes_[n] = size;
    if (!spool_.writePage(n, PackedPage(size.first, size.second)))
        fail(spoolFailure(spool_, n));
}

void PageLoop::sendOnePage(int n) {
    if (stopped())
        return;
    if (sink_.cancelRequested()) {
        result_.cancelled = true;
        spool_.remove(); // the cancel ends the process: nothing of the job may stay behind
        sink_.cancelJob();
        return;
    }
    sink_.pageSending(n);
    const auto size = sizes_.at(n);
    sink_.sendPageHeader(size.first, size.second);
    bool whole = !sink_.printerLost() && sink_.sendPageData(spool_.pagePath(n));
    if (sink_.printerLost()) {
        fail({}); // the job stream has said why
        return;
    }
    if (!whole)
        result_.softFailure = true;
    sink_.endOfPage();
    if (sink_.printerLost()) {
        fail({});
        return;
    }
    // The blank back side of an odd two-sided job is no page of the document.
    if (whole && n <= result_.pagesRead)
        sink_.pageSent(n, options_.collate ? 1 : options_.copies);
}

void PageLoop::sendPair(int back, int front) {
    sendOnePage(back);
    sendOnePage(front);
}

PageLoopResult PageLoop::run() {
    const bool duplex = options_.isDuplex != 0;
    int i = 1;
    cups_page_header2_t header;
    bool endOfRaster = false;
    while (!result_.softFailure && !stopped()) {
        if (!cupsRasterReadHeader2(ras_, &header)) {
            endOfRaster = true;
            break;
        }
        std::fprintf(stderr, "DEBUG:[Tamberlyx] raster image width =%u  height = %u\n", header.cupsWidth,
                     header.cupsHeight);
        const std::string refusal = checkRasterHeader(header, options_.limits);
        if (!refusal.empty()) {
            fail("page " + std::to_string(i) + ": " + refusal);
            break;
        }
        result_.pagesRead = i; // page i's own sends may already count it as a document page
        if (!convertPage(i, header))
            break;
        if (!duplex)
            sendOnePage(i);
        else if (i % 2 == 0)
            sendPair(i, i - 1);
        ++i;
    }
    const int pages = i - 1;
    result_.pagesRead = pages;
    std::fprintf(stderr, "DEBUG:[Tamberlyx] total page number =  %d ========================\n", i);
    std::fprintf(stderr, "DEBUG: total page number =  %d ========================\n", pages);
    if (endOfRaster) {
        const std::string why =
            rasterEndError(pages, options_.checkRasterEnd ? options_.checkRasterEnd() : std::string());
        if (!why.empty())
            fail(why);
    }
    if (stopped())
        return result_;

    if (duplex && pages % 2 == 1) {
        createBlankPage(pages + 1, sizes_.at(pages));
        sendPair(pages + 1, pages);
    }
    if (options_.collate) {
        for (int k = 2; k <= options_.copies && !stopped(); ++k) {
            std::fprintf(stderr, "DEBUG:send copy = %d and total copies = %d ========================\n", k,
                         options_.copies);
            if (!duplex) {
                for (int p = 1; p <= pages; ++p)
                    sendOnePage(p);
            } else {
                for (int p = 1; p <= pages; p += 2)
                    sendPair(p + 1, p);
            }
        }
    }
    return result_;
}

} // namespace tbx
