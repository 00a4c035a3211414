// Errors of the USB layer: the layer's own `JqIOError` cases and the platform's
// signed 32-bit return codes, with their texts. Both travel as one exception
// type, `USBError`, so callers catch one thing and can still compare the exact
// code or case they got.
#pragma once

#include "device/Build.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tbx {

enum class JqIOError : int {
    noPluginInterface = 0,
    pluginHasNoUsbDeviceInterface = 1,
    pluginHasNoUsbInterfaceInterface = 2,
    couldNotQueryInterface = 3,
    couldNotQueryUsbDeviceInterface = 4,
    couldNotQueryUsbInterfaceInterface = 5,
    couldNotGetEnoughData = 6,
};

// The case with this raw value, none outside 0-6.
std::optional<JqIOError> jqIOErrorFromRaw(int raw);
constexpr int rawValue(JqIOError error) {
    return static_cast<int>(error);
}

// The override list first (first closure that answers wins), then the case's text.
std::optional<std::string> errorDescription(JqIOError error);
// The override list only.
std::optional<std::string> recoverySuggestion(JqIOError error);

using JqIOErrorTextHandler = std::function<std::optional<std::string>(JqIOError)>;

// A platform return code; 0 is success.
using IOReturn = std::int32_t;

constexpr IOReturn iokitCommonError(std::uint32_t n) {
    return static_cast<IOReturn>(0xE0000000u | n);
}
constexpr IOReturn iokit_usb_err(std::int64_t n) {
    return static_cast<IOReturn>(0xE0004000u | static_cast<std::uint32_t>(n));
}

// The named return codes. The order of `kReturnCodeTexts` in IOReturn.cpp is
// the order of the description lookup.
namespace ioreturn {
inline constexpr IOReturn success = 0;
inline constexpr IOReturn aborted = iokitCommonError(0x2EB);
inline constexpr IOReturn badArgument = iokitCommonError(0x2C2);
inline constexpr IOReturn badMedia = iokitCommonError(0x2D1);
inline constexpr IOReturn badMessageId = iokitCommonError(0x2C6);
inline constexpr IOReturn busy = iokitCommonError(0x2D5);
inline constexpr IOReturn cannotLock = iokitCommonError(0x2CC);
inline constexpr IOReturn cannotWire = iokitCommonError(0x2DE);
inline constexpr IOReturn dmaError = iokitCommonError(0x2D4);
inline constexpr IOReturn deviceError = iokitCommonError(0x2E9);
inline constexpr IOReturn error = iokitCommonError(0x2BC);
inline constexpr IOReturn exclusiveAccess = iokitCommonError(0x2C5);
inline constexpr IOReturn ioError = iokitCommonError(0x2CA);
inline constexpr IOReturn ipcError = iokitCommonError(0x2BF);
inline constexpr IOReturn internalError = iokitCommonError(0x2C9);
inline constexpr IOReturn invalid = iokitCommonError(0x1);
inline constexpr IOReturn isoTooNew = iokitCommonError(0x2EF);
inline constexpr IOReturn isoTooOld = iokitCommonError(0x2EE);
inline constexpr IOReturn lockedRead = iokitCommonError(0x2C3);
inline constexpr IOReturn lockedWrite = iokitCommonError(0x2C4);
inline constexpr IOReturn messageTooLarge = iokitCommonError(0x2E1);
inline constexpr IOReturn noBandwidth = iokitCommonError(0x2EC);
inline constexpr IOReturn noChannels = iokitCommonError(0x2DA);
inline constexpr IOReturn noCompletion = iokitCommonError(0x2EA);
inline constexpr IOReturn noDevice = iokitCommonError(0x2C0);
inline constexpr IOReturn noFrames = iokitCommonError(0x2E0);
inline constexpr IOReturn noInterrupt = iokitCommonError(0x2DF);
inline constexpr IOReturn noMedia = iokitCommonError(0x2E4);
inline constexpr IOReturn noMemory = iokitCommonError(0x2BD);
inline constexpr IOReturn noPower = iokitCommonError(0x2E3);
inline constexpr IOReturn noResources = iokitCommonError(0x2BE);
inline constexpr IOReturn noSpace = iokitCommonError(0x2DB);
inline constexpr IOReturn notAligned = iokitCommonError(0x2D0);
inline constexpr IOReturn notAttached = iokitCommonError(0x2D9);
inline constexpr IOReturn notFound = iokitCommonError(0x2F0);
inline constexpr IOReturn notOpen = iokitCommonError(0x2CD);
inline constexpr IOReturn notPermitted = iokitCommonError(0x2E2);
inline constexpr IOReturn notPrivileged = iokitCommonError(0x2C1);
inline constexpr IOReturn notReadable = iokitCommonError(0x2CE);
inline constexpr IOReturn notReady = iokitCommonError(0x2D8);
inline constexpr IOReturn notResponding = iokitCommonError(0x2ED);
inline constexpr IOReturn notWritable = iokitCommonError(0x2CF);
inline constexpr IOReturn offline = iokitCommonError(0x2D7);
inline constexpr IOReturn overrun = iokitCommonError(0x2E8);
inline constexpr IOReturn portExists = iokitCommonError(0x2DD);
inline constexpr IOReturn rldError = iokitCommonError(0x2D3);
inline constexpr IOReturn stillOpen = iokitCommonError(0x2D2);
inline constexpr IOReturn timeout = iokitCommonError(0x2D6);
inline constexpr IOReturn underrun = iokitCommonError(0x2E7);
inline constexpr IOReturn unformattedMedia = iokitCommonError(0x2E5);
inline constexpr IOReturn unsupported = iokitCommonError(0x2C7);
inline constexpr IOReturn unsupportedMode = iokitCommonError(0x2E6);
inline constexpr IOReturn vmError = iokitCommonError(0x2C8);
inline constexpr IOReturn usbUnknownPipe = iokit_usb_err(0x61);
inline constexpr IOReturn usbTooManyPipes = iokit_usb_err(0x60);
inline constexpr IOReturn usbNoAsyncPort = iokit_usb_err(0x5F);
inline constexpr IOReturn usbNotEnoughPipes = iokit_usb_err(0x5E);
inline constexpr IOReturn usbNotEnoughPower = iokit_usb_err(0x5D);
inline constexpr IOReturn usbEndpointNotFound = iokit_usb_err(0x57);
inline constexpr IOReturn usbConfigNotFound = iokit_usb_err(0x56);
inline constexpr IOReturn usbTransactionTimeout = iokit_usb_err(0x51);
inline constexpr IOReturn usbTransactionReturned = iokit_usb_err(0x50);
inline constexpr IOReturn usbPipeStalled = iokit_usb_err(0x4F);
inline constexpr IOReturn usbInterfaceNotFound = iokit_usb_err(0x4E);
inline constexpr IOReturn usbLowLatencyBufferNotPreviouslyAllocated = iokit_usb_err(0x4D);
inline constexpr IOReturn usbLowLatencyFrameListNotPreviouslyAllocated = iokit_usb_err(0x4C);
inline constexpr IOReturn usbHighSpeedSplit = iokit_usb_err(0x4B);
inline constexpr IOReturn usbSyncRequestOnWlThread = iokit_usb_err(0x4A);
inline constexpr IOReturn usbDeviceNotHighSpeed = iokit_usb_err(0x49);
inline constexpr IOReturn usbDeviceTransferredToCompanion = iokit_usb_err(0x49);
inline constexpr IOReturn usbClearPipeStallNotRecursive = iokit_usb_err(0x48);
inline constexpr IOReturn usbDevicePortWasNotSuspended = iokit_usb_err(0x47);
inline constexpr IOReturn usbEndpointCountExceeded = iokit_usb_err(0x46);
inline constexpr IOReturn usbDeviceCountExceeded = iokit_usb_err(0x45);
inline constexpr IOReturn usbStreamsNotSupported = iokit_usb_err(0x44);
inline constexpr IOReturn usbInvalidSsEndpoint = iokit_usb_err(0x43);
inline constexpr IOReturn usbTooManyTransactionsPending = iokit_usb_err(0x42);
} // namespace ioreturn

// Override list first (first text wins), then the named-code table (first equal
// entry), then "IOError (<signed decimal>)". Always answers a text.
std::string returnCodeDescription(IOReturn code);
// The override list only.
std::optional<std::string> returnCodeRecoverySuggestion(IOReturn code);

using ReturnCodeTextHandler = std::function<std::optional<std::string>(IOReturn)>;

// The four process-wide override lists. Nothing in the applications adds to
// them; they may be read and changed from any thread.
struct ErrorTextOverrides {
    static void addJqIOErrorDescription(JqIOErrorTextHandler handler);
    static void addJqIOErrorRecoverySuggestion(JqIOErrorTextHandler handler);
    static void addReturnCodeDescription(ReturnCodeTextHandler handler);
    static void addReturnCodeRecoverySuggestion(ReturnCodeTextHandler handler);
    static void removeAll();
};

// The one exception of the USB layer: either a `JqIOError` case or a failed
// return code, described by the texts above.
class USBError : public std::exception {
public:
    explicit USBError(JqIOError error);
    explicit USBError(IOReturn code);

    bool isReturnCode() const { return isReturnCode_; }
    // The case, none for a return code.
    std::optional<JqIOError> jqIOError() const;
    // The return code, or the case's raw value for a `JqIOError`.
    std::int32_t code() const { return code_; }

    std::optional<std::string> errorDescription() const;
    std::optional<std::string> recoverySuggestion() const;
    const char* what() const noexcept override { return text_.c_str(); }

    friend bool operator==(const USBError& error, JqIOError kase) { return error.jqIOError() == kase; }
    friend bool operator==(const USBError& error, IOReturn code) {
        return error.isReturnCode() && error.code() == code;
    }

private:
    bool isReturnCode_;
    std::int32_t code_;
    std::string text_;
};

// "error happened at <label> and error is: Optional("<description>")"
std::string errorHappenedLine(std::string_view label, IOReturn code);

// Throws `code` unless it is success. The scanner build first writes the
// "error happened at" line; the monitor build's check takes no label and
// writes nothing.
template <DeviceBuild B>
void throwIfNotSuccess(IOReturn code, std::string_view label = {});

// Throws `code` unless it is success. The monitor build first writes
// "send control request not success"; the scanner build writes nothing.
template <DeviceBuild B>
void throwIfControlRequestNotSuccess(IOReturn code);

// Throws the error that `makeError` returns, unless `code` is success.
template <class MakeError>
void throwIfNotSuccess(IOReturn code, MakeError&& makeError) {
    if (code != ioreturn::success) {
        throw makeError();
    }
}

} // namespace tbx
