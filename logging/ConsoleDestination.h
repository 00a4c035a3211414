// The console destination: each accepted message as one line on standard output
// (written whole with its line end, so lines of several destinations never
// interleave), or as one entry of the system log. Level colours are heart marks
// by default, or 256-colour terminal escape codes on request.
#pragma once

#include "logging/BaseDestination.h"

#include <atomic>

namespace tbx {

class ConsoleDestination : public BaseDestination {
public:
    ConsoleDestination();

    // true: lines go to the system log (syslog) instead of standard output.
    bool useNSLog() const { return useNSLog_.load(); }
    void setUseNSLog(bool value) { useNSLog_.store(value); }

    // Every assignment stores the level colours again (also an unchanged value):
    // true selects the terminal codes and their escape and reset texts, false
    // the heart marks (escape and reset stay as they are).
    bool useTerminalColors() const { return useTerminalColors_.load(); }
    void setUseTerminalColors(bool value);

    int defaultHashValue() const override { return 1; }

    std::optional<std::string> send(LogLevel level, const std::string& msg, const std::string& thread,
                                    const std::string& file, const std::string& function, std::int64_t line,
                                    const LogContext& context) override;

    static LevelColor heartMarks();
    static LevelColor terminalColors();

protected:
    // One entry of the system log; the line is an argument, never a format.
    virtual void writeToSystemLog(const std::string& line);

private:
    std::atomic<bool> useNSLog_{false};
    std::atomic<bool> useTerminalColors_{false};
    std::mutex colorsMutex_; // one change action at a time
};

} // namespace tbx
