#include "logging/ConsoleDestination.h"

#include "platform/foundation/Print.h"

#include <syslog.h>

namespace tbx {

BaseDestination::LevelColor ConsoleDestination::heartMarks() {
    return {"\U0001F49C ", "\U0001F49A ", "\U0001F499 ", "\U0001F49B ", "\u2764\uFE0F "};
}

BaseDestination::LevelColor ConsoleDestination::terminalColors() {
    return {"251m", "35m", "38m", "178m", "197m"};
}

ConsoleDestination::ConsoleDestination() {
    setLevelColor(heartMarks());
}

void ConsoleDestination::setUseTerminalColors(bool value) {
    std::lock_guard lock(colorsMutex_);
    useTerminalColors_.store(value);
    updateSettings([&](Settings& s) {
        if (value) {
            s.reset = "\x1b[0m";
            s.escape = "\x1b[38;5;";
            s.levelColor = terminalColors();
        } else {
            s.levelColor = heartMarks();
        }
    });
}

std::optional<std::string> ConsoleDestination::send(LogLevel level, const std::string& msg,
                                                    const std::string& thread, const std::string& file,
                                                    const std::string& function, std::int64_t line,
                                                    const LogContext& context) {
    auto formatted = BaseDestination::send(level, msg, thread, file, function, line, context);
    if (formatted) {
        if (useNSLog()) {
            writeToSystemLog(*formatted);
        } else {
            print(*formatted);
        }
    }
    return formatted;
}

void ConsoleDestination::writeToSystemLog(const std::string& line) {
    ::syslog(LOG_NOTICE, "%s", line.c_str());
}

} // namespace tbx
