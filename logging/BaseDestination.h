// The base of every log destination: its format and level settings, filters and
// level colours, the decision whether it takes a message, the formatting of a
// taken message (the "$"-code format language, or a JSON object) and the
// destination's own serial queue.
//
// Settings may be changed from any thread while others log. They live in one
// immutable record that every change replaces as a whole, so a reader always
// sees one consistent state; while a message is decided or formatted, the record
// is pinned for the calling thread, and every read in between sees the same one.
#pragma once

#include "logging/DateFormatter.h"
#include "logging/Filter.h"
#include "logging/LogLevel.h"
#include "platform/dispatch/Dispatch.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tbx {

// The optional context value that travels with a message, handed through untouched.
using LogContext = std::optional<nlohmann::json>;

class BaseDestination {
public:
    static constexpr std::string_view defaultFormat = "$DHH:mm:ss.SSS$d $C$L$c $N.$F:$l - $M";
    // Column widths beyond this are cut down to it: a width is a layout hint, not a
    // request for unbounded memory.
    static constexpr std::int64_t maxPadding = 1024;

    struct LevelString {
        std::string verbose = "VERBOSE";
        std::string debug = "DEBUG";
        std::string info = "INFO";
        std::string warning = "WARNING";
        std::string error = "ERROR";
        const std::string& operator[](LogLevel level) const;
        friend bool operator==(const LevelString&, const LevelString&) = default;
    };
    struct LevelColor {
        std::string verbose;
        std::string debug;
        std::string info;
        std::string warning;
        std::string error;
        const std::string& operator[](LogLevel level) const;
        friend bool operator==(const LevelColor&, const LevelColor&) = default;
    };

    struct Settings {
        std::string format{defaultFormat};
        bool asynchronously = true;
        LogLevel minLevel = LogLevel::verbose;
        LevelString levelString;
        LevelColor levelColor;
        Calendar calendar = Calendar::gregorian;
        std::string reset;
        std::string escape;
        std::vector<FilterPtr> filters;
        std::optional<dispatch::Queue> queue;
        bool debugPrint = false;
    };

    BaseDestination();
    virtual ~BaseDestination() = default;
    BaseDestination(const BaseDestination&) = delete;
    BaseDestination& operator=(const BaseDestination&) = delete;

    // One consistent snapshot of the settings (the pinned one while this thread
    // decides or formats a message of this destination).
    std::shared_ptr<const Settings> settings() const;
    // Changes settings atomically: `change` edits a copy that then replaces them.
    void updateSettings(const std::function<void(Settings&)>& change);

    // Keeps the settings read by this thread fixed while it lives.
    class SettingsPin {
    public:
        explicit SettingsPin(const BaseDestination& destination);
        ~SettingsPin();
        SettingsPin(const SettingsPin&) = delete;
        SettingsPin& operator=(const SettingsPin&) = delete;

    private:
        const BaseDestination* savedOwner_;
        std::shared_ptr<const Settings> savedSettings_;
    };

    std::string format() const { return settings()->format; }
    void setFormat(std::string format);
    virtual bool asynchronously() const { return settings()->asynchronously; }
    virtual void setAsynchronously(bool value);
    LogLevel minLevel() const { return settings()->minLevel; }
    void setMinLevel(LogLevel level);
    LevelString levelString() const { return settings()->levelString; }
    void setLevelString(LevelString words);
    LevelColor levelColor() const { return settings()->levelColor; }
    void setLevelColor(LevelColor colors);
    Calendar calendar() const { return settings()->calendar; }
    void setCalendar(Calendar calendar);
    std::string reset() const { return settings()->reset; }
    void setReset(std::string text);
    std::string escape() const { return settings()->escape; }
    void setEscape(std::string text);
    std::vector<FilterPtr> filters() const { return settings()->filters; }
    void setFilters(std::vector<FilterPtr> filters);
    std::optional<dispatch::Queue> queue() const { return settings()->queue; }
    void setQueue(std::optional<dispatch::Queue> queue);
    bool debugPrint() const { return settings()->debugPrint; }
    void setDebugPrint(bool value);

    std::chrono::system_clock::time_point startDate() const { return startDate_; }

    // Destinations are equal only to themselves; all of one kind hash alike.
    virtual int defaultHashValue() const { return 0; }
    std::size_t hashValue() const { return std::hash<int>{}(defaultHashValue()); }
    friend bool operator==(const BaseDestination& a, const BaseDestination& b) { return &a == &b; }

    // The line for one message: a JSON object when the format begins with "$J",
    // else the formatted line; none when JSON encoding fails. Writes nothing.
    virtual std::optional<std::string> send(LogLevel level, const std::string& msg, const std::string& thread,
                                            const std::string& file, const std::string& function,
                                            std::int64_t line, const LogContext& context);

    // Runs `block` on the destination's queue, waiting for it when `synchronously`
    // (inline when already on that queue). Without a queue it prints
    // "Queue not set" and the block does not run.
    void execute(bool synchronously, dispatch::Work block) const;
    // Runs `block` on the destination's queue and hands back its value or error.
    // Without a queue it throws std::logic_error("Queue not set").
    template <class F>
    auto executeSynchronously(F&& block) const -> decltype(block());

    virtual std::string formatMessage(std::string_view format, LogLevel level, const std::string& msg,
                                      const std::string& thread, const std::string& file,
                                      const std::string& function, std::int64_t line,
                                      const LogContext& context);
    virtual std::optional<std::string> messageToJSON(LogLevel level, const std::string& msg,
                                                     const std::string& thread, const std::string& file,
                                                     const std::string& function, std::int64_t line,
                                                     const LogContext& context);
    virtual std::string levelWord(LogLevel level) const;
    virtual std::string colorForLevel(LogLevel level) const;
    virtual std::string fileNameOfFile(std::string_view file) const;
    virtual std::string fileNameWithoutSuffix(std::string_view file) const;
    // The current time with `pattern`; an empty `timeZone` means the local zone,
    // otherwise the zone of that abbreviation ("UTC").
    virtual std::string formatDate(std::string_view pattern, std::string_view timeZone = "") const;
    virtual std::string uptime() const;
    virtual std::string jsonStringValue(const std::optional<std::string>& text, std::string_view key) const;
    virtual std::optional<std::string> jsonStringFromDict(const nlohmann::json& dict) const;

    virtual void addFilter(FilterPtr filter);
    virtual void removeFilter(const FilterPtr& filter);
    virtual bool hasMessageFilters() const;
    virtual bool shouldLevelBeLogged(LogLevel level, std::string_view path, std::string_view function,
                                     std::optional<std::string_view> message) const;
    virtual std::vector<FilterPtr> getFiltersTargeting(const Filter::TargetType& target,
                                                       std::span<const FilterPtr> fromFilters) const;
    virtual void flush() {}

protected:
    // (width, characters the width takes at the start of the phrase).
    virtual std::pair<std::int64_t, std::int64_t> parsePadding(std::string_view phrase) const;
    virtual std::string paddedString(std::string_view text, std::int64_t width,
                                     bool truncating = false) const;
    // The clock of date codes, uptimes and JSON time stamps.
    virtual std::chrono::system_clock::time_point now() const { return std::chrono::system_clock::now(); }

private:
    std::shared_ptr<const Settings> loadSettings() const;

    mutable std::mutex settingsMutex_;
    std::shared_ptr<const Settings> settings_;
    const std::chrono::system_clock::time_point startDate_;
};

using DestinationPtr = std::shared_ptr<BaseDestination>;

template <class F>
auto BaseDestination::executeSynchronously(F&& block) const -> decltype(block()) {
    const auto q = queue();
    if (!q) {
        throw std::logic_error("Queue not set");
    }
    using R = decltype(block());
    std::exception_ptr error;
    if constexpr (std::is_void_v<R>) {
        q->sync([&] {
            try {
                block();
            } catch (...) {
                error = std::current_exception();
            }
        });
        if (error) {
            std::rethrow_exception(error);
        }
    } else {
        std::optional<R> result;
        q->sync([&] {
            try {
                result.emplace(block());
            } catch (...) {
                error = std::current_exception();
            }
        });
        if (error) {
            std::rethrow_exception(error);
        }
        return std::move(*result);
    }
}

} // namespace tbx

template <>
struct std::hash<tbx::BaseDestination> {
    std::size_t operator()(const tbx::BaseDestination& d) const noexcept { return d.hashValue(); }
};
