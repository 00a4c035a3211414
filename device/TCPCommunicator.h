// The TCP client of the scan channel (scanner build) and of the printer's command
// channel (status monitor build): a read/write stream pair to one host and port
// with plain blocking operations. Each read is one read call on the input stream,
// each write hands all the bytes to the output stream; there is no framing.
//
// The pair comes from a `StreamFactory`, by default the socket-backed pair of
// platform/cfnetwork with the client's `timeouts`. Tests hand in their own factory
// to script what the reads deliver. Every read and the connection are bounded by
// `timeouts`, so a silent peer cannot hold the calling (main) thread for good;
// a read that gives up answers absent, exactly like a failed read.
#pragma once

#include "device/Build.h"
#include "platform/cfnetwork/Streams.h"
#include "platform/posix/PosixIO.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tbx {

template <DeviceBuild B>
class TCPCommunicator {
public:
    using StreamFactory = std::function<cfnetwork::StreamPair(const std::string& host, std::uint32_t port,
                                                              const cfnetwork::StreamTimeouts& timeouts)>;

    // Stores the address and port; opens nothing. `url` is the device address
    // text (a dotted IPv4 address or a host name), handed to the pair unchanged.
    TCPCommunicator(std::string url, std::uint32_t port, cfnetwork::StreamTimeouts timeouts = {});
    TCPCommunicator(std::string url, std::uint32_t port, StreamFactory factory,
                    cfnetwork::StreamTimeouts timeouts = {});
    ~TCPCommunicator();
    TCPCommunicator(const TCPCommunicator&) = delete;
    TCPCommunicator& operator=(const TCPCommunicator&) = delete;

    const std::string& url() const { return url_; }
    std::uint32_t port() const { return port_; }
    const cfnetwork::StreamTimeouts& timeouts() const { return timeouts_; }
    void setTimeouts(cfnetwork::StreamTimeouts timeouts) { timeouts_ = timeouts; }

    // The next `connect()` goes to the new address; open streams are not touched.
    void setURL(std::string url);
    // Makes and opens a fresh pair (the halves of an earlier pair are closed).
    // Returns at once: a failure to reach the host shows in the first read or write.
    void connect();
    // Closes and drops both halves.
    void disconnect();
    // One read of at most 1024 bytes, as UTF-8 text of the bytes received; absent
    // when nothing could be read or the bytes are not valid UTF-8.
    std::optional<std::string> receive();
    // Writes the UTF-8 bytes of `message`; answers whether all of them went out.
    bool send(const std::string& message);

    // One read of at most 300 bytes, answered as the whole zero-padded 300-byte
    // buffer; absent when nothing could be read.
    std::optional<std::vector<std::uint8_t>> receiveResponse() requires isScannerBuild<B>;
    // Writes all bytes of `cmd`; answers whether all of them went out.
    bool sendCmd(const std::vector<std::uint8_t>& cmd) requires isScannerBuild<B>;
    // One read of at most `maxLength` bytes, without a pause or a line: the
    // count, 0 at the end of the stream, -1 on failure or when not connected.
    // The scan's page receiver reads the image stream through it.
    long read(std::uint8_t* buffer, std::size_t maxLength) requires isScannerBuild<B>;

    // Between `connect()` and `disconnect()`.
    bool isConnected() const { return inputStream_ != nullptr; }
    // The error number of the input stream's last failed read (ETIMEDOUT when
    // it gave up waiting), 0 when none or not connected.
    int inputError() const { return inputStream_ ? inputStream_->streamError() : 0; }

private:
    std::string url_;
    std::uint32_t port_;
    StreamFactory factory_;
    cfnetwork::StreamTimeouts timeouts_;
    // The halves in use, from `connect()` until `disconnect()`.
    std::shared_ptr<cfnetwork::InputStream> inputStream_;
    std::shared_ptr<cfnetwork::OutputStream> outputStream_;
};

extern template class TCPCommunicator<ScannerBuild>;
extern template class TCPCommunicator<MonitorBuild>;

// The replies' UTF-8 check (platform/posix).
using posix::isValidUTF8;

} // namespace tbx
