// The status monitor's network model wired to its printer model: commands go
// to the printer that the printer model has selected at the time of each
// command. SharedData::networkModel() (declared with the printer model in
// monitor/SharedData.h) is the program's one such model.
#pragma once

#include "monitor/PrinterModel.h"
#include "wifi_setup/NetworkModel.h"

#include <memory>

namespace tbx {

// The command target of a printer of the printer model.
CommandTarget commandTarget(const Printer& printer);

// A model whose `selectedPrinter` follows `printerModel` (the no-printer entry
// once that model is gone); the other settings come from `environment`.
std::unique_ptr<NetworkModel> makeNetworkModel(std::weak_ptr<PrinterModel> printerModel,
                                               NetworkModelEnvironment environment = {});

} // namespace tbx
