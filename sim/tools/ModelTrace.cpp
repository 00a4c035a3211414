#include "sim/tools/ModelTrace.h"

#include <QTimer>
#include <sstream>

namespace tbx::sim {

namespace {

// The model publishes a new status field by field: the line is written once
// they are all in (on the next turn of the event loop), and only when it says
// something new.
struct StatusLine {
    bool pending = false;
    std::string last;
};

} // namespace

void traceModelChanges(const std::shared_ptr<PrinterModel>& model, std::ostream& out) {
    PrinterModel* m = model.get();
    QObject::connect(m, &PrinterModel::printerListChanged, m, [m, &out] {
        out << "[list]";
        for (const auto& p : m->printerList()) {
            out << " " << p.label();
        }
        out << std::endl;
    });
    QObject::connect(m, &PrinterModel::selectedPrinterChanged, m,
                     [m, &out] { out << "[selected] " << m->selectedPrinter().label() << std::endl; });
    auto line = std::make_shared<StatusLine>();
    QObject::connect(m, &PrinterModel::statusInfoChanged, m, [m, &out, line] {
        if (line->pending) {
            return;
        }
        line->pending = true;
        QTimer::singleShot(0, m, [m, &out, line] {
            line->pending = false;
            const auto& s = m->statusInfo();
            std::ostringstream text;
            text << "[status] " << s.level << " " << s.message << " / " << s.discription << " / " << s.toner
                 << "%";
            if (text.str() != line->last) {
                line->last = text.str();
                out << line->last << std::endl;
            }
        });
    });
}

} // namespace tbx::sim
