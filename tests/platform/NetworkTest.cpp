// The TCP connection stand-in on loopback: states in order, refused and silent peers,
// send/receive, the end of the peer's data, resets and cancel.
#include "platform/network/Network.h"

#include "tests/support/Loopback.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;
using tbx::nw::Connection;
using tbx::nw::Data;
using tbx::nw::Error;
using tbx::nw::Port;
using tbx::nw::State;
using Kind = tbx::nw::State::Kind;

namespace {

Data bytes(std::string_view text) {
    Data data(text.size());
    std::memcpy(data.data(), text.data(), text.size());
    return data;
}

std::string text(const Data& data) {
    return std::string(reinterpret_cast<const char*>(data.data()), data.size());
}

struct Received {
    std::optional<Data> data;
    bool isComplete = false;
    std::optional<Error> error;
};

// Records what a connection reports, in the order the queue delivered it.
class Recorder {
public:
    void add(std::string event) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
        changed_.notify_all();
    }
    std::vector<std::string> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    // The default limit only ends the wait for an event that never comes, with room for a
    // loaded machine.
    bool waitFor(const std::string& event, std::chrono::milliseconds timeout = 30000ms) const {
        return waitUntil([&](const std::string& seen) { return seen == event; }, timeout);
    }
    // Waits for an event whose text starts with `prefix` ("failed" for a failure of any code).
    bool waitForStart(const std::string& prefix, std::chrono::milliseconds timeout = 30000ms) const {
        return waitUntil([&](const std::string& seen) { return seen.rfind(prefix, 0) == 0; }, timeout);
    }
    // Waits for an event that `match` accepts.
    template <typename Match>
    bool waitUntil(Match match, std::chrono::milliseconds timeout = 30000ms) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            return std::find_if(events_.begin(), events_.end(), match) != events_.end();
        });
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> events_;
};

std::string name(const State& state) {
    static const char* names[] = {"setup", "waiting", "preparing", "ready", "failed", "cancelled"};
    std::string result = names[int(state.kind)];
    if (state.error) {
        result += "(" + std::to_string(state.error->code) + ")";
    }
    return result;
}

struct Fixture {
    explicit Fixture(std::uint16_t port, tbx::nw::Parameters parameters = tbx::nw::Parameters::tcp())
        : connection(std::make_shared<Connection>(tbx::nw::Host{"127.0.0.1"}, Port{port}, parameters)) {
        connection->setStateUpdateHandler([r = recorder](const State& state) { r->add(name(state)); });
    }
    void start() { connection->start(queue); }
    Received receive(std::size_t minimum, std::size_t maximum) {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<Received> result;
        connection->receive(minimum, maximum, [&](auto data, auto, bool complete, auto error) {
            std::lock_guard lock(mutex);
            result = Received{std::move(data), complete, error};
            done.notify_all();
        });
        std::unique_lock lock(mutex);
        done.wait_for(lock, 30s, [&] { return result.has_value(); });
        return result.value_or(Received{std::nullopt, false, Error{Error::Domain::posix, -1}});
    }
    std::optional<Error> send(std::string_view content) {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<std::optional<Error>> result;
        connection->send(bytes(content), tbx::nw::ContentContext::defaultMessage, true, [&](auto error) {
            std::lock_guard lock(mutex);
            result = error;
            done.notify_all();
        });
        std::unique_lock lock(mutex);
        done.wait_for(lock, 30s, [&] { return result.has_value(); });
        return result.value_or(Error{Error::Domain::posix, -1});
    }
    // Cancels and waits until the connection has reported `cancelled`.
    void finish() {
        connection->cancel();
        EXPECT_TRUE(recorder->waitFor("cancelled"));
    }

    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    tbx::dispatch::Queue queue = tbx::dispatch::Queue::serial("test.connection");
    std::shared_ptr<Connection> connection;
};

} // namespace

TEST(NetworkPort, AcceptsDecimalPortNumbersOnly) {
    EXPECT_EQ(Port::fromText("80")->value, 80);
    EXPECT_EQ(Port::fromText("0")->value, 0);
    EXPECT_EQ(Port::fromText("65535")->value, 65535);
    for (const char* bad : {"", "65536", "-1", "+80", " 80", "80 ", "8a", "http", "123456", "0x50"}) {
        EXPECT_FALSE(Port::fromText(bad).has_value()) << bad;
    }
}

TEST(NetworkConnection, GoodConnectionReportsItsStatesInOrderAndDropsItsHandlerWhenCancelled) {
    tbx::test::LoopbackListener listener;
    Fixture f(listener.port());
    EXPECT_EQ(f.connection->state().kind, Kind::setup);
    f.start();
    ASSERT_TRUE(f.recorder->waitFor("ready"));
    EXPECT_EQ(f.connection->state().kind, Kind::ready);
    const int peer = listener.accept();
    ASSERT_GE(peer, 0);
    f.finish();
    f.connection->cancel(); // a second cancel reports nothing more
    f.queue.sync([] {});    // (what it reported would be delivered by now)
    EXPECT_EQ(f.recorder->events(), (std::vector<std::string>{"setup", "preparing", "ready", "cancelled"}));
    EXPECT_EQ(f.connection->state().kind, Kind::cancelled);
    // The handler (and with it the recorder it holds) is gone once cancelled was delivered.
    f.queue.sync([] {});
    EXPECT_EQ(f.recorder.use_count(), 1);
    EXPECT_EQ(tbx::test::readSome(peer, 1, 2000), ""); // the peer sees the end
    ::close(peer);
}

TEST(NetworkConnection, RefusedPortWaitsBetweenAttemptsThenFails) {
    tbx::nw::Parameters parameters;
    parameters.connectAttempts = 2;
    parameters.retryDelay = 20ms;
    Fixture f(tbx::test::closedLoopbackPort(), parameters);
    f.start();
    ASSERT_TRUE(f.recorder->waitFor("failed(111)"));
    EXPECT_EQ(f.connection->state().error->description(),
              "POSIXErrorCode(rawValue: 111): Connection refused");
    // Work asked of a failed connection completes with its error.
    EXPECT_EQ(f.send("x"), (Error{Error::Domain::posix, ECONNREFUSED}));
    f.finish();
    EXPECT_EQ(f.recorder->events(), (std::vector<std::string>{"setup", "preparing", "waiting(111)",
                                                              "preparing", "failed(111)", "cancelled"}));
}

TEST(NetworkConnection, ConnectThatNeverCompletesFailsWithinTheBound) {
    // A listener with a full accept queue drops further handshakes.
    const int listenerFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = tbx::test::loopbackAddress(0);
    ASSERT_EQ(::bind(listenerFd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listenerFd, 0), 0);
    const std::uint16_t port = tbx::test::localPort(listenerFd);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const sockaddr_in target = tbx::test::loopbackAddress(port);
        ::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target);
        fillers.push_back(fd);
    }
    // With backlog 0 the queue is full once it holds one finished handshake.
    pollfd queued{listenerFd, POLLIN, 0};
    ASSERT_EQ(::poll(&queued, 1, 30000), 1) << "no handshake of the fillers finished";
    tbx::nw::Parameters parameters;
    parameters.connectAttempts = 1;
    parameters.connectTimeout = 300ms;
    Fixture f(port, parameters);
    const auto start = std::chrono::steady_clock::now();
    f.start();
    f.recorder->waitUntil(
        [](const std::string& seen) { return seen.rfind("failed", 0) == 0 || seen == "ready"; });
    const bool failed = f.recorder->waitFor("failed(110)", 0ms);
    const bool ready = f.recorder->waitFor("ready", 0ms);
    // The kernel gives up a handshake only after minutes: the limit catches a bound that is not
    // applied, with room for a loaded machine.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    f.finish();
    for (int fd : fillers) {
        ::close(fd);
    }
    ::close(listenerFd);
    if (ready) {
        GTEST_SKIP() << "the kernel completed the handshake despite the full queue";
    }
    EXPECT_TRUE(failed);
}

TEST(NetworkConnection, SendsAndReceivesOverLoopback) {
    tbx::test::LoopbackListener listener;
    Fixture f(listener.port());
    f.start();
    // A send asked for before the connection is ready waits for it.
    auto early = std::make_shared<std::promise<std::optional<Error>>>();
    std::future<std::optional<Error>> earlyDone = early->get_future();
    f.connection->send(bytes("early"), tbx::nw::ContentContext::defaultMessage, true,
                       [early](auto error) { early->set_value(error); });
    const int peer = listener.accept();
    ASSERT_GE(peer, 0);
    EXPECT_EQ(tbx::test::readSome(peer, 5), "early");
    ASSERT_EQ(earlyDone.wait_for(30s), std::future_status::ready);
    EXPECT_FALSE(earlyDone.get().has_value());

    EXPECT_FALSE(f.send("hello\r\n").has_value());
    EXPECT_EQ(tbx::test::readSome(peer, 7), "hello\r\n");

    ASSERT_TRUE(tbx::test::writeAll(peer, "world"));
    Received got = f.receive(1, 65536);
    ASSERT_TRUE(got.data.has_value());
    EXPECT_EQ(text(*got.data), "world");
    EXPECT_FALSE(got.isComplete);
    EXPECT_FALSE(got.error.has_value());

    // At most the maximum per completion; the rest stays for the next receive.
    ASSERT_TRUE(tbx::test::writeAll(peer, "0123456789"));
    got = f.receive(1, 4);
    EXPECT_EQ(text(*got.data), "0123");
    got = f.receive(6, 6);
    EXPECT_EQ(text(*got.data), "456789");

    // A minimum waits for the bytes of several writes. The writer holds on a moment between
    // them to let a receive that does not wait show itself; a late writer only sends them together.
    std::thread writer([peer] {
        tbx::test::writeAll(peer, "ab");
        std::this_thread::sleep_for(50ms);
        tbx::test::writeAll(peer, "cd");
    });
    got = f.receive(4, 16);
    writer.join();
    EXPECT_EQ(text(*got.data), "abcd");

    // A large send arrives whole.
    const std::string large(4 << 20, 'z');
    std::string arrived;
    std::thread reader([&] { arrived = tbx::test::readSome(peer, large.size(), 30000); });
    EXPECT_FALSE(f.send(large).has_value());
    reader.join();
    EXPECT_EQ(arrived.size(), large.size());

    // The end of the peer's data: the rest with the completion mark, then the mark alone. Both are
    // in the connection's socket before the receive is asked for.
    ASSERT_TRUE(tbx::test::writeAll(peer, "bye"));
    ASSERT_TRUE(tbx::test::shutdownAndWaitUntilAcknowledged(peer));
    got = f.receive(1, 16);
    EXPECT_EQ(text(*got.data), "bye");
    EXPECT_TRUE(got.isComplete);
    got = f.receive(1, 16);
    EXPECT_FALSE(got.data.has_value());
    EXPECT_TRUE(got.isComplete);
    EXPECT_FALSE(got.error.has_value());
    f.finish();
    ::close(peer);
}

TEST(NetworkConnection, CancelCompletesPendingWorkBeforeReportingCancelled) {
    tbx::test::LoopbackListener listener;
    Fixture f(listener.port());
    f.start();
    ASSERT_TRUE(f.recorder->waitFor("ready"));
    f.connection->receive(1, 16, [r = f.recorder](auto data, auto, bool complete, auto error) {
        r->add("receive " + std::string(data ? "data" : "none") + (complete ? " complete " : " ") +
               (error ? std::to_string(error->code) : "-"));
    });
    f.finish();
    EXPECT_EQ(f.recorder->events(),
              (std::vector<std::string>{"setup", "preparing", "ready", "receive none 125", "cancelled"}));
    // After cancel, new work completes at once with ECANCELED.
    EXPECT_EQ(f.send("late"), (Error{Error::Domain::posix, ECANCELED}));
    EXPECT_EQ(f.receive(1, 1).error, (Error{Error::Domain::posix, ECANCELED}));
}

TEST(NetworkConnection, PeerResetFailsTheReceiveAndTheConnectionAndSendsDoNotRaiseSigpipe) {
    tbx::test::LoopbackListener listener;
    Fixture f(listener.port());
    f.start();
    const int peer = listener.accept();
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(f.recorder->waitFor("ready"));
    tbx::test::resetConnection(peer);
    const Received got = f.receive(1, 16);
    ASSERT_TRUE(got.error.has_value());
    EXPECT_EQ(got.error->code, ECONNRESET);
    ASSERT_TRUE(f.recorder->waitFor("failed(104)"));
    EXPECT_TRUE(f.send("after").has_value());
    f.finish();
}

TEST(NetworkConnection, WritesToAClosedPeerFailWithoutKillingTheProcess) {
    tbx::test::LoopbackListener listener;
    Fixture f(listener.port());
    f.start();
    const int peer = listener.accept();
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(f.recorder->waitFor("ready"));
    ::close(peer);
    std::optional<Error> error;
    for (int i = 0; i < 50 && !error; ++i) {
        error = f.send(std::string(64 * 1024, 'x'));
    }
    ASSERT_TRUE(error.has_value());
    EXPECT_TRUE(error->code == EPIPE || error->code == ECONNRESET) << error->description();
    f.finish();
}

TEST(NetworkConnection, UnresolvableHostFailsWithANameError) {
    tbx::nw::Parameters parameters;
    parameters.connectAttempts = 1;
    auto connection =
        std::make_shared<Connection>(tbx::nw::Host{"no-such-host.invalid"}, Port{80}, parameters);
    auto recorder = std::make_shared<Recorder>();
    connection->setStateUpdateHandler([recorder](const State& state) { recorder->add(name(state)); });
    connection->start(tbx::dispatch::Queue::serial("test.unresolvable"));
    ASSERT_TRUE(recorder->waitForStart("failed"));
    ASSERT_EQ(connection->state().kind, Kind::failed);
    EXPECT_FALSE(connection->state().error->description().empty());
    connection->cancel();
    EXPECT_TRUE(recorder->waitFor("cancelled"));
}
