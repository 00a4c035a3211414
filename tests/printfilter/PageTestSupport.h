#pragma once

// Helpers of the page pipeline tests: CUPS raster made and read in memory, JBIG decoding with
// JBIG-KIT's decoder, private temporary folders.

#include "printfilter/GrayPage.h"

#include <cups/raster.h>
#include <optional>
#include <string>
#include <vector>

namespace tbx::test {

struct RasterSpec {
    cups_cspace_t colorSpace = CUPS_CSPACE_W;
    unsigned bitsPerColor = 8;
    unsigned bitsPerPixel = 8;
    unsigned bytesPerLine = 0; // 0: the width
    bool compressed = false;   // the run-length compressed stream instead of the plain one
};

// CUPS raster (uncompressed stream) holding the pages; rows of each page as given.
std::string makeRaster(const std::vector<GrayPage>& pages, const RasterSpec& spec = {});

// A page whose pixel (x, y) is f(x, y).
template <typename F>
GrayPage makePage(int w, int h, F f) {
    GrayPage p(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            p.row(y)[x] = static_cast<std::uint8_t>(f(x, y));
    return p;
}

// A page of pseudo-random grey values.
GrayPage noisePage(int w, int h, unsigned seed);

// Reader over raster bytes held in memory.
class MemoryRaster {
public:
    explicit MemoryRaster(std::string bytes);
    ~MemoryRaster();
    MemoryRaster(const MemoryRaster&) = delete;
    MemoryRaster& operator=(const MemoryRaster&) = delete;
    cups_raster_t* get() const { return ras_; }

private:
    static ssize_t read(void* ctx, unsigned char* buf, size_t len);
    std::string bytes_;
    std::size_t pos_ = 0;
    cups_raster_t* ras_ = nullptr;
};

// Decodes one JBIG image entity; nothing when it does not decode.
std::optional<PackedPage> decodeJbig(const std::string& bytes);
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
bool fileExists(const std::string& path);
// True when a job's spool folder ("tamberlyx-jbig-...") is left anywhere under folder.
bool spoolFolderLeft(const std::string& folder);

// A private folder removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

} // namespace tbx::test
