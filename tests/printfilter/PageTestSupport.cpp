#include "PageTestSupport.h"

#include "platform/posix/PosixIO.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

extern "C" {
#include <jbig.h>
}

namespace tbx::test {
namespace {

ssize_t appendToString(void* ctx, unsigned char* buf, size_t len) {
    static_cast<std::string*>(ctx)->append(reinterpret_cast<const char*>(buf), len);
    return static_cast<ssize_t>(len);
}

} // namespace

std::string makeRaster(const std::vector<GrayPage>& pages, const RasterSpec& spec) {
    std::string out;
    cups_raster_t* ras = cupsRasterOpenIO(appendToString, &out,
                                          spec.compressed ? CUPS_RASTER_WRITE_COMPRESSED : CUPS_RASTER_WRITE);
    for (const GrayPage& p : pages) {
        cups_page_header2_t h;
        std::memset(&h, 0, sizeof h);
        h.HWResolution[0] = h.HWResolution[1] = 600;
        h.cupsWidth = static_cast<unsigned>(p.width);
        h.cupsHeight = static_cast<unsigned>(p.height);
        h.cupsBitsPerColor = spec.bitsPerColor;
        h.cupsBitsPerPixel = spec.bitsPerPixel;
        h.cupsBytesPerLine = spec.bytesPerLine ? spec.bytesPerLine
                                               : (static_cast<unsigned>(p.width) * spec.bitsPerPixel + 7) / 8;
        h.cupsColorSpace = spec.colorSpace;
        h.cupsColorOrder = CUPS_ORDER_CHUNKED;
        h.cupsNumColors = spec.colorSpace == CUPS_CSPACE_RGB ? 3 : 1;
        if (!cupsRasterWriteHeader2(ras, &h))
            throw std::runtime_error("cupsRasterWriteHeader2 failed");
        std::vector<unsigned char> row(h.cupsBytesPerLine, 0);
        for (int y = 0; y < p.height; ++y) {
            for (unsigned x = 0; x < h.cupsBytesPerLine; ++x)
                row[x] = static_cast<unsigned char>(x < static_cast<unsigned>(p.width) ? p.row(y)[x] : 0x55);
            cupsRasterWritePixels(ras, row.data(), h.cupsBytesPerLine);
        }
    }
    cupsRasterClose(ras);
    return out;
}

GrayPage noisePage(int w, int h, unsigned seed) {
    std::mt19937 rng(seed);
    GrayPage p(w, h);
    for (auto& v : p.pixels)
        v = static_cast<std::uint8_t>(rng() & 0xFF);
    return p;
}

MemoryRaster::MemoryRaster(std::string bytes) : bytes_(std::move(bytes)) {
    ras_ = cupsRasterOpenIO(&MemoryRaster::read, this, CUPS_RASTER_READ);
}

MemoryRaster::~MemoryRaster() {
    if (ras_)
        cupsRasterClose(ras_);
}

ssize_t MemoryRaster::read(void* ctx, unsigned char* buf, size_t len) {
    auto* self = static_cast<MemoryRaster*>(ctx);
    const std::size_t n = std::min(len, self->bytes_.size() - self->pos_);
    std::memcpy(buf, self->bytes_.data() + self->pos_, n);
    self->pos_ += n;
    return static_cast<ssize_t>(n);
}

std::optional<PackedPage> decodeJbig(const std::string& bytes) {
    jbg_dec_state s;
    jbg_dec_init(&s);
    size_t used = 0;
    const int r = jbg_dec_in(&s, reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data())),
                             bytes.size(), &used);
    std::optional<PackedPage> page;
    if (r == JBG_EOK && jbg_dec_getplanes(&s) == 1) {
        page = PackedPage(static_cast<int>(jbg_dec_getwidth(&s)), static_cast<int>(jbg_dec_getheight(&s)));
        const unsigned char* img = jbg_dec_getimage(&s, 0);
        if (jbg_dec_getsize(&s) == page->bits.size())
            std::memcpy(page->bits.data(), img, page->bits.size());
        else
            page.reset();
    }
    jbg_dec_free(&s);
    return page;
}

std::string readFile(const std::string& path) {
    return posix::readFile(path).bytes;
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

bool spoolFolderLeft(const std::string& folder) {
    for (const auto& e : std::filesystem::recursive_directory_iterator(folder))
        if (e.path().filename().string().rfind("tamberlyx-jbig-", 0) == 0)
            return true;
    return false;
}

bool fileExists(const std::string& path) {
    return std::filesystem::exists(path);
}

TempDir::TempDir() {
    std::string t = (std::filesystem::temp_directory_path() / "tbx-pages-XXXXXX").string();
    if (!::mkdtemp(t.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = t;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

} // namespace tbx::test
