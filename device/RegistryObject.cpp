#include "device/RegistryObject.h"

#include "device/IOReturn.h"

#include <exception>

namespace tbx {

using namespace tbx::iokit;

RegistryObject RegistryObject::retained(io_object_t borrowed) {
    if (borrowed != 0) {
        IOObjectRetain(borrowed);
    }
    return RegistryObject(borrowed);
}

RegistryObject& RegistryObject::operator=(RegistryObject&& other) noexcept {
    if (this != &other) {
        release();
        object_ = std::exchange(other.object_, 0);
    }
    return *this;
}

RegistryObject RegistryObject::retain() const {
    return retained(object_);
}

void RegistryObject::release() noexcept {
    if (const io_object_t object = std::exchange(object_, 0); object != 0) {
        IOObjectRelease(object);
    }
}

void RegistryObject::enumerateServices(const ServiceHandler& handler, bool clearRemainingServices) const {
    auto drain = [&] {
        while (clearRemainingServices) {
            RegistryObject rest(IOIteratorNext(object_));
            if (!rest) {
                return;
            }
        }
    };
    for (;;) {
        bool stop = false;
        std::exception_ptr failure;
        {
            const RegistryObject service(IOIteratorNext(object_));
            if (!service) {
                return; // exhausted: nothing to drain
            }
            try {
                handler(service.object(), stop);
            } catch (...) {
                failure = std::current_exception();
            }
        } // the service is released here, whether the handler returned or threw
        if (failure) {
            drain();
            std::rethrow_exception(failure);
        }
        if (stop) {
            drain();
            return;
        }
    }
}

RegistryObject RegistryObject::matchingServices(std::optional<Dictionary> matching) {
    io_iterator_t iterator = 0;
    const IOReturn code = IOServiceGetMatchingServices(kIOMasterPortDefault, std::move(matching), &iterator);
    RegistryObject owned(iterator);
    if (code != ioreturn::success) {
        throw USBError(code);
    }
    return owned;
}

std::optional<Dictionary> RegistryObject::properties(io_object_t entry) {
    Dictionary table;
    if (IORegistryEntryCreateCFProperties(entry, &table, kCFAllocatorDefault, 0) != kIOReturnSuccess) {
        return std::nullopt;
    }
    return table;
}

std::optional<std::int64_t> RegistryObject::integerProperty(const Dictionary& properties,
                                                            const std::string& key) {
    const auto found = properties.find(key);
    if (found == properties.end()) {
        return std::nullopt;
    }
    if (const auto* number = std::get_if<std::int64_t>(&found->second)) {
        return *number;
    }
    return std::nullopt;
}

} // namespace tbx
