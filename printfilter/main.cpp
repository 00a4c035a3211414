// printfilter-tamberlyx: the CUPS filter of the Tamberlyx printer. The scheduler starts it once per
// job with the usual filter arguments (queue job-id user title copies options [file]), the queue's
// PPD in "PPD" and 8-bit grey CUPS raster on standard input or in the file; it writes the printer's
// job stream to standard output and its log to standard error.

#include "printfilter/FilterJob.h"

int main(int argc, char** argv) {
    return tbx::runFilter(argc, argv, tbx::FilterEnvironment::fromProcess());
}
