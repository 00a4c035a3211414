#pragma once

// Halftoning: ordered dithering of an 8-bit grey page to the printer's 1-bit page against a
// threshold array chosen by the job's darkness level (GammaDarkness). Level 0 uses a 4×4 matrix;
// levels 1 to 5 (lightest to darkest) use the 128-row fine screen, reshaped by a gamma curve for
// levels 1 to 4. A pixel prints black when its grey value is at most the threshold.

#include "printfilter/GrayPage.h"

#include <array>
#include <cstdint>
#include <string>

namespace tbx {

inline constexpr int ClusterWidth = 128;
inline constexpr int ClusterHeight = 128;

// The fine screen, ClusterHeight rows × ClusterWidth columns, row-major. Only columns 0 to 7 are
// read: the column is the pixel's bit position in its output byte.
extern const std::array<std::uint8_t, ClusterHeight * ClusterWidth> FINE_TAry_128;

// The 4×4 matrix of level 0, indexed [y mod 4][x mod 4].
extern const std::uint8_t halftoneMatrix4x4[4][4];

// Gamma of a darkness level (0.0 for level 0, the 4×4 matrix; 1.0 for level 5, the screen as
// stored). Levels outside 0..5 are treated as 0.
float darknessGamma(int imageDarkness);

// The 256-entry tone curve of a gamma (lut[v] = 0.5 + 255 × (v / 255)^γ, truncated).
std::array<std::uint8_t, 256> gammaToneCurve(float gamma);

// Thresholds of the 8 bit positions of every row of the 128-row screen at a darkness level
// (levels 1 to 5); for level 0 the rows repeat the 4×4 matrix every 4 rows.
using ThresholdRows = std::array<std::array<std::uint8_t, 8>, ClusterHeight>;
ThresholdRows halftoneThresholds(int imageDarkness);

// One grey row of w pixels against the thresholds of its 8 bit positions, into (w + 7) / 8 packed
// bytes; pad bits are white.
void halftoneRow(const std::uint8_t* grey, int w, const std::array<std::uint8_t, 8>& thresholds,
                 std::uint8_t* out);

// The trace lines of halftoning a page at a darkness level: before (the gamma) and after (only when
// a table was computed; empty otherwise).
std::string halftoneTraceLine(int imageDarkness);
const char* halftoneReleaseLine(int imageDarkness);

// Halftones the page at the darkness level and returns the packed page; pad bits are white.
// Writes the gamma trace line. Throws std::bad_alloc when the packed page cannot be had.
PackedPage halftone(GrayPage gray, int imageDarkness);

} // namespace tbx

namespace tbx::detail {
// Chooses between the vector kernel (used when the processor has it) and the plain loops of
// halftoneRow; both give the same bits. For tests.
void setHalftoneVectorKernels(bool enabled);
} // namespace tbx::detail
