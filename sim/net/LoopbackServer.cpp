#include "sim/net/LoopbackServer.h"

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>

namespace tbx::sim {

LoopbackServer::LoopbackServer(const std::string& who, std::uint16_t port, Serve serve)
    : serve_(std::move(serve)), listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    const int on = 1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (!listener_ || ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_.get(), 4) != 0 ||
        ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error(who + ": cannot listen on the loopback port");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { acceptLoop(); });
}

LoopbackServer::~LoopbackServer() {
    stop();
}

void LoopbackServer::stop() {
    stopping_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    listener_.reset();
}

bool LoopbackServer::readable(int fd, int ms) {
    return posix::waitReady(fd, POLLIN, posix::deadlineIn(std::chrono::milliseconds(ms))) == 1;
}

void LoopbackServer::acceptLoop() {
    while (!stopping_) {
        if (!readable(listener_.get(), 50)) {
            continue;
        }
        const posix::UniqueFd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!connection) {
            continue;
        }
        ++connections_;
        serve_(connection.get());
    }
}

} // namespace tbx::sim
