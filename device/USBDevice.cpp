#include "device/USBDevice.h"

#include "device/PlugIn.h"
#include "device/RegistryObject.h"

namespace tbx {

using namespace tbx::iokit;

namespace {

// What createInterfaceInterface answers: the whole list, or only its first entry.
std::vector<USBInterface<ScannerBuild>> interfaceListOf(std::vector<USBInterface<ScannerBuild>> all) {
    return all;
}

USBInterface<MonitorBuild> interfaceListOf(std::vector<USBInterface<MonitorBuild>> all) {
    return std::move(all.front());
}

} // namespace

template <DeviceBuild B>
Dictionary USBDevice<B>::matchingDictionary(std::optional<long> vendorIdentifier,
                                            std::optional<long> productIdentifier) {
    return matchingDictionary("IOUSBHostDevice", vendorIdentifier, productIdentifier);
}

template <DeviceBuild B>
Dictionary USBDevice<B>::matchingDictionary(const std::string& deviceClassName,
                                            std::optional<long> vendorIdentifier,
                                            std::optional<long> productIdentifier) {
    Dictionary dictionary = IOServiceMatching(deviceClassName.c_str()).value_or(Dictionary{});
    if (vendorIdentifier) {
        dictionary[kUSBVendorID] = static_cast<std::int64_t>(*vendorIdentifier);
    }
    if (productIdentifier) {
        dictionary[kUSBProductID] = static_cast<std::int64_t>(*productIdentifier);
    }
    return dictionary;
}

template <DeviceBuild B>
USBDevice<B> USBDevice<B>::create(long vendorIdentifier, long productIdentifier,
                                  std::optional<std::uint32_t> locationID) {
    Dictionary dictionary = matchingDictionary(vendorIdentifier, productIdentifier);
    if (locationID) {
        dictionary["locationID"] = static_cast<std::int64_t>(*locationID);
    }
    return create(std::move(dictionary));
}

template <DeviceBuild B>
USBDevice<B> USBDevice<B>::create(Dictionary dictionary) {
    io_iterator_t raw = 0;
    const IOReturn code = IOServiceGetMatchingServices(kIOMasterPortDefault, std::move(dictionary), &raw);
    const RegistryObject iterator(raw);
    throwIfNotSuccess<B>(code, "func create by matchingDictionary ");
    USBDevice device;
    iterator.enumerateServices([&](io_object_t service, bool& stop) {
        device = create(service);
        stop = true;
    });
    if (!device) {
        throw USBError(JqIOError::pluginHasNoUsbDeviceInterface);
    }
    return device;
}

template <DeviceBuild B>
USBDevice<B> USBDevice<B>::create(io_service_t service) {
    void* out = PlugIn<B>::interfaceOf(service, kIOUSBDeviceUserClientTypeID(), USBDeviceInterfaceID(),
                                       JqIOError::couldNotQueryUsbDeviceInterface);
    return USBDevice(static_cast<Handle>(out));
}

template <DeviceBuild B>
long USBDevice<B>::getVendorIdentifier() const {
    if (!*this) {
        throwNotOpen<B>("func getVendorId ");
    }
    UInt16 value = 0;
    if (hasTable()) {
        throwIfNotSuccess<B>((*handle_)->GetDeviceVendor(handle_, &value), "func getVendorId ");
    }
    return value;
}

template <DeviceBuild B>
long USBDevice<B>::getProductIdentifier() const {
    if (!*this) {
        throwNotOpen<B>("func getProductId ");
    }
    UInt16 value = 0;
    if (hasTable()) {
        throwIfNotSuccess<B>((*handle_)->GetDeviceProduct(handle_, &value), "func getProductId ");
    }
    return value;
}

template <DeviceBuild B>
InterfaceList<B> USBDevice<B>::createInterfaceInterface(long interfaceClass, long interfaceSubClass,
                                                        long interfaceProtocol, long alternateSetting) const {
    constexpr std::string_view label = "func createInterfaceInterface ";
    IOUSBFindInterfaceRequest request{
        searchArgument<B>(interfaceClass, label), searchArgument<B>(interfaceSubClass, label),
        searchArgument<B>(interfaceProtocol, label), searchArgument<B>(alternateSetting, label)};
    return createInterfaceInterface(request);
}

template <DeviceBuild B>
InterfaceList<B> USBDevice<B>::createInterfaceInterface(IOUSBFindInterfaceRequest request) const {
    constexpr std::string_view label = "func createInterfaceInterface ";
    if (!*this) {
        throwNotOpen<B>(label);
    }
    io_iterator_t raw = 0;
    const IOReturn code = hasTable() ? (*handle_)->CreateInterfaceIterator(handle_, &request, &raw) : 0;
    const RegistryObject iterator(raw);
    throwIfNotSuccess<B>(code, label);
    // The handles made before a failure go with the list.
    std::vector<USBInterface<B>> interfaces;
    iterator.enumerateServices([&](io_object_t service, bool& stop) {
        interfaces.push_back(USBInterface<B>::create(service));
        stop = !B::listsEveryInterface;
    });
    if (interfaces.empty()) {
        throw USBError(JqIOError::pluginHasNoUsbInterfaceInterface);
    }
    return interfaceListOf(std::move(interfaces));
}

template <DeviceBuild B>
void USBDevice<B>::open(bool seize) const {
    const std::string_view label = seize ? "func open-seize-true" : "func open-seize-false";
    if (!*this) {
        throwNotOpen<B>(label);
    }
    if (hasTable()) {
        throwIfNotSuccess<B>(
            seize ? (*handle_)->USBDeviceOpenSeize(handle_) : (*handle_)->USBDeviceOpen(handle_), label);
    }
}

template <DeviceBuild B>
void USBDevice<B>::close() const {
    if (!hasTable()) {
        return;
    }
    try {
        throwIfNotSuccess<B>((*handle_)->USBDeviceClose(handle_), "func close");
    } catch (const USBError&) {
        // Written above; a failed close changes nothing for the caller.
    }
}

template <DeviceBuild B>
void USBDevice<B>::openAndPerform(bool seize, const std::function<void()>& handler) const {
    open(seize);
    struct Closing {
        const USBDevice& device;
        ~Closing() { device.close(); }
    } closing{*this};
    handler();
}

template <DeviceBuild B>
void USBDevice<B>::reset() const {
    if (!*this) {
        throwNotOpen<B>("func reset ");
    }
    if (hasTable()) {
        throwIfNotSuccess<B>((*handle_)->ResetDevice(handle_), "func reset ");
    }
}

template <DeviceBuild B>
USBDevice<B> USBDevice<B>::retain() const {
    if (!*this) {
        throw USBError(ioreturn::notOpen);
    }
    return USBDevice(addReference());
}

template class USBDevice<ScannerBuild>;
template class USBDevice<MonitorBuild>;

} // namespace tbx
