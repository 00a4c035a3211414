#include "device/NotificationPort.h"

#include "device/IOReturn.h"

namespace tbx {

using namespace tbx::iokit;

NotificationPort& NotificationPort::operator=(NotificationPort&& other) noexcept {
    if (this != &other) {
        release();
        port_ = std::exchange(other.port_, nullptr);
    }
    return *this;
}

std::optional<NotificationPort> NotificationPort::create(mach_port_t masterPort) {
    IONotificationPortRef port = IONotificationPortCreate(masterPort);
    if (port == nullptr) {
        return std::nullopt;
    }
    return NotificationPort(port);
}

void NotificationPort::release() noexcept {
    if (IONotificationPortRef port = std::exchange(port_, nullptr)) {
        IONotificationPortDestroy(port);
    }
}

void NotificationPort::setDispatchQueue(const dispatch::Queue& queue) const {
    if (port_ == nullptr) {
        throw USBError(ioreturn::notOpen);
    }
    IONotificationPortSetDispatchQueue(port_, queue);
}

} // namespace tbx
