// Small text helpers of the logger. Texts are UTF-8; "characters" are Unicode
// code points (a byte that does not start a valid sequence counts as one).
#pragma once

#include <cstddef>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>

namespace tbx::text {

// The platform name constant of the logger; nothing reads it.
inline constexpr std::string_view OS = "OSX";

// Number of characters.
std::size_t length(std::string_view text);
// The first and last character (as its UTF-8 bytes), none for the empty text.
std::optional<std::string> firstChar(std::string_view text);
std::optional<std::string> lastChar(std::string_view text);
// Byte position of the first occurrence of `c`, none when it does not occur.
std::optional<std::size_t> find(std::string_view text, char c);

// Byte offset of character `index` (text.size() when past the end).
std::size_t offsetOfChar(std::string_view text, std::size_t index);
// `text` without white space (ASCII and Unicode spaces, line breaks) at its end,
// at its start, or at both ends.
std::string_view trimEnd(std::string_view text);
std::string_view trimStart(std::string_view text);
inline std::string_view trim(std::string_view text) {
    return trimStart(trimEnd(text));
}

// The character at byte `pos` of `text`: its code point, its length in bytes (at least 1) and
// whether it is well-formed UTF-8; a byte that starts no valid sequence is one character of its
// own, U+FFFD.
struct Decoded {
    char32_t codePoint;
    std::size_t size;
    bool valid;
};
Decoded decodeAt(std::string_view text, std::size_t pos);

// Whether `text` is well-formed UTF-8.
bool isValidUtf8(std::string_view text);
// `text` as a JSON string literal, quotes included; bytes that are not valid
// UTF-8 become U+FFFD, so the result is always valid JSON.
std::string jsonQuoted(std::string_view text);

// The textual description of a value: a text unchanged, a Boolean as
// "true"/"false", anything else as its stream output.
template <class T>
std::string describe(const T& value) {
    if constexpr (std::is_convertible_v<const T&, std::string_view>) {
        return std::string(std::string_view(value));
    } else if constexpr (std::is_same_v<T, bool>) {
        return value ? "true" : "false";
    } else if constexpr (std::is_same_v<T, char>) {
        return std::string(1, value);
    } else {
        std::ostringstream out;
        out << value;
        return out.str();
    }
}

} // namespace tbx::text
