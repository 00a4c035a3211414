// The simulated printer itself: it answers only the status request exactly as
// the printers define it, and programs get it from TAMBERLYX_SIMULATED_PRINTER.
#include "sim/printer/UsbPrinter.h"

#include "device/JqIOUSB.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace tbx {
namespace {

using Interface = USBInterface<MonitorBuild>;
using Device = USBDevice<MonitorBuild>;

TEST(UsbPrinterTest, RefusesEveryRequestThatDiffersFromTheStatusRequestInOneField) {
    auto bus = sim::usb::Bus::install();
    sim::UsbPrinter printer({.statusCode = 0x0BBC, .toner = 7});
    bus->plug(printer.device());
    const IOUSBDevRequestTO good{0xC0, 4, 0, 0, 512, nullptr, 255, 2000, 3000};
    struct Case {
        const char* field;
        IOUSBDevRequestTO request;
    };
    auto with = [&](auto change) {
        IOUSBDevRequestTO request = good;
        change(request);
        return request;
    };
    const Case bad[] = {
        {"bmRequestType", with([](auto& r) { r.bmRequestType = 0xC1; })},
        {"bRequest", with([](auto& r) { r.bRequest = 5; })},
        {"wValue", with([](auto& r) { r.wValue = 1; })},
        {"wIndex", with([](auto& r) { r.wIndex = 1; })},
        {"wLength", with([](auto& r) { r.wLength = 511; })},
        {"noDataTimeout", with([](auto& r) { r.noDataTimeout = 1000; })},
        {"completionTimeout", with([](auto& r) { r.completionTimeout = 5000; })},
    };
    auto device = Device::create(0x356C, 0x37);
    auto interface = device.createInterfaceInterface();
    std::vector<std::uint8_t> answer(512, 0xEE);
    for (const auto& c : bad) {
        EXPECT_THROW(interface.sendControlRequest(c.request, 0, answer), USBError) << c.field;
    }
    EXPECT_EQ(printer.badRequests(), static_cast<int>(std::size(bad)));
    EXPECT_EQ(printer.statusRequests(), 0);

    EXPECT_EQ(interface.sendControlRequest(good, 0, answer), 3u);
    EXPECT_EQ(std::vector<std::uint8_t>(answer.begin(), answer.begin() + 4),
              (std::vector<std::uint8_t>{0xBC, 0x0B, 7, 0xEE}));
    printer.misbehave(sim::UsbPrinter::Misbehaviour::shortAnswer, 2);
    EXPECT_EQ(interface.sendControlRequest(good, 0, answer), 2u);
    EXPECT_EQ(printer.statusRequests(), 2);
    interface.release();
    device.release();
    bus->unplugAll();
}

TEST(UsbPrinterTest, ProgramsChooseItByEnvironment) {
    unsetenv("TAMBERLYX_SIMULATED_PRINTER");
    EXPECT_EQ(sim::simulatedPrinterFromEnvironment(), nullptr);
    setenv("TAMBERLYX_SIMULATED_PRINTER", "bluetooth", 1);
    EXPECT_THROW(sim::simulatedPrinterFromEnvironment(), std::invalid_argument);
    setenv("TAMBERLYX_SIMULATED_PRINTER", "usb", 1);
    auto printer = sim::simulatedPrinterFromEnvironment();
    ASSERT_NE(printer, nullptr);
    const auto bus = sim::usb::Bus::current();
    ASSERT_NE(bus, nullptr);
    ASSERT_EQ(bus->devices().size(), 1u);
    EXPECT_EQ(bus->devices()[0], printer->device());
    EXPECT_EQ(printer->device()->config().descriptor.productId, 0x37);
    unsetenv("TAMBERLYX_SIMULATED_PRINTER");
    bus->unplugAll();
}

} // namespace
} // namespace tbx
