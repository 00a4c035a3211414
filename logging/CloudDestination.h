// The cloud error-report destination: each message becomes one compact line of
// JSON in the shape of a cloud error-reporting record, written to standard
// output. Always synchronous; the format text is not used.
#pragma once

#include "logging/BaseDestination.h"

namespace tbx {

class CloudDestination : public BaseDestination {
public:
    explicit CloudDestination(std::string serviceName);

    bool asynchronously() const override { return false; }
    void setAsynchronously(bool) override {}

    std::optional<std::string> send(LogLevel level, const std::string& msg, const std::string& thread,
                                    const std::string& file, const std::string& function, std::int64_t line,
                                    const LogContext& context) override;

    // The record written when encoding fails: built by hand, every inserted text escaped.
    static std::string fallbackRecord(std::string_view file, std::string_view function, std::int64_t line);

private:
    const std::string serviceName_;
};

} // namespace tbx
