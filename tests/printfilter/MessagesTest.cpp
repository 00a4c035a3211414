#include "printfilter/Messages.h"

#include "printfilter/Cancellation.h"

#include <gtest/gtest.h>

namespace tbx {
namespace {

TEST(Language, AppleLanguageFirstThenLangThenChinese) {
    EXPECT_EQ(languageTag("en", "zh_CN.UTF-8"), "en");
    EXPECT_EQ(languageTag(nullptr, "en_US.UTF-8"), "en_US.UTF-8");
    EXPECT_EQ(languageTag("", "en_GB"), "en_GB");
    EXPECT_EQ(languageTag(nullptr, nullptr), "zh-Hans");
    EXPECT_EQ(languageTag(nullptr, ""), "zh-Hans");
}

TEST(Language, ByTheFirstTwoCharacters) {
    EXPECT_EQ(languageOf("en_US"), Language::english);
    EXPECT_EQ(languageOf("en"), Language::english);
    EXPECT_EQ(languageOf("zh-Hant"), Language::chinese);
    EXPECT_EQ(languageOf("zh-Hans"), Language::chinese);
    EXPECT_EQ(languageOf("fr"), Language::none);
    EXPECT_EQ(languageOf("EN-us"), Language::none);
    EXPECT_EQ(languageOf("e"), Language::none);
    EXPECT_EQ(languageOf(""), Language::none);
}

TEST(Language, TheCLocaleIsEnglish) {
    for (const char* tag : {"C", "POSIX", "C.UTF-8", "C.utf8", "POSIX@euro"})
        EXPECT_EQ(languageOf(languageTag(nullptr, tag)), Language::english) << tag;
    for (const char* tag : {"CA", "Ca_ES", "c", "POSIXLY", "ca_ES.UTF-8"})
        EXPECT_EQ(languageOf(tag), Language::none) << tag;
}

TEST(InfoLines, EnglishChineseAndNone) {
    EXPECT_EQ(jobCancellingLine(Language::english), "INFO:Job Cancelling\n");
    EXPECT_EQ(jobCancellingLine(Language::chinese), "INFO:正在取消任务\n");
    EXPECT_EQ(jobCancelledLine(Language::english), "INFO:Job Cancelled\n");
    EXPECT_EQ(jobCancelledLine(Language::chinese), "INFO:任务已取消\n");
    EXPECT_EQ(pageConvertedLine(Language::english, 3), "INFO:Finished page 3 data transformation\n");
    EXPECT_EQ(pageConvertedLine(Language::chinese, 12), "INFO:完成第12页的数据转换\n");
    EXPECT_EQ(pageSendingLine(Language::english, 2), "INFO: Start to send page(2) data\n");
    EXPECT_EQ(pageSendingLine(Language::chinese, 2), "INFO:开始发送第2页的数据\n");
    EXPECT_EQ(allDataSentLine(Language::english),
              "INFO: Finish sending all job data.And waiting for printer to finish the job.\n");
    EXPECT_EQ(allDataSentLine(Language::chinese), "INFO:打印数据已完成发送，等待打印机打印完成\n");
    EXPECT_EQ(pageSendingLine(Language::none, 2), "");
    EXPECT_EQ(jobCancelledLine(Language::none), "");
}

TEST(Cancellation, RequestIsRecordedOnce) {
    cancellation::reset();
    cancellation::setLanguage(Language::none);
    EXPECT_FALSE(cancellation::requested());
    cancellation::cancelJob();
    EXPECT_TRUE(cancellation::requested());
    cancellation::cancelJob();
    EXPECT_TRUE(cancellation::requested());
    cancellation::reset();
    EXPECT_FALSE(cancellation::requested());
}

} // namespace
} // namespace tbx
