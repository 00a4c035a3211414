#include "device/USBTypes.h"

#include <cmath>

namespace tbx {

template <DeviceBuild B>
std::uint8_t pipeArgument(long pipe, std::string_view label) {
    if (pipe < 0 || pipe > 255) {
        throwIfNotSuccess<B>(ioreturn::badArgument, label);
    }
    return static_cast<std::uint8_t>(pipe);
}

template <DeviceBuild B>
std::uint32_t millisecondsArgument(double seconds, std::string_view label) {
    const double milliseconds = seconds * 1000.0;
    if (!std::isfinite(seconds) || seconds < 0 || milliseconds >= 4294967296.0) {
        throwIfNotSuccess<B>(ioreturn::badArgument, label);
    }
    return static_cast<std::uint32_t>(milliseconds);
}

template <DeviceBuild B>
std::uint32_t countArgument(long long value, std::string_view label) {
    if (value < 0 || value > 0xFFFFFFFFLL) {
        throwIfNotSuccess<B>(ioreturn::badArgument, label);
    }
    return static_cast<std::uint32_t>(value);
}

template <DeviceBuild B>
std::uint16_t searchArgument(long value, std::string_view label) {
    if (value < 0 || value > 0xFFFF) {
        throwIfNotSuccess<B>(ioreturn::badArgument, label);
    }
    return static_cast<std::uint16_t>(value);
}

template <DeviceBuild B>
void throwNotOpen(std::string_view label) {
    throwIfNotSuccess<B>(ioreturn::notOpen, label);
    throw USBError(ioreturn::notOpen); // not reached: the check above throws
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

std::string optionalCode(const std::optional<IOReturn>& code) {
    return code ? "Optional(" + std::to_string(*code) + ")" : "nil";
}

#define TBX_INSTANTIATE(B)                                                                                   \
    template std::uint8_t pipeArgument<B>(long, std::string_view);                                           \
    template std::uint32_t millisecondsArgument<B>(double, std::string_view);                                \
    template std::uint32_t countArgument<B>(long long, std::string_view);                                    \
    template std::uint16_t searchArgument<B>(long, std::string_view);                                        \
    template void throwNotOpen<B>(std::string_view);
TBX_INSTANTIATE(ScannerBuild)
TBX_INSTANTIATE(MonitorBuild)
#undef TBX_INSTANTIATE

} // namespace tbx
