#pragma once

// The simulation tools' report of the files a scan wrote.

#include <cstddef>
#include <filesystem>
#include <ostream>
#include <string_view>
#include <system_error>

namespace tbx::sim {

// Writes a line "<indent><path> (<size> bytes)" for each file under dir (paths relative to base
// when it is given) and answers how many. A folder that cannot be read, or a file removed
// meanwhile, is left out: the listing only reports, it never stops the tool.
inline std::size_t listFiles(std::ostream& out, const std::filesystem::path& dir, std::string_view indent,
                             const std::filesystem::path& base = {}) {
    namespace fs = std::filesystem;
    std::size_t files = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        std::error_code fileError;
        if (!it->is_regular_file(fileError))
            continue;
        const std::uintmax_t size = it->file_size(fileError);
        if (fileError)
            continue;
        const fs::path shown = base.empty() ? it->path() : it->path().lexically_relative(base);
        out << indent << shown.string() << " (" << size << " bytes)\n";
        ++files;
    }
    return files;
}

} // namespace tbx::sim
