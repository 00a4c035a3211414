// The command channel: transport choice by printer type, the USB exchange on the
// simulated printer's bulk pipes, and the TCP exchange with the loopback peer.
#include "tests/wifi_setup/PrinterFixture.h"
#include "wifi_setup/AlertTexts.h"
#include "wifi_setup/UsbInteraction.h"

using namespace tbx;
using namespace tbx::test;
using sim::Misbehaviour;
using namespace std::chrono_literals;

namespace {

const std::string kErrorLine = "function getIPInfoByUSB throws error";

class CommandChannelTest : public PrinterFixture {
protected:
    static bool hasLine(const TraceCapture& capture, const std::string& line) {
        const auto lines = capture.lines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    // The reply, whether the error line was there at once, and whether it came
    // once the main queue ran.
    struct Outcome {
        std::optional<std::string> reply;
        bool lineAtOnce;
        bool lineLater;
    };
    Outcome exchange(const std::string& cmd) {
        TraceCapture capture;
        Outcome outcome;
        outcome.reply = model->sendCommand(cmd);
        outcome.lineAtOnce = hasLine(capture, kErrorLine);
        runPostedWork();
        outcome.lineLater = hasLine(capture, kErrorLine);
        return outcome;
    }
};

TEST_F(CommandChannelTest, PrinterTypeChoosesTheTransport) {
    useNetworkPrinter();
    const std::vector<std::pair<std::string, bool>> cases = {
        {"Net", true}, {"USB", false}, {"net", false}, {"", false}};
    for (const auto& [type, tcp] : cases) {
        SCOPED_TRACE(type);
        device->clearLogs();
        const int connections = peer->connections();
        target.type = type;
        target.PID = kProduct;
        target.VID = kVendor;
        TraceCapture capture;
        const auto reply = model->sendCommand("CheckwifiAP?");
        ASSERT_TRUE(reply);
        EXPECT_TRUE(reply->starts_with("8014,ap;Tamberlyx-AP"));
        EXPECT_EQ(peer->connections() - connections, tcp ? 1 : 0);
        EXPECT_EQ(device->writes().size(), tcp ? 0u : 1u);
        EXPECT_EQ(capture.lines().front(), "send cmd = CheckwifiAP? and current printer type = " + type);
    }
}

TEST_F(CommandChannelTest, UsbExchangeOnTheBulkPipes) {
    TraceCapture capture;
    const auto reply = model->sendCommand("CheckwifiAP?");
    ASSERT_TRUE(reply);
    const std::string expected =
        "8014,ap;Tamberlyx-AP\r\n6\r\n12345678\r\n192.168.1.1\r\n255.255.255.0\r\n192.168.1.1";
    EXPECT_EQ(*reply, expected);
    const auto writes = device->writes();
    ASSERT_EQ(writes.size(), 1u);
    const auto& write = writes[0];
    EXPECT_EQ(write.pipe, 1);
    EXPECT_EQ(write.bytes, (simusb::Bytes{'C', 'h', 'e', 'c', 'k', 'w', 'i', 'f', 'i', 'A', 'P', '?'}));
    EXPECT_EQ(write.noDataTimeout, 300u);
    EXPECT_EQ(write.completionTimeout, 300u);
    const auto reads = device->reads();
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].pipe, 2);
    EXPECT_EQ(reads[0].size, 600u);
    EXPECT_EQ(reads[0].noDataTimeout, 300u);
    EXPECT_EQ(reads[0].completionTimeout, 300u);
    EXPECT_EQ(device->stats().interfaceOpens, 1);
    EXPECT_EQ(device->stats().interfaceCloses, 1);
    EXPECT_EQ(linesStartingWith(capture, {"send cmd", "run in", "usb commucation"}),
              (std::vector<std::string>{"send cmd = CheckwifiAP? and current printer type = USB",
                                        "run in usbInteraction and cmd = CheckwifiAP?",
                                        "usb commucation: write cmd = CheckwifiAP?",
                                        "run in usbInteraction and cmd = CheckwifiAP? and receivedMessage =  "
                                        "Optional(\"8014,ap;Tamberlyx-AP\\r\\n6\\r\\n"
                                        "12345678\\r\\n192.168.1.1\\r\\n255.255.255.0\\r\\n192.168.1.1\")"}));
}

TEST_F(CommandChannelTest, UsbReplyShapes) {
    struct Case {
        std::string name;
        simusb::ReadResult read;
        std::optional<std::string> reply;
        bool errorLine;
    };
    const std::string sixteen = "8004,0123456789A";
    const std::string big(600, 'x');
    const std::vector<Case> cases = {
        {"15 bytes", {.bytes = simusb::Bytes(sixteen.begin(), sixteen.end() - 1)}, std::nullopt, true},
        {"16 bytes", {.bytes = simusb::Bytes(sixteen.begin(), sixteen.end())}, sixteen, false},
        {"600 bytes", {.bytes = simusb::Bytes(big.begin(), big.end())}, big, false},
        {"NUL padded",
         {.bytes = {'8', '0', '0', '4', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
         "8004",
         false},
        {"inner NUL kept",
         {.bytes = {'8', '0', 0, '4', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
         std::string("80\0"
                     "4",
                     4),
         false},
        {"invalid UTF-8",
         {.bytes = {'8', '0', '0', '4', ',', 0xFF, 0xFE, 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a'}},
         std::nullopt,
         false},
        {"time-out", {.code = iokit::kIOUSBTransactionTimeout}, std::nullopt, true},
        {"stall", {.code = iokit::kIOUSBPipeStalled}, std::nullopt, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        device->queueRead(2, c.read);
        const Outcome outcome = exchange("CheckwifiAP?");
        EXPECT_EQ(outcome.reply, c.reply);
        EXPECT_FALSE(outcome.lineAtOnce);
        EXPECT_EQ(outcome.lineLater, c.errorLine);
        EXPECT_FALSE(device->isInterfaceOpen(0));
    }
}

TEST_F(CommandChannelTest, UsbFailuresGiveNoReplyAndTheLaterErrorLine) {
    struct Case {
        std::string name;
        std::function<void()> arrange;
    };
    const std::vector<Case> cases = {
        {"no printer entry", [this] { target = CommandTarget{}; }},
        {"other identifiers", [this] { target.PID = 0x38; }},
        {"open refused", [this] { device->injectFault(simusb::Step::interfaceOpen, {}); }},
        {"write fails", [this] { device->injectFault(simusb::Step::write, {}); }},
        {"short reply", [this] { responder->setMisbehaviour(Misbehaviour::shortReply, 1); }},
        {"silent printer", [this] { responder->setMisbehaviour(Misbehaviour::silence, 1); }},
        {"no IN pipe",
         [this] {
             bus->unplug(device);
             auto config = simusb::bulkPairDevice(kVendor, kProduct);
             config.interfaces[0].endpoints.pop_back();
             device = simusb::Device::make(config);
             bus->plug(device);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.arrange();
        const Outcome outcome = exchange("CheckwifiAP?");
        EXPECT_FALSE(outcome.reply);
        EXPECT_FALSE(outcome.lineAtOnce);
        EXPECT_TRUE(outcome.lineLater);
        device->clearFaults();
        target = {"USB", kProduct, kVendor, "Tamberlyx", ""};
    }
}

TEST_F(CommandChannelTest, FifteenByteReplyGivesTheReadsParseError) {
    responder->queueReply("8004,abcdefghij"); // 15 bytes
    TraceCapture capture;
    EXPECT_EQ(model->getAPInfo(),
              (AlertTriple{true, std::string(wifi::kErrorTitle), std::string(wifi::kDataParseError)}));
    EXPECT_FALSE(hasLine(capture, kErrorLine));
    runPostedWork();
    EXPECT_TRUE(hasLine(capture, kErrorLine));
}

TEST_F(CommandChannelTest, SettingsCommandsOverTheLoopbackPeer) {
    useNetworkPrinter();
    EXPECT_EQ(model->getAPInfo(), (AlertTriple{false, "", ""}));
    EXPECT_EQ(model->apSetting->APName, "Tamberlyx-AP");
    EXPECT_EQ(model->getClientModeInfo(), (AlertTriple{false, "", ""}));
    model->getHotSpotList();
    ASSERT_EQ(model->hotSpotList.size(), 3u);
    EXPECT_EQ(model->clietModeSetting->orderInList, 0);
    *model->apSetting = {"a;b?c", 6, "p;w", "10.0.0.2", "255.255.255.0", "10.0.0.1"};
    EXPECT_TRUE(model->setAPInfo().show);
    EXPECT_EQ(responder->accessPoint().name, "a;b?c");
    EXPECT_EQ(responder->requests()[3], "SetwifiAP=a\x02"
                                        "b\x01"
                                        "c\r\n6\r\np\x02w\r\nS\r\n10.0.0.2\r\n255.255.255.0\r\n10.0.0.1;");
    model->clietModeSetting->orderInList = 1;
    EXPECT_EQ(model->setClientModeInfo().title, std::string(wifi::kSetSucceeded));
    EXPECT_EQ(responder->clientMode().name, "Guest");
    EXPECT_EQ(model->tcpClient->url(), "127.0.0.1");
    EXPECT_EQ(peer->connections(), 5);
    EXPECT_FALSE(model->tcpClient->isConnected()); // each exchange closes its connection
}

TEST_F(CommandChannelTest, TcpReplyShapes) {
    useNetworkPrinter();
    struct Case {
        Misbehaviour misbehaviour;
        std::string scripted;
        std::optional<std::string> reply;
    };
    const std::vector<Case> cases = {
        {Misbehaviour::nulPadded, "8004", "8004"},
        {Misbehaviour::none, "8004,ok", "8004,ok"},
        {Misbehaviour::shortReply, "8004,SetwifiAP done", "8004,SetwifiAP "},
        {Misbehaviour::invalidUtf8, "8004,ok", std::nullopt},
    };
    for (const Case& c : cases) {
        responder->setMisbehaviour(c.misbehaviour, 1);
        responder->queueReply(c.scripted);
        EXPECT_EQ(model->sendCommand("SetwifiAP=x;"), c.reply);
    }
    responder->setMisbehaviour(Misbehaviour::nulPadded, 1);
    responder->queueReply("8004");
    EXPECT_EQ(model->setAPInfo().message, std::string(wifi::kHotSpotInfoSet));
}

TEST_F(CommandChannelTest, SilentOrAbsentTcpPeerGivesNoReplyWithinTheTimeOut) {
    NetworkModelEnvironment environment;
    environment.tcpTimeouts = {300ms, 300ms, 300ms};
    useNetworkPrinter(environment);
    responder->setMisbehaviour(Misbehaviour::silence);
    // The limits tell the 300 ms bound from the model's default of 3 s, which no exchange under
    // that default can beat: all the room below it is left to a loaded machine.
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(model->sendCommand("CheckwifiAP?"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2900ms);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);

    peer->stop(); // nothing listens any more
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(model->getAPInfo(),
              (AlertTriple{true, std::string(wifi::kErrorTitle), std::string(wifi::kDataParseError)}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2900ms);

    target.address = ""; // a network printer without an address
    EXPECT_FALSE(model->sendCommand("CheckwifiAP?"));
}

TEST_F(CommandChannelTest, InitTCPClientConnectsTheClient) {
    useNetworkPrinter();
    EXPECT_FALSE(model->tcpClient->isConnected());
    model->tcpClient = std::make_unique<NetworkModel::Communicator>("127.0.0.1", peer->port());
    TraceCapture capture;
    model->initTCPClient("127.0.0.1");
    EXPECT_TRUE(model->tcpClient->isConnected());
    model->disconnectTCPClient();
    EXPECT_FALSE(model->tcpClient->isConnected());
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"Opening streams.", "Closing streams."}));
}

} // namespace
