// Inside the IOKit stand-in: the registry of USB device and interface
// services with their 32-bit object handles, iterators, matching, and the
// notification registrations that the ports deliver. Included only by the
// stand-in's own sources.
#pragma once

#include "platform/iokit/Backend.h"
#include "platform/iokit/IOKitLib.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tbx::iokit {

namespace registry {

struct Object {
    virtual ~Object() = default;
    io_object_t handle = 0; // while callers hold references
    std::size_t userRefs = 0;
};

struct Service : Object {
    std::shared_ptr<BackendDevice> device;
    std::atomic<bool> terminated{false};
    virtual bool conformsTo(const std::string& className) const = 0;
    virtual IOReturn properties(Dictionary& out) const = 0;
    virtual IOReturn copyProperties(Dictionary& out) const = 0;
};

struct InterfaceEntry : Service {
    InterfaceDescriptor descriptor;
    bool conformsTo(const std::string& name) const override {
        return name == "IOUSBHostInterface" || name == "IOUSBInterface" || name == "IOService";
    }
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

// Whether the service has every property of the dictionary (the class by conformance).
bool matches(const Service& service, const Dictionary& matching);
// First-match registrations (the only kind of arrival notification offered).
bool isMatchType(const std::string& type);

} // namespace registry

struct IONotificationPort {
    std::optional<dispatch::Queue> queue;
    std::vector<std::shared_ptr<registry::Registration>> registrations; // under the registry mutex
    std::recursive_mutex callbackMutex;                                 // held while a callback runs
    bool destroyed = false; // under callbackMutex and registry mutex
};

namespace registry {

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

    // User clients alive (the registry's own objects are `handles`).
    std::atomic<std::size_t> plugIns{0};
    std::atomic<std::size_t> deviceInterfaces{0};
    std::atomic<std::size_t> interfaceInterfaces{0};

    // Caller holds `mutex`: the handle of the object, with one more reference.
    io_object_t exportObject(const std::shared_ptr<Object>& object);
    std::shared_ptr<Object> lookup(io_object_t handle);
    template <class T>
    std::shared_ptr<T> lookupAs(io_object_t handle) {
        return std::dynamic_pointer_cast<T>(lookup(handle));
    }

    void ensureBackend();
    void replaceBackend(std::shared_ptr<Backend> replacement);
    void refresh();
    // Caller holds `mutex`. Every service registered now, devices before their interfaces.
    std::vector<std::shared_ptr<Service>> allServices();

    void attach(std::shared_ptr<BackendDevice> device) override;
    void detach(const std::shared_ptr<BackendDevice>& device) override;

private:
    using Pending =
        std::vector<std::pair<std::shared_ptr<IONotificationPort>, std::shared_ptr<Registration>>>;
    // Caller holds `mutex`: hands `services` to every registration of the kind
    // that matches them and notes the callbacks that are due.
    void notify(const std::vector<std::shared_ptr<Service>>& services, bool arrival, Pending& due);
    static void deliver(const Pending& due);
};

} // namespace registry

// The user clients of a service (DeviceClient.cpp, InterfaceClient.cpp): a fresh device or interface
// interface with one reference, counted while it lives.
IOUSBDeviceStruct650** newDeviceClient(std::shared_ptr<registry::DeviceEntry> entry);
IOUSBInterfaceStruct700** newInterfaceClient(std::shared_ptr<registry::InterfaceEntry> entry);

} // namespace tbx::iokit
