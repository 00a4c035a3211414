// The plug-in step of the USB layer: the five plug-in identifiers and the
// plug-in handle (IOCFPlugInInterface**), a move-only owner of one reference
// whose destructor gives it back. The device and interface owners release
// every plug-in as soon as they have asked it for their interface.
#pragma once

#include "device/OwnedHandle.h"
#include "device/USBTypes.h"

#include <cstdint>
#include <utility>

namespace tbx {

// The five plug-in identifiers, each made once on first use.
iokit::CFUUIDRef kIOUSBDeviceUserClientTypeID();
iokit::CFUUIDRef kIOUSBInterfaceUserClientTypeID();
iokit::CFUUIDRef kIOCFPlugInInterfaceID();
iokit::CFUUIDRef kIOUSBDeviceInterfaceID650();
iokit::CFUUIDRef kIOUSBInterfaceInterfaceID700();
// The interface versions the layer asks for.
inline iokit::CFUUIDRef USBDeviceInterfaceID() {
    return kIOUSBDeviceInterfaceID650();
}
inline iokit::CFUUIDRef USBInterfaceInterfaceID() {
    return kIOUSBInterfaceInterfaceID700();
}

template <DeviceBuild B>
class PlugIn : public OwnedHandle<iokit::IOCFPlugInInterface> {
public:
    using OwnedHandle::OwnedHandle;

    // (plug-in, score). Label "func create "; no plug-in: `noPluginInterface`.
    static std::pair<PlugIn, std::int32_t> create(iokit::io_service_t service, iokit::CFUUIDRef pluginType);
    // The requested interface (a handle whose one reference the caller then
    // owns), or `couldNotQueryInterface` (also for an empty plug-in).
    void* queryAndCreateInterface(iokit::CFUUIDRef interfaceType) const;
    // A second owner; an empty plug-in: kIOReturnNotOpen.
    PlugIn retain() const;

    // The interface `interfaceType` of `service` through a plug-in of
    // `pluginType` that lives only for the call; a failed query counts as none
    // and throws `none`, as does a handle the plug-in did not give.
    static void* interfaceOf(iokit::io_service_t service, iokit::CFUUIDRef pluginType,
                             iokit::CFUUIDRef interfaceType, JqIOError none);
};

} // namespace tbx
