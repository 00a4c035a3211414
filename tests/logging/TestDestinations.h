// Destinations for tests: a fixed clock, and a recorder of what reached send.
#pragma once

#include "logging/BaseDestination.h"

#include <atomic>
#include <ctime>
#include <mutex>
#include <vector>

namespace tbx::test {

// 14:03:22.417 of today, local time.
inline std::chrono::system_clock::time_point localTimeOfDay(int h, int m, int s, int ms) {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    tm.tm_hour = h;
    tm.tm_min = m;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&tm)) + std::chrono::milliseconds(ms);
}

class FixedClockDestination : public BaseDestination {
public:
    std::chrono::system_clock::time_point fixedNow = localTimeOfDay(14, 3, 22, 417);
    using BaseDestination::paddedString;
    using BaseDestination::parsePadding;

protected:
    std::chrono::system_clock::time_point now() const override { return fixedNow; }
};

class RecordingDestination : public BaseDestination {
public:
    std::optional<std::string> send(LogLevel level, const std::string& msg, const std::string& thread,
                                    const std::string& file, const std::string& function, std::int64_t line,
                                    const LogContext& context) override {
        auto formatted = BaseDestination::send(level, msg, thread, file, function, line, context);
        std::lock_guard lock(mutex);
        messages.push_back(msg);
        functions.push_back(function);
        threads.push_back(thread);
        return formatted;
    }
    void flush() override { ++flushes; }

    std::vector<std::string> received() {
        std::lock_guard lock(mutex);
        return messages;
    }

    std::mutex mutex;
    std::vector<std::string> messages;
    std::vector<std::string> functions;
    std::vector<std::string> threads;
    std::atomic<int> flushes{0};
};

} // namespace tbx::test
