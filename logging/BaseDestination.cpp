#include "logging/BaseDestination.h"

#include "logging/Text.h"
#include "platform/foundation/Print.h"
#include "platform/foundation/UUID.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace tbx {

namespace {

// The settings this thread has pinned, with the destination they belong to.
thread_local const BaseDestination* tPinnedOwner = nullptr;
thread_local std::shared_ptr<const BaseDestination::Settings> tPinnedSettings;

template <class Words>
const std::string& pick(const Words& words, LogLevel level) {
    switch (level) {
    case LogLevel::verbose:
        return words.verbose;
    case LogLevel::debug:
        return words.debug;
    case LogLevel::info:
        return words.info;
    case LogLevel::warning:
        return words.warning;
    case LogLevel::error:
        return words.error;
    }
    return words.verbose;
}

std::string describeContext(const nlohmann::json& value) {
    if (value.is_string()) {
        return std::string(text::trim(value.get_ref<const std::string&>()));
    }
    return std::string(text::trim(value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)));
}

} // namespace

const std::string& BaseDestination::LevelString::operator[](LogLevel level) const {
    return pick(*this, level);
}
const std::string& BaseDestination::LevelColor::operator[](LogLevel level) const {
    return pick(*this, level);
}

BaseDestination::BaseDestination() : startDate_(std::chrono::system_clock::now()) {
    auto initial = std::make_shared<Settings>();
    initial->queue = dispatch::Queue::serial("logbook-queue-" + UUID().uuidString());
    settings_ = std::move(initial);
}

std::shared_ptr<const BaseDestination::Settings> BaseDestination::loadSettings() const {
    std::lock_guard lock(settingsMutex_);
    return settings_;
}

std::shared_ptr<const BaseDestination::Settings> BaseDestination::settings() const {
    if (tPinnedOwner == this) {
        return tPinnedSettings;
    }
    return loadSettings();
}

void BaseDestination::updateSettings(const std::function<void(Settings&)>& change) {
    std::lock_guard lock(settingsMutex_);
    auto next = std::make_shared<Settings>(*settings_);
    change(*next);
    settings_ = std::move(next);
}

BaseDestination::SettingsPin::SettingsPin(const BaseDestination& destination)
    : savedOwner_(tPinnedOwner), savedSettings_(tPinnedSettings) {
    // A pin inside a pin of the same destination keeps the outer snapshot.
    if (tPinnedOwner != &destination) {
        tPinnedSettings = destination.loadSettings();
        tPinnedOwner = &destination;
    }
}

BaseDestination::SettingsPin::~SettingsPin() {
    tPinnedOwner = savedOwner_;
    tPinnedSettings = std::move(savedSettings_);
}

void BaseDestination::setFormat(std::string format) {
    updateSettings([&](Settings& s) { s.format = std::move(format); });
}
void BaseDestination::setAsynchronously(bool value) {
    updateSettings([&](Settings& s) { s.asynchronously = value; });
}
void BaseDestination::setMinLevel(LogLevel level) {
    updateSettings([&](Settings& s) { s.minLevel = level; });
}
void BaseDestination::setLevelString(LevelString words) {
    updateSettings([&](Settings& s) { s.levelString = std::move(words); });
}
void BaseDestination::setLevelColor(LevelColor colors) {
    updateSettings([&](Settings& s) { s.levelColor = std::move(colors); });
}
void BaseDestination::setCalendar(Calendar calendar) {
    updateSettings([&](Settings& s) { s.calendar = calendar; });
}
void BaseDestination::setReset(std::string text) {
    updateSettings([&](Settings& s) { s.reset = std::move(text); });
}
void BaseDestination::setEscape(std::string text) {
    updateSettings([&](Settings& s) { s.escape = std::move(text); });
}
void BaseDestination::setFilters(std::vector<FilterPtr> filters) {
    updateSettings([&](Settings& s) { s.filters = std::move(filters); });
}
void BaseDestination::setQueue(std::optional<dispatch::Queue> queue) {
    updateSettings([&](Settings& s) { s.queue = std::move(queue); });
}
void BaseDestination::setDebugPrint(bool value) {
    updateSettings([&](Settings& s) { s.debugPrint = value; });
}

std::optional<std::string> BaseDestination::send(LogLevel level, const std::string& msg,
                                                 const std::string& thread, const std::string& file,
                                                 const std::string& function, std::int64_t line,
                                                 const LogContext& context) {
    SettingsPin pin(*this);
    const auto s = settings();
    if (s->format.starts_with("$J")) {
        return messageToJSON(level, msg, thread, file, function, line, context);
    }
    return formatMessage(s->format, level, msg, thread, file, function, line, context);
}

void BaseDestination::execute(bool synchronously, dispatch::Work block) const {
    const auto q = queue();
    if (!q) {
        print("Queue not set");
        return;
    }
    if (synchronously) {
        q->sync(block);
    } else {
        q->async(std::move(block));
    }
}

// ---- format language ----

std::pair<std::int64_t, std::int64_t> BaseDestination::parsePadding(std::string_view phrase) const {
    std::int64_t sign = 1;
    std::string_view examined = phrase;
    if (text::firstChar(phrase) == "-") {
        sign = -1;
        examined.remove_prefix(1);
    }
    std::size_t digits = 0;
    while (digits < examined.size() && examined[digits] >= '0' && examined[digits] <= '9') {
        ++digits;
    }
    std::int64_t n = 0;
    const auto [end, error] = std::from_chars(examined.data(), examined.data() + digits, n);
    if (digits == 0 || error != std::errc() || end != examined.data() + digits) {
        return {0, 0};
    }
    const std::int64_t width = std::clamp<std::int64_t>(n, 0, maxPadding) * sign;
    return {width, std::int64_t(digits) + (sign < 0 ? 1 : 0)};
}

std::string BaseDestination::paddedString(std::string_view value, std::int64_t width, bool truncating) const {
    width = std::clamp<std::int64_t>(width, -maxPadding, maxPadding);
    const auto length = std::int64_t(text::length(value));
    if (width > 0) {
        if (width < length) {
            if (truncating) {
                return std::string(value.substr(text::offsetOfChar(value, std::size_t(length - width))));
            }
            return std::string(value);
        }
        return std::string(std::size_t(width - length), ' ') + std::string(value);
    }
    if (width < 0) {
        const std::int64_t target = truncating ? -width : std::max(-width, length);
        if (target <= length) {
            return std::string(value.substr(0, text::offsetOfChar(value, std::size_t(target))));
        }
        return std::string(value) + std::string(std::size_t(target - length), ' ');
    }
    return std::string(value);
}

std::string BaseDestination::formatMessage(std::string_view format, LogLevel level, const std::string& msg,
                                           const std::string& thread, const std::string& file,
                                           const std::string& function, std::int64_t line,
                                           const LogContext& context) {
    SettingsPin pin(*this);
    const auto s = settings();
    std::string result;
    result.reserve(format.size() + msg.size() + 32);

    // The text before the first "$" counts as a phrase of the code "I".
    const std::size_t firstDollar = format.find('$');
    result.append(format.substr(0, firstDollar));
    std::size_t pos = firstDollar;
    while (pos != std::string_view::npos) {
        const std::size_t start = pos + 1;
        const std::size_t next = format.find('$', start);
        const std::string_view phrase =
            format.substr(start, next == std::string_view::npos ? std::string_view::npos : next - start);
        pos = next;
        if (phrase.empty()) {
            continue;
        }
        const auto [padding, offset] = parsePadding(phrase);
        if (std::size_t(offset) >= phrase.size()) {
            result.append(phrase); // only a width and no code: kept as written
            continue;
        }
        const char code = phrase[std::size_t(offset)];
        const std::string_view rest = phrase.substr(std::size_t(offset) + 1);
        const auto padded = [&, padding = padding](std::string_view value) {
            result += paddedString(value, padding);
        };
        switch (code) {
        case 'I':
        case 'd':
        case 'z':
            result.append(rest);
            break;
        case 'L':
            padded(levelWord(level));
            result.append(rest);
            break;
        case 'M':
            padded(msg);
            result.append(rest);
            break;
        case 'T':
            padded(thread);
            result.append(rest);
            break;
        case 'N':
            padded(fileNameWithoutSuffix(file));
            result.append(rest);
            break;
        case 'n':
            padded(fileNameOfFile(file));
            result.append(rest);
            break;
        case 'F':
            padded(function);
            result.append(rest);
            break;
        case 'l':
            padded(std::to_string(line));
            result.append(rest);
            break;
        case 'D':
            padded(formatDate(rest));
            break;
        case 'Z':
            padded(formatDate(rest, "UTC"));
            break;
        case 'U':
            padded(uptime());
            result.append(rest);
            break;
        case 'C':
            result += s->escape;
            result += colorForLevel(level);
            result.append(rest);
            break;
        case 'c':
            result += s->reset;
            result.append(rest);
            break;
        case 'X':
            padded(context ? describeContext(*context) : std::string());
            result.append(rest);
            break;
        default:
            result.append(phrase);
            break;
        }
    }
    result.resize(text::trimEnd(result).size());
    return result;
}

std::string BaseDestination::levelWord(LogLevel level) const {
    return settings()->levelString[level];
}

std::string BaseDestination::colorForLevel(LogLevel level) const {
    return settings()->levelColor[level];
}

std::string BaseDestination::fileNameOfFile(std::string_view file) const {
    const auto slash = file.rfind('/');
    return std::string(slash == std::string_view::npos ? file : file.substr(slash + 1));
}

std::string BaseDestination::fileNameWithoutSuffix(std::string_view file) const {
    const std::string name = fileNameOfFile(file);
    return name.substr(0, name.find('.'));
}

std::string BaseDestination::formatDate(std::string_view pattern, std::string_view timeZone) const {
    const auto zone =
        timeZone.empty() ? DateFormatter::Zone::local : DateFormatter::zoneFromAbbreviation(timeZone);
    return DateFormatter::format(pattern, now(), zone, settings()->calendar);
}

std::string BaseDestination::uptime() const {
    const double t = std::chrono::duration<double>(now() - startDate_).count();
    const auto whole = std::int64_t(t);
    const auto hours = whole / 3600;
    const auto minutes = std::int64_t(t / 60.0) - hours * 60;
    const auto seconds = whole - std::int64_t(t / 60.0) * 60;
    const auto millis = std::int64_t(std::fmod(t, 1.0) * 1000.0);
    char out[64];
    std::snprintf(out, sizeof out, "%02lld:%02lld:%02lld.%03lld", (long long)hours, (long long)minutes,
                  (long long)seconds, (long long)millis);
    return out;
}

// ---- JSON ----

std::optional<std::string> BaseDestination::messageToJSON(LogLevel level, const std::string& msg,
                                                          const std::string& thread, const std::string& file,
                                                          const std::string& function, std::int64_t line,
                                                          const LogContext& context) {
    nlohmann::json dict = {
        {"timestamp", std::chrono::duration<double>(now().time_since_epoch()).count()},
        {"level", rawValue(level)},
        {"message", msg},
        {"thread", thread},
        {"file", file},
        {"function", function},
        {"line", line},
    };
    if (context) {
        dict["context"] = *context;
    }
    return jsonStringFromDict(dict);
}

std::optional<std::string> BaseDestination::jsonStringFromDict(const nlohmann::json& dict) const {
    try {
        return dict.dump();
    } catch (const nlohmann::json::exception&) {
        print("Logbook could not create JSON from dict.");
        return std::nullopt;
    }
}

std::string BaseDestination::jsonStringValue(const std::optional<std::string>& json,
                                             std::string_view key) const {
    if (!json) {
        return "";
    }
    const std::size_t chars = text::length(*json);
    const std::size_t skip = text::length(key) + 5;
    if (chars < skip + 2) {
        return "";
    }
    const std::size_t begin = text::offsetOfChar(*json, skip);
    const std::size_t end = text::offsetOfChar(*json, chars - 2);
    return json->substr(begin, end - begin);
}

// ---- filters and the decision ----

void BaseDestination::addFilter(FilterPtr filter) {
    updateSettings([&](Settings& s) { s.filters.push_back(std::move(filter)); });
}

void BaseDestination::removeFilter(const FilterPtr& filter) {
    updateSettings([&](Settings& s) {
        const auto it = std::find(s.filters.begin(), s.filters.end(), filter);
        if (it != s.filters.end()) {
            s.filters.erase(it);
        }
    });
}

std::vector<FilterPtr> BaseDestination::getFiltersTargeting(const Filter::TargetType& target,
                                                            std::span<const FilterPtr> fromFilters) const {
    std::vector<FilterPtr> result;
    for (const auto& filter : fromFilters) {
        if (filter->getTarget() == target) {
            result.push_back(filter);
        }
    }
    return result;
}

bool BaseDestination::hasMessageFilters() const {
    // The same answer as getFiltersTargeting with a Message target, without
    // building one for every message.
    const auto s = settings();
    return std::any_of(s->filters.begin(), s->filters.end(), [](const FilterPtr& f) {
        return f->getTarget().kind() == Filter::TargetType::Case::Message;
    });
}

bool BaseDestination::shouldLevelBeLogged(LogLevel level, std::string_view path, std::string_view function,
                                          std::optional<std::string_view> message) const {
    const auto s = settings();
    const bool levelReached = rawValue(level) >= rawValue(s->minLevel);
    const auto say = [&](std::string_view line) {
        if (s->debugPrint) {
            print(line);
        }
    };
    if (s->filters.empty()) {
        say(levelReached ? "filters are empty and level >= minLevel"
                         : "filters are empty and level < minLevel");
        return levelReached;
    }
    using VT = FilterValidator::ValidationType;
    using Case = FilterValidator::Result::Case;
    const auto results = FilterValidator::validate({s->filters, level, path, function, message});
    const auto result = [&](VT type) -> std::optional<FilterValidator::Result> {
        const auto it = results.find(type);
        return it == results.end() ? std::nullopt : std::optional(it->second);
    };
    if (const auto excluded = result(VT::excluded); excluded && excluded->kind == Case::someFiltersMatch) {
        say("filters are not empty and message was excluded");
        return false;
    }
    if (const auto required = result(VT::required)) {
        if (required->kind == Case::allFiltersMatch) {
            return true;
        }
        if (required->kind == Case::someFiltersMatch) {
            return false;
        }
    }
    if (const auto nonRequired = result(VT::nonRequired)) {
        if (nonRequired->kind == Case::allFiltersMatch) {
            return true;
        }
        if (nonRequired->kind == Case::someFiltersMatch) {
            if (nonRequired->partial.fullMatchCount > 0) {
                return true;
            }
            if (nonRequired->partial.conditionMatchCount > 0) {
                return false;
            }
        }
    }
    return levelReached;
}

} // namespace tbx
