#include "tests/monitor_app/support/SimulatedPrinters.h"

#include "wifi_setup/SharedNetworkModel.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <thread>

namespace tbx::test {

std::shared_ptr<PrinterModel> SimulatedPrinters::makePrinterModel(PrinterModel::Options options) {
    return PrinterModel::make(options);
}

std::unique_ptr<NetworkModel>
SimulatedPrinters::makeNetworkModel(const std::shared_ptr<PrinterModel>& printerModel,
                                    std::chrono::milliseconds listPause) {
    NetworkModelEnvironment environment;
    environment.pause = [listPause](std::chrono::milliseconds) { std::this_thread::sleep_for(listPause); };
    return tbx::makeNetworkModel(printerModel, std::move(environment));
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
