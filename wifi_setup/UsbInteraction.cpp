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

// Releases a device or interface object on every way out of its scope.
template <class Object>
class Released {
public:
    explicit Released(Object object) : object_(std::move(object)) {}
    ~Released() { object_.release(); }
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;
    Object& operator*() { return object_; }
    Object* operator->() { return &object_; }

private:
    Object object_;
};

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
        iokit::Dictionary matching = USBDevice<Build>::matchingDictionary(VID, PID);
        if (location) {
            matching["locationID"] = static_cast<std::int64_t>(*location);
        }
        Released<USBDevice<Build>> device(USBDevice<Build>::create(std::move(matching)));
        Released<USBInterface<Build>> interface(
            device->createInterfaceInterface(0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF));
        if (!*interface) {
            throw std::runtime_error("the printer offers no interface");
        }
        interface->openAndPerform(false, [&] {
            const PipeMap pipes = interface->getPipes();
            const long writePipe = namedPipe(pipes, "writePipe");
            const long readPipe = namedPipe(pipes, "readPipe");
            interface->write(std::string_view(cmd), writePipe, 0.3, 0.3);
            print("usb commucation: write cmd = " + shown);
            const Bytes bytes = interface->readBytes({.minCount = 16,
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
