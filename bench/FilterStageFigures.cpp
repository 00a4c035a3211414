#include "FilterStageFigures.h"

#include "ProcessRun.h"
#include "platform/posix/PosixIO.h"
#include "printfilter/GrayPage.h"
#include "printfilter/Halftone.h"
#include "printfilter/PageConverter.h"
#include "printfilter/PageScaler.h"
#include "printfilter/RasterPageReader.h"
#include "printfilter/SpoolDirectory.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>

namespace tbx::bench {
namespace {

using Clock = std::chrono::steady_clock;

// The first page of a raster file, held in memory and read again for every run.
class RasterBytes {
public:
    explicit RasterBytes(const std::string& path) {
        posix::FileContents file = posix::readFile(path);
        if (!file.ok())
            throw std::runtime_error("cannot read " + path + ": " + std::strerror(file.error));
        bytes_ = std::move(file.bytes);
    }

    // Calls f with the raster positioned after the first page header.
    template <typename F>
    void withFirstPage(F f) const {
        Reader r{&bytes_, 0};
        cups_raster_t* ras = cupsRasterOpenIO(read, &r, CUPS_RASTER_READ);
        cups_page_header2_t h;
        if (!ras || !cupsRasterReadHeader2(ras, &h)) {
            if (ras)
                cupsRasterClose(ras);
            throw std::runtime_error("no raster page");
        }
        f(ras, h);
        cupsRasterClose(ras);
    }

private:
    struct Reader {
        const std::string* bytes;
        std::size_t pos;
    };
    static ssize_t read(void* ctx, unsigned char* buf, size_t len) {
        auto* r = static_cast<Reader*>(ctx);
        const std::size_t n = std::min(len, r->bytes->size() - r->pos);
        std::memcpy(buf, r->bytes->data() + r->pos, n);
        r->pos += n;
        return static_cast<ssize_t>(n);
    }
    std::string bytes_;
};

double timeIt(int runs, const std::function<void()>& f) {
    std::vector<double> t;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        f();
        t.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    return median(t);
}

} // namespace

StageFigures measureStages(const std::string& rasterFile, int darkness, int runs, const std::string& tmp) {
    const RasterBytes raster(rasterFile);
    StageFigures s;
    GrayPage source;
    raster.withFirstPage([&](cups_raster_t* ras, const cups_page_header2_t& h) {
        source = readRasterPage(ras, h, false).page;
    });
    s.read = timeIt(runs, [&] {
        raster.withFirstPage(
            [](cups_raster_t* ras, const cups_page_header2_t& h) { (void)readRasterPage(ras, h, false); });
    });
    // Each stage takes its page by value; the copy of the source is made outside the timing.
    auto stage = [&](const std::function<void(GrayPage)>& f) {
        std::vector<double> t;
        for (int i = 0; i < runs; ++i) {
            GrayPage copy = source;
            const auto start = Clock::now();
            f(std::move(copy));
            t.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        }
        return median(t);
    };
    s.scale10 = stage([](GrayPage p) { (void)zoomGrayPage(std::move(p), 1.0); });
    s.scale09 = stage([](GrayPage p) { (void)zoomGrayPage(std::move(p), 0.9); });
    s.halftone = stage([&](GrayPage p) { (void)halftone(std::move(p), darkness); });
    const PackedPage packed = halftone(source, darkness);
    auto spool = SpoolDirectory::create(nullptr, tmp);
    if (!spool)
        throw std::runtime_error("cannot make a spool folder in " + tmp);
    s.encode = timeIt(runs, [&] { spool->writePage(1, packed); });

    const std::string pbm = tmp + "/stage.pbm";
    if (std::FILE* f = std::fopen(pbm.c_str(), "wb")) {
        std::fprintf(f, "P4\n%d %d\n", packed.width, packed.height);
        std::fwrite(packed.bits.data(), 1, packed.bits.size(), f);
        std::fclose(f);
        std::vector<double> t;
        for (int i = 0; i < runs; ++i) {
            const ProcessRun r =
                runProcess(ProcessSpec::command({"pbmtojbg", "-q", pbm, tmp + "/stage.jbg"}));
            if (!r.ok) {
                t.clear();
                break;
            }
            t.push_back(r.seconds);
        }
        if (!t.empty())
            s.pbmtojbg = median(t);
        std::remove(pbm.c_str());
        std::remove((tmp + "/stage.jbg").c_str());
    }

    auto staged = [&](double ratio) {
        return timeIt(runs, [&] {
            raster.withFirstPage([&](cups_raster_t* ras, const cups_page_header2_t& h) {
                GrayPage g = readRasterPage(ras, h, false).page;
                spool->writePage(1, halftone(zoomGrayPage(std::move(g), ratio), darkness));
            });
        });
    };
    s.staged10 = staged(1.0);
    s.staged09 = staged(0.9);
    auto streamed = [&](bool turn, double ratio) {
        return timeIt(runs, [&] {
            raster.withFirstPage([&](cups_raster_t* ras, const cups_page_header2_t& h) {
                std::string log;
                (void)convertRasterPage(ras, h, {turn, ratio, darkness}, log);
            });
        });
    };
    s.streamed10 = streamed(false, 1.0);
    s.streamed09 = streamed(false, 0.9);
    s.streamedTurned = streamed(true, 1.0);
    return s;
}

} // namespace tbx::bench
