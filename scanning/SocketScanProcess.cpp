#include "scanning/SocketScanProcess.h"

#include "device/ScanStreamParser.h"
#include "device/USBTypes.h"
#include "platform/foundation/Print.h"
#include "scanning/CommandSteps.h"
#include "scanning/ImageProcessing.h"
#include "scanning/ScanOptions.h"
#include "scanning/ScanParameters.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <unistd.h>
#include <vector>

namespace tbx {

namespace {

constexpr std::uint8_t kJobFinished = ScanStreamParser::kJobFinished;

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

namespace {

// The scan channel as the parser's byte source.
class ChannelSource final : public ScanByteSource {
public:
    explicit ChannelSource(TCPCommunicator<ScannerBuild>& socket) : socket_(socket) {}
    long read(std::uint8_t* buffer, std::size_t maxLength) override {
        return socket_.read(buffer, maxLength);
    }

private:
    TCPCommunicator<ScannerBuild>& socket_;
};

// The network scan's lines about the stream it receives.
class ChannelTrace final : public ScanStreamObserver {
public:
    void unitRead(const HeaderView& view, long count) override {
        print(byteListText(view));
        if (count < 0) {
            print("header receive len = " + std::to_string(count));
        }
    }
    void payloadRead(long count, std::size_t asked) override {
        print("receive image len = " + std::to_string(count) + " and readLean = " + std::to_string(asked));
    }
    void trailer(std::span<const std::uint8_t>, const HeaderView& view, std::uint64_t pageBytes) override {
        print("header len = 10 and " + byteListText(view) + " and imageSize = " + std::to_string(pageBytes) +
              " ");
    }
    void status(std::uint8_t code, bool withTrailer) override {
        if (withTrailer && code == kJobFinished) {
            print("scan finished");
            return;
        }
        print("header[0] = " + std::to_string(code));
        print("process status is : " + scanStatusMessage(code) + " data=" + std::to_string(code));
    }
};

} // namespace

ResultPair receiveImages(TCPCommunicator<ScannerBuild>& socket, const ScanParam& param,
                         const SocketPageWriter& writePage) {
    usleep(2000);
    const std::uint64_t size = expectedPageSize(param);
    print("expect image size = " + std::to_string(size) + ", w = " + std::to_string(param.w) +
          " ,h = " + std::to_string(param.h));
    if (!socket.isConnected()) {
        return {false, "scannerNetworkError"}; // never connected
    }
    ChannelSource source(socket);
    ChannelTrace trace;
    ScanStreamParser parser(source, maxPageBytes(param), &trace, std::size_t(size));
    std::int64_t pageCounter = 1;
    bool saveFailed = false;
    for (;;) {
        ScanStreamStep step = parser.next();
        switch (step.kind) {
        case ScanStreamStep::Kind::page: {
            const ResultPair saved = writePage ? writePage(param, pageCounter, step.data)
                                               : saveImages(param, pageCounter, step.data);
            saveFailed = saveFailed || !saved.status;
            ++pageCounter;
            parser.recycle(std::move(step.data));
            continue;
        }
        case ScanStreamStep::Kind::finished:
        case ScanStreamStep::Kind::ended:
            if (saveFailed) {
                return {false, "saveImageError"}; // the pages that could be saved stay on disk
            }
            return {true, std::to_string(pageCounter - 1)};
        case ScanStreamStep::Kind::status:
            return {false, scanStatusMessage(step.status)};
        case ScanStreamStep::Kind::cutShort:
            // The scanner closed inside a page: the pages before it stay saved.
            return {false, "scannerNetworkError", "scanStreamBroken"};
        case ScanStreamStep::Kind::tooLarge:
            // More than the settings can produce, or a page that never ends:
            // the scan stops here, the pages before it stay saved.
            print("page refused: " + step.problem);
            return {false, "scannerNetworkError", "scanPageTooLarge"};
        case ScanStreamStep::Kind::broken:
            if (!step.readFailed) {
                return {false, "scannerNetworkError", "scanStreamMalformed"};
            }
            // The read gave up waiting (the scanner stalled) or the connection broke.
            return {false, "scannerNetworkError",
                    socket.inputError() == ETIMEDOUT ? "scanStreamStalled" : "scanStreamBroken"};
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
    const CommandSteps steps{
        .checkPaperSource = [this] { return checkPaperSource(); },
        .sendSCommand = [this] { return sendSCommand(); },
        .sendICommand = [this] { return sendICommand(); },
        .sendXCommand = [this]() -> std::optional<ResultPair> {
            sendXCommand();
            if (!sendX_) {
                return ResultPair{false, "scannerNetworkError"}; // no job was started: nothing will arrive
            }
            return std::nullopt;
        },
    };
    if (auto ended = runCommandSteps(steps)) {
        return finish(*ended);
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
