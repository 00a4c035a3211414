#include "sim/printer/TcpCommandPeer.h"

#include <cerrno>
#include <chrono>
#include <sys/socket.h>

namespace tbx::sim {

TcpCommandPeer::TcpCommandPeer(std::shared_ptr<CommandResponder> responder, std::uint16_t port)
    : responder_(std::move(responder)),
      server_("command peer", port, [this](int fd) { serveConnection(fd); }) {}

void TcpCommandPeer::serveConnection(int fd) {
    CommandResponder::Bytes pending;
    while (!server_.stopping()) {
        if (!LoopbackServer::readable(fd, 50)) {
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
                if (posix::sendAll(fd, *reply, std::chrono::seconds(5)).error != 0) {
                    return;
                }
            }
        }
    }
}

} // namespace tbx::sim
