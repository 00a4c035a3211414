#include "monitor/UsbStatusQuery.h"

#include "platform/foundation/Print.h"

#include <cstring>
#include <utility>

namespace tbx {

namespace {

using Device = USBDevice<MonitorBuild>;
using Interface = USBInterface<MonitorBuild>;

} // namespace

IOUSBDevRequestTO usbStatusRequest(UsbStatusBuffer& answer) {
    IOUSBDevRequestTO request{};
    request.bmRequestType = 0xC0;
    request.bRequest = 4;
    request.wValue = 0;
    request.wIndex = 0;
    request.wLength = static_cast<std::uint16_t>(kUsbStatusAnswerSize);
    request.pData = answer.data();
    request.wLenDone = 255;
    request.noDataTimeout = 2000;
    request.completionTimeout = 3000;
    return request;
}

std::size_t requestUsbStatus(const Printer& printer, UsbStatusBuffer& answer) {
    answer.fill(0);
    // Both handles are given back when the exchange ends, however it ends.
    const Device device = Device::create(printer.VID(), printer.PID(), printer.usbLocation());
    const Interface interface = device.createInterfaceInterface();
    return interface.sendControlRequest(usbStatusRequest(answer), 0, answer);
}

Bytes requestUsbDataStatus(const Printer& printer) {
    const Device device = Device::create(printer.VID(), printer.PID(), printer.usbLocation());
    print("vid = " + std::to_string(device.getVendorIdentifier()));
    const Interface interface = device.createInterfaceInterface();
    Bytes received;
    interface.openAndPerform(false, [&] {
        interface.write(std::string_view("Status?"), 1, 0.3, 0.3);
        received = interface.readBytes(
            {.minCount = 1, .maxCount = 300, .pipe = 2, .noDataTimeout = 0.3, .completionTimeout = 0.3});
        const auto* text = reinterpret_cast<const char*>(received.data());
        print("usb data endpoint statuInfo = " + std::string(text, strnlen(text, received.size())));
    });
    return received;
}

} // namespace tbx
