// A CommandResponder as the printer's command port on the loopback interface.
// Connections are served one after the other on the peer's own thread; on each,
// a request ends at its first "?" or ";" byte (the write commands carry their
// fields' "?" and ";" escaped) and gets the responder's reply in one send. A
// silent reply sends nothing and the connection stays open. The product's
// printers listen on 9101; tests pass 0 and read `port()`.
#pragma once

#include "sim/net/LoopbackServer.h"
#include "sim/printer/CommandResponder.h"

#include <cstdint>
#include <memory>

namespace tbx::sim {

class TcpCommandPeer {
public:
    explicit TcpCommandPeer(std::shared_ptr<CommandResponder> responder, std::uint16_t port = 0);
    TcpCommandPeer(const TcpCommandPeer&) = delete;
    TcpCommandPeer& operator=(const TcpCommandPeer&) = delete;

    std::uint16_t port() const { return server_.port(); }
    int connections() const { return server_.connections(); }
    void stop() { server_.stop(); }

private:
    void serveConnection(int fd);

    std::shared_ptr<CommandResponder> responder_;
    LoopbackServer server_; // last: its thread stops before the responder goes
};

} // namespace tbx::sim
