#include "scanning/ScannerServices.h"

#include "device/Snmp.h"
#include "scanning/AutoDetectDevices.h"
#include "scanning/ImageProcessing.h"
#include "scanning/SocketScanProcess.h"
#include "scanning/UsbScanProcess.h"

namespace tbx {

// Each entry calls the part of the engine that does the work; a part that this
// build does not hold answers its failure.
ScannerServices productScannerServices() {
    ScannerServices s;
    s.getDevicesList = [] { return getDevicesList(); };
    s.prepareDiscovery = [] { prepareSnmp(); };
    s.runUsbScan = [](const Device& scanner, const std::shared_ptr<ScanCommand>& scanCommand) {
        return runUsbScan(scanner, scanCommand);
    };
    s.runSocketScan = [](const Device& scanner, const std::shared_ptr<ScanCommand>& scanCommand) {
        return runSocketScan(scanner, scanCommand);
    };
    s.combineImage = [](std::int64_t pages, std::int64_t oriation, const ScanParam& param) {
        return combineImage(pages, oriation, param);
    };
    s.save2PDF = [](const ScanParam& param, std::int64_t pages, const std::string& pdfDir,
                    const std::string& pageSize) { return save2PDF(param, pages, pdfDir, pageSize); };
    s.now = [] { return std::chrono::system_clock::now(); };
    return s;
}

} // namespace tbx
