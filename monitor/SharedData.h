// The status monitor's application-wide models. Each is made by its first
// read (safe against concurrent first use: a second caller waits and gets the
// same instance) and lives until the process ends; it is never replaced.
#pragma once

#include "monitor/PrinterModel.h"

#include <memory>

namespace tbx {
class NetworkModel;
}

namespace tbx::SharedData {

// The one printer model. The first read runs its construction: the USB
// printers are listed at once and the SNMP discovery is started.
const std::shared_ptr<PrinterModel>& printerModel();

// The one Wi-Fi setup model (defined with the Wi-Fi engine in wifi_setup/, which
// links this library); its commands go to the printer model's selected printer.
// Made without any I/O.
NetworkModel& networkModel();

} // namespace tbx::SharedData
