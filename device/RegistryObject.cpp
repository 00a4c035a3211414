#include "device/RegistryObject.h"

#include "device/IOReturn.h"

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
    while (RegistryObject service{IOIteratorNext(object_)}) {
        bool stop = false;
        try {
            handler(service.object(), stop);
        } catch (...) {
            service.release();
            drain();
            throw;
        }
        if (stop) {
            service.release();
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

} // namespace tbx
