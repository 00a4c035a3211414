#include "platform/foundation/Print.h"

#include <gtest/gtest.h>
#include <thread>
#include <vector>

TEST(TraceCapture, CapturesLinesOfEveryThreadWholeAndNests) {
    tbx::TraceCapture outer;
    tbx::print("first");
    {
        tbx::TraceCapture inner;
        tbx::printFormat(" run in getPrinterStatusBySNMP  and ip =%s oid=%s\n", "10.0.0.2", "1.3.6");
        EXPECT_EQ(inner.text(), " run in getPrinterStatusBySNMP  and ip =10.0.0.2 oid=1.3.6\n");
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 100; ++i) {
                tbx::print("a line written by one of many threads");
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const auto lines = outer.lines();
    ASSERT_EQ(lines.size(), 801u);
    EXPECT_EQ(lines.front(), "first");
    for (size_t i = 1; i < lines.size(); ++i) {
        ASSERT_EQ(lines[i], "a line written by one of many threads");
    }
}

TEST(TraceCapture, TakesLogMessagesWithoutTheirStampOnlyWhenAskedTo) {
    tbx::TraceCapture plain;
    {
        tbx::TraceCapture withLog(tbx::TraceCapture::CaptureLog::yes);
        tbx::nslog("did stop");
        tbx::print("console line");
        tbx::nslog("was cancelled");
        EXPECT_EQ(withLog.logLines(), (std::vector<std::string>{"did stop", "was cancelled"}));
        EXPECT_EQ(withLog.lines(), (std::vector<std::string>{"console line"}));
        withLog.clear();
        EXPECT_TRUE(withLog.logLines().empty());
    }
    tbx::nslog("to standard error");
    EXPECT_TRUE(plain.logLines().empty());
    EXPECT_EQ(plain.text(), "");
}
