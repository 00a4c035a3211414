// The device layer is built twice: once into the scanner application and once
// into the status monitor. The two builds differ only in a few trace lines and
// behaviours, and every difference is one named constant of the build below,
// read by the code as a plain value. A single source serves both builds and one
// test binary can exercise either.
#pragma once

#include "platform/foundation/Print.h"

#include <concepts>
#include <string_view>
#include <utility>

namespace tbx {

enum class Flavor { scanner, monitor };

struct ScannerBuild {
    static constexpr Flavor flavor = Flavor::scanner;
    // The USB layer's diagnostic lines: "error happened at ...", "interface
    // closed", "sendControlRequest", the pipe status and bytes of readBytes.
    static constexpr bool writesUsbTrace = true;
    // A failed control request writes "send control request not success".
    static constexpr bool writesControlFailure = false;
    // createInterfaceInterface answers every matching interface (else the first).
    static constexpr bool listsEveryInterface = true;
    // An interface open without seizing throws its code (else it writes
    // "open interface failed" and returns).
    static constexpr bool interfaceOpenThrows = false;
    // The stream TCP client's lines around connect and send.
    static constexpr bool writesConnectLines = true;
    static constexpr bool writesSendLines = false;
};

struct MonitorBuild {
    static constexpr Flavor flavor = Flavor::monitor;
    static constexpr bool writesUsbTrace = false;
    static constexpr bool writesControlFailure = true;
    static constexpr bool listsEveryInterface = false;
    static constexpr bool interfaceOpenThrows = true;
    static constexpr bool writesConnectLines = false;
    static constexpr bool writesSendLines = true;
};

template <class B>
concept DeviceBuild = requires {
    { B::flavor } -> std::convertible_to<Flavor>;
    { B::writesUsbTrace } -> std::convertible_to<bool>;
};

template <DeviceBuild B>
inline constexpr bool isScannerBuild = B::flavor == Flavor::scanner;

// Writes the line when `wanted`; a callable is only called then, so costly
// lines cost nothing in the build that does not write them.
inline void traceIf(bool wanted, std::string_view line) {
    if (wanted) {
        print(line);
    }
}
template <std::invocable Line>
void traceIf(bool wanted, Line&& line) {
    if (wanted) {
        print(std::forward<Line>(line)());
    }
}

} // namespace tbx
