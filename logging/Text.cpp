#include "logging/Text.h"

#include <cstdint>
#include <cstdio>

namespace tbx::text {

Decoded decodeAt(std::string_view text, std::size_t pos) {
    const auto byte = [&](std::size_t i) { return std::uint8_t(text[i]); };
    const std::uint8_t b0 = byte(pos);
    if (b0 < 0x80) {
        return {b0, 1, true};
    }
    std::size_t size = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if ((b0 & 0xE0) == 0xC0) {
        size = 2, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        size = 3, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        size = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
        return {0xFFFD, 1, false};
    }
    if (pos + size > text.size()) {
        return {0xFFFD, 1, false};
    }
    for (std::size_t i = 1; i < size; ++i) {
        const std::uint8_t b = byte(pos + i);
        if ((b & 0xC0) != 0x80) {
            return {0xFFFD, 1, false};
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return {0xFFFD, 1, false};
    }
    return {cp, size, true};
}

namespace {

bool isContinuation(char c) {
    return (std::uint8_t(c) & 0xC0) == 0x80;
}

// Start of the character that ends just before `end`.
std::size_t previousCharStart(std::string_view text, std::size_t end) {
    std::size_t start = end - 1;
    const std::size_t limit = end >= 4 ? end - 4 : 0;
    while (start > limit && isContinuation(text[start])) {
        --start;
    }
    const Decoded d = decodeAt(text, start);
    if (!d.valid || start + d.size != end) {
        return end - 1; // a stray byte: one character of its own
    }
    return start;
}

bool isWhiteSpace(char32_t c) {
    switch (c) {
    case 0x09:
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0D:
    case 0x20:
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
        return true;
    default:
        return c >= 0x2000 && c <= 0x200A;
    }
}

} // namespace

std::size_t length(std::string_view text) {
    std::size_t count = 0;
    for (std::size_t pos = 0; pos < text.size(); pos += decodeAt(text, pos).size) {
        ++count;
    }
    return count;
}

std::size_t offsetOfChar(std::string_view text, std::size_t index) {
    std::size_t pos = 0;
    for (std::size_t i = 0; i < index && pos < text.size(); ++i) {
        pos += decodeAt(text, pos).size;
    }
    return pos;
}

std::optional<std::string> firstChar(std::string_view text) {
    if (text.empty()) {
        return std::nullopt;
    }
    return std::string(text.substr(0, decodeAt(text, 0).size));
}

std::optional<std::string> lastChar(std::string_view text) {
    if (text.empty()) {
        return std::nullopt;
    }
    return std::string(text.substr(previousCharStart(text, text.size())));
}

std::optional<std::size_t> find(std::string_view text, char c) {
    const auto pos = text.find(c);
    if (pos == std::string_view::npos) {
        return std::nullopt;
    }
    return pos;
}

std::string_view trimEnd(std::string_view text) {
    std::size_t end = text.size();
    while (end > 0) {
        const std::size_t start = previousCharStart(text, end);
        const Decoded d = decodeAt(text, start);
        if (!d.valid || !isWhiteSpace(d.codePoint)) {
            break;
        }
        end = start;
    }
    return text.substr(0, end);
}

std::string_view trimStart(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        const Decoded d = decodeAt(text, pos);
        if (!d.valid || !isWhiteSpace(d.codePoint)) {
            break;
        }
        pos += d.size;
    }
    return text.substr(pos);
}

bool isValidUtf8(std::string_view text) {
    for (std::size_t pos = 0; pos < text.size();) {
        const Decoded d = decodeAt(text, pos);
        if (!d.valid) {
            return false;
        }
        pos += d.size;
    }
    return true;
}

std::string jsonQuoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    for (std::size_t pos = 0; pos < text.size();) {
        const Decoded d = decodeAt(text, pos);
        if (!d.valid) {
            out += "\\ufffd";
        } else if (d.codePoint == '"') {
            out += "\\\"";
        } else if (d.codePoint == '\\') {
            out += "\\\\";
        } else if (d.codePoint == '\n') {
            out += "\\n";
        } else if (d.codePoint == '\r') {
            out += "\\r";
        } else if (d.codePoint == '\t') {
            out += "\\t";
        } else if (d.codePoint < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(d.codePoint));
            out += escaped;
        } else {
            out.append(text.substr(pos, d.size));
        }
        pos += d.size;
    }
    out.push_back('"');
    return out;
}

} // namespace tbx::text
