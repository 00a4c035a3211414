// The settings operations on the network model's worker: what they send and
// write is what the plain forms send and write, they are marked out until
// their result is in, and results that come too late are dropped.
#include "tests/wifi_setup/PrinterFixture.h"
#include "wifi_setup/AlertTexts.h"

#include <thread>

using namespace tbx;
using namespace tbx::test;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

class WorkerCommandsTest : public PrinterFixture {
protected:
    // What a command started with a completion came back with.
    struct Finished {
        bool called = false;
        bool applied = false; // false: dropped
        std::optional<AlertTriple> result{};
        bool onMainThread = false;
    };
    static NetworkModel::Completion record(Finished& finished) {
        return [&finished](std::optional<AlertTriple> result) {
            finished = {true, result.has_value(), std::move(result), dispatch::isMainThread()};
        };
    }
    static std::function<void(bool)> recordList(Finished& finished) {
        return [&finished](bool applied) {
            finished = {true, applied, std::nullopt, dispatch::isMainThread()};
        };
    }
    // The limits of these waits only end a wait for what never comes, with room for a loaded
    // machine.
    static bool waitFor(const Finished& finished) {
        return dispatch::runMainUntil([&] { return finished.called; }, 30s);
    }
    // Waits on the calling thread, without running the main queue.
    static bool waitOnWorker(const std::function<bool()>& done) {
        const auto deadline = Clock::now() + 30s;
        while (!done()) {
            if (Clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(2ms);
        }
        return true;
    }
};

TEST_F(WorkerCommandsTest, EachOperationSendsAndWritesWhatThePlainOneDoes) {
    struct Case {
        std::string name;
        WifiCommand command;
        std::function<void(NetworkModel&)> arrange;
        std::function<void(NetworkModel&, Finished&)> start;
        std::optional<AlertTriple> result;
        std::vector<std::string> requests;
        std::function<void(NetworkModel&)> check;
    };
    const AlertTriple ok{false, "", ""};
    const AlertTriple set{true, std::string(wifi::kSetSucceeded), std::string(wifi::kHotSpotInfoSet)};
    const std::vector<Case> cases = {
        {"access point read",
         WifiCommand::getAPInfo,
         [](NetworkModel&) {},
         [](NetworkModel& m, Finished& f) { m.getAPInfo(record(f)); },
         ok,
         {"CheckwifiAP?"},
         [](NetworkModel& m) {
             EXPECT_EQ(*m.apSetting, (APSetting{"Tamberlyx-AP", 1, "12345678", "192.168.1.1", "255.255.255.0",
                                                "192.168.1.1"}));
         }},
        {"client-mode read",
         WifiCommand::getClientModeInfo,
         [](NetworkModel&) {},
         [](NetworkModel& m, Finished& f) { m.getClientModeInfo(record(f)); },
         ok,
         {"CheckwifiSTA?"},
         [](NetworkModel& m) {
             EXPECT_EQ(*m.clietModeSetting,
                       (ClietModeSetting{"Office", "office-pass", 0, "D", "0.0.0.0", "0.0.0.0", "0.0.0.0"}));
         }},
        {"list after two not-ready answers", WifiCommand::getHotSpotList,
         [this](NetworkModel& m) {
             responder->setListNotReady(2);
             m.clietModeSetting->WifiName = "Guest";
         },
         [](NetworkModel& m, Finished& f) { m.getHotSpotList(recordList(f)); }, std::nullopt,
         std::vector<std::string>(3, "Checkwifiserver?"),
         [this](NetworkModel& m) {
             EXPECT_EQ(m.hotSpotList,
                       (std::vector<HotSpot>{{0, "Office", 7}, {1, "Guest", 3}, {2, "咖啡馆", 5}}));
             EXPECT_EQ(m.clietModeSetting->orderInList, 1);
             EXPECT_EQ(pauses, std::vector<std::chrono::milliseconds>(2, 2000ms));
         }},
        {"access point write",
         WifiCommand::setAPInfo,
         [](NetworkModel& m) { *m.apSetting = {"a;b", 6, "pw", "10.0.0.2", "255.255.255.0", "10.0.0.1"}; },
         [](NetworkModel& m, Finished& f) { m.setAPInfo(record(f)); },
         set,
         {"SetwifiAP=a\x02"
          "b\r\n6\r\npw\r\nS\r\n10.0.0.2\r\n255.255.255.0\r\n10.0.0.1;"},
         [this](NetworkModel& m) {
             EXPECT_EQ(responder->accessPoint().name, "a;b");
             EXPECT_EQ(m.alterInfo, wifi::kHotSpotInfoSet);
         }},
        {"client-mode write",
         WifiCommand::setClientModeInfo,
         [](NetworkModel& m) {
             m.hotSpotList = {{0, "Home", 4}};
             *m.clietModeSetting = {"Office", "home-pass", 0, "D", "0.0.0.0", "0.0.0.0", "0.0.0.0"};
         },
         [](NetworkModel& m, Finished& f) { m.setClientModeInfo(record(f)); },
         set,
         {"SetwifiSTA=Home\r\nhome-pass\r\nD\r\n0.0.0.0\r\n0.0.0.0\r\n0.0.0.0;"},
         [this](NetworkModel&) { EXPECT_EQ(responder->clientMode().name, "Home"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        model = makeModel();
        responder->clearRequests();
        pauses.clear();
        c.arrange(*model);
        Finished finished;
        c.start(*model, finished);
        EXPECT_TRUE(model->commandOut(c.command));
        EXPECT_FALSE(finished.called); // the result comes through the main queue
        ASSERT_TRUE(waitFor(finished));
        EXPECT_TRUE(finished.onMainThread);
        EXPECT_TRUE(finished.applied);
        EXPECT_EQ(finished.result, c.result);
        EXPECT_FALSE(model->commandOut(c.command));
        EXPECT_EQ(responder->requests(), c.requests);
        c.check(*model);
    }
}

TEST_F(WorkerCommandsTest, ANetworkPrintersCommandGoesOverAConnectionOfItsOwn) {
    useNetworkPrinter();
    Finished finished;
    model->getAPInfo(record(finished));
    ASSERT_TRUE(waitFor(finished));
    EXPECT_EQ(finished.result, (AlertTriple{false, "", ""}));
    EXPECT_EQ(model->apSetting->APName, "Tamberlyx-AP");
    EXPECT_EQ(peer->connections(), 1);
    // The model's own client, the one the plain forms use, is left as it was.
    EXPECT_EQ(model->tcpClient->url(), "192.168.1.1");
    EXPECT_FALSE(model->tcpClient->isConnected());
}

TEST_F(WorkerCommandsTest, AWriteThePlainFormRefusesIsRefusedAtOnceAndNothingGoesOut) {
    const std::vector<std::pair<std::string, std::function<void(NetworkModel&, NetworkModel::Completion)>>>
        cases = {
            {"access point name with a line break",
             [](NetworkModel& m, auto done) {
                 *m.apSetting = {"a\nb", 6, "pw", "10.0.0.2", "255.255.255.0", "10.0.0.1"};
                 m.setAPInfo(done);
             }},
            {"no listed network at the chosen position",
             [](NetworkModel& m, auto done) {
                 m.hotSpotList.clear();
                 m.setClientModeInfo(done);
             }},
        };
    for (const auto& [name, start] : cases) {
        SCOPED_TRACE(name);
        Finished finished;
        start(*model, record(finished));
        EXPECT_TRUE(finished.called);
        ASSERT_TRUE(finished.result);
        EXPECT_EQ(finished.result->title, wifi::kErrorTitle);
        EXPECT_FALSE(model->commandOut(WifiCommand::setAPInfo));
        EXPECT_FALSE(model->commandOut(WifiCommand::setClientModeInfo));
    }
    dispatch::runMainFor(20ms);
    EXPECT_EQ(responder->requestCount(), 0);
}

TEST_F(WorkerCommandsTest, ALateResultIsDroppedAndTheModelStaysAsItWas) {
    struct Case {
        std::string name;
        std::function<void()> overtake; // what happens while the read is out
    };
    const std::vector<Case> cases = {
        {"another printer selected", [this] { target.PID = 0x38; }},
        {"another printer of the same model, at another location",
         [this] { target.usbLocation = 0x01200000; }},
        {"the commands dropped", [this] { model->cancelCommands(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        model = makeModel();
        target = {"USB", kProduct, kVendor, "Tamberlyx", ""};
        int willChange = 0;
        auto announced = model->objectWillChange.sink([&] { ++willChange; });
        Finished ap;
        Finished client;
        model->getAPInfo(record(ap));
        model->getClientModeInfo(record(client));
        c.overtake();
        ASSERT_TRUE(waitFor(ap));
        ASSERT_TRUE(waitFor(client));
        EXPECT_FALSE(ap.applied);
        EXPECT_FALSE(client.applied);
        EXPECT_EQ(*model->apSetting, (APSetting{"", 1, "", "", "", ""}));
        EXPECT_EQ(model->clietModeSetting->WifiName, "");
        EXPECT_FALSE(model->commandOut(WifiCommand::getAPInfo));
        EXPECT_FALSE(model->commandOut(WifiCommand::getClientModeInfo));
        EXPECT_EQ(willChange, 4); // each command announced going out and coming back
    }
}

TEST_F(WorkerCommandsTest, CommandsDroppedBeforeTheyStartedNeverReachThePrinter) {
    // The first command holds the worker in its exchange while the others queue.
    device->setTimeoutsTakeTime(true);
    responder->setMisbehaviour(sim::Misbehaviour::silence, 1);
    std::vector<Finished> finished(3);
    model->getAPInfo(record(finished[0]));
    model->getClientModeInfo(record(finished[1]));
    model->getHotSpotList(recordList(finished[2]));
    ASSERT_TRUE(waitOnWorker([&] { return responder->requestCount() == 1; }));
    model->cancelCommands();
    for (const Finished& f : finished) {
        ASSERT_TRUE(waitFor(f));
    }
    for (const Finished& f : finished) {
        EXPECT_FALSE(f.applied);
    }
    EXPECT_EQ(responder->requests(), std::vector<std::string>{"CheckwifiAP?"});
    // Later commands go out again.
    Finished later;
    model->getAPInfo(record(later));
    ASSERT_TRUE(waitFor(later));
    EXPECT_EQ(later.result, (AlertTriple{false, "", ""}));
}

TEST_F(WorkerCommandsTest, ModelGoneWhileACommandIsOutWaitsOnlyForTheExchangeInProgress) {
    struct Case {
        std::string name;
        std::function<void()> arrange;
        int requestsBeforeGoing;
        Clock::duration bound;
    };
    // The wait before the list is asked for again is made ten minutes long: going must not sit it
    // out, and the bounds leave a loaded machine room.
    const std::vector<Case> cases = {
        {"list not ready, waiting to ask again", [this] { responder->setListNotReady(-1); }, 1, 60s},
        // A silent printer's read runs to its 0.3 s time-out.
        {"printer silent",
         [this] {
             device->setTimeoutsTakeTime(true);
             responder->setMisbehaviour(sim::Misbehaviour::silence);
         },
         1, 1500ms},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.arrange();
        responder->clearRequests();
        NetworkModelEnvironment environment;
        environment.selectedPrinter = [this] { return target; };
        environment.listRetryPause = 10min; // the real wait, cut short by going
        model = std::make_unique<NetworkModel>(environment);
        bool called = false;
        model->getHotSpotList([&](bool) { called = true; });
        ASSERT_TRUE(waitOnWorker([&] { return responder->requestCount() >= c.requestsBeforeGoing; }));
        const auto start = Clock::now();
        model.reset();
        EXPECT_LT(Clock::now() - start, c.bound);
        dispatch::runMainFor(50ms); // a moment for a late completion to show, which it must not
        EXPECT_FALSE(called);
        EXPECT_EQ(responder->requestCount(), c.requestsBeforeGoing);
        responder->setListNotReady(0);
        responder->setMisbehaviour(sim::Misbehaviour::none);
        device->setTimeoutsTakeTime(false);
    }
}

} // namespace
