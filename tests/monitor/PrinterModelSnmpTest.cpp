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
#include <future>

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
        setSnmpSeams(testSeams());
    }
    void TearDown() override {
        stopModel(model);
        resetSnmpSeams();
    }

    static SnmpSeams testSeams() {
        SnmpSeams seams;
        seams.passWindow = 700ms;
        return seams;
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
    // A discovery that waits in its interface listing keeps the SNMP layer's lock, so the query
    // is held before it reaches the printer until the test lets go.
    prepareSnmp();              // the model's own preparation then takes no lock
    std::future<int> discovery; // declared first: a test that stops early lets go, then waits
    std::promise<void> holding, letGo;
    SnmpSeams seams = testSeams();
    seams.getInterfaces = [&holding, released = letGo.get_future().share()](ifaddrs** list) {
        holding.set_value();
        released.wait_for(60s);
        *list = nullptr;
        return 0;
    };
    setSnmpSeams(seams);
    discovery = std::async(std::launch::async, [] {
        char found[kSnmpDiscoveryBufferSize] = {};
        return autoDetectSNMPPrinters(found);
    });
    holding.get_future().wait();

    PrinterModel& m = quietModel(0.3s);
    const Printer silent = networkPrinter(hosts[2].address);
    m.setStatusInfo(StatusInfo(1, "就绪", "", 42));
    m.setSelectedPrinter(silent);
    TraceCapture trace;
    m.updateStatus(silent);
    ASSERT_TRUE(m.queryInFlight());

    // The main queue runs while the query is held: a main thread that asked the printer itself,
    // or waited for the query, would get to it only after the hold's far backstop.
    bool ran = false;
    dispatch::Queue::main().async([&] { ran = true; });
    ASSERT_TRUE(dispatch::runMainUntil([&] { return ran; }, 30s));
    EXPECT_EQ(count(trace.text(), " run in getPrinterStatusBySNMP"), 0u) << trace.text();
    EXPECT_TRUE(m.queryInFlight());
    letGo.set_value();
    ASSERT_EQ(discovery.get(), 0);

    ASSERT_TRUE(settle(m, 30s));
    EXPECT_EQ(tupleOf(m.statusInfo()), (StatusTuple{3, "连接断开", kNetLost, 42}));
    // The ticks while it waited were skipped (a tick right after its end may ask again), and the
    // toner was never asked.
    const std::string text = trace.text();
    const std::string waited = text.substr(0, text.find("error in timeout\n"));
    EXPECT_LT(waited.size(), text.size()) << text;
    EXPECT_EQ(count(waited, "snmp query ip = "), 1u) << text;
    EXPECT_EQ(count(text, "toner oid ret"), 0u);
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
