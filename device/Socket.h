// Object layer over the plain socket functions: a `Socket` with address, port and
// an optional descriptor, and the TCP and UDP clients and servers built on it.
// Failures come back as `Result` values carrying a `SocketError`, reads as
// optional byte arrays. An object closes the descriptor it still holds when it
// is destroyed; objects are not copyable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <vector>

namespace tbx {

enum class SocketError { queryFailed, connectionClosed, connectionTimeout, unknownError };

class Result {
public:
    static Result success() { return Result(std::nullopt); }
    static Result failure(SocketError error) { return Result(error); }

    bool isSuccess() const { return !error_; }
    bool isFailure() const { return !isSuccess(); }
    std::optional<SocketError> error() const { return error_; }
    bool operator==(const Result&) const = default;

private:
    explicit Result(std::optional<SocketError> error) : error_(error) {}
    std::optional<SocketError> error_;
};

class Socket {
public:
    Socket(std::string address, std::int32_t port) : address(std::move(address)), port(port) {}
    virtual ~Socket() = default;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    const std::string address;
    std::int32_t port;
    std::optional<std::int32_t> fd;
};

class TCPClient : public Socket {
public:
    using Socket::Socket;
    ~TCPClient() override;

    // A new connection replaces (and closes) one the object already holds.
    Result connect(long timeout);
    void close();
    Result send(const std::vector<std::uint8_t>& data);
    // The UTF-8 text up to (not including) its first zero byte.
    Result send(const std::string& string);
    Result send(std::span<const std::byte> data);
    std::optional<std::vector<std::uint8_t>> read(long length, long timeout = -1);
    std::optional<std::int32_t> bytesAvailable();
};

class TCPServer : public Socket {
public:
    using Socket::Socket;
    ~TCPServer() override;

    Result listen();
    // Waits up to `timeout` seconds (0: without limit) for one connection.
    std::unique_ptr<TCPClient> accept(std::int32_t timeout = 0);
    void close();
};

using Datagram = std::tuple<std::optional<std::vector<std::uint8_t>>, std::string, long>;

class UDPClient : public Socket {
public:
    UDPClient(const std::string& address, std::int32_t port);
    ~UDPClient() override;

    Result send(const std::vector<std::uint8_t>& data);
    Result send(const std::string& string);
    void enableBroadcast();
    Result send(std::span<const std::byte> data);
    // One datagram with its sender's address and port; waits up to `timeout`
    // seconds (<= 0: without limit).
    Datagram recv(long length, int timeout = 30);
    void close();
};

class UDPServer : public Socket {
public:
    UDPServer(std::string address, std::int32_t port);
    ~UDPServer() override;

    Datagram recv(long length, int timeout = 30);
    void close();
};

} // namespace tbx
