// Stands in for the platform's plain `print` to standard output and for `NSLog`.
// Every trace line of the suite goes through `print`, written whole in one write
// so lines of several threads never interleave. A `TraceCapture` diverts the
// lines to memory while it lives, so tests can compare them exactly.
// Left out: print's separator and terminator arguments; NSLog's format strings.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tbx {

// Writes `line` and a line end.
void print(std::string_view line);
// Writes `text` as it stands (C callers whose formats carry their own "\n").
void printRaw(std::string_view text);
// printf-style formatting of a C format; the result is written as it stands.
void printFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The platform log: a time-stamped line on standard error.
void nslog(std::string_view message);

// While alive, everything written with print/printRaw/printFormat by any thread
// goes to this capture (the innermost one when nested) instead of standard output.
// Made with `CaptureLog::yes` it also takes the nslog messages (without the time
// stamp) instead of standard error; otherwise nslog writes to standard error.
class TraceCapture {
public:
    enum class CaptureLog { no, yes };
    explicit TraceCapture(CaptureLog log = CaptureLog::no);
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    std::string text() const;
    // The captured text split at line ends (a last unterminated piece included).
    std::vector<std::string> lines() const;
    // The captured nslog messages, one per entry (empty unless made with CaptureLog::yes).
    std::vector<std::string> logLines() const;
    void clear();

private:
    friend struct TraceSink;
    std::string buffer_;
    std::vector<std::string> log_;
    bool capturesLog_ = false;
    TraceCapture* outer_;
};

} // namespace tbx
