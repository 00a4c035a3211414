// The command line of tamberlyx-monitor-sim: every option, its default and its
// range, read strictly so that a bad value is refused with one line before the
// simulated printer or the model start.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <variant>

namespace tbx::sim {

// What the simulated printer may be told to answer: a two-byte status code and
// a toner level in percent.
inline constexpr int kMaxStatusCode = 65535;
inline constexpr int kMaxTonerLevel = 100;

struct MonitorSimOptions {
    int code = 1;
    int toner = 80;
    double interval = 6.0; // seconds between polls
    int polls = 3;         // poll intervals to run
    int unplugAfter = -1;  // -1: the printer stays plugged in
    bool help = false;
};

inline constexpr double kMinPollInterval = 0.1;
inline constexpr double kMaxPollInterval = 3600.0;
inline constexpr int kMaxPolls = 100000;

// The seconds of an --interval value (none: the value is missing), or the one-line reason for
// refusing it; both simulation tools of the status monitor read --interval with it.
std::variant<double, std::string> pollInterval(const std::optional<std::string>& value);

// The usage text that --help prints.
std::string monitorSimUsage();

// Reads `args` (the command line without the program name) over the defaults.
// Answers the options, or the one-line reason for refusing them. --help wins
// over every other option.
std::variant<MonitorSimOptions, std::string> parseMonitorSimOptions(std::span<const std::string> args);

} // namespace tbx::sim
