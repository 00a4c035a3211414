#include "scanning/SocketScanProcess.h"

#include "device/JqIOUSB.h"
#include "platform/foundation/Print.h"
#include "scanning/ImageProcessing.h"
#include "scanning/ScanOptions.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <unistd.h>
#include <vector>

namespace tbx {

namespace {

constexpr std::size_t kReadBufferSize = 40960;
constexpr std::size_t kHeaderSize = 12;
constexpr std::uint8_t kJobFinished = 0x80;
constexpr std::uint8_t kTrailerMark = 0x82;

// A failed read inside the image stream, after the scanner had answered: it
// stalled (a bound ran out) or the connection broke.
ResultPair streamFailure(const cfnetwork::InputStream& input) {
    return {false, "scannerNetworkError",
            input.streamError() == ETIMEDOUT ? "scanStreamStalled" : "scanStreamBroken"};
}

std::vector<std::uint8_t> utf8(const std::string& text) {
    return {text.begin(), text.end()};
}

} // namespace

std::uint64_t expectedPageSize(const ScanParam& param) {
    const std::uint64_t w = param.w > 0 ? std::uint64_t(param.w) : 0;
    const std::uint64_t h = param.h > 0 ? std::uint64_t(param.h) : 0;
    const std::uint64_t rowBytes = param.mode == "TEXT" ? w / 8 + (w % 8 != 0) : w;
    if (rowBytes != 0 && h > kMaxPageReservation / rowBytes) {
        return kMaxPageReservation;
    }
    return std::min(rowBytes * h, kMaxPageReservation);
}

ResultPair receiveImages(TCPCommunicator<ScannerBuild>& socket, const ScanParam& param,
                         const SocketPageWriter& writePage) {
    usleep(2000);
    const std::uint64_t size = expectedPageSize(param);
    print("expect image size = " + std::to_string(size) + ", w = " + std::to_string(param.w) +
          " ,h = " + std::to_string(param.h));
    const auto input = socket.inputStream;
    if (!input) {
        return {false, "scannerNetworkError"}; // never connected
    }
    auto save = [&](std::int64_t pageNo, std::span<const std::uint8_t> data) {
        return writePage ? writePage(param, pageNo, data) : saveImages(param, pageNo, data);
    };

    std::vector<std::uint8_t> page;
    page.reserve(size);
    std::array<std::uint8_t, kHeaderSize> header{};
    std::vector<std::uint8_t> readBuffer(kReadBufferSize, 0);
    std::int64_t pageCounter = 1;
    std::uint64_t pageTotal = 0;
    bool insidePage = false; // a block header of a page not yet ended was read
    bool saveFailed = false;

    auto finished = [&]() -> ResultPair {
        if (saveFailed) {
            return {false, "saveImageError"}; // the pages that could be saved stay on disk
        }
        return {true, std::to_string(pageCounter - 1)};
    };
    auto statusResult = [&](std::uint8_t code) -> ResultPair { return {false, scanStatusMessage(code)}; };

    for (;;) {
        const long n = input->read(header.data(), header.size());
        print(byteListText(header));
        if (n < 0) {
            print("header receive len = " + std::to_string(n));
            return streamFailure(*input);
        }
        if (n == 0) {
            // The scanner closed the connection: fine between pages, a loss inside one.
            return insidePage ? ResultPair{false, "scannerNetworkError", "scanStreamBroken"} : finished();
        }
        if (n == 1) {
            const std::uint8_t b = header[0];
            print("header[0] = " + std::to_string(b));
            print("process status is : " + scanStatusMessage(b) + " data=" + std::to_string(b));
            if (b == kJobFinished) {
                return finished();
            }
            return statusResult(b);
        }
        if (n == 10 || n == 11) {
            print("header len = 10 and " + byteListText(header) +
                  " and imageSize = " + std::to_string(pageTotal) + " ");
            if (header[0] != kTrailerMark) {
                print("page trailer does not start with 0x82: page dropped");
                return {false, "scannerNetworkError", "scanStreamMalformed"};
            }
            if (!save(pageCounter, page).status) {
                saveFailed = true;
            }
            ++pageCounter;
            insidePage = false;
            if (n == 11) {
                if (header[10] == kJobFinished) {
                    print("scan finished");
                    return finished();
                }
                return statusResult(header[10]);
            }
            page.clear();
            page.reserve(size);
            pageTotal = 0;
            continue;
        }
        if (n != long(kHeaderSize)) {
            // A header cut short: its length bytes would be stale.
            print("header receive len = " + std::to_string(n));
            return {false, "scannerNetworkError", "scanStreamMalformed"};
        }
        insidePage = true;
        std::size_t remaining = std::size_t(header[10]) + 256 * std::size_t(header[11]);
        pageTotal += remaining;
        while (remaining > 0) {
            const std::size_t ask = std::min(remaining, kReadBufferSize);
            const long got = input->read(readBuffer.data(), ask);
            print("receive image len = " + std::to_string(got) + " and readLean = " + std::to_string(ask));
            if (got < 0) {
                return streamFailure(*input);
            }
            if (got == 0) {
                return {false, "scannerNetworkError", "scanStreamBroken"};
            }
            page.insert(page.end(), readBuffer.begin(), readBuffer.begin() + got);
            remaining -= std::size_t(got);
        }
    }
}

SocketScanProcess::SocketScanProcess(Device scanner, std::shared_ptr<ScanCommand> scanCommand)
    : SocketScanProcess(std::move(scanner), std::move(scanCommand), Options{}) {}

SocketScanProcess::SocketScanProcess(Device scanner, std::shared_ptr<ScanCommand> scanCommand,
                                     Options options)
    : socket_(std::make_unique<TCPCommunicator<ScannerBuild>>(scanner.ip, options.port, options.timeouts)),
      scanner_(std::move(scanner)), scanCommand_(std::move(scanCommand)),
      writePage_(std::move(options.writePage)) {}

void SocketScanProcess::closeScanner() {
    socket_->disconnect();
}

ResultPair SocketScanProcess::checkScanner() {
    if (scanner_.ip.empty()) {
        print("check scanner validate info = nil");
        return {false, "scannerNetworkError"}; // no address: nothing to connect to
    }
    socket_->connect();
    const auto reply = socket_->receiveResponse();
    if (!reply) {
        return {false, "scannerNetworkError"};
    }
    const bool valid = isValidUTF8(reply->data(), 4);
    const std::string text = valid ? std::string(reply->begin(), reply->begin() + 4) : std::string();
    print("check scanner validate info = " + (valid ? text : std::string("nil")));
    if (valid && text == "0001") {
        return {true, "ok"};
    }
    return {false, "checkScannerError"};
}

std::optional<std::uint8_t> SocketScanProcess::exchange(const std::string& command) {
    if (!socket_->sendCmd(utf8(command))) {
        return std::nullopt;
    }
    const auto reply = socket_->receiveResponse();
    if (!reply) {
        return std::nullopt;
    }
    return reply->front();
}

ResultPair SocketScanProcess::checkPaperSource() {
    auto& source = scanCommand_->param.source;
    if (source == "FB") {
        return {true, "noNeedToCheck"};
    }
    const auto reply = exchange(scanCommand_->getDCommand());
    if (!reply) {
        return {false, "scannerNetworkError"};
    }
    print("check paper source. ret = " + std::to_string(*reply));
    return paperSourceResult(*reply, source);
}

ResultPair SocketScanProcess::sendSCommand() {
    const auto reply = exchange(scanCommand_->getSCommand());
    if (!reply) {
        return {false, "scannerNetworkError"};
    }
    return sourceSelectionResult(*reply);
}

ResultPair SocketScanProcess::sendICommand() {
    const auto reply = exchange(scanCommand_->getICommand());
    if (!reply) {
        return {false, "scannerNetworkError"};
    }
    return {true, "ok"};
}

void SocketScanProcess::sendXCommand() {
    sendX_ = socket_->sendCmd(scanCommand_->getXCommand());
}

ResultPair SocketScanProcess::startScan() {
    auto finish = [this](ResultPair result) {
        closeScanner();
        return result;
    };
    if (auto r = checkScanner(); !r.status) {
        return finish(r);
    }
    if (auto r = checkPaperSource(); !r.status) {
        return finish(r);
    }
    if (auto r = sendSCommand(); !r.status) {
        return finish(r);
    }
    if (auto r = sendICommand(); !r.status) {
        return finish(r);
    }
    sendXCommand();
    if (!sendX_) {
        return finish({false, "scannerNetworkError"}); // no job was started: nothing will arrive
    }
    return finish(receiveImages(*socket_, scanCommand_->param, writePage_));
}

std::uint32_t socketScanPort() {
    if (const char* text = std::getenv("TAMBERLYX_SCANNER_PORT")) {
        std::uint32_t port = 0;
        const char* end = text + std::string_view(text).size();
        auto [ptr, ec] = std::from_chars(text, end, port);
        if (ec == std::errc() && ptr == end && port > 0 && port < 65536) {
            return port;
        }
    }
    return SocketScanProcess::kScannerPort;
}

ResultPair runSocketScan(const Device& scanner, const std::shared_ptr<ScanCommand>& scanCommand) {
    SocketScanProcess::Options options;
    options.port = socketScanPort();
    SocketScanProcess process(scanner, scanCommand, std::move(options));
    return process.startScan();
}

} // namespace tbx
