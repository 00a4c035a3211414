// The pieces that the simulation tools read their command lines with: values
// read strictly (the whole text, in range, or refused), the word lists and the
// lines of their --help texts.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tbx::sim {

// "a", "a or b", "a, b or c".
std::string joinedWords(const std::vector<std::string>& words);

// A whole decimal number in [low, high] (digits with an optional leading minus,
// nothing else), or nothing.
std::optional<long long> wholeNumber(std::string_view text, long long low, long long high);

// A finite decimal number in [low, high] (digits with an optional fraction and
// leading minus; no exponent, "nan" or "inf"), or nothing.
std::optional<double> decimalNumber(std::string_view text, double low, double high);

// One line of a usage text: the option in a column of its own, then its text.
std::string usageLine(const std::string& option, const std::string& text);

// Whether the command line asks for the usage text (--help or -h anywhere).
bool asksForHelp(std::span<const std::string> args);

} // namespace tbx::sim
