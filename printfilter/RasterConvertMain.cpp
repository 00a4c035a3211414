// tamberlyx-raster-convert [raster-file [output-folder]]: converts a captured job raster into the
// filter's intermediate images (page.pgm, page.pbm, page-NNNN.jbig).
#include "printfilter/RasterCapture.h"

int main(int argc, char** argv) {
    return tbx::maint(argc, argv);
}
