#include "tests/monitor_app/support/SimulatedPrinters.h"

#include "wifi_setup/SharedNetworkModel.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

namespace tbx::test {

std::shared_ptr<PrinterModel> SimulatedPrinters::makePrinterModel(PrinterModel::Options options) {
    return PrinterModel::make(options);
}

std::unique_ptr<NetworkModel>
SimulatedPrinters::makeNetworkModel(const std::shared_ptr<PrinterModel>& printerModel) {
    NetworkModelEnvironment environment;
    std::weak_ptr<PrinterModel> weak = printerModel;
    environment.selectedPrinter = [weak] {
        const auto model = weak.lock();
        if (!model) {
            return CommandTarget{};
        }
        const Printer& printer = model->selectedPrinter();
        return CommandTarget{printer.type(), printer.PID(), printer.VID(), printer.name(), printer.ip()};
    };
    environment.pause = [](std::chrono::milliseconds) {};
    return std::make_unique<NetworkModel>(std::move(environment));
}

bool waitUntil(const std::function<bool()>& done, double seconds) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > seconds * 1000) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

} // namespace tbx::test
