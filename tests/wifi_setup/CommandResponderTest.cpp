// The simulated printer's command responder: its replies, applying writes, and
// the misbehaviours the engine's tests rely on.
#include "sim/printer/CommandResponder.h"

#include <gtest/gtest.h>

using namespace tbx::sim;

namespace {

std::string ask(CommandResponder& responder, const std::string& request) {
    const auto reply = responder.answer({request.begin(), request.end()});
    return reply ? std::string(reply->begin(), reply->end()) : std::string("<silent>");
}

TEST(CommandResponderTest, RepliesFromTheRecords) {
    CommandResponder r;
    r.setNetworks({{"A", 5}, {"B", 0}});
    r.setListSeparator(" ");
    EXPECT_EQ(ask(r, "Checkwifiserver?"), "8012,2 networks;A 5\r\nB 0;");
    EXPECT_EQ(ask(r, "CheckwifiAP?"),
              "8014,ap;Tamberlyx-AP\r\n6\r\n12345678\r\n192.168.1.1\r\n255.255.255.0\r\n192.168.1.1");
    EXPECT_EQ(ask(r, "CheckwifiSTA?"),
              "8013,sta;Office\r\noffice-pass\r\nD\r\n0.0.0.0\r\n0.0.0.0\r\n0.0.0.0");
    EXPECT_EQ(ask(r, "Status?"), "8001,not in this mode");
    r.setNetworks({});
    EXPECT_GE(ask(r, "Checkwifiserver?").size(), 16u);
}

TEST(CommandResponderTest, WritesAreUnescapedAndApplied) {
    struct Case {
        std::string request;
        std::string reply;
    };
    CommandResponder r;
    const std::vector<Case> cases = {
        {"SetwifiAP=a\x02"
         "b\x01\r\n0\r\np\r\nS\r\n1\r\n2\r\n3;",
         "8004,SetwifiAP done"},
        {"SetwifiAP=a\r\n0\r\np\r\nD\r\n1\r\n2\r\n3;", "8005,SetwifiAP refused"},
        {"SetwifiAP=a\r\n0\r\np\r\nS\r\n1\r\n2;", "8005,SetwifiAP refused"},
        {"SetwifiSTA=n\x01\r\nq\r\nS\r\n4\r\n5\r\n6;", "8002,SetwifiSTA done"},
        {"SetwifiSTA=n\r\nq\r\nX\r\n4\r\n5\r\n6;", "8003,SetwifiSTA refused"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ask(r, c.request), c.reply) << c.request;
    }
    EXPECT_EQ(r.accessPoint(), (AccessPointRecord{"a;b?", "0", "p", "1", "2", "3"}));
    EXPECT_EQ(r.clientMode(), (ClientModeRecord{"n?", "q", "S", "4", "5", "6"}));
    EXPECT_EQ(r.requestCount(), 5);
}

TEST(CommandResponderTest, ScriptedBusyAndNotReady) {
    CommandResponder r;
    r.setListNotReady(2);
    EXPECT_EQ(ask(r, "Checkwifiserver?"), "8011,list not ready;");
    EXPECT_EQ(ask(r, "Checkwifiserver?"), "8011,list not ready;");
    EXPECT_TRUE(ask(r, "Checkwifiserver?").starts_with("8012,"));
    r.queueReply("1001");
    EXPECT_EQ(ask(r, "CheckwifiAP?"), "1001");
    r.setBusy(true);
    EXPECT_EQ(ask(r, "SetwifiAP=a\r\n0\r\np\r\nS\r\n1\r\n2\r\n3;"), "1001,printer is busy");
    EXPECT_EQ(r.accessPoint(), AccessPointRecord{});
}

TEST(CommandResponderTest, Misbehaviours) {
    CommandResponder r;
    r.setMisbehaviour(Misbehaviour::silence, 1);
    EXPECT_EQ(ask(r, "CheckwifiAP?"), "<silent>");
    EXPECT_TRUE(ask(r, "CheckwifiAP?").starts_with("8014"));
    r.setMisbehaviour(Misbehaviour::shortReply);
    EXPECT_EQ(ask(r, "CheckwifiAP?"), "8014,ap;Tamberl");
    EXPECT_EQ(ask(r, "CheckwifiAP?").size(), 15u);
    r.setMisbehaviour(Misbehaviour::nulPadded, 1);
    r.queueReply("8004");
    EXPECT_EQ(ask(r, "x"), std::string("8004") + std::string(60, '\0'));
    r.setMisbehaviour(Misbehaviour::invalidUtf8, 1);
    r.queueReply("8004,ok");
    EXPECT_EQ(ask(r, "x"), "8004\xFF\xFE,ok");
}

} // namespace
