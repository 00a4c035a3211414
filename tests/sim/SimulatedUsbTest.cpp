#include "sim/usb/SimulatedUsb.h"

#include "device/JqIOUSB.h"
#include "tests/support/SimulatedBus.h"

#include <chrono>
#include <gtest/gtest.h>

using namespace tbx;
namespace simusb = tbx::sim::usb;
using namespace std::chrono_literals;

namespace {

using Device = USBDevice<MonitorBuild>;
using Interface = USBInterface<MonitorBuild>;

class SimulatedUsbTest : public test::SimulatedBusTest<> {
protected:
    void SetUp() override {
        SimulatedBusTest::SetUp();
        sim = plug(simusb::bulkPairDevice(0x356C, 0x37));
        device = Device::create(0x356C, 0x37);
        interface = device.createInterfaceInterface();
        interface.open();
    }
    void TearDown() override {
        interface.close();
        interface.release();
        device.release();
        SimulatedBusTest::TearDown();
    }

    iokit::IOReturn rawRead(std::uint8_t pipe, std::uint32_t& size, std::uint8_t* buffer) {
        return (*interface.handle())->ReadPipeTO(interface.handle(), pipe, buffer, &size, 100, 200);
    }

    std::shared_ptr<simusb::Device> sim;
    Device device;
    Interface interface;
};

} // namespace

TEST_F(SimulatedUsbTest, ReadsComeFromTheQueueThenTheHandlerThenTheIdleResult) {
    sim->queueRead(2, {.bytes = {1}});
    int handled = 0;
    sim->onRead(2, [&](const simusb::ReadRequest& request) {
        ++handled;
        EXPECT_EQ(request.size, 64u);
        return simusb::ReadResult{.bytes = {2, 2}};
    });
    EXPECT_EQ(interface.readBytes({.pipe = 2}), (Bytes{1}));
    EXPECT_EQ(interface.readBytes({.pipe = 2}), (Bytes{2, 2}));
    EXPECT_EQ(handled, 1);
    sim->onRead(2, nullptr);
    sim->setIdleRead({.code = ioreturn::notResponding});
    EXPECT_THROW(interface.readBytes({.pipe = 2}), USBError);
    EXPECT_EQ(sim->reads().size(), 3u);
}

TEST_F(SimulatedUsbTest, ReadResultsCanMisreportTheirLength) {
    std::uint8_t buffer[4] = {9, 9, 9, 9};
    std::uint32_t size = sizeof buffer;
    sim->queueRead(2, {.code = ioreturn::usbPipeStalled, .keepLength = true});
    EXPECT_EQ(rawRead(2, size, buffer), ioreturn::usbPipeStalled);
    EXPECT_EQ(size, 4u); // left as the caller set it

    sim->queueRead(2, {.bytes = {1, 2, 3, 4, 5, 6}, .reportedLength = 2});
    EXPECT_EQ(rawRead(2, size, buffer), 0);
    EXPECT_EQ(size, 2u);
    EXPECT_EQ(buffer[3], 4); // six bytes offered, four fit, two reported
}

TEST_F(SimulatedUsbTest, FaultsCountDownAndCanAimAtOnePipe) {
    sim->injectFault(simusb::Step::read, {.code = ioreturn::overrun, .times = 2, .pipe = 2});
    sim->queueRead(2, {.bytes = {7}});
    std::uint8_t buffer[8];
    std::uint32_t size = sizeof buffer;
    EXPECT_EQ(rawRead(2, size, buffer), ioreturn::overrun);
    EXPECT_EQ(rawRead(2, size, buffer), ioreturn::overrun);
    size = sizeof buffer;
    EXPECT_EQ(rawRead(2, size, buffer), 0); // the queued result was kept for after the fault
    EXPECT_EQ(size, 1u);
    // Pipe 1 is OUT: the stand-in refuses to read it before the device is asked.
    EXPECT_EQ(rawRead(1, size, buffer), ioreturn::badArgument);

    sim->injectFault(simusb::Step::write, {.code = ioreturn::aborted, .times = -1});
    EXPECT_THROW(interface.write(Bytes{1}, 1), USBError);
    EXPECT_THROW(interface.write(Bytes{2}, 1), USBError);
    sim->clearFaults();
    interface.write(Bytes{3}, 1);
    EXPECT_EQ(sim->writes().size(), 3u); // faulted writes are still logged
}

TEST_F(SimulatedUsbTest, WritesAreLoggedAndAnswered) {
    std::vector<Bytes> seen;
    sim->onWrite(1, [&](const simusb::WriteRecord& record) {
        seen.push_back(record.bytes);
        return record.bytes.size() > 2 ? ioreturn::noSpace : ioreturn::success;
    });
    sim->queueWriteResult(1, ioreturn::timeout);
    EXPECT_THROW(interface.write(Bytes{1}, 1), USBError); // the queued result comes first
    interface.write(Bytes{1, 2}, 1);
    EXPECT_THROW(interface.write(Bytes{1, 2, 3}, 1), USBError);
    EXPECT_EQ(seen.size(), 2u);
    auto writes = sim->writes();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[2].bytes, (Bytes{1, 2, 3}));
    EXPECT_EQ(writes[2].pipe, 1);
    sim->clearLogs();
    EXPECT_TRUE(sim->writes().empty());
}

TEST_F(SimulatedUsbTest, UnknownControlRequestsStall) {
    Bytes buffer(4);
    EXPECT_THROW(interface.sendControlRequest({0xC0, 9, 0, 0, 4, nullptr, 0, 10, 10}, 0, buffer), USBError);
    sim->queueControl({.data = {1}});
    sim->onControl([](const simusb::ControlRecord& record) {
        return simusb::ControlAnswer{.data = {static_cast<std::uint8_t>(record.setup.bRequest)}};
    });
    interface.sendControlRequest({0xC0, 9, 0, 0, 4, nullptr, 0, 10, 10}, 0, buffer);
    EXPECT_EQ(buffer[0], 1);
    interface.sendControlRequest({0xC0, 9, 0, 0, 4, nullptr, 0, 10, 10}, 0, buffer);
    EXPECT_EQ(buffer[0], 9);
    EXPECT_EQ(sim->controlRequests().size(), 3u);
    EXPECT_EQ(sim->controlRequests()[0].interfaceNumber, std::optional<std::uint8_t>(0));
}

TEST_F(SimulatedUsbTest, OneClientAtATimeUnlessSeized) {
    auto other = device.createInterfaceInterface();
    EXPECT_THROW(other.open(false), USBError); // monitor build: the open's code is thrown
    other.open(true);
    EXPECT_TRUE(sim->isInterfaceOpen(0));
    other.close();
    other.release();
    EXPECT_EQ(sim->stats().interfaceOpens, 2);
}

TEST_F(SimulatedUsbTest, TimeOutsCanTakeRealTime) {
    sim->setTimeoutsTakeTime(true);
    std::uint8_t buffer[8];
    std::uint32_t size = sizeof buffer;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(rawRead(2, size, buffer), ioreturn::usbTransactionTimeout);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms); // the completion time-out
    EXPECT_EQ(size, 0u);
}

TEST_F(SimulatedUsbTest, UnpluggedDeviceAnswersNoDevice) {
    bus->unplug(sim);
    EXPECT_FALSE(sim->isPlugged());
    EXPECT_FALSE(sim->isInterfaceOpen(0));
    std::uint8_t buffer[8];
    std::uint32_t size = sizeof buffer;
    EXPECT_EQ(rawRead(2, size, buffer), ioreturn::noDevice);
    EXPECT_THROW(Device::create(0x356C, 0x37), USBError);
    bus->plug(sim); // plugged again it is a new registry entry; the old clients stay dead
    EXPECT_EQ(rawRead(2, size, buffer), ioreturn::noDevice);
    auto fresh = Device::create(0x356C, 0x37);
    fresh.release();
}
