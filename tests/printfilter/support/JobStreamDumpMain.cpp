// tamberlyx-jobstream-dump STREAM [FOLDER]
// Reads a recorded printer job stream, prints its job header and each page's
// header, and, given a folder, writes each page's JBIG data there as
// page-NNNN.jbg (for jbgtopbm). Exits 1 when the stream breaks the job grammar.
#include "tests/printfilter/support/JobStreamDecoder.h"

#include <cstdio>
#include <fstream>
#include <iostream>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: tamberlyx-jobstream-dump STREAM [FOLDER]\n";
        return 2;
    }
    const std::string stream = tbx::test::readWholeFile(argv[1]);
    const auto job = tbx::test::decodeJobStream(stream);
    std::cout << "job stream: " << stream.size() << " bytes, " << job.pages.size() << " pages"
              << (job.cancelled ? ", cancelled" : "") << (job.endOfJob ? ", ended" : "") << "\n";
    for (const auto& [key, value] : job.jobHeader) {
        std::cout << "  " << key << " = " << value << "\n";
    }
    int number = 0;
    for (const auto& page : job.pages) {
        ++number;
        std::cout << "page " << number << ": " << page.width() << " x " << page.height() << ", "
                  << page.pieces.size() << " data pieces, " << page.data.size() << " bytes of JBIG\n";
        if (argc > 2) {
            char name[32];
            std::snprintf(name, sizeof name, "/page-%04d.jbg", number);
            std::ofstream(std::string(argv[2]) + name, std::ios::binary) << page.data;
        }
    }
    if (!job.ok()) {
        std::cerr << "job stream error: " << job.error << "\n";
        return 1;
    }
    return 0;
}
