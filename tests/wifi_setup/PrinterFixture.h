// A network model wired to the simulated printer: the command responder on the
// bulk pipes of a simulated USB printer, and the same responder as a loopback
// TCP peer for a "Net" printer. The model's 2-second list pause is recorded
// instead of waited for.
#pragma once

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Print.h"
#include "sim/printer/CommandResponder.h"
#include "sim/printer/TcpCommandPeer.h"
#include "sim/printer/UsbCommandPipes.h"
#include "sim/usb/SimulatedUsb.h"
#include "tests/support/SimulatedBus.h"
#include "wifi_setup/NetworkModel.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace tbx::test {

inline constexpr std::uint16_t kVendor = 0x356C;
inline constexpr std::uint16_t kProduct = 0x37;

class PrinterFixture : public SimulatedBusTest<> {
protected:
    void SetUp() override {
        SimulatedBusTest::SetUp();
        device = plug(simusb::bulkPairDevice(kVendor, kProduct));
        sim::serveCommandPipes(*device, responder);
        target = {"USB", kProduct, kVendor, "Tamberlyx", ""};
        model = makeModel();
    }
    void TearDown() override {
        runPostedWork(); // posted trace lines
        SimulatedBusTest::TearDown();
    }

    // Runs the main queue until the work posted to it before this call has run (it runs in
    // order); the limit only ends a main queue that never gets to it.
    static void runPostedWork() {
        bool reached = false;
        dispatch::Queue::main().async([&reached] { reached = true; });
        EXPECT_TRUE(dispatch::runMainUntil([&] { return reached; }, dispatch::Seconds(30)));
    }

    std::unique_ptr<NetworkModel> makeModel(NetworkModelEnvironment environment = {}) {
        environment.selectedPrinter = [this] { return target; };
        environment.pause = [this](std::chrono::milliseconds wait) { pauses.push_back(wait); };
        if (peer) {
            environment.commandPort = peer->port();
        }
        return std::make_unique<NetworkModel>(std::move(environment));
    }

    // Selects a "Net" printer at the loopback peer.
    void useNetworkPrinter(NetworkModelEnvironment environment = {}) {
        peer = std::make_unique<sim::TcpCommandPeer>(responder);
        target = {"Net", 0, 0, "Tamberlyx", "127.0.0.1"};
        model = makeModel(std::move(environment));
    }

    // The bulk writes as texts.
    std::vector<std::string> written() const {
        std::vector<std::string> texts;
        for (const auto& write : device->writes()) {
            texts.emplace_back(write.bytes.begin(), write.bytes.end());
        }
        return texts;
    }

    static std::vector<std::string> linesStartingWith(const TraceCapture& capture,
                                                      const std::vector<std::string>& prefixes) {
        std::vector<std::string> kept;
        for (const std::string& line : capture.lines()) {
            if (std::any_of(prefixes.begin(), prefixes.end(),
                            [&](const std::string& prefix) { return line.starts_with(prefix); })) {
                kept.push_back(line);
            }
        }
        return kept;
    }

    std::shared_ptr<simusb::Device> device;
    std::shared_ptr<sim::CommandResponder> responder = std::make_shared<sim::CommandResponder>();
    std::unique_ptr<sim::TcpCommandPeer> peer;
    CommandTarget target;
    std::vector<std::chrono::milliseconds> pauses;
    std::unique_ptr<NetworkModel> model;
};

} // namespace tbx::test
