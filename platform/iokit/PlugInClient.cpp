// The plug-in step of the IOKit stand-in: the constant CFUUIDs, and the
// plug-in (IOCFPlugInInterface) that turns a device or interface service into
// its user client.
#include "platform/iokit/ClientHandle.h"
#include "platform/iokit/PlugInIdentifiers.h"
#include "platform/iokit/Registry.h"

#include <array>
#include <map>
#include <memory>
#include <mutex>

namespace tbx::iokit {

struct CFUUID {
    CFUUIDBytes bytes;
};

namespace {

std::mutex& uuidMutex() {
    static std::mutex m;
    return m;
}

// Constant UUIDs live as long as the process, as the platform's do: a worker
// may still be opening a device while the process ends.
std::map<std::array<UInt8, 16>, std::unique_ptr<CFUUID>>& uuidTable() {
    static auto* table = new std::map<std::array<UInt8, 16>, std::unique_ptr<CFUUID>>;
    return *table;
}

} // namespace

CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef, UInt8 b0, UInt8 b1, UInt8 b2, UInt8 b3, UInt8 b4,
                                         UInt8 b5, UInt8 b6, UInt8 b7, UInt8 b8, UInt8 b9, UInt8 b10,
                                         UInt8 b11, UInt8 b12, UInt8 b13, UInt8 b14, UInt8 b15) {
    std::array<UInt8, 16> key{b0, b1, b2, b3, b4, b5, b6, b7, b8, b9, b10, b11, b12, b13, b14, b15};
    std::lock_guard lock(uuidMutex());
    auto& slot = uuidTable()[key];
    if (!slot) {
        slot = std::make_unique<CFUUID>(CFUUID{CFUUIDBytes{key}});
    }
    return slot.get();
}

CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid) {
    return uuid != nullptr ? uuid->bytes : CFUUIDBytes{};
}

namespace {

using namespace registry;

bool isUuid(CFUUIDRef uuid, const CFUUIDBytes& bytes) {
    return uuid != nullptr && CFUUIDGetUUIDBytes(uuid) == bytes;
}

struct PlugIn {
    ClientHandle<IOCFPlugInInterface, PlugIn> handle;
    std::atomic<ULONG> refs{1};
    std::shared_ptr<Service> service;
    ServiceKind kind;
};

PlugIn* plug(void* self) {
    return clientOf<PlugIn, IOCFPlugInInterface>(self);
}

ULONG plugInAddRef(void* self) {
    return ++plug(self)->refs;
}

ULONG plugInRelease(void* self) {
    PlugIn* plugIn = plug(self);
    ULONG left = --plugIn->refs;
    if (left == 0) {
        delete plugIn;
        --Registry::shared().plugIns;
    }
    return left;
}

HRESULT plugInQueryInterface(void* self, REFIID iid, LPVOID* ppv) {
    if (ppv == nullptr) {
        return E_NOINTERFACE;
    }
    *ppv = nullptr;
    PlugIn* plugIn = plug(self);
    if (iid == kCFPlugInInterfaceBytes) {
        plugInAddRef(self);
        *ppv = self;
        return S_OK;
    }
    UInt8 interfaceNumber = 0;
    if (auto interface = std::dynamic_pointer_cast<InterfaceEntry>(plugIn->service)) {
        interfaceNumber = interface->descriptor.number;
    }
    if (plugIn->kind == ServiceKind::device && iid == kUSBDeviceInterface650Bytes) {
        if (plugIn->service->terminated ||
            !plugIn->service->device->queryInterface(ServiceKind::device, interfaceNumber)) {
            return E_NOINTERFACE;
        }
        *ppv = newDeviceClient(std::static_pointer_cast<DeviceEntry>(plugIn->service));
        return S_OK;
    }
    if (plugIn->kind == ServiceKind::interface && iid == kUSBInterfaceInterface700Bytes) {
        if (plugIn->service->terminated ||
            !plugIn->service->device->queryInterface(ServiceKind::interface, interfaceNumber)) {
            return E_NOINTERFACE;
        }
        *ppv = newInterfaceClient(std::static_pointer_cast<InterfaceEntry>(plugIn->service));
        return S_OK;
    }
    return E_NOINTERFACE;
}

IOCFPlugInInterface gPlugInTable{nullptr, plugInQueryInterface, plugInAddRef, plugInRelease, 1, 0};

} // namespace

kern_return_t IOCreatePlugInInterfaceForService(io_service_t handle, CFUUIDRef pluginType,
                                                CFUUIDRef interfaceType, IOCFPlugInInterface*** theInterface,
                                                SInt32* theScore) {
    if (theInterface == nullptr || theScore == nullptr) {
        return kIOReturnBadArgument;
    }
    *theInterface = nullptr;
    auto& registry = Registry::shared();
    auto service = registry.lookupAs<Service>(handle);
    if (!service) {
        return kIOReturnBadArgument;
    }
    if (!isUuid(interfaceType, kCFPlugInInterfaceBytes)) {
        return kIOReturnUnsupported;
    }
    ServiceKind kind;
    UInt8 interfaceNumber = 0;
    if (isUuid(pluginType, kUSBDeviceUserClientTypeBytes) &&
        std::dynamic_pointer_cast<DeviceEntry>(service)) {
        kind = ServiceKind::device;
    } else if (isUuid(pluginType, kUSBInterfaceUserClientTypeBytes) &&
               std::dynamic_pointer_cast<InterfaceEntry>(service)) {
        kind = ServiceKind::interface;
        interfaceNumber = std::static_pointer_cast<InterfaceEntry>(service)->descriptor.number;
    } else {
        return kIOReturnUnsupported;
    }
    if (service->terminated) {
        return kIOReturnNoDevice;
    }
    bool provide = true;
    IOReturn code = service->device->createPlugIn(kind, interfaceNumber, provide);
    if (code != kIOReturnSuccess || !provide) {
        return code;
    }
    auto* plugIn = new PlugIn;
    plugIn->handle = {&gPlugInTable, plugIn};
    plugIn->service = service;
    plugIn->kind = kind;
    ++registry.plugIns;
    *theInterface = reinterpret_cast<IOCFPlugInInterface**>(&plugIn->handle);
    *theScore = 0;
    return kIOReturnSuccess;
}

} // namespace tbx::iokit
