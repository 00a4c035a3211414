// The exchanges with a USB printer that read its status: the vendor control
// request 4 on the default control pipe (a 512-byte answer of which the first
// three bytes count), and the "Status?" text command over the bulk pipes.
// Both open the printer found by vendor and product identifier and, when the
// record carries one, by its registry location, so that of two attached
// printers of the model each record reaches its own device. The handles are
// released on every path, the interface before the device.
#pragma once

#include "device/JqIOUSB.h"
#include "monitor/Printer.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace tbx {

inline constexpr std::size_t kUsbStatusAnswerSize = 512;
using UsbStatusBuffer = std::array<std::uint8_t, kUsbStatusAnswerSize>;

// The status request: device to host, vendor, recipient device (0xC0),
// request 4, value and index 0, length 512, time-outs 2000 ms without data and
// 3000 ms to completion; wLenDone starts at 255.
IOUSBDevRequestTO usbStatusRequest(UsbStatusBuffer& answer);

// Sends the status request to the printer and answers the number of answer
// bytes that arrived. Throws USBError when the device or its interface cannot
// be had or the request fails (the layer then writes "send control request not
// success").
std::size_t requestUsbStatus(const Printer& printer, UsbStatusBuffer& answer);

// Writes "Status?" to bulk pipe 1 and reads up to 300 bytes (at least one) from
// pipe 2, each with 0.3 s time-outs, inside an open interface. Writes
// "vid = <vendor the device reports>" and "usb data endpoint statuInfo = <text>".
// Throws USBError on any failure.
Bytes requestUsbDataStatus(const Printer& printer);

} // namespace tbx
