// Prints every published change of a printer model's list, selection and
// status as one line each ("[list] ...", "[selected] ...", "[status] level
// message / description / toner%"), for the status monitor's simulation tools.
// A status line is written once per new status, when the event loop turns.
#pragma once

#include "monitor/PrinterModel.h"

#include <memory>
#include <ostream>

namespace tbx::sim {

void traceModelChanges(const std::shared_ptr<PrinterModel>& model, std::ostream& out);

} // namespace tbx::sim
