// tamberlyx-jobstream-dump [--help] STREAM [FOLDER]
// Reads a recorded printer job stream, prints its job header and each page's header, and, given a
// folder, writes each page's JBIG data there as page-NNNN.jbg (for jbgtopbm). Exit status 0 for a
// stream that follows the job grammar with every file written, 1 when the stream cannot be read,
// breaks the grammar or a page file cannot be written, 2 on bad arguments.
#include "platform/posix/PosixIO.h"
#include "tests/printfilter/support/JobStreamDecoder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

constexpr const char* kProgram = "tamberlyx-jobstream-dump";

void usage(std::ostream& to) {
    to << "Usage: " << kProgram << " STREAM [FOLDER]\n"
       << "Prints the job header and the page headers of a recorded printer job stream and, with\n"
       << "FOLDER (which must exist), writes each page's JBIG data as FOLDER/page-NNNN.jbg.\n"
       << "Exit status 0 for a whole, well-formed stream, 1 on an error, 2 on bad arguments.\n";
}

int fail(const std::string& why) {
    std::cerr << kProgram << ": " << why << "\n";
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> operands;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(std::cout);
            return 0;
        }
        if (arg.size() > 1 && arg[0] == '-') {
            std::cerr << kProgram << ": unknown option " << arg << " (see --help)\n";
            return 2;
        }
        operands.push_back(arg);
    }
    if (operands.empty() || operands.size() > 2) {
        usage(std::cerr);
        return 2;
    }
    const tbx::posix::FileContents read = tbx::posix::readFile(operands[0]);
    if (!read.ok())
        return fail("cannot read " + operands[0] + ": " + std::strerror(read.error));
    const std::string& stream = read.bytes;
    std::string folder;
    if (operands.size() == 2) {
        folder = operands[1];
        struct stat st {};
        if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return fail("the output folder " + folder + " does not exist");
    }

    const auto job = tbx::test::decodeJobStream(stream);
    std::cout << "job stream: " << stream.size() << " bytes, " << job.pages.size() << " pages"
              << (job.cancelled ? ", cancelled" : "") << (job.endOfJob ? ", ended" : "") << "\n";
    for (const auto& [key, value] : job.jobHeader)
        std::cout << "  " << key << " = " << value << "\n";
    int number = 0;
    for (const auto& page : job.pages) {
        ++number;
        std::cout << "page " << number << ": " << page.width() << " x " << page.height() << ", "
                  << page.pieces.size() << " data pieces, " << page.data.size() << " bytes of JBIG\n";
        if (folder.empty())
            continue;
        char name[32];
        std::snprintf(name, sizeof name, "/page-%04d.jbg", number);
        const std::string path = folder + name;
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << page.data;
        out.close();
        if (!out)
            return fail("cannot write " + path + ": " + std::strerror(errno ? errno : EIO));
    }
    if (!job.ok())
        return fail("job stream error: " + job.error);
    return 0;
}
