// Stands in for IOKit's user-space USB access (IOKitLib and IOUSBLib): the
// registry of USB device and interface services with 32-bit object handles,
// iterators and retain/release, matching dictionaries (class name plus any
// property such as "idVendor"/"idProduct"), the plug-in step that turns a service
// into a user client, the device (version 650) and interface (version 700)
// function tables, and notification ports that deliver first-match and terminate
// notifications on a dispatch queue. The devices behind it come from a backend
// (platform/iokit/Backend.h): libusb for real hardware, or a simulated bus.
// Only what the device layer calls is offered; left out are Mach ports,
// isochronous and asynchronous transfers, configuration changes, power
// management, every registry plane but the USB one, iterator reset and
// validity, object comparison and class names, single-property reads,
// IODestroyPlugInInterface, "IOServiceMatched" notifications, the device
// request of the device client, and the table entries for classes,
// protocols, release numbers, addresses, locations, configurations and
// alternate settings.
#pragma once

#include "platform/dispatch/Dispatch.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>

namespace tbx::iokit {

using kern_return_t = std::int32_t;
using IOReturn = std::int32_t;
using IOOptionBits = std::uint32_t;
using mach_port_t = std::uint32_t;
using io_object_t = std::uint32_t;
using io_service_t = io_object_t;
using io_iterator_t = io_object_t;
using io_registry_entry_t = io_object_t;
using UInt8 = std::uint8_t;
using UInt16 = std::uint16_t;
using UInt32 = std::uint32_t;
using UInt64 = std::uint64_t;
using SInt32 = std::int32_t;
using HRESULT = std::int32_t;
using ULONG = std::uint32_t;
using LPVOID = void*;

inline constexpr mach_port_t kIOMasterPortDefault = 0;
inline constexpr io_object_t IO_OBJECT_NULL = 0;

// Return codes (the platform's values).
inline constexpr IOReturn kIOReturnSuccess = 0;
inline constexpr IOReturn kIOReturnError = static_cast<IOReturn>(0xE00002BC);
inline constexpr IOReturn kIOReturnNoMemory = static_cast<IOReturn>(0xE00002BD);
inline constexpr IOReturn kIOReturnNoResources = static_cast<IOReturn>(0xE00002BE);
inline constexpr IOReturn kIOReturnNoDevice = static_cast<IOReturn>(0xE00002C0);
inline constexpr IOReturn kIOReturnNotPrivileged = static_cast<IOReturn>(0xE00002C1);
inline constexpr IOReturn kIOReturnBadArgument = static_cast<IOReturn>(0xE00002C2);
inline constexpr IOReturn kIOReturnExclusiveAccess = static_cast<IOReturn>(0xE00002C5);
inline constexpr IOReturn kIOReturnUnsupported = static_cast<IOReturn>(0xE00002C7);
inline constexpr IOReturn kIOReturnInternalError = static_cast<IOReturn>(0xE00002C9);
inline constexpr IOReturn kIOReturnIOError = static_cast<IOReturn>(0xE00002CA);
inline constexpr IOReturn kIOReturnNotOpen = static_cast<IOReturn>(0xE00002CD);
inline constexpr IOReturn kIOReturnBusy = static_cast<IOReturn>(0xE00002D5);
inline constexpr IOReturn kIOReturnTimeout = static_cast<IOReturn>(0xE00002D6);
inline constexpr IOReturn kIOReturnNotAttached = static_cast<IOReturn>(0xE00002D9);
inline constexpr IOReturn kIOReturnNotPermitted = static_cast<IOReturn>(0xE00002E2);
inline constexpr IOReturn kIOReturnUnderrun = static_cast<IOReturn>(0xE00002E7);
inline constexpr IOReturn kIOReturnOverrun = static_cast<IOReturn>(0xE00002E8);
inline constexpr IOReturn kIOReturnAborted = static_cast<IOReturn>(0xE00002EB);
inline constexpr IOReturn kIOReturnNotResponding = static_cast<IOReturn>(0xE00002ED);
inline constexpr IOReturn kIOReturnNotFound = static_cast<IOReturn>(0xE00002F0);
inline constexpr IOReturn kIOUSBUnknownPipeErr = static_cast<IOReturn>(0xE0004061);
inline constexpr IOReturn kIOUSBTransactionTimeout = static_cast<IOReturn>(0xE0004051);
inline constexpr IOReturn kIOUSBPipeStalled = static_cast<IOReturn>(0xE000404F);
inline constexpr IOReturn kIOUSBInterfaceNotFound = static_cast<IOReturn>(0xE000404E);

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80000004);

// `mach_error_string`: the text of a kernel or IOKit return code, nullptr when
// the code is not one the platform knows by name.
const char* mach_error_string(kern_return_t code);

// ---- CoreFoundation pieces ------------------------------------------------

struct CFUUIDBytes {
    std::array<UInt8, 16> bytes{};
    bool operator==(const CFUUIDBytes&) const = default;
};
using REFIID = CFUUIDBytes;
struct CFUUID;
using CFUUIDRef = const CFUUID*;
using CFAllocatorRef = const void*;
inline constexpr CFAllocatorRef kCFAllocatorDefault = nullptr;

// The same 16 bytes always give the same object, which lives for the process.
CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef allocator, UInt8 b0, UInt8 b1, UInt8 b2, UInt8 b3,
                                         UInt8 b4, UInt8 b5, UInt8 b6, UInt8 b7, UInt8 b8, UInt8 b9,
                                         UInt8 b10, UInt8 b11, UInt8 b12, UInt8 b13, UInt8 b14, UInt8 b15);
CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid);

// A registry property or matching value: a number or a text.
using Property = std::variant<std::int64_t, std::string>;
// Matching dictionaries and property tables. Values are owned by value, so the
// platform's CFRelease of a dictionary has no counterpart here.
using Dictionary = std::map<std::string, Property>;

inline constexpr const char* kIOProviderClassKey = "IOProviderClass";
inline constexpr const char* kUSBVendorID = "idVendor";
inline constexpr const char* kUSBProductID = "idProduct";

// ---- Registry -------------------------------------------------------------

// A matching dictionary for services of `className` ("IOUSBHostDevice",
// "IOUSBDevice", "IOUSBHostInterface", "IOUSBInterface"); none for a null name.
std::optional<Dictionary> IOServiceMatching(const char* className);
// An iterator over the registered services that match, in registration order.
// The dictionary is consumed. No dictionary: kIOReturnBadArgument.
kern_return_t IOServiceGetMatchingServices(mach_port_t mainPort, std::optional<Dictionary> matching,
                                           io_iterator_t* existing);
// The next object of an iterator (the caller owns one reference), 0 when exhausted.
io_object_t IOIteratorNext(io_iterator_t iterator);
kern_return_t IOObjectRetain(io_object_t object);
kern_return_t IOObjectRelease(io_object_t object);
// The property table of a registry entry (see Backend.h for the keys).
kern_return_t IORegistryEntryCreateCFProperties(io_registry_entry_t entry, Dictionary* properties,
                                                CFAllocatorRef allocator, IOOptionBits options);

// ---- Plug-ins and function tables -----------------------------------------

struct IOCFPlugInInterfaceStruct {
    void* _reserved;
    HRESULT (*QueryInterface)(void* thisPointer, REFIID iid, LPVOID* ppv);
    ULONG (*AddRef)(void* thisPointer);
    ULONG (*Release)(void* thisPointer);
    UInt16 version;
    UInt16 revision;
};
using IOCFPlugInInterface = IOCFPlugInInterfaceStruct;

// The user client of `service` for `pluginType` (device or interface user
// client type). The plug-in holds a reference to the service.
kern_return_t IOCreatePlugInInterfaceForService(io_service_t service, CFUUIDRef pluginType,
                                                CFUUIDRef interfaceType, IOCFPlugInInterface*** theInterface,
                                                SInt32* theScore);

struct IOUSBFindInterfaceRequest {
    UInt16 bInterfaceClass;
    UInt16 bInterfaceSubClass;
    UInt16 bInterfaceProtocol;
    UInt16 bAlternateSetting;
};
inline constexpr UInt16 kIOUSBFindInterfaceDontCare = 0xFFFF;

struct IOUSBDevRequestTO {
    UInt8 bmRequestType;
    UInt8 bRequest;
    UInt16 wValue;
    UInt16 wIndex;
    UInt16 wLength;
    void* pData;
    UInt32 wLenDone;
    UInt32 noDataTimeout;
    UInt32 completionTimeout;
};

// Endpoint directions and transfer types as GetPipeProperties reports them.
enum : UInt8 { kUSBOut = 0, kUSBIn = 1, kUSBNone = 2, kUSBAnyDirn = 3 };
enum : UInt8 { kUSBControl = 0, kUSBIsoc = 1, kUSBBulk = 2, kUSBInterrupt = 3, kUSBAnyType = 0xFF };

// Each entry takes the handle itself as its first argument (`self`).
struct IOUSBDeviceStruct650 {
    ULONG (*AddRef)(void* self);
    ULONG (*Release)(void* self);
    IOReturn (*USBDeviceOpen)(void* self);
    IOReturn (*USBDeviceClose)(void* self);
    IOReturn (*GetDeviceVendor)(void* self, UInt16* devVendor);
    IOReturn (*GetDeviceProduct)(void* self, UInt16* devProduct);
    IOReturn (*ResetDevice)(void* self);
    IOReturn (*CreateInterfaceIterator)(void* self, IOUSBFindInterfaceRequest* req, io_iterator_t* iter);
    IOReturn (*USBDeviceOpenSeize)(void* self);
};

struct IOUSBInterfaceStruct700 {
    ULONG (*AddRef)(void* self);
    ULONG (*Release)(void* self);
    IOReturn (*USBInterfaceOpen)(void* self);
    IOReturn (*USBInterfaceClose)(void* self);
    IOReturn (*GetInterfaceNumber)(void* self, UInt8* intfNumber);
    IOReturn (*GetNumEndpoints)(void* self, UInt8* intfNumEndpoints);
    IOReturn (*GetPipeProperties)(void* self, UInt8 pipeRef, UInt8* direction, UInt8* number,
                                  UInt8* transferType, UInt16* maxPacketSize, UInt8* interval);
    IOReturn (*GetPipeStatus)(void* self, UInt8 pipeRef);
    IOReturn (*ResetPipe)(void* self, UInt8 pipeRef);
    IOReturn (*ClearPipeStall)(void* self, UInt8 pipeRef);
    IOReturn (*ClearPipeStallBothEnds)(void* self, UInt8 pipeRef);
    IOReturn (*ReadPipeTO)(void* self, UInt8 pipeRef, void* buf, UInt32* size, UInt32 noDataTimeout,
                           UInt32 completionTimeout);
    IOReturn (*WritePipeTO)(void* self, UInt8 pipeRef, void* buf, UInt32 size, UInt32 noDataTimeout,
                            UInt32 completionTimeout);
    IOReturn (*ControlRequestTO)(void* self, UInt8 pipeRef, IOUSBDevRequestTO* req);
    IOReturn (*USBInterfaceOpenSeize)(void* self);
};

// ---- Notification ports ---------------------------------------------------

struct IONotificationPort;
using IONotificationPortRef = IONotificationPort*;
using IOServiceMatchingCallback = void (*)(void* refcon, io_iterator_t iterator);

inline constexpr const char* kIOFirstMatchNotification = "IOServiceFirstMatch";
inline constexpr const char* kIOTerminatedNotification = "IOServiceTerminate";

IONotificationPortRef IONotificationPortCreate(mach_port_t mainPort);
// Removes every registration of the port: once it returns, no callback of the
// port runs any more (a callback already running is waited for, unless the
// caller is that callback itself).
void IONotificationPortDestroy(IONotificationPortRef port);
void IONotificationPortSetDispatchQueue(IONotificationPortRef port, const dispatch::Queue& queue);
// Registers for `notificationType` on services that match. The returned
// iterator holds the services matched so far (for first-match: those already
// registered); the callback runs on the port's queue whenever the iterator has
// been drained and new services are added to it.
kern_return_t IOServiceAddMatchingNotification(IONotificationPortRef port, const char* notificationType,
                                               std::optional<Dictionary> matching,
                                               IOServiceMatchingCallback callback, void* refCon,
                                               io_iterator_t* notification);

} // namespace tbx::iokit
