#include "printfilter/JbigPageEncoder.h"

extern "C" {
#include <jbig.h>
}

namespace tbx {
namespace {

struct OutputSink {
    std::FILE* file;
    bool failed = false;
};

// The encoder's output callback: appends each piece to the page file.
void output_bie(unsigned char* start, size_t len, void* context) {
    auto* sink = static_cast<OutputSink*>(context);
    if (!sink->failed && std::fwrite(start, 1, len, sink->file) != len)
        sink->failed = true;
}

} // namespace

unsigned long jbigStripeLines(unsigned long height) {
    unsigned long l0 = height / 35;
    if (l0 > 128)
        l0 = 128;
    if (l0 < 2)
        l0 = 2;
    return l0;
}

bool encodeJbigPage(const PackedPage& page, std::FILE* file) {
    if (page.width <= 0 || page.height <= 0)
        return false;
    OutputSink sink{file};
    // The encoder only reads the plane; its interface takes it as non-const.
    unsigned char* planes[1] = {const_cast<unsigned char*>(page.bits.data())};
    jbg_enc_state state;
    jbg_enc_init(&state, static_cast<unsigned long>(page.width), static_cast<unsigned long>(page.height), 1,
                 planes, output_bie, &sink);
    jbg_enc_layers(&state, 0);
    jbg_enc_lrange(&state, 0, 0);
    jbg_enc_options(&state, JBG_ILEAVE | JBG_SMID, JBG_TPBON | JBG_TPDON | JBG_DPON,
                    jbigStripeLines(static_cast<unsigned long>(page.height)), 8, 0);
    jbg_enc_out(&state);
    jbg_enc_free(&state);
    return !sink.failed;
}

bool bmp_to_jbg(const std::string& path, const PackedPage& page) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    bool ok = encodeJbigPage(page, file);
    ok = (std::fflush(file) == 0) && ok;
    ok = (std::fclose(file) == 0) && ok;
    return ok;
}

} // namespace tbx
