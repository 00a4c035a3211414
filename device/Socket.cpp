#include "device/Socket.h"

#include "device/SocketFunctions.h"

#include <climits>
#include <cstring>

namespace tbx {
namespace {

bool fitsInt32(long value) {
    return value >= INT_MIN && value <= INT_MAX;
}

std::string textUpToZero(const std::string& text) {
    return text.substr(0, text.find('\0'));
}

std::string addressText(const char (&buffer)[16]) {
    return std::string(buffer, strnlen(buffer, sizeof buffer));
}

void closeDescriptor(std::optional<std::int32_t>& fd) {
    if (fd) {
        tcpsocket_close(*fd);
        fd.reset();
    }
}

Result sendTCP(const std::optional<std::int32_t>& fd, const std::uint8_t* data, std::size_t count) {
    if (!fd) {
        return Result::failure(SocketError::connectionClosed);
    }
    if (count > std::size_t(INT_MAX)) {
        return Result::failure(SocketError::unknownError);
    }
    const int sent = tcpsocket_send(*fd, data, int(count));
    return sent == int(count) ? Result::success() : Result::failure(SocketError::unknownError);
}

Result sendUDP(const std::optional<std::int32_t>& fd, const std::uint8_t* data, std::size_t count,
               const std::string& address, std::int32_t port) {
    if (!fd) {
        return Result::failure(SocketError::connectionClosed);
    }
    if (count > std::size_t(INT_MAX)) {
        return Result::failure(SocketError::unknownError);
    }
    const int sent = udpsocket_sentto(*fd, data, int(count), address.c_str(), port);
    return sent == int(count) ? Result::success() : Result::failure(SocketError::unknownError);
}

Datagram receiveDatagram(const std::optional<std::int32_t>& fd, long length, int timeout) {
    if (!fd) {
        return {std::nullopt, "no ip", 0};
    }
    if (length < 0 || !fitsInt32(length)) {
        return {std::nullopt, "", 0};
    }
    std::vector<std::uint8_t> buffer(std::size_t(length), 0);
    char peer[16] = {};
    int peerPort = 0;
    const int n = udpsocket_recive(*fd, buffer.data(), int(length), peer, &peerPort, timeout);
    const std::string from = addressText(peer);
    if (n <= 0) {
        return {std::nullopt, from, peerPort};
    }
    buffer.resize(std::size_t(n));
    return {std::move(buffer), from, peerPort};
}

} // namespace

TCPClient::~TCPClient() {
    close();
}

Result TCPClient::connect(long timeout) {
    if (!fitsInt32(timeout)) {
        return Result::failure(SocketError::unknownError);
    }
    const int result = tcpsocket_connect(address.c_str(), port, int(timeout));
    if (result >= 0) {
        closeDescriptor(fd); // the earlier connection would otherwise stay open for good
        fd = result;
        return Result::success();
    }
    switch (result) {
    case -1:
        return Result::failure(SocketError::queryFailed);
    case -2:
        return Result::failure(SocketError::connectionClosed);
    case -3:
        return Result::failure(SocketError::connectionTimeout);
    default:
        return Result::failure(SocketError::unknownError);
    }
}

void TCPClient::close() {
    closeDescriptor(fd);
}

Result TCPClient::send(const std::vector<std::uint8_t>& data) {
    return sendTCP(fd, data.data(), data.size());
}

Result TCPClient::send(const std::string& string) {
    const std::string text = textUpToZero(string);
    return sendTCP(fd, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

Result TCPClient::send(std::span<const std::byte> data) {
    const std::vector<std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(data.data()),
                                          reinterpret_cast<const std::uint8_t*>(data.data()) + data.size());
    return send(bytes);
}

std::optional<std::vector<std::uint8_t>> TCPClient::read(long length, long timeout) {
    if (!fd || length < 0 || !fitsInt32(length) || !fitsInt32(timeout)) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> buffer(std::size_t(length), 0);
    const int n = tcpsocket_pull(*fd, buffer.data(), int(length), int(timeout));
    if (n <= 0) {
        return std::nullopt;
    }
    buffer.resize(std::size_t(n));
    return buffer;
}

std::optional<std::int32_t> TCPClient::bytesAvailable() {
    if (!fd) {
        return std::nullopt;
    }
    const int count = tcpsocket_bytes_available(*fd);
    if (count < 0) {
        return std::nullopt;
    }
    return count;
}

TCPServer::~TCPServer() {
    close();
}

Result TCPServer::listen() {
    const int result = tcpsocket_listen(address.c_str(), port);
    if (result < 0) {
        return Result::failure(SocketError::unknownError);
    }
    closeDescriptor(fd);
    fd = result;
    if (port == 0) {
        const int chosen = tcpsocket_port(result);
        if (chosen == -1) {
            return Result::failure(SocketError::unknownError);
        }
        port = chosen;
    }
    return Result::success();
}

std::unique_ptr<TCPClient> TCPServer::accept(std::int32_t timeout) {
    if (!fd) {
        return nullptr;
    }
    char peer[16] = {};
    int peerPort = 0;
    const int accepted = tcpsocket_accept(*fd, peer, &peerPort, timeout);
    if (accepted < 0) {
        return nullptr;
    }
    auto client = std::make_unique<TCPClient>(addressText(peer), peerPort);
    client->fd = accepted;
    return client;
}

void TCPServer::close() {
    closeDescriptor(fd);
}

namespace {
std::string resolvedOrEmpty(const std::string& address) {
    char ip[16] = {};
    return udpsocket_get_server_ip(address.c_str(), ip) == 0 ? addressText(ip) : std::string();
}
} // namespace

UDPClient::UDPClient(const std::string& address, std::int32_t port) : Socket(resolvedOrEmpty(address), 0) {
    if (this->address.empty()) {
        return;
    }
    this->port = port;
    const int result = udpsocket_client();
    if (result >= 0) {
        fd = result;
    }
}

UDPClient::~UDPClient() {
    close();
}

Result UDPClient::send(const std::vector<std::uint8_t>& data) {
    return sendUDP(fd, data.data(), data.size(), address, port);
}

Result UDPClient::send(const std::string& string) {
    const std::string text = textUpToZero(string);
    return sendUDP(fd, reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), address, port);
}

void UDPClient::enableBroadcast() {
    if (fd) {
        enable_broadcast(*fd);
    }
}

Result UDPClient::send(std::span<const std::byte> data) {
    return sendUDP(fd, reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), address, port);
}

Datagram UDPClient::recv(long length, int timeout) {
    return receiveDatagram(fd, length, timeout);
}

void UDPClient::close() {
    closeDescriptor(fd);
}

UDPServer::UDPServer(std::string address, std::int32_t port) : Socket(std::move(address), port) {
    const int result = udpsocket_server(this->address.c_str(), port);
    if (result >= 0) {
        fd = result;
    }
}

UDPServer::~UDPServer() {
    close();
}

Datagram UDPServer::recv(long length, int timeout) {
    return receiveDatagram(fd, length, timeout);
}

void UDPServer::close() {
    closeDescriptor(fd);
}

} // namespace tbx
