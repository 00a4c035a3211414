#include "sim/tools/ToolOptions.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace tbx::sim {

std::string joinedWords(const std::vector<std::string>& words) {
    std::string text;
    for (std::size_t i = 0; i < words.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + words[i];
    }
    return text;
}

namespace {

template <class T>
std::optional<T> parsed(std::string_view text, T low, T high, auto... format) {
    T value{};
    const char* first = text.data();
    const char* last = first + text.size();
    const auto [end, error] = std::from_chars(first, last, value, format...);
    if (text.empty() || error != std::errc() || end != last || !(value >= low && value <= high)) {
        return std::nullopt;
    }
    return value;
}

} // namespace

std::optional<long long> wholeNumber(std::string_view text, long long low, long long high) {
    return parsed<long long>(text, low, high);
}

std::optional<double> decimalNumber(std::string_view text, double low, double high) {
    // from_chars takes "nan" and "inf" in every format; only digits, one point and a sign are wanted.
    const bool plain = std::all_of(text.begin(), text.end(),
                                   [](char c) { return (c >= '0' && c <= '9') || c == '.' || c == '-'; });
    if (!plain) {
        return std::nullopt;
    }
    const auto value = parsed<double>(text, low, high, std::chars_format::fixed);
    return value && std::isfinite(*value) ? value : std::nullopt;
}

std::string usageLine(const std::string& option, const std::string& text) {
    return "  " + option + std::string(option.size() < 22 ? 22 - option.size() : 1, ' ') + text + "\n";
}

bool asksForHelp(std::span<const std::string> args) {
    return std::any_of(args.begin(), args.end(),
                       [](const std::string& a) { return a == "--help" || a == "-h"; });
}

} // namespace tbx::sim
