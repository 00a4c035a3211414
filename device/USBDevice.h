// The USB device handle (IOUSBDeviceStruct650**): find an attached device by
// vendor and product identifier, list its interfaces, open, close and reset it,
// and watch the device list (device/Observing.h). `USBDevice` is a move-only
// owner of one reference; its destructor gives it back and `release()` does so
// early. An operation on an empty handle throws kIOReturnNotOpen; a handle whose
// function table is absent makes no call and answers what the operation
// started with.
#pragma once

#include "device/OwnedHandle.h"
#include "device/USBInterface.h"
#include "device/USBTypes.h"
#include "platform/dispatch/Dispatch.h"

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

namespace tbx {

// The scanner build lists every matching interface; the monitor build answers
// the first one.
template <DeviceBuild B>
using InterfaceList =
    std::conditional_t<B::listsEveryInterface, std::vector<USBInterface<B>>, USBInterface<B>>;

// Called per reported service with the notification name and the service
// (released once the handler returns; retain it to keep it).
using DeviceListHandler =
    std::function<void(const std::string& notificationName, iokit::io_object_t service)>;

struct ObserveOptions {
    std::set<std::string> notificationNames{iokit::kIOFirstMatchNotification,
                                            iokit::kIOTerminatedNotification};
    dispatch::Queue queue = dispatch::Queue::main();
};

template <DeviceBuild B>
class USBDevice : public OwnedHandle<iokit::IOUSBDeviceStruct650> {
public:
    using OwnedHandle::OwnedHandle;

    // Class "IOUSBHostDevice", "idVendor"/"idProduct" only when given.
    static iokit::Dictionary matchingDictionary(std::optional<long> vendorIdentifier,
                                                std::optional<long> productIdentifier);
    static iokit::Dictionary matchingDictionary(const std::string& deviceClassName,
                                                std::optional<long> vendorIdentifier,
                                                std::optional<long> productIdentifier);
    // The first matching device, only at this registry "locationID" when one is
    // given (so each of two identical printers is reached as itself); none:
    // `pluginHasNoUsbDeviceInterface`.
    static USBDevice create(long vendorIdentifier, long productIdentifier,
                            std::optional<std::uint32_t> locationID = std::nullopt);
    static USBDevice create(iokit::Dictionary matchingDictionary);
    // Through the plug-in; query failed: `couldNotQueryUsbDeviceInterface`.
    static USBDevice create(iokit::io_service_t service);

    long getVendorIdentifier() const;
    long getProductIdentifier() const;

    InterfaceList<B> createInterfaceInterface(long interfaceClass = 0xFFFF, long interfaceSubClass = 0xFFFF,
                                              long interfaceProtocol = 0xFFFF,
                                              long alternateSetting = 0xFFFF) const;
    InterfaceList<B> createInterfaceInterface(IOUSBFindInterfaceRequest request) const;

    void open(bool seize = false) const;
    // Never throws: a failure is written (scanner build) and dropped.
    void close() const;
    // open, the handler, close (also when the handler throws; its error is passed on).
    void openAndPerform(bool seize, const std::function<void()>& handler) const;
    void openAndPerform(const std::function<void()>& handler) const { openAndPerform(false, handler); }
    void reset() const;

    // A second owner of the same device interface.
    USBDevice retain() const;

    // Device-list observers (device/Observing.cpp). The result keeps the
    // observation alive; dropping it ends the observation.
    static std::shared_ptr<void> observeDeviceList(iokit::Dictionary matchingDictionary,
                                                   DeviceListHandler handler, ObserveOptions options = {});
    static std::shared_ptr<void> observeDeviceList(long vendorIdentifier, long productIdentifier,
                                                   DeviceListHandler handler, ObserveOptions options = {});
    static std::shared_ptr<void> observeDeviceList(DeviceListHandler handler, ObserveOptions options = {});
};

} // namespace tbx
