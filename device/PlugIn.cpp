#include "device/PlugIn.h"

#include "platform/iokit/PlugInIdentifiers.h"

namespace tbx {

using namespace tbx::iokit;

CFUUIDRef kIOUSBDeviceUserClientTypeID() {
    static const CFUUIDRef id = constantUUID(kUSBDeviceUserClientTypeBytes);
    return id;
}

CFUUIDRef kIOUSBInterfaceUserClientTypeID() {
    static const CFUUIDRef id = constantUUID(kUSBInterfaceUserClientTypeBytes);
    return id;
}

CFUUIDRef kIOCFPlugInInterfaceID() {
    static const CFUUIDRef id = constantUUID(kCFPlugInInterfaceBytes);
    return id;
}

CFUUIDRef kIOUSBDeviceInterfaceID650() {
    static const CFUUIDRef id = constantUUID(kUSBDeviceInterface650Bytes);
    return id;
}

CFUUIDRef kIOUSBInterfaceInterfaceID700() {
    static const CFUUIDRef id = constantUUID(kUSBInterfaceInterface700Bytes);
    return id;
}

template <DeviceBuild B>
std::pair<PlugIn<B>, std::int32_t> PlugIn<B>::create(io_service_t service, CFUUIDRef pluginType) {
    IOCFPlugInInterface** plugin = nullptr;
    SInt32 score = 0;
    const IOReturn code =
        IOCreatePlugInInterfaceForService(service, pluginType, kIOCFPlugInInterfaceID(), &plugin, &score);
    PlugIn owned(plugin);
    throwIfNotSuccess<B>(code, "func create ");
    if (!owned) {
        throw USBError(JqIOError::noPluginInterface);
    }
    return {std::move(owned), score};
}

template <DeviceBuild B>
void* PlugIn<B>::queryAndCreateInterface(CFUUIDRef interfaceType) const {
    LPVOID out = nullptr;
    HRESULT result = -1;
    if (hasTable()) {
        result = (*handle_)->QueryInterface(handle_, CFUUIDGetUUIDBytes(interfaceType), &out);
    }
    if (result != S_OK || out == nullptr) {
        throw USBError(JqIOError::couldNotQueryInterface);
    }
    return out;
}

template <DeviceBuild B>
PlugIn<B> PlugIn<B>::retain() const {
    if (!*this) {
        throw USBError(ioreturn::notOpen);
    }
    return PlugIn(addReference());
}

template <DeviceBuild B>
void* PlugIn<B>::interfaceOf(io_service_t service, CFUUIDRef pluginType, CFUUIDRef interfaceType,
                             JqIOError none) {
    void* out = nullptr;
    {
        // The plug-in lives for this scope only: it is given back as soon as it has been asked.
        const auto [plugin, score] = create(service, pluginType);
        (void)score;
        try {
            out = plugin.queryAndCreateInterface(interfaceType);
        } catch (const USBError&) {
            // The query's own error counts as no interface.
        }
    }
    if (out == nullptr) {
        throw USBError(none);
    }
    return out;
}

template class PlugIn<ScannerBuild>;
template class PlugIn<MonitorBuild>;

} // namespace tbx
