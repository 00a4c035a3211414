#include "platform/network/Network.h"

#include "platform/posix/PosixIO.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <variant>

namespace tbx::nw {

std::string Error::description() const {
    if (domain == Domain::dns) {
        return "DNSError(" + std::to_string(code) + "): " + ::gai_strerror(code);
    }
    return "POSIXErrorCode(rawValue: " + std::to_string(code) + "): " + std::strerror(code);
}

std::optional<Port> Port::fromText(std::string_view text) {
    if (text.empty() || text.size() > 5) {
        return std::nullopt;
    }
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size() || value > 65535) {
        return std::nullopt;
    }
    return Port{std::uint16_t(value)};
}

namespace {

Error posixError(int code) {
    return Error{Error::Domain::posix, code};
}

struct PendingReceive {
    std::size_t minimum;
    std::size_t maximum;
    ReceiveCompletion completion;
    Data received;
};

struct PendingSend {
    Data content;
    std::size_t written = 0;
    SendCompletion completion;
};

} // namespace

struct Connection::Core : std::enable_shared_from_this<Core> {
    Host host;
    Port port;
    Parameters parameters;

    mutable std::mutex mutex;
    StateHandler handler;
    std::optional<dispatch::Queue> queue;
    State state;
    bool started = false;
    bool cancelRequested = false;
    bool finished = false;
    std::deque<PendingReceive> receives;
    std::deque<PendingSend> sends;
    posix::UniqueFd wakeFd;

    Core(Host h, Port p, Parameters params)
        : host(std::move(h)), port(p), parameters(std::move(params)),
          wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

    void wake() const {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeFd.get(), &one, sizeof one);
    }
    void drainWake() const {
        std::uint64_t value = 0;
        [[maybe_unused]] const ssize_t n = ::read(wakeFd.get(), &value, sizeof value);
    }
    bool isCancelRequested() const {
        std::lock_guard lock(mutex);
        return cancelRequested;
    }

    // Runs on the worker; the queue item delivers the state, and after `cancelled` drops the handler.
    void post(State next) {
        dispatch::Queue target = [&] {
            std::lock_guard lock(mutex);
            state = next;
            return *queue;
        }();
        target.async([self = shared_from_this(), next] {
            StateHandler current;
            {
                std::lock_guard lock(self->mutex);
                current = self->handler;
                if (next.kind == State::Kind::cancelled) {
                    self->handler = nullptr;
                }
            }
            if (current) {
                current(next);
            }
        });
    }

    void completeReceive(PendingReceive pending, std::optional<Data> data, bool isComplete,
                         std::optional<Error> error) {
        queue->async([completion = std::move(pending.completion), data = std::move(data), isComplete, error] {
            completion(data, ContentContext::defaultMessage, isComplete, error);
        });
    }
    void completeSend(PendingSend pending, std::optional<Error> error) {
        queue->async([completion = std::move(pending.completion), error] { completion(error); });
    }

    void failPending(const Error& error) {
        std::deque<PendingReceive> failedReceives;
        std::deque<PendingSend> failedSends;
        {
            std::lock_guard lock(mutex);
            failedReceives.swap(receives);
            failedSends.swap(sends);
        }
        for (auto& pending : failedReceives) {
            completeReceive(std::move(pending), std::nullopt, false, error);
        }
        for (auto& pending : failedSends) {
            completeSend(std::move(pending), error);
        }
    }

    // Waits up to `timeoutMs` (-1: no limit) for `fd` to show `events` or for a wake-up.
    // Answers the socket's revents (0 on time-out or wake-up).
    short waitFor(int fd, short events, int timeoutMs) const {
        pollfd entries[2] = {{wakeFd.get(), POLLIN, 0}, {fd, events, 0}};
        const int n = ::poll(entries, fd >= 0 ? 2 : 1, timeoutMs);
        if (n > 0 && (entries[0].revents & POLLIN)) {
            drainWake();
        }
        return n > 0 && fd >= 0 ? entries[1].revents : 0;
    }

    // One attempt: resolve, then a non-blocking connect to each address within the bound.
    // Answers the connected socket, or the error of the last address tried.
    std::variant<posix::UniqueFd, Error> connectOnce() const {
        const auto found =
            posix::AddressList::resolve(host.name, std::to_string(port.value), AF_UNSPEC, AI_NUMERICSERV);
        if (found.error() != 0) {
            return found.error() == EAI_SYSTEM ? posixError(errno) : Error{Error::Domain::dns, found.error()};
        }
        Error last = posixError(EHOSTUNREACH);
        const auto deadline = posix::deadlineIn(parameters.connectTimeout);
        for (const addrinfo* entry = found.first(); entry != nullptr; entry = entry->ai_next) {
            posix::Connected connected = posix::connectWithin(
                *entry, deadline, wakeFd.get(),
                [](void* self) {
                    const auto* core = static_cast<const Core*>(self);
                    core->drainWake();
                    return core->isCancelRequested();
                },
                const_cast<Core*>(this));
            if (connected.error == 0) {
                return std::move(connected.fd);
            }
            if (connected.error == ECANCELED) {
                return posixError(ECANCELED);
            }
            last = posixError(connected.error);
        }
        return last;
    }

    // Serves sends and receives until cancel (answers nothing) or a failure (answers its error).
    std::optional<Error> serve(int fd) {
        bool ended = false; // the peer's data ended
        for (;;) {
            short events = 0;
            {
                std::lock_guard lock(mutex);
                if (cancelRequested) {
                    return std::nullopt;
                }
                if (!receives.empty()) {
                    events |= POLLIN;
                }
                if (!sends.empty()) {
                    events |= POLLOUT;
                }
            }
            if (ended && (events & POLLIN)) {
                // Every receive after the end completes at once with the completion mark.
                PendingReceive pending = popReceive();
                completeReceive(std::move(pending), std::nullopt, true, std::nullopt);
                continue;
            }
            // The socket is watched only while something is asked of it.
            const short revents = waitFor(events != 0 ? fd : -1, events, -1);
            if (revents == 0) {
                continue;
            }
            if (revents & (POLLIN | POLLHUP | POLLERR)) {
                if (auto error = readSome(fd, ended)) {
                    return error;
                }
            }
            if (revents & (POLLOUT | POLLERR)) {
                if (auto error = writeSome(fd)) {
                    return error;
                }
            }
        }
    }

    PendingReceive popReceive() {
        std::lock_guard lock(mutex);
        PendingReceive pending = std::move(receives.front());
        receives.pop_front();
        return pending;
    }

    std::optional<Error> readSome(int fd, bool& ended) {
        std::unique_lock lock(mutex);
        if (receives.empty()) {
            return std::nullopt;
        }
        PendingReceive& front = receives.front();
        const std::size_t before = front.received.size();
        const std::size_t room = front.maximum > before ? front.maximum - before : 0;
        if (room > 0) {
            front.received.resize(front.maximum);
            const ssize_t n = ::recv(fd, front.received.data() + before, room, MSG_DONTWAIT);
            const int code = errno;
            front.received.resize(before + std::size_t(n > 0 ? n : 0));
            if (n < 0) {
                if (code == EAGAIN || code == EWOULDBLOCK || code == EINTR) {
                    return std::nullopt;
                }
                lock.unlock();
                return posixError(code);
            }
            ended = n == 0;
            // Data the peer's end directly follows completes together with the end.
            if (n > 0 && front.received.size() < front.maximum) {
                const std::size_t got = front.received.size();
                front.received.resize(front.maximum);
                const ssize_t more =
                    ::recv(fd, front.received.data() + got, front.maximum - got, MSG_DONTWAIT);
                front.received.resize(got + std::size_t(more > 0 ? more : 0));
                ended = more == 0;
            }
        }
        if (ended || front.received.size() >= std::max<std::size_t>(front.minimum, 1) || room == 0) {
            PendingReceive pending = std::move(front);
            receives.pop_front();
            lock.unlock();
            std::optional<Data> data;
            if (!pending.received.empty()) {
                data = std::move(pending.received);
            }
            completeReceive(std::move(pending), std::move(data), ended, std::nullopt);
        }
        return std::nullopt;
    }

    std::optional<Error> writeSome(int fd) {
        std::unique_lock lock(mutex);
        while (!sends.empty()) {
            PendingSend& front = sends.front();
            while (front.written < front.content.size()) {
                const ssize_t n = ::send(fd, front.content.data() + front.written,
                                         front.content.size() - front.written, MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n < 0) {
                    const int code = errno;
                    if (code == EINTR) {
                        continue;
                    }
                    if (code == EAGAIN || code == EWOULDBLOCK) {
                        return std::nullopt;
                    }
                    lock.unlock();
                    return posixError(code);
                }
                front.written += std::size_t(n);
            }
            PendingSend done = std::move(front);
            sends.pop_front();
            completeSend(std::move(done), std::nullopt);
        }
        return std::nullopt;
    }

    // Waits for cancel after a failure, failing whatever is asked meanwhile.
    void waitForCancel(const Error& error) {
        for (;;) {
            failPending(error);
            if (isCancelRequested()) {
                return;
            }
            waitFor(-1, 0, -1);
        }
    }

    void run() {
        post(State{State::Kind::setup, {}});
        posix::UniqueFd fd;
        const int attempts = std::max(1, parameters.connectAttempts);
        for (int attempt = 1; attempt <= attempts && !isCancelRequested(); ++attempt) {
            post(State{State::Kind::preparing, {}});
            auto result = connectOnce();
            if (std::holds_alternative<posix::UniqueFd>(result)) {
                fd = std::move(std::get<posix::UniqueFd>(result));
                break;
            }
            const Error error = std::get<Error>(result);
            if (isCancelRequested()) {
                break;
            }
            if (attempt < attempts) {
                post(State{State::Kind::waiting, error});
                const auto until = std::chrono::steady_clock::now() + parameters.retryDelay;
                while (!isCancelRequested()) {
                    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        until - std::chrono::steady_clock::now());
                    if (left.count() <= 0) {
                        break;
                    }
                    waitFor(-1, 0, int(left.count()) + 1);
                }
                continue;
            }
            post(State{State::Kind::failed, error});
            waitForCancel(error);
        }
        if (fd) {
            if (!isCancelRequested()) {
                post(State{State::Kind::ready, {}});
                if (auto error = serve(fd.get())) {
                    post(State{State::Kind::failed, *error});
                    waitForCancel(*error);
                }
            }
            fd.reset();
        }
        failPending(posixError(ECANCELED));
        {
            std::lock_guard lock(mutex);
            finished = true;
        }
        post(State{State::Kind::cancelled, {}});
    }
};

Connection::Connection(Host host, Port port, Parameters parameters)
    : core_(std::make_shared<Core>(std::move(host), port, std::move(parameters))) {}

Connection::~Connection() {
    cancel();
}

void Connection::setStateUpdateHandler(StateHandler handler) {
    std::lock_guard lock(core_->mutex);
    if (!core_->finished) {
        core_->handler = std::move(handler);
    }
}

void Connection::start(dispatch::Queue queue) {
    {
        std::lock_guard lock(core_->mutex);
        if (core_->started || core_->cancelRequested) {
            return;
        }
        core_->started = true;
        core_->queue = std::move(queue);
    }
    // The worker keeps the core alive until `cancelled` is posted; it is never joined, so the
    // connection may be released from any thread, its own completions included.
    std::thread([core = core_] { core->run(); }).detach();
}

void Connection::cancel() {
    std::lock_guard lock(core_->mutex);
    if (core_->cancelRequested) {
        return;
    }
    core_->cancelRequested = true;
    if (!core_->started) {
        core_->state = State{State::Kind::cancelled, {}};
        core_->finished = true;
        core_->handler = nullptr;
        core_->receives.clear();
        core_->sends.clear();
        return;
    }
    core_->wake();
}

void Connection::receive(std::size_t minimumIncompleteLength, std::size_t maximumLength,
                         ReceiveCompletion completion) {
    std::unique_lock lock(core_->mutex);
    if (core_->finished) {
        if (auto queue = core_->queue) {
            lock.unlock();
            queue->async([completion = std::move(completion)] {
                completion(std::nullopt, ContentContext::defaultMessage, false, posixError(ECANCELED));
            });
        }
        return;
    }
    core_->receives.push_back(
        PendingReceive{minimumIncompleteLength, maximumLength, std::move(completion), {}});
    core_->wake();
}

void Connection::send(Data content, ContentContext, bool, SendCompletion completion) {
    std::unique_lock lock(core_->mutex);
    if (core_->finished) {
        if (auto queue = core_->queue) {
            lock.unlock();
            queue->async([completion = std::move(completion)] { completion(posixError(ECANCELED)); });
        }
        return;
    }
    core_->sends.push_back(PendingSend{std::move(content), 0, std::move(completion)});
    core_->wake();
}

State Connection::state() const {
    std::lock_guard lock(core_->mutex);
    return core_->state;
}

const Host& Connection::host() const {
    return core_->host;
}

const Port& Connection::port() const {
    return core_->port;
}

} // namespace tbx::nw
