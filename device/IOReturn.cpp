#include "device/IOReturn.h"

#include "platform/foundation/Print.h"

#include <array>
#include <mutex>
#include <utility>
#include <vector>

namespace tbx {

namespace {

struct NamedCode {
    IOReturn code;
    const char* text;
};

// Searched in this order; the first entry with an equal code answers.
constexpr NamedCode kReturnCodeTexts[] = {
    {ioreturn::aborted, "Aborted"},
    {ioreturn::badArgument, "Invalid argument"},
    {ioreturn::badMedia, "Media error"},
    {ioreturn::badMessageId, "Sent/received messages had different msg_id"},
    {ioreturn::busy, "Device busy"},
    {ioreturn::cannotLock, "Can't acquire lock"},
    {ioreturn::cannotWire, "Can't wire down physical memory"},
    {ioreturn::dmaError, "DMA failure"},
    {ioreturn::deviceError, "The device is not working properly"},
    {ioreturn::error, "General error"},
    {ioreturn::exclusiveAccess, "Exclusive access and device already open"},
    {ioreturn::ioError, "General I/O error"},
    {ioreturn::ipcError, "Error during IPC"},
    {ioreturn::internalError, "Internal error"},
    {ioreturn::invalid, "Should never be seen"},
    {ioreturn::isoTooNew, "Isochronous I/O request for distant future"},
    {ioreturn::isoTooOld, "Isochronous I/O request for distant past"},
    {ioreturn::lockedRead, "Device read locked"},
    {ioreturn::lockedWrite, "Device write locked"},
    {ioreturn::messageTooLarge, "Oversized msg received on interrupt port"},
    {ioreturn::noBandwidth, "Bus bandwidth would be exceeded"},
    {ioreturn::noChannels, "No DMA channels left"},
    {ioreturn::noCompletion, "A completion routine is required"},
    {ioreturn::noDevice, "No such device"},
    {ioreturn::noFrames, "No DMA frames enqueued"},
    {ioreturn::noInterrupt, "No interrupt attached"},
    {ioreturn::noMedia, "Media not present"},
    {ioreturn::noMemory, "Can't allocate memory"},
    {ioreturn::noPower, "No power to device"},
    {ioreturn::noResources, "Resource shortage"},
    {ioreturn::noSpace, "No space for data"},
    {ioreturn::notAligned, "Alignment error"},
    {ioreturn::notAttached, "Device not attached"},
    {ioreturn::notFound, "Data was not found"},
    {ioreturn::notOpen, "Device not open"},
    {ioreturn::notPermitted, "Not permitted"},
    {ioreturn::notPrivileged, "Privilege violation"},
    {ioreturn::notReadable, "Read not supported"},
    {ioreturn::notReady, "Not ready"},
    {ioreturn::notResponding, "Device not responding"},
    {ioreturn::notWritable, "Write not supported"},
    {ioreturn::offline, "Device offline"},
    {ioreturn::overrun, "Data overrun"},
    {ioreturn::portExists, "Port already exists"},
    {ioreturn::rldError, "RLD failure"},
    {ioreturn::stillOpen, "Device(s) still open"},
    {ioreturn::timeout, "I/O timeout"},
    {ioreturn::underrun, "Data underrun"},
    {ioreturn::unformattedMedia, "media not formatted"},
    {ioreturn::unsupported, "Unsupported function"},
    {ioreturn::unsupportedMode, "No such mode"},
    {ioreturn::vmError, "Misc. VM failure"},
    {ioreturn::usbUnknownPipe, "Pipe ref not recognized"},
    {ioreturn::usbTooManyPipes, "Too many pipes"},
    {ioreturn::usbNoAsyncPort, "no async port"},
    {ioreturn::usbNotEnoughPipes, "not enough pipes in interface"},
    {ioreturn::usbNotEnoughPower, "not enough power for selected configuration"},
    {ioreturn::usbEndpointNotFound, "Endpoint Not found"},
    {ioreturn::usbConfigNotFound, "Configuration Not found"},
    {ioreturn::usbTransactionTimeout, "Transaction timed out"},
    {ioreturn::usbTransactionReturned, "The transaction has been returned to the caller"},
    {ioreturn::usbPipeStalled, "Pipe has stalled, error needs to be cleared"},
    {ioreturn::usbInterfaceNotFound, "Interface ref not recognized"},
    {ioreturn::usbLowLatencyBufferNotPreviouslyAllocated,
     "Attempted to use user land low latency isoc calls w/out calling PrepareBuffer (on the data buffer) "
     "first "},
    {ioreturn::usbLowLatencyFrameListNotPreviouslyAllocated,
     "Attempted to use user land low latency isoc calls w/out calling PrepareBuffer (on the frame list) "
     "first"},
    {ioreturn::usbHighSpeedSplit, "Error to hub on high speed bus trying to do split transaction"},
    {ioreturn::usbSyncRequestOnWlThread,
     "A synchronous USB request was made on the workloop thread (from a callback?).  Only async requests are "
     "permitted in that case"},
    {ioreturn::usbDeviceNotHighSpeed, "Name is deprecated, see below"},
    {ioreturn::usbDeviceTransferredToCompanion, "Name is deprecated, see below"},
    {ioreturn::usbClearPipeStallNotRecursive, "IOUSBPipe::ClearPipeStall should not be called recursively"},
    {ioreturn::usbDevicePortWasNotSuspended, "Port was not suspended"},
    {ioreturn::usbEndpointCountExceeded,
     "The endpoint was not created because the controller cannot support more endpoints"},
    {ioreturn::usbDeviceCountExceeded,
     "The device cannot be enumerated because the controller cannot support more devices"},
    {ioreturn::usbStreamsNotSupported,
     "The request cannot be completed because the XHCI controller does not support streams"},
    {ioreturn::usbInvalidSsEndpoint,
     "An endpoint found in a SuperSpeed device is invalid (usually because there is no Endpoint Companion "
     "Descriptor)"},
    {ioreturn::usbTooManyTransactionsPending, "The transaction cannot be submitted because it would exceed "
                                              "the allowed number of pending transactions"},
};

constexpr std::array<const char*, 7> kJqIOErrorTexts = {
    "I/O: No plugin interface.",
    "USB: Plugin has no device interface.",
    "USB: Plugin has no interface interface.",
    "I/O: Could not query interface.",
    "USB: Could not query device interface.",
    "USB: Could not query interface interface.",
    "Could not get enough data.",
};

// The override lists. Readers take a copy under the lock and call the closures
// outside it, so a closure may itself add an override without deadlocking.
template <class Handler>
class OverrideList {
public:
    void add(Handler handler) {
        std::lock_guard lock(mutex_);
        handlers_.push_back(std::move(handler));
    }
    void clear() {
        std::lock_guard lock(mutex_);
        handlers_.clear();
    }
    template <class Value>
    std::optional<std::string> firstAnswer(Value value) const {
        std::vector<Handler> handlers;
        {
            std::lock_guard lock(mutex_);
            handlers = handlers_;
        }
        for (const auto& handler : handlers) {
            if (auto text = handler(value)) {
                return text;
            }
        }
        return std::nullopt;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Handler> handlers_;
};

OverrideList<JqIOErrorTextHandler>& jqDescriptionHandlers() {
    static OverrideList<JqIOErrorTextHandler> list;
    return list;
}
OverrideList<JqIOErrorTextHandler>& jqRecoveryHandlers() {
    static OverrideList<JqIOErrorTextHandler> list;
    return list;
}
OverrideList<ReturnCodeTextHandler>& codeDescriptionHandlers() {
    static OverrideList<ReturnCodeTextHandler> list;
    return list;
}
OverrideList<ReturnCodeTextHandler>& codeRecoveryHandlers() {
    static OverrideList<ReturnCodeTextHandler> list;
    return list;
}

} // namespace

std::optional<JqIOError> jqIOErrorFromRaw(int raw) {
    if (raw < 0 || raw >= int(kJqIOErrorTexts.size())) {
        return std::nullopt;
    }
    return static_cast<JqIOError>(raw);
}

std::optional<std::string> errorDescription(JqIOError error) {
    if (auto text = jqDescriptionHandlers().firstAnswer(error)) {
        return text;
    }
    return std::string(kJqIOErrorTexts.at(size_t(rawValue(error))));
}

std::optional<std::string> recoverySuggestion(JqIOError error) {
    return jqRecoveryHandlers().firstAnswer(error);
}

std::string returnCodeDescription(IOReturn code) {
    if (auto text = codeDescriptionHandlers().firstAnswer(code)) {
        return *text;
    }
    for (const auto& entry : kReturnCodeTexts) {
        if (entry.code == code) {
            return entry.text;
        }
    }
    return "IOError (" + std::to_string(code) + ")";
}

std::optional<std::string> returnCodeRecoverySuggestion(IOReturn code) {
    return codeRecoveryHandlers().firstAnswer(code);
}

void ErrorTextOverrides::addJqIOErrorDescription(JqIOErrorTextHandler handler) {
    jqDescriptionHandlers().add(std::move(handler));
}
void ErrorTextOverrides::addJqIOErrorRecoverySuggestion(JqIOErrorTextHandler handler) {
    jqRecoveryHandlers().add(std::move(handler));
}
void ErrorTextOverrides::addReturnCodeDescription(ReturnCodeTextHandler handler) {
    codeDescriptionHandlers().add(std::move(handler));
}
void ErrorTextOverrides::addReturnCodeRecoverySuggestion(ReturnCodeTextHandler handler) {
    codeRecoveryHandlers().add(std::move(handler));
}
void ErrorTextOverrides::removeAll() {
    jqDescriptionHandlers().clear();
    jqRecoveryHandlers().clear();
    codeDescriptionHandlers().clear();
    codeRecoveryHandlers().clear();
}

USBError::USBError(JqIOError error)
    : isReturnCode_(false), code_(rawValue(error)), text_(tbx::errorDescription(error).value_or("")) {}

USBError::USBError(IOReturn code) : isReturnCode_(true), code_(code), text_(returnCodeDescription(code)) {}

std::optional<JqIOError> USBError::jqIOError() const {
    return isReturnCode_ ? std::nullopt : jqIOErrorFromRaw(code_);
}

std::optional<std::string> USBError::errorDescription() const {
    if (isReturnCode_) {
        return returnCodeDescription(code_);
    }
    return tbx::errorDescription(static_cast<JqIOError>(code_));
}

std::optional<std::string> USBError::recoverySuggestion() const {
    if (isReturnCode_) {
        return returnCodeRecoverySuggestion(code_);
    }
    return tbx::recoverySuggestion(static_cast<JqIOError>(code_));
}

std::string errorHappenedLine(std::string_view label, IOReturn code) {
    std::string line = "error happened at ";
    line.append(label);
    line.append(" and error is: Optional(\"");
    line.append(returnCodeDescription(code));
    line.append("\")");
    return line;
}

template <DeviceBuild B>
void throwIfNotSuccess(IOReturn code, std::string_view label) {
    if (code == ioreturn::success) {
        return;
    }
    traceIf(B::writesUsbTrace, [&] { return errorHappenedLine(label, code); });
    throw USBError(code);
}

template <DeviceBuild B>
void throwIfControlRequestNotSuccess(IOReturn code) {
    if (code == ioreturn::success) {
        return;
    }
    traceIf(B::writesControlFailure, "send control request not success");
    throw USBError(code);
}

template void throwIfNotSuccess<ScannerBuild>(IOReturn, std::string_view);
template void throwIfNotSuccess<MonitorBuild>(IOReturn, std::string_view);
template void throwIfControlRequestNotSuccess<ScannerBuild>(IOReturn);
template void throwIfControlRequestNotSuccess<MonitorBuild>(IOReturn);

} // namespace tbx
