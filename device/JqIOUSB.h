// The USB layer: operations on the platform's USB handles, each handle a
// move-only owner of what it holds.
//   RegistryObject      registry entries and iterators (device/RegistryObject.h)
//   NotificationPort    notification ports (device/NotificationPort.h)
//   PlugIn<B>           the plug-in step and its identifiers (device/PlugIn.h)
//   USBDevice<B>        device handles (device/USBDevice.h)
//   USBInterface<B>     interface handles and InterfaceSession (device/USBInterface.h)
// A handle's destructor gives back what it holds; `release()` does so early and
// may be called any number of times.
//
// Failures are thrown as `USBError` (device/IOReturn.h). The scanner build
// writes "error happened at <label> and error is: ..." before it throws a
// return code; the monitor build differs where each operation says
// (device/Build.h lists every difference).
//
// Arguments outside the platform's limits (a pipe index outside 0-255, a
// negative or oversized count, a negative, non-finite or oversized time-out, a
// search value outside 0-65535) are refused with kIOReturnBadArgument before
// any call is made.
#pragma once

#include "device/NotificationPort.h"
#include "device/PlugIn.h"
#include "device/RegistryObject.h"
#include "device/USBDevice.h"
#include "device/USBInterface.h"
#include "device/USBTypes.h"
