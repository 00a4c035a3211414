#include "device/Socket.h"

#include "device/SocketFunctions.h"
#include "platform/foundation/Print.h"
#include "tests/support/Loopback.h"
#include "tests/support/Sandbox.h"

#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

namespace {

const std::uint8_t* bytes(const char* text) {
    return reinterpret_cast<const std::uint8_t*>(text);
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct FastPullRetries {
    FastPullRetries() { tbx::setPullRetryInterval(20ms); }
    ~FastPullRetries() { tbx::setPullRetryInterval(1000ms); }
};

} // namespace

TEST(SocketFunctions, ConnectToAClosedPortFailsLeaksNothingAndLaterSendsSurvive) {
    const int before = tbx::test::openDescriptorCount();
    EXPECT_EQ(tbx::tcpsocket_connect("127.0.0.1", tbx::test::closedLoopbackPort(), 2), -4);
    EXPECT_EQ(tbx::test::openDescriptorCount(), before);

    tbx::TCPClient client("127.0.0.1", tbx::test::closedLoopbackPort());
    EXPECT_EQ(client.connect(2).error(), tbx::SocketError::unknownError);
    EXPECT_FALSE(client.fd.has_value());
    EXPECT_EQ(client.send(std::string("after")).error(), tbx::SocketError::connectionClosed);
    EXPECT_EQ(tbx::test::openDescriptorCount(), before);
}

TEST(SocketFunctions, InvalidAddressTextsAreRefusedNotBroadcast) {
    TBX_REQUIRE_NETWORK_SANDBOX(); // a refused text must not go anywhere; be sure of it
    const int fd = tbx::udpsocket_client();
    ASSERT_GE(fd, 0);
    tbx::TraceCapture trace;
    EXPECT_EQ(tbx::udpsocket_sentto(fd, bytes("x"), 1, "999.1.1.1", 9), -1);
    EXPECT_EQ(tbx::udpsocket_sentto(fd, bytes("x"), 1, "", 9), -1);
    const int before = tbx::test::openDescriptorCount();
    EXPECT_EQ(tbx::tcpsocket_listen("999.1.1.1", 0), -1);
    EXPECT_EQ(tbx::udpsocket_server("not an address", 0), -1);
    EXPECT_EQ(tbx::test::openDescriptorCount(), before);
    tbx::udpsocket_close(fd);
}

TEST(SocketFunctions, FailedBindClosesItsSocket) {
    const int taken = tbx::tcpsocket_listen("127.0.0.1", 0);
    ASSERT_GE(taken, 0);
    const int port = tbx::tcpsocket_port(taken);
    const int before = tbx::test::openDescriptorCount();
    // The port is taken by a listener: bind fails (address reuse does not cover a live listener).
    EXPECT_EQ(tbx::tcpsocket_listen("127.0.0.1", port), -1);
    EXPECT_EQ(tbx::test::openDescriptorCount(), before);
    tbx::tcpsocket_close(taken);
}

TEST(SocketFunctions, UdpServerWithoutAddressBindsAnyAndSaysSo) {
    tbx::TraceCapture trace;
    const int fd = tbx::udpsocket_server("", 0);
    ASSERT_GE(fd, 0);
    const auto lines = trace.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "udp server ip len = 0");
    EXPECT_EQ(lines[1], "bind server success and r = 0 and socketfd = " + std::to_string(fd));
    trace.clear();
    const int broadcast = tbx::udpsocket_server("255.255.255.255", 0);
    ASSERT_GE(broadcast, 0);
    EXPECT_EQ(trace.lines()[0], "udp server ip len = 15");
    tbx::udpsocket_close(fd);
    tbx::udpsocket_close(broadcast);
}

// The time limits here catch a wait that never gives up or a read that blocks (a hang), with
// room for a loaded machine; what the functions do between their reads the trace lines show.
TEST(SocketFunctions, PullReadsWhatIsThereEndsAtEndOfStreamAndGivesUpOnSilence) {
    FastPullRetries fast;
    tbx::test::LoopbackListener listener;
    const int fd = tbx::tcpsocket_connect("127.0.0.1", listener.port(), 2);
    ASSERT_GE(fd, 0);
    const int peer = listener.accept();
    ASSERT_GE(peer, 0);
    std::uint8_t buffer[64] = {};

    // Silence with a wait: the wait's code.
    auto start = Clock::now();
    EXPECT_EQ(tbx::tcpsocket_pull(fd, buffer, 64, 1), 0);
    EXPECT_LT(secondsSince(start), 10.0);

    // Silence without a wait: 29 empty reads, then 0.
    {
        tbx::TraceCapture trace;
        EXPECT_EQ(tbx::tcpsocket_pull(fd, buffer, 64, 0), 0);
        const auto lines = trace.lines();
        ASSERT_EQ(lines.size(), 29u);
        EXPECT_EQ(lines.front(), "socketFd = " + std::to_string(fd) + " ,try times = 1 ,readlen = -1");
        EXPECT_EQ(lines.back(), "socketFd = " + std::to_string(fd) + " ,try times = 29 ,readlen = -1");
    }

    // Data waiting: read, then the first empty read ends the loop.
    ASSERT_TRUE(tbx::test::writeAll(peer, "hello"));
    {
        tbx::TraceCapture trace;
        EXPECT_EQ(tbx::tcpsocket_pull(fd, buffer, 64, 2), 5);
        EXPECT_EQ(trace.lines().size(), 2u);
    }
    EXPECT_EQ(std::memcmp(buffer, "hello", 5), 0);

    // A full buffer ends the loop without another read.
    ASSERT_TRUE(tbx::test::writeAll(peer, "abcdef"));
    EXPECT_EQ(tbx::tcpsocket_pull(fd, buffer, 3, 2), 3);
    EXPECT_EQ(tbx::tcpsocket_bytes_available(fd), 3);
    EXPECT_EQ(tbx::tcpsocket_pull(fd, buffer, 64, 2), 3);

    // End of stream before any data ends at once, with no retries.
    ::close(peer);
    start = Clock::now();
    {
        tbx::TraceCapture trace;
        EXPECT_EQ(tbx::tcpsocket_pull(fd, buffer, 64, 0), 0);
        EXPECT_EQ(trace.lines().size(), 1u);
    }
    EXPECT_LT(secondsSince(start), 10.0);
    tbx::tcpsocket_close(fd);
}

TEST(SocketFunctions, PullOnAnAcceptedBlockingSocketDoesNotHang) {
    FastPullRetries fast;
    const int listening = tbx::tcpsocket_listen("127.0.0.1", 0);
    ASSERT_GE(listening, 0);
    const int client = tbx::tcpsocket_connect("127.0.0.1", tbx::tcpsocket_port(listening), 2);
    ASSERT_GE(client, 0);
    char peerIP[16] = {};
    int peerPort = 0;
    const int accepted = tbx::tcpsocket_accept(listening, peerIP, &peerPort, 2);
    ASSERT_GE(accepted, 0);
    EXPECT_STREQ(peerIP, "127.0.0.1");
    EXPECT_EQ(peerPort, tbx::test::localPort(client));

    EXPECT_EQ(tbx::tcpsocket_send(client, bytes("ping"), 4), 4);
    std::uint8_t buffer[1024] = {};
    const auto start = Clock::now();
    EXPECT_EQ(tbx::tcpsocket_pull(accepted, buffer, sizeof buffer, 2), 4);
    EXPECT_LT(secondsSince(start), 10.0);
    for (int fd : {client, accepted, listening}) {
        tbx::tcpsocket_close(fd);
    }
}

TEST(SocketFunctions, SendWritesWholeBuffersWaitsForRoomAndNeverRaisesSigpipe) {
    tbx::test::LoopbackListener listener;
    const int fd = tbx::tcpsocket_connect("127.0.0.1", listener.port(), 2);
    ASSERT_GE(fd, 0);
    const int peer = listener.accept();
    ASSERT_GE(peer, 0);
    std::vector<std::uint8_t> big(8 << 20, 0x5A);
    std::string received;
    std::thread reader([&] { received = tbx::test::readSome(peer, big.size()); });
    {
        tbx::TraceCapture trace; // the command line shows the data as text
        EXPECT_EQ(tbx::tcpsocket_send(fd, big.data(), int(big.size())), int(big.size()));
    }
    reader.join();
    EXPECT_EQ(received.size(), big.size());

    tbx::TraceCapture trace;
    EXPECT_EQ(tbx::tcpsocket_send(fd, bytes("S\n"), 0), 0);
    EXPECT_EQ(trace.lines(), (Lines{"send fd = " + std::to_string(fd) + " send cmd="}));

    tbx::test::resetConnection(peer);
    pollfd reset{fd, POLLIN, 0}; // the reset makes the socket readable (its error)
    ASSERT_EQ(::poll(&reset, 1, 30000), 1);
    int result = 0;
    for (int i = 0; i < 10 && result >= 0; ++i) {
        result = tbx::tcpsocket_send(fd, bytes("more"), 4);
    }
    EXPECT_EQ(result, -1); // and the process is still here
    tbx::tcpsocket_close(fd);
}

TEST(SocketFunctions, DescriptorsAbove1024Work) {
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max < 1200) {
        GTEST_SKIP() << "the descriptor limit is below 1200";
    }
    const rlimit saved = limit;
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, 1200);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    std::vector<int> fillers;
    while (fillers.size() < 1100) {
        fillers.push_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    }
    tbx::test::LoopbackListener listener;
    const int fd = tbx::tcpsocket_connect("127.0.0.1", listener.port(), 2);
    ASSERT_GT(fd, 1024);
    const int peer = listener.accept();
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(tbx::test::writeAll(peer, "far"));
    std::uint8_t buffer[16] = {};
    EXPECT_EQ(tbx::tcpsocket_pull(fd, buffer, sizeof buffer, 2), 3);
    tbx::tcpsocket_close(fd);
    ::close(peer);
    for (int filler : fillers) {
        ::close(filler);
    }
    ::setrlimit(RLIMIT_NOFILE, &saved);
}

TEST(SocketFunctions, NamesAndPortsAreReported) {
    char ip[16] = {};
    EXPECT_EQ(tbx::udpsocket_get_server_ip("127.0.0.1", ip), 0);
    EXPECT_STREQ(ip, "127.0.0.1");
    char localhost[16] = {};
    EXPECT_EQ(tbx::udpsocket_get_server_ip("localhost", localhost), 0);
    EXPECT_STREQ(localhost, "127.0.0.1");
    const int fd = tbx::tcpsocket_listen("127.0.0.1", 0);
    EXPECT_GT(tbx::tcpsocket_port(fd), 0);
    tbx::tcpsocket_close(fd);
    EXPECT_EQ(tbx::tcpsocket_port(-1), -1);
}

TEST(SocketClasses, TcpServerAndClientRoundTripBytes) {
    tbx::TCPServer server("127.0.0.1", 0);
    ASSERT_TRUE(server.listen().isSuccess());
    ASSERT_GT(server.port, 0);
    tbx::TCPClient client("127.0.0.1", server.port);
    ASSERT_TRUE(client.connect(2).isSuccess());
    const auto accepted = server.accept(2);
    ASSERT_NE(accepted, nullptr);
    EXPECT_EQ(accepted->address, "127.0.0.1");
    EXPECT_EQ(accepted->port, tbx::test::localPort(*client.fd));

    EXPECT_TRUE(client.send(std::string("hi\0there", 8)).isSuccess()); // only "hi" goes
    const std::byte raw[3] = {std::byte{1}, std::byte{2}, std::byte{3}};
    EXPECT_TRUE(client.send(std::span<const std::byte>(raw)).isSuccess());
    ASSERT_TRUE(tbx::test::waitForBytes(*accepted->fd, 5));
    EXPECT_EQ(accepted->bytesAvailable(), 5);
    EXPECT_EQ(accepted->read(64, 2), (std::vector<std::uint8_t>{'h', 'i', 1, 2, 3}));
    EXPECT_TRUE(accepted->send(std::vector<std::uint8_t>{9, 8}).isSuccess());
    EXPECT_EQ(client.read(64, 2), (std::vector<std::uint8_t>{9, 8}));

    const int before = tbx::test::openDescriptorCount();
    ASSERT_TRUE(client.connect(2).isSuccess()); // reconnecting closes the earlier descriptor
    auto second = server.accept(2);
    EXPECT_EQ(tbx::test::openDescriptorCount(), before + 1);

    accepted->close();
    EXPECT_FALSE(client.read(8, 1).has_value()); // peer of the first connection gone; this one silent
    client.close();
    client.close();
    EXPECT_EQ(client.send(std::vector<std::uint8_t>{1}).error(), tbx::SocketError::connectionClosed);
    EXPECT_FALSE(client.read(8).has_value());
    EXPECT_FALSE(client.bytesAvailable().has_value());
    EXPECT_FALSE(client.read(-1).has_value());
}

TEST(SocketClasses, ConnectFailuresMapToTheirCases) {
    TBX_REQUIRE_NETWORK_SANDBOX(); // the failed lookup may ask a name server
    tbx::TCPClient unresolved("no-such-host.invalid", 80);
    EXPECT_EQ(unresolved.connect(1).error(), tbx::SocketError::queryFailed);
    EXPECT_FALSE(unresolved.fd.has_value());
    EXPECT_EQ(tbx::Result::success().error(), std::nullopt);
    EXPECT_TRUE(tbx::Result::failure(tbx::SocketError::unknownError).isFailure());
    tbx::TCPServer noListen("bad", 0);
    EXPECT_TRUE(noListen.listen().isFailure());
    EXPECT_EQ(noListen.accept(1), nullptr);
}

TEST(SocketClasses, UdpClientAndServerRoundTripDatagrams) {
    tbx::UDPServer server("127.0.0.1", 0);
    ASSERT_TRUE(server.fd.has_value());
    const int port = tbx::tcpsocket_port(*server.fd);
    tbx::UDPClient client("127.0.0.1", port);
    ASSERT_TRUE(client.fd.has_value());
    EXPECT_EQ(client.address, "127.0.0.1");
    EXPECT_TRUE(client.send(std::string("datagram")).isSuccess());
    auto [data, from, fromPort] = server.recv(64, 2);
    ASSERT_TRUE(data.has_value());
    EXPECT_EQ(std::string(data->begin(), data->end()), "datagram");
    EXPECT_EQ(from, "127.0.0.1");
    EXPECT_GT(fromPort, 0);

    // Nothing more comes: the receive gives up within its bound.
    const auto start = Clock::now();
    auto [none, noneFrom, nonePort] = server.recv(64, 1);
    EXPECT_FALSE(none.has_value());
    EXPECT_EQ(noneFrom, "0.0.0.0");
    EXPECT_EQ(nonePort, 0);
    EXPECT_LT(secondsSince(start), 10.0);

    client.close();
    EXPECT_EQ(client.send(std::vector<std::uint8_t>{1}).error(), tbx::SocketError::connectionClosed);
    EXPECT_EQ(client.recv(8), (tbx::Datagram{std::nullopt, "no ip", 0}));
}

TEST(SocketClasses, UdpClientForAnUnresolvableHostHasNoSocket) {
    TBX_REQUIRE_NETWORK_SANDBOX(); // the failed lookup may ask a name server
    tbx::UDPClient client("no-such-host.invalid", 5000);
    EXPECT_EQ(client.address, "");
    EXPECT_EQ(client.port, 0);
    EXPECT_FALSE(client.fd.has_value());
    EXPECT_EQ(client.send(std::string("x")).error(), tbx::SocketError::connectionClosed);
    EXPECT_EQ(client.recv(8), (tbx::Datagram{std::nullopt, "no ip", 0}));
}
