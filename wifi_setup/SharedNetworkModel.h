// Wiring of the status monitor's one NetworkModel (SharedData::networkModel(),
// declared with the printer model in monitor/SharedData.h): its commands go to
// the printer model's selected printer, read afresh for every exchange.
#pragma once

#include "monitor/Printer.h"
#include "wifi_setup/NetworkModel.h"

namespace tbx {

// The command target of a printer of the printer model.
CommandTarget commandTarget(const Printer& printer);

} // namespace tbx
