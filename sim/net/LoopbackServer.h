// A TCP server on the loopback interface for the simulated devices: listens on
// 127.0.0.1 (port 0 picks a free one), serves connections one after the other on
// its own thread, and counts them. `stop()` (also run by the destructor) ends
// the thread within about 50 ms and closes the listening socket.
#pragma once

#include "platform/posix/PosixIO.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace tbx::sim {

class LoopbackServer {
public:
    // Serves one accepted connection; the server closes `fd` when it returns.
    // Long waits check `stopping()` about every 50 ms.
    using Serve = std::function<void(int fd)>;

    // Throws std::runtime_error "`who`: cannot listen on the loopback port".
    LoopbackServer(const std::string& who, std::uint16_t port, Serve serve);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    std::uint16_t port() const { return port_; }
    int connections() const { return connections_.load(); }
    bool stopping() const { return stopping_.load(); }
    void stop();

    // Waits up to `ms` for `fd` to become readable; false on time-out.
    static bool readable(int fd, int ms);

private:
    void acceptLoop();

    Serve serve_;
    posix::UniqueFd listener_;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
};

} // namespace tbx::sim
