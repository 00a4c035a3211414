// Log filters: what a filter tests (the source path, the function or the message
// text) and how, the factories that make them, and FilterValidator, which
// evaluates a destination's filters against one message. Filters never change
// after construction, so they are shared freely between threads.
#pragma once

#include "logging/LogLevel.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tbx {

class Filter {
public:
    struct StringComparison {
        std::vector<std::string> strings;
        bool caseSensitive;
    };
    struct StartsWith : StringComparison {};
    struct Contains : StringComparison {};
    struct Excludes : StringComparison {};
    struct EndsWith : StringComparison {};
    struct Equals : StringComparison {};
    struct Custom {
        // Called on whatever thread logs; must be safe to call from several at once.
        std::function<bool(const std::string&)> predicate;
    };
    using ComparisonType = std::variant<StartsWith, Contains, Excludes, EndsWith, Equals, Custom>;

    // What a filter tests, with the comparison it applies. Two target types are
    // equal when their cases are; the comparisons are not looked at.
    class TargetType {
    public:
        enum class Case { Path, Function, Message };
        static TargetType Path(ComparisonType comparison) { return {Case::Path, std::move(comparison)}; }
        static TargetType Function(ComparisonType comparison) {
            return {Case::Function, std::move(comparison)};
        }
        static TargetType Message(ComparisonType comparison) {
            return {Case::Message, std::move(comparison)};
        }

        Case kind() const { return case_; }
        const ComparisonType& comparison() const { return comparison_; }
        friend bool operator==(const TargetType& a, const TargetType& b) { return a.case_ == b.case_; }

    private:
        TargetType(Case c, ComparisonType comparison) : case_(c), comparison_(std::move(comparison)) {}
        Case case_;
        ComparisonType comparison_;
    };

    Filter(TargetType targetType, bool required, LogLevel minLevel);
    virtual ~Filter() = default;

    virtual const TargetType& getTarget() const { return targetType_; }
    virtual bool isRequired() const { return required_; }
    virtual bool isExcluded() const { return false; }
    virtual bool reachedMinLevel(LogLevel level) const { return rawValue(level) >= rawValue(minLevel_); }

private:
    const TargetType targetType_;
    const bool required_;
    const LogLevel minLevel_;
};

// The interface of every filter a destination holds.
class FilterType {
public:
    virtual ~FilterType() = default;
    // Whether `value` meets the filter's comparison; an absent value never does.
    virtual bool apply(std::optional<std::string_view> value) const = 0;
    virtual const Filter::TargetType& getTarget() const = 0;
    virtual bool isRequired() const = 0;
    virtual bool isExcluded() const = 0;
    virtual bool reachedMinLevel(LogLevel level) const = 0;
};

class CompareFilter : public Filter, public FilterType {
public:
    CompareFilter(TargetType targetType, bool required, LogLevel minLevel);

    bool apply(std::optional<std::string_view> value) const override;
    const TargetType& getTarget() const override { return Filter::getTarget(); }
    bool isRequired() const override { return Filter::isRequired(); }
    bool isExcluded() const override;
    bool reachedMinLevel(LogLevel level) const override { return Filter::reachedMinLevel(level); }

    const ComparisonType& filterComparisonType() const { return filterComparisonType_; }

private:
    ComparisonType filterComparisonType_;
};

using FilterPtr = std::shared_ptr<FilterType>;

// The six factory operations, one factory per target case.
template <Filter::TargetType::Case C>
class FilterFactory {
public:
    static FilterPtr startsWith(std::vector<std::string> strings, bool caseSensitive = false,
                                bool required = false, LogLevel minLevel = LogLevel::verbose) {
        return make(Filter::StartsWith{{std::move(strings), caseSensitive}}, required, minLevel);
    }
    static FilterPtr contains(std::vector<std::string> strings, bool caseSensitive = false,
                              bool required = false, LogLevel minLevel = LogLevel::verbose) {
        return make(Filter::Contains{{std::move(strings), caseSensitive}}, required, minLevel);
    }
    static FilterPtr excludes(std::vector<std::string> strings, bool caseSensitive = false,
                              bool required = false, LogLevel minLevel = LogLevel::verbose) {
        return make(Filter::Excludes{{std::move(strings), caseSensitive}}, required, minLevel);
    }
    static FilterPtr endsWith(std::vector<std::string> strings, bool caseSensitive = false,
                              bool required = false, LogLevel minLevel = LogLevel::verbose) {
        return make(Filter::EndsWith{{std::move(strings), caseSensitive}}, required, minLevel);
    }
    static FilterPtr equals(std::vector<std::string> strings, bool caseSensitive = false,
                            bool required = false, LogLevel minLevel = LogLevel::verbose) {
        return make(Filter::Equals{{std::move(strings), caseSensitive}}, required, minLevel);
    }
    static FilterPtr custom(bool required, LogLevel minLevel,
                            std::function<bool(const std::string&)> filterPredicate) {
        return make(Filter::Custom{std::move(filterPredicate)}, required, minLevel);
    }
    static FilterPtr custom(std::function<bool(const std::string&)> filterPredicate) {
        return custom(false, LogLevel::verbose, std::move(filterPredicate));
    }

private:
    static FilterPtr make(Filter::ComparisonType comparison, bool required, LogLevel minLevel) {
        using Case = Filter::TargetType::Case;
        auto target = C == Case::Path       ? Filter::TargetType::Path(std::move(comparison))
                      : C == Case::Function ? Filter::TargetType::Function(std::move(comparison))
                                            : Filter::TargetType::Message(std::move(comparison));
        return std::make_shared<CompareFilter>(std::move(target), required, minLevel);
    }
};

using PathFilterFactory = FilterFactory<Filter::TargetType::Case::Path>;
using FunctionFilterFactory = FilterFactory<Filter::TargetType::Case::Function>;
using MessageFilterFactory = FilterFactory<Filter::TargetType::Case::Message>;

// Reach a factory as Filters::Path::contains({"Scan"}).
struct Filters {
    using Path = PathFilterFactory;
    using Function = FunctionFilterFactory;
    using Message = MessageFilterFactory;
};

struct FilterValidator {
    enum class ValidationType { excluded, required, nonRequired };
    static constexpr std::array<ValidationType, 3> allCases{
        ValidationType::excluded, ValidationType::required, ValidationType::nonRequired};

    struct Input {
        std::span<const FilterPtr> filters;
        LogLevel level;
        std::string_view path;
        std::string_view function;
        std::optional<std::string_view> message;
    };

    struct PartialMatchData {
        std::int64_t fullMatchCount = 0;
        std::int64_t conditionMatchCount = 0;
        std::int64_t logLevelMatchCount = 0;
        friend bool operator==(const PartialMatchData&, const PartialMatchData&) = default;
    };

    struct Result {
        enum class Case { someFiltersMatch, allFiltersMatch, noFiltersMatchingType };
        Case kind;
        PartialMatchData partial{}; // meaningful for someFiltersMatch
        friend bool operator==(const Result&, const Result&) = default;
    };

    static std::map<ValidationType, Result> validate(const Input& input,
                                                     std::span<const ValidationType> types = allCases);
    // The filters of `filters` that belong to validation type `type`, in order.
    static std::vector<FilterPtr> apply(ValidationType type, std::span<const FilterPtr> filters);

private:
    static bool filterMatchesCondition(const FilterType& filter, LogLevel level, std::string_view path,
                                       std::string_view function, std::optional<std::string_view> message);
    static bool filterMatchesMinLogLevel(const FilterType& filter, LogLevel level) {
        return filter.reachedMinLevel(level);
    }
};

} // namespace tbx
