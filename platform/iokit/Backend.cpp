#include "platform/iokit/Backend.h"

namespace tbx::iokit {

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

} // namespace tbx::iokit
