#include "device/USBInterface.h"

#include "device/PlugIn.h"

#include <algorithm>
#include <cstring>

namespace tbx {

using namespace tbx::iokit;

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
USBInterface<B> USBInterface<B>::create(io_service_t service) {
    void* out = PlugIn<B>::interfaceOf(service, kIOUSBInterfaceUserClientTypeID(), USBInterfaceInterfaceID(),
                                       JqIOError::couldNotQueryUsbInterfaceInterface);
    return USBInterface(static_cast<Handle>(out));
}

template <DeviceBuild B>
bool USBInterface<B>::openInterface(bool seize) const {
    if (seize) {
        if (!*this) {
            throwNotOpen<B>("func open-seize-true");
        }
        if (hasTable()) {
            throwIfNotSuccess<B>((*handle_)->USBInterfaceOpenSeize(handle_), "func open-seize-true");
        }
        return hasTable();
    }
    std::optional<IOReturn> code;
    if (hasTable()) {
        code = (*handle_)->USBInterfaceOpen(handle_);
    }
    if (B::interfaceOpenThrows) {
        if (!*this) {
            throwNotOpen<B>("func open-seize-false");
        }
        if (code) {
            throwIfNotSuccess<B>(*code, "func open-seize-false");
        }
    } else if (code != ioreturn::success) {
        print("open interface failed");
    }
    return code == ioreturn::success;
}

template <DeviceBuild B>
void USBInterface<B>::open(bool seize) const {
    openInterface(seize);
}

template <DeviceBuild B>
void USBInterface<B>::close() const {
    if (hasTable()) {
        try {
            throwIfNotSuccess<B>((*handle_)->USBInterfaceClose(handle_), "func close");
        } catch (const USBError&) {
            // Written above; a failed close changes nothing for the caller.
        }
    }
    traceIf(B::writesUsbTrace, "interface closed");
}

template <DeviceBuild B>
void USBInterface<B>::openAndPerform(bool seize, const std::function<void()>& handler) const {
    InterfaceSession<B> session(*this, seize);
    handler();
}

template <DeviceBuild B>
Bytes USBInterface<B>::readBytes(const ReadOptions& options) const {
    constexpr std::string_view label = "func readBytes";
    const std::uint8_t pipe = pipeArgument<B>(options.pipe, label);
    const std::uint32_t maxCount = countArgument<B>(options.maxCount, label);
    if (options.minCount) {
        countArgument<B>(*options.minCount, label);
    }
    const std::uint32_t noData = millisecondsArgument<B>(options.noDataTimeout, label);
    const std::uint32_t completion = millisecondsArgument<B>(options.completionTimeout, label);
    if (!*this) {
        throwNotOpen<B>(label);
    }

    Bytes buffer(maxCount, 0);
    // Nothing has arrived until the platform says otherwise: without a table no
    // read is made and the answer is empty, not maxCount zero bytes.
    UInt32 length = 0;
    traceIf(B::writesUsbTrace, [&] {
        const auto status =
            hasTable() ? std::optional((*handle_)->GetPipeStatus(handle_, pipe)) : std::nullopt;
        return "pipe status = " + optionalCode(status);
    });
    if (hasTable()) {
        length = maxCount;
        const IOReturn code =
            (*handle_)->ReadPipeTO(handle_, pipe, buffer.data(), &length, noData, completion);
        throwIfNotSuccess<B>(code, label);
    }
    if (options.minCount && static_cast<long long>(length) < *options.minCount) {
        throw USBError(JqIOError::couldNotGetEnoughData);
    }
    // The platform may report more than the buffer holds; only the buffer is real.
    buffer.resize(std::min<std::uint32_t>(maxCount, length));
    traceIf(B::writesUsbTrace, [&] { return "readBytes function. readlen=" + std::to_string(length); });
    traceIf(B::writesUsbTrace, [&] { return "get bytes data is " + byteListText(buffer); });
    return buffer;
}

template <DeviceBuild B>
IOReturn USBInterface<B>::readPipe(std::uint8_t pipe, std::span<std::uint8_t> buffer, std::uint32_t& length,
                                   std::uint32_t noDataTimeout, std::uint32_t completionTimeout) const {
    if (!*this) {
        throw USBError(ioreturn::notOpen);
    }
    length = 0;
    if (!hasTable()) {
        return ioreturn::notOpen;
    }
    UInt32 size = static_cast<UInt32>(std::min<std::size_t>(buffer.size(), 0xFFFFFFFFu));
    const IOReturn code =
        (*handle_)->ReadPipeTO(handle_, pipe, buffer.data(), &size, noDataTimeout, completionTimeout);
    length = std::min<std::uint32_t>(size, static_cast<std::uint32_t>(buffer.size()));
    return code;
}

template <DeviceBuild B>
void USBInterface<B>::write(std::span<const std::uint8_t> bytes, long pipe, double noDataTimeout,
                            double completionTimeout) const {
    constexpr std::string_view label = "func write ";
    const std::uint8_t pipeIndex = pipeArgument<B>(pipe, label);
    const std::uint32_t count = countArgument<B>(static_cast<long long>(bytes.size()), label);
    const std::uint32_t noData = millisecondsArgument<B>(noDataTimeout, label);
    const std::uint32_t completion = millisecondsArgument<B>(completionTimeout, label);
    if (!*this) {
        throwNotOpen<B>(label);
    }
    if (!hasTable()) {
        return;
    }
    const IOReturn code = (*handle_)->WritePipeTO(handle_, pipeIndex, const_cast<std::uint8_t*>(bytes.data()),
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
    const bool deviceToHost = (request.bmRequestType & 0x80) != 0;
    if (request.wLength > data.size() && (!deviceToHost || (data.empty() && request.pData != nullptr))) {
        // The data stage would be read from beyond the caller's buffer, or the
        // caller gave only a bare pointer whose size is unknown.
        throwIfControlRequestNotSuccess<B>(ioreturn::badArgument);
    }
    if (!*this) {
        throwIfControlRequestNotSuccess<B>(ioreturn::notOpen);
    }
    traceIf(B::writesUsbTrace, "sendControlRequest");
    if (!hasTable()) {
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
    const IOReturn code = (*handle_)->ControlRequestTO(handle_, static_cast<UInt8>(pipe), &copy);
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
    const std::string_view label = bothEnds ? "func clearPipeStall-true " : "func clearPipeStall-false ";
    const std::uint8_t pipeIndex = pipeArgument<B>(pipe, label);
    if (!*this) {
        throwNotOpen<B>(label);
    }
    if (!hasTable()) {
        return;
    }
    const IOReturn code = bothEnds ? (*handle_)->ClearPipeStallBothEnds(handle_, pipeIndex)
                                   : (*handle_)->ClearPipeStall(handle_, pipeIndex);
    throwIfNotSuccess<B>(code, label);
}

template <DeviceBuild B>
void USBInterface<B>::resetPipe(long pipe) const {
    constexpr std::string_view label = "func resetPipe ";
    const std::uint8_t pipeIndex = pipeArgument<B>(pipe, label);
    if (!*this) {
        throwNotOpen<B>(label);
    }
    if (hasTable()) {
        throwIfNotSuccess<B>((*handle_)->ResetPipe(handle_, pipeIndex), label);
    }
}

template <DeviceBuild B>
std::uint8_t USBInterface<B>::getInterfaceNum() const {
    if (!*this) {
        throw USBError(ioreturn::notOpen);
    }
    UInt8 number = 3;
    if (hasTable()) {
        (*handle_)->GetInterfaceNumber(handle_, &number);
    }
    return number;
}

template <DeviceBuild B>
PipeMap USBInterface<B>::getPipes() const {
    if (!*this) {
        throw USBError(ioreturn::notOpen);
    }
    PipeMap pipes;
    UInt8 count = 0;
    std::optional<IOReturn> countCode;
    if (hasTable()) {
        countCode = (*handle_)->GetNumEndpoints(handle_, &count);
    }
    print("endpoints = " + std::to_string(count) + " and get no res = " + optionalCode(countCode));
    for (UInt8 index = 1; index <= 2; ++index) {
        UInt8 direction = 0, number = 0, transferType = 0, interval = 0;
        UInt16 maxPacketSize = 0;
        std::optional<IOReturn> code;
        if (hasTable()) {
            code = (*handle_)->GetPipeProperties(handle_, index, &direction, &number, &transferType,
                                                 &maxPacketSize, &interval);
        }
        const std::string i = std::to_string(index);
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
    if (!*this) {
        throw USBError(ioreturn::notOpen);
    }
    return USBInterface(addReference());
}

template class USBInterface<ScannerBuild>;
template class USBInterface<MonitorBuild>;

} // namespace tbx
