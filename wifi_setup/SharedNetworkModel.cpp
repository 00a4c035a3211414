#include "wifi_setup/SharedNetworkModel.h"

#include "monitor/SharedData.h"

#include <QCoreApplication>

namespace tbx {

CommandTarget commandTarget(const Printer& printer) {
    return {printer.type(), printer.PID(), printer.VID(),
            printer.name(), printer.ip(),  printer.usbLocation()};
}

std::unique_ptr<NetworkModel> makeNetworkModel(std::weak_ptr<PrinterModel> printerModel,
                                               NetworkModelEnvironment environment) {
    environment.selectedPrinter = [printerModel = std::move(printerModel)] {
        const auto model = printerModel.lock();
        return model ? commandTarget(model->selectedPrinter()) : CommandTarget{};
    };
    return std::make_unique<NetworkModel>(std::move(environment));
}

namespace {
NetworkModel* makeSharedNetworkModel() {
    NetworkModel* model = makeNetworkModel(SharedData::printerModel()).release();
    // Quitting lets the command in progress end before the process goes down
    // around the worker; what is queued is dropped.
    if (auto* app = QCoreApplication::instance()) {
        QObject::connect(app, &QCoreApplication::aboutToQuit, app, [model] { model->stopCommands(); });
    }
    return model;
}
} // namespace

NetworkModel& SharedData::networkModel() {
    // Made once, on first read (a concurrent first read waits for it), and never
    // destroyed: the forms and the status view reach it until the process ends.
    static NetworkModel* const model = makeSharedNetworkModel();
    return *model;
}

} // namespace tbx
