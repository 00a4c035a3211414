// The interface user client (IOUSBInterfaceStruct700) of the IOKit stand-in:
// open and close, pipe properties and status, bulk reads and writes, control
// requests and pipe maintenance. Every pipe operation checks that the device is
// still there, the interface open and the pipe its own.
#include "platform/iokit/ClientHandle.h"
#include "platform/iokit/Registry.h"

#include <algorithm>

namespace tbx::iokit {

namespace {

using namespace registry;

struct InterfaceClient {
    ClientHandle<IOUSBInterfaceStruct700, InterfaceClient> handle;
    std::atomic<ULONG> refs{1};
    std::shared_ptr<InterfaceEntry> entry;
    std::mutex mutex; // held while the client opens or closes
    // Read by every pipe operation, which may run on other threads meanwhile.
    std::atomic<bool> open{false};
};

InterfaceClient* intf(void* self) {
    return clientOf<InterfaceClient, IOUSBInterfaceStruct700>(self);
}

ULONG interfaceAddRef(void* self) {
    return ++intf(self)->refs;
}

ULONG interfaceRelease(void* self) {
    InterfaceClient* client = intf(self);
    ULONG left = --client->refs;
    if (left == 0) {
        if (client->open) {
            client->entry->device->closeInterface(client->entry->descriptor.number);
        }
        delete client;
        --Registry::shared().interfaceInterfaces;
    }
    return left;
}

IOReturn interfaceOpenWith(void* self, bool seize) {
    InterfaceClient* client = intf(self);
    std::lock_guard lock(client->mutex);
    if (client->entry->terminated) {
        return kIOReturnNoDevice;
    }
    if (client->open) {
        return kIOReturnExclusiveAccess;
    }
    IOReturn code = client->entry->device->openInterface(client->entry->descriptor.number, seize);
    if (code == kIOReturnSuccess) {
        client->open = true;
    }
    return code;
}

IOReturn interfaceOpen(void* self) {
    return interfaceOpenWith(self, false);
}
IOReturn interfaceOpenSeize(void* self) {
    return interfaceOpenWith(self, true);
}

IOReturn interfaceClose(void* self) {
    InterfaceClient* client = intf(self);
    std::lock_guard lock(client->mutex);
    if (!client->open) {
        return kIOReturnNotOpen;
    }
    client->open = false;
    return client->entry->terminated
               ? kIOReturnSuccess
               : client->entry->device->closeInterface(client->entry->descriptor.number);
}

template <class T, class Get>
IOReturn interfaceField(void* self, T* out, Get get) {
    InterfaceClient* client = intf(self);
    if (out == nullptr) {
        return kIOReturnBadArgument;
    }
    if (client->entry->terminated) {
        return kIOReturnNoDevice;
    }
    *out = static_cast<T>(get(client->entry->descriptor, *client->entry->device));
    return kIOReturnSuccess;
}

IOReturn interfaceGetNumber(void* self, UInt8* out) {
    return interfaceField(self, out, [](const InterfaceDescriptor& d, BackendDevice&) { return d.number; });
}
IOReturn interfaceGetNumEndpoints(void* self, UInt8* out) {
    return interfaceField(self, out,
                          [](const InterfaceDescriptor& d, BackendDevice&) { return d.endpoints.size(); });
}
// The checks every pipe operation shares: a live device, an open interface and
// a pipe the interface has (pipe 0 allowed only where `allowControl`).
IOReturn pipeCheck(InterfaceClient* client, UInt8 pipe, bool allowControl) {
    if (client->entry->terminated) {
        return kIOReturnNoDevice;
    }
    if (!client->open) {
        return kIOReturnNotOpen;
    }
    if (pipe == 0) {
        return allowControl ? kIOReturnSuccess : kIOReturnBadArgument;
    }
    if (endpointForPipe(client->entry->descriptor, pipe) == nullptr) {
        return kIOUSBUnknownPipeErr;
    }
    return kIOReturnSuccess;
}

// The checks of a bulk or interrupt transfer on `pipe`: the pipe checks, then an
// endpoint of the transfer's direction that is no control endpoint.
IOReturn dataPipeCheck(InterfaceClient* client, UInt8 pipe, UInt8 direction) {
    if (IOReturn code = pipeCheck(client, pipe, false); code != kIOReturnSuccess) {
        return code;
    }
    const EndpointDescriptor* endpoint = endpointForPipe(client->entry->descriptor, pipe);
    if (endpoint->direction() != direction || endpoint->transferType() == kUSBControl) {
        return kIOReturnBadArgument;
    }
    return kIOReturnSuccess;
}

IOReturn interfaceGetPipeProperties(void* self, UInt8 pipe, UInt8* direction, UInt8* number,
                                    UInt8* transferType, UInt16* maxPacketSize, UInt8* interval) {
    InterfaceClient* client = intf(self);
    if (IOReturn code = pipeCheck(client, pipe, true); code != kIOReturnSuccess) {
        return code;
    }
    PipeProperties properties;
    IOReturn code = client->entry->device->pipeProperties(client->entry->descriptor, pipe, properties);
    if (code != kIOReturnSuccess) {
        return code;
    }
    if (direction != nullptr) {
        *direction = properties.direction;
    }
    if (number != nullptr) {
        *number = properties.number;
    }
    if (transferType != nullptr) {
        *transferType = properties.transferType;
    }
    if (maxPacketSize != nullptr) {
        *maxPacketSize = properties.maxPacketSize;
    }
    if (interval != nullptr) {
        *interval = properties.interval;
    }
    return kIOReturnSuccess;
}

IOReturn interfaceGetPipeStatus(void* self, UInt8 pipe) {
    InterfaceClient* client = intf(self);
    if (IOReturn code = pipeCheck(client, pipe, true); code != kIOReturnSuccess || pipe == 0) {
        return code;
    }
    return client->entry->device->pipeStatus(client->entry->descriptor, pipe);
}

IOReturn interfaceResetPipe(void* self, UInt8 pipe) {
    InterfaceClient* client = intf(self);
    if (IOReturn code = pipeCheck(client, pipe, true); code != kIOReturnSuccess || pipe == 0) {
        return code;
    }
    return client->entry->device->resetPipe(client->entry->descriptor, pipe);
}

IOReturn clearStall(void* self, UInt8 pipe, bool bothEnds) {
    InterfaceClient* client = intf(self);
    if (IOReturn code = pipeCheck(client, pipe, true); code != kIOReturnSuccess || pipe == 0) {
        return code;
    }
    return client->entry->device->clearPipeStall(client->entry->descriptor, pipe, bothEnds);
}

IOReturn interfaceClearPipeStall(void* self, UInt8 pipe) {
    return clearStall(self, pipe, false);
}
IOReturn interfaceClearPipeStallBothEnds(void* self, UInt8 pipe) {
    return clearStall(self, pipe, true);
}

IOReturn interfaceReadPipe(void* self, UInt8 pipe, void* buffer, UInt32* size, UInt32 noDataTimeout,
                           UInt32 completionTimeout) {
    InterfaceClient* client = intf(self);
    if (size == nullptr || (buffer == nullptr && *size > 0)) {
        return kIOReturnBadArgument;
    }
    if (IOReturn code = dataPipeCheck(client, pipe, kUSBIn); code != kIOReturnSuccess) {
        return code;
    }
    UInt32 capacity = *size;
    UInt32 length = capacity;
    IOReturn code = client->entry->device->readPipe(client->entry->descriptor, pipe,
                                                    std::span<UInt8>(static_cast<UInt8*>(buffer), capacity),
                                                    length, noDataTimeout, completionTimeout);
    *size = length;
    return code;
}

IOReturn interfaceWritePipe(void* self, UInt8 pipe, void* buffer, UInt32 size, UInt32 noDataTimeout,
                            UInt32 completionTimeout) {
    InterfaceClient* client = intf(self);
    if (buffer == nullptr && size > 0) {
        return kIOReturnBadArgument;
    }
    if (IOReturn code = dataPipeCheck(client, pipe, kUSBOut); code != kIOReturnSuccess) {
        return code;
    }
    return client->entry->device->writePipe(client->entry->descriptor, pipe,
                                            std::span<const UInt8>(static_cast<const UInt8*>(buffer), size),
                                            noDataTimeout, completionTimeout);
}

IOReturn interfaceControlRequest(void* self, UInt8 pipe, IOUSBDevRequestTO* request) {
    InterfaceClient* client = intf(self);
    if (request == nullptr || (request->wLength > 0 && request->pData == nullptr)) {
        return kIOReturnBadArgument;
    }
    if (client->entry->terminated) {
        return kIOReturnNoDevice;
    }
    if (pipe != 0) {
        // Control endpoints of an interface other than the default pipe exist
        // only while it is open.
        if (IOReturn code = pipeCheck(client, pipe, false); code != kIOReturnSuccess) {
            return code;
        }
        if (endpointForPipe(client->entry->descriptor, pipe)->transferType() != kUSBControl) {
            return kIOReturnBadArgument;
        }
    }
    ControlSetup setup{request->bmRequestType, request->bRequest, request->wValue, request->wIndex,
                       request->wLength};
    UInt32 done = 0;
    IOReturn code = client->entry->device->controlRequest(
        &client->entry->descriptor, pipe, setup,
        std::span<UInt8>(static_cast<UInt8*>(request->pData), request->wLength), done, request->noDataTimeout,
        request->completionTimeout);
    request->wLenDone = std::min<UInt32>(done, request->wLength);
    return code;
}

IOUSBInterfaceStruct700 gInterfaceTable{
    interfaceAddRef,
    interfaceRelease,
    interfaceOpen,
    interfaceClose,
    interfaceGetNumber,
    interfaceGetNumEndpoints,
    interfaceGetPipeProperties,
    interfaceGetPipeStatus,
    interfaceResetPipe,
    interfaceClearPipeStall,
    interfaceClearPipeStallBothEnds,
    interfaceReadPipe,
    interfaceWritePipe,
    interfaceControlRequest,
    interfaceOpenSeize,
};

} // namespace

IOUSBInterfaceStruct700** newInterfaceClient(std::shared_ptr<InterfaceEntry> entry) {
    auto* client = new InterfaceClient;
    client->handle = {&gInterfaceTable, client};
    client->entry = std::move(entry);
    ++Registry::shared().interfaceInterfaces;
    return &client->handle.table;
}

} // namespace tbx::iokit
