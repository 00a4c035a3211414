#include "printfilter/PageScaler.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

namespace tbx {
namespace {

// Where one output column or row samples the source: the two neighbours and their weights.
// A position that falls on a source pixel gets the weights 1 and 0, which gives that pixel's
// value exactly (v × 1 + w × 0 == v in double), so the case distinction of the rule needs no
// branch in the inner loops.
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

// Horizontal interpolation of one source row for every output column; out holds mx values.
// A source row outside the page samples as 0, like every pixel outside the page.
void interpolateRow(const GrayPage& src, int y, const Taps& cols, int fastColumns, double* out) {
    const int mx = static_cast<int>(cols.lo.size());
    if (y < 0 || y >= src.height) {
        std::fill(out, out + mx, 0.0);
        return;
    }
    const std::uint8_t* p = src.row(y);
    const int* lo = cols.lo.data();
    const int* hi = cols.hi.data();
    const double* wLo = cols.wLo.data();
    const double* wHi = cols.wHi.data();
    for (int j = 0; j < fastColumns; ++j)
        out[j] = p[lo[j]] * wLo[j] + p[hi[j]] * wHi[j];
    for (int j = fastColumns; j < mx; ++j) {
        const double a = (lo[j] >= 0 && lo[j] < src.width) ? p[lo[j]] : 0;
        const double b = (hi[j] >= 0 && hi[j] < src.width) ? p[hi[j]] : 0;
        out[j] = a * wLo[j] + b * wHi[j];
    }
}

} // namespace

GrayPage zoomGrayPage(GrayPage src, double ratio) {
    if (ratio == 1.0) {
        std::fprintf(stderr,
                     "DEBUG:[Tamberlyx]:scale ratio = %f, and memcpy srcimage  "
                     "================================\n",
                     ratio);
        return src; // the unscaled page is the scaled page: hand the buffer on instead of copying it
    }
    const int w = src.width;
    const int h = src.height;
    const int dw = static_cast<int>(w * ratio);
    const int dh = static_cast<int>(h * ratio);
    std::fprintf(stderr,
                 "DEBUG:[Tamberlyx]:scale ratio = %f ,zoom size : dstwidth=%d ,distheight=%d  "
                 "================================\n",
                 ratio, dw, dh);

    GrayPage dst(w, h);
    const int mx = std::min(dw, w);
    const int my = std::min(dh, h);
    if (mx <= 0 || my <= 0 || !(ratio > 0.0))
        return dst;

    const Taps cols = makeTaps(mx, ratio);
    const Taps rows = makeTaps(my, ratio);
    // Both neighbour indexes grow with the column; the columns before the first one whose
    // neighbour lies outside the page need no bounds test.
    int fastColumns = 0;
    while (fastColumns < mx && cols.hi[fastColumns] < w && cols.lo[fastColumns] >= 0)
        ++fastColumns;

    // Two interpolated source rows, tagged with the source row they hold; consecutive output rows
    // mostly share one or both, so each source row is interpolated about once.
    std::vector<double> bufA(mx), bufB(mx);
    double* top = bufA.data();
    double* bottom = bufB.data();
    int topRow = -2, bottomRow = -2; // -2: nothing held (-1 is never a sampled row)
    for (int i = 0; i < my; ++i) {
        const int y0 = rows.lo[i];
        const int y1 = rows.hi[i];
        if (topRow != y0) {
            if (bottomRow == y0) {
                std::swap(top, bottom);
                std::swap(topRow, bottomRow);
            } else {
                interpolateRow(src, y0, cols, fastColumns, top);
                topRow = y0;
            }
        }
        std::uint8_t* out = dst.row(i);
        if (y0 == y1) {
            for (int j = 0; j < mx; ++j)
                out[j] = static_cast<std::uint8_t>(static_cast<int>(top[j]));
            continue;
        }
        if (bottomRow != y1) {
            interpolateRow(src, y1, cols, fastColumns, bottom);
            bottomRow = y1;
        }
        const double wTop = rows.wLo[i];
        const double wBottom = rows.wHi[i];
        for (int j = 0; j < mx; ++j)
            out[j] = static_cast<std::uint8_t>(static_cast<int>(wTop * top[j] + wBottom * bottom[j]));
    }
    return dst;
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
