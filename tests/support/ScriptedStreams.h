// A stream pair whose reads follow a script and whose writes are recorded, for
// testing code that talks through a `TCPCommunicator` without any socket.
// Hand `factory()` to the communicator; each `connect()` then gets this pair.
#pragma once

#include "platform/cfnetwork/Streams.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tbx::test {

class ScriptedInputStream final : public cfnetwork::InputStream {
public:
    // One read delivers these bytes (at most what it asks for; the rest is the
    // start of the next read).
    void pushBytes(std::vector<std::uint8_t> bytes);
    void pushText(std::string_view text);
    // One read answers 0 (the peer ended the stream).
    void pushEnd();
    // One read answers -1 (a failed read; `error` is then the stream's error,
    // ETIMEDOUT for a read whose time ran out).
    void pushFailure(int error = 0);
    // When the script is used up, reads answer this (default: 0, end of stream).
    void setResultWhenExhausted(long result);

    // The maximum length of every read made, in order.
    std::vector<std::size_t> askedLengths() const;
    int reads() const;
    bool opened() const;
    bool closedCalled() const;

    void open() override;
    void close() override;
    cfnetwork::StreamStatus streamStatus() const override;
    int streamError() const override;
    long read(std::uint8_t* buffer, std::size_t maxLength) override;

private:
    struct Step {
        std::vector<std::uint8_t> bytes;
        long result;
        int error = 0;
    };
    mutable std::mutex mutex_;
    std::deque<Step> steps_;
    int error_ = 0;
    long exhausted_ = 0;
    std::vector<std::size_t> asked_;
    cfnetwork::StreamStatus status_ = cfnetwork::StreamStatus::notOpen;
};

class ScriptedOutputStream final : public cfnetwork::OutputStream {
public:
    // Every write answers `result` instead of the full length (-1: a failure).
    void failWritesWith(long result);
    std::vector<std::uint8_t> written() const;
    std::string writtenText() const;
    // Each write call's bytes, in order.
    std::vector<std::vector<std::uint8_t>> writes() const;

    void open() override;
    void close() override;
    cfnetwork::StreamStatus streamStatus() const override;
    int streamError() const override { return 0; }
    long write(const std::uint8_t* buffer, std::size_t length) override;

private:
    mutable std::mutex mutex_;
    std::vector<std::vector<std::uint8_t>> writes_;
    std::optional<long> forced_;
    cfnetwork::StreamStatus status_ = cfnetwork::StreamStatus::notOpen;
};

struct ScriptedStreams {
    std::shared_ptr<ScriptedInputStream> input = std::make_shared<ScriptedInputStream>();
    std::shared_ptr<ScriptedOutputStream> output = std::make_shared<ScriptedOutputStream>();
    // Host and port of every connect, in order.
    std::shared_ptr<std::vector<std::pair<std::string, std::uint32_t>>> connects =
        std::make_shared<std::vector<std::pair<std::string, std::uint32_t>>>();

    // A factory for `TCPCommunicator` that hands out this pair on every connect.
    auto factory() const {
        return [input = input, output = output, connects = connects](
                   const std::string& host, std::uint32_t port, const cfnetwork::StreamTimeouts&) {
            connects->emplace_back(host, port);
            return cfnetwork::StreamPair{input, output};
        };
    }
};

} // namespace tbx::test
