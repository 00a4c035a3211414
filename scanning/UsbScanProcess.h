// One scan job with a scanner attached over USB: the vendor open request, the
// paper-source check (D), the S, I and X commands on the bulk pipes, one page
// cycle per page through the interface's IN pipe (each page saved as soon as it
// is complete), and the vendor close request. Answers the job as one result pair.
#pragma once

#include "device/JqIOUSB.h"
#include "scanning/Device.h"
#include "scanning/ResultPair.h"
#include "scanning/ScanCommand.h"

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

namespace tbx {

class UsbScanProcess {
public:
    using Build = ScannerBuild;
    // Saves one page; the product uses saveImages.
    using PageWriter =
        std::function<ResultPair(const ScanParam&, std::int64_t pageNo, std::span<const std::uint8_t>)>;

    UsbScanProcess(Device scanner, std::shared_ptr<ScanCommand> scanCommand, PageWriter writePage = {});
    UsbScanProcess(const UsbScanProcess&) = delete;
    UsbScanProcess& operator=(const UsbScanProcess&) = delete;

    ResultPair openScanner();
    ResultPair closeScanner();
    ResultPair startScan();
    ResultPair checkPaperSource();
    ResultPair sendSCommand();
    ResultPair sendICommand();
    // Status 1 for success, -1 for failure.
    std::pair<int, std::string> sendXCommand();
    // Gives up the device and interface handles (also done by the destructor).
    void release();

    const Device& scanner() const { return scanner_; }
    const std::shared_ptr<ScanCommand>& scanCommand() const { return scanCommand_; }
    bool hasInterface() const { return bool(interfaceInterface_); }
    const PipeMap& pips() const { return pips_; }

private:
    ResultPair vendorRequest(std::uint8_t request);
    // Writes a command and reads its reply's first byte; none when no interface
    // or the needed pipe is missing. Throws the transfer's error.
    std::optional<std::uint8_t> exchange(std::string_view command, long maxReply);
    // The interface open, the pipes, D, S, I, X and the page cycles.
    ResultPair runJob();
    ResultPair receivePages(InterfaceSession<Build> firstCycle);

    Device scanner_;
    std::shared_ptr<ScanCommand> scanCommand_;
    PageWriter writePage_;
    USBDevice<Build> deviceInterface_;
    USBInterface<Build> interfaceInterface_;
    PipeMap pips_;
};

// The product's USB scan: one process for one job.
ResultPair runUsbScan(const Device& scanner, const std::shared_ptr<ScanCommand>& scanCommand);

} // namespace tbx
