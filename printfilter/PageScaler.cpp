#include "printfilter/PageScaler.h"

#include "printfilter/CpuFeatures.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <tuple>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tbx {
namespace {

bool vectorKernels = true;

// The part of a w x h page that the scaled content fills, from the top left:
// int(w * ratio) by int(h * ratio), at most the page; 0 x 0 (a white page) when
// the ratio is not positive or a side comes out empty.
std::pair<int, int> scaledExtent(int w, int h, double ratio) {
    if (!(ratio > 0.0))
        return {0, 0};
    const int mx = std::min(static_cast<int>(w * ratio), w);
    const int my = std::min(static_cast<int>(h * ratio), h);
    if (mx <= 0 || my <= 0)
        return {0, 0};
    return {mx, my};
}

// Where one output column or row samples the source: the lower neighbour and the two weights.
// The upper neighbour is the lower one or the next one. A position that falls on a source pixel
// gets the weights 1 and 0, which gives that pixel's value exactly (v × 1 + w × 0 == v in double),
// so the case distinction of the rule needs no branch in the inner loops.
struct Taps {
    std::vector<int> lo, hi;
    std::vector<double> wLo, wHi;
};

Taps makeTaps(int count, double ratio) {
    Taps t;
    t.lo.resize(count);
    t.hi.resize(count);
    t.wLo.resize(count);
    t.wHi.resize(count);
    for (int k = 0; k < count; ++k) {
        const double s = k / ratio;
        const int lo = static_cast<int>(std::floor(s));
        const int hi = static_cast<int>(std::ceil(s));
        t.lo[k] = lo;
        t.hi[k] = hi;
        if (lo == hi) {
            t.wLo[k] = 1.0;
            t.wHi[k] = 0.0;
        } else {
            t.wLo[k] = hi - s;
            t.wHi[k] = s - lo;
        }
    }
    return t;
}

// Horizontal interpolation of columns [from, to) of source row p: both neighbours inside the row.
void interpolateScalar(const std::uint8_t* p, const Taps& c, int from, int to, double* out) {
    const int* lo = c.lo.data();
    const int* hi = c.hi.data();
    const double* wLo = c.wLo.data();
    const double* wHi = c.wHi.data();
    for (int j = from; j < to; ++j)
        out[j] = p[lo[j]] * wLo[j] + p[hi[j]] * wHi[j];
}

// Output row from two interpolated source rows: truncation of wTop × top + wBottom × bottom.
void blendScalar(const double* top, const double* bottom, double wTop, double wBottom, int from, int to,
                 std::uint8_t* out) {
    for (int j = from; j < to; ++j)
        out[j] = static_cast<std::uint8_t>(static_cast<int>(wTop * top[j] + wBottom * bottom[j]));
}

#if defined(__x86_64__)
// The same arithmetic four doubles at a time (no fused multiply-add: every product and sum is
// rounded as in the scalar code). One 16-bit load at the lower neighbour fetches both neighbours:
// byte 0 is p[lo], byte 1 is p[lo + 1], which is p[hi] whenever hi differs from lo (when it does
// not, its weight is 0). The caller guarantees lo + 1 lies inside the row.
__attribute__((target("avx2"))) int interpolateAvx2(const std::uint8_t* p, const Taps& c, int to,
                                                    double* out) {
    const int* lo = c.lo.data();
    const double* wLo = c.wLo.data();
    const double* wHi = c.wHi.data();
    int j = 0;
    for (; j + 4 <= to; j += 4) {
        std::uint16_t q[4];
        for (int k = 0; k < 4; ++k)
            std::memcpy(&q[k], p + lo[j + k], 2);
        const __m128i g = _mm_set_epi32(q[3], q[2], q[1], q[0]);
        const __m256d a = _mm256_cvtepi32_pd(_mm_and_si128(g, _mm_set1_epi32(0xFF)));
        const __m256d b = _mm256_cvtepi32_pd(_mm_srli_epi32(g, 8));
        const __m256d v = _mm256_add_pd(_mm256_mul_pd(a, _mm256_loadu_pd(wLo + j)),
                                        _mm256_mul_pd(b, _mm256_loadu_pd(wHi + j)));
        _mm256_storeu_pd(out + j, v);
    }
    return j;
}

__attribute__((target("avx2"))) int blendAvx2(const double* top, const double* bottom, double wTop,
                                              double wBottom, int to, std::uint8_t* out) {
    const __m256d wt = _mm256_set1_pd(wTop);
    const __m256d wb = _mm256_set1_pd(wBottom);
    int j = 0;
    for (; j + 8 <= to; j += 8) {
        const __m256d v0 = _mm256_add_pd(_mm256_mul_pd(wt, _mm256_loadu_pd(top + j)),
                                         _mm256_mul_pd(wb, _mm256_loadu_pd(bottom + j)));
        const __m256d v1 = _mm256_add_pd(_mm256_mul_pd(wt, _mm256_loadu_pd(top + j + 4)),
                                         _mm256_mul_pd(wb, _mm256_loadu_pd(bottom + j + 4)));
        const __m128i i0 = _mm256_cvttpd_epi32(v0);
        const __m128i i1 = _mm256_cvttpd_epi32(v1);
        const __m128i w16 = _mm_packs_epi32(i0, i1); // values are 0..255: no saturation happens
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + j), _mm_packus_epi16(w16, w16));
    }
    return j;
}
#endif

// Source rows horizontally interpolated, two held at a time. The rows come from fetch(y), which
// gives source row y (width bytes) or nothing for a row outside the page (sampled as 0).
class RowInterpolator {
public:
    using Fetch = std::function<const std::uint8_t*(int)>;

    RowInterpolator(int width, const Taps& cols, Fetch fetch)
        : width_(width), cols_(cols), fetch_(std::move(fetch)) {
        const int mx = static_cast<int>(cols.lo.size());
        buf_[0].resize(mx);
        buf_[1].resize(mx);
        // Neighbour indexes grow with the column. Columns before fast_ have both neighbours inside
        // the row; those before gather_ also have lo + 1 inside it, for the 2-byte loads.
        while (fast_ < mx && cols.hi[fast_] < width)
            ++fast_;
        while (gather_ < fast_ && cols.lo[gather_] + 1 < width)
            ++gather_;
    }

    // The interpolated source row y; keep names a row that must stay held.
    const double* row(int y, int keep) {
        for (int k = 0; k < 2; ++k)
            if (tag_[k] == y)
                return buf_[k].data();
        const int slot = tag_[0] == keep ? 1 : 0;
        compute(y, buf_[slot].data());
        tag_[slot] = y;
        return buf_[slot].data();
    }

private:
    void compute(int y, double* out) {
        const int mx = static_cast<int>(cols_.lo.size());
        const std::uint8_t* p = fetch_(y);
        if (!p) { // rows outside the page sample as 0
            std::fill(out, out + mx, 0.0);
            return;
        }
        int j = 0;
#if defined(__x86_64__)
        if (vectorKernels && haveAvx2())
            j = interpolateAvx2(p, cols_, gather_, out);
#endif
        interpolateScalar(p, cols_, j, fast_, out);
        for (j = fast_; j < mx; ++j) {
            const int lo = cols_.lo[j], hi = cols_.hi[j];
            const double a = (lo >= 0 && lo < width_) ? p[lo] : 0;
            const double b = (hi >= 0 && hi < width_) ? p[hi] : 0;
            out[j] = a * cols_.wLo[j] + b * cols_.wHi[j];
        }
    }

    int width_;
    const Taps& cols_;
    Fetch fetch_;
    int fast_ = 0, gather_ = 0;
    std::vector<double> buf_[2];
    int tag_[2] = {-2, -2}; // -2: nothing held (-1 is never a sampled row)
};

// Output row from the two interpolated source rows of row i: columns below mx; the rest is left.
void blendRow(RowInterpolator& interpolated, const Taps& rows, int i, int mx, std::uint8_t* out,
              bool lowerFirst) {
    const int y0 = rows.lo[i];
    const int y1 = rows.hi[i];
    if (y0 == y1) {
        const double* top = interpolated.row(y0, y0);
        for (int j = 0; j < mx; ++j)
            out[j] = static_cast<std::uint8_t>(static_cast<int>(top[j]));
        return;
    }
    // Both rows are fetched in the order the caller's source can give them.
    const double* top;
    const double* bottom;
    if (lowerFirst) {
        top = interpolated.row(y0, y1);
        bottom = interpolated.row(y1, y0);
    } else {
        bottom = interpolated.row(y1, y0);
        top = interpolated.row(y0, y1);
    }
    int j = 0;
#if defined(__x86_64__)
    if (vectorKernels && haveAvx2())
        j = blendAvx2(top, bottom, rows.wLo[i], rows.wHi[i], mx, out);
#endif
    blendScalar(top, bottom, rows.wLo[i], rows.wHi[i], j, mx, out);
}

} // namespace

namespace detail {
void setScalerVectorKernels(bool enabled) {
    vectorKernels = enabled;
}
} // namespace detail

std::string scaleTraceLine(int width, int height, double ratio) {
    char line[256];
    if (ratio == 1.0) {
        std::snprintf(line, sizeof line,
                      "DEBUG:[Tamberlyx]:scale ratio = %f, and memcpy srcimage  "
                      "================================\n",
                      ratio);
    } else {
        std::snprintf(line, sizeof line,
                      "DEBUG:[Tamberlyx]:scale ratio = %f ,zoom size : dstwidth=%d ,distheight=%d  "
                      "================================\n",
                      ratio, static_cast<int>(width * ratio), static_cast<int>(height * ratio));
    }
    return line;
}

GrayPage zoomGrayPage(GrayPage src, double ratio) {
    std::fputs(scaleTraceLine(src.width, src.height, ratio).c_str(), stderr);
    if (ratio == 1.0)
        return src; // the unscaled page is the scaled page: hand the buffer on instead of copying it
    const int w = src.width;
    const int h = src.height;
    const auto [mx, my] = scaledExtent(w, h, ratio);
    if (mx == 0) {
        std::fill(src.pixels.begin(), src.pixels.end(), 255);
        return src;
    }

    // The page is scaled in place. A reduction reads, for output row i, source rows at or below i
    // and is done top down; an enlargement reads rows at or above i and is done bottom up. Either
    // way a source row is overwritten only once no later output row needs it, and the two source
    // rows of the current output row are interpolated into separate buffers first.
    const Taps cols = makeTaps(mx, ratio);
    const Taps rows = makeTaps(my, ratio);
    RowInterpolator interpolated(w, cols, [&src, h](int y) -> const std::uint8_t* {
        return (y >= 0 && y < h) ? src.row(y) : nullptr;
    });
    const bool topDown = ratio < 1.0;
    for (int n = 0; n < my; ++n) {
        const int i = topDown ? n : my - 1 - n;
        std::uint8_t* out = src.row(i);
        blendRow(interpolated, rows, i, mx, out, true);
        std::fill(out + mx, out + w, 255);
    }
    std::fill(src.pixels.begin() + static_cast<std::ptrdiff_t>(my) * w, src.pixels.end(), 255);
    return src;
}

struct ScaledRowStream::State {
    Taps cols, rows;
    RowInterpolator interpolated;
    State(RasterRowReader& source, int mx, int my, double ratio)
        : cols(makeTaps(mx, ratio)), rows(makeTaps(my, ratio)),
          interpolated(source.width(), cols, [&source](int y) -> const std::uint8_t* {
              // Page row y is raster row y, or height - 1 - y on a turned page.
              const int h = source.height();
              if (y < 0 || y >= h)
                  return nullptr;
              const int r = source.turned() ? h - 1 - y : y;
              source.skipTo(r);
              return source.next();
          }) {}
};

ScaledRowStream::ScaledRowStream(RasterRowReader& source, double ratio) : source_(source) {
    std::tie(mx_, my_) = scaledExtent(source.width(), source.height(), ratio);
    if (mx_ == 0)
        return;
    state_ = std::make_unique<State>(source, mx_, my_, ratio);
    row_.assign(static_cast<std::size_t>(source.width()), 255);
}

ScaledRowStream::~ScaledRowStream() = default;

bool ScaledRowStream::next(int& row, const std::uint8_t*& pixels) {
    if (done_ >= my_)
        return false;
    // A turned page's raster begins with the page's bottom row: its output rows go bottom up.
    const bool turned = source_.turned();
    row = turned ? my_ - 1 - done_ : done_;
    ++done_;
    blendRow(state_->interpolated, state_->rows, row, mx_, row_.data(), !turned);
    pixels = row_.data();
    return true;
}

int zoomedPixelReference(const GrayPage& src, double ratio, int j, int i) {
    const int w = src.width;
    const int h = src.height;
    const double sx = j / ratio;
    const double sy = i / ratio;
    const int x0 = static_cast<int>(std::floor(sx));
    const int x1 = static_cast<int>(std::ceil(sx));
    const int y0 = static_cast<int>(std::floor(sy));
    const int y1 = static_cast<int>(std::ceil(sy));
    auto sample = [&](int x, int y) -> double {
        return (x >= 0 && x < w && y >= 0 && y < h) ? src.pixels[static_cast<std::size_t>(y) * w + x] : 0;
    };
    const double p00 = sample(x0, y0), p10 = sample(x1, y0), p01 = sample(x0, y1), p11 = sample(x1, y1);
    double value;
    if (x0 == x1 && y0 == y1)
        value = p00;
    else if (x0 == x1)
        value = p00 * (y1 - sy) + p01 * (sy - y0);
    else if (y0 == y1)
        value = p00 * (x1 - sx) + p10 * (sx - x0);
    else
        value =
            (y1 - sy) * (p00 * (x1 - sx) + p10 * (sx - x0)) + (sy - y0) * (p01 * (x1 - sx) + p11 * (sx - x0));
    return static_cast<int>(value);
}

} // namespace tbx
