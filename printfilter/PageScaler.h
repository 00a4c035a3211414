#pragma once

// Page scaling by the job's QvScale ratio. The page keeps its size in pixels: the image is scaled
// about the top-left corner by bilinear interpolation, a reduction leaves white margins at the
// right and bottom, an enlargement is cut off at the right and bottom edges.

#include "printfilter/GrayPage.h"

namespace tbx {

// Scales src by ratio and returns the page of the same size. Every output byte equals the value of
// the reference rule (source position j / ratio, i / ratio in double precision, the four
// neighbours at floor/ceil, weights summed in double and truncated), computed one row of
// horizontal interpolations at a time so that each source row is interpolated once.
// Writes the trace line of the ratio. Throws std::bad_alloc when the page buffer cannot be had.
GrayPage zoomGrayPage(GrayPage src, double ratio);

// The reference rule for one output pixel, straight from its definition; the fast path above must
// agree with it for every pixel (tests compare the two).
int zoomedPixelReference(const GrayPage& src, double ratio, int column, int row);

} // namespace tbx

namespace tbx::detail {
// Chooses between the vector kernels (used when the processor has them) and the plain loops;
// both give the same bytes. For tests.
void setScalerVectorKernels(bool enabled);
} // namespace tbx::detail
