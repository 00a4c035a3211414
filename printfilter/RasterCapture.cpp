#include "printfilter/RasterCapture.h"

#include "printfilter/Halftone.h"
#include "printfilter/JbigPageEncoder.h"
#include "printfilter/RasterPageReader.h"
#include "printfilter/RasterSource.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cups/raster.h>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tbx {
namespace {

bool writeFile(const std::string& path, const char* header, const std::uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = std::fputs(header, f) >= 0 && std::fwrite(data, 1, size, f) == size;
    ok = (std::fclose(f) == 0) && ok;
    return ok;
}

void printHeader(const cups_page_header2_t& h) {
    std::printf("DEBUG: cupsBytesPerLine=%u\n", h.cupsBytesPerLine);
    std::printf("DEBUG: Duplex = %d\n", static_cast<int>(rawHeaderValue(h.Duplex)));
    std::printf("DEBUG: HWResolution = [ %d %d ]\n", h.HWResolution[0], h.HWResolution[1]);
    std::printf("DEBUG: ImagingBoundingBox = [ %d %d %d %d ]\n", h.ImagingBoundingBox[0],
                h.ImagingBoundingBox[1], h.ImagingBoundingBox[2], h.ImagingBoundingBox[3]);
    std::printf("DEBUG: ManualFeed = %d\n", static_cast<int>(rawHeaderValue(h.ManualFeed)));
    std::printf("DEBUG: MediaPosition = %d\n", h.MediaPosition);
    std::printf("DEBUG: NumCopies = %d\n", h.NumCopies);
    std::printf("DEBUG: Orientation = %d\n", static_cast<int>(rawHeaderValue(h.Orientation)));
    std::printf("DEBUG: PageSize = [ %d %d ]\n", h.PageSize[0], h.PageSize[1]);
    std::printf("DEBUG: cupsWidth = %d\n", h.cupsWidth);
    std::printf("DEBUG: cupsHeight = %d\n", h.cupsHeight);
    std::printf("DEBUG: cupsMediaType = %d\n", h.cupsMediaType);
    std::printf("DEBUG: cupsBitsPerColor = %d\n", h.cupsBitsPerColor);
    std::printf("DEBUG: cupsBitsPerPixel = %d\n", h.cupsBitsPerPixel);
    std::printf("DEBUG: cupsBytesPerLine = %d\n", h.cupsBytesPerLine);
    std::printf("DEBUG: cupsColorOrder = %d\n", static_cast<int>(rawHeaderValue(h.cupsColorOrder)));
    std::printf("DEBUG: cupsColorSpace = %d\n", static_cast<int>(rawHeaderValue(h.cupsColorSpace)));
    std::printf("DEBUG: cupsCompression = %d\n", h.cupsCompression);
}

} // namespace

bool saveRaster(int inFd, const std::string& path) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) {
        std::fprintf(stderr, "create raster temp file error\n");
        return false;
    }
    std::vector<char> buf(40000);
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(inFd, buf.data(), buf.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            std::fprintf(stderr, "DEBUG:[Tamberlyx] raster capture read error: %s\n", std::strerror(errno));
            ok = false;
            break;
        }
        if (n == 0)
            break;
        if (std::fwrite(buf.data(), 1, static_cast<std::size_t>(n), out) != static_cast<std::size_t>(n) ||
            std::fflush(out) != 0) {
            std::fprintf(stderr, "DEBUG:[Tamberlyx] raster capture write error: %s\n", std::strerror(errno));
            ok = false;
            break;
        }
    }
    ok = (std::fclose(out) == 0) && ok;
    return ok;
}

namespace {

std::string pagePath(const CaptureConversion& c, int page, const char* extension) {
    char name[32];
    std::snprintf(name, sizeof name, "/page-%04d.%s", page, extension);
    return c.outputFolder + name;
}

std::string cannotWrite(const std::string& path) {
    return "cannot write " + path + ": " + std::strerror(errno ? errno : EIO);
}

} // namespace

ConversionResult convertCapturedRaster(const CaptureConversion& c) {
    ConversionResult result;
    struct stat folder {};
    if (::stat(c.outputFolder.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) {
        result.error = "the output folder " + c.outputFolder + " does not exist";
        return result;
    }
    RasterSource source;
    if (!source.open(c.rasterPath, -1, &result.error)) {
        if (result.error.find(c.rasterPath) == std::string::npos)
            result.error = c.rasterPath + ": " + result.error;
        return result;
    }
    cups_raster_t* ras = source.get();
    std::printf(" read data file ok\n");
    int page = 1;
    cups_page_header2_t header;
    for (;; ++page) {
        if (!cupsRasterReadHeader2(ras, &header)) {
            const std::string rest = source.endProblem();
            if (page == 1)
                result.error = "no page in the raster " + c.rasterPath + (rest.empty() ? "" : ": " + rest);
            else
                result.error = rasterEndError(page - 1, rest); // the filter's own wording
            break;
        }
        printHeader(header);
        const std::string refusal = checkRasterHeader(header);
        if (!refusal.empty()) {
            result.error = "page " + std::to_string(page) + ": " + refusal;
            break;
        }
        RasterPage raster;
        try {
            raster = readRasterPage(ras, header, false);
        } catch (const std::bad_alloc&) {
            std::fprintf(stderr, "DEBUG: failed to locate temp image memory size=%llu\n",
                         static_cast<unsigned long long>(header.cupsWidth) * header.cupsHeight);
            result.error = "not enough memory for page " + std::to_string(page);
            break;
        }
        if (raster.rowsRead < raster.page.height) {
            result.error = shortPageError(page, raster.rowsRead, raster.page.height);
            break;
        }
        const GrayPage& grey = raster.page;
        char head[64];
        std::snprintf(head, sizeof head, "%s\n%d %d\n%d\n", "P5", grey.width, grey.height, 255);
        const std::string pgm = pagePath(c, page, "pgm");
        errno = 0;
        if (!writeFile(pgm, head, grey.pixels.data(), grey.pixels.size())) {
            std::printf("pgm file create error\n");
            result.error = cannotWrite(pgm);
            break;
        }
        std::printf("image data size = %d\n", grey.width * grey.height);

        const PackedPage packed = halftone(std::move(raster.page), c.imageDarkness);
        std::snprintf(head, sizeof head, "%s\n%d %d\n", "P4", packed.width, packed.height);
        const std::string pbm = pagePath(c, page, "pbm");
        errno = 0;
        if (!writeFile(pbm, head, packed.bits.data(), packed.bits.size())) {
            result.error = cannotWrite(pbm);
            break;
        }
        const std::string jbig = pagePath(c, page, "jbig");
        errno = 0;
        if (!bmp_to_jbg(jbig, packed)) {
            result.error = cannotWrite(jbig);
            break;
        }
        result.pages = page;
    }
    return result;
}

namespace {

constexpr const char* kProgram = "tamberlyx-raster-convert";

void usage(std::FILE* to) {
    std::fprintf(to,
                 "Usage: %s [RASTER [FOLDER]]\n"
                 "Converts a captured CUPS raster (default %s) page by page into the print filter's\n"
                 "intermediate images in FOLDER (default /var/spool/cups/tmp): page-NNNN.pgm (grey),\n"
                 "page-NNNN.pbm (halftoned at the PPD's default darkness %d) and page-NNNN.jbig (the\n"
                 "JBIG data the filter sends for that page). Exit status 0 when every page was\n"
                 "converted, 1 on a failure, 2 on bad arguments.\n",
                 kProgram, rasterCapturePath, kDefaultDarkness);
}

} // namespace

int maint(int argc, char** argv) {
    CaptureConversion c;
    std::vector<std::string> operands;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        }
        if (arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "%s: unknown option %s (see --help)\n", kProgram, arg.c_str());
            return 2;
        }
        operands.push_back(arg);
    }
    if (operands.size() > 2) {
        usage(stderr);
        return 2;
    }
    if (!operands.empty())
        c.rasterPath = operands[0];
    if (operands.size() == 2)
        c.outputFolder = operands[1];
    const ConversionResult result = convertCapturedRaster(c);
    std::fflush(stdout);
    if (!result.ok()) {
        std::fprintf(stderr, "%s: %s\n", kProgram, result.error.c_str());
        return 1;
    }
    std::fprintf(stderr, "%s: %d page(s) converted into %s\n", kProgram, result.pages,
                 c.outputFolder.c_str());
    return 0;
}

} // namespace tbx
