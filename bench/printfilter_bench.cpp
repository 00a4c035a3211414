// printfilter_bench: speed and memory of the print filter's page path on A4 pages at 600 dpi
// (4961 × 7016 grey pixels): raster reading, scaling (ratio 1.0 and 0.9), halftoning and JBIG
// encoding into a spool file, for an office page and a photo-like page; and JBIG-KIT's own
// pbmtojbg on the same bitmap as the reference for the encode step.
//
//   printfilter_bench [repetitions]
//
// Peak memory is the maximum resident size of a child process that runs one page from a raster
// file through the whole path, as the filter does.

#include "printfilter/GrayPage.h"
#include "printfilter/Halftone.h"
#include "printfilter/JbigPageEncoder.h"
#include "printfilter/PageScaler.h"
#include "printfilter/RasterPageReader.h"
#include "printfilter/SpoolDirectory.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace tbx;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int pageW = 4961, pageH = 7016;

GrayPage officePage() {
    GrayPage p(pageW, pageH);
    std::mt19937 rng(7);
    // Text: 62 lines of words made of 5 × 7 glyphs at 8 pixels per dot, with grey edge pixels.
    for (int line = 0; line < 62; ++line) {
        const int top = 400 + line * 100;
        int x = 400;
        while (x < pageW - 600) {
            const int letters = 3 + static_cast<int>(rng() % 7);
            for (int c = 0; c < letters && x < pageW - 400; ++c, x += 48) {
                const std::uint32_t glyph = rng();
                for (int gy = 0; gy < 7; ++gy)
                    for (int gx = 0; gx < 5; ++gx) {
                        if (!((glyph >> ((gy * 5 + gx) % 32)) & 1))
                            continue;
                        for (int yy = 0; yy < 8; ++yy)
                            for (int xx = 0; xx < 6; ++xx) {
                                const bool edge = yy == 0 || yy == 7 || xx == 0 || xx == 5;
                                p.row(top + gy * 8 + yy)[x + gx * 6 + xx] = edge ? 96 : 0;
                            }
                    }
            }
            x += 40;
        }
    }
    // A grey logo box and a rule.
    for (int y = 150; y < 330; ++y)
        for (int x = 400; x < 1400; ++x)
            p.row(y)[x] = static_cast<std::uint8_t>(60 + (x - 400) / 6);
    for (int y = 6700; y < 6706; ++y)
        std::memset(p.row(y) + 400, 0, pageW - 800);
    return p;
}

GrayPage photoPage() {
    GrayPage p(pageW, pageH);
    std::mt19937 rng(11);
    for (int y = 0; y < pageH; ++y)
        for (int x = 0; x < pageW; ++x) {
            const double v =
                128 + 70 * std::sin(x / 310.0) * std::cos(y / 450.0) + 40 * std::sin((x + y) / 97.0);
            const int n = static_cast<int>(rng() % 25) - 12;
            p.row(y)[x] = static_cast<std::uint8_t>(std::clamp(static_cast<int>(v) + n, 0, 255));
        }
    return p;
}

std::string rasterOf(const GrayPage& page) {
    std::string out;
    auto append = [](void* ctx, unsigned char* buf, size_t len) -> ssize_t {
        static_cast<std::string*>(ctx)->append(reinterpret_cast<const char*>(buf), len);
        return static_cast<ssize_t>(len);
    };
    cups_raster_t* ras = cupsRasterOpenIO(append, &out, CUPS_RASTER_WRITE_COMPRESSED);
    cups_page_header2_t h{};
    h.HWResolution[0] = h.HWResolution[1] = 600;
    h.cupsWidth = pageW;
    h.cupsHeight = pageH;
    h.cupsBitsPerColor = h.cupsBitsPerPixel = 8;
    h.cupsBytesPerLine = pageW;
    h.cupsColorSpace = CUPS_CSPACE_W;
    h.cupsNumColors = 1;
    cupsRasterWriteHeader2(ras, &h);
    cupsRasterWritePixels(ras, const_cast<unsigned char*>(page.pixels.data()), page.pixels.size());
    cupsRasterClose(ras);
    return out;
}

struct Memory {
    const std::string* bytes;
    std::size_t pos = 0;
};

GrayPage readPage(const std::string& raster) {
    Memory m{&raster};
    auto read = [](void* ctx, unsigned char* buf, size_t len) -> ssize_t {
        auto* mem = static_cast<Memory*>(ctx);
        const std::size_t n = std::min(len, mem->bytes->size() - mem->pos);
        std::memcpy(buf, mem->bytes->data() + mem->pos, n);
        mem->pos += n;
        return static_cast<ssize_t>(n);
    };
    cups_raster_t* ras = cupsRasterOpenIO(read, &m, CUPS_RASTER_READ);
    cups_page_header2_t h;
    cupsRasterReadHeader2(ras, &h);
    RasterPage page = readRasterPage(ras, h, false);
    cupsRasterClose(ras);
    return std::move(page.page);
}

// Median wall time of runs of f, in seconds.
double timeIt(int runs, const std::function<void()>& f) {
    std::vector<double> t;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        f();
        t.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

// Runs a program and returns its wall time and peak resident size (KiB); -1 when it failed.
std::pair<double, long> runProgram(std::vector<std::string> args) {
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    struct rusage ru {};
    ::wait4(pid, &status, 0, &ru);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {-1, -1};
    return {wall, ru.ru_maxrss};
}

// The child of the memory measurement: one page from a raster file through the whole path.
int pipelineChild(const char* rasterPath, double ratio, const char* tmp) {
    const int fd = ::open(rasterPath, O_RDONLY);
    cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_READ);
    cups_page_header2_t h;
    if (!ras || !cupsRasterReadHeader2(ras, &h))
        return 1;
    auto spool = SpoolDirectory::create(nullptr, tmp);
    RasterPage page = readRasterPage(ras, h, false);
    GrayPage scaled = zoomGrayPage(std::move(page.page), ratio);
    PackedPage packed = halftone(std::move(scaled), 3);
    const bool ok = spool && spool->writePage(1, packed);
    cupsRasterClose(ras);
    ::close(fd);
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--pipeline-child") == 0)
        return pipelineChild(argv[2], std::atof(argv[3]), argv[4]);
    const int runs = argc >= 2 ? std::max(1, std::atoi(argv[1])) : 5;
    std::freopen("/dev/null", "w", stderr); // the stages' DEBUG lines
    char tmpl[] = "/tmp/tbx-bench-XXXXXX";
    const std::string tmp = ::mkdtemp(tmpl);
    const bool havePbmtojbg = std::system("command -v pbmtojbg >/dev/null 2>&1") == 0;

    std::printf("A4 600 dpi page %d x %d, median of %d runs, darkness 3 (computed screen)\n\n", pageW, pageH,
                runs);
    std::printf("%-7s %7s %8s %8s %8s %8s %8s %9s %9s %8s %8s\n", "page", "read", "scale1.0", "scale0.9",
                "halftone", "encode", "pbmtojbg", "page1.0", "page0.9", "pages/s", "peakMiB");
    for (const char* kind : {"office", "photo"}) {
        const GrayPage source = std::strcmp(kind, "office") == 0 ? officePage() : photoPage();
        const std::string raster = rasterOf(source);
        const std::string rasterPath = tmp + "/" + kind + ".ras";
        {
            std::FILE* f = std::fopen(rasterPath.c_str(), "wb");
            std::fwrite(raster.data(), 1, raster.size(), f);
            std::fclose(f);
        }
        const double tRead = timeIt(runs, [&] { (void)readPage(raster); });
        // Each stage takes its page by value; the copy of the source is made outside the timing.
        auto stage = [&](const std::function<void(GrayPage)>& f) {
            std::vector<double> t;
            for (int i = 0; i < runs; ++i) {
                GrayPage copy = source;
                const auto start = Clock::now();
                f(std::move(copy));
                t.push_back(std::chrono::duration<double>(Clock::now() - start).count());
            }
            std::sort(t.begin(), t.end());
            return t[t.size() / 2];
        };
        const double tScale1 = stage([](GrayPage p) { (void)zoomGrayPage(std::move(p), 1.0); });
        const double tScale09 = stage([](GrayPage p) { (void)zoomGrayPage(std::move(p), 0.9); });
        const double tHalftone = stage([](GrayPage p) { (void)halftone(std::move(p), 3); });
        const PackedPage packed = halftone(source, 3);
        auto spool = SpoolDirectory::create(nullptr, tmp);
        const double tEncode = timeIt(runs, [&] { spool->writePage(1, packed); });

        double tRef = -1;
        if (havePbmtojbg) {
            const std::string pbm = tmp + "/" + kind + ".pbm";
            std::FILE* f = std::fopen(pbm.c_str(), "wb");
            std::fprintf(f, "P4\n%d %d\n", packed.width, packed.height);
            std::fwrite(packed.bits.data(), 1, packed.bits.size(), f);
            std::fclose(f);
            std::vector<double> t;
            for (int i = 0; i < runs; ++i)
                t.push_back(runProgram({"pbmtojbg", "-q", pbm, tmp + "/ref.jbig"}).first);
            std::sort(t.begin(), t.end());
            tRef = t[t.size() / 2];
        }
        auto whole = [&](double ratio) {
            return timeIt(runs, [&] {
                GrayPage g = readPage(raster);
                PackedPage p = halftone(zoomGrayPage(std::move(g), ratio), 3);
                spool->writePage(1, p);
            });
        };
        const double tPage1 = whole(1.0);
        const double tPage09 = whole(0.9);
        const auto child = runProgram({"/proc/self/exe", "--pipeline-child", rasterPath, "0.9", tmp});
        std::printf("%-7s %6.0fms %6.1fms %6.1fms %6.1fms %6.0fms %6.0fms %7.0fms %7.0fms %8.2f %8.1f\n",
                    kind, tRead * 1e3, tScale1 * 1e3, tScale09 * 1e3, tHalftone * 1e3, tEncode * 1e3,
                    tRef * 1e3, tPage1 * 1e3, tPage09 * 1e3, 1.0 / tPage09, child.second / 1024.0);
        spool->remove();
    }
    std::printf("\nread: CUPS raster (compressed) to grey page; encode: JBIG into the spool file;\n"
                "pbmtojbg: JBIG-KIT's pbmtojbg -q on the same bitmap (a whole process run);\n"
                "page: read + scale + halftone + encode; pages/s at ratio 0.9;\n"
                "peakMiB: peak resident size of a process running one page through the path (ratio 0.9).\n");
    std::string cleanup = "rm -rf " + tmp;
    return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
