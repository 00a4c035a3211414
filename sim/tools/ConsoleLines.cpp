#include "sim/tools/ConsoleLines.h"

#include "logging/Text.h"

#include <cstdio>

namespace tbx::sim {

std::vector<ConsoleLines::Line> ConsoleLines::feed(std::string_view bytes) {
    std::vector<Line> lines;
    while (!bytes.empty()) {
        const auto end = bytes.find('\n');
        const std::string_view piece = bytes.substr(0, end);
        length_ += piece.size();
        if (length_ <= limit_) {
            pending_.append(piece);
        } else {
            pending_.clear(); // the rest of this line is only counted
        }
        if (end == std::string_view::npos) {
            break;
        }
        lines.push_back(take());
        bytes.remove_prefix(end + 1);
    }
    return lines;
}

std::optional<ConsoleLines::Line> ConsoleLines::finish() {
    if (length_ == 0) {
        return std::nullopt;
    }
    return take();
}

ConsoleLines::Line ConsoleLines::take() {
    Line line{.text = {}, .length = length_, .tooLong = length_ > limit_};
    if (!line.tooLong) {
        line.text = std::move(pending_);
    }
    pending_.clear();
    length_ = 0;
    return line;
}

namespace {

std::string escape(const char* format, unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

} // namespace

std::string escapedControls(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        const text::Decoded c = text::decodeAt(text, pos);
        if (!c.valid) {
            shown += escape("\\x%02x", static_cast<unsigned char>(text[pos]));
        } else if (c.codePoint < 0x20 || c.codePoint == 0x7F) {
            shown += escape("\\x%02x", unsigned(c.codePoint));
        } else if (c.codePoint >= 0x80 && c.codePoint <= 0x9F) {
            shown += escape("\\u%04x", unsigned(c.codePoint));
        } else {
            shown += text.substr(pos, c.size);
        }
        pos += c.size;
    }
    return shown;
}

} // namespace tbx::sim
