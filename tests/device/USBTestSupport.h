// What the USB layer's tests share: the model's identifiers, a fixture on the
// simulated bus, the first interface of a device in either build, an opened
// interface for a test body, and the error a call throws.
#pragma once

#include "device/JqIOUSB.h"
#include "sim/usb/SimulatedUsb.h"
#include "tests/support/SimulatedBus.h"

#include <gtest/gtest.h>
#include <vector>

namespace tbx::test {

inline constexpr long kVendor = 0x356C;
inline constexpr long kProduct = 0x37;

template <DeviceBuild B>
USBInterface<B> firstInterface(const USBDevice<B>& device) {
    if constexpr (B::listsEveryInterface) {
        return std::move(device.createInterfaceInterface().front());
    } else {
        return device.createInterfaceInterface();
    }
}

class USBLayerTest : public SimulatedBusTest<> {
protected:
    std::shared_ptr<simusb::Device> plugModel() { return plug(simusb::bulkPairDevice(kVendor, kProduct)); }
};

// Opens the model's interface and gives it to `body`; closes it after, also
// when `body` throws.
template <DeviceBuild B, class Body>
void withOpenInterface(Body body) {
    const auto device = USBDevice<B>::create(kVendor, kProduct);
    const auto interface = firstInterface(device);
    const InterfaceSession<B> session(interface, false);
    body(interface);
}

inline simusb::DeviceConfig withEndpoints(std::vector<iokit::EndpointDescriptor> endpoints) {
    auto config = simusb::bulkPairDevice(kVendor, kProduct);
    config.interfaces[0].endpoints = std::move(endpoints);
    return config;
}

template <class F>
USBError thrownBy(F&& f) {
    try {
        f();
    } catch (const USBError& error) {
        return error;
    }
    ADD_FAILURE() << "nothing was thrown";
    return USBError(ioreturn::success);
}

} // namespace tbx::test
