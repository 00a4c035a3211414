#include "device/TCPCommunicator.h"

#include "platform/foundation/Print.h"
#include "tests/support/Loopback.h"
#include "tests/support/ScriptedStreams.h"

#include <gtest/gtest.h>
#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ScannerClient = tbx::TCPCommunicator<tbx::ScannerBuild>;
using MonitorClient = tbx::TCPCommunicator<tbx::MonitorBuild>;
using Lines = std::vector<std::string>;

namespace {

// A short read bound; the others far longer, so that a wait by the wrong bound shows.
const tbx::cfnetwork::StreamTimeouts kShort{.connect = 60000ms, .read = 300ms, .write = 60000ms};

std::string text(const std::vector<std::uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

} // namespace

TEST(TCPCommunicatorScanner, ConnectsExchangesAndSeesThePeerClose) {
    tbx::test::LoopbackListener listener;
    const std::string port = std::to_string(listener.port());
    ScannerClient client("127.0.0.1", listener.port());
    tbx::TraceCapture trace;
    client.connect();
    EXPECT_EQ(trace.lines(), (Lines{"TCP Socket attemp to connect ip = 127.0.0.1 and port = " + port,
                                    "Opening streams. Connected"}));
    const int peer = listener.accept();
    ASSERT_GE(peer, 0);
    EXPECT_TRUE(client.isConnected());

    EXPECT_TRUE(client.sendCmd({0x1B, 'D', '\n'}));
    EXPECT_EQ(tbx::test::readSome(peer, 3), "\x1B"
                                            "D\n");

    ASSERT_TRUE(tbx::test::writeAll(peer, "A"));
    trace.clear();
    const auto reply = client.receiveResponse();
    ASSERT_TRUE(reply.has_value());
    ASSERT_EQ(reply->size(), 300u);
    EXPECT_EQ((*reply)[0], 'A');
    EXPECT_TRUE(std::all_of(reply->begin() + 1, reply->end(), [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(trace.lines(), (Lines{"TCPCommunicator: func receiveResponse . read data len = 1"}));

    ::close(peer);
    trace.clear();
    EXPECT_FALSE(client.receiveResponse().has_value());
    EXPECT_EQ(trace.lines(), (Lines{"TCPCommunicator: func receiveResponse . read data len = 0"}));

    trace.clear();
    client.disconnect();
    EXPECT_EQ(trace.lines(), (Lines{"Closing streams."}));
    EXPECT_FALSE(client.isConnected());
}

TEST(TCPCommunicatorScanner, ClosedPortFailsQuietlyLeaksNothingAndSurvivesLaterSends) {
    const int before = tbx::test::openDescriptorCount();
    ScannerClient client("127.0.0.1", tbx::test::closedLoopbackPort(), kShort);
    {
        tbx::TraceCapture trace;
        client.connect();
        ASSERT_EQ(trace.lines().size(), 2u);
        EXPECT_FALSE(client.receiveResponse().has_value());
        EXPECT_EQ(trace.lines().back(), "TCPCommunicator: func receiveResponse . read data len = -1");
    }
    EXPECT_FALSE(client.sendCmd({1, 2, 3}));
    EXPECT_FALSE(client.send("again"));
    client.disconnect();
    EXPECT_EQ(tbx::test::openDescriptorCount(), before);
}

TEST(TCPCommunicatorScanner, SilentPeerReadGivesUpWithinTheBound) {
    tbx::test::LoopbackListener listener;
    ScannerClient client("127.0.0.1", listener.port(), kShort);
    client.connect();
    const int peer = listener.accept();
    ASSERT_GE(peer, 0);
    const auto start = Clock::now();
    EXPECT_FALSE(client.receiveResponse().has_value());
    EXPECT_FALSE(client.receive().has_value());
    // Two reads of 300 ms; the limit catches a read that waits by another bound, or never gives up.
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 10.0);
    client.disconnect();
    ::close(peer);
}

TEST(TCPCommunicatorScanner, PeerResetMidConversationIsReportedAndSurvived) {
    tbx::test::LoopbackListener listener;
    ScannerClient client("127.0.0.1", listener.port(), kShort);
    client.connect();
    const int peer = listener.accept();
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(tbx::test::writeAll(peer, "ok"));
    ASSERT_TRUE(client.receiveResponse().has_value());
    tbx::test::resetConnection(peer);
    // Commands go into the socket's buffer until the reset has come in; from then on they fail.
    bool sent = true;
    for (const auto deadline = Clock::now() + 30s; sent && Clock::now() < deadline;) {
        sent = client.sendCmd(std::vector<std::uint8_t>(100, 'x'));
        std::this_thread::yield();
    }
    EXPECT_FALSE(sent);
    EXPECT_FALSE(client.receiveResponse().has_value());
    client.disconnect();
}

TEST(TCPCommunicatorScanner, LargeCommandIsWrittenWhole) {
    tbx::test::LoopbackListener listener;
    ScannerClient client("127.0.0.1", listener.port());
    client.connect();
    const int peer = listener.accept();
    ASSERT_GE(peer, 0);
    std::vector<std::uint8_t> command(6 << 20);
    for (std::size_t i = 0; i < command.size(); ++i) {
        command[i] = std::uint8_t(i % 251);
    }
    std::string received;
    std::thread reader([&] { received = tbx::test::readSome(peer, command.size()); });
    EXPECT_TRUE(client.sendCmd(command));
    reader.join();
    EXPECT_EQ(received, text(command));
    client.disconnect();
    ::close(peer);
}

TEST(TCPCommunicatorScanner, ReconnectingClosesTheEarlierPair) {
    tbx::test::LoopbackListener listener;
    ScannerClient client("127.0.0.1", listener.port(), kShort);
    const int before = tbx::test::openDescriptorCount();
    for (int i = 0; i < 20; ++i) {
        client.connect();
        const int peer = listener.accept();
        ASSERT_GE(peer, 0);
        ::close(peer);
    }
    EXPECT_LE(tbx::test::openDescriptorCount(), before + 1);
    client.disconnect();
    EXPECT_EQ(tbx::test::openDescriptorCount(), before);
}

TEST(TCPCommunicatorScanner, ScriptedReadsComeBackOnePerCallAndPiecesStayForTheNextRead) {
    tbx::test::ScriptedStreams streams;
    streams.input->pushBytes(std::vector<std::uint8_t>(350, 7));
    streams.input->pushFailure();
    ScannerClient client("10.1.2.3", 54321, streams.factory());
    client.connect();
    EXPECT_TRUE(streams.input->opened());
    const auto first = client.receiveResponse();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(*first, std::vector<std::uint8_t>(300, 7));
    const auto second = client.receiveResponse();
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ((*second)[49], 7);
    EXPECT_EQ((*second)[50], 0);
    EXPECT_FALSE(client.receiveResponse().has_value());
    EXPECT_EQ(streams.input->askedLengths(), (std::vector<std::size_t>{300, 300, 300}));

    streams.output->failWritesWith(2);
    EXPECT_FALSE(client.sendCmd({1, 2, 3})); // a short write is a failure
    client.disconnect();
    EXPECT_TRUE(streams.input->closedCalled());
}

TEST(TCPCommunicatorScanner, SetURLKeepsOpenStreamsAndTheNextConnectUsesIt) {
    tbx::test::ScriptedStreams streams;
    ScannerClient client("10.1.2.3", 54321, streams.factory());
    client.connect();
    client.setURL("10.9.9.9");
    EXPECT_TRUE(client.isConnected());
    EXPECT_FALSE(streams.input->closedCalled()); // the open pair is not touched
    EXPECT_EQ(client.url(), "10.9.9.9");
    client.connect();
    ASSERT_EQ(streams.connects->size(), 2u);
    EXPECT_EQ(streams.connects->at(0).first, "10.1.2.3");
    EXPECT_EQ(streams.connects->at(1), (std::pair<std::string, std::uint32_t>{"10.9.9.9", 54321}));
}

TEST(TCPCommunicatorScanner, WithoutStreamsNothingIsSentOrRead) {
    ScannerClient client("127.0.0.1", 9);
    tbx::TraceCapture trace;
    client.disconnect();
    client.disconnect();
    EXPECT_EQ(trace.lines(), (Lines{"Closing streams.", "Closing streams."}));
    trace.clear();
    EXPECT_FALSE(client.sendCmd({1}));
    EXPECT_FALSE(client.send("x"));
    EXPECT_TRUE(trace.lines().empty());
    EXPECT_FALSE(client.receiveResponse().has_value());
    EXPECT_FALSE(client.receive().has_value());
    EXPECT_EQ(trace.lines(), (Lines{"inputStream status = nil"}));
}

TEST(TCPCommunicatorReceive, DecodesOnlyTheBytesReceived) {
    tbx::test::ScriptedStreams streams;
    streams.input->pushText("1000");
    streams.input->pushBytes({0xE4, 0xB8, 0xAD, 0xE6, 0x96, 0x87});
    streams.input->pushBytes({'o', 0xFF, 'k'});
    streams.input->pushBytes({0xE4, 0xB8}); // a character cut short
    streams.input->pushEnd();
    MonitorClient client("192.168.1.1", 9101, streams.factory());
    client.connect();
    tbx::TraceCapture trace;
    EXPECT_EQ(client.receive(), std::optional<std::string>("1000"));
    EXPECT_EQ(trace.lines(),
              (Lines{"inputStream status = 2", "TCPCommunicator: func receive . read data len = 4"}));
    EXPECT_EQ(client.receive(), std::optional<std::string>("\xE4\xB8\xAD\xE6\x96\x87"));
    EXPECT_FALSE(client.receive().has_value());
    EXPECT_FALSE(client.receive().has_value());
    EXPECT_FALSE(client.receive().has_value());
    EXPECT_EQ(trace.lines().back(), "TCPCommunicator: func receive . read data len = 0");
    EXPECT_EQ(streams.input->askedLengths(), (std::vector<std::size_t>(5, 1024)));
}

TEST(TCPCommunicatorMonitor, TracesOfConnectAndSend) {
    tbx::test::ScriptedStreams streams;
    MonitorClient client("192.168.1.1", 9101, streams.factory());
    tbx::TraceCapture trace;
    EXPECT_FALSE(client.send("CheckwifiAP?"));
    EXPECT_EQ(trace.lines(), (Lines{"outputStream status = nil", "outputstream write result = nil"}));
    trace.clear();
    client.connect();
    EXPECT_EQ(trace.lines(), (Lines{"Opening streams."}));
    trace.clear();
    EXPECT_TRUE(client.send("CheckwifiAP?"));
    EXPECT_EQ(trace.lines(), (Lines{"outputStream status = 2", "outputstream write result = 12"}));
    EXPECT_EQ(streams.output->writtenText(), "CheckwifiAP?");
    ASSERT_EQ(streams.output->writes().size(), 1u);
    streams.output->failWritesWith(-1);
    EXPECT_FALSE(client.send("SetwifiAP=x"));
    client.disconnect();
}

TEST(TCPCommunicatorMonitor, TalksToALoopbackPeer) {
    tbx::test::LoopbackListener listener;
    MonitorClient client("127.0.0.1", listener.port(), kShort);
    client.connect();
    const int peer = listener.accept();
    ASSERT_GE(peer, 0);
    EXPECT_TRUE(client.send("Checkwifiserver?"));
    EXPECT_EQ(tbx::test::readSome(peer, 16), "Checkwifiserver?");
    ASSERT_TRUE(tbx::test::writeAll(peer, "1000,net1,5"));
    EXPECT_EQ(client.receive(), std::optional<std::string>("1000,net1,5"));
    client.disconnect();
    ::close(peer);
}
