// The libusb-1.0 backend of the IOKit stand-in: real USB devices on Linux.
// Services are libusb devices; pipe n of an interface is endpoint n - 1 of its
// current alternate setting (altsetting 0); interface open and close claim and
// release the interface; a seizing open first detaches a kernel driver; bulk,
// interrupt and control transfers go through libusb's synchronous calls, and
// libusb's errors become the platform's return codes (`ioReturnFromLibusb`).
// Arrivals and removals come from libusb's hot-plug API where the platform has
// it, else from polling the device list once a second.
// Left out: device strings (they need an open device), configuration changes.
#pragma once

#include "platform/iokit/Backend.h"

#include <memory>
#include <vector>

struct libusb_config_descriptor;

namespace tbx::iokit {

std::shared_ptr<Backend> makeLibusbBackend();

// The platform return code for a libusb result (0 and positive counts: success).
//   LIBUSB_ERROR_IO            -> kIOReturnIOError
//   LIBUSB_ERROR_INVALID_PARAM -> kIOReturnBadArgument
//   LIBUSB_ERROR_ACCESS        -> kIOReturnNotPrivileged
//   LIBUSB_ERROR_NO_DEVICE     -> kIOReturnNoDevice
//   LIBUSB_ERROR_NOT_FOUND     -> kIOReturnNotFound
//   LIBUSB_ERROR_BUSY          -> kIOReturnExclusiveAccess
//   LIBUSB_ERROR_TIMEOUT       -> kIOUSBTransactionTimeout
//   LIBUSB_ERROR_OVERFLOW      -> kIOReturnOverrun
//   LIBUSB_ERROR_PIPE          -> kIOUSBPipeStalled
//   LIBUSB_ERROR_INTERRUPTED   -> kIOReturnAborted
//   LIBUSB_ERROR_NO_MEM        -> kIOReturnNoMemory
//   LIBUSB_ERROR_NOT_SUPPORTED -> kIOReturnUnsupported
//   anything else              -> kIOReturnError
IOReturn ioReturnFromLibusb(int result);

// The interfaces of a configuration as the registry lists them: one per
// interface number, its first alternate setting, endpoints in descriptor order.
std::vector<InterfaceDescriptor> interfacesFromConfiguration(const libusb_config_descriptor& configuration);

// The libusb time-out for an IOKit pair: libusb has one time-out per transfer,
// so the completion time-out is used; 0 (no limit) falls back to the no-data
// time-out, and both 0 means no limit, as on the platform.
unsigned int libusbTimeout(UInt32 noDataTimeout, UInt32 completionTimeout);

} // namespace tbx::iokit
