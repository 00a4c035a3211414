#include "wifi_setup/SharedNetworkModel.h"

#include "monitor/SharedData.h"

namespace tbx {

CommandTarget commandTarget(const Printer& printer) {
    return CommandTarget{printer.type(), printer.PID(), printer.VID(), printer.name(), printer.ip()};
}

std::unique_ptr<NetworkModel> makeNetworkModel(std::weak_ptr<PrinterModel> printerModel,
                                               NetworkModelEnvironment environment) {
    environment.selectedPrinter = [printerModel = std::move(printerModel)] {
        const auto model = printerModel.lock();
        return model ? commandTarget(model->selectedPrinter()) : CommandTarget{};
    };
    return std::make_unique<NetworkModel>(std::move(environment));
}

NetworkModel& SharedData::networkModel() {
    // Never destroyed, like the printer model: it outlives every window.
    static NetworkModel* model = makeNetworkModel(SharedData::printerModel()).release();
    return *model;
}

} // namespace tbx
