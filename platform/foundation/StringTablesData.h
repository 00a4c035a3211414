// The string tables built into the library from strings/*.strings (generated
// source, see strings/embed.cmake).
#pragma once

#include <string_view>
#include <vector>

namespace tbx::stringtables {

struct Source {
    std::string_view language;
    std::string_view text;
};

const std::vector<Source>& sources();

} // namespace tbx::stringtables
