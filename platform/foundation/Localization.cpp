#include "platform/foundation/Localization.h"

#include "platform/foundation/StringTablesData.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace tbx {

namespace {

class StringsReader {
public:
    explicit StringsReader(std::string_view text) : text_(text) {}

    StringsFile read() {
        StringsFile out;
        for (;;) {
            skipBlank();
            if (pos_ >= text_.size()) {
                return out;
            }
            const int line = line_;
            const std::size_t start = pos_;
            std::string key, value, problem;
            if (!quoted(key, problem) || !expect('=', problem) || !quoted(value, problem) ||
                !expect(';', problem)) {
                // Go on with the line after the one where the broken entry began.
                out.errors.push_back("line " + std::to_string(line) + ": " + problem);
                pos_ = start;
                line_ = line;
                skipPastLine();
                continue;
            }
            if (out.table.count(key) != 0) {
                out.errors.push_back("line " + std::to_string(line) + ": key \"" + key + "\" given again");
            }
            out.table[key] = std::move(value);
        }
    }

private:
    void advance() {
        if (text_[pos_] == '\n') {
            ++line_;
        }
        ++pos_;
    }

    void skipBlank() {
        while (pos_ < text_.size()) {
            const char c = text_[pos_];
            if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
                advance();
            } else if (text_.substr(pos_, 2) == "//") {
                while (pos_ < text_.size() && text_[pos_] != '\n') {
                    advance();
                }
            } else if (text_.substr(pos_, 2) == "/*") {
                const auto end = text_.find("*/", pos_ + 2);
                const std::size_t stop = end == std::string_view::npos ? text_.size() : end + 2;
                while (pos_ < stop) {
                    advance();
                }
            } else {
                return;
            }
        }
    }

    void skipPastLine() {
        while (pos_ < text_.size() && text_[pos_] != '\n') {
            advance();
        }
    }

    bool expect(char c, std::string& problem) {
        skipBlank();
        if (pos_ < text_.size() && text_[pos_] == c) {
            advance();
            return true;
        }
        problem = std::string("expected '") + c + "'";
        return false;
    }

    bool quoted(std::string& out, std::string& problem) {
        skipBlank();
        if (pos_ >= text_.size() || text_[pos_] != '"') {
            problem = "expected a quoted text";
            return false;
        }
        advance();
        while (pos_ < text_.size()) {
            const char c = text_[pos_];
            if (c == '\n') {
                break;
            }
            advance();
            if (c == '"') {
                return true;
            }
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            if (pos_ >= text_.size()) {
                break;
            }
            const char e = text_[pos_];
            advance();
            switch (e) {
            case 'n':
                out.push_back('\n');
                break;
            case 't':
                out.push_back('\t');
                break;
            case '"':
                out.push_back('"');
                break;
            case '\\':
                out.push_back('\\');
                break;
            default:
                problem = std::string("unknown escape \\") + e;
                return false;
            }
        }
        problem = "unterminated quoted text";
        return false;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    int line_ = 1;
};

struct Tables {
    std::map<std::string, std::map<std::string, std::string>, std::less<>> byLanguage;
};

const Tables& tables() {
    static const Tables built = [] {
        Tables t;
        for (const auto& source : stringtables::sources()) {
            t.byLanguage[std::string(source.language)] = parseStrings(source.text).table;
        }
        return t;
    }();
    return built;
}

std::mutex& languageMutex() {
    static std::mutex m;
    return m;
}

std::string& languageSlot() {
    static std::string language = languageFromEnvironment();
    return language;
}

// Texts set over the built-in tables, by language and key.
struct Overrides {
    std::mutex mutex;
    std::atomic<bool> any{false};
    std::map<std::pair<std::string, std::string>, std::string, std::less<>> texts;
};

Overrides& overrides() {
    static Overrides o;
    return o;
}

std::string languageOf(const char* value) {
    const std::string_view v(value);
    return v.substr(0, 2) == "zh" ? "zh" : "en";
}

} // namespace

StringsFile parseStrings(std::string_view text) {
    return StringsReader(text).read();
}

std::string languageFromEnvironment() {
    if (const char* v = std::getenv("TAMBERLYX_LANGUAGE"); v && *v) {
        return languageOf(v);
    }
    if (const char* v = std::getenv("LANGUAGE"); v && *v) {
        return languageOf(v); // a colon-separated list: its first entry leads
    }
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (const char* v = std::getenv(name); v && *v) {
            return languageOf(v);
        }
    }
    return "en";
}

std::string currentLanguage() {
    std::lock_guard lock(languageMutex());
    return languageSlot();
}

void setCurrentLanguage(std::string_view language) {
    std::lock_guard lock(languageMutex());
    languageSlot() = std::string(language);
}

std::vector<std::string> stringTableLanguages() {
    std::vector<std::string> out;
    for (const auto& [language, table] : tables().byLanguage) {
        out.push_back(language);
    }
    return out;
}

const std::map<std::string, std::string>& stringTable(std::string_view language) {
    static const std::map<std::string, std::string> empty;
    const auto& all = tables().byLanguage;
    auto it = all.find(language);
    return it == all.end() ? empty : it->second;
}

void overrideLocalizedString(std::string_view language, std::string_view key, std::string text) {
    auto& o = overrides();
    std::lock_guard lock(o.mutex);
    o.texts[{std::string(language), std::string(key)}] = std::move(text);
    o.any = true;
}

void clearStringOverrides() {
    auto& o = overrides();
    std::lock_guard lock(o.mutex);
    o.texts.clear();
    o.any = false;
}

std::string localizedString(std::string_view key, std::string_view language) {
    if (auto& o = overrides(); o.any) {
        std::lock_guard lock(o.mutex);
        const auto it = o.texts.find(std::pair{std::string(language), std::string(key)});
        if (it != o.texts.end()) {
            return it->second;
        }
    }
    const auto& table = stringTable(language);
    auto it = table.find(std::string(key));
    return it == table.end() ? std::string(key) : it->second;
}

std::string localizedString(std::string_view key) {
    return localizedString(key, currentLanguage());
}

std::string localizedFormat(std::string_view key, std::initializer_list<std::string_view> args) {
    const std::string format = localizedString(key);
    std::string out;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size()) {
            const char next = format[i + 1];
            if (next == '%') {
                out.push_back('%');
                ++i;
                continue;
            }
            if (next >= '1' && next <= '9') {
                const std::size_t n = std::size_t(next - '1');
                if (n < args.size()) {
                    out.append(*(args.begin() + n));
                }
                ++i;
                continue;
            }
        }
        out.push_back(format[i]);
    }
    return out;
}

} // namespace tbx
