#include "sim/tools/ConsoleLines.h"

#include <cstdint>
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

// The length of the UTF-8 sequence at the start of `text` and its code point;
// a length of 0 when it is not valid UTF-8.
std::size_t utf8Sequence(std::string_view text, std::uint32_t& codePoint) {
    const auto lead = static_cast<unsigned char>(text[0]);
    std::size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07u;
    } else {
        return 0;
    }
    if (text.size() < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[i]);
        if ((next & 0xC0u) != 0x80u) {
            return 0;
        }
        codePoint = (codePoint << 6) | (next & 0x3Fu);
    }
    const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < smallest[length] || codePoint > 0x10FFFF ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
        return 0;
    }
    return length;
}

std::string escape(const char* format, unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

} // namespace

std::string escapedControls(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    while (!text.empty()) {
        const auto byte = static_cast<unsigned char>(text[0]);
        if (byte < 0x80) {
            shown += byte < 0x20 || byte == 0x7F ? escape("\\x%02x", byte) : std::string(1, char(byte));
            text.remove_prefix(1);
            continue;
        }
        std::uint32_t codePoint = 0;
        const std::size_t length = utf8Sequence(text, codePoint);
        if (length == 0) {
            shown += escape("\\x%02x", byte);
            text.remove_prefix(1);
        } else {
            shown += codePoint <= 0x9F ? escape("\\u%04x", codePoint) : std::string(text.substr(0, length));
            text.remove_prefix(length);
        }
    }
    return shown;
}

} // namespace tbx::sim
