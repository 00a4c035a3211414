#include "sim/scanner/UsbScanner.h"

#include <deque>
#include <mutex>

namespace tbx::sim {

struct UsbScanner::State {
    explicit State(ScannerScript script) : engine(std::move(script)) {}

    std::mutex mutex;
    ScannerEngine engine;
    Bytes pendingCommand;
    std::deque<Bytes> replies;
    int vendorRequests = 0;
    int writes = 0;
    int failingWrite = 0;
    iokit::IOReturn failingCode = iokit::kIOReturnSuccess;
};

UsbScanner::UsbScanner(ScannerScript script, std::uint16_t productId, std::uint16_t vendorId)
    : state_(std::make_shared<State>(std::move(script))),
      device_(usb::Device::make(usb::bulkPairDevice(vendorId, productId, 1))) {
    auto state = state_;
    device_->onWrite(1, [state](const usb::WriteRecord& write) {
        std::lock_guard lock(state->mutex);
        if (++state->writes == state->failingWrite) {
            return state->failingCode;
        }
        auto& pending = state->pendingCommand;
        pending.insert(pending.end(), write.bytes.begin(), write.bytes.end());
        while (const std::size_t length = ScannerEngine::completeCommandLength(pending)) {
            if (auto reply = state->engine.handleCommand(std::span(pending).first(length))) {
                state->replies.push_back(std::move(*reply));
            }
            pending.erase(pending.begin(), pending.begin() + std::ptrdiff_t(length));
        }
        return iokit::kIOReturnSuccess;
    });
    device_->onRead(2, [state](const usb::ReadRequest&) {
        std::lock_guard lock(state->mutex);
        if (!state->replies.empty()) {
            usb::ReadResult result{.bytes = std::move(state->replies.front())};
            state->replies.pop_front();
            return result;
        }
        if (auto unit = state->engine.nextUnit(Framing::usb)) {
            return usb::ReadResult{.bytes = std::move(unit->bytes)};
        }
        if (state->engine.closed()) {
            return usb::ReadResult{.code = iokit::kIOReturnNoDevice}; // cut off: as a scanner that went away
        }
        return usb::ReadResult{.code = iokit::kIOUSBTransactionTimeout};
    });
    device_->onControl([state](const usb::ControlRecord& control) {
        std::lock_guard lock(state->mutex);
        ++state->vendorRequests;
        const auto answer = state->engine.handleVendorRequest(control.setup.bRequest);
        return usb::ControlAnswer{.data = Bytes(answer.begin(), answer.end())};
    });
}

void UsbScanner::failWrite(int number, iokit::IOReturn code) {
    std::lock_guard lock(state_->mutex);
    state_->failingWrite = number;
    state_->failingCode = code;
}

std::vector<std::string> UsbScanner::commandLog() const {
    std::lock_guard lock(state_->mutex);
    return state_->engine.commandLog();
}

std::vector<std::string> UsbScanner::commandTexts() const {
    std::lock_guard lock(state_->mutex);
    return state_->engine.commandTexts();
}

ScanSettings UsbScanner::settings() const {
    std::lock_guard lock(state_->mutex);
    return state_->engine.settings();
}

bool UsbScanner::sessionOpen() const {
    std::lock_guard lock(state_->mutex);
    return state_->engine.sessionOpen();
}

int UsbScanner::vendorRequests() const {
    std::lock_guard lock(state_->mutex);
    return state_->vendorRequests;
}

} // namespace tbx::sim
