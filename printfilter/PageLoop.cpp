#include "printfilter/PageLoop.h"

#include "printfilter/Halftone.h"
#include "printfilter/PageScaler.h"

#include <cstdio>
#include <new>

namespace tbx {

bool PageLoop::convertPage(int n, const cups_page_header2_t& header) {
    const bool turn = options_.isDuplex == 2 && n % 2 == 0;
    RasterPage raster;
    try {
        raster = readRasterPage(ras_, header, turn);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "DEBUG:[Tamberlyx] failed to locate temp image memory size=%llu\n",
                     static_cast<unsigned long long>(header.cupsWidth) * header.cupsHeight);
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
    if (!spool_.writePage(n, packed))
        std::fprintf(stderr, "DEBUG:[Tamberlyx] cannot write spool file %s\n", spool_.pagePath(n).c_str());
    sink_.pageConverted(n);
    return true;
}

void PageLoop::createBlankPage(int n, std::pair<int, int> size) {
    sizes_[n] = size;
    if (!spool_.writePage(n, PackedPage(size.first, size.second)))
        std::fprintf(stderr, "DEBUG:[Tamberlyx] cannot write spool file %s\n", spool_.pagePath(n).c_str());
}

void PageLoop::sendOnePage(int n) {
    if (result_.cancelled)
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
    if (!sink_.sendPageData(spool_.pagePath(n)))
        result_.softFailure = true;
    sink_.endOfPage();
}

void PageLoop::sendPair(int back, int front) {
    sendOnePage(back);
    sendOnePage(front);
}

PageLoopResult PageLoop::run() {
    const bool duplex = options_.isDuplex != 0;
    int i = 1;
    cups_page_header2_t header;
    while (!result_.softFailure && !result_.cancelled && cupsRasterReadHeader2(ras_, &header)) {
        std::fprintf(stderr, "DEBUG:[Tamberlyx] raster image width =%u  height = %u\n", header.cupsWidth,
                     header.cupsHeight);
        const std::string refusal = checkRasterHeader(header, options_.limits);
        if (!refusal.empty()) {
            std::fprintf(stderr, "ERROR: [Tamberlyx] page %d: %s\n", i, refusal.c_str());
            result_.softFailure = true;
            break;
        }
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
    if (result_.cancelled)
        return result_;

    if (duplex && pages % 2 == 1) {
        createBlankPage(pages + 1, sizes_.at(pages));
        sendPair(pages + 1, pages);
    }
    if (options_.collate) {
        for (int k = 2; k <= options_.copies && !result_.cancelled; ++k) {
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
