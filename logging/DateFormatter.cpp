#include "logging/DateFormatter.h"

#include <cstdio>
#include <ctime>

namespace tbx {

namespace {

constexpr const char* kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                                   "July",    "August",   "September", "October", "November", "December"};
constexpr const char* kDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                 "Thursday", "Friday", "Saturday"};

void appendNumber(std::string& out, long long value, int minDigits) {
    char digits[32];
    std::snprintf(digits, sizeof digits, "%0*lld", minDigits > 20 ? 20 : minDigits, value);
    out += digits;
}

void appendName(std::string& out, std::string_view name, int count) {
    if (count == 4) {
        out += name;
    } else if (count >= 5) {
        out += name.substr(0, 1);
    } else {
        out += name.substr(0, 3);
    }
}

// Offset "+hhmm", "+hh:mm", or "GMT+hh:mm"; `zulu` writes "Z" for offset 0.
void appendOffset(std::string& out, long offsetSeconds, bool colon, bool gmtPrefix, bool zulu) {
    if (zulu && offsetSeconds == 0) {
        out += 'Z';
        return;
    }
    if (gmtPrefix) {
        out += "GMT";
        if (offsetSeconds == 0) {
            return;
        }
    }
    const char sign = offsetSeconds < 0 ? '-' : '+';
    const long magnitude = offsetSeconds < 0 ? -offsetSeconds : offsetSeconds;
    char text[16];
    std::snprintf(text, sizeof text, colon ? "%c%02ld:%02ld" : "%c%02ld%02ld", sign, magnitude / 3600,
                  (magnitude / 60) % 60);
    out += text;
}

void appendField(std::string& out, char letter, int count, const std::tm& tm, long long millisOfSecond,
                 long long millisOfDay) {
    const int year = tm.tm_year + 1900;
    switch (letter) {
    case 'G':
        out += count == 4 ? (year > 0 ? "Anno Domini" : "Before Christ") : (year > 0 ? "AD" : "BC");
        break;
    case 'y':
    case 'Y':
    case 'u':
        if (count == 2) {
            appendNumber(out, year % 100, 2);
        } else {
            appendNumber(out, year, count);
        }
        break;
    case 'M':
    case 'L':
        if (count <= 2) {
            appendNumber(out, tm.tm_mon + 1, count);
        } else {
            appendName(out, kMonths[tm.tm_mon], count);
        }
        break;
    case 'd':
        appendNumber(out, tm.tm_mday, count);
        break;
    case 'D':
        appendNumber(out, tm.tm_yday + 1, count);
        break;
    case 'E':
        appendName(out, kDays[tm.tm_wday], count);
        break;
    case 'c':
    case 'e':
        if (count <= 2) {
            appendNumber(out, tm.tm_wday + 1, count);
        } else {
            appendName(out, kDays[tm.tm_wday], count);
        }
        break;
    case 'a':
        out += tm.tm_hour < 12 ? "AM" : "PM";
        break;
    case 'h':
        appendNumber(out, tm.tm_hour % 12 == 0 ? 12 : tm.tm_hour % 12, count);
        break;
    case 'H':
        appendNumber(out, tm.tm_hour, count);
        break;
    case 'k':
        appendNumber(out, tm.tm_hour == 0 ? 24 : tm.tm_hour, count);
        break;
    case 'K':
        appendNumber(out, tm.tm_hour % 12, count);
        break;
    case 'm':
        appendNumber(out, tm.tm_min, count);
        break;
    case 's':
        appendNumber(out, tm.tm_sec, count);
        break;
    case 'S': {
        // Fractional seconds: the first `count` digits of the milliseconds, then zeros.
        char fraction[4];
        std::snprintf(fraction, sizeof fraction, "%03lld", millisOfSecond);
        for (int i = 0; i < count; ++i) {
            out += i < 3 ? fraction[i] : '0';
        }
        break;
    }
    case 'A':
        appendNumber(out, millisOfDay, count);
        break;
    case 'Z':
        appendOffset(out, tm.tm_gmtoff, count == 5, count == 4, count == 5);
        break;
    case 'z':
        if (count == 4) {
            appendOffset(out, tm.tm_gmtoff, true, true, false);
        } else {
            out += tm.tm_zone ? tm.tm_zone : "";
        }
        break;
    case 'x':
    case 'X':
        appendOffset(out, tm.tm_gmtoff, count >= 3, false, letter == 'X');
        break;
    default:
        out.append(std::size_t(count), letter);
        break;
    }
}

bool isPatternLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

} // namespace

DateFormatter::Zone DateFormatter::zoneFromAbbreviation(std::string_view abbreviation) {
    return abbreviation == "UTC" || abbreviation == "GMT" ? Zone::utc : Zone::local;
}

std::string DateFormatter::format(std::string_view pattern, std::chrono::system_clock::time_point when,
                                  Zone zone, Calendar) {
    using namespace std::chrono;
    const auto sinceEpoch = duration_cast<milliseconds>(when.time_since_epoch()).count();
    long long seconds = sinceEpoch / 1000;
    long long millis = sinceEpoch % 1000;
    if (millis < 0) {
        millis += 1000;
        --seconds;
    }
    const std::time_t t = std::time_t(seconds);
    std::tm tm{};
    if (zone == Zone::utc) {
        gmtime_r(&t, &tm);
    } else {
        localtime_r(&t, &tm);
    }
    const long long millisOfDay = ((tm.tm_hour * 60LL + tm.tm_min) * 60 + tm.tm_sec) * 1000 + millis;

    std::string out;
    out.reserve(pattern.size() + 8);
    for (std::size_t i = 0; i < pattern.size();) {
        const char c = pattern[i];
        if (c == '\'') {
            if (i + 1 < pattern.size() && pattern[i + 1] == '\'') {
                out += '\'';
                i += 2;
                continue;
            }
            // Quoted literal up to the closing quote; '' inside stands for one quote.
            ++i;
            while (i < pattern.size()) {
                if (pattern[i] == '\'') {
                    if (i + 1 < pattern.size() && pattern[i + 1] == '\'') {
                        out += '\'';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                out += pattern[i++];
            }
            continue;
        }
        if (!isPatternLetter(c)) {
            out += c;
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < pattern.size() && pattern[end] == c) {
            ++end;
        }
        const int count = int(end - i > 64 ? 64 : end - i);
        appendField(out, c, count, tm, millis, millisOfDay);
        i = end;
    }
    return out;
}

} // namespace tbx
