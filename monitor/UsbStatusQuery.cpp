#include "monitor/UsbStatusQuery.h"

#include "platform/foundation/Print.h"

#include <cstring>
#include <utility>

namespace tbx {

namespace {

using Device = USBDevice<MonitorBuild>;
using Interface = USBInterface<MonitorBuild>;

// Releases what it holds when the exchange ends, however it ends.
template <class Handle>
class Held {
public:
    explicit Held(Handle handle) : handle_(std::move(handle)) {}
    ~Held() { handle_.release(); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    const Handle& operator*() const { return handle_; }
    const Handle* operator->() const { return &handle_; }

private:
    Handle handle_;
};

Device openPrinterDevice(const Printer& printer) {
    auto matching = Device::matchingDictionary(printer.VID(), printer.PID());
    if (printer.usbLocation()) {
        matching["locationID"] = static_cast<std::int64_t>(*printer.usbLocation());
    }
    return Device::create(std::move(matching));
}

// The device's first interface; an empty handle counts as a failure, so a
// request never "succeeds" without reaching the printer.
Interface firstInterface(const Device& device) {
    Interface interface = device.createInterfaceInterface(0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF);
    if (!interface) {
        throw USBError(JqIOError::pluginHasNoUsbInterfaceInterface);
    }
    return interface;
}

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
    const Held<Device> device(openPrinterDevice(printer));
    const Held<Interface> interface(firstInterface(*device));
    return interface->sendControlRequest(usbStatusRequest(answer), 0, answer);
}

Bytes requestUsbDataStatus(const Printer& printer) {
    const Held<Device> device(openPrinterDevice(printer));
    print("vid = " + std::to_string(device->getVendorIdentifier()));
    const Held<Interface> interface(firstInterface(*device));
    Bytes received;
    interface->openAndPerform(false, [&] {
        interface->write(std::string_view("Status?"), 1, 0.3, 0.3);
        received = interface->readBytes(
            {.minCount = 1, .maxCount = 300, .pipe = 2, .noDataTimeout = 0.3, .completionTimeout = 0.3});
        const auto* text = reinterpret_cast<const char*>(received.data());
        print("usb data endpoint statuInfo = " + std::string(text, strnlen(text, received.size())));
    });
    return received;
}

} // namespace tbx
