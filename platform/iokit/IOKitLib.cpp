#include "platform/iokit/IOKitLib.h"

#include "platform/iokit/Backend.h"
#include "platform/iokit/LibusbBackend.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

namespace tbx::iokit {

// ---- CFUUID ---------------------------------------------------------------

struct CFUUID {
    CFUUIDBytes bytes;
};

namespace {

std::mutex& uuidMutex() {
    static std::mutex m;
    return m;
}

std::map<std::array<UInt8, 16>, std::unique_ptr<CFUUID>>& uuidTable() {
    static std::map<std::array<UInt8, 16>, std::unique_ptr<CFUUID>> table;
    return table;
}

constexpr std::array<UInt8, 16> kDeviceUserClientType{0x9D, 0xC7, 0xB7, 0x80, 0x9E, 0xC0, 0x11, 0xD4,
                                                      0xA5, 0x4F, 0x00, 0x0A, 0x27, 0x05, 0x28, 0x61};
constexpr std::array<UInt8, 16> kInterfaceUserClientType{0x2D, 0x97, 0x86, 0xC6, 0x9E, 0xF3, 0x11, 0xD4,
                                                         0xAD, 0x51, 0x00, 0x0A, 0x27, 0x05, 0x28, 0x61};
constexpr std::array<UInt8, 16> kCFPlugInInterface{0xC2, 0x44, 0xE8, 0x58, 0x10, 0x9C, 0x11, 0xD4,
                                                   0x91, 0xD4, 0x00, 0x50, 0xE4, 0xC6, 0x42, 0x6F};
constexpr std::array<UInt8, 16> kDeviceInterface650{0x4A, 0xAC, 0x1B, 0x2E, 0x24, 0xC2, 0x47, 0x6A,
                                                    0x96, 0x4D, 0x91, 0x33, 0x35, 0x34, 0xF2, 0xCC};
constexpr std::array<UInt8, 16> kInterfaceInterface700{0x17, 0xF9, 0xE5, 0x9C, 0xB0, 0xA1, 0x40, 0x1D,
                                                       0x9A, 0xC0, 0x8D, 0xE2, 0x7A, 0xC6, 0x04, 0x7E};

bool isUuid(CFUUIDRef uuid, const std::array<UInt8, 16>& bytes) {
    return uuid != nullptr && uuid->bytes.bytes == bytes;
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

// ---- Descriptors ----------------------------------------------------------

std::optional<PipeProperties> pipePropertiesFromDescriptor(const InterfaceDescriptor& interface, UInt8 pipe) {
    if (pipe == 0) {
        return PipeProperties{kUSBAnyDirn, 0, kUSBControl, 64, 0};
    }
    const EndpointDescriptor* endpoint = endpointForPipe(interface, pipe);
    if (endpoint == nullptr) {
        return std::nullopt;
    }
    return PipeProperties{endpoint->direction(), endpoint->number(), endpoint->transferType(),
                          endpoint->maxPacketSize, endpoint->interval};
}

const EndpointDescriptor* endpointForPipe(const InterfaceDescriptor& interface, UInt8 pipe) {
    if (pipe == 0 || pipe > interface.endpoints.size()) {
        return nullptr;
    }
    return &interface.endpoints[pipe - 1];
}

Dictionary devicePropertiesFromDescriptor(const DeviceDescriptor& device) {
    Dictionary properties{
        {kUSBVendorID, std::int64_t{device.vendorId}},
        {kUSBProductID, std::int64_t{device.productId}},
        {"bcdDevice", std::int64_t{device.releaseNumber}},
        {"bDeviceClass", std::int64_t{device.deviceClass}},
        {"bDeviceSubClass", std::int64_t{device.deviceSubClass}},
        {"bDeviceProtocol", std::int64_t{device.deviceProtocol}},
        {"locationID", std::int64_t{device.locationId}},
        {"USB Address", std::int64_t{device.address}},
    };
    if (!device.manufacturer.empty()) {
        properties["USB Vendor Name"] = device.manufacturer;
    }
    if (!device.product.empty()) {
        properties["USB Product Name"] = device.product;
    }
    if (!device.serialNumber.empty()) {
        properties["USB Serial Number"] = device.serialNumber;
    }
    return properties;
}

Dictionary interfacePropertiesFromDescriptor(const DeviceDescriptor& device,
                                             const InterfaceDescriptor& interface) {
    return Dictionary{
        {"bInterfaceNumber", std::int64_t{interface.number}},
        {"bAlternateSetting", std::int64_t{interface.alternateSetting}},
        {"bInterfaceClass", std::int64_t{interface.interfaceClass}},
        {"bInterfaceSubClass", std::int64_t{interface.interfaceSubClass}},
        {"bInterfaceProtocol", std::int64_t{interface.interfaceProtocol}},
        {"bNumEndpoints", static_cast<std::int64_t>(interface.endpoints.size())},
        {kUSBVendorID, std::int64_t{device.vendorId}},
        {kUSBProductID, std::int64_t{device.productId}},
    };
}

IOReturn BackendDevice::properties(const InterfaceDescriptor* interface, Dictionary& out) const {
    out = interface == nullptr ? devicePropertiesFromDescriptor(descriptor())
                               : interfacePropertiesFromDescriptor(descriptor(), *interface);
    return kIOReturnSuccess;
}

IOReturn BackendDevice::copyProperties(const InterfaceDescriptor* interface, Dictionary& out) const {
    return properties(interface, out);
}

IOReturn BackendDevice::createPlugIn(ServiceKind, UInt8, bool& provide) {
    provide = true;
    return kIOReturnSuccess;
}

bool BackendDevice::queryInterface(ServiceKind, UInt8) {
    return true;
}

IOReturn BackendDevice::pipeProperties(const InterfaceDescriptor& interface, UInt8 pipe,
                                       PipeProperties& out) {
    auto properties = pipePropertiesFromDescriptor(interface, pipe);
    if (!properties) {
        return kIOUSBUnknownPipeErr;
    }
    out = *properties;
    return kIOReturnSuccess;
}

// ---- Registry objects -----------------------------------------------------

namespace {

std::atomic<std::size_t> gPlugIns{0};
std::atomic<std::size_t> gDeviceInterfaces{0};
std::atomic<std::size_t> gInterfaceInterfaces{0};

struct Object {
    virtual ~Object() = default;
    io_object_t handle = 0; // while callers hold references
    std::size_t userRefs = 0;
};

struct Service : Object {
    std::shared_ptr<BackendDevice> device;
    std::atomic<bool> terminated{false};
    virtual bool conformsTo(const std::string& className) const = 0;
    virtual std::string className() const = 0;
    virtual IOReturn properties(Dictionary& out) const = 0;
    virtual IOReturn copyProperties(Dictionary& out) const = 0;
};

struct DeviceEntry;

struct InterfaceEntry : Service {
    InterfaceDescriptor descriptor;
    bool conformsTo(const std::string& name) const override {
        return name == "IOUSBHostInterface" || name == "IOUSBInterface" || name == "IOService";
    }
    std::string className() const override { return "IOUSBHostInterface"; }
    IOReturn properties(Dictionary& out) const override { return device->properties(&descriptor, out); }
    IOReturn copyProperties(Dictionary& out) const override {
        return device->copyProperties(&descriptor, out);
    }
};

struct DeviceEntry : Service {
    std::vector<std::shared_ptr<InterfaceEntry>> interfaces;
    bool conformsTo(const std::string& name) const override {
        return name == "IOUSBHostDevice" || name == "IOUSBDevice" || name == "IOService";
    }
    std::string className() const override { return "IOUSBHostDevice"; }
    IOReturn properties(Dictionary& out) const override { return device->properties(nullptr, out); }
    IOReturn copyProperties(Dictionary& out) const override { return device->copyProperties(nullptr, out); }
};

struct Iterator : Object {
    std::vector<std::shared_ptr<Service>> items;
    std::size_t position = 0;
    bool notification = false;
    bool armed = false; // a notification iterator drained to its end waits for news
    bool active = true; // false once the caller let go of it
};

struct Registration {
    std::string type;
    Dictionary matching;
    IOServiceMatchingCallback callback = nullptr;
    void* refCon = nullptr;
    std::shared_ptr<Iterator> iterator;
};

bool matches(const Service& service, const Dictionary& matching) {
    Dictionary properties;
    bool havePropertes = false;
    for (const auto& [key, value] : matching) {
        if (key == kIOProviderClassKey) {
            const auto* name = std::get_if<std::string>(&value);
            if (name == nullptr || !service.conformsTo(*name)) {
                return false;
            }
            continue;
        }
        if (!havePropertes) {
            if (service.properties(properties) != kIOReturnSuccess) {
                return false;
            }
            havePropertes = true;
        }
        auto found = properties.find(key);
        if (found == properties.end() || found->second != value) {
            return false;
        }
    }
    return true;
}

bool isMatchType(const std::string& type) {
    return type == kIOFirstMatchNotification || type == kIOMatchedNotification;
}

} // namespace

struct IONotificationPort {
    std::optional<dispatch::Queue> queue;
    std::vector<std::shared_ptr<Registration>> registrations; // under the registry mutex
    std::recursive_mutex callbackMutex;                       // held while a callback runs
    bool destroyed = false;                                   // under callbackMutex and registry mutex
};

namespace {

class Registry : public DeviceSink {
public:
    static Registry& shared() {
        static Registry* registry = new Registry; // lives until the process ends
        return *registry;
    }

    std::mutex mutex;
    std::map<io_object_t, std::shared_ptr<Object>> handles;
    io_object_t nextHandle = 0x1003;
    std::vector<std::shared_ptr<DeviceEntry>> devices;
    std::map<IONotificationPort*, std::shared_ptr<IONotificationPort>> ports;

    std::recursive_mutex backendMutex;
    std::shared_ptr<Backend> backend;
    bool backendChosen = false;
    std::map<std::string, BackendFactory> factories;

    // Caller holds `mutex`.
    io_object_t exportObject(const std::shared_ptr<Object>& object) {
        if (object->handle == 0) {
            while (handles.count(nextHandle) != 0 || nextHandle == 0) {
                ++nextHandle;
            }
            object->handle = nextHandle++;
            handles[object->handle] = object;
        }
        ++object->userRefs;
        return object->handle;
    }

    std::shared_ptr<Object> lookup(io_object_t handle) {
        std::lock_guard lock(mutex);
        auto found = handles.find(handle);
        return found == handles.end() ? nullptr : found->second;
    }

    template <class T>
    std::shared_ptr<T> lookupAs(io_object_t handle) {
        return std::dynamic_pointer_cast<T>(lookup(handle));
    }

    void ensureBackend() {
        std::lock_guard lock(backendMutex);
        if (backendChosen) {
            return;
        }
        backendChosen = true;
        std::shared_ptr<Backend> chosen;
        const char* name = std::getenv("TAMBERLYX_USB_BACKEND");
        std::string wanted = name != nullptr ? name : "";
        if (auto found = factories.find(wanted); found != factories.end()) {
            chosen = found->second();
        } else if (wanted != "none") {
            chosen = makeLibusbBackend();
        }
        backend = chosen;
        if (backend) {
            backend->start(*this);
        }
    }

    void replaceBackend(std::shared_ptr<Backend> replacement) {
        std::lock_guard lock(backendMutex);
        if (backend) {
            backend->stop();
        }
        std::vector<std::shared_ptr<BackendDevice>> old;
        {
            std::lock_guard registryLock(mutex);
            for (auto& entry : devices) {
                old.push_back(entry->device);
            }
        }
        for (auto& device : old) {
            detach(device);
        }
        backend = std::move(replacement);
        backendChosen = true;
        if (backend) {
            backend->start(*this);
        }
    }

    void refresh() {
        ensureBackend();
        std::shared_ptr<Backend> current;
        {
            std::lock_guard lock(backendMutex);
            current = backend;
        }
        if (current) {
            current->refresh();
        }
    }

    // Caller holds `mutex`. Every service registered now, devices before their interfaces.
    std::vector<std::shared_ptr<Service>> allServices() {
        std::vector<std::shared_ptr<Service>> services;
        for (auto& device : devices) {
            services.push_back(device);
            for (auto& interface : device->interfaces) {
                services.push_back(interface);
            }
        }
        return services;
    }

    using Pending =
        std::vector<std::pair<std::shared_ptr<IONotificationPort>, std::shared_ptr<Registration>>>;

    // Caller holds `mutex`: hands `services` to every registration of `type`
    // that matches them and notes the callbacks that are due.
    void notify(const std::vector<std::shared_ptr<Service>>& services, bool arrival, Pending& due) {
        for (auto& [raw, port] : ports) {
            for (auto& registration : port->registrations) {
                bool wanted = arrival ? isMatchType(registration->type)
                                      : registration->type == kIOTerminatedNotification;
                auto& iterator = *registration->iterator;
                if (!wanted || !iterator.active) {
                    continue;
                }
                bool added = false;
                for (auto& service : services) {
                    if (matches(*service, registration->matching)) {
                        iterator.items.push_back(service);
                        added = true;
                    }
                }
                if (added && iterator.armed) {
                    iterator.armed = false;
                    due.emplace_back(port, registration);
                }
            }
        }
    }

    static void deliver(const Pending& due) {
        for (auto& [port, registration] : due) {
            std::optional<dispatch::Queue> queue;
            {
                std::lock_guard lock(shared().mutex);
                queue = port->queue;
            }
            if (!queue) {
                continue;
            }
            queue->async([port = port, registration = registration] {
                std::lock_guard callbackLock(port->callbackMutex);
                io_iterator_t handle = 0;
                {
                    std::lock_guard lock(shared().mutex);
                    if (port->destroyed || !registration->iterator->active) {
                        return;
                    }
                    handle = registration->iterator->handle;
                }
                if (handle != 0) {
                    registration->callback(registration->refCon, handle);
                }
            });
        }
    }

    void attach(std::shared_ptr<BackendDevice> device) override {
        if (!device) {
            return;
        }
        auto entry = std::make_shared<DeviceEntry>();
        entry->device = device;
        for (const auto& descriptor : device->interfaces()) {
            auto interface = std::make_shared<InterfaceEntry>();
            interface->device = device;
            interface->descriptor = descriptor;
            entry->interfaces.push_back(interface);
        }
        Pending due;
        {
            std::lock_guard lock(mutex);
            for (auto& existing : devices) {
                if (existing->device == device) {
                    return;
                }
            }
            devices.push_back(entry);
            std::vector<std::shared_ptr<Service>> services{entry};
            services.insert(services.end(), entry->interfaces.begin(), entry->interfaces.end());
            notify(services, true, due);
        }
        deliver(due);
    }

    void detach(const std::shared_ptr<BackendDevice>& device) override {
        Pending due;
        {
            std::lock_guard lock(mutex);
            auto found = std::find_if(devices.begin(), devices.end(),
                                      [&](const auto& entry) { return entry->device == device; });
            if (found == devices.end()) {
                return;
            }
            auto entry = *found;
            devices.erase(found);
            entry->terminated = true;
            std::vector<std::shared_ptr<Service>> services{entry};
            for (auto& interface : entry->interfaces) {
                interface->terminated = true;
                services.push_back(interface);
            }
            notify(services, false, due);
        }
        deliver(due);
    }
};

// ---- User clients ---------------------------------------------------------

template <class Table, class Client>
struct ClientHandle {
    Table* table;
    Client* client;
};

template <class Client, class Table>
Client* clientOf(void* self) {
    // The tables are only reached through a handle, so `self` is never null.
    return static_cast<ClientHandle<Table, Client>*>(self)->client;
}

bool sameUuid(const REFIID& iid, const std::array<UInt8, 16>& bytes) {
    return iid.bytes == bytes;
}

struct DeviceClient {
    ClientHandle<IOUSBDeviceStruct650, DeviceClient> handle;
    std::atomic<ULONG> refs{1};
    std::shared_ptr<DeviceEntry> entry;
    std::mutex mutex;
    bool open = false;
};

struct InterfaceClient {
    ClientHandle<IOUSBInterfaceStruct700, InterfaceClient> handle;
    std::atomic<ULONG> refs{1};
    std::shared_ptr<InterfaceEntry> entry;
    std::mutex mutex;
    bool open = false;
};

struct PlugIn {
    ClientHandle<IOCFPlugInInterface, PlugIn> handle;
    std::atomic<ULONG> refs{1};
    std::shared_ptr<Service> service;
    ServiceKind kind;
};

// Device table

DeviceClient* dev(void* self) {
    return clientOf<DeviceClient, IOUSBDeviceStruct650>(self);
}

HRESULT deviceQueryInterface(void* self, REFIID iid, LPVOID* ppv);

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
        --gDeviceInterfaces;
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

IOReturn deviceGetClass(void* self, UInt8* out) {
    return deviceField(self, out, [](const DeviceDescriptor& d) { return d.deviceClass; });
}
IOReturn deviceGetSubClass(void* self, UInt8* out) {
    return deviceField(self, out, [](const DeviceDescriptor& d) { return d.deviceSubClass; });
}
IOReturn deviceGetProtocol(void* self, UInt8* out) {
    return deviceField(self, out, [](const DeviceDescriptor& d) { return d.deviceProtocol; });
}
IOReturn deviceGetVendor(void* self, UInt16* out) {
    return deviceField(self, out, [](const DeviceDescriptor& d) { return d.vendorId; });
}
IOReturn deviceGetProduct(void* self, UInt16* out) {
    return deviceField(self, out, [](const DeviceDescriptor& d) { return d.productId; });
}
IOReturn deviceGetRelease(void* self, UInt16* out) {
    return deviceField(self, out, [](const DeviceDescriptor& d) { return d.releaseNumber; });
}
IOReturn deviceGetAddress(void* self, UInt16* out) {
    return deviceField(self, out, [](const DeviceDescriptor& d) { return d.address; });
}
IOReturn deviceGetLocation(void* self, UInt32* out) {
    return deviceField(self, out, [](const DeviceDescriptor& d) { return d.locationId; });
}
IOReturn deviceGetConfigurations(void* self, UInt8* out) {
    return deviceField(self, out, [](const DeviceDescriptor& d) { return d.numConfigurations; });
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

IOReturn deviceRequest(void* self, IOUSBDevRequestTO* request) {
    DeviceClient* client = dev(self);
    if (request == nullptr || (request->wLength > 0 && request->pData == nullptr)) {
        return kIOReturnBadArgument;
    }
    if (client->entry->terminated) {
        return kIOReturnNoDevice;
    }
    ControlSetup setup{request->bmRequestType, request->bRequest, request->wValue, request->wIndex,
                       request->wLength};
    UInt32 done = 0;
    IOReturn code = client->entry->device->controlRequest(
        nullptr, 0, setup, std::span<UInt8>(static_cast<UInt8*>(request->pData), request->wLength), done,
        request->noDataTimeout, request->completionTimeout);
    request->wLenDone = std::min<UInt32>(done, request->wLength);
    return code;
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
    nullptr,          deviceQueryInterface, deviceAddRef,
    deviceRelease,    deviceOpen,           deviceClose,
    deviceGetClass,   deviceGetSubClass,    deviceGetProtocol,
    deviceGetVendor,  deviceGetProduct,     deviceGetRelease,
    deviceGetAddress, deviceGetLocation,    deviceGetConfigurations,
    deviceReset,      deviceRequest,        deviceCreateInterfaceIterator,
    deviceOpenSeize,
};

HRESULT deviceQueryInterface(void* self, REFIID iid, LPVOID* ppv) {
    if (ppv == nullptr) {
        return E_NOINTERFACE;
    }
    if (sameUuid(iid, kDeviceInterface650)) {
        deviceAddRef(self);
        *ppv = self;
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

// Interface table

InterfaceClient* intf(void* self) {
    return clientOf<InterfaceClient, IOUSBInterfaceStruct700>(self);
}

HRESULT interfaceQueryInterface(void* self, REFIID iid, LPVOID* ppv);

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
        --gInterfaceInterfaces;
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

IOReturn interfaceGetClass(void* self, UInt8* out) {
    return interfaceField(self, out,
                          [](const InterfaceDescriptor& d, BackendDevice&) { return d.interfaceClass; });
}
IOReturn interfaceGetSubClass(void* self, UInt8* out) {
    return interfaceField(self, out,
                          [](const InterfaceDescriptor& d, BackendDevice&) { return d.interfaceSubClass; });
}
IOReturn interfaceGetProtocol(void* self, UInt8* out) {
    return interfaceField(self, out,
                          [](const InterfaceDescriptor& d, BackendDevice&) { return d.interfaceProtocol; });
}
IOReturn interfaceGetVendor(void* self, UInt16* out) {
    return interfaceField(
        self, out, [](const InterfaceDescriptor&, BackendDevice& b) { return b.descriptor().vendorId; });
}
IOReturn interfaceGetProduct(void* self, UInt16* out) {
    return interfaceField(
        self, out, [](const InterfaceDescriptor&, BackendDevice& b) { return b.descriptor().productId; });
}
IOReturn interfaceGetNumber(void* self, UInt8* out) {
    return interfaceField(self, out, [](const InterfaceDescriptor& d, BackendDevice&) { return d.number; });
}
IOReturn interfaceGetAlternate(void* self, UInt8* out) {
    return interfaceField(self, out,
                          [](const InterfaceDescriptor& d, BackendDevice&) { return d.alternateSetting; });
}
IOReturn interfaceGetNumEndpoints(void* self, UInt8* out) {
    return interfaceField(self, out,
                          [](const InterfaceDescriptor& d, BackendDevice&) { return d.endpoints.size(); });
}
IOReturn interfaceGetLocation(void* self, UInt32* out) {
    return interfaceField(
        self, out, [](const InterfaceDescriptor&, BackendDevice& b) { return b.descriptor().locationId; });
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
    if (IOReturn code = pipeCheck(client, pipe, false); code != kIOReturnSuccess) {
        return code;
    }
    const EndpointDescriptor* endpoint = endpointForPipe(client->entry->descriptor, pipe);
    if (endpoint->direction() != kUSBIn || endpoint->transferType() == kUSBControl) {
        return kIOReturnBadArgument;
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
    if (IOReturn code = pipeCheck(client, pipe, false); code != kIOReturnSuccess) {
        return code;
    }
    const EndpointDescriptor* endpoint = endpointForPipe(client->entry->descriptor, pipe);
    if (endpoint->direction() != kUSBOut || endpoint->transferType() == kUSBControl) {
        return kIOReturnBadArgument;
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
    nullptr,
    interfaceQueryInterface,
    interfaceAddRef,
    interfaceRelease,
    interfaceOpen,
    interfaceClose,
    interfaceGetClass,
    interfaceGetSubClass,
    interfaceGetProtocol,
    interfaceGetVendor,
    interfaceGetProduct,
    interfaceGetNumber,
    interfaceGetAlternate,
    interfaceGetNumEndpoints,
    interfaceGetLocation,
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

HRESULT interfaceQueryInterface(void* self, REFIID iid, LPVOID* ppv) {
    if (ppv == nullptr) {
        return E_NOINTERFACE;
    }
    if (sameUuid(iid, kInterfaceInterface700)) {
        interfaceAddRef(self);
        *ppv = self;
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

// Plug-in table

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
        --gPlugIns;
    }
    return left;
}

HRESULT plugInQueryInterface(void* self, REFIID iid, LPVOID* ppv) {
    if (ppv == nullptr) {
        return E_NOINTERFACE;
    }
    *ppv = nullptr;
    PlugIn* plugIn = plug(self);
    if (sameUuid(iid, kCFPlugInInterface)) {
        plugInAddRef(self);
        *ppv = self;
        return S_OK;
    }
    UInt8 interfaceNumber = 0;
    if (auto interface = std::dynamic_pointer_cast<InterfaceEntry>(plugIn->service)) {
        interfaceNumber = interface->descriptor.number;
    }
    if (plugIn->kind == ServiceKind::device && sameUuid(iid, kDeviceInterface650)) {
        if (plugIn->service->terminated ||
            !plugIn->service->device->queryInterface(ServiceKind::device, interfaceNumber)) {
            return E_NOINTERFACE;
        }
        auto* client = new DeviceClient;
        client->handle = {&gDeviceTable, client};
        client->entry = std::static_pointer_cast<DeviceEntry>(plugIn->service);
        ++gDeviceInterfaces;
        *ppv = &client->handle;
        return S_OK;
    }
    if (plugIn->kind == ServiceKind::interface && sameUuid(iid, kInterfaceInterface700)) {
        if (plugIn->service->terminated ||
            !plugIn->service->device->queryInterface(ServiceKind::interface, interfaceNumber)) {
            return E_NOINTERFACE;
        }
        auto* client = new InterfaceClient;
        client->handle = {&gInterfaceTable, client};
        client->entry = std::static_pointer_cast<InterfaceEntry>(plugIn->service);
        ++gInterfaceInterfaces;
        *ppv = &client->handle;
        return S_OK;
    }
    return E_NOINTERFACE;
}

IOCFPlugInInterface gPlugInTable{nullptr, plugInQueryInterface, plugInAddRef, plugInRelease, 1, 0};

} // namespace

// ---- Registry API ---------------------------------------------------------

std::optional<Dictionary> IOServiceMatching(const char* className) {
    if (className == nullptr) {
        return std::nullopt;
    }
    return Dictionary{{kIOProviderClassKey, std::string(className)}};
}

kern_return_t IOServiceGetMatchingServices(mach_port_t, std::optional<Dictionary> matching,
                                           io_iterator_t* existing) {
    if (!matching || existing == nullptr) {
        return kIOReturnBadArgument;
    }
    auto& registry = Registry::shared();
    registry.refresh();
    auto iterator = std::make_shared<Iterator>();
    std::lock_guard lock(registry.mutex);
    for (auto& service : registry.allServices()) {
        if (matches(*service, *matching)) {
            iterator->items.push_back(service);
        }
    }
    *existing = registry.exportObject(iterator);
    return kIOReturnSuccess;
}

io_object_t IOIteratorNext(io_iterator_t handle) {
    auto& registry = Registry::shared();
    std::lock_guard lock(registry.mutex);
    auto found = registry.handles.find(handle);
    if (found == registry.handles.end()) {
        return 0;
    }
    auto iterator = std::dynamic_pointer_cast<Iterator>(found->second);
    if (!iterator) {
        return 0;
    }
    if (iterator->position >= iterator->items.size()) {
        if (iterator->notification) {
            iterator->items.clear();
            iterator->position = 0;
            iterator->armed = true;
        }
        return 0;
    }
    auto service = iterator->items[iterator->position++];
    return registry.exportObject(service);
}

void IOIteratorReset(io_iterator_t handle) {
    auto& registry = Registry::shared();
    std::lock_guard lock(registry.mutex);
    auto found = registry.handles.find(handle);
    if (found == registry.handles.end()) {
        return;
    }
    if (auto iterator = std::dynamic_pointer_cast<Iterator>(found->second);
        iterator && !iterator->notification) {
        iterator->position = 0;
    }
}

bool IOIteratorIsValid(io_iterator_t handle) {
    return Registry::shared().lookupAs<Iterator>(handle) != nullptr;
}

kern_return_t IOObjectRetain(io_object_t handle) {
    auto& registry = Registry::shared();
    std::lock_guard lock(registry.mutex);
    auto found = registry.handles.find(handle);
    if (found == registry.handles.end()) {
        return kIOReturnBadArgument;
    }
    ++found->second->userRefs;
    return kIOReturnSuccess;
}

kern_return_t IOObjectRelease(io_object_t handle) {
    auto& registry = Registry::shared();
    std::shared_ptr<Object> last; // destroyed outside the lock
    std::lock_guard lock(registry.mutex);
    auto found = registry.handles.find(handle);
    if (found == registry.handles.end()) {
        return kIOReturnBadArgument;
    }
    if (--found->second->userRefs == 0) {
        last = found->second;
        last->handle = 0;
        if (auto iterator = std::dynamic_pointer_cast<Iterator>(last); iterator && iterator->notification) {
            iterator->active = false;
        }
        registry.handles.erase(found);
    }
    return kIOReturnSuccess;
}

bool IOObjectIsEqualTo(io_object_t a, io_object_t b) {
    auto& registry = Registry::shared();
    return a != 0 && registry.lookup(a) != nullptr && registry.lookup(a) == registry.lookup(b);
}

kern_return_t IORegistryEntryCreateCFProperties(io_registry_entry_t entry, Dictionary* properties,
                                                CFAllocatorRef, IOOptionBits) {
    if (properties == nullptr) {
        return kIOReturnBadArgument;
    }
    auto service = Registry::shared().lookupAs<Service>(entry);
    if (!service) {
        return kIOReturnBadArgument;
    }
    // A terminated entry keeps its properties, so a terminate notification's
    // receiver can still tell which device went.
    Dictionary table;
    IOReturn code = service->copyProperties(table);
    if (code == kIOReturnSuccess) {
        *properties = std::move(table);
    }
    return code;
}

std::optional<Property> IORegistryEntryCreateCFProperty(io_registry_entry_t entry, const std::string& key,
                                                        CFAllocatorRef allocator, IOOptionBits options) {
    Dictionary properties;
    if (IORegistryEntryCreateCFProperties(entry, &properties, allocator, options) != kIOReturnSuccess) {
        return std::nullopt;
    }
    auto found = properties.find(key);
    return found == properties.end() ? std::nullopt : std::optional<Property>(found->second);
}

std::string IOObjectGetClass(io_object_t object) {
    auto found = Registry::shared().lookup(object);
    if (auto service = std::dynamic_pointer_cast<Service>(found)) {
        return service->className();
    }
    if (std::dynamic_pointer_cast<Iterator>(found)) {
        return "IOUserIterator";
    }
    return "";
}

kern_return_t IOCreatePlugInInterfaceForService(io_service_t handle, CFUUIDRef pluginType,
                                                CFUUIDRef interfaceType, IOCFPlugInInterface*** theInterface,
                                                SInt32* theScore) {
    if (theInterface == nullptr || theScore == nullptr) {
        return kIOReturnBadArgument;
    }
    *theInterface = nullptr;
    auto service = Registry::shared().lookupAs<Service>(handle);
    if (!service) {
        return kIOReturnBadArgument;
    }
    if (!isUuid(interfaceType, kCFPlugInInterface)) {
        return kIOReturnUnsupported;
    }
    ServiceKind kind;
    UInt8 interfaceNumber = 0;
    if (isUuid(pluginType, kDeviceUserClientType) && std::dynamic_pointer_cast<DeviceEntry>(service)) {
        kind = ServiceKind::device;
    } else if (isUuid(pluginType, kInterfaceUserClientType) &&
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
    ++gPlugIns;
    *theInterface = reinterpret_cast<IOCFPlugInInterface**>(&plugIn->handle);
    *theScore = 0;
    return kIOReturnSuccess;
}

kern_return_t IODestroyPlugInInterface(IOCFPlugInInterface** interface) {
    if (interface == nullptr || *interface == nullptr) {
        return kIOReturnBadArgument;
    }
    (*interface)->Release(interface);
    return kIOReturnSuccess;
}

// ---- Notification ports ---------------------------------------------------

IONotificationPortRef IONotificationPortCreate(mach_port_t) {
    auto port = std::make_shared<IONotificationPort>();
    auto& registry = Registry::shared();
    std::lock_guard lock(registry.mutex);
    registry.ports[port.get()] = port;
    return port.get();
}

void IONotificationPortDestroy(IONotificationPortRef raw) {
    auto& registry = Registry::shared();
    std::shared_ptr<IONotificationPort> port;
    {
        std::lock_guard lock(registry.mutex);
        auto found = registry.ports.find(raw);
        if (found == registry.ports.end()) {
            return;
        }
        port = found->second;
    }
    // Waits for a callback of this port that runs on another thread.
    std::lock_guard callbackLock(port->callbackMutex);
    std::lock_guard lock(registry.mutex);
    port->destroyed = true;
    port->registrations.clear();
    registry.ports.erase(raw);
}

void IONotificationPortSetDispatchQueue(IONotificationPortRef raw, const dispatch::Queue& queue) {
    auto& registry = Registry::shared();
    std::lock_guard lock(registry.mutex);
    auto found = registry.ports.find(raw);
    if (found != registry.ports.end()) {
        found->second->queue = queue;
    }
}

kern_return_t IOServiceAddMatchingNotification(IONotificationPortRef raw, const char* notificationType,
                                               std::optional<Dictionary> matching,
                                               IOServiceMatchingCallback callback, void* refCon,
                                               io_iterator_t* notification) {
    if (notification == nullptr || notificationType == nullptr || !matching || callback == nullptr) {
        return kIOReturnBadArgument;
    }
    std::string type = notificationType;
    if (!isMatchType(type) && type != kIOTerminatedNotification) {
        return kIOReturnUnsupported;
    }
    auto& registry = Registry::shared();
    registry.ensureBackend();
    std::lock_guard lock(registry.mutex);
    auto found = registry.ports.find(raw);
    if (found == registry.ports.end()) {
        return kIOReturnBadArgument;
    }
    auto registration = std::make_shared<Registration>();
    registration->type = type;
    registration->matching = std::move(*matching);
    registration->callback = callback;
    registration->refCon = refCon;
    registration->iterator = std::make_shared<Iterator>();
    registration->iterator->notification = true;
    if (isMatchType(type)) {
        for (auto& service : registry.allServices()) {
            if (matches(*service, registration->matching)) {
                registration->iterator->items.push_back(service);
            }
        }
    }
    found->second->registrations.push_back(registration);
    *notification = registry.exportObject(registration->iterator);
    return kIOReturnSuccess;
}

// ---- Backend selection and counters ---------------------------------------

void setBackend(std::shared_ptr<Backend> backend) {
    Registry::shared().replaceBackend(std::move(backend));
}

std::shared_ptr<Backend> currentBackend() {
    auto& registry = Registry::shared();
    registry.ensureBackend();
    std::lock_guard lock(registry.backendMutex);
    return registry.backend;
}

void registerBackendFactory(const std::string& name, BackendFactory factory) {
    auto& registry = Registry::shared();
    std::lock_guard lock(registry.backendMutex);
    registry.factories[name] = std::move(factory);
}

ObjectCounts liveObjectCounts() {
    auto& registry = Registry::shared();
    std::lock_guard lock(registry.mutex);
    return ObjectCounts{registry.handles.size(), gPlugIns.load(), gDeviceInterfaces.load(),
                        gInterfaceInterfaces.load(), registry.ports.size()};
}

std::string describe(const ObjectCounts& counts) {
    return "registryObjects=" + std::to_string(counts.registryObjects) +
           " plugIns=" + std::to_string(counts.plugIns) +
           " deviceInterfaces=" + std::to_string(counts.deviceInterfaces) +
           " interfaceInterfaces=" + std::to_string(counts.interfaceInterfaces) +
           " notificationPorts=" + std::to_string(counts.notificationPorts);
}

// ---- mach_error_string ----------------------------------------------------

const char* mach_error_string(kern_return_t code) {
    struct Text {
        kern_return_t code;
        const char* text;
    };
    static constexpr Text texts[] = {
        {kIOReturnSuccess, "(os/kern) successful"},
        {kIOReturnError, "(iokit/common) general error"},
        {kIOReturnNoMemory, "(iokit/common) memory allocation error"},
        {kIOReturnNoResources, "(iokit/common) resource shortage"},
        {kIOReturnNoDevice, "(iokit/common) no such device"},
        {kIOReturnNotPrivileged, "(iokit/common) privilege violation"},
        {kIOReturnBadArgument, "(iokit/common) invalid argument"},
        {kIOReturnExclusiveAccess, "(iokit/common) exclusive access and device already open"},
        {kIOReturnUnsupported, "(iokit/common) unsupported function"},
        {kIOReturnInternalError, "(iokit/common) internal error"},
        {kIOReturnIOError, "(iokit/common) I/O error"},
        {kIOReturnNotOpen, "(iokit/common) device not open"},
        {kIOReturnBusy, "(iokit/common) device busy"},
        {kIOReturnTimeout, "(iokit/common) I/O timeout"},
        {kIOReturnNotAttached, "(iokit/common) device not attached"},
        {kIOReturnNotPermitted, "(iokit/common) not permitted"},
        {kIOReturnUnderrun, "(iokit/common) data underrun"},
        {kIOReturnOverrun, "(iokit/common) data overrun"},
        {kIOReturnAborted, "(iokit/common) operation aborted"},
        {kIOReturnNotResponding, "(iokit/common) device not responding"},
        {kIOReturnNotFound, "(iokit/common) data was not found"},
    };
    for (const auto& text : texts) {
        if (text.code == code) {
            return text.text;
        }
    }
    return nullptr;
}

} // namespace tbx::iokit
