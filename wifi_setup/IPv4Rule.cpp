#include "wifi_setup/IPv4Rule.h"

#include <regex>

namespace tbx {

bool isIPv4Text(std::string_view text) {
    // The text must match as a whole: no line end or blank may follow the
    // last number (a search with "$" alone would let a final line end pass).
    static const std::regex pattern(
        "^(?:(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)\\.){3}(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)$");
    return std::regex_match(text.begin(), text.end(), pattern);
}

} // namespace tbx
