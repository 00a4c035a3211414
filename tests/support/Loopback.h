// Plain loopback TCP and UDP endpoints for tests of the network transports: a
// listener on 127.0.0.1 with a port the system picks, and small helpers on raw
// descriptors. Everything here stays on loopback.
#pragma once

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace tbx::test {

// The number of descriptors this process has open.
inline int openDescriptorCount() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.') {
                ++count;
            }
        }
        ::closedir(dir);
        --count; // the directory's own descriptor
    }
    return count;
}

inline sockaddr_in loopbackAddress(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

inline std::uint16_t localPort(int fd) {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    return ntohs(address.sin_port);
}

// A listening TCP socket on 127.0.0.1 and a port of the system's choice.
class LoopbackListener {
public:
    LoopbackListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in address = loopbackAddress(0);
        ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        ::listen(fd_, 16);
        port_ = localPort(fd_);
    }
    ~LoopbackListener() { close(); }
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    std::uint16_t port() const { return port_; }
    int fd() const { return fd_; }

    // The next connection, or -1 when none came within `timeoutMs`.
    int accept(int timeoutMs = 5000) const {
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, timeoutMs) != 1) {
            return -1;
        }
        return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    }

    void close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// A port on 127.0.0.1 where nothing listens (bound once, then released).
inline std::uint16_t closedLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopbackAddress(0);
    ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const std::uint16_t port = localPort(fd);
    ::close(fd);
    return port;
}

inline bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(std::size_t(n));
    }
    return true;
}

// Reads until `count` bytes came, the peer closed, or `timeoutMs` passed.
inline std::string readSome(int fd, std::size_t count, int timeoutMs = 5000) {
    std::string result;
    while (result.size() < count) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, timeoutMs) != 1) {
            break;
        }
        char buffer[4096];
        const std::size_t want = std::min(sizeof buffer, count - result.size());
        const ssize_t n = ::recv(fd, buffer, want, 0);
        if (n <= 0) {
            break;
        }
        result.append(buffer, std::size_t(n));
    }
    return result;
}

// Waits until at least `count` bytes wait unread on the TCP socket `fd`, at most
// `timeoutMs`: the socket's low-water mark makes poll answer only then.
inline bool waitForBytes(int fd, int count, int timeoutMs = 30000) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &count, sizeof count);
    pollfd entry{fd, POLLIN, 0};
    const bool arrived = ::poll(&entry, 1, timeoutMs) == 1;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &one, sizeof one);
    return arrived;
}

// The number of bytes that wait unread on `fd`.
inline int bytesWaiting(int fd) {
    int count = 0;
    return ::ioctl(fd, FIONREAD, &count) == 0 ? count : -1;
}

// Ends what `fd` sends (the socket stays open for reading) and waits until the
// peer's side has acknowledged every byte and the end, at most `timeout`: then
// the data and the end are in the peer's socket, whatever its owner did so far.
// The kernel announces no event for it; its TCP state is looked at every ms.
inline bool shutdownAndWaitUntilAcknowledged(int fd,
                                             std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    if (::shutdown(fd, SHUT_WR) != 0) {
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        tcp_info info{};
        socklen_t size = sizeof info;
        if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) {
            return false;
        }
        // FIN_WAIT2: the end was acknowledged; CLOSE_WAIT/LAST_ACK/CLOSING/TIME_WAIT: the peer
        // ended too, after taking ours.
        if (info.tcpi_state != TCP_FIN_WAIT1 && info.tcpi_state != TCP_ESTABLISHED &&
            info.tcpi_unacked == 0) {
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Closes `fd` so that the peer sees a reset rather than an orderly end.
inline void resetConnection(int fd) {
    linger option{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
    ::close(fd);
}

} // namespace tbx::test
