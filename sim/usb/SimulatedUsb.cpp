#include "sim/usb/SimulatedUsb.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace tbx::sim::usb {

using namespace tbx::iokit;

DeviceConfig bulkPairDevice(std::uint16_t vendorId, std::uint16_t productId, std::uint8_t interfaceNumber) {
    DeviceConfig config;
    config.descriptor.vendorId = vendorId;
    config.descriptor.productId = productId;
    config.descriptor.manufacturer = "Zelk";
    config.descriptor.product = "Tamberlyx";
    config.descriptor.locationId = 0x01100000;
    InterfaceDescriptor interface;
    interface.number = interfaceNumber;
    interface.interfaceClass = 0xFF;
    interface.endpoints = {EndpointDescriptor{0x01, kUSBBulk, 512, 0},
                           EndpointDescriptor{0x82, kUSBBulk, 512, 0}};
    config.interfaces.push_back(interface);
    return config;
}

Device::Device(DeviceConfig config) : config_(std::move(config)) {
    idleRead_.code = kIOUSBTransactionTimeout;
}

void Device::queueRead(std::uint8_t pipe, ReadResult result) {
    std::lock_guard lock(mutex_);
    queuedReads_[pipe].push_back(std::move(result));
}

void Device::onRead(std::uint8_t pipe, std::function<ReadResult(const ReadRequest&)> handler) {
    std::lock_guard lock(mutex_);
    readHandlers_[pipe] = std::move(handler);
}

void Device::setIdleRead(ReadResult result) {
    std::lock_guard lock(mutex_);
    idleRead_ = std::move(result);
}

void Device::countTransfersOn(std::thread::id thread) {
    std::lock_guard lock(mutex_);
    countedThread_ = thread;
    transfersCounted_ = 0;
}

int Device::transfersCounted() const {
    std::lock_guard lock(mutex_);
    return transfersCounted_;
}

void Device::noteTransfer() {
    if (countedThread_ != std::thread::id() && std::this_thread::get_id() == countedThread_) {
        ++transfersCounted_;
    }
}

void Device::holdReads(bool hold) {
    {
        std::lock_guard lock(mutex_);
        readsHeld_ = hold;
    }
    readsLetGo_.notify_all();
}

void Device::setTimeoutsTakeTime(bool takeTime) {
    std::lock_guard lock(mutex_);
    timeoutsTakeTime_ = takeTime;
}

void Device::queueWriteResult(std::uint8_t pipe, IOReturn code) {
    std::lock_guard lock(mutex_);
    queuedWrites_[pipe].push_back(code);
}

void Device::onWrite(std::uint8_t pipe, std::function<IOReturn(const WriteRecord&)> handler) {
    std::lock_guard lock(mutex_);
    writeHandlers_[pipe] = std::move(handler);
}

void Device::queueControl(ControlAnswer answer) {
    std::lock_guard lock(mutex_);
    queuedControls_.push_back(std::move(answer));
}

void Device::onControl(std::function<ControlAnswer(const ControlRecord&)> handler) {
    std::lock_guard lock(mutex_);
    controlHandler_ = std::move(handler);
}

void Device::injectFault(Step step, Fault fault) {
    std::lock_guard lock(mutex_);
    faults_.emplace(step, fault);
}

void Device::clearFaults() {
    std::lock_guard lock(mutex_);
    faults_.clear();
}

std::vector<WriteRecord> Device::writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
}

std::vector<ReadRequest> Device::reads() const {
    std::lock_guard lock(mutex_);
    return reads_;
}

std::vector<ControlRecord> Device::controlRequests() const {
    std::lock_guard lock(mutex_);
    return controls_;
}

void Device::clearLogs() {
    std::lock_guard lock(mutex_);
    writes_.clear();
    reads_.clear();
    controls_.clear();
}

Stats Device::stats() const {
    std::lock_guard lock(mutex_);
    return stats_;
}

bool Device::isDeviceOpen() const {
    std::lock_guard lock(mutex_);
    return deviceOpen_;
}

bool Device::isInterfaceOpen(std::uint8_t number) const {
    std::lock_guard lock(mutex_);
    auto found = interfaceOpen_.find(number);
    return found != interfaceOpen_.end() && found->second;
}

bool Device::isPlugged() const {
    std::lock_guard lock(mutex_);
    return plugged_;
}

void Device::setPlugged(bool plugged) {
    std::lock_guard lock(mutex_);
    plugged_ = plugged;
    if (!plugged) {
        deviceOpen_ = false;
        interfaceOpen_.clear();
    }
}

// Caller holds mutex_.
std::optional<IOReturn> Device::takeFault(Step step, std::optional<std::uint8_t> pipe,
                                          std::optional<ServiceKind> kind,
                                          std::optional<std::uint8_t> interfaceNumber) const {
    auto [first, last] = faults_.equal_range(step);
    for (auto it = first; it != last; ++it) {
        Fault& fault = it->second;
        if ((fault.pipe && fault.pipe != pipe) || (fault.kind && fault.kind != kind) ||
            (fault.interfaceNumber && fault.interfaceNumber != interfaceNumber)) {
            continue;
        }
        if (fault.after > 0) {
            --fault.after; // this call still passes
            return std::nullopt;
        }
        IOReturn code = fault.code;
        if (fault.times > 0 && --fault.times == 0) {
            faults_.erase(it);
        }
        return code;
    }
    return std::nullopt;
}

DeviceDescriptor Device::descriptor() const {
    return config_.descriptor;
}

std::vector<InterfaceDescriptor> Device::interfaces() const {
    return config_.interfaces;
}

IOReturn Device::properties(const InterfaceDescriptor* interface, Dictionary& out) const {
    BackendDevice::properties(interface, out);
    if (interface == nullptr) {
        for (const auto& [key, value] : config_.propertyOverrides) {
            out[key] = value;
        }
    }
    return kIOReturnSuccess;
}

IOReturn Device::copyProperties(const InterfaceDescriptor* interface, Dictionary& out) const {
    {
        std::lock_guard lock(mutex_);
        auto kind = interface == nullptr ? ServiceKind::device : ServiceKind::interface;
        std::optional<std::uint8_t> number;
        if (interface != nullptr) {
            number = interface->number;
        }
        if (auto fault = takeFault(Step::properties, std::nullopt, kind, number)) {
            return *fault;
        }
    }
    return properties(interface, out);
}

IOReturn Device::createPlugIn(ServiceKind kind, std::uint8_t interfaceNumber, bool& provide) {
    std::lock_guard lock(mutex_);
    provide = true;
    if (!plugged_) {
        return kIOReturnNoDevice;
    }
    if (auto fault = takeFault(Step::plugIn, std::nullopt, kind, interfaceNumber)) {
        provide = false;
        return *fault;
    }
    return kIOReturnSuccess;
}

bool Device::queryInterface(ServiceKind kind, std::uint8_t interfaceNumber) {
    std::lock_guard lock(mutex_);
    return plugged_ && !takeFault(Step::query, std::nullopt, kind, interfaceNumber).has_value();
}

IOReturn Device::openDevice(bool seize) {
    std::lock_guard lock(mutex_);
    if (!plugged_) {
        return kIOReturnNoDevice;
    }
    if (auto fault = takeFault(Step::deviceOpen, std::nullopt, ServiceKind::device, std::nullopt)) {
        return *fault;
    }
    if (deviceOpen_ && !seize) {
        return kIOReturnExclusiveAccess;
    }
    deviceOpen_ = true;
    ++stats_.deviceOpens;
    return kIOReturnSuccess;
}

IOReturn Device::closeDevice() {
    std::lock_guard lock(mutex_);
    ++stats_.deviceCloses;
    deviceOpen_ = false;
    if (auto fault = takeFault(Step::deviceClose, std::nullopt, ServiceKind::device, std::nullopt)) {
        return *fault;
    }
    return plugged_ ? kIOReturnSuccess : kIOReturnNoDevice;
}

IOReturn Device::resetDevice() {
    std::lock_guard lock(mutex_);
    if (!plugged_) {
        return kIOReturnNoDevice;
    }
    if (auto fault = takeFault(Step::deviceReset, std::nullopt, ServiceKind::device, std::nullopt)) {
        return *fault;
    }
    ++stats_.deviceResets;
    return kIOReturnSuccess;
}

IOReturn Device::openInterface(std::uint8_t number, bool seize) {
    std::lock_guard lock(mutex_);
    if (!plugged_) {
        return kIOReturnNoDevice;
    }
    if (auto fault = takeFault(Step::interfaceOpen, std::nullopt, ServiceKind::interface, number)) {
        return *fault;
    }
    if (interfaceOpen_[number] && !seize) {
        return kIOReturnExclusiveAccess;
    }
    interfaceOpen_[number] = true;
    ++stats_.interfaceOpens;
    return kIOReturnSuccess;
}

IOReturn Device::closeInterface(std::uint8_t number) {
    std::lock_guard lock(mutex_);
    ++stats_.interfaceCloses;
    interfaceOpen_[number] = false;
    if (auto fault = takeFault(Step::interfaceClose, std::nullopt, ServiceKind::interface, number)) {
        return *fault;
    }
    return plugged_ ? kIOReturnSuccess : kIOReturnNoDevice;
}

IOReturn Device::pipeProperties(const InterfaceDescriptor& interface, std::uint8_t pipe,
                                PipeProperties& out) {
    {
        std::lock_guard lock(mutex_);
        if (!plugged_) {
            return kIOReturnNoDevice;
        }
        if (auto fault = takeFault(Step::pipeProperties, pipe, ServiceKind::interface, interface.number)) {
            return *fault;
        }
    }
    return BackendDevice::pipeProperties(interface, pipe, out);
}

IOReturn Device::pipeStatus(const InterfaceDescriptor& interface, std::uint8_t pipe) {
    std::lock_guard lock(mutex_);
    if (!plugged_) {
        return kIOReturnNoDevice;
    }
    if (auto fault = takeFault(Step::pipeStatus, pipe, ServiceKind::interface, interface.number)) {
        return *fault;
    }
    return kIOReturnSuccess;
}

IOReturn Device::readPipe(const InterfaceDescriptor& interface, std::uint8_t pipe,
                          std::span<std::uint8_t> buffer, std::uint32_t& length, std::uint32_t noDataTimeout,
                          std::uint32_t completionTimeout) {
    ReadRequest request{interface.number, pipe, static_cast<std::uint32_t>(buffer.size()), noDataTimeout,
                        completionTimeout};
    ReadResult result;
    std::function<ReadResult(const ReadRequest&)> handler;
    bool takeTime = false;
    {
        std::unique_lock lock(mutex_);
        if (!plugged_) {
            return kIOReturnNoDevice;
        }
        reads_.push_back(request);
        noteTransfer();
        readsLetGo_.wait(lock, [this] { return !readsHeld_; });
        takeTime = timeoutsTakeTime_;
        if (auto fault = takeFault(Step::read, pipe, ServiceKind::interface, interface.number)) {
            result = ReadResult{*fault, {}, std::nullopt, false};
        } else if (auto& queue = queuedReads_[pipe]; !queue.empty()) {
            result = std::move(queue.front());
            queue.pop_front();
        } else if (auto found = readHandlers_.find(pipe); found != readHandlers_.end() && found->second) {
            handler = found->second;
        } else {
            result = idleRead_;
        }
    }
    if (handler) {
        result = handler(request);
    }
    if (takeTime && (result.code == kIOUSBTransactionTimeout || result.code == kIOReturnTimeout)) {
        std::uint32_t wait = completionTimeout != 0 ? completionTimeout : noDataTimeout;
        std::this_thread::sleep_for(std::chrono::milliseconds(wait));
    }
    std::size_t copied = std::min(result.bytes.size(), buffer.size());
    if (copied > 0) {
        std::memcpy(buffer.data(), result.bytes.data(), copied);
    }
    if (!result.keepLength) {
        length = result.reportedLength.value_or(static_cast<std::uint32_t>(copied));
    }
    return result.code;
}

IOReturn Device::writePipe(const InterfaceDescriptor& interface, std::uint8_t pipe,
                           std::span<const std::uint8_t> data, std::uint32_t noDataTimeout,
                           std::uint32_t completionTimeout) {
    WriteRecord record{interface.number, pipe, Bytes(data.begin(), data.end()), noDataTimeout,
                       completionTimeout};
    std::function<IOReturn(const WriteRecord&)> handler;
    {
        std::lock_guard lock(mutex_);
        if (!plugged_) {
            return kIOReturnNoDevice;
        }
        writes_.push_back(record);
        noteTransfer();
        if (auto fault = takeFault(Step::write, pipe, ServiceKind::interface, interface.number)) {
            return *fault;
        }
        if (auto& queue = queuedWrites_[pipe]; !queue.empty()) {
            IOReturn code = queue.front();
            queue.pop_front();
            return code;
        }
        if (auto found = writeHandlers_.find(pipe); found != writeHandlers_.end()) {
            handler = found->second;
        }
    }
    return handler ? handler(record) : kIOReturnSuccess;
}

IOReturn Device::controlRequest(const InterfaceDescriptor* interface, std::uint8_t pipe,
                                const ControlSetup& setup, std::span<std::uint8_t> data, std::uint32_t& done,
                                std::uint32_t noDataTimeout, std::uint32_t completionTimeout) {
    done = 0;
    ControlRecord record;
    if (interface != nullptr) {
        record.interfaceNumber = interface->number;
    }
    record.pipe = pipe;
    record.setup = setup;
    if (!setup.deviceToHost()) {
        record.dataOut.assign(data.begin(), data.end());
    }
    record.noDataTimeout = noDataTimeout;
    record.completionTimeout = completionTimeout;
    ControlAnswer answer;
    std::function<ControlAnswer(const ControlRecord&)> handler;
    {
        std::lock_guard lock(mutex_);
        if (!plugged_) {
            return kIOReturnNoDevice;
        }
        controls_.push_back(record);
        noteTransfer();
        auto kind = interface == nullptr ? ServiceKind::device : ServiceKind::interface;
        if (auto fault = takeFault(Step::control, pipe, kind, record.interfaceNumber)) {
            return *fault;
        }
        if (!queuedControls_.empty()) {
            answer = std::move(queuedControls_.front());
            queuedControls_.pop_front();
        } else if (controlHandler_) {
            handler = controlHandler_;
        } else {
            return kIOUSBPipeStalled;
        }
    }
    if (handler) {
        answer = handler(record);
    }
    if (setup.deviceToHost()) {
        std::size_t copied = std::min(answer.data.size(), data.size());
        if (copied > 0) {
            std::memcpy(data.data(), answer.data.data(), copied);
        }
        done = static_cast<std::uint32_t>(copied);
    } else if (answer.code == kIOReturnSuccess) {
        done = static_cast<std::uint32_t>(data.size());
    }
    return answer.code;
}

IOReturn Device::clearPipeStall(const InterfaceDescriptor& interface, std::uint8_t pipe, bool) {
    std::lock_guard lock(mutex_);
    if (!plugged_) {
        return kIOReturnNoDevice;
    }
    if (auto fault = takeFault(Step::clearStall, pipe, ServiceKind::interface, interface.number)) {
        return *fault;
    }
    ++stats_.stallClears;
    return kIOReturnSuccess;
}

IOReturn Device::resetPipe(const InterfaceDescriptor& interface, std::uint8_t pipe) {
    std::lock_guard lock(mutex_);
    if (!plugged_) {
        return kIOReturnNoDevice;
    }
    if (auto fault = takeFault(Step::resetPipe, pipe, ServiceKind::interface, interface.number)) {
        return *fault;
    }
    ++stats_.pipeResets;
    return kIOReturnSuccess;
}

// ---- Bus ------------------------------------------------------------------

std::shared_ptr<Bus> Bus::install() {
    auto bus = std::make_shared<Bus>();
    setBackend(bus);
    return bus;
}

void Bus::registerFactory() {
    registerBackendFactory("sim", [] { return std::make_shared<Bus>(); });
}

std::shared_ptr<Bus> Bus::current() {
    return std::dynamic_pointer_cast<Bus>(currentBackend());
}

void Bus::plug(const std::shared_ptr<Device>& device) {
    DeviceSink* sink = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (std::find(devices_.begin(), devices_.end(), device) != devices_.end()) {
            return;
        }
        devices_.push_back(device);
        sink = sink_;
    }
    device->setPlugged(true);
    if (sink != nullptr) {
        sink->attach(device);
    }
}

void Bus::unplug(const std::shared_ptr<Device>& device) {
    DeviceSink* sink = nullptr;
    {
        std::lock_guard lock(mutex_);
        auto found = std::find(devices_.begin(), devices_.end(), device);
        if (found == devices_.end()) {
            return;
        }
        devices_.erase(found);
        sink = sink_;
    }
    device->setPlugged(false);
    if (sink != nullptr) {
        sink->detach(device);
    }
}

void Bus::unplugAll() {
    for (auto& device : devices()) {
        unplug(device);
    }
}

std::vector<std::shared_ptr<Device>> Bus::devices() const {
    std::lock_guard lock(mutex_);
    return devices_;
}

void Bus::start(DeviceSink& sink) {
    std::vector<std::shared_ptr<Device>> present;
    {
        std::lock_guard lock(mutex_);
        sink_ = &sink;
        present = devices_;
    }
    for (auto& device : present) {
        sink.attach(device);
    }
}

void Bus::stop() {
    std::lock_guard lock(mutex_);
    sink_ = nullptr;
}

} // namespace tbx::sim::usb
