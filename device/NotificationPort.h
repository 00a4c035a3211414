// The notification port of the USB layer: owns one platform notification port
// (as `IONotificationPortCreate` returns it). It is move-only; its destructor
// destroys the port (`IONotificationPortDestroy`: no callback of the port runs
// any more once it returns), and `release()` does so early (once; later calls
// and calls on an empty owner do nothing).
#pragma once

#include "platform/dispatch/Dispatch.h"
#include "platform/iokit/IOKitLib.h"

#include <optional>
#include <utility>

namespace tbx {

class NotificationPort {
public:
    NotificationPort() = default;
    explicit NotificationPort(iokit::IONotificationPortRef adopted) noexcept : port_(adopted) {}
    NotificationPort(NotificationPort&& other) noexcept : port_(std::exchange(other.port_, nullptr)) {}
    NotificationPort& operator=(NotificationPort&& other) noexcept;
    NotificationPort(const NotificationPort&) = delete;
    NotificationPort& operator=(const NotificationPort&) = delete;
    ~NotificationPort() { release(); }

    // The port, none when the platform gives none.
    static std::optional<NotificationPort>
    create(iokit::mach_port_t masterPort = iokit::kIOMasterPortDefault);

    iokit::IONotificationPortRef port() const { return port_; }
    explicit operator bool() const { return port_ != nullptr; }

    void release() noexcept;
    // On an empty owner: kIOReturnNotOpen.
    void setDispatchQueue(const dispatch::Queue& queue) const;

private:
    iokit::IONotificationPortRef port_ = nullptr;
};

} // namespace tbx
