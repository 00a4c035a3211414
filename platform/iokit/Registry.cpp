#include "platform/iokit/Registry.h"

#include "platform/iokit/LibusbBackend.h"

#include <algorithm>
#include <cstdlib>

namespace tbx::iokit {

namespace registry {

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
    return type == kIOFirstMatchNotification;
}

io_object_t Registry::exportObject(const std::shared_ptr<Object>& object) {
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

std::shared_ptr<Object> Registry::lookup(io_object_t handle) {
    std::lock_guard lock(mutex);
    auto found = handles.find(handle);
    return found == handles.end() ? nullptr : found->second;
}

void Registry::ensureBackend() {
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

void Registry::replaceBackend(std::shared_ptr<Backend> replacement) {
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

void Registry::refresh() {
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

std::vector<std::shared_ptr<Service>> Registry::allServices() {
    std::vector<std::shared_ptr<Service>> services;
    for (auto& device : devices) {
        services.push_back(device);
        for (auto& interface : device->interfaces) {
            services.push_back(interface);
        }
    }
    return services;
}

void Registry::notify(const std::vector<std::shared_ptr<Service>>& services, bool arrival, Pending& due) {
    for (auto& [raw, port] : ports) {
        for (auto& registration : port->registrations) {
            bool wanted =
                arrival ? isMatchType(registration->type) : registration->type == kIOTerminatedNotification;
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

void Registry::deliver(const Pending& due) {
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

void Registry::attach(std::shared_ptr<BackendDevice> device) {
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

void Registry::detach(const std::shared_ptr<BackendDevice>& device) {
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

} // namespace registry

using registry::Iterator;
using registry::Object;
using registry::Registry;
using registry::Service;

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
    return ObjectCounts{registry.handles.size(), registry.plugIns.load(), registry.deviceInterfaces.load(),
                        registry.interfaceInterfaces.load(), registry.ports.size()};
}

std::string describe(const ObjectCounts& counts) {
    return "registryObjects=" + std::to_string(counts.registryObjects) +
           " plugIns=" + std::to_string(counts.plugIns) +
           " deviceInterfaces=" + std::to_string(counts.deviceInterfaces) +
           " interfaceInterfaces=" + std::to_string(counts.interfaceInterfaces) +
           " notificationPorts=" + std::to_string(counts.notificationPorts);
}

} // namespace tbx::iokit
