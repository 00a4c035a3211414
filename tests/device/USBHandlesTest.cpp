// Finding devices and interfaces, and who owns what the USB layer hands out:
// every handle gives back what it holds exactly once, whether it is dropped,
// moved, released early or retained by a second owner, and an empty handle
// refuses every operation with "Device not open".
#include "device/JqIOUSB.h"
#include "platform/foundation/Print.h"
#include "tests/device/USBTestSupport.h"

#include <array>
#include <functional>
#include <gtest/gtest.h>

using namespace tbx;
using namespace tbx::test;
using USBHandlesTest = USBLayerTest;

// ---- Finding devices --------------------------------------------------------

TEST_F(USBHandlesTest, FirstOfTwoMatchingDevicesIsUsedAndTheSecondLeftAlone) {
    auto firstDevice = plugModel();
    auto secondDevice = plugModel();
    // Creating anything for the second device would fail.
    secondDevice->injectFault(simusb::Step::plugIn, {.code = ioreturn::error, .times = -1});

    auto device = USBDevice<ScannerBuild>::create(kVendor, kProduct);
    device.openAndPerform([] {});
    EXPECT_EQ(firstDevice->stats().deviceOpens, 1);
    EXPECT_EQ(iokit::liveObjectCounts().deviceInterfaces, baseline.deviceInterfaces + 1);
    EXPECT_EQ(iokit::liveObjectCounts().registryObjects, baseline.registryObjects);
    device.release();
}

TEST_F(USBHandlesTest, NoMatchingDeviceThrowsWithoutOutput) {
    plug(simusb::bulkPairDevice(kVendor, 0x38));
    plug(simusb::bulkPairDevice(0x1234, kProduct));
    TraceCapture capture;
    EXPECT_EQ(thrownBy([] { USBDevice<ScannerBuild>::create(kVendor, kProduct); }),
              JqIOError::pluginHasNoUsbDeviceInterface);
    EXPECT_EQ(thrownBy([] { USBDevice<MonitorBuild>::create(kVendor, kProduct); }),
              JqIOError::pluginHasNoUsbDeviceInterface);
    EXPECT_EQ(capture.text(), "");
}

TEST_F(USBHandlesTest, MatchingDictionaryCarriesOnlyTheGivenIdentifiers) {
    auto both = USBDevice<ScannerBuild>::matchingDictionary(kVendor, kProduct);
    EXPECT_EQ(both, (iokit::Dictionary{{"IOProviderClass", std::string("IOUSBHostDevice")},
                                       {"idVendor", std::int64_t{kVendor}},
                                       {"idProduct", std::int64_t{kProduct}}}));
    auto none = USBDevice<ScannerBuild>::matchingDictionary(std::nullopt, std::nullopt);
    EXPECT_EQ(none, (iokit::Dictionary{{"IOProviderClass", std::string("IOUSBHostDevice")}}));
    auto vendorOnly = USBDevice<MonitorBuild>::matchingDictionary("IOUSBDevice", kVendor, std::nullopt);
    EXPECT_EQ(vendorOnly.size(), 2u);
    EXPECT_EQ(vendorOnly.at("IOProviderClass"), iokit::Property(std::string("IOUSBDevice")));
}

TEST_F(USBHandlesTest, EveryLayerErrorCanOccur) {
    auto device = plugModel();
    using iokit::ServiceKind;
    using simusb::Step;

    device->injectFault(Step::plugIn, {.code = ioreturn::success, .kind = ServiceKind::device});
    EXPECT_EQ(thrownBy([] { USBDevice<ScannerBuild>::create(kVendor, kProduct); }),
              JqIOError::noPluginInterface);

    device->injectFault(Step::query, {.kind = ServiceKind::device});
    EXPECT_EQ(thrownBy([] { USBDevice<ScannerBuild>::create(kVendor, kProduct); }),
              JqIOError::couldNotQueryUsbDeviceInterface);

    TraceCapture capture;
    device->injectFault(Step::plugIn, {.code = ioreturn::noResources, .kind = ServiceKind::device});
    EXPECT_EQ(thrownBy([] { USBDevice<ScannerBuild>::create(kVendor, kProduct); }), ioreturn::noResources);
    EXPECT_EQ(capture.text(),
              "error happened at func create  and error is: Optional(\"Resource shortage\")\n");

    auto handle = USBDevice<ScannerBuild>::create(kVendor, kProduct);
    device->injectFault(Step::query, {.kind = ServiceKind::interface});
    EXPECT_EQ(thrownBy([&] { handle.createInterfaceInterface(); }),
              JqIOError::couldNotQueryUsbInterfaceInterface);
    EXPECT_EQ(thrownBy([&] { handle.createInterfaceInterface(7); }),
              JqIOError::pluginHasNoUsbInterfaceInterface);
    handle.release();
}

TEST_F(USBHandlesTest, InterfaceHandlesMadeBeforeAFailureAreReleased) {
    auto config = simusb::bulkPairDevice(kVendor, kProduct);
    auto second = config.interfaces[0];
    second.number = 1;
    auto third = config.interfaces[0];
    third.number = 2;
    config.interfaces.push_back(second);
    config.interfaces.push_back(third);
    auto device = plug(config);
    device->injectFault(
        simusb::Step::plugIn,
        {.code = ioreturn::notResponding, .kind = iokit::ServiceKind::interface, .interfaceNumber = 2});
    auto handle = USBDevice<ScannerBuild>::create(kVendor, kProduct);
    EXPECT_EQ(thrownBy([&] { handle.createInterfaceInterface(); }), ioreturn::notResponding);
    EXPECT_EQ(iokit::liveObjectCounts().interfaceInterfaces, baseline.interfaceInterfaces);
    EXPECT_EQ(iokit::liveObjectCounts().registryObjects, baseline.registryObjects);

    auto all = handle.createInterfaceInterface();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].getInterfaceNum(), 0);
    EXPECT_EQ(all[1].getInterfaceNum(), 1);
    EXPECT_EQ(all[2].getInterfaceNum(), 2);
    for (auto& interface : all) {
        interface.release();
    }
    handle.release();

    auto monitorHandle = USBDevice<MonitorBuild>::create(kVendor, kProduct);
    auto first = monitorHandle.createInterfaceInterface();
    EXPECT_EQ(first.getInterfaceNum(), 0);
    EXPECT_EQ(iokit::liveObjectCounts().interfaceInterfaces, baseline.interfaceInterfaces + 1);
    first.release();
    monitorHandle.release();
}

TEST_F(USBHandlesTest, IdentifiersComeFromTheDevice) {
    plugModel();
    auto device = USBDevice<MonitorBuild>::create(kVendor, kProduct);
    EXPECT_EQ(device.getVendorIdentifier(), kVendor);
    EXPECT_EQ(device.getProductIdentifier(), kProduct);
    device.release();
    iokit::IOUSBDeviceStruct650* noTable = nullptr;
    EXPECT_EQ(USBDevice<MonitorBuild>(&noTable).getVendorIdentifier(), 0);
}

// ---- Ownership --------------------------------------------------------------

TEST_F(USBHandlesTest, OwnersGiveBackWhatTheyHoldExactlyOnce) {
    plugModel();
    auto live = [] { return iokit::liveObjectCounts(); };
    {
        auto device = USBDevice<ScannerBuild>::create(kVendor, kProduct);
        auto interfaces = device.createInterfaceInterface();
        EXPECT_EQ(live().deviceInterfaces, baseline.deviceInterfaces + 1);
        EXPECT_EQ(live().interfaceInterfaces, baseline.interfaceInterfaces + 1);
        EXPECT_EQ(live().plugIns, baseline.plugIns); // asked and given back at once

        // Moving hands the one reference over; the source is empty.
        USBDevice<ScannerBuild> moved = std::move(device);
        EXPECT_FALSE(device);
        EXPECT_TRUE(moved);
        EXPECT_EQ(live().deviceInterfaces, baseline.deviceInterfaces + 1);

        // A second owner keeps the object alive after the first lets go.
        auto second = moved.retain();
        moved.release();
        moved.release();
        EXPECT_EQ(second.getVendorIdentifier(), kVendor);
        EXPECT_EQ(live().deviceInterfaces, baseline.deviceInterfaces + 1);

        // Assigning over an owner gives back what it held.
        second = USBDevice<ScannerBuild>();
        EXPECT_EQ(live().deviceInterfaces, baseline.deviceInterfaces);
    } // the interface goes with its list
    EXPECT_EQ(live(), baseline);

    {
        auto iterator =
            RegistryObject::matchingServices(USBDevice<MonitorBuild>::matchingDictionary(kVendor, kProduct));
        auto again = iterator.retain();
        EXPECT_EQ(live().registryObjects, baseline.registryObjects + 1); // one object, two references
        iterator.release();
        int services = 0;
        again.enumerateServices([&](iokit::io_object_t, bool&) { ++services; });
        EXPECT_EQ(services, 1);
        EXPECT_TRUE(RegistryObject::properties(0) == std::nullopt);
        auto port = NotificationPort::create();
        ASSERT_TRUE(port);
        EXPECT_EQ(live().notificationPorts, baseline.notificationPorts + 1);
        NotificationPort taken = std::move(*port);
        port.reset();
        EXPECT_EQ(live().notificationPorts, baseline.notificationPorts + 1);
    }
    EXPECT_EQ(live(), baseline);
}

TEST_F(USBHandlesTest, ServicesAreReleasedWhenTheHandlerThrowsAndTheRestIsDrained) {
    plugModel();
    plugModel();
    plugModel();
    const auto iterator =
        RegistryObject::matchingServices(USBDevice<ScannerBuild>::matchingDictionary(kVendor, kProduct));
    int calls = 0;
    EXPECT_THROW(iterator.enumerateServices([&](iokit::io_object_t, bool&) {
        ++calls;
        throw std::runtime_error("handler");
    }),
                 std::runtime_error);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(iokit::liveObjectCounts().registryObjects, baseline.registryObjects + 1); // the iterator only
    EXPECT_EQ(iokit::IOIteratorNext(iterator.object()), 0u);                            // drained

    EXPECT_EQ(thrownBy([] { RegistryObject::matchingServices(std::nullopt); }), ioreturn::badArgument);
}

TEST_F(USBHandlesTest, EmptyHandlesRefuseEveryOperation) {
    struct Case {
        std::string name;
        std::function<void()> call;
        std::string line; // the scanner build's trace line, empty when none
    };
    const std::string notOpen = " and error is: Optional(\"Device not open\")";
    const USBDevice<ScannerBuild> device;
    const USBInterface<ScannerBuild> interface;
    const PlugIn<ScannerBuild> plugIn;
    const NotificationPort port;
    const Case cases[] = {
        {"vendor", [&] { device.getVendorIdentifier(); }, "error happened at func getVendorId " + notOpen},
        {"product", [&] { device.getProductIdentifier(); }, "error happened at func getProductId " + notOpen},
        {"interfaces", [&] { device.createInterfaceInterface(); },
         "error happened at func createInterfaceInterface " + notOpen},
        {"device open", [&] { device.open(); }, "error happened at func open-seize-false" + notOpen},
        {"device perform", [&] { device.openAndPerform([] { ADD_FAILURE(); }); },
         "error happened at func open-seize-false" + notOpen},
        {"reset", [&] { device.reset(); }, "error happened at func reset " + notOpen},
        {"device retain", [&] { device.retain(); }, ""},
        {"seizing open", [&] { interface.open(true); }, "error happened at func open-seize-true" + notOpen},
        {"read", [&] { interface.readBytes({.pipe = 2}); }, "error happened at func readBytes" + notOpen},
        {"write", [&] { interface.write(Bytes{1}, 1); }, "error happened at func write " + notOpen},
        {"control", [&] { interface.sendControlRequest(IOUSBDevRequestTO{}, 0); }, ""},
        {"stall", [&] { interface.clearPipeStall(true, 2); },
         "error happened at func clearPipeStall-true " + notOpen},
        {"reset pipe", [&] { interface.resetPipe(2); }, "error happened at func resetPipe " + notOpen},
        {"number", [&] { interface.getInterfaceNum(); }, ""},
        {"pipes", [&] { interface.getPipes(); }, ""},
        {"raw read",
         [&] {
             std::uint32_t length = 0;
             Bytes buffer(4);
             interface.readPipe(2, buffer, length, 10, 10);
         },
         ""},
        {"interface retain", [&] { interface.retain(); }, ""},
        {"plug-in retain", [&] { plugIn.retain(); }, ""},
        {"port queue", [&] { port.setDispatchQueue(dispatch::Queue::main()); }, ""},
    };
    for (const auto& c : cases) {
        TraceCapture capture;
        EXPECT_EQ(thrownBy(c.call), ioreturn::notOpen) << c.name;
        EXPECT_EQ(capture.text(), c.line.empty() ? "" : c.line + "\n") << c.name;
    }
    EXPECT_EQ(thrownBy([&] { plugIn.queryAndCreateInterface(USBDeviceInterfaceID()); }),
              JqIOError::couldNotQueryInterface);

    // The monitor build refuses the same without a line, its open without seizing too.
    const USBInterface<MonitorBuild> monitorInterface;
    TraceCapture capture;
    EXPECT_EQ(thrownBy([&] { monitorInterface.open(false); }), ioreturn::notOpen);
    EXPECT_EQ(thrownBy([&] { monitorInterface.readBytes({.pipe = 2}); }), ioreturn::notOpen);
    EXPECT_EQ(thrownBy([&] { USBDevice<MonitorBuild>().createInterfaceInterface(); }), ioreturn::notOpen);
    EXPECT_EQ(capture.text(), "");

    // Closing and releasing an empty handle are harmless; the scanner build's
    // open without seizing keeps its own rule and only writes the failure.
    capture.clear();
    device.close();
    interface.open(false);
    interface.close();
    USBInterface<ScannerBuild>().release();
    EXPECT_EQ(capture.text(), "open interface failed\ninterface closed\n");
}

TEST_F(USBHandlesTest, SessionsCloseWhatTheyOpenedOnEveryWayOut) {
    auto sim = plugModel();
    const auto device = USBDevice<ScannerBuild>::create(kVendor, kProduct);
    const auto interface = firstInterface(device);
    TraceCapture capture;
    {
        InterfaceSession<ScannerBuild> session(interface, false);
        EXPECT_TRUE(session.isOpen());
        EXPECT_TRUE(sim->isInterfaceOpen(0));
        InterfaceSession<ScannerBuild> handedOver = std::move(session);
        EXPECT_FALSE(session.isOpen());
        EXPECT_TRUE(handedOver.isOpen());
    } // closed once, by the session it was handed to
    EXPECT_FALSE(sim->isInterfaceOpen(0));
    EXPECT_EQ(sim->stats().interfaceCloses, 1);
    EXPECT_EQ(capture.text(), "interface closed\n");

    sim->injectFault(simusb::Step::interfaceOpen, {.code = ioreturn::busy});
    capture.clear();
    {
        InterfaceSession<ScannerBuild> failed(interface, false);
        EXPECT_FALSE(failed.isOpen());
    }
    EXPECT_EQ(capture.text(), "open interface failed\n"
                              "error happened at func close and error is: Optional(\"Device not open\")\n"
                              "interface closed\n");

    // A seizing open that fails holds nothing, so nothing is closed.
    sim->injectFault(simusb::Step::interfaceOpen, {.code = ioreturn::busy});
    capture.clear();
    EXPECT_EQ(thrownBy([&] { InterfaceSession<ScannerBuild> seized(interface, true); }), ioreturn::busy);
    EXPECT_EQ(capture.text(),
              "error happened at func open-seize-true and error is: Optional(\"Device busy\")\n");
    EXPECT_EQ(sim->stats().interfaceCloses, 1);
}

TEST(PlugInIdentifiers, AreThePlatformsPublishedBytesEachMadeOnce) {
    using Bytes16 = std::array<std::uint8_t, 16>;
    const std::pair<iokit::CFUUIDRef (*)(), Bytes16> cases[] = {
        {kIOUSBDeviceUserClientTypeID,
         {0x9D, 0xC7, 0xB7, 0x80, 0x9E, 0xC0, 0x11, 0xD4, 0xA5, 0x4F, 0x00, 0x0A, 0x27, 0x05, 0x28, 0x61}},
        {kIOUSBInterfaceUserClientTypeID,
         {0x2D, 0x97, 0x86, 0xC6, 0x9E, 0xF3, 0x11, 0xD4, 0xAD, 0x51, 0x00, 0x0A, 0x27, 0x05, 0x28, 0x61}},
        {kIOCFPlugInInterfaceID,
         {0xC2, 0x44, 0xE8, 0x58, 0x10, 0x9C, 0x11, 0xD4, 0x91, 0xD4, 0x00, 0x50, 0xE4, 0xC6, 0x42, 0x6F}},
        {kIOUSBDeviceInterfaceID650,
         {0x4A, 0xAC, 0x1B, 0x2E, 0x24, 0xC2, 0x47, 0x6A, 0x96, 0x4D, 0x91, 0x33, 0x35, 0x34, 0xF2, 0xCC}},
        {kIOUSBInterfaceInterfaceID700,
         {0x17, 0xF9, 0xE5, 0x9C, 0xB0, 0xA1, 0x40, 0x1D, 0x9A, 0xC0, 0x8D, 0xE2, 0x7A, 0xC6, 0x04, 0x7E}},
    };
    for (const auto& [identifier, bytes] : cases) {
        EXPECT_EQ(iokit::CFUUIDGetUUIDBytes(identifier()).bytes, bytes);
        EXPECT_EQ(identifier(), identifier()); // the same object every time
    }
    EXPECT_EQ(USBDeviceInterfaceID(), kIOUSBDeviceInterfaceID650());
    EXPECT_EQ(USBInterfaceInterfaceID(), kIOUSBInterfaceInterfaceID700());
}
