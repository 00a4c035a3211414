// The status monitor's world for the window tests and the demo: the simulated
// printers of sim/printer/SimulatedPrinters.h, and the two models wired
// together as the program wires them.
#pragma once

#include "monitor/PrinterModel.h"
#include "sim/printer/SimulatedPrinters.h"
#include "wifi_setup/NetworkModel.h"

#include <chrono>
#include <functional>
#include <memory>

namespace tbx::test {

using SimulatedPrintersOptions = sim::SimulatedPrintersOptions;

class SimulatedPrinters : public sim::SimulatedPrinters {
public:
    using sim::SimulatedPrinters::SimulatedPrinters;

    std::shared_ptr<PrinterModel> makePrinterModel(PrinterModel::Options options = {});
    // Sends its commands to the printer that `printerModel` has selected, as
    // the program's model does; it waits `listPause` (not 2 seconds) before it
    // asks again for a network list that is not ready.
    std::unique_ptr<NetworkModel> makeNetworkModel(const std::shared_ptr<PrinterModel>& printerModel,
                                                   std::chrono::milliseconds listPause = {});
};

// Runs the main event loop until `done` holds or `seconds` have passed.
bool waitUntil(const std::function<bool()>& done, double seconds = 30.0);

} // namespace tbx::test
