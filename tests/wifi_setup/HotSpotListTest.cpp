// The network-list query: list replies, the "8011" retry with its limit, and the
// marking of the printer's current network.
#include "tests/wifi_setup/PrinterFixture.h"

using namespace tbx;
using namespace tbx::test;
using sim::Misbehaviour;

namespace {

class HotSpotListTest : public PrinterFixture {};

TEST_F(HotSpotListTest, ListReplies) {
    struct Case {
        std::string reply;
        std::vector<HotSpot> list;
    };
    const std::string e = "e\xCC\x81"; // e and a combining acute: one character
    const std::vector<Case> cases = {
        {"8012,2;Office,5\r\nGuest,3;", {{0, "Office", 5}, {1, "Guest", 3}}},
        {"8012,2;Office,5\r\nGuest,3;trailing;text", {{0, "Office", 5}, {1, "Guest", 3}}},
        {"8012;Office 5", {{0, "Office", 5}}},
        {"8012,0;", {}},
        {"8012,x;ab5\r\n\r\nXY\r\nc,7\r\n", {{0, "a", 5}, {1, "c", 7}}},
        {"8012,x;Net,x\r\nNet,\r\nB,4", {{0, "B", 4}}}, // no digit at the end: skipped
        {"8012,x;咖啡馆,9\r\n" + e + "x2", {{0, "咖啡馆", 9}, {1, e, 2}}},
        {"8012,x;Cut,1\r\nHal", {{0, "Cut", 1}}},
        {"8011", {}}, // no ";": nothing, not even a retry
        {"9999,x;A,5", {}},
        {",x;A,5", {}},
        {" 8012,x;A,5", {}},
    };
    responder->setMisbehaviour(Misbehaviour::nulPadded); // bare replies are shorter than a USB read needs
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        responder->clearRequests();
        model->hotSpotList = {{0, "stale", 1}};
        responder->queueReply(c.reply);
        model->getHotSpotList();
        EXPECT_EQ(model->hotSpotList, c.list);
        EXPECT_EQ(responder->requests(), std::vector<std::string>{"Checkwifiserver?"});
    }
    EXPECT_TRUE(pauses.empty());
}

TEST_F(HotSpotListTest, SilentPrinterLeavesTheListEmpty) {
    model->hotSpotList = {{0, "stale", 1}};
    responder->setMisbehaviour(Misbehaviour::silence, 1);
    model->getHotSpotList();
    EXPECT_TRUE(model->hotSpotList.empty());
}

TEST_F(HotSpotListTest, MarksThePrintersCurrentNetwork) {
    struct Case {
        std::string wifiName;
        std::int64_t before;
        std::int64_t after;
    };
    responder->setNetworks({{"Office", 7}, {"Caf\xC3\xA9", 3}, {"Office", 2}, {"Guest", 5}});
    const std::vector<Case> cases = {
        {"Office", 9, 2},                          // the later of two equal names
        {"Guest", 0, 3},   {"Cafe\xCC\x81", 0, 1}, // canonically equivalent
        {"Nowhere", 7, 7},                         // no match: kept
        {"office", 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.wifiName);
        model->clietModeSetting->WifiName = c.wifiName;
        model->clietModeSetting->orderInList = c.before;
        model->getHotSpotList();
        EXPECT_EQ(model->clietModeSetting->orderInList, c.after);
        EXPECT_EQ(model->hotSpotList.size(), 4u);
    }
}

TEST_F(HotSpotListTest, NotReadyTwiceThenTheList) {
    responder->setListNotReady(2);
    model->getHotSpotList();
    EXPECT_EQ(responder->requestCount(), 3);
    EXPECT_EQ(pauses, (std::vector<std::chrono::milliseconds>(2, std::chrono::milliseconds(2000))));
    EXPECT_EQ(model->hotSpotList,
              (std::vector<HotSpot>{{0, "Office", 7}, {1, "Guest", 3}, {2, "咖啡馆", 5}}));
}

TEST_F(HotSpotListTest, EndlessNotReadyStopsAtTheLimit) {
    responder->setListNotReady(-1);
    model->hotSpotList = {{0, "stale", 1}};
    model->getHotSpotList();
    EXPECT_EQ(responder->requestCount(), 5);
    EXPECT_EQ(pauses.size(), 4u);
    EXPECT_TRUE(model->hotSpotList.empty());
}

TEST_F(HotSpotListTest, RetryWaitsTwoSecondsWithoutAnInjectedPause) {
    NetworkModelEnvironment environment;
    environment.selectedPrinter = [this] { return target; };
    NetworkModel real(environment);
    responder->setListNotReady(1);
    const auto start = std::chrono::steady_clock::now();
    real.getHotSpotList();
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(1990));
    EXPECT_EQ(real.hotSpotList.size(), 3u);
}

} // namespace
