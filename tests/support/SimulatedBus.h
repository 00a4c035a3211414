// The simulated USB bus for tests: a fresh, empty bus installed as the USB
// backend before each test, and at tear-down, once every device is unplugged,
// the proof that every registry object, plug-in, device and interface client
// and notification port handed out was given back.
//
//   class MyTest : public tbx::test::SimulatedBusTest<> { ... };
//   TEST_F(MyTest, Something) { auto device = plug(simusb::bulkPairDevice(0x356C, 0x37)); ... }
//
// A fixture that needs more set-up calls SimulatedBusTest::SetUp() first; one
// that must let queued work run before the counts are compared overrides
// `afterUnplug()`.
#pragma once

#include "platform/iokit/Backend.h"
#include "sim/usb/SimulatedUsb.h"

#include <gtest/gtest.h>
#include <memory>

namespace tbx::test {

namespace simusb = tbx::sim::usb;

template <class Base = testing::Test>
class SimulatedBusTest : public Base {
protected:
    void SetUp() override {
        bus = simusb::Bus::install();
        baseline = iokit::liveObjectCounts();
    }
    void TearDown() override {
        bus->unplugAll();
        afterUnplug();
        EXPECT_EQ(iokit::liveObjectCounts(), baseline) << iokit::describe(iokit::liveObjectCounts());
    }
    // Runs after the devices are unplugged, before the counts are compared.
    virtual void afterUnplug() {}

    std::shared_ptr<simusb::Device> plug(simusb::DeviceConfig config) {
        auto device = simusb::Device::make(std::move(config));
        bus->plug(device);
        return device;
    }

    std::shared_ptr<simusb::Bus> bus;
    iokit::ObjectCounts baseline{};
};

} // namespace tbx::test
