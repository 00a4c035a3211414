#include "monitor/SharedData.h"

#include <QCoreApplication>

namespace tbx::SharedData {

namespace {
std::shared_ptr<PrinterModel> makeSharedPrinterModel() {
    auto model = PrinterModel::make();
    // Quitting lets the exchange in progress end before the process goes down
    // around the worker.
    if (auto* app = QCoreApplication::instance()) {
        QObject::connect(app, &QCoreApplication::aboutToQuit, model.get(),
                         [model = model.get()] { model->stop(); });
    }
    return model;
}
} // namespace

const std::shared_ptr<PrinterModel>& printerModel() {
    // Never destroyed: the model outlives every window and the event loop.
    static const auto* model = new std::shared_ptr<PrinterModel>(makeSharedPrinterModel());
    return *model;
}

} // namespace tbx::SharedData
