#include "sim/printer/UsbPrinter.h"

#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace tbx::sim {

struct UsbPrinter::State {
    mutable std::mutex mutex;
    std::uint16_t code = 1;
    std::uint8_t toner = 80;
    Misbehaviour misbehaviour = Misbehaviour::none;
    std::size_t shortLength = 1;
    std::chrono::milliseconds timeoutDelay{0};
    int statusRequests = 0;
    int badRequests = 0;
};

namespace {

bool isStatusRequest(const usb::ControlRecord& control) {
    const auto& setup = control.setup;
    return control.interfaceNumber.has_value() && control.pipe == 0 && setup.bmRequestType == 0xC0 &&
           setup.bRequest == 4 && setup.wValue == 0 && setup.wIndex == 0 && setup.wLength == 512 &&
           control.noDataTimeout == 2000 && control.completionTimeout == 3000;
}

} // namespace

UsbPrinter::UsbPrinter() : UsbPrinter(Options{}) {}

UsbPrinter::UsbPrinter(Options options) : state_(std::make_shared<State>()) {
    auto config = usb::bulkPairDevice(options.vendorId, options.productId);
    config.descriptor.locationId = options.location;
    config.descriptor.manufacturer = "Zelk";
    config.descriptor.product = "Tamberlyx";
    device_ = usb::Device::make(std::move(config));
    state_->code = options.statusCode;
    state_->toner = options.toner;

    auto state = state_;
    device_->onControl([state](const usb::ControlRecord& control) {
        std::unique_lock lock(state->mutex);
        if (!isStatusRequest(control)) {
            ++state->badRequests;
            return usb::ControlAnswer{.code = iokit::kIOUSBPipeStalled};
        }
        ++state->statusRequests;
        switch (state->misbehaviour) {
        case Misbehaviour::stall:
            return usb::ControlAnswer{.code = iokit::kIOUSBPipeStalled};
        case Misbehaviour::timeout: {
            const auto delay = state->timeoutDelay;
            lock.unlock();
            std::this_thread::sleep_for(delay);
            return usb::ControlAnswer{.code = iokit::kIOUSBTransactionTimeout};
        }
        case Misbehaviour::shortAnswer:
        case Misbehaviour::none:
            break;
        }
        usb::Bytes answer{static_cast<std::uint8_t>(state->code & 0xFF),
                          static_cast<std::uint8_t>(state->code >> 8), state->toner};
        if (state->misbehaviour == Misbehaviour::shortAnswer) {
            answer.resize(std::min(state->shortLength, answer.size()));
        }
        return usb::ControlAnswer{.data = std::move(answer)};
    });
}

void UsbPrinter::setStatus(std::uint16_t code, std::uint8_t toner) {
    std::lock_guard lock(state_->mutex);
    state_->code = code;
    state_->toner = toner;
}

std::uint16_t UsbPrinter::statusCode() const {
    std::lock_guard lock(state_->mutex);
    return state_->code;
}

std::uint8_t UsbPrinter::toner() const {
    std::lock_guard lock(state_->mutex);
    return state_->toner;
}

void UsbPrinter::misbehave(Misbehaviour misbehaviour, std::size_t shortLength) {
    std::lock_guard lock(state_->mutex);
    state_->misbehaviour = misbehaviour;
    state_->shortLength = shortLength;
}

void UsbPrinter::setTimeoutDelay(std::chrono::milliseconds delay) {
    std::lock_guard lock(state_->mutex);
    state_->timeoutDelay = delay;
}

int UsbPrinter::statusRequests() const {
    std::lock_guard lock(state_->mutex);
    return state_->statusRequests;
}

int UsbPrinter::badRequests() const {
    std::lock_guard lock(state_->mutex);
    return state_->badRequests;
}

std::shared_ptr<UsbPrinter> simulatedPrinterFromEnvironment() {
    const char* wanted = std::getenv("TAMBERLYX_SIMULATED_PRINTER");
    if (wanted == nullptr || *wanted == '\0') {
        return nullptr;
    }
    if (std::string(wanted) != "usb") {
        throw std::invalid_argument(std::string("TAMBERLYX_SIMULATED_PRINTER: unknown printer \"") + wanted +
                                    "\" (known: usb)");
    }
    auto printer = std::make_shared<UsbPrinter>();
    usb::Bus::install()->plug(printer->device());
    return printer;
}

} // namespace tbx::sim
