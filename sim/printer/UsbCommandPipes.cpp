#include "sim/printer/UsbCommandPipes.h"

#include <mutex>
#include <optional>

namespace tbx::sim {

void serveCommandPipes(usb::Device& device, std::shared_ptr<CommandResponder> responder, std::uint8_t outPipe,
                       std::uint8_t inPipe) {
    struct Pending {
        std::mutex mutex;
        std::optional<usb::Bytes> reply;
    };
    auto pending = std::make_shared<Pending>();
    device.onWrite(outPipe, [responder, pending](const usb::WriteRecord& write) {
        std::optional<usb::Bytes> reply = responder->answer(write.bytes);
        std::lock_guard lock(pending->mutex);
        pending->reply = std::move(reply);
        return iokit::kIOReturnSuccess;
    });
    device.onRead(inPipe, [pending](const usb::ReadRequest&) {
        std::lock_guard lock(pending->mutex);
        if (!pending->reply) {
            return usb::ReadResult{.code = iokit::kIOUSBTransactionTimeout};
        }
        usb::ReadResult result{.bytes = std::move(*pending->reply)};
        pending->reply.reset();
        return result;
    });
}

} // namespace tbx::sim
