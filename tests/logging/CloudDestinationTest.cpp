#include "logging/CloudDestination.h"

#include "platform/foundation/Print.h"

#include <gtest/gtest.h>

using nlohmann::json;
using tbx::CloudDestination;
using tbx::LogLevel;

namespace {

json record(CloudDestination& d, LogLevel level, tbx::LogContext context = std::nullopt,
            std::string file = "/src/Scan.cpp", std::string function = "scan()") {
    tbx::TraceCapture capture;
    const auto line = d.send(level, "msg", "thread", file, function, 12, context);
    EXPECT_TRUE(line);
    EXPECT_EQ(capture.text(), *line + "\n"); // written once, with its line end
    return json::parse(*line);
}

} // namespace

TEST(CloudDestination, RecordForEachLevel) {
    CloudDestination d("scanner");
    const std::pair<LogLevel, const char*> levels[] = {{LogLevel::verbose, "DEBUG"},
                                                       {LogLevel::debug, "DEBUG"},
                                                       {LogLevel::info, "INFO"},
                                                       {LogLevel::warning, "WARNING"},
                                                       {LogLevel::error, "ERROR"}};
    for (auto [level, word] : levels) {
        const json r = record(d, level);
        EXPECT_EQ(r["severity"], word);
        EXPECT_EQ(r["serviceContext"], json({{"service", "scanner"}}));
        EXPECT_EQ(r["message"], "msg");
        EXPECT_EQ(r["context"],
                  json({{"reportLocation",
                         {{"filePath", "/src/Scan.cpp"}, {"lineNumber", 12}, {"functionName", "scan()"}}}}));
        EXPECT_EQ(r.size(), 4u);
    }
}

TEST(CloudDestination, ContextsOfRightAndWrongShape) {
    CloudDestination d("svc");
    d.setFormat("$J ignored");
    json good = {{"user", "ann"}, {"httpRequest", {{"method", "GET"}}}, {"other", 1}};
    json r = record(d, LogLevel::error, good);
    EXPECT_EQ(r["context"]["user"], "ann");
    EXPECT_EQ(r["context"]["httpRequest"], json({{"method", "GET"}}));
    EXPECT_FALSE(r["context"].contains("other"));
    r = record(d, LogLevel::error, json({{"user", 5}, {"httpRequest", "text"}}));
    EXPECT_EQ(r["context"].size(), 1u);
    r = record(d, LogLevel::error, json("plain text"));
    EXPECT_EQ(r["context"].size(), 1u);
    r = record(d, LogLevel::error, json::array({1, 2}));
    EXPECT_EQ(r["context"].size(), 1u);
}

TEST(CloudDestination, AlwaysSynchronous) {
    CloudDestination d("svc");
    EXPECT_FALSE(d.asynchronously());
    d.setAsynchronously(true);
    EXPECT_FALSE(d.asynchronously());
    EXPECT_EQ(d.defaultHashValue(), 0);
}

TEST(CloudDestination, FallbackLineIsValidJsonWithEscapedTexts) {
    CloudDestination d("svc");
    // A file path that is not UTF-8 makes the record unencodable; the function has quotes.
    const json r = record(d, LogLevel::info, std::nullopt, "/src/\xff\"evil\".cpp", "f(\"x\")\\");
    EXPECT_EQ(r["severity"], "CRITICAL");
    EXPECT_EQ(r["message"], "Error encoding JSON log entry. You may be losing log messages!");
    EXPECT_EQ(r["context"]["reportLocation"]["filePath"], "/src/\xef\xbf\xbd\"evil\".cpp");
    EXPECT_EQ(r["context"]["reportLocation"]["functionName"], "f(\"x\")\\");
    EXPECT_EQ(r["context"]["reportLocation"]["lineNumber"], 12);
    EXPECT_FALSE(r.contains("serviceContext"));
    EXPECT_EQ(
        CloudDestination::fallbackRecord("/a", "b", 3),
        R"({"context":{"reportLocation":{"filePath": "/a","functionName":"b","lineNumber":3}},)"
        R"("severity":"CRITICAL","message":"Error encoding JSON log entry. You may be losing log messages!"})");
}
