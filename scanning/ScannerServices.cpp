#include "scanning/ScannerServices.h"

#include "scanning/AutoDetectDevices.h"

namespace tbx {

// Each entry calls the part of the engine that does the work; a part that this
// build does not hold answers its failure.
ScannerServices productScannerServices() {
    ScannerServices s;
    s.getDevicesList = [] { return getDevicesList(); };
    s.runUsbScan = [](const Device&, const std::shared_ptr<ScanCommand>&) {
        return ResultPair{false, "scanProcessUnavailable"};
    };
    s.runSocketScan = [](const Device&, const std::shared_ptr<ScanCommand>&) {
        return ResultPair{false, "scanProcessUnavailable"};
    };
    s.combineImage = [](std::int64_t, std::int64_t, const ScanParam&) {
        return ResultPair{false, "saveImageError"};
    };
    s.save2PDF = [](const ScanParam&, std::int64_t, const std::string&, const std::string&) {
        return ResultPair{false, "saveImageError"};
    };
    s.now = [] { return std::chrono::system_clock::now(); };
    return s;
}

} // namespace tbx
