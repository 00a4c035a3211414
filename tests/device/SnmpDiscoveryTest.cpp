// The SNMP layer without a peer: the broadcast text, the handling of single
// responses built by hand, and the walk over the interface list.
#include "device/SnmpDiscovery.h"

#include "device/Snmp.h"
#include "platform/foundation/Print.h"
#include "tests/support/SnmpAgents.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <vector>

namespace tbx {
namespace {

const oid kSysObjectIdName[] = {1, 3, 6, 1, 2, 1, 1, 2, 0};
const oid kSysDescrName[] = {1, 3, 6, 1, 2, 1, 1, 1, 0};
const oid kKnownModel[] = {1, 3, 6, 1, 4, 1, 53303, 4, 7, 1, 9};

class SnmpDiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::useEmptySnmpConfiguration();
        init_snmp("snmpapp");
    }
    void TearDown() override { resetSnmpSeams(); }

    // A response as the library hands it to the callback: sender in the
    // transport data, the given variables.
    static netsnmp_pdu* response(const char* sender) {
        netsnmp_pdu* pdu = snmp_pdu_create(SNMP_MSG_RESPONSE);
        if (sender != nullptr) {
            auto* pair =
                static_cast<netsnmp_indexed_addr_pair*>(std::calloc(1, sizeof(netsnmp_indexed_addr_pair)));
            pair->remote_addr.sin.sin_family = AF_INET;
            inet_pton(AF_INET, sender, &pair->remote_addr.sin.sin_addr);
            pdu->transport_data = pair;
            pdu->transport_data_length = sizeof(netsnmp_indexed_addr_pair);
        }
        return pdu;
    }
    static void addObjectId(netsnmp_pdu* pdu, const oid* value, size_t count) {
        snmp_pdu_add_variable(pdu, kSysObjectIdName, OID_LENGTH(kSysObjectIdName), ASN_OBJECT_ID,
                              reinterpret_cast<const u_char*>(value), count * sizeof(oid));
    }
    static void addString(netsnmp_pdu* pdu, const oid* name, size_t length, const char* text) {
        snmp_pdu_add_variable(pdu, name, length, ASN_OCTET_STR, reinterpret_cast<const u_char*>(text),
                              std::strlen(text));
    }
    static int handle(netsnmp_pdu* pdu, SnmpDiscoveryContext& context) {
        const int added = mc_network_discovery_handle(pdu, &context);
        snmp_free_pdu(pdu);
        return added;
    }
    static std::vector<std::string> addresses(const SnmpDiscoveryContext& context) {
        std::vector<std::string> list;
        for (const SnmpPeer* peer = context.detect.get(); peer != nullptr; peer = peer->next.get()) {
            list.push_back(peer->ip_addr);
        }
        return list;
    }
};

TEST_F(SnmpDiscoveryTest, BroadcastTextKeepsTheFirstThreeNumbersAndStaysWithinTwentyBytes) {
    EXPECT_EQ(ip2brocast("10.0.5.77"), "10.0.5.255");
    EXPECT_EQ(ip2brocast("172.16.200.3"), "172.16.200.255");
    EXPECT_EQ(ip2brocast("255.255.255.255"), "255.255.255.255");
    EXPECT_EQ(ip2brocast("10.0"), "10.0255");
    EXPECT_EQ(ip2brocast(""), "255");
    EXPECT_EQ(ip2brocast(nullptr), "255");
    const std::string longText(300, '7');
    const std::string cut = ip2brocast(longText.c_str());
    EXPECT_LE(cut.size(), 19u);
    EXPECT_EQ(cut, std::string(16, '7') + "255");
}

TEST_F(SnmpDiscoveryTest, ResponderIsListedOnceInTheOrderOfItsFirstAnswer) {
    SnmpDiscoveryContext context;
    TraceCapture trace;
    for (const char* sender : {"10.9.0.7", "10.9.0.3", "10.9.0.7", "10.9.0.5", "10.9.0.3"}) {
        netsnmp_pdu* pdu = response(sender);
        addString(pdu, kSysDescrName, OID_LENGTH(kSysDescrName), "printer");
        addObjectId(pdu, kKnownModel, OID_LENGTH(kKnownModel));
        handle(pdu, context);
    }
    EXPECT_EQ(addresses(context), (std::vector<std::string>{"10.9.0.7", "10.9.0.3", "10.9.0.5"}));
    EXPECT_NE(context.detect->oid.find("53303.4.7.1.9"), std::string::npos) << context.detect->oid;
    const std::string text = trace.text();
    EXPECT_NE(text.find("magic->detect is null\n"), std::string::npos);
    EXPECT_NE(text.find("snmp_ip = 10.9.0.7\n"), std::string::npos);
    EXPECT_NE(text.find("ip 10.9.0.7  is already handled!"), std::string::npos);
    EXPECT_NE(text.find("ip 10.9.0.3  is already handled!"), std::string::npos);
    EXPECT_NE(text.find("in loop ip->ip_addr = 10.9.0.3\n"), std::string::npos);
}

TEST_F(SnmpDiscoveryTest, ResponderWithoutAnObjectIdentifierMakesNoRecord) {
    SnmpDiscoveryContext context;
    TraceCapture trace;
    // sysObjectID.0 answered with a text.
    netsnmp_pdu* asText = response("10.9.0.2");
    addString(asText, kSysObjectIdName, OID_LENGTH(kSysObjectIdName), "53303.4.7.1.9");
    EXPECT_EQ(handle(asText, context), 0);
    // No sysObjectID.0 at all.
    netsnmp_pdu* missing = response("10.9.0.3");
    addString(missing, kSysDescrName, OID_LENGTH(kSysDescrName), "printer");
    EXPECT_EQ(handle(missing, context), 0);
    // No sender.
    EXPECT_EQ(handle(response(nullptr), context), 0);
    EXPECT_EQ(mc_network_discovery_handle(nullptr, &context), 0);
    EXPECT_FALSE(context.detect);
    EXPECT_NE(trace.text().find(" responder == NULL\n"), std::string::npos);

    // A later proper answer from the same address is still taken.
    netsnmp_pdu* proper = response("10.9.0.3");
    addObjectId(proper, kKnownModel, OID_LENGTH(kKnownModel));
    EXPECT_EQ(handle(proper, context), 1);
    EXPECT_EQ(addresses(context), std::vector<std::string>{"10.9.0.3"});
}

TEST_F(SnmpDiscoveryTest, CallbackCountsOnlyReceivedAnswersAndKeepsTheRequestOpen) {
    SnmpDiscoveryContext context;
    TraceCapture trace;
    netsnmp_pdu* pdu = response("10.9.0.4");
    addObjectId(pdu, kKnownModel, OID_LENGTH(kKnownModel));
    EXPECT_EQ(mc_network_discovery_cb(NETSNMP_CALLBACK_OP_TIMED_OUT, nullptr, 1, pdu, &context), 0);
    EXPECT_EQ(context.count, 0);
    EXPECT_EQ(mc_network_discovery_cb(NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE, nullptr, 1, pdu, &context), 0);
    EXPECT_EQ(mc_network_discovery_cb(NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE, nullptr, 1, pdu, &context), 0);
    snmp_free_pdu(pdu);
    EXPECT_EQ(context.count, 1);
    EXPECT_NE(trace.text().find(" execute in function mc_network_discovery_cb +++++++++++++++++"),
              std::string::npos);
    EXPECT_NE(trace.text().find(" add 1 printer"), std::string::npos);
}

TEST_F(SnmpDiscoveryTest, LongTextsAreCutToTheRecordFields) {
    SnmpDiscoveryContext context;
    std::vector<oid> longId(MAX_OID_LEN, 4294967295u);
    longId[0] = 1;
    longId[1] = 3;
    netsnmp_pdu* pdu = response("10.9.0.8");
    addObjectId(pdu, longId.data(), longId.size());
    ASSERT_EQ(handle(pdu, context), 1);
    EXPECT_LE(context.detect->oid.size(), 1023u);
    EXPECT_GT(context.detect->oid.size(), 500u);
}

// A hand-made interface list: loopback, entries without an address (which
// Linux lists), an IPv6 address and nothing else.
struct FakeInterfaces {
    sockaddr_in loopback{};
    sockaddr_in6 v6{};
    std::vector<ifaddrs> entries;
    char names[4][8] = {"lo", "eth0", "eth1", "wlan0"};

    FakeInterfaces() {
        loopback.sin_family = AF_INET;
        inet_pton(AF_INET, "127.0.0.1", &loopback.sin_addr);
        v6.sin6_family = AF_INET6;
        inet_pton(AF_INET6, "fe80::1", &v6.sin6_addr);
        entries.resize(4);
        entries[0].ifa_name = names[0];
        entries[0].ifa_addr = reinterpret_cast<sockaddr*>(&loopback);
        entries[1].ifa_name = names[1];
        entries[1].ifa_addr = nullptr;
        entries[2].ifa_name = names[2];
        entries[2].ifa_addr = reinterpret_cast<sockaddr*>(&v6);
        entries[3].ifa_name = names[3];
        entries[3].ifa_addr = nullptr;
        for (std::size_t i = 0; i + 1 < entries.size(); ++i) {
            entries[i].ifa_next = &entries[i + 1];
        }
    }
};

TEST_F(SnmpDiscoveryTest, InterfacesWithoutAnIPv4AddressAreSkippedWithoutTraffic) {
    static FakeInterfaces fake;
    int released = 0;
    SnmpSeams seams;
    seams.getInterfaces = [](ifaddrs** list) {
        *list = fake.entries.data();
        return 0;
    };
    seams.freeInterfaces = [&released](ifaddrs*) { ++released; };
    setSnmpSeams(seams);

    char buffer[kSnmpDiscoveryBufferSize] = {};
    std::strcpy(buffer, "kept|");
    TraceCapture trace;
    EXPECT_EQ(autoDetectSNMPPrinters(buffer), 0);
    EXPECT_STREQ(buffer, "kept|");
    EXPECT_EQ(released, 1);
    EXPECT_EQ(trace.text().find("one ip of computer address"), std::string::npos);
    EXPECT_EQ(trace.text().find("brocast sub net ip"), std::string::npos);
}

TEST_F(SnmpDiscoveryTest, FailingInterfaceListScansNothing) {
    SnmpSeams seams;
    seams.getInterfaces = [](ifaddrs**) {
        errno = ENOMEM;
        return -1;
    };
    seams.freeInterfaces = [](ifaddrs*) { ADD_FAILURE() << "nothing to release"; };
    setSnmpSeams(seams);
    char buffer[64] = {};
    TraceCapture trace;
    EXPECT_EQ(autoDetectSNMPPrinters(buffer), 0);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(trace.text(), "");
}

} // namespace
} // namespace tbx
