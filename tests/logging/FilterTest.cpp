#include "logging/Filter.h"

#include "logging/BaseDestination.h"
#include "platform/foundation/Print.h"

#include <gtest/gtest.h>

using tbx::BaseDestination;
using tbx::FilterPtr;
using tbx::Filters;
using tbx::FilterValidator;
using tbx::LogLevel;

TEST(Filters, Comparisons) {
    auto path = Filters::Path::contains({"scanview"});
    EXPECT_TRUE(path->apply("/src/ScanView.cpp"));
    EXPECT_FALSE(Filters::Path::contains({"scanview"}, true)->apply("/src/ScanView.cpp"));
    EXPECT_TRUE(Filters::Path::contains({"ÄRGER"})->apply("/src/ärger.cpp")); // Unicode lower-casing
    EXPECT_FALSE(path->apply(std::nullopt));

    auto excl = Filters::Function::excludes({"scan", "open"});
    EXPECT_TRUE(excl->apply("scanPage"));     // lacks "open"
    EXPECT_FALSE(excl->apply("scanAndOpen")); // contains both
    EXPECT_TRUE(excl->isExcluded());
    EXPECT_FALSE(Filters::Message::startsWith({})->apply("anything"));
    EXPECT_FALSE(Filters::Message::excludes({})->apply("anything"));
    EXPECT_TRUE(Filters::Message::startsWith({"Re"})->apply("ready"));
    EXPECT_TRUE(Filters::Message::endsWith({"dy"})->apply("ready"));
    EXPECT_TRUE(Filters::Message::equals({"x", "READY"})->apply("ready"));
    EXPECT_FALSE(Filters::Message::equals({"READY"}, true)->apply("ready"));
    auto custom = Filters::Message::custom([](const std::string& s) { return s.size() == 3; });
    EXPECT_TRUE(custom->apply("abc"));
    EXPECT_FALSE(custom->apply("abcd"));
    EXPECT_TRUE(Filters::Path::contains({"a"})->getTarget() ==
                tbx::Filter::TargetType::Path(tbx::Filter::Custom{}));
    EXPECT_FALSE(Filters::Path::contains({"a"})->getTarget() ==
                 tbx::Filter::TargetType::Message(tbx::Filter::Custom{}));
}

TEST(FilterValidator, GroupsAndCounts) {
    using VT = FilterValidator::ValidationType;
    using Case = FilterValidator::Result::Case;
    const std::vector<FilterPtr> none;
    const auto empty = FilterValidator::validate({none, LogLevel::info, "p", "f", std::nullopt});
    ASSERT_EQ(empty.size(), 3u);
    for (auto& [type, result] : empty) {
        EXPECT_EQ(result.kind, Case::noFiltersMatchingType);
    }
    const std::vector<FilterPtr> filters{
        Filters::Path::contains({"scan"}, false, false, LogLevel::warning), // condition only
        Filters::Function::contains({"zzz"}),                               // level only
        Filters::Message::contains({"ready"}),                              // message absent: condition false
        Filters::Path::contains({"scan"}, false, true),                     // required, full
        Filters::Path::excludes({"test"}, false, true),                     // excluded group despite required
    };
    const auto r = FilterValidator::validate({filters, LogLevel::info, "/scan.cpp", "f", std::nullopt});
    EXPECT_EQ(r.at(VT::nonRequired).kind, Case::someFiltersMatch);
    EXPECT_EQ(r.at(VT::nonRequired).partial, (FilterValidator::PartialMatchData{0, 1, 2}));
    EXPECT_EQ(r.at(VT::required).kind, Case::allFiltersMatch);
    EXPECT_EQ(r.at(VT::excluded).kind, Case::allFiltersMatch);
    EXPECT_EQ(FilterValidator::apply(VT::excluded, filters).size(), 1u);
    const std::array only{VT::required};
    EXPECT_EQ(FilterValidator::validate({filters, LogLevel::info, "/x", "f", std::nullopt}, only).size(), 1u);
}

// Decisions of a destination: filter set x message -> written or dropped.
TEST(Filters, DestinationDecisionTable) {
    struct Row {
        const char* name;
        std::vector<FilterPtr> filters;
        LogLevel minLevel;
        LogLevel level;
        const char* path;
        const char* message;
        bool written;
    };
    const std::vector<Row> rows{
        {"no filters, level reached", {}, LogLevel::warning, LogLevel::error, "/a", "m", true},
        {"no filters, level below", {}, LogLevel::warning, LogLevel::info, "/a", "m", false},
        {"excludes matches",
         {Filters::Path::excludes({"secret"})},
         LogLevel::verbose,
         LogLevel::info,
         "/secret/a",
         "m",
         false},
        {"excludes passes",
         {Filters::Path::excludes({"secret"})},
         LogLevel::verbose,
         LogLevel::info,
         "/public/a",
         "m",
         true},
        {"excludes with min level above the message",
         {Filters::Path::excludes({"secret"}, false, false, LogLevel::warning)},
         LogLevel::verbose,
         LogLevel::info,
         "/public/a",
         "m",
         false},
        {"required full match beats destination level",
         {Filters::Path::contains({"scan"}, false, true)},
         LogLevel::error,
         LogLevel::debug,
         "/scan/a",
         "m",
         true},
        {"required fails",
         {Filters::Path::contains({"scan"}, false, true)},
         LogLevel::verbose,
         LogLevel::error,
         "/print/a",
         "m",
         false},
        {"required beats failing non-required",
         {Filters::Path::contains({"scan"}, false, true), Filters::Message::contains({"nope"})},
         LogLevel::verbose,
         LogLevel::info,
         "/scan/a",
         "m",
         true},
        {"non-required condition but filter level too high",
         {Filters::Path::contains({"scan"}, false, false, LogLevel::error)},
         LogLevel::verbose,
         LogLevel::info,
         "/scan/a",
         "m",
         false},
        {"non-required condition fails: destination level decides",
         {Filters::Path::contains({"scan"})},
         LogLevel::warning,
         LogLevel::error,
         "/print/a",
         "m",
         true},
        {"non-required condition fails, level below",
         {Filters::Path::contains({"scan"})},
         LogLevel::warning,
         LogLevel::info,
         "/print/a",
         "m",
         false},
        {"one of two non-required matches fully",
         {Filters::Path::contains({"scan"}), Filters::Message::contains({"zzz"})},
         LogLevel::error,
         LogLevel::info,
         "/scan/a",
         "m",
         true},
        {"message filter without message",
         {Filters::Message::contains({"m"})},
         LogLevel::error,
         LogLevel::info,
         "/a",
         nullptr,
         false},
        {"message filter matches",
         {Filters::Message::contains({"ready"})},
         LogLevel::error,
         LogLevel::info,
         "/a",
         "all ready",
         true},
    };
    for (const auto& row : rows) {
        BaseDestination d;
        d.setMinLevel(row.minLevel);
        for (const auto& f : row.filters) {
            d.addFilter(f);
        }
        const auto message = row.message ? std::optional<std::string_view>(row.message) : std::nullopt;
        EXPECT_EQ(d.shouldLevelBeLogged(row.level, row.path, "fn", message), row.written) << row.name;
    }
}

TEST(Filters, DestinationFilterListAndDebugPrints) {
    BaseDestination d;
    auto f = Filters::Path::contains({"a"});
    auto twin = Filters::Path::contains({"a"});
    d.removeFilter(f);
    EXPECT_TRUE(d.filters().empty());
    d.addFilter(f);
    d.addFilter(f);
    d.removeFilter(twin);
    EXPECT_EQ(d.filters().size(), 2u);
    d.removeFilter(f);
    EXPECT_EQ(d.filters().size(), 1u);
    EXPECT_FALSE(d.hasMessageFilters());
    d.addFilter(Filters::Message::custom([](const std::string&) { return true; }));
    EXPECT_TRUE(d.hasMessageFilters());

    BaseDestination quiet;
    quiet.setMinLevel(LogLevel::warning);
    tbx::TraceCapture capture;
    quiet.shouldLevelBeLogged(LogLevel::info, "p", "f", std::nullopt);
    EXPECT_EQ(capture.text(), "");
    quiet.setDebugPrint(true);
    quiet.shouldLevelBeLogged(LogLevel::info, "p", "f", std::nullopt);
    quiet.shouldLevelBeLogged(LogLevel::error, "p", "f", std::nullopt);
    quiet.addFilter(Filters::Path::excludes({"p"}));
    quiet.shouldLevelBeLogged(LogLevel::error, "p", "f", std::nullopt);
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"filters are empty and level < minLevel",
                                                         "filters are empty and level >= minLevel",
                                                         "filters are not empty and message was excluded"}));
}
