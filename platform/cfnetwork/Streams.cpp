#include "platform/cfnetwork/Streams.h"

#include "platform/posix/PosixIO.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tbx::cfnetwork {
namespace {

using Clock = posix::Clock;

// The socket behind both halves of a pair.
class SocketConnection {
public:
    SocketConnection(std::string host, std::uint32_t port, StreamTimeouts timeouts)
        : host_(std::move(host)), port_(port), timeouts_(timeouts) {}

    const StreamTimeouts& timeouts() const { return timeouts_; }

    // Resolves the host and starts a non-blocking connect, once per pair.
    // Answers 0, or the error that ended the attempt at once.
    int start() {
        std::lock_guard lock(mutex_);
        if (phase_ != Phase::idle) {
            return phase_ == Phase::failed ? error_ : 0;
        }
        deadline_ = Clock::now() + timeouts_.connect;
        phase_ = Phase::connecting;
        if (port_ > 65535) {
            return failLocked(EINVAL);
        }
        const auto found = posix::AddressList::resolve(host_, "", AF_UNSPEC);
        if (found.error() != 0 || found.first() == nullptr) {
            return failLocked(EHOSTUNREACH);
        }
        sockaddr_storage address{};
        std::memcpy(&address, found.first()->ai_addr, found.first()->ai_addrlen);
        const socklen_t length = found.first()->ai_addrlen;
        const int family = found.first()->ai_family;
        if (family == AF_INET) {
            reinterpret_cast<sockaddr_in*>(&address)->sin_port = htons(std::uint16_t(port_));
        } else if (family == AF_INET6) {
            reinterpret_cast<sockaddr_in6*>(&address)->sin6_port = htons(std::uint16_t(port_));
        } else {
            return failLocked(EAFNOSUPPORT);
        }
        fd_.reset(::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!fd_) {
            return failLocked(errno);
        }
        if (::connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), length) == 0) {
            phase_ = Phase::connected;
            return 0;
        }
        if (errno != EINPROGRESS && errno != EINTR) {
            return failLocked(errno);
        }
        return 0;
    }

    // Waits (within the connect bound counted from `start`) until the connection
    // is made; answers 0 or the error that ended it.
    int awaitConnected() {
        for (;;) {
            int fd;
            Clock::time_point deadline;
            {
                std::lock_guard lock(mutex_);
                switch (phase_) {
                case Phase::connected:
                    return 0;
                case Phase::failed:
                    return error_;
                case Phase::idle:
                case Phase::closed:
                    return ENOTCONN;
                case Phase::connecting:
                    break;
                }
                fd = fd_.get();
                deadline = deadline_;
            }
            const int r = posix::waitReady(fd, POLLOUT, deadline);
            std::lock_guard lock(mutex_);
            if (phase_ != Phase::connecting) {
                continue;
            }
            if (r == 0) {
                return failLocked(ETIMEDOUT);
            }
            if (r < 0) {
                return failLocked(errno);
            }
            settleLocked();
        }
    }

    // Looks, without waiting, whether a pending connect has completed.
    void refresh() {
        std::lock_guard lock(mutex_);
        if (phase_ != Phase::connecting) {
            return;
        }
        if (posix::waitReady(fd_.get(), POLLOUT, Clock::now()) > 0) {
            settleLocked();
        } else if (Clock::now() >= deadline_) {
            failLocked(ETIMEDOUT);
        }
    }

    bool connected() const {
        std::lock_guard lock(mutex_);
        return phase_ == Phase::connected;
    }
    bool failed() const {
        std::lock_guard lock(mutex_);
        return phase_ == Phase::failed;
    }
    int error() const {
        std::lock_guard lock(mutex_);
        return error_;
    }
    int fd() const {
        std::lock_guard lock(mutex_);
        return fd_.get();
    }

    // One half is done with the socket; the second one closes it.
    void release() {
        std::lock_guard lock(mutex_);
        if (++released_ < 2) {
            return;
        }
        fd_.reset();
        if (phase_ != Phase::failed) {
            phase_ = Phase::closed;
        }
    }

private:
    enum class Phase { idle, connecting, connected, failed, closed };

    int failLocked(int error) {
        phase_ = Phase::failed;
        error_ = error == 0 ? EIO : error;
        return error_;
    }

    void settleLocked() {
        int pending = 0;
        socklen_t size = sizeof pending;
        if (::getsockopt(fd_.get(), SOL_SOCKET, SO_ERROR, &pending, &size) != 0) {
            pending = errno;
        }
        if (pending != 0) {
            failLocked(pending);
        } else {
            phase_ = Phase::connected;
        }
    }

    mutable std::mutex mutex_;
    const std::string host_;
    const std::uint32_t port_;
    const StreamTimeouts timeouts_;
    Phase phase_ = Phase::idle;
    posix::UniqueFd fd_; // the pair's one close path: closed when both halves let go
    int error_ = 0;
    int released_ = 0;
    Clock::time_point deadline_{};
};

// What both halves share: status bookkeeping over the connection.
class SocketStreamHalf {
public:
    explicit SocketStreamHalf(std::shared_ptr<SocketConnection> connection)
        : connection_(std::move(connection)) {}

    ~SocketStreamHalf() { releaseOnce(); }

    void openHalf() {
        std::lock_guard lock(mutex_);
        if (status_ != StreamStatus::notOpen) {
            return;
        }
        const int error = connection_->start();
        if (error != 0) {
            status_ = StreamStatus::error;
            error_ = error;
        } else {
            status_ = connection_->connected() ? StreamStatus::open : StreamStatus::opening;
        }
    }

    void closeHalf() {
        {
            std::lock_guard lock(mutex_);
            if (status_ == StreamStatus::closed) {
                return;
            }
            status_ = StreamStatus::closed;
        }
        releaseOnce();
    }

    StreamStatus status() const {
        std::lock_guard lock(mutex_);
        if (status_ == StreamStatus::opening) {
            connection_->refresh();
            if (connection_->connected()) {
                status_ = StreamStatus::open;
            } else if (connection_->failed()) {
                status_ = StreamStatus::error;
                error_ = connection_->error();
            }
        }
        return status_;
    }

    int lastError() const {
        std::lock_guard lock(mutex_);
        return error_;
    }

protected:
    // Waits for the connection; answers the descriptor, or -1 with the stream
    // put in its error state (or left alone when it was never opened or closed).
    int usableDescriptor() {
        {
            std::lock_guard lock(mutex_);
            if (status_ == StreamStatus::notOpen || status_ == StreamStatus::closed) {
                error_ = ENOTCONN;
                return -1;
            }
            if (status_ == StreamStatus::error) {
                return -1;
            }
        }
        const int error = connection_->awaitConnected();
        if (error != 0) {
            fail(error);
            return -1;
        }
        std::lock_guard lock(mutex_);
        if (status_ == StreamStatus::opening) {
            status_ = StreamStatus::open;
        }
        return connection_->fd();
    }

    void fail(int error) {
        std::lock_guard lock(mutex_);
        status_ = StreamStatus::error;
        error_ = error;
    }
    void setError(int error) {
        std::lock_guard lock(mutex_);
        error_ = error;
    }
    void setStatus(StreamStatus status) {
        std::lock_guard lock(mutex_);
        status_ = status;
    }
    StreamStatus rawStatus() const {
        std::lock_guard lock(mutex_);
        return status_;
    }

    const StreamTimeouts& timeouts() const { return connection_->timeouts(); }

private:
    void releaseOnce() {
        bool first = false;
        {
            std::lock_guard lock(mutex_);
            first = !released_;
            released_ = true;
        }
        if (first) {
            connection_->release();
        }
    }

    std::shared_ptr<SocketConnection> connection_;
    mutable std::mutex mutex_;
    mutable StreamStatus status_ = StreamStatus::notOpen;
    mutable int error_ = 0;
    bool released_ = false;
};

class SocketInputStream final : public InputStream, private SocketStreamHalf {
public:
    using SocketStreamHalf::SocketStreamHalf;

    void open() override { openHalf(); }
    void close() override { closeHalf(); }
    StreamStatus streamStatus() const override { return status(); }
    int streamError() const override { return lastError(); }

    long read(std::uint8_t* buffer, std::size_t maxLength) override {
        if (rawStatus() == StreamStatus::atEnd) {
            return 0;
        }
        const int fd = usableDescriptor();
        if (fd < 0) {
            return -1;
        }
        if (maxLength == 0) {
            return 0;
        }
        const auto deadline = Clock::now() + timeouts().read;
        for (;;) {
            const int ready = posix::waitReady(fd, POLLIN, deadline);
            if (ready == 0) {
                setError(ETIMEDOUT);
                return -1;
            }
            if (ready < 0) {
                fail(errno);
                return -1;
            }
            const ssize_t n = ::recv(fd, buffer, maxLength, MSG_DONTWAIT);
            if (n > 0) {
                return long(n);
            }
            if (n == 0) {
                setStatus(StreamStatus::atEnd);
                return 0;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                continue;
            }
            fail(errno);
            return -1;
        }
    }
};

class SocketOutputStream final : public OutputStream, private SocketStreamHalf {
public:
    using SocketStreamHalf::SocketStreamHalf;

    void open() override { openHalf(); }
    void close() override { closeHalf(); }
    StreamStatus streamStatus() const override { return status(); }
    int streamError() const override { return lastError(); }

    long write(const std::uint8_t* buffer, std::size_t length) override {
        const int fd = usableDescriptor();
        if (fd < 0) {
            return -1;
        }
        const posix::Written written = posix::sendAll(fd, std::span(buffer, length), timeouts().write);
        if (written.error == ETIMEDOUT) {
            setError(ETIMEDOUT); // the stream stays usable
            return -1;
        }
        if (written.error != 0) {
            fail(written.error);
            return -1;
        }
        return long(length);
    }
};

} // namespace

StreamPair createPairWithSocketToHost(std::string host, std::uint32_t port, StreamTimeouts timeouts) {
    auto connection = std::make_shared<SocketConnection>(std::move(host), port, timeouts);
    return {std::make_shared<SocketInputStream>(connection),
            std::make_shared<SocketOutputStream>(connection)};
}

} // namespace tbx::cfnetwork
