#include "device/SocketFunctions.h"

#include "platform/foundation/Print.h"
#include "platform/posix/PosixIO.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tbx {
namespace {

std::atomic<long> pullRetryMillis{1000};

// One wait on one descriptor: 1 ready, 0 timed out, -1 the wait failed.
// `millis` < 0 waits without limit.
int waitFor(int fd, short events, long millis) {
    return posix::waitReady(fd, events, posix::deadlineIn(std::chrono::milliseconds(millis)));
}

long secondsToMillis(int seconds) {
    return long(seconds) * 1000;
}

// Parses a dotted IPv4 address strictly.
bool parseAddress(const char* text, in_addr* out) {
    return text && ::inet_pton(AF_INET, text, out) == 1;
}

bool resolveIPv4(const char* host, in_addr* out) {
    if (!host) {
        return false;
    }
    if (parseAddress(host, out)) {
        return true;
    }
    const auto found = posix::AddressList::resolve(host, "", AF_INET);
    if (found.error() != 0 || found.first() == nullptr) {
        return false;
    }
    *out = reinterpret_cast<const sockaddr_in*>(found.first()->ai_addr)->sin_addr;
    return true;
}

sockaddr_in socketAddress(in_addr address, int port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(std::uint16_t(port));
    result.sin_addr = address;
    return result;
}

// The dotted text, without terminator, into a caller's buffer of 16 zeroed bytes.
void writeDotted(in_addr address, char* out) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    if (out) {
        std::memcpy(out, text, std::strlen(text));
    }
}

int setOption(int fd, int option) {
    const int one = 1;
    return ::setsockopt(fd, SOL_SOCKET, option, &one, sizeof one);
}

} // namespace

void setPullRetryInterval(std::chrono::milliseconds interval) {
    pullRetryMillis = long(interval.count());
}

int tcpsocket_connect(const char* host, int port, int timeout) {
    in_addr address{};
    if (!resolveIPv4(host, &address)) {
        return -1;
    }
    if (timeout < 0) {
        return -2;
    }
    const sockaddr_in target = socketAddress(address, port);
    addrinfo entry{};
    entry.ai_family = AF_INET;
    entry.ai_socktype = SOCK_STREAM;
    entry.ai_addr = reinterpret_cast<sockaddr*>(const_cast<sockaddr_in*>(&target));
    entry.ai_addrlen = sizeof target;
    posix::Connected connected =
        posix::connectWithin(entry, posix::deadlineIn(std::chrono::milliseconds(secondsToMillis(timeout))));
    if (connected.error == ETIMEDOUT) {
        return -3;
    }
    if (connected.error != 0) {
        // Refused or ended at once, or no socket could be made.
        return -4;
    }
    return connected.fd.release(); // the caller closes it with tcpsocket_close
}

int tcpsocket_set_block(int fd, int blocking) {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0) {
        return flags;
    }
    return ::fcntl(fd, F_SETFL, blocking == 0 ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK));
}

int tcpsocket_close(int fd) {
    return ::close(fd);
}

int tcpsocket_pull(int fd, std::uint8_t* data, int len, int timeout) {
    if (timeout > 0) {
        const int r = waitFor(fd, POLLIN, secondsToMillis(timeout));
        if (r <= 0) {
            return r < 0 ? -1 : 0;
        }
    }
    if (len <= 0 || !data) {
        return 0;
    }
    int total = 0;
    int tries = 1;
    bool dataArrived = false;
    while (tries < 30) {
        // Never blocks, whatever the descriptor's mode.
        const ssize_t n = ::recv(fd, data + total, std::size_t(len - total), MSG_DONTWAIT);
        const int saved = errno;
        printFormat("socketFd = %d ,try times = %d ,readlen = %d\n", fd, tries, int(n));
        if (n > 0) {
            total += int(n);
            dataArrived = true;
            if (total == len) {
                break;
            }
            continue;
        }
        if (n == 0) {
            break; // the peer ended the stream: nothing more will come
        }
        if (saved == EINTR) {
            continue;
        }
        if (saved != EAGAIN && saved != EWOULDBLOCK) {
            return total > 0 ? total : -1;
        }
        if (dataArrived) {
            break;
        }
        ++tries;
        if (tries < 30) {
            waitFor(fd, POLLIN, pullRetryMillis.load());
        }
    }
    return total;
}

int tcpsocket_bytes_available(int fd) {
    int count = 0;
    const int r = ::ioctl(fd, FIONREAD, &count);
    return r < 0 ? r : count;
}

int tcpsocket_send(int fd, const std::uint8_t* data, int len, int timeout) {
    const int shown = len < 0 || !data ? 0 : len;
    printFormat("send fd = %d send cmd=%.*s\n", fd, shown, shown ? reinterpret_cast<const char*>(data) : "");
    if (len <= 0) {
        return 0;
    }
    if (!data) {
        return -1;
    }
    // The connect leaves the descriptor non-blocking: the send waits for room.
    const auto written =
        posix::sendAll(fd, std::span(data, std::size_t(len)),
                       std::chrono::milliseconds(secondsToMillis(timeout <= 0 ? 30 : timeout)));
    return written.error == 0 ? len : -1;
}

int tcpsocket_listen(const char* address, int port) {
    in_addr local{};
    if (!parseAddress(address, &local)) {
        return -1;
    }
    posix::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        return -1;
    }
    setOption(fd.get(), SO_REUSEADDR);
    const sockaddr_in bound = socketAddress(local, port);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&bound), sizeof bound) != 0) {
        return -1;
    }
    if (::listen(fd.get(), 128) != 0) {
        return -2;
    }
    return fd.release();
}

int tcpsocket_accept(int listen_fd, char* peer_ip, int* peer_port, int timeout) {
    if (waitFor(listen_fd, POLLIN, timeout > 0 ? secondsToMillis(timeout) : -1) != 1) {
        return -1;
    }
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    const int fd = ::accept4(listen_fd, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
    writeDotted(peer.sin_addr, peer_ip);
    if (peer_port) {
        *peer_port = ntohs(peer.sin_port);
    }
    return fd >= 0 ? fd : -1;
}

int tcpsocket_port(int fd) {
    sockaddr_in local{};
    socklen_t size = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0) {
        return -1;
    }
    return ntohs(local.sin_port);
}

int udpsocket_server(const char* address, int port) {
    posix::UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        return -1;
    }
    const bool optionFailed = setOption(fd.get(), SO_REUSEADDR) != 0;
    in_addr local{};
    if (address && address[0] != '\0' && std::strcmp(address, "255.255.255.255") != 0) {
        if (!parseAddress(address, &local)) {
            return -1;
        }
    } else {
        local.s_addr = htonl(INADDR_ANY);
        printFormat("udp server ip len = %d\n", address ? int(std::strlen(address)) : 0);
    }
    if (optionFailed) {
        return -1;
    }
    const sockaddr_in bound = socketAddress(local, port);
    const int r = ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&bound), sizeof bound);
    printFormat("bind server success and r = %d and socketfd = %d\n", r, fd.get());
    if (r != 0) {
        return -1;
    }
    return fd.release();
}

int udpsocket_client() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    setOption(fd, SO_REUSEADDR);
    return fd;
}

int enable_broadcast(int fd) {
    return setOption(fd, SO_BROADCAST);
}

int udpsocket_recive(int fd, std::uint8_t* data, int len, char* peer_ip, int* peer_port, int timeout) {
    printFormat("receive data from socket =%d\n", fd);
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    ssize_t n = -1;
    if (len >= 0 && (data || len == 0) &&
        waitFor(fd, POLLIN, timeout > 0 ? secondsToMillis(timeout) : -1) == 1) {
        n = ::recvfrom(fd, data, std::size_t(len), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&peer), &size);
        if (n < 0) {
            peer = sockaddr_in{};
        }
    }
    char dotted[INET_ADDRSTRLEN] = {};
    writeDotted(peer.sin_addr, dotted);
    if (peer_ip) {
        std::memcpy(peer_ip, dotted, std::strlen(dotted));
    }
    if (peer_port) {
        *peer_port = ntohs(peer.sin_port);
    }
    printFormat("receive data from socket =%d,clientip =%s\n", fd, dotted);
    return int(n);
}

int udpsocket_sentto(int fd, const std::uint8_t* data, int len, const char* address, int port) {
    in_addr target{};
    if (len < 0 || !parseAddress(address, &target)) {
        return -1;
    }
    const sockaddr_in to = socketAddress(target, port);
    return int(::sendto(fd, data, std::size_t(len), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
                        sizeof to));
}

int udpsocket_get_server_ip(const char* host, char* ip) {
    in_addr address{};
    if (!resolveIPv4(host, &address)) {
        return -1;
    }
    writeDotted(address, ip);
    return 0;
}

int udpsocket_close(int fd) {
    return ::close(fd);
}

} // namespace tbx
