#include "scanning/SocketScanProcess.h"

#include "platform/foundation/Print.h"
#include "scanning/ScanOptions.h"
#include "scanning/ScanParameters.h"
#include "sim/scanner/TcpScanner.h"
#include "tests/support/ScanStreams.h"
#include "tests/support/ScriptedStreams.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

using namespace tbx;

namespace {

using Bytes = std::vector<std::uint8_t>;

using test::blockHeader;
using test::trailer;

Bytes filled(std::size_t n, std::uint8_t value) {
    return Bytes(n, value);
}

struct Saved {
    std::int64_t pageNo;
    Bytes data;
};

class ReceiveImagesTest : public testing::Test {
protected:
    ReceiveImagesTest() : socket("10.0.0.1", 54321, streams.factory()) {
        param.mode = "GRAY256";
        param.w = 8;
        param.h = 4;
    }

    ResultPair receive(bool saveSucceeds = true) {
        socket.connect();
        return receiveImages(
            socket, param,
            [&, saveSucceeds](const ScanParam&, std::int64_t pageNo, std::span<const std::uint8_t> d) {
                saved.push_back({pageNo, Bytes(d.begin(), d.end())});
                return saveSucceeds ? ResultPair{true, "saveSuccessfully"}
                                    : ResultPair{false, "saveImageError"};
            });
    }

    test::ScriptedInputStream& in() { return *streams.input; }

    test::ScriptedStreams streams;
    TCPCommunicator<ScannerBuild> socket;
    ScanParam param;
    std::vector<Saved> saved;
};

} // namespace

TEST_F(ReceiveImagesTest, PagesAreCutFromBlocksOfAnySizeAndSavedInOrder) {
    // Page 1: an empty block, a 50000-byte block in two reads, a 1-byte read at the end.
    in().pushBytes(blockHeader(0));
    in().pushBytes(blockHeader(50001));
    in().pushBytes(filled(50000, 7));
    in().pushBytes(filled(1, 9));
    in().pushBytes(trailer());
    // Page 2: two blocks; the trailer arrives with the job's end in one 11-byte read.
    in().pushBytes(blockHeader(3));
    in().pushBytes({1, 2, 3});
    in().pushBytes(blockHeader(2));
    in().pushBytes({4, 5});
    Bytes last = trailer();
    last.push_back(0x80);
    in().pushBytes(last);
    TraceCapture trace;
    EXPECT_EQ(receive(), (ResultPair{true, "2"}));
    ASSERT_EQ(saved.size(), 2u);
    EXPECT_EQ(saved[0].pageNo, 1);
    EXPECT_EQ(saved[0].data.size(), 50001u);
    EXPECT_EQ(saved[0].data.back(), 9);
    EXPECT_EQ(saved[1].pageNo, 2);
    EXPECT_EQ(saved[1].data, (Bytes{1, 2, 3, 4, 5}));
    const auto asked = in().askedLengths();
    EXPECT_EQ(std::count(asked.begin(), asked.end(), 40960u), 1); // 50001 read as 40960 + rest
    EXPECT_NE(trace.text().find("expect image size = 32, w = 8 ,h = 4\n"), std::string::npos);
    EXPECT_NE(trace.text().find("receive image len = 1 and readLean = 1\n"), std::string::npos);
    EXPECT_NE(trace.text().find("scan finished\n"), std::string::npos);
}

TEST_F(ReceiveImagesTest, TheStreamsEndIsSuccessOnlyBetweenPages) {
    in().pushBytes(blockHeader(2));
    in().pushBytes({1, 2});
    in().pushBytes(trailer());
    in().pushEnd();
    EXPECT_EQ(receive(), (ResultPair{true, "1"}));

    saved.clear();
    in().pushBytes(blockHeader(2));
    in().pushBytes({1, 2});
    in().pushEnd(); // closed after a whole block, before the trailer
    EXPECT_EQ(receive(), (ResultPair{false, "scannerNetworkError"}));
    EXPECT_TRUE(saved.empty());

    in().pushBytes(blockHeader(4));
    in().pushBytes({1, 2});
    in().pushEnd(); // closed inside a payload
    EXPECT_EQ(receive(), (ResultPair{false, "scannerNetworkError"}));

    in().pushEnd(); // nothing at all
    EXPECT_EQ(receive(), (ResultPair{true, "0"}));
}

TEST_F(ReceiveImagesTest, BrokenUnitsFailTheJobAndKeepEarlierPages) {
    auto onePageThen = [&](const Bytes& bad) {
        saved.clear();
        in().pushBytes(blockHeader(1));
        in().pushBytes({5});
        in().pushBytes(trailer());
        in().pushBytes(bad);
        return receive();
    };
    // A header read of 2 to 9 bytes: its length would come from stale bytes.
    for (std::size_t n : {2u, 5u, 9u}) {
        EXPECT_EQ(onePageThen(Bytes(n, 0x11)), (ResultPair{false, "scannerNetworkError"})) << n;
        EXPECT_EQ(saved.size(), 1u);
    }
    // A trailer that does not start with 0x82 is reported, not dropped silently.
    EXPECT_EQ(onePageThen(trailer(0x42)), (ResultPair{false, "scannerNetworkError"}));
    EXPECT_EQ(saved.size(), 1u);

    saved.clear();
    in().pushBytes(blockHeader(1));
    in().pushFailure();
    EXPECT_EQ(receive(), (ResultPair{false, "scannerNetworkError"}));
    in().pushFailure();
    EXPECT_EQ(receive(), (ResultPair{false, "scannerNetworkError"}));
    EXPECT_TRUE(saved.empty());

    // Without a connection there is nothing to read from.
    TCPCommunicator<ScannerBuild> unconnected("10.0.0.1", 54321, streams.factory());
    EXPECT_EQ(receiveImages(unconnected, param, {}), (ResultPair{false, "scannerNetworkError"}));
}

TEST_F(ReceiveImagesTest, StatusBytesAndFailedSavesAreTheJobsOutcome) {
    in().pushBytes(blockHeader(1));
    in().pushBytes({5});
    in().pushBytes(trailer());
    in().pushBytes({0xC3});
    TraceCapture trace;
    EXPECT_EQ(receive(), (ResultPair{false, "paperJunck"}));
    EXPECT_EQ(saved.size(), 1u);
    EXPECT_NE(trace.text().find("header[0] = 195\nprocess status is : paperJunck data=195\n"),
              std::string::npos);

    in().pushBytes({0x81}); // no word for it: the code is named
    EXPECT_EQ(receive(), (ResultPair{false, scanStatusMessage(0x81)}));
    EXPECT_NE(scanStatusMessage(0x81).find("0x81"), std::string::npos);

    Bytes jam = trailer();
    jam.push_back(0xC3);
    in().pushBytes(blockHeader(1));
    in().pushBytes({5});
    in().pushBytes(jam); // the trailer carries a status other than "finished"
    EXPECT_EQ(receive(), (ResultPair{false, "paperJunck"}));

    saved.clear();
    for (int page = 0; page < 2; ++page) {
        in().pushBytes(blockHeader(1));
        in().pushBytes({5});
        in().pushBytes(trailer());
    }
    in().pushBytes({0x80});
    EXPECT_EQ(receive(false), (ResultPair{false, "saveImageError"}));
    EXPECT_EQ(saved.size(), 2u); // every page was still offered
}

namespace {

// What the network scan answers for a stream of the shared table.
ResultPair expectedResult(const test::StreamCase& c) {
    switch (c.outcome) {
    case test::StreamCase::Outcome::finished:
    case test::StreamCase::Outcome::ended:
        return {true, std::to_string(c.pagesKept)};
    case test::StreamCase::Outcome::status:
        return {false, scanStatusMessage(c.status)};
    case test::StreamCase::Outcome::cutShort:
    case test::StreamCase::Outcome::broken:
        break;
    }
    return {false, "scannerNetworkError"};
}

void expectPagesKept(const std::vector<Saved>& saved, const test::StreamCase& c) {
    ASSERT_EQ(saved.size(), c.pagesKept) << c.name;
    for (std::size_t n = 1; n <= c.pagesKept; ++n) {
        EXPECT_EQ(saved[n - 1].pageNo, std::int64_t(n)) << c.name;
        EXPECT_EQ(saved[n - 1].data, Bytes(test::pageBytes(n), std::uint8_t(n))) << c.name;
    }
}

} // namespace

TEST_F(ReceiveImagesTest, SharedNetworkStreamCases) {
    for (const auto& c : test::networkStreamCases()) {
        test::ScriptedStreams fresh; // nothing left over from the case before
        TCPCommunicator<ScannerBuild> channel("10.0.0.1", 54321, fresh.factory());
        for (const auto& piece : c.pieces) {
            fresh.input->pushBytes(piece);
        }
        if (c.ending == test::StreamCase::Ending::close) {
            fresh.input->pushEnd();
        } else {
            fresh.input->pushFailure(); // a read that gave up waiting
        }
        saved.clear();
        channel.connect();
        const auto result = receiveImages(
            channel, param, [&](const ScanParam&, std::int64_t pageNo, std::span<const std::uint8_t> d) {
                saved.push_back({pageNo, Bytes(d.begin(), d.end())});
                return ResultPair{true, "saveSuccessfully"};
            });
        EXPECT_EQ(result, expectedResult(c)) << c.name;
        expectPagesKept(saved, c);
    }
}

TEST(ExpectedPageSize, FollowsTheModeWithoutOverflowAndIsCapped) {
    ScanParam p;
    p.mode = "TEXT";
    p.w = 9;
    p.h = 10;
    EXPECT_EQ(expectedPageSize(p), 20u);
    p.mode = "GRAY256";
    EXPECT_EQ(expectedPageSize(p), 90u);
    p.w = -5;
    EXPECT_EQ(expectedPageSize(p), 0u);
    p.w = std::numeric_limits<std::int64_t>::max();
    p.h = std::numeric_limits<std::int64_t>::max();
    EXPECT_EQ(expectedPageSize(p), kMaxPageReservation);
    p.w = 2480; // A4 at 300 dpi fits
    p.h = 3508;
    EXPECT_EQ(expectedPageSize(p), 2480u * 3508u);
}

namespace {

class SocketScanProcessTest : public testing::Test {
protected:
    std::shared_ptr<ScanCommand> command(const std::string& source, const std::string& mode = "GRAY256") {
        UIParams ui{.scannerName = "Tamberlyx",
                    .scanSourceIndex = source == "AUTO"  ? 0
                                       : source == "ADF" ? 1
                                                         : 2,
                    .colorModeIndex = mode == "CGRAY"     ? 0
                                      : mode == "GRAY256" ? 1
                                                          : 2,
                    .resolutionIndex = 0,
                    .savePrefix = "file",
                    .saveDir = "/nonexistent",
                    .saveFileName = "file"};
        auto param = scanParameters(ui, "/nonexistent/receive");
        param.w = 64;
        param.h = 16;
        return std::make_shared<ScanCommand>(param);
    }

    ResultPair scan(sim::TcpScanner& scanner, const std::shared_ptr<ScanCommand>& cmd,
                    std::chrono::milliseconds readBound = std::chrono::milliseconds(3000)) {
        SocketScanProcess::Options options;
        options.port = scanner.port();
        options.timeouts.read = readBound;
        options.writePage = [&](const ScanParam& p, std::int64_t pageNo, std::span<const std::uint8_t> d) {
            saved.push_back({pageNo, Bytes(d.begin(), d.end())});
            sources.push_back(p.source);
            return ResultPair{true, "saveSuccessfully"};
        };
        SocketScanProcess process(Device("Tamberlyx", "Tamberlyx", "Net", "127.0.0.1", 0x37, 0x356C), cmd,
                                  std::move(options));
        return process.startScan();
    }

    // The simulated scanner records a connection's commands when the host has closed it. The
    // limit only ends the wait for commands that never come, with room for a loaded machine.
    static std::vector<std::string> commandsSeen(const sim::TcpScanner& scanner,
                                                 const std::vector<std::string>& expected) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (scanner.commandLog() != expected && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return scanner.commandLog();
    }

    std::vector<Saved> saved;
    std::vector<std::string> sources;
};

} // namespace

TEST_F(SocketScanProcessTest, WholeJobsFromTheSimulatedScanner) {
    sim::ScannerScript script;
    script.pages = 3;
    script.maxPayload = 500;
    sim::TcpScanner scanner(script);
    auto cmd = command("AUTO");
    EXPECT_EQ(scan(scanner, cmd), (ResultPair{true, "3"}));
    ASSERT_EQ(saved.size(), 3u);
    EXPECT_EQ(saved[2].pageNo, 3);
    EXPECT_EQ(sources, (std::vector<std::string>(3, "ADF"))); // D 0x80 resolved AUTO
    EXPECT_EQ(commandsSeen(scanner, {"D", "S", "I", "X"}), (std::vector<std::string>{"D", "S", "I", "X"}));
    EXPECT_EQ(saved[0].data, sim::ScannerEngine::makePage(scanner.settings(), 1, script.jpegQuality));

    saved.clear();
    EXPECT_EQ(scan(scanner, command("FB", "TEXT")), (ResultPair{true, "3"}));
    EXPECT_EQ(commandsSeen(scanner, {"S", "I", "X"}),
              (std::vector<std::string>{"S", "I", "X"})); // no D: flatbed
}

TEST_F(SocketScanProcessTest, RefusalsStopTheExchangeAtTheirStep) {
    struct Case {
        sim::ScannerScript script;
        std::string source;
        ResultPair expected;
        std::vector<std::string> commands;
    };
    std::vector<Case> cases;
    cases.push_back({{.greeting = "0002"}, "FB", {false, "checkScannerError"}, {}});
    cases.push_back({{.paperSourceReply = 0xC2}, "ADF", {false, "noPaperInADF"}, {"D"}});
    cases.push_back({{.paperSourceReply = 0xC4}, "AUTO", {false, "cannotChekPaperSource"}, {"D"}});
    cases.push_back({{.sourceReply = 0xD0}, "FB", {false, "paperSourceNotExist"}, {"S"}});
    cases.push_back({{.sourceReply = 0xC2}, "FB", {false, "unexpectError"}, {"S"}});
    cases.push_back({{.imageSettingsReply = 0xD0}, "FB", {true, "1"}, {"S", "I", "X"}});
    for (const auto& c : cases) {
        sim::TcpScanner scanner(c.script);
        EXPECT_EQ(scan(scanner, command(c.source)), c.expected) << c.expected.message;
        EXPECT_EQ(commandsSeen(scanner, c.commands), c.commands) << c.expected.message;
    }

    sim::TcpScanner feederEmpty(sim::ScannerScript{.paperSourceReply = 0xC2});
    sim::TcpScanner& s = feederEmpty;
    sources.clear();
    EXPECT_EQ(scan(s, command("AUTO")), (ResultPair{true, "1"}));
    EXPECT_EQ(sources, (std::vector<std::string>{"FB"}));

    // Nobody listens: the first reply cannot be read.
    std::uint16_t port = 0;
    {
        sim::TcpScanner gone(sim::ScannerScript{});
        port = gone.port();
    }
    SocketScanProcess::Options options;
    options.port = port;
    options.timeouts.read = std::chrono::milliseconds(2000);
    SocketScanProcess process(Device("T", "T", "Net", "127.0.0.1", 0x37, 0x356C), command("FB"), options);
    EXPECT_EQ(process.startScan(), (ResultPair{false, "scannerNetworkError"}));
    SocketScanProcess noAddress(Device("T", "T", "Net", "", 0x37, 0x356C), command("FB"), options);
    EXPECT_EQ(noAddress.startScan(), (ResultPair{false, "scannerNetworkError"}));
}

TEST_F(SocketScanProcessTest, MisbehavingScannersFailWithinBoundedTime) {
    for (auto misbehaviour : {sim::Misbehaviour::truncateBlock, sim::Misbehaviour::stall,
                              sim::Misbehaviour::malformedBlock, sim::Misbehaviour::closeMidPage}) {
        sim::ScannerScript script;
        script.maxPayload = 16;
        script.misbehaviour = misbehaviour;
        sim::TcpScanner scanner(script);
        saved.clear();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(scan(scanner, command("FB"), std::chrono::milliseconds(500)),
                  (ResultPair{false, "scannerNetworkError"}))
            << int(misbehaviour);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << int(misbehaviour);
        EXPECT_TRUE(saved.empty()) << int(misbehaviour);
    }
}

TEST_F(SocketScanProcessTest, SharedNetworkStreamCasesOverLoopbackEndInBoundedTime) {
    for (const auto& c : test::networkStreamCases()) {
        sim::ScannerScript script;
        script.rawStream = c.pieces;
        script.holdAfterStream = c.ending == test::StreamCase::Ending::silence;
        sim::TcpScanner scanner(script);
        saved.clear();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(scan(scanner, command("FB"), std::chrono::milliseconds(300)), expectedResult(c)) << c.name;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << c.name;
        expectPagesKept(saved, c);
    }
}

TEST_F(SocketScanProcessTest, PaperJamKeepsThePagesBeforeIt) {
    sim::ScannerScript jam;
    jam.pages = 5;
    jam.endStatus = 0xC3;
    jam.endStatusAfterPages = 2;
    sim::TcpScanner scanner(jam);
    EXPECT_EQ(scan(scanner, command("ADF")), (ResultPair{false, "paperJunck"}));
    EXPECT_EQ(saved.size(), 2u);
}

TEST(SocketScanPort, ComesFromTheEnvironmentWhenItHoldsAPort) {
    unsetenv("TAMBERLYX_SCANNER_PORT");
    EXPECT_EQ(socketScanPort(), 54321u);
    setenv("TAMBERLYX_SCANNER_PORT", "40001", 1);
    EXPECT_EQ(socketScanPort(), 40001u);
    setenv("TAMBERLYX_SCANNER_PORT", "99999", 1);
    EXPECT_EQ(socketScanPort(), 54321u);
    setenv("TAMBERLYX_SCANNER_PORT", "12x", 1);
    EXPECT_EQ(socketScanPort(), 54321u);
    unsetenv("TAMBERLYX_SCANNER_PORT");
}
