#include "printfilter/Halftone.h"

#include "printfilter/CpuFeatures.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tbx {
namespace {

// One 8 × 8 clustered-dot cell: two dots per cell, thresholds 1 to 254 spread evenly.
constexpr std::uint8_t fineCell[8][8] = {
    {67, 51, 59, 114, 190, 206, 198, 143}, {35, 3, 19, 98, 222, 254, 238, 159},
    {43, 11, 27, 106, 214, 246, 230, 151}, {91, 75, 83, 122, 166, 182, 174, 135},
    {185, 200, 192, 137, 69, 54, 62, 117}, {216, 248, 232, 153, 38, 6, 22, 101},
    {208, 240, 224, 145, 46, 14, 30, 109}, {161, 177, 169, 129, 93, 77, 85, 125},
};

// The screen repeats the cell 16 times down the rows; each repetition after the first is nudged by
// -2..+2 per entry, which breaks up the regular pattern of identical dots. A nudge never moves an
// entry out of its band of 16 values (nor out of 1..254): it goes the other way instead, so every
// band keeps its share of the thresholds and each grey level prints with the cell's own coverage.
// Columns past the cell repeat it across the row.
constexpr std::array<std::uint8_t, ClusterHeight * ClusterWidth> makeFineScreen() {
    std::array<std::uint8_t, ClusterHeight * ClusterWidth> t{};
    for (int r = 0; r < ClusterHeight; ++r) {
        const int k = r / 8;
        for (int c = 0; c < ClusterWidth; ++c) {
            const int stored = fineCell[r % 8][c % 8];
            int v = stored;
            if (k > 0) {
                const int nudge = (k * 5 + (r % 8) * 3 + (c % 8) * 7) % 5 - 2;
                const int low = stored / 16 * 16 < 1 ? 1 : stored / 16 * 16;
                const int high = stored / 16 * 16 + 15 > 254 ? 254 : stored / 16 * 16 + 15;
                v = stored + nudge;
                if (v < low || v > high)
                    v = stored - nudge;
            }
            t[static_cast<std::size_t>(r) * ClusterWidth + c] = static_cast<std::uint8_t>(v);
        }
    }
    return t;
}

// Bit order of a byte reversed: turns a compare mask (bit k = pixel k) into printer order
// (most significant bit = leftmost pixel).
constexpr std::array<std::uint8_t, 256> makeBitReverse() {
    std::array<std::uint8_t, 256> r{};
    for (int v = 0; v < 256; ++v) {
        int o = 0;
        for (int b = 0; b < 8; ++b)
            if (v & (1 << b))
                o |= 0x80 >> b;
        r[v] = static_cast<std::uint8_t>(o);
    }
    return r;
}
constexpr std::array<std::uint8_t, 256> bitReverse = makeBitReverse();

bool vectorKernels = true;

#if defined(__x86_64__)
// 32 pixels at a time. Within every group of 8 the pixels are put in reverse order first, so the
// compare mask's bytes come out in printer order (the first pixel in the most significant bit)
// and are stored as they are.
__attribute__((target("avx2"))) int halftoneAvx2(const std::uint8_t* g, int w, const std::uint8_t* t,
                                                 std::uint8_t* out) {
    std::uint8_t reversed[32];
    for (int k = 0; k < 32; ++k)
        reversed[k] = t[7 - k % 8];
    const __m256i th = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(reversed));
    const __m256i order = _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4,
                                           3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
    int x = 0;
    for (; x + 32 <= w; x += 32) {
        const __m256i v =
            _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(g + x)), order);
        const __m256i black = _mm256_cmpeq_epi8(_mm256_min_epu8(v, th), v); // g <= t
        const std::uint32_t m = static_cast<std::uint32_t>(_mm256_movemask_epi8(black));
        std::memcpy(out + x / 8, &m, 4); // little-endian: the first group's byte first
    }
    return x;
}
#endif

} // namespace

namespace detail {
void setHalftoneVectorKernels(bool enabled) {
    vectorKernels = enabled;
}
} // namespace detail

void halftoneRow(const std::uint8_t* g, int w, const std::array<std::uint8_t, 8>& t, std::uint8_t* out) {
    int x = 0;
#if defined(__x86_64__)
    if (vectorKernels && haveAvx2())
        x = halftoneAvx2(g, w, t.data(), out);
#endif
#if defined(__SSE2__)
    std::uint8_t pattern[16];
    std::memcpy(pattern, t.data(), 8);
    std::memcpy(pattern + 8, t.data(), 8);
    const __m128i th = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pattern));
    for (; x + 16 <= w; x += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(g + x));
        const __m128i black = _mm_cmpeq_epi8(_mm_min_epu8(v, th), v); // g <= t
        const unsigned m = static_cast<unsigned>(_mm_movemask_epi8(black));
        out[x / 8] = bitReverse[m & 0xFF];
        out[x / 8 + 1] = bitReverse[m >> 8];
    }
#endif
    for (; x < w; x += 8) {
        const int n = w - x < 8 ? w - x : 8;
        unsigned byte = 0;
        for (int b = 0; b < n; ++b)
            if (g[x + b] <= t[b])
                byte |= 0x80u >> b;
        out[x / 8] = static_cast<std::uint8_t>(byte); // bits past the last pixel stay 0 (white)
    }
}

const std::array<std::uint8_t, ClusterHeight* ClusterWidth> FINE_TAry_128 = makeFineScreen();

const std::uint8_t halftoneMatrix4x4[4][4] = {
    {56, 168, 104, 40},
    {120, 200, 248, 184},
    {152, 216, 232, 136},
    {8, 72, 88, 24},
};

float darknessGamma(int imageDarkness) {
    static constexpr float gammas[6] = {0.0f, 4.0f, 2.0f, 1.65f, 1.35f, 1.0f};
    return (imageDarkness >= 0 && imageDarkness <= 5) ? gammas[imageDarkness] : 0.0f;
}

std::array<std::uint8_t, 256> gammaToneCurve(float gamma) {
    std::array<std::uint8_t, 256> lut{};
    for (int v = 0; v < 256; ++v) {
        const float x = static_cast<float>(v) / 255.0f;
        const float p = static_cast<float>(std::pow(static_cast<double>(x), static_cast<double>(gamma)));
        const float scaled = p * 255.0f;
        lut[v] = static_cast<std::uint8_t>(static_cast<int>(static_cast<double>(scaled) + 0.5));
    }
    return lut;
}

ThresholdRows halftoneThresholds(int imageDarkness) {
    ThresholdRows rows{};
    const float gamma = darknessGamma(imageDarkness);
    if (gamma == 0.0f) {
        for (int y = 0; y < ClusterHeight; ++y)
            for (int b = 0; b < 8; ++b)
                rows[y][b] = halftoneMatrix4x4[y % 4][b % 4];
        return rows;
    }
    const bool asStored = gamma == 1.0f;
    const auto lut = gammaToneCurve(gamma);
    auto clamp = [](int v) { return v < 1 ? 1 : (v > 254 ? 254 : v); };
    for (int y = 0; y < ClusterHeight; ++y)
        for (int b = 0; b < 8; ++b) {
            const int t = FINE_TAry_128[static_cast<std::size_t>(y) * ClusterWidth + b];
            rows[y][b] = static_cast<std::uint8_t>(asStored ? t : clamp(lut[clamp(t)]));
        }
    return rows;
}

std::string halftoneTraceLine(int imageDarkness) {
    char line[64];
    std::snprintf(line, sizeof line, "DEBUG:[Tamberlyx]---curGammaVal=%.2f;\n", darknessGamma(imageDarkness));
    return line;
}

const char* halftoneReleaseLine(int imageDarkness) {
    const float gamma = darknessGamma(imageDarkness);
    return (gamma != 0.0f && gamma != 1.0f) ? "DEBUG:[Tamberlyx]==free=Halftone;\n" : "";
}

PackedPage halftone(GrayPage gray, int imageDarkness) {
    std::fputs(halftoneTraceLine(imageDarkness).c_str(), stderr);
    const ThresholdRows thresholds = halftoneThresholds(imageDarkness);
    PackedPage packed(gray.width, gray.height);
    for (int y = 0; y < gray.height; ++y)
        halftoneRow(gray.row(y), gray.width, thresholds[y % ClusterHeight], packed.row(y));
    std::fputs(halftoneReleaseLine(imageDarkness), stderr);
    return packed;
}

} // namespace tbx
