#include "device/TCPCommunicator.h"

#include "platform/foundation/Print.h"

#include <chrono>
#include <thread>

namespace tbx {
namespace {

void pauseBeforeRead() {
    std::this_thread::sleep_for(std::chrono::microseconds(2000));
}

template <class Stream>
std::string statusText(const std::shared_ptr<Stream>& stream) {
    return stream ? std::to_string(cfnetwork::rawValue(stream->streamStatus())) : std::string("nil");
}

} // namespace

template <DeviceBuild B>
TCPCommunicator<B>::TCPCommunicator(std::string url, std::uint32_t port, cfnetwork::StreamTimeouts timeouts)
    : TCPCommunicator(std::move(url), port, StreamFactory{}, timeouts) {}

template <DeviceBuild B>
TCPCommunicator<B>::TCPCommunicator(std::string url, std::uint32_t port, StreamFactory factory,
                                    cfnetwork::StreamTimeouts timeouts)
    : url_(std::move(url)), port_(port), factory_(std::move(factory)), timeouts_(timeouts) {
    if (!factory_) {
        factory_ = [](const std::string& host, std::uint32_t toPort,
                      const cfnetwork::StreamTimeouts& bounds) {
            return cfnetwork::createPairWithSocketToHost(host, toPort, bounds);
        };
    }
}

// Whatever is still held is released (and so closed) with the client.
template <DeviceBuild B>
TCPCommunicator<B>::~TCPCommunicator() = default;

template <DeviceBuild B>
void TCPCommunicator<B>::setURL(std::string url) {
    url_ = std::move(url);
}

template <DeviceBuild B>
void TCPCommunicator<B>::connect() {
    traceIf(B::writesConnectLines, [&] {
        return "TCP Socket attemp to connect ip = " + url_ + " and port = " + std::to_string(port_);
    });
    cfnetwork::StreamPair pair = factory_(url_, port_, timeouts_);
    traceIf(!B::writesConnectLines, "Opening streams.");
    // A pair of an earlier connect() is closed here rather than left open: its
    // socket would otherwise live on for as long as anything still refers to it.
    if (outputStream_) {
        outputStream_->close();
    }
    if (inputStream_) {
        inputStream_->close();
    }
    outputStream_ = std::move(pair.output);
    inputStream_ = std::move(pair.input);
    if (outputStream_) {
        outputStream_->open();
    }
    if (inputStream_) {
        inputStream_->open();
    }
    traceIf(B::writesConnectLines, "Opening streams. Connected");
}

template <DeviceBuild B>
void TCPCommunicator<B>::disconnect() {
    print("Closing streams.");
    if (inputStream_) {
        inputStream_->close();
    }
    if (outputStream_) {
        outputStream_->close();
    }
    inputStream_.reset();
    outputStream_.reset();
}

template <DeviceBuild B>
std::optional<std::string> TCPCommunicator<B>::receive() {
    pauseBeforeRead();
    std::vector<std::uint8_t> buffer(1024, 0);
    print("inputStream status = " + statusText(inputStream_));
    if (!inputStream_) {
        return std::nullopt;
    }
    const long n = inputStream_->read(buffer.data(), buffer.size());
    print("TCPCommunicator: func receive . read data len = " + std::to_string(n));
    if (n <= 0) {
        return std::nullopt;
    }
    // Only the bytes received are the reply: the zero fill behind them is not part
    // of it, so a reply compares equal to its code text.
    const auto count = std::size_t(n);
    if (!isValidUTF8(buffer.data(), count)) {
        return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(buffer.data()), count);
}

template <DeviceBuild B>
bool TCPCommunicator<B>::send(const std::string& message) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(message.data());
    traceIf(B::writesSendLines, [&] { return "outputStream status = " + statusText(outputStream_); });
    std::optional<long> result;
    if (outputStream_) {
        result = outputStream_->write(bytes, message.size());
    }
    traceIf(B::writesSendLines, [&] {
        return "outputstream write result = " + (result ? std::to_string(*result) : std::string("nil"));
    });
    return result && *result == long(message.size());
}

template <DeviceBuild B>
std::optional<std::vector<std::uint8_t>> TCPCommunicator<B>::receiveResponse() requires isScannerBuild<B> {
    pauseBeforeRead();
    std::vector<std::uint8_t> buffer(300, 0);
    if (!inputStream_) {
        return std::nullopt;
    }
    const long n = inputStream_->read(buffer.data(), buffer.size());
    print("TCPCommunicator: func receiveResponse . read data len = " + std::to_string(n));
    if (n < 1) {
        return std::nullopt;
    }
    return buffer;
}

template <DeviceBuild B>
bool TCPCommunicator<B>::sendCmd(const std::vector<std::uint8_t>& cmd) requires isScannerBuild<B> {
    if (!outputStream_) {
        return false;
    }
    return outputStream_->write(cmd.data(), cmd.size()) == long(cmd.size());
}

template <DeviceBuild B>
long TCPCommunicator<B>::read(std::uint8_t* buffer, std::size_t maxLength) requires isScannerBuild<B> {
    return inputStream_ ? inputStream_->read(buffer, maxLength) : -1;
}

template class TCPCommunicator<ScannerBuild>;
template class TCPCommunicator<MonitorBuild>;

} // namespace tbx
