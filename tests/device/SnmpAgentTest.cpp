// The SNMP layer against real agents: Debian's snmpd on the sandbox's private
// test hosts (10.213.0.0/24), found by a broadcast on that subnet only.
#include "device/Snmp.h"
#include "platform/foundation/Print.h"
#include "tests/support/Sandbox.h"
#include "tests/support/SnmpAgents.h"

#include <chrono>
#include <cstring>
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace tbx {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kKnownModel = ".1.3.6.1.4.1.53303.4.7.1.9";
constexpr const char* kOtherModel = ".1.3.6.1.4.1.8072.3.2.10";
constexpr const char* kStatusObject = ".1.3.6.1.4.1.53303.2.7.1.1";
constexpr const char* kTonerObject = ".1.3.6.1.4.1.53303.2.7.4.1";

struct Record {
    std::string address;
    std::string objectId;
};

// Splits discovery text into its records; every piece must be "address,oid".
std::vector<Record> records(const std::string& text) {
    std::vector<Record> list;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto bar = text.find('|', start);
        EXPECT_NE(bar, std::string::npos) << "record without its '|': " << text.substr(start);
        if (bar == std::string::npos) {
            break;
        }
        const std::string piece = text.substr(start, bar - start);
        const auto comma = piece.find(',');
        EXPECT_NE(comma, std::string::npos) << piece;
        list.push_back({piece.substr(0, comma), comma == std::string::npos ? "" : piece.substr(comma + 1)});
        start = bar + 1;
    }
    return list;
}

class SnmpAgentTest : public ::testing::Test {
protected:
    void SetUp() override {
        TBX_REQUIRE_NETWORK_SANDBOX();
        hosts = test::sandboxTestHosts();
        ASSERT_GE(hosts.size(), 5u) << "run under scripts/sandbox --hosts 5";
        test::useEmptySnmpConfiguration();
    }
    void TearDown() override { resetSnmpSeams(); }

    void shortPasses() {
        SnmpSeams seams;
        seams.passWindow = 700ms;
        setSnmpSeams(seams);
    }

    std::vector<test::TestHost> hosts;
    test::SnmpAgents agents;
};

TEST_F(SnmpAgentTest, DiscoveryListsEveryResponderOfTheSubnetOnceInAboutFourSeconds) {
    ASSERT_TRUE(agents.start(hosts[0], {.sysObjectID = kKnownModel}));
    ASSERT_TRUE(agents.start(hosts[1], {.sysObjectID = kOtherModel}));
    ASSERT_TRUE(agents.start(hosts[2], {.sysObjectID = kKnownModel}));

    char buffer[kSnmpDiscoveryBufferSize] = {};
    TraceCapture trace;
    const auto begin = Clock::now();
    EXPECT_EQ(autoDetectSNMPPrinters(buffer), 0);
    const auto took = Clock::now() - begin;

    // Only the sandbox's bridge is a non-loopback IPv4 interface here.
    EXPECT_NE(trace.text().find("one ip of computer address : 10.213.0.1\n"), std::string::npos);
    EXPECT_NE(trace.text().find("brocast sub net ip = 10.213.0.255\n"), std::string::npos);
    EXPECT_NE(trace.text().find("    loop=0\n"), std::string::npos);
    EXPECT_NE(trace.text().find("    loop=1\n"), std::string::npos);
    EXPECT_EQ(trace.text().find("    loop=2\n"), std::string::npos);
    // Two passes of the full window; the upper limit only catches a pass that listens far past
    // its window, with room for a loaded machine.
    EXPECT_GE(took, 4s);
    EXPECT_LT(took, 10s);

    const auto found = records(buffer);
    ASSERT_EQ(found.size(), 3u) << buffer;
    std::map<std::string, std::string> byAddress;
    for (const auto& record : found) {
        byAddress[record.address] = record.objectId;
    }
    ASSERT_EQ(byAddress.size(), 3u) << "a responder was listed twice: " << buffer;
    EXPECT_NE(byAddress[hosts[0].address].find("53303.4.7.1.9"), std::string::npos) << buffer;
    EXPECT_NE(byAddress[hosts[1].address].find("8072.3.2.10"), std::string::npos) << buffer;
    EXPECT_NE(byAddress[hosts[2].address].find("53303.4.7.1.9"), std::string::npos) << buffer;
}

TEST_F(SnmpAgentTest, SmallBufferTakesOnlyWholeRecordsAndNothingPastItsEnd) {
    for (std::size_t k = 0; k < 5; ++k) {
        ASSERT_TRUE(agents.start(hosts[k], {.sysObjectID = kKnownModel}));
    }
    shortPasses();
    // One record is "10.213.0.N,iso.3.6.1.4.1.53303.4.7.1.9|", 39 characters:
    // 100 bytes hold two with the terminating zero, not three.
    constexpr std::size_t capacity = 100;
    auto buffer = std::make_unique<char[]>(capacity); // exact size: ASan sees any write past it
    std::memset(buffer.get(), 0, capacity);
    TraceCapture trace;
    EXPECT_EQ(autoDetectSNMPPrinters(buffer.get(), capacity), 0);
    const std::string text(buffer.get());
    const auto found = records(text);
    EXPECT_EQ(found.size(), 2u) << text;
    for (const auto& record : found) {
        EXPECT_TRUE(std::regex_match(record.address, std::regex(R"(10\.213\.0\.[2-6])"))) << text;
        EXPECT_NE(record.objectId.find("53303.4.7.1.9"), std::string::npos) << text;
    }
    EXPECT_NE(trace.text().find("record of 10.213.0."), std::string::npos) << "the dropped records are told";
    // The callback saw all five.
    EXPECT_NE(trace.text().find(" add 5 printer"), std::string::npos) << trace.text();
}

TEST_F(SnmpAgentTest, RecordsAreAppendedToTheTextAlreadyInTheBuffer) {
    ASSERT_TRUE(agents.start(hosts[3], {.sysObjectID = kKnownModel}));
    shortPasses();
    char buffer[kSnmpDiscoveryBufferSize] = {};
    std::strcpy(buffer, "10.1.1.1,earlier|");
    EXPECT_EQ(autoDetectSNMPPrinters(buffer), 0);
    const auto found = records(buffer);
    ASSERT_EQ(found.size(), 2u) << buffer;
    EXPECT_EQ(found[0].address, "10.1.1.1");
    EXPECT_EQ(found[1].address, hosts[3].address);

    // A buffer without a terminator within its capacity gets nothing.
    char full[8];
    std::memset(full, 'x', sizeof full);
    EXPECT_EQ(autoDetectSNMPPrinters(full), 0);
    EXPECT_EQ(std::string(full, sizeof full), std::string(8, 'x'));
}

TEST_F(SnmpAgentTest, ResponderWhoseSysObjectIdIsNoObjectIdentifierIsNotListed) {
    ASSERT_TRUE(
        agents.start(hosts[0], {.replaceSystemGroup = true,
                                .systemObjects = {{".1.3.6.1.2.1.1.2.0", "string", "53303.4.7.1.9"}}}));
    // An agent that has no sysObjectID at all (answers noSuchInstance).
    ASSERT_TRUE(agents.start(hosts[1], {.replaceSystemGroup = true}));
    ASSERT_TRUE(agents.start(hosts[2], {.sysObjectID = kKnownModel}));
    shortPasses();
    char buffer[kSnmpDiscoveryBufferSize] = {};
    TraceCapture trace;
    autoDetectSNMPPrinters(buffer);
    const auto found = records(buffer);
    ASSERT_EQ(found.size(), 1u) << buffer;
    EXPECT_EQ(found[0].address, hosts[2].address);
    EXPECT_NE(trace.text().find("ip_addr = " + hosts[0].address + " \n"), std::string::npos)
        << "the agent did answer";
}

TEST_F(SnmpAgentTest, TwoInterfacesOnOneSubnetListADeviceOncePerInterface) {
    ASSERT_TRUE(agents.start(hosts[4], {.sysObjectID = kKnownModel}));
    SnmpSeams seams;
    seams.passWindow = 700ms;
    ifaddrs* real = nullptr;
    ASSERT_EQ(getifaddrs(&real), 0);
    // The real list with its bridge address entry listed twice.
    static std::vector<ifaddrs> doubled;
    doubled.clear();
    for (ifaddrs* entry = real; entry != nullptr; entry = entry->ifa_next) {
        doubled.push_back(*entry);
        if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET &&
            std::strcmp(entry->ifa_name, "tbxbr0") == 0) {
            doubled.push_back(*entry);
        }
    }
    for (std::size_t i = 0; i < doubled.size(); ++i) {
        doubled[i].ifa_next = i + 1 < doubled.size() ? &doubled[i + 1] : nullptr;
    }
    seams.getInterfaces = [](ifaddrs** list) {
        *list = doubled.data();
        return 0;
    };
    seams.freeInterfaces = [](ifaddrs*) {};
    setSnmpSeams(seams);
    char buffer[kSnmpDiscoveryBufferSize] = {};
    autoDetectSNMPPrinters(buffer);
    freeifaddrs(real);
    const auto found = records(buffer);
    ASSERT_EQ(found.size(), 2u) << buffer;
    EXPECT_EQ(found[0].address, hosts[4].address);
    EXPECT_EQ(found[1].address, hosts[4].address);
}

TEST_F(SnmpAgentTest, ChosenPortReachesAgentsOnThatPortOnly) {
    ASSERT_TRUE(agents.start(hosts[0], {.sysObjectID = kKnownModel, .relayPort = 1162}));
    shortPasses();
    char standard[kSnmpDiscoveryBufferSize] = {};
    autoDetectSNMPPrinters(standard);
    EXPECT_STREQ(standard, "");

    SnmpSeams seams;
    seams.passWindow = 700ms;
    seams.port = 1162;
    setSnmpSeams(seams);
    char chosen[kSnmpDiscoveryBufferSize] = {};
    autoDetectSNMPPrinters(chosen);
    const auto found = records(chosen);
    ASSERT_EQ(found.size(), 1u) << chosen;
    EXPECT_EQ(found[0].address, hosts[0].address);
}

TEST_F(SnmpAgentTest, GetReturnsThePrintedValueOfTheObject) {
    ASSERT_TRUE(agents.start(
        hosts[1], {.sysObjectID = kKnownModel,
                   .sysDescr = "Zelk Tamberlyx",
                   .makerObjects = {{kStatusObject, "integer", "3"}, {kTonerObject, "integer", "87"}}}));
    const char* ip = hosts[1].address.c_str();
    {
        char out[kSnmpStatusBufferSize] = {};
        TraceCapture trace;
        getPrinterStatusBySNMP(ip, kStatusObject, out);
        EXPECT_STREQ(out, "INTEGER: 3");
        EXPECT_NE(trace.text().find(" run in getPrinterStatusBySNMP  and ip =" + hosts[1].address +
                                    " oid=" + kStatusObject + "\n"),
                  std::string::npos);
        EXPECT_NE(trace.text().find("get status info : INTEGER: 3\n"), std::string::npos);
    }
    char toner[kSnmpStatusBufferSize] = {};
    getPrinterStatusBySNMP(ip, kTonerObject, toner);
    EXPECT_STREQ(toner, "INTEGER: 87");
    char descr[kSnmpStatusBufferSize] = {};
    getPrinterStatusBySNMP(ip, ".1.3.6.1.2.1.1.1.0", descr);
    EXPECT_STREQ(descr, "STRING: \"Zelk Tamberlyx\"");
    char objectId[kSnmpStatusBufferSize] = {};
    getPrinterStatusBySNMP(ip, ".1.3.6.1.2.1.1.2.0", objectId);
    EXPECT_NE(std::string(objectId).find("53303.4.7.1.9"), std::string::npos) << objectId;
}

TEST_F(SnmpAgentTest, GetResultIsBoundedByTheCallersBuffer) {
    const std::string longValue(400, 'v');
    ASSERT_TRUE(agents.start(hosts[2], {.makerObjects = {{kStatusObject, "string", longValue}}}));
    const char* ip = hosts[2].address.c_str();

    // The printed value is cut at 199 characters.
    char out[kSnmpStatusBufferSize];
    std::memset(out, 0, sizeof out);
    getPrinterStatusBySNMP(ip, kStatusObject, out);
    EXPECT_EQ(std::strlen(out), 199u);
    EXPECT_EQ(std::string(out).rfind("STRING: \"vvv", 0), 0u) << out;

    // A small buffer holds what fits and a terminator; nothing past it.
    constexpr std::size_t capacity = 16;
    auto small = std::make_unique<char[]>(capacity);
    std::memset(small.get(), 'x', capacity);
    getPrinterStatusBySNMP(ip, kStatusObject, small.get(), capacity);
    EXPECT_EQ(std::string(small.get()), std::string("STRING: \"vvvvvv"));
}

TEST_F(SnmpAgentTest, GetToAHostWithoutAgentAnswersErrorAfterTheLibraryTimeOut) {
    // hosts[3] runs no agent; nothing listens on its port 161.
    char out[kSnmpStatusBufferSize] = {};
    TraceCapture trace;
    const auto begin = Clock::now();
    getPrinterStatusBySNMP(hosts[3].address.c_str(), kStatusObject, out);
    const auto took = Clock::now() - begin;
    EXPECT_STREQ(out, "error");
    for (std::size_t i = 5; i < sizeof out; ++i) {
        ASSERT_EQ(out[i], '\0') << i;
    }
    EXPECT_NE(trace.text().find("error in timeout\n"), std::string::npos);
    // The library's defaults: one second, five retries (6 s). The upper bound catches a GET
    // whose time-out never fires, with room for a loaded machine.
    EXPECT_GE(took, 5s);
    EXPECT_LT(took, 30s);
}

TEST_F(SnmpAgentTest, OperationsOfSeveralThreadsRunOneAtATime) {
    ASSERT_TRUE(agents.start(hosts[0], {.makerObjects = {{kStatusObject, "integer", "1"}}}));
    // The discovery lists the interfaces once it holds the layer's lock: the GETs start after that.
    std::promise<void> listing;
    std::future<void> listed = listing.get_future();
    SnmpSeams seams;
    seams.passWindow = 700ms;
    seams.getInterfaces = [&listing](ifaddrs** list) {
        listing.set_value();
        return ::getifaddrs(list);
    };
    setSnmpSeams(seams);
    const std::string ip = hosts[0].address;
    auto discovery = std::async(std::launch::async, [] {
        char buffer[kSnmpDiscoveryBufferSize] = {};
        autoDetectSNMPPrinters(buffer);
        return std::make_pair(std::string(buffer), Clock::now());
    });
    ASSERT_EQ(listed.wait_for(60s), std::future_status::ready) << "the discovery never started";
    std::vector<std::future<std::pair<std::string, Clock::time_point>>> gets;
    for (int k = 0; k < 4; ++k) {
        gets.push_back(std::async(std::launch::async, [&ip] {
            char out[kSnmpStatusBufferSize] = {};
            getPrinterStatusBySNMP(ip.c_str(), kStatusObject, out);
            return std::make_pair(std::string(out), Clock::now());
        }));
    }
    const auto [text, discoveryEnd] = discovery.get();
    EXPECT_EQ(records(text).size(), 1u) << text;
    for (auto& get : gets) {
        const auto [value, end] = get.get();
        EXPECT_EQ(value, "INTEGER: 1");
        EXPECT_GE(end, discoveryEnd) << "a GET ran while the discovery was still open";
    }
}

} // namespace
} // namespace tbx
