#pragma once

// What the filter tells the CUPS scheduler while a job runs: "INFO:" progress lines in English or
// Chinese by the user's language (none for other languages), written to standard error where the
// scheduler reads the job's log.

#include <string>
#include <string_view>

namespace tbx {

enum class Language { english, chinese, none };

// The job's language tag: "APPLE_LANGUAGE" when set (the macOS scheduler's variable), else "LANG"
// (what the Linux scheduler gives), else "zh-Hans".
std::string languageTag(const char* appleLanguage, const char* lang);

// By the tag's first two characters, case-sensitive: "en" English, "zh" Chinese, else none; the
// C locale ("C", "POSIX", "C.UTF-8") is English.
Language languageOf(std::string_view tag);

// The INFO lines, each with its "\n"; empty for Language::none.
std::string jobCancellingLine(Language language);
std::string jobCancelledLine(Language language);
std::string pageConvertedLine(Language language, int page);
std::string pageSendingLine(Language language, int page);
std::string allDataSentLine(Language language);
// "PAGE: n copies" for the scheduler's page log, in every language.
std::string pageLine(int page, int copies);

class Messages {
public:
    explicit Messages(Language language) : language_(language) {}
    Language language() const { return language_; }

    void jobCancelled() const { write(jobCancelledLine(language_)); }
    void pageConverted(int page) const { write(pageConvertedLine(language_, page)); }
    void pageSending(int page) const { write(pageSendingLine(language_, page)); }
    void allDataSent() const { write(allDataSentLine(language_)); }
    // The scheduler's page accounting: page n went to the printer, which prints it copies times.
    void pageSent(int page, int copies) const { write(pageLine(page, copies)); }

private:
    static void write(const std::string& line);
    Language language_;
};

} // namespace tbx
