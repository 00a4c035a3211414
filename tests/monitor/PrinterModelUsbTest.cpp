// The printer model against simulated USB printers: discovery, the status
// control request and its answers, the poll timer, selection and the sleep rule.
#include "platform/foundation/Print.h"
#include "tests/monitor/MonitorTestSupport.h"

#include <algorithm>
#include <thread>

namespace tbx::test {
namespace {

using Misbehaviour = sim::UsbPrinter::Misbehaviour;

const StatusTuple kUsbLost{3, "连接断开", "请检查设备的连接情况", 50};

bool hasLine(const TraceCapture& trace, const std::string& line) {
    const auto lines = trace.lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class PrinterModelUsbTest : public SimulatedPrinterBusTest {};

TEST_F(PrinterModelUsbTest, ListsAndPollsTheAttachedPrinter) {
    auto printer = plugPrinter({.statusCode = 2009, .toner = 50});
    TraceCapture trace;
    PrinterModel& m = start();
    ASSERT_EQ(m.printerList().size(), 1u);
    EXPECT_EQ(m.printerList()[0].label(), "Tamberlyx(USB)");
    EXPECT_EQ(m.selectedPrinter(), m.printerList()[0]);
    EXPECT_EQ(tupleOf(m.statusInfo()), (StatusTuple{1, "休眠", "", 50}));
    EXPECT_TRUE(m.isWakeUp());
    EXPECT_EQ(m.timerMode(), TimerMode::running);
    EXPECT_TRUE(m.timerScheduled());
    EXPECT_TRUE(hasLine(trace, "usb control endpoint get status. code = 2009 toner code = 50"));
    EXPECT_TRUE(hasLine(trace, "select printer is Tamberlyx and status code = 2009"));

    // The printer checks every field of the request.
    EXPECT_GE(printer->statusRequests(), 1);
    EXPECT_EQ(printer->badRequests(), 0);
    // Queried without opening or claiming anything.
    EXPECT_EQ(printer->device()->stats().deviceOpens, 0);
    EXPECT_EQ(printer->device()->stats().interfaceOpens, 0);
}

TEST_F(PrinterModelUsbTest, EachAnswerBecomesItsStatus) {
    struct Case {
        std::uint16_t code;
        std::uint8_t toner;
        Misbehaviour misbehaviour;
        std::size_t shortLength;
        StatusTuple expected;
        std::string line; // the trace line that reports the answer
    };
    const std::string restart = "请重启设备，如果错误还存在，请联系厂家";
    const std::string got = "usb control endpoint get status. code = ";
    // clang-format off
    const Case cases[] = {
        {3004, 0, Misbehaviour::none, 0, {3, "前盖打开", "请关闭前盖", 0}, got + "3004 toner code = 0"},
        {7777, 9, Misbehaviour::none, 0, {3, "错误码7777", restart, 9}, got + "7777 toner code = 9"},
        {2017, 200, Misbehaviour::none, 0, {2, "纸量较少", "请添加纸张", 200}, got + "2017 toner code = 200"},
        // Only the code came: the toner shown stays.
        {3004, 77, Misbehaviour::shortAnswer, 2, {3, "前盖打开", "请关闭前盖", 50}, got + "3004 toner code = 50"},
        // Less than a code is no reading at all.
        {1, 77, Misbehaviour::shortAnswer, 1, kUsbLost, "Received: error"},
        {1, 77, Misbehaviour::shortAnswer, 0, kUsbLost, "Received: error"},
        {1, 77, Misbehaviour::stall, 0, kUsbLost, "Received: error"},
        {1, 77, Misbehaviour::timeout, 0, kUsbLost, "Received: error"},
    };
    // clang-format on
    auto printer = plugPrinter({.statusCode = 2009, .toner = 50});
    PrinterModel& m = start(60s);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        printer->misbehave(Misbehaviour::none);
        printer->setStatus(2009, 50);
        m.getUSBControlRequestInfo();
        ASSERT_TRUE(settle(m));
        ASSERT_EQ(tupleOf(m.statusInfo()), (StatusTuple{1, "休眠", "", 50}));

        printer->setStatus(c.code, c.toner);
        printer->misbehave(c.misbehaviour, c.shortLength);
        TraceCapture trace;
        m.getUSBControlRequestInfo();
        ASSERT_TRUE(settle(m));
        EXPECT_EQ(tupleOf(m.statusInfo()), c.expected);
        EXPECT_TRUE(hasLine(trace, c.line)) << trace.text();
    }
    EXPECT_EQ(printer->badRequests(), 0);
}

TEST_F(PrinterModelUsbTest, APrinterThatCannotBeOpenedIsALostConnectionNeverAZeroReading) {
    using iokit::ServiceKind;
    using sim::usb::Step;
    const std::pair<Step, sim::usb::Fault> faults[] = {
        {Step::plugIn, {.kind = ServiceKind::device}},
        {Step::query, {.kind = ServiceKind::device}},
        {Step::plugIn, {.kind = ServiceKind::interface}},
        {Step::query, {.kind = ServiceKind::interface}},
        {Step::plugIn, {.code = iokit::kIOReturnSuccess, .kind = ServiceKind::interface}}, // no plug-in given
        {Step::control, {.code = iokit::kIOReturnNotResponding}},
    };
    auto printer = plugPrinter({.statusCode = 2009, .toner = 50});
    PrinterModel& m = start(60s);
    for (const auto& [step, fault] : faults) {
        SCOPED_TRACE(static_cast<int>(step));
        printer->device()->clearFaults();
        m.getUSBControlRequestInfo();
        ASSERT_TRUE(settle(m));
        ASSERT_EQ(tupleOf(m.statusInfo()), (StatusTuple{1, "休眠", "", 50}));
        printer->device()->injectFault(step, fault);
        m.getUSBControlRequestInfo();
        ASSERT_TRUE(settle(m));
        EXPECT_EQ(tupleOf(m.statusInfo()), kUsbLost);
        // Every handle made before the failure was given back.
        EXPECT_EQ(iokit::liveObjectCounts(), baseline) << iokit::describe(iokit::liveObjectCounts());
    }
}

TEST_F(PrinterModelUsbTest, UnpluggedPrinterShowsTheLostConnectionAndRecoversWhenBack) {
    auto printer = plugPrinter({.statusCode = 2009, .toner = 50});
    PrinterModel& m = start(0.1s);
    bus->unplug(printer->device());
    ASSERT_TRUE(dispatch::runMainUntil([&] { return m.statusInfo().message == "连接断开"; }, 10s));
    EXPECT_EQ(tupleOf(m.statusInfo()), kUsbLost);
    printer->setStatus(1, 60);
    bus->plug(printer->device());
    ASSERT_TRUE(dispatch::runMainUntil([&] { return m.statusInfo().level == 1; }, 10s));
    EXPECT_EQ(tupleOf(m.statusInfo()), (StatusTuple{1, "就绪", "", 60}));
}

TEST_F(PrinterModelUsbTest, EachOfTwoPrintersIsQueriedOnItsOwnDevice) {
    auto first = plugPrinter({.location = 0x01100000, .statusCode = 1, .toner = 10});
    auto second = plugPrinter({.location = 0x01200000, .statusCode = 3004, .toner = 20});
    PrinterModel& m = start(60s);
    ASSERT_EQ(m.printerList().size(), 2u);
    EXPECT_EQ(tupleOf(m.statusInfo()), (StatusTuple{1, "就绪", "", 10}));
    const int firstAsked = first->statusRequests();

    selectRow(m, m.printerList()[1]);
    ASSERT_TRUE(settle(m));
    EXPECT_EQ(tupleOf(m.statusInfo()), (StatusTuple{3, "前盖打开", "请关闭前盖", 20}));
    EXPECT_EQ(first->statusRequests(), firstAsked);
    EXPECT_EQ(second->statusRequests(), 1);
}

TEST_F(PrinterModelUsbTest, AFailureIsNeverWrittenOverALaterSelection) {
    auto first = plugPrinter({.location = 0x01100000});
    auto second = plugPrinter({.location = 0x01200000, .statusCode = 3004, .toner = 20});
    PrinterModel& m = start(60s);
    ASSERT_EQ(m.printerList().size(), 2u);
    // The user picks the second row while the first printer fails its query.
    const Printer secondRow = m.printerList()[1];
    first->device()->onControl([&](const sim::usb::ControlRecord&) {
        dispatch::Queue::main().async([&] { selectRow(m, secondRow); });
        return sim::usb::ControlAnswer{.code = iokit::kIOUSBPipeStalled};
    });
    // Once the second row is selected, the first printer's failure must not show.
    bool secondSelected = false;
    int staleFailures = 0;
    QObject::connect(&m, &PrinterModel::selectedPrinterChanged, [&] { secondSelected = true; });
    QObject::connect(&m, &PrinterModel::statusInfoChanged,
                     [&] { staleFailures += secondSelected && m.statusInfo().message == "连接断开"; });
    m.getUSBControlRequestInfo();
    ASSERT_TRUE(
        dispatch::runMainUntil([&] { return second->statusRequests() == 1 && !m.queryInFlight(); }, 10s));
    dispatch::runMainFor(50ms);
    EXPECT_EQ(staleFailures, 0);
    EXPECT_EQ(m.selectedPrinter(), secondRow);
    EXPECT_EQ(tupleOf(m.statusInfo()), (StatusTuple{3, "前盖打开", "请关闭前盖", 20}));
}

TEST_F(PrinterModelUsbTest, AStalledStatusRequestOutWhenTheModelStopsOrGoesWritesNothing) {
    using Clock = std::chrono::steady_clock;
    struct Case {
        std::string name;
        std::function<void()> end; // called while the request stalls
    };
    const Case cases[] = {
        // Quitting: the stall is waited for (no longer), its answer is dropped.
        {"stopped", [this] { model->stop(); }},
        // Work posted for a model that is gone finds nobody to write to.
        {"let go", [this] { model.reset(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bus->unplugAll();
        auto printer = plugPrinter({.statusCode = 2009, .toner = 50});
        start(60s);
        ASSERT_EQ(tupleOf(model->statusInfo()), (StatusTuple{1, "休眠", "", 50}));
        printer->misbehave(Misbehaviour::timeout);
        printer->setTimeoutDelay(300ms);
        TraceCapture trace;
        const std::weak_ptr<PrinterModel> watched = model;
        const int asked = printer->statusRequests();
        model->getUSBControlRequestInfo();
        // The request reaches the printer from the worker, with the main queue left alone.
        const auto deadline = Clock::now() + 10s;
        while (printer->statusRequests() == asked && Clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        ASSERT_EQ(printer->statusRequests(), asked + 1);
        const auto started = Clock::now();
        c.end();
        // The stall lasts 300 ms: the limit catches an end that hangs or waits for more than the
        // stall, with room for a loaded machine.
        EXPECT_LT(Clock::now() - started, 3s);
        dispatch::runMainFor(400ms); // a moment for the stalled answer to be written, which it must not
        if (auto left = watched.lock()) {
            EXPECT_EQ(tupleOf(left->statusInfo()), (StatusTuple{1, "休眠", "", 50}));
            EXPECT_FALSE(left->timerScheduled());
            EXPECT_FALSE(left->queryInFlight());
        }
        EXPECT_FALSE(hasLine(trace, "Received: error"));
        model.reset();
    }
}

TEST_F(PrinterModelUsbTest, NothingFoundSelectsTheNoPrinterValueAndPollsNothing) {
    TraceCapture trace;
    PrinterModel& m = start();
    EXPECT_TRUE(m.printerList().empty());
    EXPECT_EQ(m.selectedPrinter().type(), "");
    EXPECT_EQ(m.selectedPrinter().VID(), 0x0EFD);
    EXPECT_EQ(m.selectedPrinter().PID(), 0);
    EXPECT_EQ(tupleOf(m.statusInfo()),
              (StatusTuple{3, "没有连接的设备", "请刷新打印机列表或检查设备连接状态", 0}));
    EXPECT_EQ(m.timerMode(), TimerMode::stopped);
    EXPECT_FALSE(m.timerScheduled());
    EXPECT_TRUE(hasLine(trace, "snmp printerList : "));
    EXPECT_FALSE(hasLine(trace, "Received: error"));
}

TEST_F(PrinterModelUsbTest, OnlyOneTimerEverPollsAndARefreshThatFindsNothingStopsIt) {
    auto printer = plugPrinter();
    PrinterModel& m = start(0.05s);
    for (int i = 0; i < 5; ++i) {
        selectRow(m, m.printerList()[0]);
        dispatch::runMainFor(20ms);
    }
    EXPECT_TRUE(m.timerScheduled());
    // With the poll stopped, no timer of an earlier selection is left to fire.
    m.stopUpdateStatus();
    ASSERT_TRUE(settle(m));
    EXPECT_FALSE(m.timerScheduled());
    EXPECT_EQ(m.timerMode(), TimerMode::running);
    const int asked = printer->statusRequests();
    dispatch::runMainFor(300ms);
    EXPECT_EQ(printer->statusRequests(), asked);

    // Polling again, then a refresh with the printer gone.
    selectRow(m, m.printerList()[0]);
    ASSERT_TRUE(settle(m));
    bus->unplug(printer->device());
    m.stopUpdateStatus();
    m.getPrinterList();
    ASSERT_TRUE(settle(m));
    EXPECT_FALSE(m.timerScheduled());
    EXPECT_EQ(m.timerMode(), TimerMode::running);
    EXPECT_EQ(m.statusInfo().message, "没有连接的设备");
}

TEST_F(PrinterModelUsbTest, APrinterOfAnotherTypeIsNeverQueried) {
    model = PrinterModel::make({.pollInterval = 0.05s, .discoverAtStart = false});
    PrinterModel& m = *model;
    m.stopUpdateStatus(); // nothing started yet: nothing happens
    EXPECT_EQ(m.timerMode(), TimerMode::stopped);
    TraceCapture trace;
    selectRow(m, Printer("Tamberlyx", "Tamberlyx(BT)", "usb", "", 55, 0x356C));
    dispatch::runMainFor(200ms);
    EXPECT_EQ(m.timerMode(), TimerMode::running);
    EXPECT_FALSE(m.timerScheduled());
    EXPECT_EQ(tupleOf(m.statusInfo()), (StatusTuple{1, "正在连接", "", 0}));
    EXPECT_EQ(trace.text(), "");
}

TEST_F(PrinterModelUsbTest, ASleepingKrvPrinterStopsBeingPolledAtItsNextSelection) {
    auto printer = plugPrinter({.statusCode = 2009, .toner = 50});
    model = PrinterModel::make({.pollInterval = 0.05s, .discoverAtStart = false});
    PrinterModel& m = *model;
    const Printer krv("KRV-200", "KRV-200(USB)", "USB", "", 0x37, 0x356C);
    selectRow(m, krv);
    ASSERT_TRUE(settle(m));
    EXPECT_FALSE(m.isWakeUp());
    // Not the model's name: the table does not apply.
    EXPECT_EQ(m.statusInfo().message, "错误码2009");
    // The timer goes on polling until the next selection.
    const int asked = printer->statusRequests();
    ASSERT_TRUE(dispatch::runMainUntil([&] { return printer->statusRequests() > asked + 1; }, 10s));

    m.updateStatus(krv); // still asleep: the poll stops, nothing is asked
    ASSERT_TRUE(settle(m));
    EXPECT_FALSE(m.timerScheduled());
    const int stopped = printer->statusRequests();
    dispatch::runMainFor(200ms);
    EXPECT_EQ(printer->statusRequests(), stopped);

    selectRow(m, krv); // a new selection wakes it
    ASSERT_TRUE(settle(m));
    EXPECT_TRUE(m.timerScheduled());
    EXPECT_GT(printer->statusRequests(), stopped);
}

TEST_F(PrinterModelUsbTest, EveryFieldWriteIsAnnouncedBeforeItIsStored) {
    auto printer = plugPrinter({.statusCode = 3004, .toner = 0});
    model = PrinterModel::make({.pollInterval = 60s, .discoverAtStart = false});
    PrinterModel& m = *model;
    m.setSelectedPrinter(Printer("Tamberlyx", "Tamberlyx(USB)", "USB", "", 0x37, 0x356C));
    std::vector<std::string> events;
    QObject::connect(&m, &PrinterModel::objectWillChange, [&] {
        events.push_back("will " + m.statusInfo().message + "/" + m.statusInfo().discription);
    });
    QObject::connect(&m, &PrinterModel::statusInfoChanged, [&] {
        const auto& s = m.statusInfo();
        events.push_back(std::to_string(s.level) + " " + s.message + "/" + s.discription + " " +
                         std::to_string(s.toner));
    });
    m.getUSBControlRequestInfo();
    ASSERT_TRUE(settle(m));
    EXPECT_EQ(events, (std::vector<std::string>{
                          "will 正在连接/",
                          "3 正在连接/ 0",
                          "will 正在连接/",
                          "3 前盖打开/ 0",
                          "will 前盖打开/",
                          "3 前盖打开/请关闭前盖 0",
                          "will 前盖打开/请关闭前盖",
                          "3 前盖打开/请关闭前盖 0",
                      }));
}

TEST_F(PrinterModelUsbTest, StatusTextOverTheDataPipesIsOnlyTraced) {
    auto printer = plugPrinter();
    model = PrinterModel::make({.pollInterval = 60s, .discoverAtStart = false});
    PrinterModel& m = *model;
    m.setSelectedPrinter(Printer("Tamberlyx", "Tamberlyx(USB)", "USB", "", 0x37, 0x356C));
    printer->device()->queueRead(2, {.bytes = {'8', '0', '0', '1', 0, 'x'}});
    {
        TraceCapture trace;
        m.getUSBStatus();
        ASSERT_TRUE(
            dispatch::runMainUntil([&] { return trace.text().find("Received") != std::string::npos; }, 10s));
        EXPECT_EQ(trace.lines(),
                  (std::vector<std::string>{"vid = 13676", "usb data endpoint statuInfo = 8001",
                                            "Received: [56, 48, 48, 49, 0, 120]"}));
    }
    const auto writes = printer->device()->writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(std::string(writes[0].bytes.begin(), writes[0].bytes.end()), "Status?");
    EXPECT_EQ(writes[0].pipe, 1);
    EXPECT_EQ(printer->device()->stats().interfaceCloses, 1);

    // A printer that sends nothing back.
    TraceCapture trace;
    m.getUSBStatus();
    ASSERT_TRUE(
        dispatch::runMainUntil([&] { return trace.text().find("Received") != std::string::npos; }, 10s));
    EXPECT_EQ(trace.lines().back().rfind("Received: error and error is ", 0), 0u) << trace.text();
    EXPECT_EQ(tupleOf(m.statusInfo()), (StatusTuple{1, "正在连接", "", 0}));
}

} // namespace
} // namespace tbx::test
