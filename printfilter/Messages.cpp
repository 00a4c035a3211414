#include "printfilter/Messages.h"

#include <cstdio>

namespace tbx {

namespace {

// The names of the C locale, which has no language of its own: "C" and "POSIX", also with a
// codeset or modifier ("C.UTF-8").
bool isPortableLocale(std::string_view tag) {
    const std::string_view name = tag.substr(0, tag.find_first_of(".@"));
    return name == "C" || name == "POSIX";
}

} // namespace

std::string languageTag(const char* appleLanguage, const char* lang) {
    if (appleLanguage && *appleLanguage)
        return appleLanguage;
    if (lang && *lang)
        return lang;
    return "zh-Hans";
}

Language languageOf(std::string_view tag) {
    // The C locale's messages are English; its name is no language tag.
    if (tag.substr(0, 2) == "en" || isPortableLocale(tag))
        return Language::english;
    if (tag.substr(0, 2) == "zh")
        return Language::chinese;
    return Language::none;
}

namespace {

std::string pick(Language language, const char* english, const char* chinese) {
    switch (language) {
    case Language::english:
        return english;
    case Language::chinese:
        return chinese;
    case Language::none:
        break;
    }
    return {};
}

std::string withPage(const std::string& format, int page) {
    if (format.empty())
        return {};
    char line[256];
    std::snprintf(line, sizeof line, format.c_str(), page);
    return line;
}

} // namespace

std::string jobCancellingLine(Language language) {
    return pick(language, "INFO:Job Cancelling\n", "INFO:正在取消任务\n");
}

std::string jobCancelledLine(Language language) {
    return pick(language, "INFO:Job Cancelled\n", "INFO:任务已取消\n");
}

std::string pageConvertedLine(Language language, int page) {
    return withPage(
        pick(language, "INFO:Finished page %d data transformation\n", "INFO:完成第%d页的数据转换\n"), page);
}

std::string pageSendingLine(Language language, int page) {
    return withPage(pick(language, "INFO: Start to send page(%d) data\n", "INFO:开始发送第%d页的数据\n"),
                    page);
}

std::string allDataSentLine(Language language) {
    return pick(language, "INFO: Finish sending all job data.And waiting for printer to finish the job.\n",
                "INFO:打印数据已完成发送，等待打印机打印完成\n");
}

std::string pageLine(int page, int copies) {
    return "PAGE: " + std::to_string(page) + " " + std::to_string(copies) + "\n";
}

void Messages::write(const std::string& line) {
    if (line.empty())
        return;
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

} // namespace tbx
