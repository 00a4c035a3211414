#include "logging/ConsoleDestination.h"
#include "logging/Logbook.h"
#include "scanning/ScanOptions.h"

namespace tbx {

// Attaches one console destination to the logger. Nothing in the application calls it.
void getlog() {
    Logbook::addDestination(std::make_shared<ConsoleDestination>());
}

} // namespace tbx
