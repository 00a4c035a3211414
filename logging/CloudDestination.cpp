#include "logging/CloudDestination.h"

#include "logging/Text.h"
#include "platform/foundation/Print.h"

namespace tbx {

CloudDestination::CloudDestination(std::string serviceName) : serviceName_(std::move(serviceName)) {}

std::string CloudDestination::fallbackRecord(std::string_view file, std::string_view function,
                                             std::int64_t line) {
    return "{\"context\":{\"reportLocation\":{\"filePath\": " + text::jsonQuoted(file) +
           ",\"functionName\":" + text::jsonQuoted(function) + ",\"lineNumber\":" + std::to_string(line) +
           "}},\"severity\":\"CRITICAL\",\"message\":\"Error encoding JSON log entry. You may be losing log "
           "messages!\"}";
}

std::optional<std::string> CloudDestination::send(LogLevel level, const std::string& msg, const std::string&,
                                                  const std::string& file, const std::string& function,
                                                  std::int64_t line, const LogContext& context) {
    nlohmann::json record;
    record["serviceContext"] = {{"service", serviceName_}};
    record["message"] = msg;
    record["severity"] = std::string(severity(level));
    nlohmann::json where = {
        {"reportLocation", {{"filePath", file}, {"lineNumber", line}, {"functionName", function}}}};
    if (context && context->is_object()) {
        if (const auto it = context->find("httpRequest"); it != context->end() && it->is_object()) {
            where["httpRequest"] = *it;
        }
        if (const auto it = context->find("user"); it != context->end() && it->is_string()) {
            where["user"] = *it;
        }
    }
    record["context"] = std::move(where);

    std::string out;
    try {
        // Strict: a text that is not valid UTF-8 makes the record unencodable.
        out = record.dump();
    } catch (const nlohmann::json::exception&) {
        out = fallbackRecord(file, function, line);
    }
    print(out);
    return out;
}

} // namespace tbx
