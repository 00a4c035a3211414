// The status monitor's one network model, wired to the printer model's
// selected printer, against simulated USB printers with the command responder
// on their bulk pipes.
#include "wifi_setup/SharedNetworkModel.h"

#include "monitor/SharedData.h"
#include "platform/dispatch/Dispatch.h"
#include "sim/printer/CommandResponder.h"
#include "sim/printer/UsbCommandPipes.h"
#include "sim/printer/UsbPrinter.h"
#include "wifi_setup/UsbInteraction.h"

#include <QCoreApplication>
#include <QTimer>
#include <gtest/gtest.h>
#include <thread>

using namespace tbx;

namespace {

TEST(SharedNetworkModelTest, OneModelTalkingToTheSelectedPrinter) {
    auto bus = sim::usb::Bus::install();
    sim::UsbPrinter printer;
    auto responder = std::make_shared<sim::CommandResponder>();
    sim::serveCommandPipes(*printer.device(), responder);
    bus->plug(printer.device());

    NetworkModel& model = SharedData::networkModel();
    EXPECT_EQ(&model, &SharedData::networkModel());
    // The printer model selects once its network discovery has answered too.
    ASSERT_TRUE(dispatch::runMainUntil(
        [] { return SharedData::printerModel()->selectedPrinter().type() == "USB"; }, dispatch::Seconds(30)));
    const CommandTarget target = model.environment().selectedPrinter();
    EXPECT_EQ(target.type, "USB");
    EXPECT_EQ(target.VID, 0x356C);
    EXPECT_EQ(target.PID, 0x37);
    EXPECT_EQ(target.usbLocation, std::optional<std::uint32_t>(0x01100000));

    EXPECT_EQ(model.getAPInfo(), (AlertTriple{false, "", ""}));
    EXPECT_EQ(model.apSetting->APName, "Tamberlyx-AP");
    EXPECT_EQ(responder->requests(), std::vector<std::string>{"CheckwifiAP?"});
    dispatch::runMainFor(dispatch::Seconds(0.05));
    bus->unplugAll();
}

TEST(SharedNetworkModelTest, CommandsGoToThePrinterAtTheSelectedLocation) {
    auto bus = sim::usb::Bus::install();
    sim::UsbPrinter first({.location = 0x01100000});
    sim::UsbPrinter second({.location = 0x01200000});
    auto firstResponder = std::make_shared<sim::CommandResponder>();
    auto secondResponder = std::make_shared<sim::CommandResponder>();
    sim::serveCommandPipes(*first.device(), firstResponder);
    sim::serveCommandPipes(*second.device(), secondResponder);
    bus->plug(first.device());
    bus->plug(second.device());

    const Printer atSecond("Tamberlyx", "Tamberlyx(USB)", "USB", "", 0x37, 0x356C, 0x01200000);
    const CommandTarget target = commandTarget(atSecond);
    EXPECT_TRUE(usbInteraction("CheckwifiSTA?", target.PID, target.VID, target.usbLocation));
    EXPECT_EQ(firstResponder->requestCount(), 0);
    EXPECT_EQ(secondResponder->requestCount(), 1);
    EXPECT_FALSE(usbInteraction("CheckwifiSTA?", 0x37, 0x356C, 0x01300000));
    dispatch::runMainFor(dispatch::Seconds(0.05));
    bus->unplugAll();
}

TEST(SharedNetworkModelTest, QuittingEndsTheCommandOutWithoutWaitingForTheList) {
    using Clock = std::chrono::steady_clock;
    auto bus = sim::usb::Bus::install();
    sim::UsbPrinter printer;
    auto responder = std::make_shared<sim::CommandResponder>();
    responder->setListNotReady(-1);
    sim::serveCommandPipes(*printer.device(), responder);
    bus->plug(printer.device());

    NetworkModel& model = SharedData::networkModel();
    ASSERT_TRUE(dispatch::runMainUntil(
        [] { return SharedData::printerModel()->selectedPrinter().type() == "USB"; }, dispatch::Seconds(30)));
    std::optional<bool> applied;
    model.getHotSpotList([&](bool a) { applied = a; });
    // The list's first "8011" is in: the worker now waits 2 seconds to ask again.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (responder->requestCount() == 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(responder->requestCount(), 1);

    QTimer::singleShot(0, QCoreApplication::instance(), [] { QCoreApplication::quit(); });
    const auto quitting = Clock::now();
    QCoreApplication::exec();
    // Quitting stops the command: the worker's wait to ask again is cut short (checked behind a
    // ten-minute wait in the worker's own tests), and the list is not asked for again. The time
    // limit is a backstop below the list's four 2 s waits, with room for a loaded machine.
    EXPECT_LT(Clock::now() - quitting, std::chrono::seconds(6));
    EXPECT_FALSE(SharedData::printerModel()->timerScheduled());
    dispatch::runMainUntil([&] { return applied.has_value(); }, dispatch::Seconds(30));
    EXPECT_EQ(applied, std::optional<bool>(false)); // dropped
    EXPECT_FALSE(model.commandOut(WifiCommand::getHotSpotList));
    EXPECT_EQ(responder->requestCount(), 1);
    bus->unplugAll();
}

} // namespace
