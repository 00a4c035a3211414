// The texts of the kernel and IOKit return codes the stand-in knows by name.
#include "platform/iokit/IOKitLib.h"

namespace tbx::iokit {

const char* mach_error_string(kern_return_t code) {
    struct Text {
        kern_return_t code;
        const char* text;
    };
    static constexpr Text texts[] = {
        {kIOReturnSuccess, "(os/kern) successful"},
        {kIOReturnError, "(iokit/common) general error"},
        {kIOReturnNoMemory, "(iokit/common) memory allocation error"},
        {kIOReturnNoResources, "(iokit/common) resource shortage"},
        {kIOReturnNoDevice, "(iokit/common) no such device"},
        {kIOReturnNotPrivileged, "(iokit/common) privilege violation"},
        {kIOReturnBadArgument, "(iokit/common) invalid argument"},
        {kIOReturnExclusiveAccess, "(iokit/common) exclusive access and device already open"},
        {kIOReturnUnsupported, "(iokit/common) unsupported function"},
        {kIOReturnInternalError, "(iokit/common) internal error"},
        {kIOReturnIOError, "(iokit/common) I/O error"},
        {kIOReturnNotOpen, "(iokit/common) device not open"},
        {kIOReturnBusy, "(iokit/common) device busy"},
        {kIOReturnTimeout, "(iokit/common) I/O timeout"},
        {kIOReturnNotAttached, "(iokit/common) device not attached"},
        {kIOReturnNotPermitted, "(iokit/common) not permitted"},
        {kIOReturnUnderrun, "(iokit/common) data underrun"},
        {kIOReturnOverrun, "(iokit/common) data overrun"},
        {kIOReturnAborted, "(iokit/common) operation aborted"},
        {kIOReturnNotResponding, "(iokit/common) device not responding"},
        {kIOReturnNotFound, "(iokit/common) data was not found"},
    };
    for (const auto& text : texts) {
        if (text.code == code) {
            return text.text;
        }
    }
    return nullptr;
}

} // namespace tbx::iokit
