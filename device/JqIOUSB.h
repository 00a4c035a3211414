// The USB layer: thin, stateless operations on the platform's USB handles.
// `USBDevice<B>` wraps a device handle (IOUSBDeviceStruct650**), `USBInterface<B>`
// an interface handle (IOUSBInterfaceStruct700**), `PlugIn<B>` a plug-in handle;
// `RegistryObject` and `NotificationPort` wrap registry objects, iterators and
// notification ports. The wrappers do not own their handles: whoever got one
// from a `create` gives it back with `release()`.
//
// Failures are thrown as `USBError` (device/IOReturn.h). The scanner build
// writes "error happened at <label> and error is: ..." before it throws a
// return code; the monitor build differs where each operation says.
//
// Arguments outside the platform's limits (a pipe index outside 0-255, a
// negative or oversized count, a negative, non-finite or oversized time-out, a
// search value outside 0-65535) are refused with kIOReturnBadArgument before
// any call is made.
#pragma once

#include "device/Build.h"
#include "device/IOReturn.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/iokit/IOKitLib.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace tbx {

using Bytes = std::vector<std::uint8_t>;
// "writePipe" and "readPipe" to pipe indexes.
using PipeMap = std::map<std::string, long>;

using iokit::IOUSBDevRequestTO;
using iokit::IOUSBFindInterfaceRequest;

// The five plug-in identifiers, each made once on first use.
iokit::CFUUIDRef kIOUSBDeviceUserClientTypeID();
iokit::CFUUIDRef kIOUSBInterfaceUserClientTypeID();
iokit::CFUUIDRef kIOCFPlugInInterfaceID();
iokit::CFUUIDRef kIOUSBDeviceInterfaceID650();
iokit::CFUUIDRef kIOUSBInterfaceInterfaceID700();
// The interface versions the layer asks for.
inline iokit::CFUUIDRef USBDeviceInterfaceID() {
    return kIOUSBDeviceInterfaceID650();
}
inline iokit::CFUUIDRef USBInterfaceInterfaceID() {
    return kIOUSBInterfaceInterfaceID700();
}

// A registry object or iterator handle.
struct RegistryObject {
    iokit::io_object_t object = 0;

    // The handler gets each service and a stop flag it may set; it may throw.
    using ServiceHandler = std::function<void(iokit::io_object_t service, bool& stop)>;

    RegistryObject retain() const;
    void release() const;
    // Hands each object of the iterator to `handler` and releases it after the
    // call (also when the handler throws). After a stop or a throw the rest is
    // taken and released when `clearRemainingServices`.
    void enumerateServices(const ServiceHandler& handler, bool clearRemainingServices = true) const;
};

struct NotificationPort {
    iokit::IONotificationPortRef port = nullptr;

    static std::optional<NotificationPort>
    create(iokit::mach_port_t masterPort = iokit::kIOMasterPortDefault);
    void release() const;
    void setDispatchQueue(const dispatch::Queue& queue) const;
};

template <DeviceBuild B>
class PlugIn {
public:
    using Handle = iokit::IOCFPlugInInterface**;

    PlugIn() = default;
    explicit PlugIn(Handle handle) : handle_(handle) {}
    Handle handle() const { return handle_; }

    // (plug-in, score). Label "func create "; no plug-in: `noPluginInterface`.
    static std::pair<PlugIn, std::int32_t> create(iokit::io_service_t service, iokit::CFUUIDRef pluginType);
    // The requested interface (an interface handle the caller owns), or
    // `couldNotQueryInterface`.
    void* queryAndCreateInterface(iokit::CFUUIDRef interfaceType) const;
    PlugIn retain() const;
    void release();

private:
    Handle handle_ = nullptr;
};

template <DeviceBuild B>
class USBInterface;

// The scanner build lists every matching interface; the monitor build answers
// the first one.
template <DeviceBuild B>
using InterfaceList = std::conditional_t<isScannerBuild<B>, std::vector<USBInterface<B>>, USBInterface<B>>;

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
class USBDevice {
public:
    using Handle = iokit::IOUSBDeviceStruct650**;

    USBDevice() = default;
    explicit USBDevice(Handle handle) : handle_(handle) {}
    Handle handle() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

    // Class "IOUSBHostDevice", "idVendor"/"idProduct" only when given.
    static iokit::Dictionary matchingDictionary(std::optional<long> vendorIdentifier,
                                                std::optional<long> productIdentifier);
    static iokit::Dictionary matchingDictionary(const std::string& deviceClassName,
                                                std::optional<long> vendorIdentifier,
                                                std::optional<long> productIdentifier);
    // The first matching device; none: `pluginHasNoUsbDeviceInterface`.
    static USBDevice create(long vendorIdentifier, long productIdentifier);
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

    USBDevice retain() const;
    void release();

    // Device-list observers (device/Observing.cpp). The result keeps the
    // observation alive; dropping it ends the observation.
    static std::shared_ptr<void> observeDeviceList(iokit::Dictionary matchingDictionary,
                                                   DeviceListHandler handler, ObserveOptions options = {});
    static std::shared_ptr<void> observeDeviceList(long vendorIdentifier, long productIdentifier,
                                                   DeviceListHandler handler, ObserveOptions options = {});
    static std::shared_ptr<void> observeDeviceList(DeviceListHandler handler, ObserveOptions options = {});

private:
    Handle handle_ = nullptr;
};

struct ReadOptions {
    std::optional<long> minCount{};
    long maxCount = 64;
    long pipe = 0;
    double noDataTimeout = 0.3;
    double completionTimeout = 0.3;
};

template <DeviceBuild B>
class USBInterface {
public:
    using Handle = iokit::IOUSBInterfaceStruct700**;

    USBInterface() = default;
    explicit USBInterface(Handle handle) : handle_(handle) {}
    Handle handle() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

    // Through the plug-in; query failed: `couldNotQueryUsbInterfaceInterface`.
    static USBInterface create(iokit::io_service_t service);

    // Seize: label "func open-seize-true". Without seize the scanner build writes
    // "open interface failed" on failure and returns; the monitor build throws.
    void open(bool seize = false) const;
    // Never throws; the scanner build then writes "interface closed".
    void close() const;
    void openAndPerform(bool seize, const std::function<void()>& handler) const;
    void openAndPerform(const std::function<void()>& handler) const { openAndPerform(false, handler); }

    // One bulk read of at most maxCount bytes; fewer than minCount:
    // `couldNotGetEnoughData`. Answers the bytes that arrived.
    Bytes readBytes(const ReadOptions& options) const;
    Bytes read(const ReadOptions& options) const { return readBytes(options); }
    void write(std::span<const std::uint8_t> bytes, long pipe, double noDataTimeout = 0.3,
               double completionTimeout = 0.3) const;
    // The data-value form: the text's bytes as they stand (UTF-8).
    void write(std::string_view data, long pipe, double noDataTimeout = 0.3,
               double completionTimeout = 0.3) const;
    void write(const Bytes& bytes, long pipe, double noDataTimeout = 0.3,
               double completionTimeout = 0.3) const {
        write(std::span<const std::uint8_t>(bytes), pipe, noDataTimeout, completionTimeout);
    }
    // The request as the caller built it; its data stage goes out of or lands
    // in `data` (request.pData is not used). A device-to-host answer fills at
    // most data.size() bytes, whatever wLength asks for; a host-to-device
    // wLength beyond data.size() is refused with kIOReturnBadArgument.
    // Answers the number of bytes the data stage moved (0 when no request was made).
    std::uint32_t sendControlRequest(const IOUSBDevRequestTO& request, long pipe,
                                     std::span<std::uint8_t> data = {}) const;
    void clearPipeStall(bool bothEnds, long pipe) const;
    void clearPipeStall(long pipe) const { clearPipeStall(false, pipe); }
    void resetPipe(long pipe) const;
    std::uint8_t getInterfaceNum() const;
    PipeMap getPipes() const;
    static std::string krToString(iokit::kern_return_t kr) requires isScannerBuild<B>;

    USBInterface retain() const;
    void release();

private:
    Handle handle_ = nullptr;
};

// The one-byte pipe index, or kIOReturnBadArgument outside 0-255.
template <DeviceBuild B>
std::uint8_t pipeArgument(long pipe, std::string_view label);
// Seconds as whole milliseconds (truncated), or kIOReturnBadArgument for a
// negative, non-finite or too large value.
template <DeviceBuild B>
std::uint32_t millisecondsArgument(double seconds, std::string_view label);

// The platform's rendering of a byte list: "[1, 2, 3]".
std::string byteListText(std::span<const std::uint8_t> bytes);

} // namespace tbx
