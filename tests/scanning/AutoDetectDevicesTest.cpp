// Scanner discovery: the discovery text, USB devices of the simulated bus, and
// network scanners answered by real snmpd agents on the sandbox's test hosts.
#include "scanning/AutoDetectDevices.h"

#include "device/Snmp.h"
#include "platform/foundation/Print.h"
#include "platform/iokit/Backend.h"
#include "sim/usb/SimulatedUsb.h"
#include "tests/support/Sandbox.h"
#include "tests/support/SimulatedBus.h"
#include "tests/support/SnmpAgents.h"

#include <algorithm>
#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace tbx {
namespace {

namespace simusb = sim::usb;
using namespace std::chrono_literals;

constexpr const char* kKnownModel = ".1.3.6.1.4.1.53303.4.7.1.9";
constexpr const char* kOtherModel = ".1.3.6.1.4.1.8072.3.2.10";

void expectNetDevice(const Device& device, const std::string& ip) {
    EXPECT_EQ(device.name, "Tamberlyx");
    EXPECT_EQ(device.label, "Tamberlyx(" + ip + ")");
    EXPECT_EQ(device.type, "Net");
    EXPECT_EQ(device.ip, ip);
    EXPECT_EQ(device.PID, 0x37);
    EXPECT_EQ(device.VID, 0x356C);
}

void expectUsbDevice(const Device& device) {
    EXPECT_EQ(device.name, "Tamberlyx");
    EXPECT_EQ(device.label, "Tamberlyx");
    EXPECT_EQ(device.type, "USB");
    EXPECT_EQ(device.ip, "");
    EXPECT_EQ(device.PID, 0x37);
    EXPECT_EQ(device.VID, 0x356C);
}

TEST(DiscoveryTextTest, RecordsNamingAKnownModelBecomeNetworkDevices) {
    auto one = devicesFromDiscoveryText("192.168.1.20,iso.3.6.1.4.1.53303.4.7.1.9|");
    ASSERT_EQ(one.size(), 1u);
    expectNetDevice(one[0], "192.168.1.20");

    // Containment, not equality: a longer identifier with the same tail matches.
    auto longer = devicesFromDiscoveryText("10.0.0.5,SNMPv2-SMI::enterprises.53303.4.7.1.99|");
    ASSERT_EQ(longer.size(), 1u);
    expectNetDevice(longer[0], "10.0.0.5");

    const auto mixed = devicesFromDiscoveryText("10.0.0.1,iso.3.6.1.4.1.8072.3.2.10|"
                                                "10.0.0.2,iso.3.6.1.4.1.53303.4.7.1.9|"
                                                "garbage|"
                                                "|"
                                                "10.0.0.3|"
                                                "10.0.0.4,iso.3.6.1.4.1.53303.4.7.1.9|");
    ASSERT_EQ(mixed.size(), 2u);
    expectNetDevice(mixed[0], "10.0.0.2");
    expectNetDevice(mixed[1], "10.0.0.4");
    EXPECT_TRUE(devicesFromDiscoveryText("").empty());
    // A record cut short without its "|" still counts as its text stands.
    EXPECT_EQ(devicesFromDiscoveryText("10.0.0.9,iso.3.6.1.4.1.53303.4.7.1.9").size(), 1u);
}

class UsbDiscoveryTest : public test::SimulatedBusTest<> {};

TEST_F(UsbDiscoveryTest, OnlyTheModelsProductIsListedAndEveryDeviceIsPrinted) {
    bus->plug(simusb::Device::make(simusb::bulkPairDevice(0x046D, 0x37)));
    bus->plug(simusb::Device::make(simusb::bulkPairDevice(0x356C, 0x38)));
    bus->plug(simusb::Device::make(simusb::bulkPairDevice(0x356C, 0x37)));
    TraceCapture trace;
    const auto devices = getDeviceByIOUSB();
    ASSERT_EQ(devices.size(), 1u);
    expectUsbDevice(devices[0]);
    const std::string text = trace.text();
    EXPECT_NE(text.find(" find device pid = 55 and vid = 1133\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" find device pid = 56 and vid = 13676\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" find device pid = 55 and vid = 13676\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" find zelk device  pid = 55 and vid = 13676\n"), std::string::npos) << text;
    EXPECT_EQ(text.find(" find zelk device  pid = 56"), std::string::npos) << text;
}

TEST_F(UsbDiscoveryTest, DevicesWithUnreadableOrMalformedPropertiesAreSkipped) {
    auto textVendor = simusb::bulkPairDevice(0x356C, 0x37);
    textVendor.propertyOverrides["idVendor"] = std::string("13676");
    bus->plug(simusb::Device::make(textVendor));
    auto unreadable = simusb::Device::make(simusb::bulkPairDevice(0x356C, 0x37));
    unreadable->injectFault(simusb::Step::properties, {.times = -1});
    bus->plug(unreadable);
    // A product id beyond 16 bits is not the model's, whatever its low bits.
    auto wide = simusb::bulkPairDevice(0x356C, 0x37);
    wide.propertyOverrides["idProduct"] = std::int64_t{0x10037};
    bus->plug(simusb::Device::make(wide));
    bus->plug(simusb::Device::make(simusb::bulkPairDevice(0x356C, 0x37)));
    const auto devices = getDeviceByIOUSB();
    ASSERT_EQ(devices.size(), 1u);
    expectUsbDevice(devices[0]);
}

TEST_F(UsbDiscoveryTest, EmptyBusListsNothing) {
    EXPECT_TRUE(getDeviceByIOUSB().empty());
}

class NetworkDiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        TBX_REQUIRE_NETWORK_SANDBOX();
        hosts = test::sandboxTestHosts();
        ASSERT_GE(hosts.size(), 3u) << "run under scripts/sandbox --hosts 3";
        test::useEmptySnmpConfiguration();
        bus = simusb::Bus::install();
    }
    void TearDown() override { resetSnmpSeams(); }

    std::vector<test::TestHost> hosts;
    test::SnmpAgents agents;
    std::shared_ptr<simusb::Bus> bus;
};

TEST_F(NetworkDiscoveryTest, KnownModelsAmongThreeRespondersAreListedOnceInArrivalOrder) {
    ASSERT_TRUE(agents.start(hosts[0], {.sysObjectID = kKnownModel}));
    ASSERT_TRUE(agents.start(hosts[1], {.sysObjectID = kOtherModel}));
    ASSERT_TRUE(agents.start(hosts[2], {.sysObjectID = kKnownModel}));
    TraceCapture trace;
    const auto devices = getDeviceBySNMP();
    ASSERT_EQ(devices.size(), 2u) << trace.text();

    // The order in which the two known agents first answered.
    std::vector<std::string> arrival;
    for (const auto& line : trace.lines()) {
        for (const auto* host : {&hosts[0], &hosts[2]}) {
            if (line.find("ip_addr = " + host->address + " ") != std::string::npos &&
                std::find(arrival.begin(), arrival.end(), host->address) == arrival.end()) {
                arrival.push_back(host->address);
            }
        }
    }
    ASSERT_EQ(arrival.size(), 2u) << trace.text();
    expectNetDevice(devices[0], arrival[0]);
    expectNetDevice(devices[1], arrival[1]);
}

TEST_F(NetworkDiscoveryTest, NetworkDevicesComeBeforeUsbDevices) {
    ASSERT_TRUE(agents.start(hosts[1], {.sysObjectID = kKnownModel}));
    SnmpSeams seams;
    seams.passWindow = 700ms;
    setSnmpSeams(seams);
    bus->plug(simusb::Device::make(simusb::bulkPairDevice(0x356C, 0x38)));
    bus->plug(simusb::Device::make(simusb::bulkPairDevice(0x356C, 0x37)));
    TraceCapture trace;
    const auto devices = getDevicesList();
    ASSERT_EQ(devices.size(), 2u) << trace.text();
    expectNetDevice(devices[0], hosts[1].address);
    expectUsbDevice(devices[1]);
    EXPECT_NE(trace.text().find(" find device pid = 56 and vid = 13676\n"), std::string::npos);
}

TEST_F(NetworkDiscoveryTest, NoAnswerAndNoUsbDeviceGiveAnEmptyList) {
    SnmpSeams seams;
    seams.passWindow = 500ms;
    setSnmpSeams(seams);
    EXPECT_TRUE(getDevicesList().empty());
}

} // namespace
} // namespace tbx
