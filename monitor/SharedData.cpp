#include "monitor/SharedData.h"

namespace tbx::SharedData {

const std::shared_ptr<PrinterModel>& printerModel() {
    // Never destroyed: the model outlives every window and the event loop.
    static const auto* model = new std::shared_ptr<PrinterModel>(PrinterModel::make());
    return *model;
}

} // namespace tbx::SharedData
