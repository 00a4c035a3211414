#pragma once

// Page scaling by the job's QvScale ratio. The page keeps its size in pixels: the image is scaled
// about the top-left corner by bilinear interpolation, a reduction leaves white margins at the
// right and bottom, an enlargement is cut off at the right and bottom edges.

#include "printfilter/GrayPage.h"
#include "printfilter/RasterPageReader.h"

#include <memory>
#include <string>
#include <vector>

namespace tbx {

// The trace line of the ratio (with the target size when the ratio is not 1.0).
std::string scaleTraceLine(int width, int height, double ratio);

// Scales src by ratio and returns the page of the same size. Every output byte equals the value of
// the reference rule (source position j / ratio, i / ratio in double precision, the four
// neighbours at floor/ceil, weights summed in double and truncated), computed one row of
// horizontal interpolations at a time so that each source row is interpolated once.
// Writes the trace line of the ratio. Throws std::bad_alloc when the page buffer cannot be had.
GrayPage zoomGrayPage(GrayPage src, double ratio);

// The scaled rows of a page read row by row: the same bytes as zoomGrayPage on the whole page, but
// only the two source rows the current output row interpolates are kept (interpolated across),
// and source rows no output row samples are read and dropped. Output rows come in the order the
// raster allows: top down, or bottom up on a turned page (whose raster begins with its bottom
// row). Rows from scaledRows() down are white and not given. Throws std::bad_alloc when the
// buffers cannot be had.
class ScaledRowStream {
public:
    ScaledRowStream(RasterRowReader& source, double ratio);
    ~ScaledRowStream();
    ScaledRowStream(const ScaledRowStream&) = delete;
    ScaledRowStream& operator=(const ScaledRowStream&) = delete;

    int scaledRows() const { return my_; }
    // The next output row: its index and its bytes (width of the page; columns from the scaled
    // width on are white), valid until the next call. False once every scaled row was given.
    bool next(int& row, const std::uint8_t*& pixels);

private:
    struct State;
    RasterRowReader& source_;
    int mx_ = 0, my_ = 0, done_ = 0;
    std::unique_ptr<State> state_;
    std::vector<std::uint8_t> row_;
};

// The reference rule for one output pixel, straight from its definition; the fast path above must
// agree with it for every pixel (tests compare the two).
int zoomedPixelReference(const GrayPage& src, double ratio, int column, int row);

} // namespace tbx

namespace tbx::detail {
// Chooses between the vector kernels (used when the processor has them) and the plain loops;
// both give the same bytes. For tests.
void setScalerVectorKernels(bool enabled);
} // namespace tbx::detail
