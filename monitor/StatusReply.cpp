#include "monitor/StatusReply.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <vector>

namespace tbx {

std::optional<std::int64_t> decimalInteger(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    // Parsed as a magnitude so that the most negative value still fits.
    std::uint64_t magnitude = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    constexpr auto maxPositive = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (!negative) {
        if (magnitude > maxPositive) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(magnitude);
    }
    if (magnitude > maxPositive + 1) {
        return std::nullopt;
    }
    return magnitude == maxPositive + 1 ? std::numeric_limits<std::int64_t>::min()
                                        : -static_cast<std::int64_t>(magnitude);
}

std::optional<std::int64_t> statusCodeFromReply(std::string_view reply) {
    const auto quote = reply.find('"');
    const auto comma = reply.find(',');
    if (quote == std::string_view::npos || comma == std::string_view::npos || comma < quote) {
        return std::nullopt;
    }
    return decimalInteger(reply.substr(quote + 1, comma - quote - 1));
}

TonerReply tonerFromReply(std::string_view reply) {
    constexpr std::string_view separator = ": ";
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const auto found = reply.find(separator, start);
        parts.push_back(
            reply.substr(start, found == std::string_view::npos ? std::string_view::npos : found - start));
        if (found == std::string_view::npos) {
            break;
        }
        start = found + separator.size();
    }
    TonerReply result;
    if (parts.size() != 2) {
        return result;
    }
    result.value = std::string(parts[1]);
    const auto value = decimalInteger(parts[1]);
    if (value && *value >= std::numeric_limits<int>::min() && *value <= std::numeric_limits<int>::max()) {
        result.toner = static_cast<int>(*value);
    }
    return result;
}

std::optional<UsbStatusAnswer> usbStatusFromAnswer(std::span<const std::uint8_t> answer,
                                                   std::size_t received) {
    received = std::min(received, answer.size());
    if (received < 2) {
        return std::nullopt;
    }
    UsbStatusAnswer result;
    result.code = std::int64_t{answer[1]} * 256 + answer[0];
    if (received >= 3) {
        result.toner = answer[2];
    }
    return result;
}

} // namespace tbx
