// Stands in for the platform's localised string tables (`NSLocalizedString` on
// the application bundle's default table). One table per language for the whole
// suite, kept in strings/<language>.strings ("key" = "text"; lines, the
// platform's own syntax) and built into the library. A lookup answers the text
// of the current language's table, or the key itself when the table has none.
// Languages: "en" and "zh"; the current one comes from TAMBERLYX_LANGUAGE, else
// LANGUAGE, LC_ALL, LC_MESSAGES, LANG ("zh..." is Chinese, anything else English).
// Left out: plural rules, per-bundle tables, comments as disambiguation.
#pragma once

#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tbx {

// NSLocalizedString(key, comment: ""): the current language's text, or `key`.
std::string localizedString(std::string_view key);
std::string localizedString(std::string_view key, std::string_view language);

// The text of `key` with "%1" .. "%9" replaced by the arguments in order
// ("%%" is a lone "%"); the key itself stands in for a missing text.
std::string localizedFormat(std::string_view key, std::initializer_list<std::string_view> args);

// "en" or "zh". Read from the environment on first use; setCurrentLanguage
// overrides it (an unknown language leaves every key untranslated).
std::string currentLanguage();
void setCurrentLanguage(std::string_view language);
// The language that the environment asks for, by the rule above.
std::string languageFromEnvironment();

// Gives `key` the text `text` in `language`'s table, over the built-in entry,
// until clearStringOverrides(); for tests that try texts through the real views.
void overrideLocalizedString(std::string_view language, std::string_view key, std::string text);
void clearStringOverrides();

// The built-in tables.
std::vector<std::string> stringTableLanguages();
const std::map<std::string, std::string>& stringTable(std::string_view language);

// Reads the text of a .strings file. Entries that cannot be read are skipped
// and described in `errors` (with their line number); a key given twice keeps
// its last text and is reported too.
struct StringsFile {
    std::map<std::string, std::string> table;
    std::vector<std::string> errors;
};
StringsFile parseStrings(std::string_view text);

} // namespace tbx
