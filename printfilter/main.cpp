// printfilter-tamberlyx: the CUPS filter of the Tamberlyx printer. The scheduler starts it once per
// job with the usual filter arguments (queue job-id user title copies options [file]), the queue's
// PPD in "PPD" and 8-bit grey CUPS raster on standard input or in the file; it writes the printer's
// job stream to standard output and its log to standard error.

#include "printfilter/FilterJob.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

int main(int argc, char** argv) {
#if defined(__GLIBC__)
    // Page buffers (megabytes each) are made by the reading thread and freed by the encoders; from
    // the C library's own heaps a freed one may stay held by a heap. Taken from the system
    // directly, each goes back as soon as it is freed, which keeps the peak memory of a job down.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
    return tbx::runFilter(argc, argv, tbx::FilterEnvironment::fromProcess());
}
