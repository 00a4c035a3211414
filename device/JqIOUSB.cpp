#include "device/JqIOUSB.h"

#include "platform/foundation/Print.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tbx {

using namespace tbx::iokit;

iokit::CFUUIDRef kIOUSBDeviceUserClientTypeID() {
    static CFUUIDRef id =
        CFUUIDGetConstantUUIDWithBytes(kCFAllocatorDefault, 0x9D, 0xC7, 0xB7, 0x80, 0x9E, 0xC0, 0x11, 0xD4,
                                       0xA5, 0x4F, 0x00, 0x0A, 0x27, 0x05, 0x28, 0x61);
    return id;
}

iokit::CFUUIDRef kIOUSBInterfaceUserClientTypeID() {
    static CFUUIDRef id =
        CFUUIDGetConstantUUIDWithBytes(kCFAllocatorDefault, 0x2D, 0x97, 0x86, 0xC6, 0x9E, 0xF3, 0x11, 0xD4,
                                       0xAD, 0x51, 0x00, 0x0A, 0x27, 0x05, 0x28, 0x61);
    return id;
}

iokit::CFUUIDRef kIOCFPlugInInterfaceID() {
    static CFUUIDRef id =
        CFUUIDGetConstantUUIDWithBytes(kCFAllocatorDefault, 0xC2, 0x44, 0xE8, 0x58, 0x10, 0x9C, 0x11, 0xD4,
                                       0x91, 0xD4, 0x00, 0x50, 0xE4, 0xC6, 0x42, 0x6F);
    return id;
}

iokit::CFUUIDRef kIOUSBDeviceInterfaceID650() {
    static CFUUIDRef id =
        CFUUIDGetConstantUUIDWithBytes(kCFAllocatorDefault, 0x4A, 0xAC, 0x1B, 0x2E, 0x24, 0xC2, 0x47, 0x6A,
                                       0x96, 0x4D, 0x91, 0x33, 0x35, 0x34, 0xF2, 0xCC);
    return id;
}

iokit::CFUUIDRef kIOUSBInterfaceInterfaceID700() {
    static CFUUIDRef id =
        CFUUIDGetConstantUUIDWithBytes(kCFAllocatorDefault, 0x17, 0xF9, 0xE5, 0x9C, 0xB0, 0xA1, 0x40, 0x1D,
                                       0x9A, 0xC0, 0x8D, 0xE2, 0x7A, 0xC6, 0x04, 0x7E);
    return id;
}

std::string byteListText(std::span<const std::uint8_t> bytes) {
    std::string text = "[";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) {
            text += ", ";
        }
        text += std::to_string(bytes[i]);
    }
    text += "]";
    return text;
}

namespace {

std::string optionalCode(const std::optional<IOReturn>& code) {
    return code ? "Optional(" + std::to_string(*code) + ")" : "nil";
}

template <class Handle>
bool hasTable(Handle handle) {
    return handle != nullptr && *handle != nullptr;
}

template <DeviceBuild B>
std::uint16_t searchArgument(long value, std::string_view label) {
    if (value < 0 || value > 0xFFFF) {
        throwIfNotSuccess<B>(ioreturn::badArgument, label);
    }
    return static_cast<std::uint16_t>(value);
}

template <DeviceBuild B>
std::uint32_t countArgument(long long value, std::string_view label) {
    if (value < 0 || value > 0xFFFFFFFFLL) {
        throwIfNotSuccess<B>(ioreturn::badArgument, label);
    }
    return static_cast<std::uint32_t>(value);
}

} // namespace

template <DeviceBuild B>
std::uint8_t pipeArgument(long pipe, std::string_view label) {
    if (pipe < 0 || pipe > 255) {
        throwIfNotSuccess<B>(ioreturn::badArgument, label);
    }
    return static_cast<std::uint8_t>(pipe);
}

template <DeviceBuild B>
std::uint32_t millisecondsArgument(double seconds, std::string_view label) {
    double milliseconds = seconds * 1000.0;
    if (!std::isfinite(seconds) || seconds < 0 || milliseconds >= 4294967296.0) {
        throwIfNotSuccess<B>(ioreturn::badArgument, label);
    }
    return static_cast<std::uint32_t>(milliseconds);
}

// ---- Registry objects and notification ports -------------------------------

RegistryObject RegistryObject::retain() const {
    IOObjectRetain(object);
    return *this;
}

void RegistryObject::release() const {
    IOObjectRelease(object);
}

void RegistryObject::enumerateServices(const ServiceHandler& handler, bool clearRemainingServices) const {
    auto drain = [&] {
        if (clearRemainingServices) {
            while (io_object_t rest = IOIteratorNext(object)) {
                IOObjectRelease(rest);
            }
        }
    };
    while (io_object_t service = IOIteratorNext(object)) {
        bool stop = false;
        try {
            handler(service, stop);
        } catch (...) {
            IOObjectRelease(service);
            drain();
            throw;
        }
        IOObjectRelease(service);
        if (stop) {
            drain();
            return;
        }
    }
}

std::optional<NotificationPort> NotificationPort::create(mach_port_t masterPort) {
    IONotificationPortRef port = IONotificationPortCreate(masterPort);
    if (port == nullptr) {
        return std::nullopt;
    }
    return NotificationPort{port};
}

void NotificationPort::release() const {
    IONotificationPortDestroy(port);
}

void NotificationPort::setDispatchQueue(const dispatch::Queue& queue) const {
    IONotificationPortSetDispatchQueue(port, queue);
}

// ---- Plug-in ----------------------------------------------------------------

template <DeviceBuild B>
std::pair<PlugIn<B>, std::int32_t> PlugIn<B>::create(io_service_t service, CFUUIDRef pluginType) {
    IOCFPlugInInterface** plugin = nullptr;
    SInt32 score = 0;
    IOReturn code =
        IOCreatePlugInInterfaceForService(service, pluginType, kIOCFPlugInInterfaceID(), &plugin, &score);
    throwIfNotSuccess<B>(code, "func create ");
    if (plugin == nullptr) {
        throw USBError(JqIOError::noPluginInterface);
    }
    return {PlugIn(plugin), score};
}

template <DeviceBuild B>
void* PlugIn<B>::queryAndCreateInterface(CFUUIDRef interfaceType) const {
    LPVOID out = nullptr;
    HRESULT result = -1;
    if (hasTable(handle_)) {
        result = (*handle_)->QueryInterface(handle_, CFUUIDGetUUIDBytes(interfaceType), &out);
    }
    if (result != S_OK || out == nullptr) {
        throw USBError(JqIOError::couldNotQueryInterface);
    }
    return out;
}

template <DeviceBuild B>
PlugIn<B> PlugIn<B>::retain() const {
    if (hasTable(handle_)) {
        (*handle_)->AddRef(handle_);
    }
    return *this;
}

template <DeviceBuild B>
void PlugIn<B>::release() {
    if (hasTable(handle_)) {
        (*handle_)->Release(handle_);
    }
    handle_ = nullptr;
}

// ---- Device -----------------------------------------------------------------

template <DeviceBuild B>
Dictionary USBDevice<B>::matchingDictionary(std::optional<long> vendorIdentifier,
                                            std::optional<long> productIdentifier) {
    return matchingDictionary("IOUSBHostDevice", vendorIdentifier, productIdentifier);
}

template <DeviceBuild B>
Dictionary USBDevice<B>::matchingDictionary(const std::string& deviceClassName,
                                            std::optional<long> vendorIdentifier,
                                            std::optional<long> productIdentifier) {
    Dictionary dictionary = IOServiceMatching(deviceClassName.c_str()).value_or(Dictionary{});
    if (vendorIdentifier) {
        dictionary[kUSBVendorID] = static_cast<std::int64_t>(*vendorIdentifier);
    }
    if (productIdentifier) {
        dictionary[kUSBProductID] = static_cast<std::int64_t>(*productIdentifier);
    }
    return dictionary;
}

template <DeviceBuild B>
USBDevice<B> USBDevice<B>::create(long vendorIdentifier, long productIdentifier) {
    return create(matchingDictionary(vendorIdentifier, productIdentifier));
}

template <DeviceBuild B>
USBDevice<B> USBDevice<B>::create(Dictionary dictionary) {
    io_iterator_t iterator = 0;
    IOReturn code = IOServiceGetMatchingServices(kIOMasterPortDefault, std::move(dictionary), &iterator);
    throwIfNotSuccess<B>(code, "func create by matchingDictionary ");
    std::optional<USBDevice> device;
    try {
        RegistryObject{iterator}.enumerateServices([&](io_object_t service, bool& stop) {
            device = create(service);
            stop = true;
        });
    } catch (...) {
        IOObjectRelease(iterator);
        throw;
    }
    IOObjectRelease(iterator);
    if (!device) {
        throw USBError(JqIOError::pluginHasNoUsbDeviceInterface);
    }
    return *device;
}

template <DeviceBuild B>
USBDevice<B> USBDevice<B>::create(io_service_t service) {
    auto [plugin, score] = PlugIn<B>::create(service, kIOUSBDeviceUserClientTypeID());
    (void)score;
    void* out = nullptr;
    try {
        out = plugin.queryAndCreateInterface(USBDeviceInterfaceID());
    } catch (const USBError&) {
        out = nullptr;
    }
    plugin.release();
    if (out == nullptr) {
        throw USBError(JqIOError::couldNotQueryUsbDeviceInterface);
    }
    return USBDevice(static_cast<Handle>(out));
}

template <DeviceBuild B>
long USBDevice<B>::getVendorIdentifier() const {
    UInt16 value = 0;
    if (hasTable(handle_)) {
        throwIfNotSuccess<B>((*handle_)->GetDeviceVendor(handle_, &value), "func getVendorId ");
    }
    return value;
}

template <DeviceBuild B>
long USBDevice<B>::getProductIdentifier() const {
    UInt16 value = 0;
    if (hasTable(handle_)) {
        throwIfNotSuccess<B>((*handle_)->GetDeviceProduct(handle_, &value), "func getProductId ");
    }
    return value;
}

template <DeviceBuild B>
InterfaceList<B> USBDevice<B>::createInterfaceInterface(long interfaceClass, long interfaceSubClass,
                                                        long interfaceProtocol, long alternateSetting) const {
    constexpr std::string_view label = "func createInterfaceInterface ";
    IOUSBFindInterfaceRequest request{
        searchArgument<B>(interfaceClass, label), searchArgument<B>(interfaceSubClass, label),
        searchArgument<B>(interfaceProtocol, label), searchArgument<B>(alternateSetting, label)};
    return createInterfaceInterface(request);
}

template <DeviceBuild B>
InterfaceList<B> USBDevice<B>::createInterfaceInterface(IOUSBFindInterfaceRequest request) const {
    io_iterator_t iterator = 0;
    if (hasTable(handle_)) {
        IOReturn code = (*handle_)->CreateInterfaceIterator(handle_, &request, &iterator);
        throwIfNotSuccess<B>(code, "func createInterfaceInterface ");
    }
    std::vector<USBInterface<B>> interfaces;
    try {
        RegistryObject{iterator}.enumerateServices([&](io_object_t service, bool& stop) {
            interfaces.push_back(USBInterface<B>::create(service));
            if constexpr (isMonitorBuild<B>) {
                stop = true;
            }
        });
    } catch (...) {
        // The handles made before the failure would be lost with the list.
        for (auto& interface : interfaces) {
            interface.release();
        }
        if (iterator != 0) {
            IOObjectRelease(iterator);
        }
        throw;
    }
    if (iterator != 0) {
        IOObjectRelease(iterator);
    }
    if (interfaces.empty()) {
        throw USBError(JqIOError::pluginHasNoUsbInterfaceInterface);
    }
    if constexpr (isScannerBuild<B>) {
        return interfaces;
    } else {
        return interfaces.front();
    }
}

template <DeviceBuild B>
void USBDevice<B>::open(bool seize) const {
    if (!hasTable(handle_)) {
        return;
    }
    if (seize) {
        throwIfNotSuccess<B>((*handle_)->USBDeviceOpenSeize(handle_), "func open-seize-true");
    } else {
        throwIfNotSuccess<B>((*handle_)->USBDeviceOpen(handle_), "func open-seize-false");
    }
}

template <DeviceBuild B>
void USBDevice<B>::close() const {
    if (!hasTable(handle_)) {
        return;
    }
    try {
        throwIfNotSuccess<B>((*handle_)->USBDeviceClose(handle_), "func close");
    } catch (const USBError&) {
        // Written above; a failed close changes nothing for the caller.
    }
}

template <DeviceBuild B>
void USBDevice<B>::openAndPerform(bool seize, const std::function<void()>& handler) const {
    open(seize);
    try {
        handler();
    } catch (...) {
        close();
        throw;
    }
    close();
}

template <DeviceBuild B>
void USBDevice<B>::reset() const {
    if (hasTable(handle_)) {
        throwIfNotSuccess<B>((*handle_)->ResetDevice(handle_), "func reset ");
    }
}

template <DeviceBuild B>
USBDevice<B> USBDevice<B>::retain() const {
    if (hasTable(handle_)) {
        (*handle_)->AddRef(handle_);
    }
    return *this;
}

template <DeviceBuild B>
void USBDevice<B>::release() {
    if (hasTable(handle_)) {
        (*handle_)->Release(handle_);
    }
    handle_ = nullptr;
}

// ---- Interface --------------------------------------------------------------

template <DeviceBuild B>
USBInterface<B> USBInterface<B>::create(io_service_t service) {
    auto [plugin, score] = PlugIn<B>::create(service, kIOUSBInterfaceUserClientTypeID());
    (void)score;
    void* out = nullptr;
    try {
        out = plugin.queryAndCreateInterface(USBInterfaceInterfaceID());
    } catch (const USBError&) {
        out = nullptr;
    }
    plugin.release();
    if (out == nullptr) {
        throw USBError(JqIOError::couldNotQueryUsbInterfaceInterface);
    }
    return USBInterface(static_cast<Handle>(out));
}

template <DeviceBuild B>
void USBInterface<B>::open(bool seize) const {
    if (seize) {
        if (hasTable(handle_)) {
            throwIfNotSuccess<B>((*handle_)->USBInterfaceOpenSeize(handle_), "func open-seize-true");
        }
        return;
    }
    std::optional<IOReturn> code;
    if (hasTable(handle_)) {
        code = (*handle_)->USBInterfaceOpen(handle_);
    }
    if constexpr (isScannerBuild<B>) {
        if (code != ioreturn::success) {
            print("open interface failed");
        }
    } else if (code) {
        throwIfNotSuccess<B>(*code, "func open-seize-false");
    }
}

template <DeviceBuild B>
void USBInterface<B>::close() const {
    if (hasTable(handle_)) {
        try {
            throwIfNotSuccess<B>((*handle_)->USBInterfaceClose(handle_), "func close");
        } catch (const USBError&) {
            // Written above; a failed close changes nothing for the caller.
        }
    }
    if constexpr (isScannerBuild<B>) {
        print("interface closed");
    }
}

template <DeviceBuild B>
void USBInterface<B>::openAndPerform(bool seize, const std::function<void()>& handler) const {
    open(seize);
    try {
        handler();
    } catch (...) {
        close();
        throw;
    }
    close();
}

template <DeviceBuild B>
Bytes USBInterface<B>::readBytes(const ReadOptions& options) const {
    constexpr std::string_view label = "func readBytes";
    std::uint8_t pipe = pipeArgument<B>(options.pipe, label);
    std::uint32_t maxCount = countArgument<B>(options.maxCount, label);
    if (options.minCount) {
        countArgument<B>(*options.minCount, label);
    }
    std::uint32_t noData = millisecondsArgument<B>(options.noDataTimeout, label);
    std::uint32_t completion = millisecondsArgument<B>(options.completionTimeout, label);

    Bytes buffer(maxCount, 0);
    // Nothing has arrived until the platform says otherwise: without a table no
    // read is made and the answer is empty, not maxCount zero bytes.
    UInt32 length = 0;
    if constexpr (isScannerBuild<B>) {
        std::optional<IOReturn> status;
        if (hasTable(handle_)) {
            status = (*handle_)->GetPipeStatus(handle_, pipe);
        }
        print("pipe status = " + optionalCode(status));
    }
    if (hasTable(handle_)) {
        length = maxCount;
        IOReturn code = (*handle_)->ReadPipeTO(handle_, pipe, buffer.data(), &length, noData, completion);
        throwIfNotSuccess<B>(code, label);
    }
    if (options.minCount && static_cast<long long>(length) < *options.minCount) {
        throw USBError(JqIOError::couldNotGetEnoughData);
    }
    // The platform may report more than the buffer holds; only the buffer is real.
    buffer.resize(std::min<std::uint32_t>(maxCount, length));
    if constexpr (isScannerBuild<B>) {
        print("readBytes function. readlen=" + std::to_string(length));
        print("get bytes data is " + byteListText(buffer));
    }
    return buffer;
}

template <DeviceBuild B>
void USBInterface<B>::write(std::span<const std::uint8_t> bytes, long pipe, double noDataTimeout,
                            double completionTimeout) const {
    constexpr std::string_view label = "func write ";
    std::uint8_t pipeIndex = pipeArgument<B>(pipe, label);
    std::uint32_t count = countArgument<B>(static_cast<long long>(bytes.size()), label);
    std::uint32_t noData = millisecondsArgument<B>(noDataTimeout, label);
    std::uint32_t completion = millisecondsArgument<B>(completionTimeout, label);
    if (!hasTable(handle_)) {
        return;
    }
    IOReturn code = (*handle_)->WritePipeTO(handle_, pipeIndex, const_cast<std::uint8_t*>(bytes.data()),
                                            count, noData, completion);
    throwIfNotSuccess<B>(code, label);
}

template <DeviceBuild B>
void USBInterface<B>::write(std::string_view data, long pipe, double noDataTimeout,
                            double completionTimeout) const {
    write(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()),
          pipe, noDataTimeout, completionTimeout);
}

template <DeviceBuild B>
std::uint32_t USBInterface<B>::sendControlRequest(const IOUSBDevRequestTO& request, long pipe,
                                                  std::span<std::uint8_t> data) const {
    if (pipe < 0 || pipe > 255) {
        throwIfControlRequestNotSuccess<B>(ioreturn::badArgument);
    }
    bool deviceToHost = (request.bmRequestType & 0x80) != 0;
    if (request.wLength > data.size() && (!deviceToHost || (data.empty() && request.pData != nullptr))) {
        // The data stage would be read from beyond the caller's buffer, or the
        // caller gave only a bare pointer whose size is unknown.
        throwIfControlRequestNotSuccess<B>(ioreturn::badArgument);
    }
    if constexpr (isScannerBuild<B>) {
        print("sendControlRequest");
    }
    if (!hasTable(handle_)) {
        return 0;
    }
    IOUSBDevRequestTO copy = request;
    // A device-to-host request may ask for more than the caller's buffer holds
    // (the scanner's open request asks 1280 bytes into 5): the answer lands in a
    // buffer of wLength bytes and only what fits is copied on.
    Bytes bounce;
    if (request.wLength > data.size()) {
        bounce.assign(request.wLength, 0);
        copy.pData = bounce.data();
    } else {
        copy.pData = data.empty() ? nullptr : data.data();
    }
    IOReturn code = (*handle_)->ControlRequestTO(handle_, static_cast<UInt8>(pipe), &copy);
    const auto received =
        static_cast<std::uint32_t>(std::min<std::size_t>({copy.wLenDone, request.wLength, data.size()}));
    if (!bounce.empty() && received > 0) {
        std::memcpy(data.data(), bounce.data(), received);
    }
    throwIfControlRequestNotSuccess<B>(code);
    return received;
}

template <DeviceBuild B>
void USBInterface<B>::clearPipeStall(bool bothEnds, long pipe) const {
    std::string_view label = bothEnds ? "func clearPipeStall-true " : "func clearPipeStall-false ";
    std::uint8_t pipeIndex = pipeArgument<B>(pipe, label);
    if (!hasTable(handle_)) {
        return;
    }
    IOReturn code = bothEnds ? (*handle_)->ClearPipeStallBothEnds(handle_, pipeIndex)
                             : (*handle_)->ClearPipeStall(handle_, pipeIndex);
    throwIfNotSuccess<B>(code, label);
}

template <DeviceBuild B>
void USBInterface<B>::resetPipe(long pipe) const {
    constexpr std::string_view label = "func resetPipe ";
    std::uint8_t pipeIndex = pipeArgument<B>(pipe, label);
    if (hasTable(handle_)) {
        throwIfNotSuccess<B>((*handle_)->ResetPipe(handle_, pipeIndex), label);
    }
}

template <DeviceBuild B>
std::uint8_t USBInterface<B>::getInterfaceNum() const {
    UInt8 number = 3;
    if (hasTable(handle_)) {
        (*handle_)->GetInterfaceNumber(handle_, &number);
    }
    return number;
}

namespace {

std::string directionName(UInt8 direction) {
    switch (direction) {
    case 0:
        return "out";
    case 1:
        return "in";
    case 2:
        return "none";
    case 3:
        return "any";
    default:
        return "???";
    }
}

std::string transferTypeName(UInt8 type) {
    switch (type) {
    case 0:
        return "control";
    case 1:
        return "isoc";
    case 2:
        return "bulk";
    case 3:
        return "interrupt";
    case 255:
        return "any";
    default:
        return "???";
    }
}

} // namespace

template <DeviceBuild B>
PipeMap USBInterface<B>::getPipes() const {
    PipeMap pipes;
    UInt8 count = 0;
    std::optional<IOReturn> countCode;
    if (hasTable(handle_)) {
        countCode = (*handle_)->GetNumEndpoints(handle_, &count);
    }
    print("endpoints = " + std::to_string(count) + " and get no res = " + optionalCode(countCode));
    for (UInt8 index = 1; index <= 2; ++index) {
        UInt8 direction = 0, number = 0, transferType = 0, interval = 0;
        UInt16 maxPacketSize = 0;
        std::optional<IOReturn> code;
        if (hasTable(handle_)) {
            code = (*handle_)->GetPipeProperties(handle_, index, &direction, &number, &transferType,
                                                 &maxPacketSize, &interval);
        }
        std::string i = std::to_string(index);
        if (code != ioreturn::success) {
            print("Could not get properties for pipe " + i);
            continue;
        }
        print("endpointnum = " + i + ",direction = " + std::to_string(direction) +
              ",number = " + std::to_string(number) + ",transType=" + std::to_string(transferType) +
              ",maxsize=" + std::to_string(maxPacketSize) + ",interval=" + std::to_string(interval));
        print("endpoint" + i + " direction: " + directionName(direction) + ", ");
        print("endpoint" + i + " type is: " + transferTypeName(transferType) + ", ");
        if (direction == 0) {
            pipes["writePipe"] = index;
        } else if (direction == 1) {
            pipes["readPipe"] = index;
        }
    }
    return pipes;
}

template <DeviceBuild B>
std::string USBInterface<B>::krToString(kern_return_t kr) requires isScannerBuild<B> {
    const char* text = mach_error_string(kr);
    return text != nullptr ? std::string(text) : "Unknown kernel error " + std::to_string(kr);
}

template <DeviceBuild B>
USBInterface<B> USBInterface<B>::retain() const {
    if (hasTable(handle_)) {
        (*handle_)->AddRef(handle_);
    }
    return *this;
}

template <DeviceBuild B>
void USBInterface<B>::release() {
    if (hasTable(handle_)) {
        (*handle_)->Release(handle_);
    }
    handle_ = nullptr;
}

template class PlugIn<ScannerBuild>;
template class PlugIn<MonitorBuild>;
template class USBDevice<ScannerBuild>;
template class USBDevice<MonitorBuild>;
template class USBInterface<ScannerBuild>;
template class USBInterface<MonitorBuild>;
template std::uint8_t pipeArgument<ScannerBuild>(long, std::string_view);
template std::uint8_t pipeArgument<MonitorBuild>(long, std::string_view);
template std::uint32_t millisecondsArgument<ScannerBuild>(double, std::string_view);
template std::uint32_t millisecondsArgument<MonitorBuild>(double, std::string_view);

} // namespace tbx
