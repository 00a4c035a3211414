#include "platform/cfnetwork/Streams.h"

#include "tests/support/Loopback.h"
#include "tests/support/Sandbox.h"

#include <cstring>
#include <gtest/gtest.h>
#include <thread>

using namespace std::chrono_literals;
using tbx::cfnetwork::StreamStatus;
using tbx::cfnetwork::StreamTimeouts;
using Clock = std::chrono::steady_clock;

namespace {

tbx::cfnetwork::StreamPair openPair(std::uint16_t port, StreamTimeouts timeouts = {}) {
    auto pair = tbx::cfnetwork::createPairWithSocketToHost("127.0.0.1", port, timeouts);
    pair.output->open();
    pair.input->open();
    return pair;
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace

TEST(SocketStreams, ExchangeBytesReportStatusAndEndOfStream) {
    tbx::test::LoopbackListener listener;
    auto pair = tbx::cfnetwork::createPairWithSocketToHost("127.0.0.1", listener.port());
    EXPECT_EQ(pair.input->streamStatus(), StreamStatus::notOpen);
    pair.output->open();
    pair.input->open();
    const int peer = listener.accept();
    ASSERT_GE(peer, 0);

    const std::string hello = "hello";
    EXPECT_EQ(pair.output->write(reinterpret_cast<const std::uint8_t*>(hello.data()), hello.size()), 5);
    EXPECT_EQ(tbx::test::readSome(peer, 5), "hello");
    EXPECT_EQ(pair.output->streamStatus(), StreamStatus::open);

    ASSERT_TRUE(tbx::test::writeAll(peer, "abc"));
    std::uint8_t buffer[16] = {};
    EXPECT_EQ(pair.input->read(buffer, sizeof buffer), 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 3), "abc");
    EXPECT_EQ(pair.input->streamStatus(), StreamStatus::open);

    ::close(peer);
    EXPECT_EQ(pair.input->read(buffer, sizeof buffer), 0);
    EXPECT_EQ(pair.input->streamStatus(), StreamStatus::atEnd);
    EXPECT_EQ(pair.input->read(buffer, sizeof buffer), 0);

    pair.input->close();
    pair.output->close();
    EXPECT_EQ(pair.input->streamStatus(), StreamStatus::closed);
    EXPECT_EQ(pair.input->read(buffer, sizeof buffer), -1);
}

TEST(SocketStreams, RefusedConnectionFailsReadsAndWritesAndLeaksNothing) {
    const int before = tbx::test::openDescriptorCount();
    {
        auto pair = openPair(tbx::test::closedLoopbackPort());
        std::uint8_t buffer[8];
        EXPECT_EQ(pair.input->read(buffer, sizeof buffer), -1);
        EXPECT_EQ(pair.input->streamStatus(), StreamStatus::error);
        EXPECT_EQ(pair.input->streamError(), ECONNREFUSED);
        EXPECT_EQ(pair.output->write(buffer, sizeof buffer), -1);
        EXPECT_EQ(pair.output->streamStatus(), StreamStatus::error);
    }
    EXPECT_EQ(tbx::test::openDescriptorCount(), before);
}

TEST(SocketStreams, HostThatDoesNotResolveIsAnErrorOnOpen) {
    TBX_REQUIRE_NETWORK_SANDBOX(); // the lookup may ask a name server
    auto named = tbx::cfnetwork::createPairWithSocketToHost("no-such-host.invalid", 80);
    named.input->open();
    EXPECT_EQ(named.input->streamStatus(), StreamStatus::error);
    std::uint8_t buffer[8];
    EXPECT_EQ(named.input->read(buffer, sizeof buffer), -1);
}

// The time limits of these tests catch a wait that never gives up, or that waits by another
// bound than its own (those are far longer), and leave a loaded machine room.
TEST(SocketStreams, SilentPeerReadGivesUpWithinTheBoundAndStaysUsable) {
    tbx::test::LoopbackListener listener;
    auto pair = openPair(listener.port(), {.connect = 60000ms, .read = 200ms, .write = 60000ms});
    const int peer = listener.accept();
    ASSERT_GE(peer, 0);
    std::uint8_t buffer[8];
    const auto start = Clock::now();
    EXPECT_EQ(pair.input->read(buffer, sizeof buffer), -1);
    const double waited = secondsSince(start);
    EXPECT_GE(waited, 0.15);
    EXPECT_LT(waited, 10.0);
    EXPECT_EQ(pair.input->streamError(), ETIMEDOUT);
    EXPECT_EQ(pair.input->streamStatus(), StreamStatus::open);

    ASSERT_TRUE(tbx::test::writeAll(peer, "late"));
    EXPECT_EQ(pair.input->read(buffer, sizeof buffer), 4);
    ::close(peer);
}

TEST(SocketStreams, ConnectThatNeverCompletesGivesUpWithinTheBound) {
    // A listener with a full accept queue drops further handshakes, so a connect
    // to it stays pending until the bound runs out.
    const int listenerFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = tbx::test::loopbackAddress(0);
    ASSERT_EQ(::bind(listenerFd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listenerFd, 0), 0);
    const std::uint16_t port = tbx::test::localPort(listenerFd);
    std::vector<tbx::cfnetwork::StreamPair> fillers;
    for (int i = 0; i < 4; ++i) {
        fillers.push_back(openPair(port, {.connect = 100ms, .read = 100ms, .write = 100ms}));
    }
    // With backlog 0 the queue is full once it holds one finished handshake.
    pollfd queued{listenerFd, POLLIN, 0};
    ASSERT_EQ(::poll(&queued, 1, 30000), 1) << "no handshake of the fillers finished";
    auto pair = openPair(port, {.connect = 300ms, .read = 60000ms, .write = 60000ms});
    std::uint8_t buffer[8];
    const auto start = Clock::now();
    const long n = pair.input->read(buffer, sizeof buffer);
    const double waited = secondsSince(start);
    EXPECT_EQ(n, -1);
    EXPECT_LT(waited, 10.0);
    if (pair.input->streamError() != ETIMEDOUT) {
        ::close(listenerFd);
        GTEST_SKIP() << "the kernel completed the handshake despite the full queue";
    }
    EXPECT_EQ(pair.input->streamStatus(), StreamStatus::error);
    ::close(listenerFd);
}

TEST(SocketStreams, LargeWritesArriveWholeAndAWriteNobodyReadsIsBounded) {
    tbx::test::LoopbackListener listener;
    {
        // A bound that a slow reader on a loaded machine never runs into.
        auto pair = openPair(listener.port(), {.connect = 30000ms, .read = 30000ms, .write = 30000ms});
        const int peer = listener.accept();
        ASSERT_GE(peer, 0);
        std::vector<std::uint8_t> big(8 << 20);
        for (std::size_t i = 0; i < big.size(); ++i) {
            big[i] = std::uint8_t(i * 7);
        }
        std::string received;
        std::thread reader([&] { received = tbx::test::readSome(peer, big.size(), 30000); });
        EXPECT_EQ(pair.output->write(big.data(), big.size()), long(big.size()));
        reader.join();
        ASSERT_EQ(received.size(), big.size());
        EXPECT_EQ(0, std::memcmp(received.data(), big.data(), big.size()));
        ::close(peer);
    }

    // Nobody reads: the socket buffers fill and the write gives up after 300 ms without progress.
    auto pair = openPair(listener.port(), {.connect = 60000ms, .read = 60000ms, .write = 300ms});
    const int peer = listener.accept();
    ASSERT_GE(peer, 0);
    std::vector<std::uint8_t> huge(64 << 20);
    const auto start = Clock::now();
    EXPECT_EQ(pair.output->write(huge.data(), huge.size()), -1);
    EXPECT_LT(secondsSince(start), 20.0);
    EXPECT_EQ(pair.output->streamError(), ETIMEDOUT);
    ::close(peer);
}

TEST(SocketStreams, WritesToAResetPeerFailWithoutKillingTheProcess) {
    tbx::test::LoopbackListener listener;
    auto pair = openPair(listener.port());
    const int peer = listener.accept();
    ASSERT_GE(peer, 0);
    tbx::test::resetConnection(peer);
    // Writes go into the socket's buffer until the reset has come in; from then on they fail.
    const std::uint8_t bytes[4] = {1, 2, 3, 4};
    long result = 0;
    for (const auto deadline = Clock::now() + 30s; result >= 0 && Clock::now() < deadline;) {
        result = pair.output->write(bytes, sizeof bytes);
        std::this_thread::yield();
    }
    EXPECT_EQ(result, -1);
    EXPECT_EQ(pair.output->streamStatus(), StreamStatus::error);
    std::uint8_t buffer[8];
    EXPECT_LE(pair.input->read(buffer, sizeof buffer), 0);
}

TEST(SocketStreams, TheSocketIsClosedOnceBothHalvesAreClosed) {
    tbx::test::LoopbackListener listener;
    const int before = tbx::test::openDescriptorCount();
    auto pair = openPair(listener.port());
    const int peer = listener.accept();
    ASSERT_GE(peer, 0);
    EXPECT_EQ(tbx::test::openDescriptorCount(), before + 2);
    pair.input->close();
    EXPECT_EQ(tbx::test::openDescriptorCount(), before + 2);
    pair.output->close();
    EXPECT_EQ(tbx::test::openDescriptorCount(), before + 1);
    std::uint8_t buffer[4];
    pollfd entry{peer, POLLIN, 0};
    ASSERT_EQ(::poll(&entry, 1, 2000), 1);
    EXPECT_EQ(::recv(peer, buffer, sizeof buffer, 0), 0);
    ::close(peer);
}
