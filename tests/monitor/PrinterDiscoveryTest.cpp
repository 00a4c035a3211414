// Printer records and discovery: value identity, the USB registry scan on the
// simulated bus, and the SNMP discovery text.
#include "monitor/PrinterDiscovery.h"

#include "monitor/ZelkPrinter.h"
#include "platform/foundation/Print.h"
#include "sim/usb/SimulatedUsb.h"
#include "tests/support/SimulatedBus.h"

#include <gtest/gtest.h>
#include <unordered_set>

namespace tbx {
namespace {

namespace simusb = sim::usb;

std::vector<std::string> labels(const std::vector<Printer>& printers) {
    std::vector<std::string> out;
    for (const auto& printer : printers) {
        out.push_back(printer.label());
    }
    return out;
}

TEST(PrinterTest, ValuesAreEqualOnlyToTheirCopies) {
    const Printer a("Tamberlyx", "Tamberlyx(USB)", "USB", "", 55, 0x356C);
    const Printer b("Tamberlyx", "Tamberlyx(USB)", "USB", "", 55, 0x356C);
    const Printer copy = a;
    EXPECT_NE(a, b);
    EXPECT_EQ(a, copy);
    EXPECT_EQ(std::hash<Printer>{}(a), std::hash<Printer>{}(copy));
    EXPECT_EQ((std::unordered_set<Printer>{a, b, copy}.size()), 2u);

    const Printer none("");
    EXPECT_EQ(none.type(), "");
    EXPECT_EQ(none.label(), "");
    EXPECT_EQ(none.PID(), 0);
    EXPECT_EQ(none.VID(), 0x0EFD);
    EXPECT_FALSE(none.usbLocation());
    EXPECT_NE(none, Printer(""));
}

TEST(PrinterTest, DiscoveryTextListsKnownModelsOnly) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"192.168.1.20,.1.3.6.1.4.1.53303.4.7.1.9|192.168.1.30,.1.3.6.1.4.1.9999.1|",
         {"Tamberlyx(192.168.1.20)"}},
        {"10.0.0.5,SNMPv2-SMI::enterprises.53303.4.7.1.90|", {"Tamberlyx(10.0.0.5)"}}, // a substring test
        {"", {}},
        {"|||", {}},
        {"10.0.0.7|10.0.0.8,53303.4.7.1.9|", {"Tamberlyx(10.0.0.8)"}}, // a piece without a comma
        {"10.0.0.9,53303.4.7.1.9", {"Tamberlyx(10.0.0.9)"}},           // the last record's "|" missing
        {"10.0.0.1,53303.4.7.1.9|10.0.0.1,53303.4.7.1.9|", {"Tamberlyx(10.0.0.1)", "Tamberlyx(10.0.0.1)"}},
    };
    for (const auto& [text, expected] : cases) {
        std::vector<Printer> found;
        printersFromDiscoveryText(text, [&](Printer p) { found.push_back(std::move(p)); });
        EXPECT_EQ(labels(found), expected) << text;
        for (const auto& printer : found) {
            EXPECT_EQ(printer.type(), "Net");
            EXPECT_EQ(printer.name(), "Tamberlyx");
            EXPECT_EQ(printer.ip(), printer.label().substr(10, printer.label().size() - 11));
            EXPECT_EQ(printer.PID(), 55);
            EXPECT_EQ(printer.VID(), 0x356C);
        }
    }
}

class UsbScanTest : public test::SimulatedBusTest<> {
protected:
    void plug(std::uint16_t vendor, std::uint16_t product, std::uint32_t location,
              iokit::Dictionary overrides = {}) {
        auto config = simusb::bulkPairDevice(vendor, product);
        config.descriptor.locationId = location;
        config.propertyOverrides = std::move(overrides);
        SimulatedBusTest::plug(std::move(config));
    }
};

TEST_F(UsbScanTest, ListsEveryAttachedPrinterOfTheModelWithItsLocation) {
    plug(0x356C, 54, 0x01100000); // the maker's other product
    plug(0x1234, 55, 0x01200000); // another vendor
    plug(0x356C, 55, 0x01300000);
    plug(0x356C, 55, 0x02100000);
    plug(0x356C, 55, 0x01400000, {{"idProduct", std::string("55")}}); // malformed entry: skipped
    std::vector<Printer> found;
    TraceCapture trace;
    findUsbPrinters([&](Printer p) { found.push_back(std::move(p)); });
    EXPECT_EQ(trace.lines(), (std::vector<std::string>{
                                 " find device pid = 54 and vid = 13676",
                                 " find device pid = 55 and vid = 4660",
                                 " find device pid = 55 and vid = 13676",
                                 " find device Tamberlyx pid = 55 and vid = 13676",
                                 " find device pid = 55 and vid = 13676",
                                 " find device Tamberlyx pid = 55 and vid = 13676",
                             }));
    ASSERT_EQ(labels(found), (std::vector<std::string>{"Tamberlyx(USB)", "Tamberlyx(USB)"}));
    EXPECT_EQ(found[0].type(), "USB");
    EXPECT_EQ(found[0].ip(), "");
    EXPECT_EQ(found[0].PID(), 55);
    EXPECT_EQ(found[0].VID(), 0x356C);
    EXPECT_EQ(found[0].usbLocation(), 0x01300000u);
    EXPECT_EQ(found[1].usbLocation(), 0x02100000u);
}

TEST_F(UsbScanTest, AnEmptyBusOrAFailedRegistryReadListsNothing) {
    std::vector<Printer> found;
    findUsbPrinters([&](Printer p) { found.push_back(std::move(p)); });
    EXPECT_TRUE(found.empty());

    auto config = simusb::bulkPairDevice(0x356C, 55);
    auto device = simusb::Device::make(std::move(config));
    device->injectFault(simusb::Step::properties, {.times = -1});
    bus->plug(device);
    TraceCapture trace;
    findUsbPrinters([&](Printer p) { found.push_back(std::move(p)); });
    EXPECT_TRUE(found.empty());
    EXPECT_EQ(trace.text(), "");
}

} // namespace
} // namespace tbx
