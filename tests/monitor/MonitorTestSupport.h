// Shared pieces of the status monitor's tests: the simulated bus with its
// leak check and no network, a model made with a short poll interval, waits
// on the main thread's event loop, and statuses as comparable tuples.
#pragma once

#include "device/Snmp.h"
#include "monitor/PrinterModel.h"
#include "sim/printer/UsbPrinter.h"
#include "sim/usb/SimulatedUsb.h"
#include "tests/support/SimulatedBus.h"

#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <tuple>

namespace tbx::test {

using namespace std::chrono_literals;
using StatusTuple = std::tuple<int, std::string, std::string, int>;

inline StatusTuple tupleOf(const StatusInfo& status) {
    return {status.level, status.message, status.discription, status.toner};
}

// Waits (pumping the main thread) until the model has no discovery and no
// query of its selected printer out.
inline bool settle(const PrinterModel& model, dispatch::Seconds timeout = 20s) {
    return dispatch::runMainUntil([&] { return !model.discovering() && !model.queryInFlight(); }, timeout);
}

// Stops a model's polling, lets its last query come back and lets it go.
inline void stopModel(std::shared_ptr<PrinterModel>& model) {
    if (model) {
        model->stopUpdateStatus();
        settle(*model);
        model.reset();
    }
}

// What the printer sidebar does when a row is picked.
inline void selectRow(PrinterModel& model, const Printer& row) {
    model.setStatusInfo(StatusInfo(1, "正在连接", "", 0));
    model.setSelectedPrinter(row);
    model.setWakeUp(true);
    model.updateStatus(row);
}

// The simulated bus with its leak check, with no network interface for the
// SNMP discovery; the model a test started is stopped and let go before the
// bus is emptied.
class SimulatedPrinterBusTest : public SimulatedBusTest<> {
protected:
    void SetUp() override {
        SimulatedBusTest::SetUp();
        // No network interface: the SNMP discovery ends at once and sends nothing.
        SnmpSeams seams;
        seams.getInterfaces = [](ifaddrs** list) {
            *list = nullptr;
            return 0;
        };
        seams.freeInterfaces = [](ifaddrs*) {};
        setSnmpSeams(seams);
    }
    void TearDown() override {
        stopModel(model);
        dispatch::runMainFor(20ms);
        SimulatedBusTest::TearDown();
        resetSnmpSeams();
    }

    std::shared_ptr<sim::UsbPrinter> plugPrinter(sim::UsbPrinter::Options options = {}) {
        auto printer = std::make_shared<sim::UsbPrinter>(options);
        bus->plug(printer->device());
        return printer;
    }

    // The model, after its first discovery and first query have come back.
    PrinterModel& start(dispatch::Seconds interval = 0.1s) {
        model = PrinterModel::make({.pollInterval = interval});
        EXPECT_TRUE(settle(*model));
        return *model;
    }

    std::shared_ptr<PrinterModel> model;
};

} // namespace tbx::test
