#include "printfilter/RasterPageReader.h"

#include "printfilter/CpuFeatures.h"

#include <algorithm>
#include <cstdio>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tbx {
namespace {

#if defined(__x86_64__)
// q = p reversed, 32 bytes at a time from p's end; returns the bytes done.
__attribute__((target("avx2"))) int reverseAvx2(const std::uint8_t* p, int w, std::uint8_t* q) {
    const __m256i mirror = _mm256_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13,
                                            12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    int x = 0;
    for (; x + 32 <= w; x += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + w - x - 32));
        const __m256i r = _mm256_permute4x64_epi64(_mm256_shuffle_epi8(v, mirror), 0x4E); // swap the halves
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(q + x), r);
    }
    return x;
}
#endif

void reverseRow(const std::uint8_t* p, int w, std::uint8_t* q) {
    int x = 0;
#if defined(__x86_64__)
    if (haveAvx2())
        x = reverseAvx2(p, w, q);
#endif
    for (; x < w; ++x)
        q[x] = p[w - 1 - x];
}

} // namespace

std::string checkRasterHeader(const cups_page_header2_t& h, const RasterLimits& limits) {
    char why[256];
    const unsigned space = rawHeaderValue(h.cupsColorSpace);
    const bool grey = space == CUPS_CSPACE_W || space == CUPS_CSPACE_SW || space == CUPS_CSPACE_K;
    if (h.cupsBitsPerColor != 8 || h.cupsBitsPerPixel != 8 || !grey) {
        std::snprintf(why, sizeof why,
                      "unsupported raster (%u bits per colour, %u bits per pixel, colour space %u); "
                      "the printer needs 8-bit grey",
                      h.cupsBitsPerColor, h.cupsBitsPerPixel, space);
        return why;
    }
    // Grey in every other field: only the number of colours is wrong.
    if (h.cupsNumColors > 1) {
        std::snprintf(why, sizeof why, "unsupported raster (cupsNumColors %u); the printer needs 8-bit grey",
                      h.cupsNumColors);
        return why;
    }
    if (h.cupsWidth == 0 || h.cupsHeight == 0) {
        std::snprintf(why, sizeof why, "empty raster page (%u x %u)", h.cupsWidth, h.cupsHeight);
        return why;
    }
    if (h.cupsBytesPerLine != h.cupsWidth) {
        std::snprintf(why, sizeof why, "raster line of %u bytes for a width of %u pixels", h.cupsBytesPerLine,
                      h.cupsWidth);
        return why;
    }
    if (h.cupsWidth > limits.maxSide || h.cupsHeight > limits.maxSide ||
        static_cast<unsigned long long>(h.cupsWidth) * h.cupsHeight > limits.maxPixels) {
        std::snprintf(why, sizeof why, "raster page too large (%u x %u pixels)", h.cupsWidth, h.cupsHeight);
        return why;
    }
    return {};
}

RasterRowReader::RasterRowReader(cups_raster_t* ras, const cups_page_header2_t& header, bool turn)
    : ras_(ras), bytesPerLine_(header.cupsBytesPerLine), width_(static_cast<int>(header.cupsWidth)),
      height_(static_cast<int>(header.cupsHeight)), turn_(turn),
      inverted_(rawHeaderValue(header.cupsColorSpace) == CUPS_CSPACE_K), raw_(header.cupsBytesPerLine),
      row_(turn ? header.cupsBytesPerLine : 0) {}

bool RasterRowReader::read(std::uint8_t* into) {
    if (!ended_ && cupsRasterReadPixels(ras_, into, bytesPerLine_) == 0) {
        ended_ = true;
        std::fill(raw_.begin(), raw_.end(), 255); // a failed read may have filled part of the row
    }
    if (ended_)
        return false;
    ++rowsRead_;
    return true;
}

const std::uint8_t* RasterRowReader::next() {
    ++position_;
    if (!read(raw_.data()))
        return raw_.data(); // white, and white the same way round
    std::uint8_t* p = raw_.data();
    const int w = width_;
    if (inverted_)
        for (int x = 0; x < w; ++x)
            p[x] = static_cast<std::uint8_t>(255 - p[x]);
    if (!turn_)
        return p;
    reverseRow(p, w, row_.data());
    return row_.data();
}

void RasterRowReader::skipTo(int y) {
    y = std::min(y, height_);
    if (ended_ && position_ < y)
        position_ = y; // nothing more to read
    for (; position_ < y; ++position_)
        read(raw_.data());
}

RasterPage readRasterPage(cups_raster_t* ras, const cups_page_header2_t& header, bool turn) {
    RasterRowReader rows(ras, header, turn);
    const int h = rows.height();
    RasterPage out{GrayPage(rows.width(), h), 0};
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* row = rows.next();
        if (rows.rowsRead() < y + 1)
            break; // the raster ended: the rest of the page stays white
        std::memcpy(out.page.row(turn ? h - 1 - y : y), row, static_cast<std::size_t>(rows.width()));
    }
    out.rowsRead = rows.rowsRead();
    return out;
}

} // namespace tbx
