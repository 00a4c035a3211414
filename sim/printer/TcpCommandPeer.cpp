#include "sim/printer/TcpCommandPeer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace tbx::sim {
namespace {

constexpr int kPollMs = 50;

bool sendAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= std::size_t(n);
    }
    return true;
}

bool readable(int fd) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, kPollMs) > 0;
}

} // namespace

TcpCommandPeer::TcpCommandPeer(std::shared_ptr<CommandResponder> responder, std::uint16_t port)
    : responder_(std::move(responder)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) {
        throw std::runtime_error("command peer: no socket");
    }
    const int yes = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 8) != 0) {
        ::close(listener_);
        throw std::runtime_error("command peer: cannot listen on the loopback port");
    }
    socklen_t size = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
}

TcpCommandPeer::~TcpCommandPeer() {
    stop();
}

void TcpCommandPeer::stop() {
    stopping_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    if (listener_ >= 0) {
        ::close(listener_);
        listener_ = -1;
    }
}

void TcpCommandPeer::serve() {
    while (!stopping_) {
        if (!readable(listener_)) {
            continue;
        }
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        ++connections_;
        serveConnection(fd);
        ::close(fd);
    }
}

void TcpCommandPeer::serveConnection(int fd) {
    CommandResponder::Bytes pending;
    while (!stopping_) {
        if (!readable(fd)) {
            continue;
        }
        std::uint8_t buffer[1024];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        pending.insert(pending.end(), buffer, buffer + n);
        while (true) {
            auto end = pending.begin();
            while (end != pending.end() && *end != '?' && *end != ';') {
                ++end;
            }
            if (end == pending.end()) {
                break;
            }
            const CommandResponder::Bytes request(pending.begin(), end + 1);
            pending.erase(pending.begin(), end + 1);
            if (const auto reply = responder_->answer(request)) {
                if (!sendAll(fd, reply->data(), reply->size())) {
                    return;
                }
            }
        }
    }
}

} // namespace tbx::sim
