// The USB device-list observer: reports the arrival ("IOServiceFirstMatch") and
// removal ("IOServiceTerminate") of USB devices that match a dictionary, on a
// queue of the caller's choice. Start one with one of the three
// `USBDevice<B>::observeDeviceList` operations (declared in device/JqIOUSB.h);
// keep the returned object as long as reports are wanted.
//
//   auto observer = USBDevice<ScannerBuild>::observeDeviceList(
//       0x356C, 0x37, [](const std::string& name, io_object_t service) { ... },
//       {.queue = dispatch::Queue::main()});
//
// The notification port delivers on the observer's own serial queue,
// "_USBDeviceListObserver_observing"; every drain of a notification iterator and
// every handler call runs on the callback queue. Devices already present are
// reported once, asynchronously, under "IOServiceFirstMatch". A registration the
// platform refuses makes the call throw that return code (both builds).
#pragma once

#include "device/JqIOUSB.h"

namespace tbx {

// The label of the observer's own queue.
inline constexpr const char* kObservingQueueLabel = "_USBDeviceListObserver_observing";

} // namespace tbx
