// Registry objects and iterators of the USB layer: `RegistryObject` owns one
// reference to a registry entry or iterator (the platform's 32-bit object
// handle). It is move-only; its destructor gives the reference back
// (`IOObjectRelease`), and `release()` does so early (once; later calls and
// calls on an empty owner do nothing). It also holds the registry operations
// that discovery uses: the services matching a dictionary and the properties
// of an entry.
#pragma once

#include "platform/iokit/IOKitLib.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>

namespace tbx {

class RegistryObject {
public:
    // The handler gets each service and a stop flag it may set; it may throw.
    // The service is released once the handler returns; a handler that keeps
    // it takes its own reference (`retained`).
    using ServiceHandler = std::function<void(iokit::io_object_t service, bool& stop)>;

    RegistryObject() = default;
    // Takes over one reference the caller holds.
    explicit RegistryObject(iokit::io_object_t adopted) noexcept : object_(adopted) {}
    // Takes a reference of its own to an object the caller only borrows.
    static RegistryObject retained(iokit::io_object_t borrowed);
    RegistryObject(RegistryObject&& other) noexcept : object_(std::exchange(other.object_, 0)) {}
    RegistryObject& operator=(RegistryObject&& other) noexcept;
    RegistryObject(const RegistryObject&) = delete;
    RegistryObject& operator=(const RegistryObject&) = delete;
    ~RegistryObject() { release(); }

    iokit::io_object_t object() const { return object_; }
    explicit operator bool() const { return object_ != 0; }

    // A second owner of the same object (`IOObjectRetain`).
    RegistryObject retain() const;
    void release() noexcept;

    // Hands each object of this iterator to `handler` and releases it after the
    // call (also when the handler throws). After a stop or a throw the rest is
    // taken and released when `clearRemainingServices`.
    void enumerateServices(const ServiceHandler& handler, bool clearRemainingServices = true) const;

    // An iterator over the registered services that match (the default main
    // port). A failure throws its return code.
    static RegistryObject matchingServices(std::optional<iokit::Dictionary> matching);
    // The property table of a registry entry; none when it cannot be read.
    static std::optional<iokit::Dictionary> properties(iokit::io_object_t entry);
    // A whole-number property of such a table; none when it is absent or no number.
    static std::optional<std::int64_t> integerProperty(const iokit::Dictionary& properties,
                                                       const std::string& key);

private:
    iokit::io_object_t object_ = 0;
};

} // namespace tbx
