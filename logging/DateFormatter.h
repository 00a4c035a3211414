// Formats a point in time with a Unicode date-format pattern ("HH:mm:ss.SSS",
// "yyyy-MM-dd'T'HH:mm:ssZZZZZ"), in the local time zone or in UTC, with the
// Gregorian calendar and English month and day names. Supported letters: G y Y u
// M L d D E c e a h H k K m s S A Z z x X; other letters and all other characters
// are copied, and text in single quotes is copied literally ('' is one quote).
// The formatter holds no state, so one destination may format from any thread.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace tbx {

enum class Calendar { gregorian };

class DateFormatter {
public:
    enum class Zone { local, utc };

    // The zone named by a time-zone abbreviation; "UTC" and "GMT" name UTC, and an
    // abbreviation that names no zone gives the system's zone.
    static Zone zoneFromAbbreviation(std::string_view abbreviation);

    static std::string format(std::string_view pattern, std::chrono::system_clock::time_point when, Zone zone,
                              Calendar calendar = Calendar::gregorian);
};

} // namespace tbx
