// The device user client (IOUSBDeviceStruct650) of the IOKit stand-in: open,
// close and reset of the device, its identifiers, and the iterator over its
// interfaces.
#include "platform/iokit/ClientHandle.h"
#include "platform/iokit/Registry.h"

namespace tbx::iokit {

namespace {

using namespace registry;

struct DeviceClient {
    ClientHandle<IOUSBDeviceStruct650, DeviceClient> handle;
    std::atomic<ULONG> refs{1};
    std::shared_ptr<DeviceEntry> entry;
    std::mutex mutex; // held while the client opens or closes
    std::atomic<bool> open{false};
};

DeviceClient* dev(void* self) {
    return clientOf<DeviceClient, IOUSBDeviceStruct650>(self);
}

ULONG deviceAddRef(void* self) {
    return ++dev(self)->refs;
}

ULONG deviceRelease(void* self) {
    DeviceClient* client = dev(self);
    ULONG left = --client->refs;
    if (left == 0) {
        if (client->open) {
            client->entry->device->closeDevice();
        }
        delete client;
        --Registry::shared().deviceInterfaces;
    }
    return left;
}

IOReturn deviceOpenWith(void* self, bool seize) {
    DeviceClient* client = dev(self);
    std::lock_guard lock(client->mutex);
    if (client->entry->terminated) {
        return kIOReturnNoDevice;
    }
    if (client->open) {
        return kIOReturnExclusiveAccess;
    }
    IOReturn code = client->entry->device->openDevice(seize);
    if (code == kIOReturnSuccess) {
        client->open = true;
    }
    return code;
}

IOReturn deviceOpen(void* self) {
    return deviceOpenWith(self, false);
}
IOReturn deviceOpenSeize(void* self) {
    return deviceOpenWith(self, true);
}

IOReturn deviceClose(void* self) {
    DeviceClient* client = dev(self);
    std::lock_guard lock(client->mutex);
    if (!client->open) {
        return kIOReturnNotOpen;
    }
    client->open = false;
    return client->entry->terminated ? kIOReturnSuccess : client->entry->device->closeDevice();
}

template <class T, class Get>
IOReturn deviceField(void* self, T* out, Get get) {
    DeviceClient* client = dev(self);
    if (out == nullptr) {
        return kIOReturnBadArgument;
    }
    if (client->entry->terminated) {
        return kIOReturnNoDevice;
    }
    *out = static_cast<T>(get(client->entry->device->descriptor()));
    return kIOReturnSuccess;
}

IOReturn deviceGetVendor(void* self, UInt16* out) {
    return deviceField(self, out, [](const DeviceDescriptor& d) { return d.vendorId; });
}
IOReturn deviceGetProduct(void* self, UInt16* out) {
    return deviceField(self, out, [](const DeviceDescriptor& d) { return d.productId; });
}
IOReturn deviceReset(void* self) {
    DeviceClient* client = dev(self);
    std::lock_guard lock(client->mutex);
    if (client->entry->terminated) {
        return kIOReturnNoDevice;
    }
    if (!client->open) {
        return kIOReturnNotOpen;
    }
    return client->entry->device->resetDevice();
}

bool findValueMatches(UInt16 wanted, UInt8 value) {
    return wanted == kIOUSBFindInterfaceDontCare || wanted == value;
}

IOReturn deviceCreateInterfaceIterator(void* self, IOUSBFindInterfaceRequest* request, io_iterator_t* out) {
    DeviceClient* client = dev(self);
    if (request == nullptr || out == nullptr) {
        return kIOReturnBadArgument;
    }
    if (client->entry->terminated) {
        return kIOReturnNoDevice;
    }
    auto iterator = std::make_shared<Iterator>();
    for (auto& interface : client->entry->interfaces) {
        const auto& d = interface->descriptor;
        if (findValueMatches(request->bInterfaceClass, d.interfaceClass) &&
            findValueMatches(request->bInterfaceSubClass, d.interfaceSubClass) &&
            findValueMatches(request->bInterfaceProtocol, d.interfaceProtocol) &&
            findValueMatches(request->bAlternateSetting, d.alternateSetting)) {
            iterator->items.push_back(interface);
        }
    }
    auto& registry = Registry::shared();
    std::lock_guard lock(registry.mutex);
    *out = registry.exportObject(iterator);
    return kIOReturnSuccess;
}

IOUSBDeviceStruct650 gDeviceTable{
    deviceAddRef,    deviceRelease,    deviceOpen,  deviceClose,
    deviceGetVendor, deviceGetProduct, deviceReset, deviceCreateInterfaceIterator,
    deviceOpenSeize,
};

} // namespace

IOUSBDeviceStruct650** newDeviceClient(std::shared_ptr<DeviceEntry> entry) {
    auto* client = new DeviceClient;
    client->handle = {&gDeviceTable, client};
    client->entry = std::move(entry);
    ++Registry::shared().deviceInterfaces;
    return &client->handle.table;
}

} // namespace tbx::iokit
