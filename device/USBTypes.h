// What the USB layer's operations take and give beside the handles: byte
// arrays, the pipe map, the options of a bulk read, the checks that refuse
// arguments outside the platform's limits (kIOReturnBadArgument before any call
// is made) and the platform's rendering of a byte list.
#pragma once

#include "device/Build.h"
#include "device/IOReturn.h"
#include "platform/iokit/IOKitLib.h"

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tbx {

using Bytes = std::vector<std::uint8_t>;
// "writePipe" and "readPipe" to pipe indexes.
using PipeMap = std::map<std::string, long>;

using iokit::IOUSBDevRequestTO;
using iokit::IOUSBFindInterfaceRequest;

struct ReadOptions {
    std::optional<long> minCount{};
    long maxCount = 64;
    long pipe = 0;
    double noDataTimeout = 0.3;
    double completionTimeout = 0.3;
};

// The one-byte pipe index, or kIOReturnBadArgument outside 0-255.
template <DeviceBuild B>
std::uint8_t pipeArgument(long pipe, std::string_view label);
// Seconds as whole milliseconds (truncated), or kIOReturnBadArgument for a
// negative, non-finite or too large value.
template <DeviceBuild B>
std::uint32_t millisecondsArgument(double seconds, std::string_view label);
// A byte count of 0 to 2^32 - 1, or kIOReturnBadArgument.
template <DeviceBuild B>
std::uint32_t countArgument(long long value, std::string_view label);
// An interface search value of 0 to 65535, or kIOReturnBadArgument.
template <DeviceBuild B>
std::uint16_t searchArgument(long value, std::string_view label);

// An operation on an empty handle (never given one, moved from or released)
// throws kIOReturnNotOpen through the operation's label.
template <DeviceBuild B>
[[noreturn]] void throwNotOpen(std::string_view label);

// The platform's rendering of a byte list: "[1, 2, 3]".
std::string byteListText(std::span<const std::uint8_t> bytes);
// A return code shown as an optional value: "Optional(0)", or "nil" when no call was made.
std::string optionalCode(const std::optional<IOReturn>& code);

} // namespace tbx
