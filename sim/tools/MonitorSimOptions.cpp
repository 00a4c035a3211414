#include "sim/tools/MonitorSimOptions.h"

#include "sim/tools/ToolOptions.h"

#include <optional>

namespace tbx::sim {

namespace {

std::string decimal(double value) {
    std::string text = std::to_string(value);
    text.erase(text.find_last_not_of('0') + 1);
    if (text.back() == '.') {
        text.pop_back();
    }
    return text;
}

std::string wholeRange(long long low, long long high) {
    return "a whole number from " + std::to_string(low) + " to " + std::to_string(high);
}

} // namespace

std::variant<double, std::string> pollInterval(const std::optional<std::string>& value) {
    if (value) {
        if (const auto seconds = decimalNumber(*value, kMinPollInterval, kMaxPollInterval)) {
            return *seconds;
        }
    }
    return "--interval must be a number of seconds from " + decimal(kMinPollInterval) + " to " +
           decimal(kMaxPollInterval) + (value ? ", not \"" + *value + "\"" : std::string());
}

std::string monitorSimUsage() {
    return "usage: tamberlyx-monitor-sim [options]\n"
           "The status monitor's engine polling the simulated USB printer, printing every change of the\n"
           "printer list, the selection and the status (run it inside scripts/sandbox).\n" +
           usageLine("--code N",
                     "the printer's status code, 0 to " + std::to_string(kMaxStatusCode) + " (default 1)") +
           usageLine("--toner N",
                     "its toner level, 0 to " + std::to_string(kMaxTonerLevel) + " % (default 80)") +
           usageLine("--interval SECONDS", "time between polls, " + decimal(kMinPollInterval) + " to " +
                                               decimal(kMaxPollInterval) + " (default 6)") +
           usageLine("--polls N",
                     "poll intervals to run, 1 to " + std::to_string(kMaxPolls) + " (default 3)") +
           usageLine("--unplug-after N", "unplug the printer after N intervals, 1 to --polls") +
           usageLine("--help", "this text") +
           "TAMBERLYX_SIMULATED_PRINTER chooses the printer (usb, the default).\n"
           "Exit status: 0 after the last interval, 2 for a bad option or outside the sandbox.\n";
}

std::variant<MonitorSimOptions, std::string> parseMonitorSimOptions(std::span<const std::string> args) {
    MonitorSimOptions o;
    if (asksForHelp(args)) {
        o.help = true;
        return o;
    }
    // Whole-number options: where the value goes and its range.
    struct Whole {
        const char* option;
        int* field;
        int low, high;
    };
    const Whole wholes[] = {
        {"--code", &o.code, 0, kMaxStatusCode},
        {"--toner", &o.toner, 0, kMaxTonerLevel},
        {"--polls", &o.polls, 1, kMaxPolls},
    };
    std::optional<std::string> unplugText;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const Whole* whole = nullptr;
        for (const Whole& w : wholes) {
            whole = arg == w.option ? &w : whole;
        }
        if (whole == nullptr && arg != "--interval" && arg != "--unplug-after") {
            return "unknown option " + arg + " (see --help)";
        }
        if (i + 1 >= args.size()) {
            return arg + " needs a value (see --help)";
        }
        const std::string& value = args[++i];
        if (whole != nullptr) {
            const auto number = wholeNumber(value, whole->low, whole->high);
            if (!number) {
                return arg + " must be " + wholeRange(whole->low, whole->high) + ", not \"" + value + "\"";
            }
            *whole->field = int(*number);
        } else if (arg == "--interval") {
            const auto seconds = pollInterval(value);
            if (const auto* reason = std::get_if<std::string>(&seconds)) {
                return *reason;
            }
            o.interval = std::get<double>(seconds);
        } else {
            unplugText = value; // checked against --polls, which may follow
        }
    }
    if (unplugText) {
        const auto after = wholeNumber(*unplugText, 1, o.polls);
        if (!after) {
            return "--unplug-after must be " + wholeRange(1, o.polls) + " (--polls), not \"" + *unplugText +
                   "\"";
        }
        o.unplugAfter = int(*after);
    }
    return o;
}

} // namespace tbx::sim
