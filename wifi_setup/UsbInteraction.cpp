#include "wifi_setup/UsbInteraction.h"

#include "device/JqIOUSB.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Print.h"
#include "wifi_setup/CommandText.h"

#include <stdexcept>
#include <utility>

namespace tbx {
namespace {

using Build = MonitorBuild;

long namedPipe(const PipeMap& pipes, const std::string& name) {
    const auto found = pipes.find(name);
    if (found == pipes.end()) {
        throw std::runtime_error("the interface has no " + name);
    }
    return found->second;
}

} // namespace

std::optional<std::string> usbInteraction(const std::string& cmd, long PID, long VID,
                                          std::optional<std::uint32_t> location) {
    const std::string shown = wifi::maskedCommand(cmd);
    print("run in usbInteraction and cmd = " + shown);
    std::optional<std::string> receivedMessage;
    try {
        // Both handles are given back on every way out of this scope.
        const auto device = USBDevice<Build>::create(VID, PID, location);
        const auto interface = device.createInterfaceInterface();
        interface.openAndPerform(false, [&] {
            const PipeMap pipes = interface.getPipes();
            const long writePipe = namedPipe(pipes, "writePipe");
            const long readPipe = namedPipe(pipes, "readPipe");
            interface.write(std::string_view(cmd), writePipe, 0.3, 0.3);
            print("usb commucation: write cmd = " + shown);
            const Bytes bytes = interface.readBytes({.minCount = 16,
                                                     .maxCount = 600,
                                                     .pipe = readPipe,
                                                     .noDataTimeout = 0.3,
                                                     .completionTimeout = 0.3});
            // A printer that pads its answer with NULs means only the text before them.
            receivedMessage = wifi::replyText(bytes);
            print("run in usbInteraction and cmd = " + shown +
                  " and receivedMessage =  " + wifi::optionalDescription(receivedMessage));
        });
    } catch (const std::exception&) {
        dispatch::Queue::main().async([] { print("function getIPInfoByUSB throws error"); });
    }
    return receivedMessage;
}

} // namespace tbx
