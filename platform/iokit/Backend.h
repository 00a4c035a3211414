// The devices behind the IOKit stand-in. A backend reports attached USB devices
// to the registry (at start and whenever one arrives or goes) and carries out
// the user clients' requests. Two exist: libusb for real hardware
// (LibusbBackend.h) and the simulated bus of sim/usb. The backend is chosen at
// start-up: `setBackend` before first use, else the one named by the environment
// variable TAMBERLYX_USB_BACKEND among the registered factories, else libusb.
// Left out: configurations other than the active one, alternate settings other
// than the current one, isochronous endpoints.
#pragma once

#include "platform/iokit/IOKitLib.h"

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tbx::iokit {

struct EndpointDescriptor {
    UInt8 address = 0;    // bEndpointAddress: bit 7 set for IN
    UInt8 attributes = 2; // bmAttributes: transfer type in bits 0-1
    UInt16 maxPacketSize = 512;
    UInt8 interval = 0;

    UInt8 direction() const { return (address & 0x80) != 0 ? kUSBIn : kUSBOut; }
    UInt8 number() const { return address & 0x0F; }
    UInt8 transferType() const { return attributes & 0x03; }
};

struct InterfaceDescriptor {
    UInt8 number = 0;
    UInt8 alternateSetting = 0;
    UInt8 interfaceClass = 0xFF;
    UInt8 interfaceSubClass = 0;
    UInt8 interfaceProtocol = 0;
    std::vector<EndpointDescriptor> endpoints; // pipe n is endpoints[n - 1]
};

struct DeviceDescriptor {
    UInt16 vendorId = 0;
    UInt16 productId = 0;
    UInt16 releaseNumber = 0x0100;
    UInt8 deviceClass = 0;
    UInt8 deviceSubClass = 0;
    UInt8 deviceProtocol = 0;
    UInt16 address = 1;
    UInt32 locationId = 0;
    UInt8 numConfigurations = 1;
    std::string manufacturer; // "USB Vendor Name", left out of the properties when empty
    std::string product;      // "USB Product Name"
    std::string serialNumber; // "USB Serial Number"
};

struct PipeProperties {
    UInt8 direction = kUSBNone;
    UInt8 number = 0;
    UInt8 transferType = kUSBControl;
    UInt16 maxPacketSize = 0;
    UInt8 interval = 0;
};

// Pipe 0 is the default control pipe; pipe n (1-based) is endpoint n - 1 of the
// interface's current alternate setting. None for a pipe the interface lacks.
std::optional<PipeProperties> pipePropertiesFromDescriptor(const InterfaceDescriptor& interface, UInt8 pipe);
// The endpoint behind pipe n >= 1, none when there is no such pipe.
const EndpointDescriptor* endpointForPipe(const InterfaceDescriptor& interface, UInt8 pipe);

// The registry properties a device of this descriptor has: "idVendor",
// "idProduct", "bcdDevice", "bDeviceClass", "bDeviceSubClass", "bDeviceProtocol",
// "locationID", "USB Address" and the three name texts when known.
Dictionary devicePropertiesFromDescriptor(const DeviceDescriptor& device);
// An interface's: "bInterfaceNumber", "bAlternateSetting", "bInterfaceClass",
// "bInterfaceSubClass", "bInterfaceProtocol", "bNumEndpoints", "idVendor", "idProduct".
Dictionary interfacePropertiesFromDescriptor(const DeviceDescriptor& device,
                                             const InterfaceDescriptor& interface);

struct ControlSetup {
    UInt8 bmRequestType = 0;
    UInt8 bRequest = 0;
    UInt16 wValue = 0;
    UInt16 wIndex = 0;
    UInt16 wLength = 0;
    bool deviceToHost() const { return (bmRequestType & 0x80) != 0; }
};

enum class ServiceKind { device, interface };

// One attached device. Every call may come from any thread; calls for the same
// device may overlap when several clients use it.
class BackendDevice {
public:
    virtual ~BackendDevice() = default;

    virtual DeviceDescriptor descriptor() const = 0;
    // The interfaces of the active configuration, current alternate settings.
    virtual std::vector<InterfaceDescriptor> interfaces() const = 0;

    // The property table of the device (interface == nullptr) or of one
    // interface, as matching sees it.
    virtual IOReturn properties(const InterfaceDescriptor* interface, Dictionary& out) const;
    // The same table as a caller reads it (IORegistryEntryCreateCFProperties);
    // by default `properties`.
    virtual IOReturn copyProperties(const InterfaceDescriptor* interface, Dictionary& out) const;
    // The plug-in step for a user client of this device or one of its
    // interfaces: a code other than success fails it; success with `provide`
    // cleared succeeds without giving a plug-in.
    virtual IOReturn createPlugIn(ServiceKind kind, UInt8 interfaceNumber, bool& provide);
    // The query of the plug-in for the device or interface interface.
    virtual bool queryInterface(ServiceKind kind, UInt8 interfaceNumber);

    virtual IOReturn openDevice(bool seize) = 0;
    virtual IOReturn closeDevice() = 0;
    virtual IOReturn resetDevice() = 0;
    virtual IOReturn openInterface(UInt8 number, bool seize) = 0;
    virtual IOReturn closeInterface(UInt8 number) = 0;

    virtual IOReturn pipeProperties(const InterfaceDescriptor& interface, UInt8 pipe, PipeProperties& out);
    virtual IOReturn pipeStatus(const InterfaceDescriptor& interface, UInt8 pipe) = 0;
    // Bulk or interrupt IN on pipe >= 1: fills at most buffer.size() bytes and
    // sets `length` to what arrived.
    virtual IOReturn readPipe(const InterfaceDescriptor& interface, UInt8 pipe, std::span<UInt8> buffer,
                              UInt32& length, UInt32 noDataTimeout, UInt32 completionTimeout) = 0;
    virtual IOReturn writePipe(const InterfaceDescriptor& interface, UInt8 pipe, std::span<const UInt8> data,
                               UInt32 noDataTimeout, UInt32 completionTimeout) = 0;
    // A control request on pipe 0 (interface == nullptr when the device's own
    // client sends it). `data` holds exactly wLength bytes: the data stage goes
    // out of it or lands in it; `done` is set to the bytes moved.
    virtual IOReturn controlRequest(const InterfaceDescriptor* interface, UInt8 pipe,
                                    const ControlSetup& setup, std::span<UInt8> data, UInt32& done,
                                    UInt32 noDataTimeout, UInt32 completionTimeout) = 0;
    virtual IOReturn clearPipeStall(const InterfaceDescriptor& interface, UInt8 pipe, bool bothEnds) = 0;
    virtual IOReturn resetPipe(const InterfaceDescriptor& interface, UInt8 pipe) = 0;
};

// Where a backend reports its devices: the registry.
class DeviceSink {
public:
    virtual ~DeviceSink() = default;
    // A device arrived (also every device present when the backend starts).
    // The same device reported twice is registered once.
    virtual void attach(std::shared_ptr<BackendDevice> device) = 0;
    // A device went; its registry entry is terminated.
    virtual void detach(const std::shared_ptr<BackendDevice>& device) = 0;
};

class Backend {
public:
    virtual ~Backend() = default;
    virtual std::string name() const = 0;
    // Reports the present devices to `sink` and keeps reporting arrivals and
    // removals until `stop`.
    virtual void start(DeviceSink& sink) = 0;
    // After it returns, the sink is called no more.
    virtual void stop() = 0;
    // Brings the registry up to date synchronously (before each registry
    // search); backends that report every change at once need nothing here.
    virtual void refresh() {}
};

// Replaces the backend: the devices of the old one are terminated, those of the
// new one registered. nullptr leaves the registry empty.
void setBackend(std::shared_ptr<Backend> backend);
// The backend in use, chosen as described at the top when none was set.
std::shared_ptr<Backend> currentBackend();

using BackendFactory = std::function<std::shared_ptr<Backend>()>;
// Makes a backend selectable by name through TAMBERLYX_USB_BACKEND.
void registerBackendFactory(const std::string& name, BackendFactory factory);

// Objects alive in the stand-in, so tests can prove that everything handed out
// was given back.
struct ObjectCounts {
    std::size_t registryObjects = 0; // object handles held by callers (services, iterators)
    std::size_t plugIns = 0;
    std::size_t deviceInterfaces = 0;
    std::size_t interfaceInterfaces = 0;
    std::size_t notificationPorts = 0;
    bool operator==(const ObjectCounts&) const = default;
};
ObjectCounts liveObjectCounts();
std::string describe(const ObjectCounts& counts);

} // namespace tbx::iokit
