#include "sim/printer/TcpCommandPeer.h"

#include "device/SocketFunctions.h"

#include <cerrno>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace tbx::sim {
namespace {

constexpr int kPollMs = 50;

bool readable(int fd) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, kPollMs) > 0;
}

} // namespace

TcpCommandPeer::TcpCommandPeer(std::shared_ptr<CommandResponder> responder, std::uint16_t port)
    : responder_(std::move(responder)) {
    listener_ = tcpsocket_listen("127.0.0.1", port);
    if (listener_ < 0) {
        throw std::runtime_error("command peer: cannot listen on the loopback port");
    }
    port_ = std::uint16_t(tcpsocket_port(listener_));
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
                if (tcpsocket_send(fd, reply->data(), int(reply->size()), 5) < 0) {
                    return;
                }
            }
        }
    }
}

} // namespace tbx::sim
