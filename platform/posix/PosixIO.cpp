#include "platform/posix/PosixIO.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tbx::posix {

namespace {

// Milliseconds to the deadline for poll: -1 without one, 0 once it passed.
int pollTimeout(const Deadline& deadline) {
    if (!deadline) {
        return -1;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
    if (left <= 0) {
        return 0;
    }
    return left > 1'000'000'000 ? 1'000'000'000 : int(left);
}

// One non-blocking send or write: its result, retried when interrupted.
ssize_t putOnce(int fd, const std::uint8_t* data, std::size_t size, bool socket) {
    for (;;) {
        const ssize_t n =
            socket ? ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT) : ::write(fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n;
    }
}

Written putAll(int fd, std::span<const std::uint8_t> bytes, std::optional<std::chrono::milliseconds> idle,
               bool socket) {
    Written written;
    while (written.count < bytes.size()) {
        const ssize_t n = putOnce(fd, bytes.data() + written.count, bytes.size() - written.count, socket);
        if (n > 0) {
            written.count += std::size_t(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            written.error = errno;
            return written;
        }
        const int ready = waitReady(fd, POLLOUT, idle ? deadlineIn(*idle) : Deadline{});
        if (ready <= 0) {
            written.error = ready == 0 ? ETIMEDOUT : errno;
            return written;
        }
    }
    return written;
}

} // namespace

Deadline deadlineIn(std::chrono::milliseconds limit) {
    if (limit.count() < 0) {
        return std::nullopt;
    }
    return Clock::now() + limit;
}

void UniqueFd::reset(int fd) noexcept {
    const int old = std::exchange(fd_, fd);
    if (old >= 0 && old != fd) {
        // Linux releases the descriptor even when close is interrupted: never retried.
        ::close(old);
    }
}

AddressList AddressList::resolve(const std::string& host, const std::string& service, int family, int flags) {
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo* found = nullptr;
    const int error =
        ::getaddrinfo(host.c_str(), service.empty() ? nullptr : service.c_str(), &hints, &found);
    if (error != 0) {
        return AddressList(nullptr, error);
    }
    return AddressList(found, 0);
}

AddressList::~AddressList() {
    if (first_ != nullptr) {
        ::freeaddrinfo(first_);
    }
}

int waitReady(int fd, short events, Deadline deadline, int wakeFd) {
    for (;;) {
        pollfd entries[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
        const int r = ::poll(entries, wakeFd >= 0 ? 2 : 1, pollTimeout(deadline));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return r;
        }
        return entries[0].revents != 0 ? 1 : 2;
    }
}

Connected connectWithin(const addrinfo& address, Deadline deadline, int wakeFd, bool (*cancelled)(void*),
                        void* context) {
    Connected result;
    result.fd.reset(
        ::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address.ai_protocol));
    if (!result.fd) {
        result.error = errno;
        return result;
    }
    if (::connect(result.fd.get(), address.ai_addr, address.ai_addrlen) == 0) {
        return result;
    }
    int code = errno;
    while (code == EINPROGRESS || code == EINTR || code == EALREADY) {
        if (cancelled != nullptr && cancelled(context)) {
            code = ECANCELED;
            break;
        }
        const int ready = waitReady(result.fd.get(), POLLOUT, deadline, wakeFd);
        if (ready == 0) {
            code = ETIMEDOUT;
        } else if (ready < 0) {
            code = errno;
        } else if (ready == 1) {
            socklen_t size = sizeof code;
            if (::getsockopt(result.fd.get(), SOL_SOCKET, SO_ERROR, &code, &size) != 0) {
                code = errno;
            }
        }
        // ready == 2: woken; look at `cancelled` again.
    }
    if (code != 0) {
        result.fd.reset();
        result.error = code;
    }
    return result;
}

Written sendAll(int fd, std::span<const std::uint8_t> bytes, std::optional<std::chrono::milliseconds> idle) {
    return putAll(fd, bytes, idle, true);
}

Written writeAll(int fd, std::span<const std::uint8_t> bytes, std::optional<std::chrono::milliseconds> idle) {
    // Hold SIGPIPE back on this thread, and take away one that the writes
    // raised, unless it was already pending before.
    sigset_t pipe;
    sigset_t old;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &old);
    sigset_t pending;
    sigpending(&pending);
    const bool wasPending = sigismember(&pending, SIGPIPE) == 1;
    const Written written = putAll(fd, bytes, idle, false);
    if (written.error == EPIPE && !wasPending) {
        const timespec none{0, 0};
        while (sigtimedwait(&pipe, nullptr, &none) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return written;
}

FileContents readFile(const std::string& path) {
    FileContents contents;
    // Without O_NONBLOCK the open of a named pipe waits for a writer for good.
    // Regular files ignore the flag, so it stays for the reads.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0) {
        contents.error = errno;
        return contents;
    }
    if (!S_ISREG(info.st_mode)) {
        contents.error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        return contents;
    }
    if (std::uintmax_t(info.st_size) > kReadFileLimit) {
        contents.error = EFBIG;
        return contents;
    }
    contents.bytes.reserve(std::size_t(info.st_size));
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n == 0) {
            return contents;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        // A file that grows while it is read, or one that states no size, can
        // still pass the limit.
        if (n < 0 || contents.bytes.size() + std::size_t(n) > kReadFileLimit) {
            contents.error = n < 0 ? errno : EFBIG;
            contents.bytes = {};
            return contents;
        }
        contents.bytes.append(chunk, std::size_t(n));
    }
}

bool isValidUTF8(std::span<const std::uint8_t> bytes) {
    const std::size_t length = bytes.size();
    std::size_t i = 0;
    while (i < length) {
        const std::uint8_t lead = bytes[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t extra;
        std::uint32_t min;
        std::uint32_t value;
        if ((lead & 0xE0) == 0xC0) {
            extra = 1, min = 0x80, value = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2, min = 0x800, value = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3, min = 0x10000, value = lead & 0x07;
        } else {
            return false;
        }
        if (length - i <= extra) {
            return false;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            const std::uint8_t next = bytes[i + k];
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            value = (value << 6) | (next & 0x3F);
        }
        if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

} // namespace tbx::posix
