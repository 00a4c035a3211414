#include "platform/foundation/Print.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <unistd.h>

namespace tbx {

struct TraceSink {
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static TraceCapture*& innermost() {
        static TraceCapture* capture = nullptr;
        return capture;
    }
    static void write(std::string_view text) {
        std::lock_guard lock(mutex());
        if (auto* capture = innermost()) {
            capture->buffer_.append(text);
            return;
        }
        writeAll(STDOUT_FILENO, text);
    }
    // Hands an nslog message to the innermost capture when that one takes log messages.
    static bool captureLog(std::string_view message) {
        std::lock_guard lock(mutex());
        auto* capture = innermost();
        if (capture == nullptr || !capture->capturesLog_) {
            return false;
        }
        capture->log_.emplace_back(message);
        return true;
    }
    static void writeAll(int fd, std::string_view text) {
        while (!text.empty()) {
            const ssize_t n = ::write(fd, text.data(), text.size());
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return; // nowhere to write to: a trace line is not worth failing for
            }
            text.remove_prefix(size_t(n));
        }
    }
};

void print(std::string_view line) {
    std::string text;
    text.reserve(line.size() + 1);
    text.append(line);
    text.push_back('\n');
    TraceSink::write(text);
}

void printRaw(std::string_view text) {
    TraceSink::write(text);
}

void printFormat(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int size = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (size > 0) {
        std::string text(size_t(size) + 1, '\0');
        std::vsnprintf(text.data(), text.size(), format, args);
        text.resize(size_t(size));
        TraceSink::write(text);
    }
    va_end(args);
}

void nslog(std::string_view message) {
    if (TraceSink::captureLog(message)) {
        return;
    }
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[64];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    char prefix[128];
    std::snprintf(prefix, sizeof prefix, "%s.%03d %s[%d] ", stamp, int(millis), program_invocation_short_name,
                  int(::getpid()));
    std::string line(prefix);
    line.append(message);
    line.push_back('\n');
    TraceSink::writeAll(STDERR_FILENO, line);
}

TraceCapture::TraceCapture(CaptureLog log) : capturesLog_(log == CaptureLog::yes) {
    std::lock_guard lock(TraceSink::mutex());
    outer_ = TraceSink::innermost();
    TraceSink::innermost() = this;
}

TraceCapture::~TraceCapture() {
    std::lock_guard lock(TraceSink::mutex());
    TraceSink::innermost() = outer_;
}

std::string TraceCapture::text() const {
    std::lock_guard lock(TraceSink::mutex());
    return buffer_;
}

std::vector<std::string> TraceCapture::lines() const {
    const std::string all = text();
    std::vector<std::string> result;
    size_t start = 0;
    while (start < all.size()) {
        const size_t end = all.find('\n', start);
        if (end == std::string::npos) {
            result.push_back(all.substr(start));
            break;
        }
        result.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

std::vector<std::string> TraceCapture::logLines() const {
    std::lock_guard lock(TraceSink::mutex());
    return log_;
}

void TraceCapture::clear() {
    std::lock_guard lock(TraceSink::mutex());
    buffer_.clear();
    log_.clear();
}

} // namespace tbx
