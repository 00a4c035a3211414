#include "logging/Filter.h"

#include <QString>

namespace tbx {

Filter::Filter(TargetType targetType, bool required, LogLevel minLevel)
    : targetType_(std::move(targetType)), required_(required), minLevel_(minLevel) {}

CompareFilter::CompareFilter(TargetType targetType, bool required, LogLevel minLevel)
    : Filter(std::move(targetType), required, minLevel), filterComparisonType_(getTarget().comparison()) {}

bool CompareFilter::isExcluded() const {
    return std::holds_alternative<Excludes>(filterComparisonType_);
}

namespace {

template <class Test>
bool anyString(const Filter::StringComparison& comparison, std::string_view value, Test test) {
    if (comparison.caseSensitive) {
        for (const auto& s : comparison.strings) {
            if (test(value, std::string_view(s))) {
                return true;
            }
        }
        return false;
    }
    // Case-insensitive: both sides are lower-cased with full Unicode rules.
    const QByteArray lowered = QString::fromUtf8(value.data(), qsizetype(value.size())).toLower().toUtf8();
    const std::string_view v(lowered.constData(), std::size_t(lowered.size()));
    for (const auto& s : comparison.strings) {
        const QByteArray ls = QString::fromUtf8(s.data(), qsizetype(s.size())).toLower().toUtf8();
        if (test(v, std::string_view(ls.constData(), std::size_t(ls.size())))) {
            return true;
        }
    }
    return false;
}

} // namespace

bool CompareFilter::apply(std::optional<std::string_view> value) const {
    if (!value) {
        return false;
    }
    const std::string_view v = *value;
    struct Visitor {
        std::string_view v;
        bool operator()(const StartsWith& c) const {
            return anyString(c, v, [](auto a, auto s) { return a.starts_with(s); });
        }
        bool operator()(const Contains& c) const {
            return anyString(c, v, [](auto a, auto s) { return a.find(s) != std::string_view::npos; });
        }
        bool operator()(const Excludes& c) const {
            return anyString(c, v, [](auto a, auto s) { return a.find(s) == std::string_view::npos; });
        }
        bool operator()(const EndsWith& c) const {
            return anyString(c, v, [](auto a, auto s) { return a.ends_with(s); });
        }
        bool operator()(const Equals& c) const {
            return anyString(c, v, [](auto a, auto s) { return a == s; });
        }
        bool operator()(const Custom& c) const { return c.predicate && c.predicate(std::string(v)); }
    };
    return std::visit(Visitor{v}, filterComparisonType_);
}

std::vector<FilterPtr> FilterValidator::apply(ValidationType type, std::span<const FilterPtr> filters) {
    std::vector<FilterPtr> group;
    for (const auto& filter : filters) {
        const bool excluded = filter->isExcluded();
        const bool belongs = type == ValidationType::excluded   ? excluded
                             : type == ValidationType::required ? !excluded && filter->isRequired()
                                                                : !excluded && !filter->isRequired();
        if (belongs) {
            group.push_back(filter);
        }
    }
    return group;
}

bool FilterValidator::filterMatchesCondition(const FilterType& filter, LogLevel, std::string_view path,
                                             std::string_view function,
                                             std::optional<std::string_view> message) {
    switch (filter.getTarget().kind()) {
    case Filter::TargetType::Case::Path:
        return filter.apply(path);
    case Filter::TargetType::Case::Function:
        return filter.apply(function);
    case Filter::TargetType::Case::Message:
        return message && filter.apply(*message);
    }
    return false;
}

std::map<FilterValidator::ValidationType, FilterValidator::Result>
FilterValidator::validate(const Input& input, std::span<const ValidationType> types) {
    std::map<ValidationType, Result> results;
    for (const ValidationType type : types) {
        const auto group = apply(type, input.filters);
        if (group.empty()) {
            results[type] = Result{Result::Case::noFiltersMatchingType};
            continue;
        }
        PartialMatchData counts;
        for (const auto& filter : group) {
            const bool condition =
                filterMatchesCondition(*filter, input.level, input.path, input.function, input.message);
            const bool level = filterMatchesMinLogLevel(*filter, input.level);
            if (condition && level) {
                ++counts.fullMatchCount;
            } else if (condition) {
                ++counts.conditionMatchCount;
            } else if (level) {
                ++counts.logLevelMatchCount;
            }
        }
        results[type] = counts.fullMatchCount == std::int64_t(group.size())
                            ? Result{Result::Case::allFiltersMatch}
                            : Result{Result::Case::someFiltersMatch, counts};
    }
    return results;
}

} // namespace tbx
