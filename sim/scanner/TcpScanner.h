// The simulated scanner on a TCP port of the loopback interface: one scan job
// per connection, served by a fresh `ScannerEngine` with the given script. The
// image stream goes out in pieces of random sizes (seeded by the script), so the
// host sees it cut anywhere. The product's scanners listen on 54321; tests pass
// 0 and read `port()`.
#pragma once

#include "sim/net/LoopbackServer.h"
#include "sim/scanner/ScannerEngine.h"

#include <cstdint>
#include <mutex>

namespace tbx::sim {

class TcpScanner {
public:
    explicit TcpScanner(ScannerScript script, std::uint16_t port = 0);
    TcpScanner(const TcpScanner&) = delete;
    TcpScanner& operator=(const TcpScanner&) = delete;

    std::uint16_t port() const { return server_.port(); }
    void stop() { server_.stop(); }

    // What the most recent connection's job saw.
    std::vector<std::string> commandLog() const;
    std::vector<std::string> commandTexts() const;
    ScanSettings settings() const;
    int connections() const { return server_.connections(); }

private:
    void serveConnection(int fd);
    // The image stream after X, in the pieces the script asks for; false when
    // the host went away.
    bool sendStream(int fd, ScannerEngine& engine);

    ScannerScript script_;
    mutable std::mutex mutex_;
    std::vector<std::string> commandLog_;
    std::vector<std::string> commandTexts_;
    ScanSettings settings_;
    LoopbackServer server_; // last: its thread stops before the rest goes
};

} // namespace tbx::sim
