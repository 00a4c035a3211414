// Everything the scanner model reaches outside itself: discovery, the two scan
// processes, the combining and PDF steps of the page files, and the clock that
// names receive folders. The product's wiring is productScannerServices();
// tests give the model their own.
#pragma once

#include "scanning/Device.h"
#include "scanning/ResultPair.h"
#include "scanning/ScanCommand.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tbx {

struct ScannerServices {
    // Network scanners first, then USB scanners.
    std::function<std::vector<Device>()> getDevicesList;
    // Made on the model's own thread before discovery goes to a worker: loads
    // what discovery's libraries must not load on a worker. May be empty.
    std::function<void()> prepareDiscovery;
    // One whole scan job on `scanner`: the process is made for the job, runs it
    // and is dropped. It saves each page as it arrives under
    // `command->param.filePath` and may resolve `command->param.source`. The
    // answer's message is the page count on success, a localisation key otherwise.
    std::function<ResultPair(const Device& scanner, const std::shared_ptr<ScanCommand>& command)> runUsbScan;
    std::function<ResultPair(const Device& scanner, const std::shared_ptr<ScanCommand>& command)>
        runSocketScan;
    // Joins the page files 1..pages pairwise into sheets (oriation 1: ID card).
    std::function<ResultPair(std::int64_t pages, std::int64_t oriation, const ScanParam& param)> combineImage;
    // Writes the JPEG page files 1..pages as one PDF into `pdfDir`, never
    // replacing an existing file; false when no complete PDF was written.
    std::function<ResultPair(const ScanParam& param, std::int64_t pages, const std::string& pdfDir,
                             const std::string& pageSize)>
        save2PDF;
    std::function<std::chrono::system_clock::time_point()> now;
};

ScannerServices productScannerServices();

} // namespace tbx
