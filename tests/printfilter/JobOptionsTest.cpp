#include "printfilter/JobOptions.h"

#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

namespace tbx {
namespace {

using Marked = std::vector<MarkedChoice>;

JobOptions applied(const Marked& marked) {
    JobOptions job;
    applyMarkedChoices(job, marked);
    return job;
}

TEST(JobArguments, ReadsQueueJobTitleCopiesOptionsAndFile) {
    const char* argv[] = {"tbxqueue",   "42", "alice", "Report; final", "3", "Duplex=DuplexTumble",
                          "/tmp/in.ras"};
    const JobOptions job = parseJobArguments(7, argv);
    EXPECT_EQ(job.PrinterName, "tbxqueue");
    EXPECT_EQ(job.JobId, 42);
    EXPECT_EQ(job.jobName, "Report; final");
    EXPECT_EQ(job.jobCopies, "3");
    EXPECT_EQ(job.copies, 3);
    EXPECT_EQ(job.optionText, "Duplex=DuplexTumble");
    EXPECT_EQ(job.rasterFile, "/tmp/in.ras");

    const char* six[] = {"q", "1", "u", "t", "abc", ""};
    const JobOptions noFile = parseJobArguments(6, six);
    EXPECT_EQ(noFile.copies, 0) << "copies that are no number count as 0";
    EXPECT_EQ(noFile.jobCopies, "abc");
    EXPECT_TRUE(noFile.rasterFile.empty());
}

TEST(JobArguments, DecimalValueLikeTheSchedulerWritesIt) {
    EXPECT_EQ(decimalValue("3"), 3);
    EXPECT_EQ(decimalValue(" 12abc"), 12);
    EXPECT_EQ(decimalValue("abc"), 0);
    EXPECT_EQ(decimalValue(""), 0);
    EXPECT_EQ(decimalValue(nullptr), 0);
    EXPECT_EQ(decimalValue("-2"), -2);
    EXPECT_EQ(decimalValue("99999999999999999999"), INT_MAX) << "saturates instead of overflowing";
}

TEST(JobArguments, CopiesAreAWholeNumberFromOneTo9999) {
    const struct {
        const char* text;
        std::optional<int> copies;
    } cases[] = {
        {"1", 1},
        {"3", 3},
        {"0042", 42},
        {"9999", 9999},
        {"10000", std::nullopt},
        {"0", std::nullopt},
        {"-5", std::nullopt},
        {"+2", std::nullopt},
        {"abc", std::nullopt},
        {" 7", std::nullopt},
        {"7x", std::nullopt},
        {"3_Evil_1", std::nullopt},
        {"", std::nullopt},
        {nullptr, std::nullopt},
        {"99999999999", std::nullopt},
        {"2.5", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parseCopies(c.text), c.copies) << (c.text ? c.text : "(null)");
}

// Only such an id may reach the scheduler's cancel, where 0 is the queue's current job and -1
// every job of the queue.
TEST(JobArguments, JobIdIsAPositiveDecimalNumber) {
    const struct {
        const char* text;
        std::optional<int> id;
    } cases[] = {
        {"42", 42},
        {"0042", 42},
        {"2147483647", INT_MAX},
        {"0", std::nullopt},
        {"-1", std::nullopt},
        {"+3", std::nullopt},
        {"abc", std::nullopt},
        {"17abc", std::nullopt},
        {" 42", std::nullopt},
        {"", std::nullopt},
        {nullptr, std::nullopt},
        {"2147483648", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parseJobId(c.text), c.id) << (c.text ? c.text : "(null)");
    const char* argv[] = {"q", "-1", "u", "t", "1", ""};
    const JobOptions job = parseJobArguments(6, argv);
    EXPECT_EQ(job.JobId, 0) << "no job id to cancel with the scheduler";
    EXPECT_EQ(job.jobIdText, "-1");
}

TEST(JobArguments, UsageLine) {
    EXPECT_EQ(usageLine("printfilter-tamberlyx"),
              "Usage: printfilter-tamberlyx job-id user title copies options [file]");
}

TEST(MarkedChoices, NoChoiceGivesTheDefaults) {
    const JobOptions job = applied({});
    EXPECT_EQ(job.isMediaType, 0);
    EXPECT_EQ(job.pageSize, "A4");
    EXPECT_EQ(job.isInputSlot, 0);
    EXPECT_EQ(job.isDuplex, 0);
    EXPECT_TRUE(job.collate);
    EXPECT_EQ(job.scaleRatio, 1.0);
    EXPECT_EQ(job.imageDarkness_type, 0);
}

TEST(MarkedChoices, TablesMatchExactNamesOnly) {
    const std::pair<const char*, int> media[] = {{"Plain", 0},    {"Thick", 1}, {"Thin", 2},  {"Card", 3},
                                                 {"Envelope", 4}, {"plain", 0}, {"Glossy", 0}};
    for (const auto& [name, value] : media)
        EXPECT_EQ(applied({{"MediaType", name}}).isMediaType, value) << name;
    const std::pair<const char*, int> slots[] = {{"AUTO", 0},  {"MPTRAY", 1}, {"TRAY1", 2},
                                                 {"TRAY2", 3}, {"TRAY3", 4},  {"tray1", 0}};
    for (const auto& [name, value] : slots)
        EXPECT_EQ(applied({{"InputSlot", name}}).isInputSlot, value) << name;
    const std::pair<const char*, int> duplex[] = {{"DuplexTumble", 1}, {"DuplexNoTumble", 2}, {"None", 0}};
    for (const auto& [name, value] : duplex)
        EXPECT_EQ(applied({{"Duplex", name}}).isDuplex, value) << name;
    EXPECT_FALSE(applied({{"Collate", "False"}}).collate);
    EXPECT_TRUE(applied({{"Collate", "True"}}).collate);
    EXPECT_TRUE(applied({{"Collate", "false"}}).collate);
    const std::pair<const char*, double> scales[] = {{"25%", 0.25}, {"50%", 0.5},  {"80%", 0.8},
                                                     {"90%", 0.9},  {"100%", 1.0}, {"110%", 1.1},
                                                     {"120%", 1.2}, {"150%", 1.5}, {"75%", 1.0}};
    for (const auto& [name, value] : scales)
        EXPECT_DOUBLE_EQ(applied({{"QvScale", name}}).scaleRatio, value) << name;
    for (int level = 0; level <= 5; ++level)
        EXPECT_EQ(applied({{"GammaDarkness", "darkness" + std::to_string(level)}}).imageDarkness_type, level);
    EXPECT_EQ(applied({{"GammaDarkness", "darkness9"}}).imageDarkness_type, 0)
        << "unknown level keeps the start";
    EXPECT_EQ(applied({{"PageSize", "letter"}}).pageSize, "letter") << "the page size name is kept as it is";
}

TEST(MarkedChoices, ReadFromTheProjectPpdWithJobOptions) {
    auto marked = readMarkedChoices(TBX_FILTER_PPD, "");
    ASSERT_TRUE(marked);
    JobOptions defaults = applied(*marked);
    EXPECT_EQ(defaults.pageSize, "A4");
    EXPECT_EQ(defaults.isDuplex, 0);
    EXPECT_TRUE(defaults.collate);
    EXPECT_EQ(defaults.imageDarkness_type, 3);

    marked =
        readMarkedChoices(TBX_FILTER_PPD, "MediaType=Card InputSlot=TRAY3 Duplex=DuplexNoTumble "
                                          "Collate=False QvScale=80% GammaDarkness=darkness5 media=Letter");
    ASSERT_TRUE(marked);
    const JobOptions job = applied(*marked);
    EXPECT_EQ(job.isMediaType, 3);
    EXPECT_EQ(job.isInputSlot, 4);
    EXPECT_EQ(job.isDuplex, 2);
    EXPECT_FALSE(job.collate);
    EXPECT_DOUBLE_EQ(job.scaleRatio, 0.8);
    EXPECT_EQ(job.imageDarkness_type, 5);
    EXPECT_EQ(job.pageSize, "Letter");

    // "sides" is the IPP way of asking for two-sided printing.
    marked = readMarkedChoices(TBX_FILTER_PPD, "sides=two-sided-short-edge");
    ASSERT_TRUE(marked);
    EXPECT_EQ(applied(*marked).isDuplex, 1);
}

TEST(MarkedChoices, CustomPageSizeKeepsItsFullName) {
    const auto marked = readMarkedChoices(TBX_FILTER_PPD, "PageSize=Custom.595.28x841.89");
    ASSERT_TRUE(marked);
    EXPECT_EQ(applied(*marked).pageSize, "Custom.595.28x841.89");
}

TEST(MarkedChoices, MissingPpdMarksNothing) {
    auto marked = readMarkedChoices(nullptr, "MediaType=Thick");
    ASSERT_TRUE(marked);
    EXPECT_TRUE(marked->empty());
}

TEST(MarkedChoices, APpdThatCannotBeReadIsWarnedAboutAndTheDefaultsApply) {
    const std::string garbage = ::testing::TempDir() + "tbx-not-a-ppd-" + std::to_string(::getpid());
    { std::ofstream(garbage) << "this is no PPD\n"; }
    const struct {
        std::string path;
        const char* why;
    } cases[] = {
        {"/nonexistent/tamberlyx.ppd", "(No such file or directory)"},
        {garbage, "(Missing asterisk in column 1 on line 1)"},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStderr();
        const auto marked = readMarkedChoices(c.path.c_str(), "MediaType=Thick");
        const std::string err = testing::internal::GetCapturedStderr();
        ASSERT_TRUE(marked);
        EXPECT_TRUE(marked->empty());
        EXPECT_NE(err.find("WARNING: [Tamberlyx] cannot read the PPD file " + c.path + " " + c.why),
                  std::string::npos)
            << err;
        EXPECT_NE(err.find("printing with the default settings"), std::string::npos);
    }
    std::remove(garbage.c_str());
    // No PPD named at all (a filter run by hand) is no reason to warn.
    testing::internal::CaptureStderr();
    readMarkedChoices(nullptr, "");
    EXPECT_EQ(testing::internal::GetCapturedStderr().find("WARNING:"), std::string::npos);
}

} // namespace
} // namespace tbx
