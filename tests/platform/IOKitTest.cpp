#include "platform/iokit/Backend.h"
#include "platform/iokit/IOKitLib.h"
#include "platform/iokit/LibusbBackend.h"
#include "platform/iokit/PlugInIdentifiers.h"
#include "sim/usb/SimulatedUsb.h"
#include "tests/support/SimulatedBus.h"

#include <atomic>
#include <gtest/gtest.h>
#include <libusb.h>
#include <thread>

using namespace tbx::iokit;
namespace simusb = tbx::sim::usb;
using namespace std::chrono_literals;

namespace {

class IOKitRegistryTest : public tbx::test::SimulatedBusTest<> {
protected:
    using SimulatedBusTest::plug;
    std::shared_ptr<simusb::Device> plug(std::uint16_t vendor, std::uint16_t product) {
        return plug(simusb::bulkPairDevice(vendor, product));
    }

    // The product identifiers of every service the dictionary matches, in order.
    static std::vector<std::int64_t> productsMatching(std::optional<Dictionary> matching) {
        io_iterator_t iterator = 0;
        EXPECT_EQ(IOServiceGetMatchingServices(kIOMasterPortDefault, std::move(matching), &iterator), 0);
        std::vector<std::int64_t> products;
        while (io_object_t service = IOIteratorNext(iterator)) {
            Dictionary properties;
            const bool read =
                IORegistryEntryCreateCFProperties(service, &properties, kCFAllocatorDefault, 0) == 0;
            products.push_back(read ? std::get<std::int64_t>(properties.at(kUSBProductID)) : -1);
            IOObjectRelease(service);
        }
        IOObjectRelease(iterator);
        return products;
    }
};

const CFUUIDRef kDeviceUserClient = constantUUID(kUSBDeviceUserClientTypeBytes);
const CFUUIDRef kInterfaceUserClient = constantUUID(kUSBInterfaceUserClientTypeBytes);
const CFUUIDRef kPlugInInterface = constantUUID(kCFPlugInInterfaceBytes);
const CFUUIDRef kDevice650 = constantUUID(kUSBDeviceInterface650Bytes);

} // namespace

TEST_F(IOKitRegistryTest, MatchingByClassAndIdentifiers) {
    plug(0x356C, 0x37);
    plug(0x356C, 0x38);
    plug(0x1234, 0x37);
    auto byBoth = IOServiceMatching("IOUSBHostDevice");
    (*byBoth)[kUSBVendorID] = std::int64_t{0x356C};
    (*byBoth)[kUSBProductID] = std::int64_t{0x37};
    EXPECT_EQ(productsMatching(byBoth), (std::vector<std::int64_t>{0x37}));

    auto byVendor = IOServiceMatching("IOUSBDevice"); // the older class name matches the same devices
    (*byVendor)[kUSBVendorID] = std::int64_t{0x356C};
    EXPECT_EQ(productsMatching(byVendor), (std::vector<std::int64_t>{0x37, 0x38}));

    EXPECT_EQ(productsMatching(IOServiceMatching("IOUSBHostDevice")).size(), 3u);
    EXPECT_EQ(productsMatching(IOServiceMatching("IOUSBHostInterface")).size(), 3u);
    EXPECT_TRUE(productsMatching(IOServiceMatching("IOMedia")).empty());
    io_iterator_t iterator = 0;
    EXPECT_EQ(IOServiceGetMatchingServices(kIOMasterPortDefault, std::nullopt, &iterator),
              kIOReturnBadArgument);
}

TEST_F(IOKitRegistryTest, PropertiesCanFailOrHoldOddValues) {
    auto config = simusb::bulkPairDevice(0x356C, 0x37);
    config.propertyOverrides["idProduct"] = std::string("0x37");
    auto odd = simusb::Device::make(config);
    bus->plug(odd);
    auto broken = plug(0x356C, 0x37);
    broken->injectFault(simusb::Step::properties, {.code = kIOReturnNotResponding, .times = -1});

    io_iterator_t iterator = 0;
    ASSERT_EQ(IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("IOUSBDevice"), &iterator),
              0);
    io_object_t first = IOIteratorNext(iterator);
    io_object_t second = IOIteratorNext(iterator);
    EXPECT_EQ(IOIteratorNext(iterator), 0u);
    Dictionary properties;
    ASSERT_EQ(IORegistryEntryCreateCFProperties(first, &properties, kCFAllocatorDefault, 0), 0);
    EXPECT_EQ(properties.at("idProduct"), Property(std::string("0x37")));
    EXPECT_EQ(properties.at("idVendor"), Property(std::int64_t{0x356C}));
    EXPECT_EQ(properties.at("USB Product Name"), Property(std::string("Tamberlyx")));
    EXPECT_EQ(IORegistryEntryCreateCFProperties(second, &properties, kCFAllocatorDefault, 0),
              kIOReturnNotResponding);
    for (io_object_t object : {first, second, iterator}) {
        EXPECT_EQ(IOObjectRelease(object), 0);
    }
    EXPECT_NE(IOObjectRelease(iterator), 0); // already gone
}

TEST_F(IOKitRegistryTest, RetainAndReleaseCountReferences) {
    plug(0x356C, 0x37);
    io_iterator_t iterator = 0;
    ASSERT_EQ(
        IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("IOUSBHostDevice"), &iterator),
        0);
    io_object_t service = IOIteratorNext(iterator);
    IOObjectRelease(iterator);
    EXPECT_EQ(IOObjectRetain(service), 0);
    EXPECT_EQ(IOObjectRelease(service), 0);
    Dictionary properties;
    EXPECT_EQ(IORegistryEntryCreateCFProperties(service, &properties, kCFAllocatorDefault, 0), 0); // one left
    EXPECT_EQ(IOObjectRelease(service), 0);
    EXPECT_EQ(IORegistryEntryCreateCFProperties(service, &properties, kCFAllocatorDefault, 0),
              kIOReturnBadArgument); // the handle is gone
}

TEST_F(IOKitRegistryTest, PlugInGivesTheDeviceInterfaceAndNothingElse) {
    plug(0x356C, 0x37);
    io_iterator_t iterator = 0;
    ASSERT_EQ(
        IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("IOUSBHostDevice"), &iterator),
        0);
    io_object_t service = IOIteratorNext(iterator);
    IOObjectRelease(iterator);

    IOCFPlugInInterface** plugIn = nullptr;
    SInt32 score = -1;
    // A device service has no interface user client.
    EXPECT_NE(
        IOCreatePlugInInterfaceForService(service, kInterfaceUserClient, kPlugInInterface, &plugIn, &score),
        0);
    ASSERT_EQ(
        IOCreatePlugInInterfaceForService(service, kDeviceUserClient, kPlugInInterface, &plugIn, &score), 0);
    IOObjectRelease(service);
    ASSERT_NE(plugIn, nullptr);
    EXPECT_EQ(liveObjectCounts().plugIns, baseline.plugIns + 1);

    LPVOID out = reinterpret_cast<LPVOID>(1);
    EXPECT_EQ((*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kPlugInInterface), &out), S_OK);
    EXPECT_EQ(out, plugIn);
    (*plugIn)->Release(plugIn);
    EXPECT_EQ((*plugIn)->QueryInterface(plugIn, CFUUIDBytes{}, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    ASSERT_EQ((*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kDevice650), &out), S_OK);
    (*plugIn)->Release(plugIn);

    auto device = static_cast<IOUSBDeviceStruct650**>(out);
    UInt16 vendor = 0;
    EXPECT_EQ((*device)->GetDeviceVendor(device, &vendor), 0);
    EXPECT_EQ(vendor, 0x356C);
    EXPECT_EQ((*device)->USBDeviceClose(device), kIOReturnNotOpen);
    EXPECT_EQ((*device)->USBDeviceOpen(device), 0);
    EXPECT_EQ((*device)->USBDeviceOpen(device), kIOReturnExclusiveAccess);
    EXPECT_EQ(liveObjectCounts().deviceInterfaces, baseline.deviceInterfaces + 1);
    (*device)->Release(device); // closes what it left open
    EXPECT_FALSE(bus->devices().front()->isDeviceOpen());
}

TEST_F(IOKitRegistryTest, NotificationsArriveOnThePortsQueueOnceArmed) {
    struct Seen {
        std::atomic<int> calls{0};
        std::atomic<int> services{0};
        std::atomic<bool> onQueue{true};
        tbx::dispatch::Queue queue = tbx::dispatch::Queue::serial("port-test");
    } seen;
    auto callback = [](void* refCon, io_iterator_t iterator) {
        auto* s = static_cast<Seen*>(refCon);
        s->onQueue = s->onQueue && s->queue.isCurrent();
        ++s->calls;
        while (io_object_t service = IOIteratorNext(iterator)) {
            ++s->services;
            IOObjectRelease(service);
        }
    };
    plug(0x356C, 0x37);
    IONotificationPortRef port = IONotificationPortCreate(kIOMasterPortDefault);
    IONotificationPortSetDispatchQueue(port, seen.queue);
    io_iterator_t matched = 0;
    io_iterator_t terminated = 0;
    auto matching = IOServiceMatching("IOUSBHostDevice");
    ASSERT_EQ(IOServiceAddMatchingNotification(port, kIOFirstMatchNotification, matching, callback, &seen,
                                               &matched),
              0);
    ASSERT_EQ(IOServiceAddMatchingNotification(port, kIOTerminatedNotification, matching, callback, &seen,
                                               &terminated),
              0);
    // Nothing is delivered before the caller drained the iterators once. A plug
    // posts its deliveries before it returns: a sync on the port's queue runs them.
    auto late = plug(0x356C, 0x38);
    seen.queue.sync([] {});
    EXPECT_EQ(seen.calls, 0);
    seen.queue.sync([&] {
        callback(&seen, matched);
        callback(&seen, terminated);
    });
    EXPECT_EQ(seen.services, 2); // the present device and the one that came before arming

    bus->unplug(late);
    plug(0x356C, 0x39);
    seen.queue.sync([] {});
    EXPECT_EQ(seen.services, 4);
    EXPECT_EQ(seen.calls, 4);
    EXPECT_TRUE(seen.onQueue);

    IONotificationPortDestroy(port);
    int before = seen.calls;
    plug(0x356C, 0x3A);
    seen.queue.sync([] {});
    EXPECT_EQ(seen.calls, before);
    IOObjectRelease(matched);
    IOObjectRelease(terminated);
    EXPECT_EQ(IOServiceAddMatchingNotification(port, kIOFirstMatchNotification, matching, callback, &seen,
                                               &matched),
              kIOReturnBadArgument);
}

TEST_F(IOKitRegistryTest, ReplacingTheBackendTerminatesItsDevices) {
    plug(0x356C, 0x37);
    EXPECT_EQ(productsMatching(IOServiceMatching("IOUSBHostDevice")).size(), 1u);
    auto other = simusb::Bus::install();
    EXPECT_TRUE(productsMatching(IOServiceMatching("IOUSBHostDevice")).empty());
    EXPECT_EQ(simusb::Bus::current(), other);
    bus = other;
}

TEST_F(IOKitRegistryTest, DescriptorsGiveThePipes) {
    InterfaceDescriptor interface;
    interface.endpoints = {{0x01, kUSBBulk, 512, 0}, {0x83, kUSBInterrupt, 8, 4}};
    auto control = pipePropertiesFromDescriptor(interface, 0);
    ASSERT_TRUE(control);
    EXPECT_EQ(control->transferType, kUSBControl);
    auto out = pipePropertiesFromDescriptor(interface, 1);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->direction, kUSBOut);
    EXPECT_EQ(out->number, 1);
    auto in = pipePropertiesFromDescriptor(interface, 2);
    ASSERT_TRUE(in);
    EXPECT_EQ(in->direction, kUSBIn);
    EXPECT_EQ(in->number, 3);
    EXPECT_EQ(in->transferType, kUSBInterrupt);
    EXPECT_EQ(in->maxPacketSize, 8);
    EXPECT_EQ(in->interval, 4);
    EXPECT_FALSE(pipePropertiesFromDescriptor(interface, 3));
}

// ---- libusb backend -----------------------------------------------------------

TEST(LibusbBackendTest, ErrorsMapOntoPlatformCodes) {
    EXPECT_EQ(ioReturnFromLibusb(0), kIOReturnSuccess);
    EXPECT_EQ(ioReturnFromLibusb(17), kIOReturnSuccess); // a byte count
    EXPECT_EQ(ioReturnFromLibusb(LIBUSB_ERROR_IO), kIOReturnIOError);
    EXPECT_EQ(ioReturnFromLibusb(LIBUSB_ERROR_INVALID_PARAM), kIOReturnBadArgument);
    EXPECT_EQ(ioReturnFromLibusb(LIBUSB_ERROR_ACCESS), kIOReturnNotPrivileged);
    EXPECT_EQ(ioReturnFromLibusb(LIBUSB_ERROR_NO_DEVICE), kIOReturnNoDevice);
    EXPECT_EQ(ioReturnFromLibusb(LIBUSB_ERROR_NOT_FOUND), kIOReturnNotFound);
    EXPECT_EQ(ioReturnFromLibusb(LIBUSB_ERROR_BUSY), kIOReturnExclusiveAccess);
    EXPECT_EQ(ioReturnFromLibusb(LIBUSB_ERROR_TIMEOUT), kIOUSBTransactionTimeout);
    EXPECT_EQ(ioReturnFromLibusb(LIBUSB_ERROR_OVERFLOW), kIOReturnOverrun);
    EXPECT_EQ(ioReturnFromLibusb(LIBUSB_ERROR_PIPE), kIOUSBPipeStalled);
    EXPECT_EQ(ioReturnFromLibusb(LIBUSB_ERROR_INTERRUPTED), kIOReturnAborted);
    EXPECT_EQ(ioReturnFromLibusb(LIBUSB_ERROR_NO_MEM), kIOReturnNoMemory);
    EXPECT_EQ(ioReturnFromLibusb(LIBUSB_ERROR_NOT_SUPPORTED), kIOReturnUnsupported);
    EXPECT_EQ(ioReturnFromLibusb(LIBUSB_ERROR_OTHER), kIOReturnError);
    EXPECT_EQ(ioReturnFromLibusb(-1000), kIOReturnError);
}

TEST(LibusbBackendTest, EndpointsBecomePipesInDescriptorOrder) {
    libusb_endpoint_descriptor endpoints[2] = {};
    endpoints[0].bEndpointAddress = 0x02;
    endpoints[0].bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
    endpoints[0].wMaxPacketSize = 512;
    endpoints[1].bEndpointAddress = 0x81;
    endpoints[1].bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
    endpoints[1].wMaxPacketSize = 64;
    libusb_interface_descriptor settings[2] = {};
    settings[0].bInterfaceNumber = 1;
    settings[0].bInterfaceClass = 7;
    settings[0].bInterfaceSubClass = 1;
    settings[0].bInterfaceProtocol = 2;
    settings[0].bNumEndpoints = 2;
    settings[0].endpoint = endpoints;
    settings[1].bInterfaceNumber = 1;
    settings[1].bAlternateSetting = 1; // not the current setting: left out
    libusb_interface interfaces[2] = {};
    interfaces[0].altsetting = settings;
    interfaces[0].num_altsetting = 2;
    interfaces[1].altsetting = nullptr; // malformed: skipped
    interfaces[1].num_altsetting = 0;
    libusb_config_descriptor configuration{};
    configuration.bNumInterfaces = 2;
    configuration.interface = interfaces;

    auto result = interfacesFromConfiguration(configuration);
    ASSERT_EQ(result.size(), 1u);
    EXPECT_EQ(result[0].number, 1);
    EXPECT_EQ(result[0].interfaceClass, 7);
    EXPECT_EQ(result[0].interfaceProtocol, 2);
    auto pipe1 = pipePropertiesFromDescriptor(result[0], 1);
    auto pipe2 = pipePropertiesFromDescriptor(result[0], 2);
    ASSERT_TRUE(pipe1 && pipe2);
    EXPECT_EQ(pipe1->direction, kUSBOut);
    EXPECT_EQ(pipe1->number, 2);
    EXPECT_EQ(pipe2->direction, kUSBIn);
    EXPECT_EQ(pipe2->maxPacketSize, 64);
}

TEST(LibusbBackendTest, OneTimeOutPerTransfer) {
    EXPECT_EQ(libusbTimeout(300, 3000), 3000u);
    EXPECT_EQ(libusbTimeout(300, 0), 300u);
    EXPECT_EQ(libusbTimeout(0, 0), 0u);
}

TEST(LibusbBackendTest, EnumeratesThisMachinesBus) {
    setBackend(makeLibusbBackend());
    EXPECT_EQ(currentBackend()->name(), "libusb");
    io_iterator_t iterator = 0;
    ASSERT_EQ(
        IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("IOUSBHostDevice"), &iterator),
        0);
    while (io_object_t service = IOIteratorNext(iterator)) {
        Dictionary properties;
        EXPECT_EQ(IORegistryEntryCreateCFProperties(service, &properties, kCFAllocatorDefault, 0), 0);
        EXPECT_TRUE(properties.count("idVendor"));
        IOObjectRelease(service);
    }
    IOObjectRelease(iterator);
    setBackend(nullptr);
}
