// The application-wide printer model: made by the first read, the same ever after.
#include "monitor/SharedData.h"

#include "platform/foundation/Print.h"
#include "tests/monitor/MonitorTestSupport.h"

namespace tbx::test {
namespace {

class SharedDataTest : public SimulatedPrinterBusTest {};

TEST_F(SharedDataTest, TheFirstReadMakesTheModelAndRunsTheOnlyDiscovery) {
    auto printer = plugPrinter();
    TraceCapture trace;
    const auto& first = SharedData::printerModel();
    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(settle(*first));
    const auto& second = SharedData::printerModel();
    EXPECT_EQ(first.get(), second.get());
    EXPECT_EQ(first->printerList().size(), 1u);
    const auto lines = trace.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string("snmp printerList : ")), 1);
    first->stopUpdateStatus();
}

} // namespace
} // namespace tbx::test
