#include "platform/iokit/LibusbBackend.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <libusb.h>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace tbx::iokit {

IOReturn ioReturnFromLibusb(int result) {
    if (result >= 0) {
        return kIOReturnSuccess;
    }
    switch (result) {
    case LIBUSB_ERROR_IO:
        return kIOReturnIOError;
    case LIBUSB_ERROR_INVALID_PARAM:
        return kIOReturnBadArgument;
    case LIBUSB_ERROR_ACCESS:
        return kIOReturnNotPrivileged;
    case LIBUSB_ERROR_NO_DEVICE:
        return kIOReturnNoDevice;
    case LIBUSB_ERROR_NOT_FOUND:
        return kIOReturnNotFound;
    case LIBUSB_ERROR_BUSY:
        return kIOReturnExclusiveAccess;
    case LIBUSB_ERROR_TIMEOUT:
        return kIOUSBTransactionTimeout;
    case LIBUSB_ERROR_OVERFLOW:
        return kIOReturnOverrun;
    case LIBUSB_ERROR_PIPE:
        return kIOUSBPipeStalled;
    case LIBUSB_ERROR_INTERRUPTED:
        return kIOReturnAborted;
    case LIBUSB_ERROR_NO_MEM:
        return kIOReturnNoMemory;
    case LIBUSB_ERROR_NOT_SUPPORTED:
        return kIOReturnUnsupported;
    default:
        return kIOReturnError;
    }
}

std::vector<InterfaceDescriptor> interfacesFromConfiguration(const libusb_config_descriptor& configuration) {
    std::vector<InterfaceDescriptor> interfaces;
    for (int i = 0; i < configuration.bNumInterfaces; ++i) {
        const libusb_interface& interface = configuration.interface[i];
        if (interface.num_altsetting < 1 || interface.altsetting == nullptr) {
            continue;
        }
        const libusb_interface_descriptor& setting = interface.altsetting[0];
        InterfaceDescriptor descriptor;
        descriptor.number = setting.bInterfaceNumber;
        descriptor.alternateSetting = setting.bAlternateSetting;
        descriptor.interfaceClass = setting.bInterfaceClass;
        descriptor.interfaceSubClass = setting.bInterfaceSubClass;
        descriptor.interfaceProtocol = setting.bInterfaceProtocol;
        for (int e = 0; e < setting.bNumEndpoints && setting.endpoint != nullptr; ++e) {
            const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
            descriptor.endpoints.push_back(EndpointDescriptor{endpoint.bEndpointAddress,
                                                              endpoint.bmAttributes, endpoint.wMaxPacketSize,
                                                              endpoint.bInterval});
        }
        interfaces.push_back(std::move(descriptor));
    }
    return interfaces;
}

unsigned int libusbTimeout(UInt32 noDataTimeout, UInt32 completionTimeout) {
    return completionTimeout != 0 ? completionTimeout : noDataTimeout;
}

namespace {

struct Context {
    libusb_context* context = nullptr;
    ~Context() {
        if (context != nullptr) {
            libusb_exit(context);
        }
    }
};

class LibusbDevice final : public BackendDevice {
public:
    LibusbDevice(std::shared_ptr<Context> context, libusb_device* device)
        : context_(std::move(context)), device_(libusb_ref_device(device)) {
        libusb_device_descriptor d{};
        libusb_get_device_descriptor(device_, &d);
        descriptor_.vendorId = d.idVendor;
        descriptor_.productId = d.idProduct;
        descriptor_.releaseNumber = d.bcdDevice;
        descriptor_.deviceClass = d.bDeviceClass;
        descriptor_.deviceSubClass = d.bDeviceSubClass;
        descriptor_.deviceProtocol = d.bDeviceProtocol;
        descriptor_.numConfigurations = d.bNumConfigurations;
        descriptor_.address = libusb_get_device_address(device_);
        // The platform's location: bus in the top byte, then one nibble per port.
        UInt32 location = static_cast<UInt32>(libusb_get_bus_number(device_)) << 24;
        std::uint8_t ports[8];
        int depth = libusb_get_port_numbers(device_, ports, sizeof ports);
        for (int i = 0; i < depth && i < 6; ++i) {
            location |= static_cast<UInt32>(ports[i] & 0x0F) << (20 - 4 * i);
        }
        descriptor_.locationId = location;
        libusb_config_descriptor* configuration = nullptr;
        if (libusb_get_active_config_descriptor(device_, &configuration) == 0 ||
            libusb_get_config_descriptor(device_, 0, &configuration) == 0) {
            interfaces_ = interfacesFromConfiguration(*configuration);
            libusb_free_config_descriptor(configuration);
        }
    }

    ~LibusbDevice() override {
        if (handle_ != nullptr) {
            for (UInt8 number : claimed_) {
                libusb_release_interface(handle_, number);
            }
            libusb_close(handle_);
        }
        libusb_unref_device(device_);
    }

    libusb_device* device() const { return device_; }

    DeviceDescriptor descriptor() const override { return descriptor_; }
    std::vector<InterfaceDescriptor> interfaces() const override { return interfaces_; }

    IOReturn openDevice(bool seize) override {
        IOReturn code = acquire();
        if (code == kIOReturnSuccess && seize) {
            libusb_set_auto_detach_kernel_driver(handle_, 1);
        }
        return code;
    }

    IOReturn closeDevice() override {
        relinquish();
        return kIOReturnSuccess;
    }

    IOReturn resetDevice() override {
        libusb_device_handle* handle = currentHandle();
        return handle == nullptr ? kIOReturnNotOpen : ioReturnFromLibusb(libusb_reset_device(handle));
    }

    IOReturn openInterface(UInt8 number, bool seize) override {
        IOReturn code = acquire();
        if (code != kIOReturnSuccess) {
            return code;
        }
        std::lock_guard lock(mutex_);
        if (seize && libusb_kernel_driver_active(handle_, number) == 1) {
            libusb_detach_kernel_driver(handle_, number);
        }
        int result = libusb_claim_interface(handle_, number);
        if (result != 0) {
            relinquishLocked();
            return ioReturnFromLibusb(result);
        }
        claimed_.insert(number);
        return kIOReturnSuccess;
    }

    IOReturn closeInterface(UInt8 number) override {
        std::lock_guard lock(mutex_);
        if (handle_ != nullptr && claimed_.erase(number) != 0) {
            libusb_release_interface(handle_, number);
        }
        relinquishLocked();
        return kIOReturnSuccess;
    }

    IOReturn pipeStatus(const InterfaceDescriptor& interface, UInt8 pipe) override {
        const EndpointDescriptor* endpoint = endpointForPipe(interface, pipe);
        libusb_device_handle* handle = currentHandle();
        if (endpoint == nullptr || handle == nullptr) {
            return endpoint == nullptr ? kIOUSBUnknownPipeErr : kIOReturnNotOpen;
        }
        unsigned char status[2] = {0, 0};
        int result =
            libusb_control_transfer(handle, 0x82 /* IN, standard, endpoint */, LIBUSB_REQUEST_GET_STATUS, 0,
                                    endpoint->address, status, 2, 1000);
        if (result < 0) {
            return ioReturnFromLibusb(result);
        }
        return (status[0] & 0x01) != 0 ? kIOUSBPipeStalled : kIOReturnSuccess;
    }

    IOReturn readPipe(const InterfaceDescriptor& interface, UInt8 pipe, std::span<UInt8> buffer,
                      UInt32& length, UInt32 noDataTimeout, UInt32 completionTimeout) override {
        length = 0;
        return transfer(interface, pipe, buffer.data(), buffer.size(), length, noDataTimeout,
                        completionTimeout);
    }

    IOReturn writePipe(const InterfaceDescriptor& interface, UInt8 pipe, std::span<const UInt8> data,
                       UInt32 noDataTimeout, UInt32 completionTimeout) override {
        UInt32 length = 0;
        // libusb takes a mutable buffer for both directions; it does not write to an OUT buffer.
        return transfer(interface, pipe, const_cast<UInt8*>(data.data()), data.size(), length, noDataTimeout,
                        completionTimeout);
    }

    IOReturn controlRequest(const InterfaceDescriptor*, UInt8 pipe, const ControlSetup& setup,
                            std::span<UInt8> data, UInt32& done, UInt32 noDataTimeout,
                            UInt32 completionTimeout) override {
        done = 0;
        if (pipe != 0) {
            return kIOReturnUnsupported; // libusb reaches only the default control pipe
        }
        IOReturn code = acquire();
        if (code != kIOReturnSuccess) {
            return code;
        }
        int result = libusb_control_transfer(
            currentHandle(), setup.bmRequestType, setup.bRequest, setup.wValue, setup.wIndex, data.data(),
            static_cast<uint16_t>(data.size()), libusbTimeout(noDataTimeout, completionTimeout));
        relinquish();
        if (result >= 0) {
            done = static_cast<UInt32>(result);
        }
        return ioReturnFromLibusb(result);
    }

    // libusb has one call for both: it sends CLEAR_FEATURE(ENDPOINT_HALT) and
    // resets the host side's data toggle.
    IOReturn clearPipeStall(const InterfaceDescriptor& interface, UInt8 pipe, bool) override {
        return clearHalt(interface, pipe);
    }
    IOReturn resetPipe(const InterfaceDescriptor& interface, UInt8 pipe) override {
        return clearHalt(interface, pipe);
    }

private:
    IOReturn acquire() {
        std::lock_guard lock(mutex_);
        if (handle_ == nullptr) {
            int result = libusb_open(device_, &handle_);
            if (result != 0) {
                handle_ = nullptr;
                return ioReturnFromLibusb(result);
            }
        }
        ++users_;
        return kIOReturnSuccess;
    }

    void relinquish() {
        std::lock_guard lock(mutex_);
        relinquishLocked();
    }

    void relinquishLocked() {
        if (users_ > 0 && --users_ == 0 && handle_ != nullptr) {
            libusb_close(handle_);
            handle_ = nullptr;
            claimed_.clear();
        }
    }

    libusb_device_handle* currentHandle() {
        std::lock_guard lock(mutex_);
        return handle_;
    }

    IOReturn transfer(const InterfaceDescriptor& interface, UInt8 pipe, UInt8* data, std::size_t size,
                      UInt32& length, UInt32 noDataTimeout, UInt32 completionTimeout) {
        const EndpointDescriptor* endpoint = endpointForPipe(interface, pipe);
        libusb_device_handle* handle = currentHandle();
        if (endpoint == nullptr) {
            return kIOUSBUnknownPipeErr;
        }
        if (handle == nullptr) {
            return kIOReturnNotOpen;
        }
        int transferred = 0;
        int chunk = static_cast<int>(std::min<std::size_t>(size, 0x7FFFFFFF));
        unsigned int timeout = libusbTimeout(noDataTimeout, completionTimeout);
        int result =
            endpoint->transferType() == kUSBInterrupt
                ? libusb_interrupt_transfer(handle, endpoint->address, data, chunk, &transferred, timeout)
                : libusb_bulk_transfer(handle, endpoint->address, data, chunk, &transferred, timeout);
        length = static_cast<UInt32>(std::max(transferred, 0));
        return ioReturnFromLibusb(result);
    }

    IOReturn clearHalt(const InterfaceDescriptor& interface, UInt8 pipe) {
        const EndpointDescriptor* endpoint = endpointForPipe(interface, pipe);
        libusb_device_handle* handle = currentHandle();
        if (endpoint == nullptr) {
            return kIOUSBUnknownPipeErr;
        }
        if (handle == nullptr) {
            return kIOReturnNotOpen;
        }
        return ioReturnFromLibusb(libusb_clear_halt(handle, endpoint->address));
    }

    std::shared_ptr<Context> context_; // outlives the device and its handle
    libusb_device* device_;
    DeviceDescriptor descriptor_;
    std::vector<InterfaceDescriptor> interfaces_;
    std::mutex mutex_;
    libusb_device_handle* handle_ = nullptr;
    int users_ = 0; // device open, claimed interfaces and running control requests
    std::set<UInt8> claimed_;
};

class LibusbBackend final : public Backend {
public:
    ~LibusbBackend() override { stop(); }

    std::string name() const override { return "libusb"; }

    void start(DeviceSink& sink) override {
        std::lock_guard lock(scanMutex_);
        sink_ = &sink;
        if (!context_) {
            auto context = std::make_shared<Context>();
            if (libusb_init(&context->context) != 0) {
                context->context = nullptr;
                return; // no USB on this machine: an empty bus
            }
            context_ = context;
        }
        rescanLocked();
        running_ = true;
        if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0 &&
            libusb_hotplug_register_callback(
                context_->context,
                static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                                  LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
                static_cast<libusb_hotplug_flag>(0), LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                LIBUSB_HOTPLUG_MATCH_ANY, &LibusbBackend::hotplugCallback, this, &hotplug_) == 0) {
            hasHotplug_ = true;
        }
        watcher_ = std::thread([this] { watch(); });
    }

    void stop() override {
        {
            std::lock_guard lock(scanMutex_);
            if (!running_) {
                sink_ = nullptr;
                return;
            }
            running_ = false;
        }
        wake_.notify_all();
        if (hasHotplug_.exchange(false)) {
            libusb_hotplug_deregister_callback(context_->context, hotplug_); // wakes the event handler
        }
        if (watcher_.joinable()) {
            watcher_.join();
        }
        std::lock_guard lock(scanMutex_);
        sink_ = nullptr;
        known_.clear();
    }

    void refresh() override {
        std::lock_guard lock(scanMutex_);
        rescanLocked();
    }

private:
    static int hotplugCallback(libusb_context*, libusb_device*, libusb_hotplug_event, void* self) {
        // libusb forbids most calls inside the callback: note the change and let
        // the watcher rescan once the event handling returns.
        static_cast<LibusbBackend*>(self)->dirty_ = true;
        return 0;
    }

    void watch() {
        using namespace std::chrono_literals;
        while (true) {
            if (hasHotplug_) {
                timeval tv{0, 200000};
                libusb_handle_events_timeout_completed(context_->context, &tv, nullptr);
            } else {
                std::unique_lock lock(scanMutex_);
                wake_.wait_for(lock, 1s, [this] { return !running_; });
                dirty_ = true;
            }
            std::lock_guard lock(scanMutex_);
            if (!running_) {
                return;
            }
            if (dirty_.exchange(false)) {
                rescanLocked();
            }
        }
    }

    void rescanLocked() {
        if (!context_ || sink_ == nullptr) {
            return;
        }
        libusb_device** list = nullptr;
        ssize_t count = libusb_get_device_list(context_->context, &list);
        if (count < 0) {
            return;
        }
        std::set<libusb_device*> present(list, list + count);
        for (auto it = known_.begin(); it != known_.end();) {
            if (present.count(it->first) == 0) {
                sink_->detach(it->second);
                it = known_.erase(it);
            } else {
                ++it;
            }
        }
        for (ssize_t i = 0; i < count; ++i) {
            if (known_.count(list[i]) == 0) {
                auto device = std::make_shared<LibusbDevice>(context_, list[i]);
                known_[list[i]] = device;
                sink_->attach(device);
            }
        }
        libusb_free_device_list(list, 1);
    }

    std::mutex scanMutex_;
    std::condition_variable_any wake_;
    std::shared_ptr<Context> context_;
    DeviceSink* sink_ = nullptr;
    std::map<libusb_device*, std::shared_ptr<LibusbDevice>> known_;
    bool running_ = false;
    // Read by the watcher thread while stop() may clear it.
    std::atomic<bool> hasHotplug_{false};
    libusb_hotplug_callback_handle hotplug_ = 0;
    std::atomic<bool> dirty_{false};
    std::thread watcher_;
};

} // namespace

std::shared_ptr<Backend> makeLibusbBackend() {
    return std::make_shared<LibusbBackend>();
}

} // namespace tbx::iokit
