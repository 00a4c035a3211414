#include "wifi_setup/SharedNetworkModel.h"

#include "monitor/SharedData.h"

namespace tbx {

CommandTarget commandTarget(const Printer& printer) {
    return {printer.type(), printer.PID(), printer.VID(),
            printer.name(), printer.ip(),  printer.usbLocation()};
}

NetworkModel& SharedData::networkModel() {
    // Made once, on first read (a concurrent first read waits for it), and never
    // destroyed: the forms and the status view reach it until the process ends.
    static NetworkModel* const model = [] {
        NetworkModelEnvironment environment;
        environment.selectedPrinter = [] {
            return commandTarget(SharedData::printerModel()->selectedPrinter());
        };
        return new NetworkModel(std::move(environment));
    }();
    return *model;
}

} // namespace tbx
