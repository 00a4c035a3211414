// The line-oriented TCP client on loopback: its log and console lines for a good
// connection, data, the end of the peer's data, a refused port, stop and sends.
#include "device/TCPSocket.h"

#include "platform/foundation/Print.h"
#include "tests/support/Loopback.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>

using namespace std::chrono_literals;
using tbx::TCPSocket;
using tbx::TraceCapture;
using Lines = std::vector<std::string>;

namespace {

bool contains(const Lines& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Pumps the main queue until `line` was logged (log) or printed (console). The limit only ends
// the wait for a line that never comes, with room for a loaded machine.
bool waitForLog(const TraceCapture& capture, const std::string& line, double seconds = 30) {
    return tbx::dispatch::runMainUntil([&] { return contains(capture.logLines(), line); },
                                       tbx::dispatch::Seconds(seconds));
}
bool waitForConsole(const TraceCapture& capture, const std::string& line, double seconds = 30) {
    return tbx::dispatch::runMainUntil([&] { return contains(capture.lines(), line); },
                                       tbx::dispatch::Seconds(seconds));
}

// The log lines once they are `expected`: the main queue is pumped until then (the last lines of
// a connection's end come after "was cancelled"), at most 30 s, and a moment more, so that a line
// too many shows as well.
Lines logOnceItIs(const TraceCapture& capture, const Lines& expected) {
    if (tbx::dispatch::runMainUntil([&] { return capture.logLines() == expected; },
                                    tbx::dispatch::Seconds(30))) {
        tbx::dispatch::runMainFor(50ms);
    }
    return capture.logLines();
}

tbx::nw::Data bytes(std::string_view text) {
    tbx::nw::Data data(text.size());
    std::memcpy(data.data(), text.data(), text.size());
    return data;
}

} // namespace

TEST(TCPSocket, InvalidPortTextsGiveNoSocket) {
    for (const char* bad : {"", "http", "65536", "-1", "80x", " 80"}) {
        EXPECT_EQ(TCPSocket::create("127.0.0.1", bad), nullptr) << bad;
    }
    auto made = TCPSocket::create("localhost", "8080");
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->connection->host().name, "localhost");
    EXPECT_EQ(made->connection->port().value, 8080);
    EXPECT_EQ(made->connection->state().kind, tbx::nw::State::Kind::setup); // not started
}

TEST(TCPSocket, DataIsLoggedTheWayThePlatformDescribesIt) {
    EXPECT_EQ(TCPSocket::dataDescription({}), "{length = 0, bytes = 0x}");
    EXPECT_EQ(TCPSocket::dataDescription(bytes("hello")), "{length = 5, bytes = 0x68656c6c 6f}");
    EXPECT_EQ(TCPSocket::dataDescription(bytes("ping\r\n")), "{length = 6, bytes = 0x70696e67 0d0a}");
    EXPECT_EQ(TCPSocket::dataDescription(bytes(std::string(30, 'A'))),
              "{length = 30, bytes = 0x41414141 41414141 ... 41414141 41414141}");
}

TEST(TCPSocket, ConversationWithAPeerLogsEveryStepAndEndsAtThePeersEnd) {
    TraceCapture capture(TraceCapture::CaptureLog::yes);
    tbx::test::LoopbackListener listener;
    auto socket = TCPSocket::create("127.0.0.1", std::to_string(listener.port()));
    ASSERT_NE(socket, nullptr);
    std::weak_ptr<TCPSocket> watch = socket;
    socket->start();
    const int peer = listener.accept();
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(waitForConsole(capture, "socket is ready"));
    EXPECT_EQ(capture.logLines(), (Lines{"will start", "is setting up"}));

    // Data without the completion mark: logged, printed, and the next receive armed.
    ASSERT_TRUE(tbx::test::writeAll(peer, "hello"));
    ASSERT_TRUE(waitForConsole(capture, "received message = hello"));
    EXPECT_TRUE(contains(capture.logLines(), "did receive, data: {length = 5, bytes = 0x68656c6c 6f}"));

    // Bytes that are not UTF-8 print an empty message; receiving goes on.
    ASSERT_TRUE(tbx::test::writeAll(peer, "\xff\xfe"));
    ASSERT_TRUE(waitForLog(capture, "did receive, data: {length = 2, bytes = 0xfffe}"));
    ASSERT_TRUE(waitForConsole(capture, "received message = "));
    ASSERT_TRUE(tbx::test::writeAll(peer, "ok"));
    ASSERT_TRUE(waitForConsole(capture, "received message = ok"));

    // Sends end with CR LF; an empty line is exactly CR LF.
    socket->send("ping");
    EXPECT_EQ(tbx::test::readSome(peer, 6), "ping\r\n");
    ASSERT_TRUE(waitForLog(capture, "did send, data: {length = 6, bytes = 0x70696e67 0d0a}"));
    EXPECT_TRUE(contains(capture.lines(), "send data(ping) successfully"));
    socket->send("");
    EXPECT_EQ(tbx::test::readSome(peer, 2), "\r\n");
    ASSERT_TRUE(waitForConsole(capture, "send data() successfully"));
    EXPECT_EQ(tbx::test::bytesWaiting(peer), 0); // nothing after the CR LF

    // The peer's end: the completion mark without data, then stop and the cancelled state.
    capture.clear();
    ::close(peer);
    const Lines ended{"did receive, EOF", "did stop", "was cancelled", "did stop"};
    EXPECT_EQ(logOnceItIs(capture, ended), ended);
    EXPECT_EQ(capture.lines(), (Lines{"receive is done", "received data is empty"}));

    // Nothing holds the socket once the connection has been cancelled.
    socket.reset();
    EXPECT_TRUE(tbx::dispatch::runMainUntil([&] { return watch.expired(); }, tbx::dispatch::Seconds(30)));
}

TEST(TCPSocket, DataThatComesWithThePeersEndIsLoggedBeforeTheEnd) {
    TraceCapture capture(TraceCapture::CaptureLog::yes);
    tbx::test::LoopbackListener listener;
    auto socket = TCPSocket::create("127.0.0.1", std::to_string(listener.port()));
    socket->start();
    // The peer's last words and its end are in before the main queue arms the first receive: the
    // main queue is not pumped until the connection's side has acknowledged both.
    const int peer = listener.accept();
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(tbx::test::writeAll(peer, "last"));
    ASSERT_TRUE(tbx::test::shutdownAndWaitUntilAcknowledged(peer));
    ::close(peer);
    const Lines log{
        "will start",       "is setting up", "did receive, data: {length = 4, bytes = 0x6c617374}",
        "did receive, EOF", "did stop",      "was cancelled",
        "did stop"};
    EXPECT_EQ(logOnceItIs(capture, log), log);
    EXPECT_EQ(capture.lines(), (Lines{"socket is ready", "receive is done", "received message = last"}));
}

TEST(TCPSocket, RefusedPortIsLoggedAsWaitingThenAsAFailure) {
    TraceCapture capture(TraceCapture::CaptureLog::yes);
    auto socket = TCPSocket::create("127.0.0.1", std::to_string(tbx::test::closedLoopbackPort()));
    socket->start();
    const std::string refused = "POSIXErrorCode(rawValue: 111): Connection refused";
    const Lines log{"will start",
                    "is setting up",
                    "is waiting: " + refused,
                    "is waiting: " + refused,
                    "did fail, error: " + refused,
                    "did stop",
                    "was cancelled",
                    "did stop"};
    EXPECT_EQ(logOnceItIs(capture, log), log);
    EXPECT_TRUE(capture.lines().empty());
}

TEST(TCPSocket, StopCancelsAndTheCancelledStateStopsOnceMore) {
    TraceCapture capture(TraceCapture::CaptureLog::yes);
    tbx::test::LoopbackListener listener;
    auto socket = TCPSocket::create("127.0.0.1", std::to_string(listener.port()));
    socket->start();
    const int peer = listener.accept();
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(waitForConsole(capture, "socket is ready"));
    capture.clear();
    socket->stop();
    // The armed receive ends with the cancel error and stops (a cancel that is already done).
    const std::string cancelled = "POSIXErrorCode(rawValue: 125): Operation canceled";
    const Lines log{"did stop", "did receive, error: " + cancelled, "did stop", "was cancelled", "did stop"};
    EXPECT_EQ(logOnceItIs(capture, log), log);
    EXPECT_EQ(capture.lines(), (Lines{"received data is empty"}));
    EXPECT_EQ(tbx::test::readSome(peer, 1, 2000), "");
    // A send after the end reports its error and stops again.
    socket->send("late");
    ASSERT_TRUE(waitForLog(capture, "did send, error: " + cancelled));
    ::close(peer);
}
