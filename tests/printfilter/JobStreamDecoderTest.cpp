#include "tests/printfilter/support/JobStreamDecoder.h"

#include <gtest/gtest.h>

namespace tbx::test {
namespace {

const std::string header = "JobName=t;JobTime=Mon Dec  7 20:41:21 2026\n;SysVersion=MAC;Resolution=600x600;"
                           "MediaType=plain;Sides=OneSided;Copies=1;";
const std::string pageHeader =
    "MediaSize=na_a4_210x297mm;Origin.Top=+50;Origin.Left=+50;RasterObject.Width=8;RasterObject.Height=2;";

TEST(JobStreamDecoder, ReadsAWholeJobBack) {
    const std::string data = std::string("a;b=c?\0", 7);
    const std::string stream = "Event=StartOfJob;" + header + pageHeader + "MediaInputTrayCheck=auto;" +
                               "RasterObject.Data#7=" + data + ";Event=EndOfPage;" + pageHeader +
                               "Event=EndOfPage;Status?Event=EndOfJob;";
    const DecodedJob job = decodeJobStream(stream);
    ASSERT_TRUE(job.ok()) << job.error;
    EXPECT_TRUE(job.startOfJob);
    EXPECT_TRUE(job.endOfJob);
    EXPECT_FALSE(job.cancelled);
    EXPECT_EQ(job.jobHeader.size(), 7u);
    EXPECT_EQ(job.jobField("JobTime"), "Mon Dec  7 20:41:21 2026\n");
    ASSERT_EQ(job.pages.size(), 2u);
    EXPECT_EQ(job.pages[0].data, data) << "data bytes are taken by count, not by separator";
    EXPECT_EQ(job.pages[0].field("MediaInputTrayCheck"), "auto");
    EXPECT_EQ(job.pages[1].width(), 8);
    EXPECT_TRUE(job.pages[1].pieces.empty());
    EXPECT_EQ(job.queries, std::vector<std::string>{"Status"});
}

TEST(JobStreamDecoder, CancelledJobEndsWithCancelJob) {
    const DecodedJob job =
        decodeJobStream("Event=StartOfJob;" + header + pageHeader + "Event=EndOfPage;CancelJob?");
    ASSERT_TRUE(job.ok()) << job.error;
    EXPECT_TRUE(job.cancelled);
    EXPECT_FALSE(job.endOfJob);
    EXPECT_EQ(job.pages.size(), 1u);
}

TEST(JobStreamDecoder, ReportsBrokenStreams) {
    EXPECT_FALSE(decodeJobStream("Event=StartOfJob;" + header).ok()) << "no end";
    EXPECT_FALSE(decodeJobStream(header + "Event=EndOfJob;").ok()) << "no start";
    EXPECT_FALSE(
        decodeJobStream("Event=StartOfJob;" + header + pageHeader + "RasterObject.Data#9=abc;Event=EndOfJob;")
            .ok())
        << "short piece";
    EXPECT_FALSE(decodeJobStream("Event=StartOfJob;" + header + "RasterObject.Data#1=x;Event=EndOfJob;").ok())
        << "data outside a page";
    EXPECT_FALSE(decodeJobStream("Event=StartOfJob;" + header + pageHeader + "Event=EndOfJob;").ok())
        << "page without EndOfPage";
    EXPECT_FALSE(decodeJobStream("Event=StartOfJob;Event=EndOfJob;Event=EndOfJob;").ok())
        << "item after the end";
}

} // namespace
} // namespace tbx::test
