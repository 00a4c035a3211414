// A small line-oriented TCP client over a Network-framework connection: started on the
// main queue, it logs every state of the connection, keeps one receive armed while the
// connection is usable, logs and prints what arrives, and sends text lines ended by CR LF.
// Nothing it receives is handed to a caller. Both applications carry it unchanged.
#pragma once

#include "platform/network/Network.h"

#include <memory>
#include <string>
#include <string_view>

namespace tbx {

class TCPSocket : public std::enable_shared_from_this<TCPSocket> {
public:
    // The client for `host` (a name or an address) and `port` (a decimal port number), not
    // started. Answers null when `port` is not a valid port number.
    static std::shared_ptr<TCPSocket> create(std::string_view host, std::string_view port);

    std::shared_ptr<nw::Connection> connection;

    void start();
    void stop();
    // Arms one receive (1 to 65,536 bytes); its completion arms the next.
    void startReceive();
    // Sends `line` and CR LF, whatever the connection's state.
    void send(const std::string& line);

    // How the log shows a data object: "{length = 5, bytes = 0x68656c6c 6f}".
    static std::string dataDescription(const nw::Data& data);

    explicit TCPSocket(std::shared_ptr<nw::Connection> made);

private:
    void didChange(const nw::State& state);
};

} // namespace tbx
