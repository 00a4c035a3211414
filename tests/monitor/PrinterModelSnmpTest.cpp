// The printer model against real SNMP agents (snmpd on the sandbox's private
// test hosts): discovery of the model among other devices, the status and
// toner query, silent printers, and replies of every other form.
#include "platform/foundation/Print.h"
#include "tests/monitor/MonitorTestSupport.h"
#include "tests/support/PrinterAgentObjects.h"
#include "tests/support/Sandbox.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>

namespace tbx::test {
namespace {

const std::string kNetLost = "连接断开，请查看设备的网络连接情况";

Printer networkPrinter(const std::string& ip) {
    return Printer("Tamberlyx", "Tamberlyx(" + ip + ")", "Net", ip, 55, 0x356C);
}

// The model's own lines of one query, in order.
std::vector<std::string> queryLines(const TraceCapture& trace) {
    static const char* const prefixes[] = {"snmp query ip = ",   "rInfo = ",         "selected printer = ",
                                           "select printer is ", "toner oid ret = ", "toner = "};
    std::vector<std::string> lines;
    for (const auto& line : trace.lines()) {
        if (std::any_of(std::begin(prefixes), std::end(prefixes),
                        [&](const char* prefix) { return line.rfind(prefix, 0) == 0; })) {
            lines.push_back(line);
        }
    }
    return lines;
}

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

class PrinterModelSnmpTest : public testing::Test {
protected:
    void SetUp() override {
        TBX_REQUIRE_NETWORK_SANDBOX();
        hosts = sandboxTestHosts();
        ASSERT_GE(hosts.size(), 5u) << "run under scripts/sandbox --hosts 5";
        useEmptySnmpConfiguration();
        SnmpSeams seams;
        seams.passWindow = 700ms;
        setSnmpSeams(seams);
    }
    void TearDown() override {
        stopModel(model);
        resetSnmpSeams();
    }

    PrinterModel& quietModel(dispatch::Seconds interval = 60s) {
        model = PrinterModel::make({.pollInterval = interval, .discoverAtStart = false});
        return *model;
    }

    std::vector<TestHost> hosts;
    SnmpAgents agents;
    std::shared_ptr<PrinterModel> model;
};

TEST_F(PrinterModelSnmpTest, FindsThePrinterAmongOtherDevicesAndReadsItsStatusAndToner) {
    ASSERT_TRUE(agents.start(hosts[0], printerAgent("3004,cover", "57")));
    SnmpAgentSpec other;
    other.sysObjectID = ".1.3.6.1.4.1.8072.3.2.10";
    ASSERT_TRUE(agents.start(hosts[1], other));
    TraceCapture trace;
    model = PrinterModel::make({.pollInterval = 60s});
    EXPECT_TRUE(model->discovering());
    ASSERT_TRUE(settle(*model));
    const std::string ip = hosts[0].address;
    ASSERT_EQ(model->printerList().size(), 1u) << trace.text();
    EXPECT_EQ(model->printerList()[0].label(), "Tamberlyx(" + ip + ")");
    EXPECT_EQ(model->selectedPrinter(), model->printerList()[0]);
    EXPECT_EQ(tupleOf(model->statusInfo()), (StatusTuple{3, "前盖打开", "请关闭前盖", 57}));
    EXPECT_EQ(queryLines(trace), (std::vector<std::string>{
                                     "snmp query ip = " + ip,
                                     "rInfo = STRING: \"3004,cover\"",
                                     "selected printer = Tamberlyx",
                                     "select printer is Tamberlyx and status code = 3004",
                                     "toner oid ret = INTEGER: 57",
                                     "toner = 57",
                                 }));
}

TEST_F(PrinterModelSnmpTest, ASilentPrinterKeepsTheMainThreadFreeAndItsTonerShown) {
    PrinterModel& m = quietModel(0.3s);
    const Printer silent = networkPrinter(hosts[2].address);
    m.setStatusInfo(StatusInfo(1, "就绪", "", 42));
    m.setSelectedPrinter(silent);
    TraceCapture trace;
    m.updateStatus(silent);
    ASSERT_TRUE(m.queryInFlight());

    // The main queue keeps running while the query waits for its answer.
    dispatch::runMainFor(200ms);
    const auto posted = std::chrono::steady_clock::now();
    bool ran = false;
    dispatch::Queue::main().async([&] { ran = true; });
    ASSERT_TRUE(dispatch::runMainUntil([&] { return ran; }, 30s));
    // A main thread held by the query would run it only after the query's 6 s time-out; the
    // limit leaves a loaded machine room below that.
    EXPECT_LT(std::chrono::steady_clock::now() - posted, 1s);
    EXPECT_TRUE(m.queryInFlight());

    ASSERT_TRUE(settle(m, 30s));
    EXPECT_EQ(tupleOf(m.statusInfo()), (StatusTuple{3, "连接断开", kNetLost, 42}));
    EXPECT_EQ(count(trace.text(), "error in timeout\n"), 1u);
    // The ticks while it waited were skipped, and the toner was never asked.
    EXPECT_EQ(count(trace.text(), " run in getPrinterStatusBySNMP"), 1u) << trace.text();
    EXPECT_EQ(count(trace.text(), "toner oid ret"), 0u);
    EXPECT_TRUE(m.timerScheduled());
}

TEST_F(PrinterModelSnmpTest, ASilentPrintersLateFailureNeverOverwritesTheNextSelection) {
    ASSERT_TRUE(agents.start(hosts[0], printerAgent("3004,cover", "57")));
    PrinterModel& m = quietModel(0.3s);
    const Printer silent = networkPrinter(hosts[2].address);
    const Printer answering = networkPrinter(hosts[0].address);
    m.setSelectedPrinter(silent);
    m.updateStatus(silent);
    dispatch::runMainFor(300ms);
    ASSERT_TRUE(m.queryInFlight());

    bool switched = false;
    int staleFailures = 0;
    QObject::connect(&m, &PrinterModel::statusInfoChanged,
                     [&] { staleFailures += switched && m.statusInfo().message == "连接断开"; });
    TraceCapture trace;
    m.setSelectedPrinter(answering);
    switched = true;
    m.updateStatus(answering);
    ASSERT_TRUE(settle(m, 30s));
    EXPECT_EQ(count(trace.text(), "error in timeout\n"), 1u); // the silent printer's answer came, late
    EXPECT_EQ(staleFailures, 0);
    EXPECT_EQ(tupleOf(m.statusInfo()), (StatusTuple{3, "前盖打开", "请关闭前盖", 57}));
}

TEST_F(PrinterModelSnmpTest, RepliesOfAnyOtherFormGiveTheLostStatusOrNoToner) {
    struct Case {
        SnmpAgentSpec agent;
        StatusTuple expected;
        bool tonerAsked;
    };
    const std::string restart = "请重启设备，如果错误还存在，请联系厂家";
    const Case cases[] = {
        // Text beyond ASCII still reads as text, not as a hex dump.
        {printerAgent("3004,前盖打开", "57"), {3, "前盖打开", "请关闭前盖", 57}, true},
        {printerAgent("cover", "57"), {3, "连接断开", kNetLost, 9}, false},
        {printerAgent("", "57"), {3, "连接断开", kNetLost, 9}, false}, // no status object
        {printerAgent("99999999999999999999,x", "57"), {3, "连接断开", kNetLost, 9}, false},
        {printerAgent("2009,sleep", "57", "string"), {1, "休眠", "", 0}, true},  // toner not a number
        {printerAgent("7777,odd", "", ""), {3, "错误码7777", restart, 0}, true}, // no toner object
    };
    for (std::size_t i = 0; i < std::min(std::size(cases), hosts.size()); ++i) {
        ASSERT_TRUE(agents.start(hosts[i], cases[i].agent));
    }
    PrinterModel& m = quietModel(60s);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& host = hosts[i % hosts.size()];
        SCOPED_TRACE(host.address);
        if (i == hosts.size()) {
            agents.stop(hosts[0]);
            ASSERT_TRUE(agents.start(hosts[0], cases[i].agent));
        }
        const Printer printer = networkPrinter(host.address);
        m.setStatusInfo(StatusInfo(1, "就绪", "", 9));
        m.setSelectedPrinter(printer);
        TraceCapture trace;
        m.updateStatus(printer);
        ASSERT_TRUE(settle(m));
        EXPECT_EQ(tupleOf(m.statusInfo()), cases[i].expected) << trace.text();
        EXPECT_EQ(count(trace.text(), "toner oid ret = "), cases[i].tonerAsked ? 1u : 0u);
        EXPECT_TRUE(m.timerScheduled()); // the poll goes on
    }
}

TEST_F(PrinterModelSnmpTest, TheUsersOutputSettingsDoNotChangeHowRepliesRead) {
    // Quick printing would drop the type words from the replies.
    std::ofstream(std::string(std::getenv("SNMPCONFPATH")) + "/snmp.conf") << "quickPrinting yes\n";
    ASSERT_TRUE(agents.start(hosts[0], printerAgent("3004,cover", "57")));
    PrinterModel& m = quietModel();
    const Printer printer = networkPrinter(hosts[0].address);
    m.setSelectedPrinter(printer);
    TraceCapture trace;
    m.updateStatus(printer);
    ASSERT_TRUE(settle(m));
    EXPECT_EQ(tupleOf(m.statusInfo()), (StatusTuple{3, "前盖打开", "请关闭前盖", 57}));
    const auto lines = queryLines(trace);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "rInfo = STRING: \"3004,cover\""), lines.end())
        << trace.text();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "toner = 57"), lines.end());
}

} // namespace
} // namespace tbx::test
