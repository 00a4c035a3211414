#include "printfilter/RasterCapture.h"

#include "printfilter/Halftone.h"
#include "printfilter/JbigPageEncoder.h"
#include "printfilter/RasterPageReader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cups/raster.h>
#include <fcntl.h>
#include <new>
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

int convertCapturedRaster(const CaptureConversion& c) {
    const int fd = ::open(c.rasterPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "ERROR: cannot open raster file %s: %s\n", c.rasterPath.c_str(),
                     std::strerror(errno));
        return -1;
    }
    cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_READ);
    if (!ras) {
        ::close(fd);
        std::fprintf(stderr, "ERROR: %s is not a CUPS raster file\n", c.rasterPath.c_str());
        return -1;
    }
    std::printf(" read data file ok\n");
    int page = 1;
    cups_page_header2_t header;
    while (cupsRasterReadHeader2(ras, &header)) {
        printHeader(header);
        const std::string refusal = checkRasterHeader(header);
        if (!refusal.empty()) {
            std::fprintf(stderr, "ERROR: page %d: %s\n", page, refusal.c_str());
            break;
        }
        RasterPage raster;
        try {
            raster = readRasterPage(ras, header, false);
        } catch (const std::bad_alloc&) {
            std::fprintf(stderr, "DEBUG: failed to locate temp image memory size=%llu\n",
                         static_cast<unsigned long long>(header.cupsWidth) * header.cupsHeight);
            break;
        }
        const GrayPage& grey = raster.page;
        char head[64];
        std::snprintf(head, sizeof head, "%s\n%d %d\n%d\n", "P5", grey.width, grey.height, 255);
        if (!writeFile(c.pgmPath, head, grey.pixels.data(), grey.pixels.size()))
            std::printf("pgm file create error\n"); // the halftoned and JBIG files still follow
        std::printf("image data size = %d\n", grey.width * grey.height);

        const PackedPage packed = halftone(std::move(raster.page), c.imageDarkness);
        std::snprintf(head, sizeof head, "%s\n%d %d\n", "P4", packed.width, packed.height);
        if (!writeFile(c.pbmPath, head, packed.bits.data(), packed.bits.size()))
            std::printf("pbm file create error\n");

        char suffix[32];
        std::snprintf(suffix, sizeof suffix, "-%04d.jbig", page);
        if (!bmp_to_jbg(c.jbigBase + suffix, packed))
            std::printf("jbig file create error\n");
        ++page;
    }
    cupsRasterClose(ras);
    ::close(fd);
    return page - 1;
}

int maint(int argc, char** argv) {
    CaptureConversion c;
    if (argc >= 2)
        c.rasterPath = argv[1];
    if (argc >= 3) {
        const std::string dir = argv[2];
        c.pgmPath = dir + "/page.pgm";
        c.pbmPath = dir + "/page.pbm";
        c.jbigBase = dir + "/page";
    }
    convertCapturedRaster(c);
    return 0;
}

} // namespace tbx
