// One scan job with a scanner reached over the network: the TCP connection to
// the scanner's port (54321), the greeting check, the paper-source check (D),
// the S, I and X commands, and the whole-job page receiver that saves each page
// as soon as it is complete. Answers the job as one result pair and closes the
// connection on every way out.
#pragma once

#include "device/TCPCommunicator.h"
#include "scanning/Device.h"
#include "scanning/ResultPair.h"
#include "scanning/ScanCommand.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace tbx {

// Saves one page; the product uses saveImages.
using SocketPageWriter =
    std::function<ResultPair(const ScanParam&, std::int64_t pageNo, std::span<const std::uint8_t>)>;

// The capacity reserved for one page of `param`: w × h bytes, ((w + 7) / 8) × h
// in TEXT mode, computed without overflow and capped at `kMaxPageReservation`
// (a larger page still arrives, it only grows its buffer).
inline constexpr std::uint64_t kMaxPageReservation = 64ull << 20;
std::uint64_t expectedPageSize(const ScanParam& param);

// Reads the scan image stream of one job from the connected `socket` and saves
// each page through `writePage` (saveImages when empty). (true, pages saved) when
// the job ended well; (false, "scannerNetworkError") for a failed or short read,
// a stream that ends inside a page, a page trailer that does not start with
// 0x82, or a page past maxPageBytes(param) (detail "scanPageTooLarge", found
// before its block is kept); (false, status word) for a status byte other than 0x80;
// (false, "saveImageError") when a page could not be saved (the others stay).
ResultPair receiveImages(TCPCommunicator<ScannerBuild>& socket, const ScanParam& param,
                         const SocketPageWriter& writePage = {});

class SocketScanProcess {
public:
    static constexpr std::uint32_t kScannerPort = 54321;

    struct Options {
        std::uint32_t port = kScannerPort;
        // Bounds every read: a scanner that stops sending fails the step that waits.
        cfnetwork::StreamTimeouts timeouts{};
        SocketPageWriter writePage;
    };

    SocketScanProcess(Device scanner, std::shared_ptr<ScanCommand> scanCommand);
    SocketScanProcess(Device scanner, std::shared_ptr<ScanCommand> scanCommand, Options options);
    SocketScanProcess(const SocketScanProcess&) = delete;
    SocketScanProcess& operator=(const SocketScanProcess&) = delete;

    ResultPair startScan();
    ResultPair checkScanner();
    void closeScanner();
    ResultPair checkPaperSource();
    ResultPair sendSCommand();
    ResultPair sendICommand();
    // Sends X; false when it could not be written (no job then follows).
    void sendXCommand();
    bool xCommandSent() const { return sendX_; }

    TCPCommunicator<ScannerBuild>& socket() { return *socket_; }
    const Device& scanner() const { return scanner_; }
    const std::shared_ptr<ScanCommand>& scanCommand() const { return scanCommand_; }

private:
    std::optional<std::uint8_t> exchange(const std::string& command);

    std::unique_ptr<TCPCommunicator<ScannerBuild>> socket_;
    Device scanner_;
    std::shared_ptr<ScanCommand> scanCommand_;
    SocketPageWriter writePage_;
    bool sendX_ = false;
};

// The port network scans go to: TAMBERLYX_SCANNER_PORT when it holds a port
// number (the simulated scanner of the demo and tests), otherwise 54321.
std::uint32_t socketScanPort();

// The product's network scan: one process for one job.
ResultPair runSocketScan(const Device& scanner, const std::shared_ptr<ScanCommand>& scanCommand);

} // namespace tbx
