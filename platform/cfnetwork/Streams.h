// Stands in for the CFNetwork/Foundation read and write stream pair to a host and
// port (`CFStreamCreatePairWithSocketToHost` with `NSInputStream`/`NSOutputStream`):
// open without waiting for the connection, stream status, a blocking read, a
// write, close. Backed by one non-blocking BSD socket per pair (platform/posix).
// Left out: stream events and delegates, properties, SSL. Run-loop scheduling has
// no meaning here: nothing is delivered through a run loop, every read and write
// is a plain call on the caller's thread, so the pair offers no schedule/remove.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace tbx::cfnetwork {

// The platform's stream status numbers.
enum class StreamStatus : int {
    notOpen = 0,
    opening = 1,
    open = 2,
    reading = 3,
    writing = 4,
    atEnd = 5,
    closed = 6,
    error = 7,
};

constexpr int rawValue(StreamStatus status) {
    return static_cast<int>(status);
}

// Upper bounds of the waits. A wait that runs out is reported like a failed read
// or write (-1), with `streamError()` ETIMEDOUT; the stream stays usable.
struct StreamTimeouts {
    std::chrono::milliseconds connect{10'000};
    std::chrono::milliseconds read{30'000};
    std::chrono::milliseconds write{30'000};
};

class InputStream {
public:
    virtual ~InputStream() = default;
    virtual void open() = 0;
    virtual void close() = 0;
    virtual StreamStatus streamStatus() const = 0;
    // The errno-style code of the last failure, 0 when none.
    virtual int streamError() const = 0;
    // Waits for the connection, then until at least one byte is there, the peer
    // ended the stream or the stream failed. Answers the count read (at most
    // `maxLength`), 0 at end of stream, -1 on failure or when a bound ran out.
    virtual long read(std::uint8_t* buffer, std::size_t maxLength) = 0;
};

class OutputStream {
public:
    virtual ~OutputStream() = default;
    virtual void open() = 0;
    virtual void close() = 0;
    virtual StreamStatus streamStatus() const = 0;
    virtual int streamError() const = 0;
    // Writes all `length` bytes, waiting for the connection and for room to write.
    // Answers `length`, or -1 when the stream failed or a bound ran out (some bytes
    // may have been sent then). A write to a closed peer never raises SIGPIPE.
    virtual long write(const std::uint8_t* buffer, std::size_t length) = 0;
};

struct StreamPair {
    std::shared_ptr<InputStream> input;
    std::shared_ptr<OutputStream> output;
};

// Makes the pair; nothing is resolved or connected until the first `open()` of
// either half, and that only starts the connection. The socket is closed when
// both halves are closed or gone.
StreamPair createPairWithSocketToHost(std::string host, std::uint32_t port, StreamTimeouts timeouts = {});

} // namespace tbx::cfnetwork
