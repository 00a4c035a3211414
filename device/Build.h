// The device layer is built twice: once into the scanner application and once
// into the status monitor. The two builds differ only in a few trace lines and
// behaviours; each difference is one `if constexpr` on the build's flavour, so a
// single source serves both and one test binary can exercise either.
#pragma once

#include <concepts>

namespace tbx {

enum class Flavor { scanner, monitor };

struct ScannerBuild {
    static constexpr Flavor flavor = Flavor::scanner;
};

struct MonitorBuild {
    static constexpr Flavor flavor = Flavor::monitor;
};

template <class B>
concept DeviceBuild = requires {
    { B::flavor } -> std::convertible_to<Flavor>;
};

template <DeviceBuild B>
inline constexpr bool isScannerBuild = B::flavor == Flavor::scanner;

template <DeviceBuild B>
inline constexpr bool isMonitorBuild = B::flavor == Flavor::monitor;

} // namespace tbx
