// The logger's levels, ordered by their raw values: verbose is the lowest,
// error the highest.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tbx {

enum class LogLevel : int { verbose = 0, debug = 1, info = 2, warning = 3, error = 4 };

// The level of a raw value 0 to 4; no level for any other integer.
constexpr std::optional<LogLevel> logLevelFromRaw(std::int64_t raw) {
    if (raw < 0 || raw > 4) {
        return std::nullopt;
    }
    return LogLevel(int(raw));
}

constexpr int rawValue(LogLevel level) {
    return int(level);
}

// The level word of a cloud error-report record.
constexpr std::string_view severity(LogLevel level) {
    switch (level) {
    case LogLevel::verbose:
    case LogLevel::debug:
        return "DEBUG";
    case LogLevel::info:
        return "INFO";
    case LogLevel::warning:
        return "WARNING";
    case LogLevel::error:
        return "ERROR";
    }
    return "DEBUG";
}

} // namespace tbx
