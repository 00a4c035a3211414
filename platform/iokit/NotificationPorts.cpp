// Notification ports of the IOKit stand-in: matching registrations whose
// callbacks run on the port's dispatch queue once their iterator has been
// drained and new services arrive (first match) or go (terminate).
#include "platform/iokit/Registry.h"

namespace tbx::iokit {

using registry::isMatchType;
using registry::Iterator;
using registry::matches;
using registry::Registration;
using registry::Registry;

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

} // namespace tbx::iokit
