// A CommandResponder as the printer's command port on the loopback interface.
// Connections are served one after the other on the peer's own thread; on each,
// a request ends at its first "?" or ";" byte (the write commands carry their
// fields' "?" and ";" escaped) and gets the responder's reply in one send. A
// silent reply sends nothing and the connection stays open. The product's
// printers listen on 9101; tests pass 0 and read `port()`.
#pragma once

#include "sim/printer/CommandResponder.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

namespace tbx::sim {

class TcpCommandPeer {
public:
    explicit TcpCommandPeer(std::shared_ptr<CommandResponder> responder, std::uint16_t port = 0);
    ~TcpCommandPeer();
    TcpCommandPeer(const TcpCommandPeer&) = delete;
    TcpCommandPeer& operator=(const TcpCommandPeer&) = delete;

    std::uint16_t port() const { return port_; }
    int connections() const { return connections_.load(); }
    void stop();

private:
    void serve();
    void serveConnection(int fd);

    std::shared_ptr<CommandResponder> responder_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
};

} // namespace tbx::sim
