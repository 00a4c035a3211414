#pragma once

// The simulation tools' report of the files a scan wrote.

#include "sim/tools/ConsoleLines.h"

#include <cstddef>
#include <filesystem>
#include <ostream>
#include <string_view>
#include <system_error>

namespace tbx::sim {

// Writes a line "<indent><path> (<size> bytes)" for each file under dir (paths relative to base
// when it is given, control characters escaped as the console shows them) and answers how many.
// A folder that cannot be read, or a file removed meanwhile, is left out and the listing goes on
// with the rest: it only reports, it never stops the tool. Links to folders are not followed.
inline std::size_t listFiles(std::ostream& out, const std::filesystem::path& dir, std::string_view indent,
                             const std::filesystem::path& base = {}) {
    namespace fs = std::filesystem;
    std::size_t files = 0;
    std::error_code ec;
    // A plain directory_iterator per folder: a recursive one ends for good at
    // the first folder it cannot open.
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code fileError;
        if (it->is_directory(fileError) && !it->is_symlink(fileError)) {
            files += listFiles(out, it->path(), indent, base);
            continue;
        }
        if (!it->is_regular_file(fileError))
            continue;
        const std::uintmax_t size = it->file_size(fileError);
        if (fileError)
            continue;
        const fs::path shown = base.empty() ? it->path() : it->path().lexically_relative(base);
        out << indent << escapedControls(shown.string()) << " (" << size << " bytes)\n";
        ++files;
    }
    return files;
}

} // namespace tbx::sim
