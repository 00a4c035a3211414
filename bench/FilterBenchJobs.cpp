#include "FilterBenchJobs.h"

#include "printfilter/Halftone.h"
#include "printfilter/PageScaler.h"
#include "printfilter/RasterPageReader.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <stdexcept>
#include <unistd.h>

namespace tbx::bench {
namespace {

const char* const words[] = {"printer", "page",    "the",     "of",     "and",     "stream",  "raster",
                             "toner",   "paper",   "a",       "to",     "in",      "driver",  "queue",
                             "job",     "is",      "with",    "for",    "that",    "scanner", "network",
                             "quality", "darker",  "office",  "report", "figure",  "table",   "result",
                             "each",    "when",    "after",   "before", "line",    "column",  "section",
                             "summary", "monthly", "invoice", "order",  "delivery"};

void text(std::string& ps, std::mt19937& rng, double left, double top, double width, double bottom,
          double size) {
    char buf[256];
    std::snprintf(buf, sizeof buf, "/Times-Roman findfont %.1f scalefont setfont\n", size);
    ps += buf;
    const double lead = size * 1.25;
    for (double y = top; y > bottom; y -= lead) {
        std::string line;
        // About 1/2 of a point per character at this size, a little less for Times.
        const std::size_t chars = static_cast<std::size_t>(width / (size * 0.46));
        while (line.size() < chars)
            line += std::string(words[rng() % (sizeof words / sizeof *words)]) + " ";
        if (rng() % 9 == 0)
            line.resize(line.size() / 2); // the end of a paragraph
        std::snprintf(buf, sizeof buf, "%.1f %.1f moveto (", left, y);
        ps += buf;
        ps += line;
        ps += ") show\n";
    }
}

void heading(std::string& ps, double x, double y, double size, const std::string& title) {
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "/Helvetica-Bold findfont %.0f scalefont setfont %.1f %.1f moveto (%s) show\n", size, x, y,
                  title.c_str());
    ps += buf;
}

// A photo-like grey image: smooth shapes at several scales with fine texture, hex encoded.
void photo(std::string& ps, unsigned seed, int w, int h, double x, double y, double sw, double sh) {
    std::mt19937 rng(seed);
    const int grain = 9;
    std::vector<double> coarse[3];
    const int cells[3] = {4, 13, 41};
    for (int o = 0; o < 3; ++o) {
        coarse[o].resize(static_cast<std::size_t>(cells[o] + 2) * (cells[o] + 2));
        for (auto& v : coarse[o])
            v = std::uniform_real_distribution<double>(-1, 1)(rng);
    }
    auto noise = [&](int o, double u, double v) {
        const int n = cells[o] + 2;
        const double fx = u * cells[o], fy = v * cells[o];
        const int ix = static_cast<int>(fx), iy = static_cast<int>(fy);
        const double tx = fx - ix, ty = fy - iy;
        const double sx = tx * tx * (3 - 2 * tx), sy = ty * ty * (3 - 2 * ty);
        auto at = [&](int a, int b) { return coarse[o][static_cast<std::size_t>(b) * n + a]; };
        return (at(ix, iy) * (1 - sx) + at(ix + 1, iy) * sx) * (1 - sy) +
               (at(ix, iy + 1) * (1 - sx) + at(ix + 1, iy + 1) * sx) * sy;
    };
    char buf[512];
    std::snprintf(
        buf, sizeof buf,
        "gsave %.1f %.1f translate %.1f %.1f scale /DeviceGray setcolorspace\n"
        "<< /ImageType 1 /Width %d /Height %d /BitsPerComponent 8 /Decode [0 1] /Interpolate true\n"
        "   /ImageMatrix [%d 0 0 -%d 0 %d] /DataSource currentfile /ASCIIHexDecode filter >> image\n",
        x, y, sw, sh, w, h, w, h, h);
    ps += buf;
    static const char hex[] = "0123456789abcdef";
    std::string line;
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c) {
            const double u = static_cast<double>(c) / w, v = static_cast<double>(r) / h;
            double g = 130 + 80 * noise(0, u, v) + 45 * noise(1, u, v) + 20 * noise(2, u, v);
            g += static_cast<int>(rng() % (2 * grain + 1)) - grain;
            const int b = std::clamp(static_cast<int>(g), 0, 255);
            line += hex[b >> 4];
            line += hex[b & 15];
            if (line.size() >= 128) {
                ps += line;
                ps += '\n';
                line.clear();
            }
        }
    ps += line;
    ps += ">\ngrestore\n";
}

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("failed: " + command);
}

void save(const std::string& path, const std::string& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0)
        throw std::runtime_error("cannot write " + path);
}

// Sends standard error to /dev/null while it lives.
class QuietStderr {
public:
    QuietStderr() {
        std::fflush(stderr);
        saved_ = ::dup(2);
        const int devNull = ::open("/dev/null", O_WRONLY);
        ::dup2(devNull, 2);
        ::close(devNull);
    }
    ~QuietStderr() {
        std::fflush(stderr);
        ::dup2(saved_, 2);
        ::close(saved_);
    }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

private:
    int saved_;
};

// A raster file opened for reading or writing.
class RasterFile {
public:
    RasterFile(const std::string& path, cups_mode_t mode) {
        fd_ = mode == CUPS_RASTER_READ ? ::open(path.c_str(), O_RDONLY | O_CLOEXEC)
                                       : ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ras_ = fd_ >= 0 ? cupsRasterOpen(fd_, mode) : nullptr;
        if (!ras_) {
            if (fd_ >= 0)
                ::close(fd_);
            throw std::runtime_error("cannot open the raster file " + path);
        }
    }
    ~RasterFile() {
        cupsRasterClose(ras_);
        ::close(fd_);
    }
    RasterFile(const RasterFile&) = delete;
    RasterFile& operator=(const RasterFile&) = delete;
    cups_raster_t* get() const { return ras_; }

private:
    int fd_ = -1;
    cups_raster_t* ras_ = nullptr;
};

std::string pbmOf(const PackedPage& p) {
    std::string s = "P4\n" + std::to_string(p.width) + " " + std::to_string(p.height) + "\n";
    s.append(reinterpret_cast<const char*>(p.bits.data()), p.bits.size());
    return s;
}

} // namespace

const char* contentName(Content c) {
    switch (c) {
    case Content::Text:
        return "text";
    case Content::Mixed:
        return "mixed";
    case Content::Photo:
        return "photo";
    }
    return "?";
}

std::string documentPostScript(Content content, int pages) {
    std::string ps = "%!PS-Adobe-3.0\n<< /PageSize [595 842] >> setpagedevice\n";
    for (int n = 1; n <= pages; ++n) {
        std::mt19937 rng(1000 * static_cast<unsigned>(content) + n);
        const std::string title = std::string(contentName(content)) + " page " + std::to_string(n);
        switch (content) {
        case Content::Text:
            heading(ps, 56, 790, 18, "Quarterly " + title);
            text(ps, rng, 56, 762, 483, 40, 10.5);
            break;
        case Content::Mixed:
            heading(ps, 56, 790, 18, "Report " + title);
            text(ps, rng, 56, 764, 483, 560, 10);
            photo(ps, 77 + n, 900, 600, 56, 290, 330, 220);
            for (int b = 0; b < 6; ++b) { // a bar chart in grey levels beside the picture
                char buf[128];
                std::snprintf(buf, sizeof buf, "%.2f setgray %d 290 22 %d rectfill\n", b / 6.0, 400 + b * 24,
                              40 + static_cast<int>(rng() % 170));
                ps += buf;
            }
            ps += "0 setgray\n";
            text(ps, rng, 56, 270, 483, 40, 10);
            break;
        case Content::Photo:
            photo(ps, 31 + n, 1200, 1700, 12, 12, 571, 818);
            break;
        }
        ps += "showpage\n";
    }
    return ps;
}

JobInputs jobFiles(Content content, int pages, const std::string& folder) {
    JobInputs job;
    job.content = content;
    job.pages = pages;
    job.base = folder + "/" + contentName(content) + "-" + std::to_string(pages);
    job.raster = job.base + ".ras";
    for (int n = 1; n <= pages; ++n)
        job.pagePbm.push_back(job.base + "-" + std::to_string(n) + ".pbm");
    job.allPbm = job.base + ".all.pbm";
    job.bilevelRaster = job.base + ".1bit.ras";
    if (std::FILE* f = std::fopen(job.pagePbm[0].c_str(), "rb")) {
        if (std::fscanf(f, "P4 %d %d", &job.width, &job.height) != 2)
            job.width = job.height = 0;
        std::fclose(f);
    }
    return job;
}

void makeJob(const JobInputs& job, const std::string& ppd, int darkness) {
    save(job.base + ".ps", documentPostScript(job.content, job.pages));
    run("gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pdfwrite -sOutputFile=" + job.base + ".pdf " + job.base +
        ".ps");
    run("cupsfilter -p " + ppd + " -m application/vnd.cups-raster " + job.base + ".pdf > " + job.raster +
        " 2> " + job.base + ".cupsfilter.log");

    // The halftoned pages: the filter's own page path on each raster page.
    RasterFile in(job.raster, CUPS_RASTER_READ);
    RasterFile bilevel(job.bilevelRaster, CUPS_RASTER_WRITE);
    std::string all;
    cups_page_header2_t h;
    int n = 0;
    {
        const QuietStderr quiet; // the stages' DEBUG lines
        for (; cupsRasterReadHeader2(in.get(), &h); ++n) {
            if (!checkRasterHeader(h).empty() || n >= job.pages)
                break;
            RasterPage page = readRasterPage(in.get(), h, false);
            const PackedPage packed = halftone(zoomGrayPage(std::move(page.page), 1.0), darkness);
            const std::string pbm = pbmOf(packed);
            save(job.pagePbm[n], pbm);
            all += pbm;

            cups_page_header2_t b = h;
            b.cupsBitsPerColor = b.cupsBitsPerPixel = 1;
            b.cupsBytesPerLine = static_cast<unsigned>(packed.bytesPerRow);
            b.cupsColorSpace = CUPS_CSPACE_K;
            b.cupsColorOrder = CUPS_ORDER_CHUNKED;
            b.cupsNumColors = 1;
            cupsRasterWriteHeader2(bilevel.get(), &b);
            cupsRasterWritePixels(bilevel.get(), const_cast<unsigned char*>(packed.bits.data()),
                                  static_cast<unsigned>(packed.bits.size()));
        }
    }
    if (n != job.pages)
        throw std::runtime_error(job.raster + " holds " + std::to_string(n) + " pages of 8-bit grey, not " +
                                 std::to_string(job.pages));
    save(job.allPbm, all);
}

} // namespace tbx::bench
