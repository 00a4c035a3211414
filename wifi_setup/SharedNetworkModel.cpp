// The status monitor's one network model, held with the printer model in
// SharedData; its commands go to the printer that the printer model selected.
#include "monitor/SharedData.h"
#include "wifi_setup/NetworkModel.h"

namespace tbx::SharedData {

NetworkModel& networkModel() {
    // Never destroyed, like the printer model: it outlives every window.
    static auto* model = [] {
        NetworkModelEnvironment environment;
        environment.selectedPrinter = [] {
            const Printer& printer = printerModel()->selectedPrinter();
            return CommandTarget{printer.type(), printer.PID(), printer.VID(), printer.name(), printer.ip()};
        };
        return new NetworkModel(std::move(environment));
    }();
    return *model;
}

} // namespace tbx::SharedData
