// libFuzzer target of the filter's page path: arbitrary bytes as the job's CUPS raster, run through
// the whole page loop (header checks, reading, turning, scaling, halftoning, JBIG spool files, page
// order and copy passes). The first byte picks the job options. Built and run by
// scripts/fuzz-printfilter.

#include "printfilter/PageLoop.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace {

struct Input {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos = 0;
};

ssize_t readInput(void* ctx, unsigned char* buf, size_t len) {
    auto* in = static_cast<Input*>(ctx);
    const std::size_t n = std::min(len, in->size - in->pos);
    std::memcpy(buf, in->data + in->pos, n);
    in->pos += n;
    return static_cast<ssize_t>(n);
}

// Sends nothing; reads every page file back as the job stream writer would.
struct NullSink : tbx::PageSink {
    bool cancelRequested() override { return false; }
    void cancelJob() override {}
    void pageConverted(int) override {}
    void pageSending(int) override {}
    void sendPageHeader(int w, int h) override {
        if (w <= 0 || h <= 0)
            __builtin_trap();
    }
    bool sendPageData(const std::string& path) override {
        std::FILE* f = std::fopen(path.c_str(), "rb");
        if (!f)
            return false;
        char buf[4096];
        while (std::fread(buf, 1, sizeof buf, f) > 0) {
        }
        std::fclose(f);
        return true;
    }
    void endOfPage() override {}
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    static const double ratios[] = {1.0, 0.25, 0.5, 0.8, 0.9, 1.1, 1.2, 1.5};
    tbx::PageLoopOptions options;
    options.isDuplex = data[0] % 3;
    options.scaleRatio = ratios[(data[0] >> 2) % 8];
    options.imageDarkness = (data[0] >> 5) % 6;
    options.copies = 1 + (data[0] >> 7);
    options.limits.maxPixels = std::size_t{1} << 20; // keeps each run short
    options.limits.maxSide = 8192;
    options.encoderThreads = 2; // pages read ahead while others are encoded

    Input in{data + 1, size - 1};
    cups_raster_t* ras = cupsRasterOpenIO(readInput, &in, CUPS_RASTER_READ);
    if (!ras)
        return 0;
    auto spool = tbx::SpoolDirectory::create(nullptr);
    if (spool) {
        NullSink sink;
        tbx::PageLoop(ras, options, sink, *spool).run();
    }
    cupsRasterClose(ras);
    return 0;
}
