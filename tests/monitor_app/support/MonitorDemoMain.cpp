// tamberlyx-monitor-demo OUTDIR: the status monitor's window, offscreen, with
// a simulated USB printer and a network printer played by snmpd on the
// sandbox's first test host. It waits for each printer's status, opens the
// Wi-Fi settings of the USB printer, and saves screenshots (PNG) of the status
// view of both printers, of the window at 800 x 500 and 1400 x 900, and of both
// tabs of the settings screen into OUTDIR.
// Run it inside `scripts/sandbox --hosts 1` with QT_QPA_PLATFORM=offscreen.
// The engine's trace lines go to standard output, the demo's own to standard
// error.
#include "monitor_app/ContentView.h"
#include "monitor_app/SettingView.h"
#include "monitor_app/SidebarView.h"
#include "monitor_app/StatusInfoView.h"
#include "monitor_app/TonerView.h"
#include "sim/net/Sandbox.h"
#include "tests/monitor_app/support/SimulatedPrinters.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <iostream>

namespace {

using tbx::test::waitUntil;

bool save(QWidget& window, const QString& folder, const QString& name) {
    QApplication::processEvents();
    const QString path = QDir(folder).filePath(name);
    if (!window.grab().save(path, "PNG")) {
        std::cerr << "could not write " << path.toStdString() << '\n';
        return false;
    }
    std::cerr << "saved " << path.toStdString() << '\n';
    return true;
}

std::string shown(const tbx::monitorapp::StatusInfoView& view) {
    return view.messageLabel()->text().toStdString() + " / toner " +
           std::to_string(view.tonerView()->ring()->toner()) + "%";
}

} // namespace

int main(int argc, char** argv) {
    if (!tbx::sim::insideSandbox("tamberlyx-monitor-demo")) {
        return 2;
    }
    QApplication app(argc, argv);
    if (argc != 2) {
        std::cerr << "usage: tamberlyx-monitor-demo OUTDIR\n";
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(folder);

    tbx::test::SimulatedPrinters printers({.netStatus = "2017,paper low", .netToner = 57});
    if (!printers.ready()) {
        std::cerr << printers.problem << '\n';
        return 1;
    }
    printers.responder->setNetworks({{"Office", 4}, {"Workshop-5G", 7}, {"Guest", 1}});
    auto printerModel = printers.makePrinterModel();
    auto networkModel = printers.makeNetworkModel(printerModel);
    tbx::monitorapp::ContentView window(printerModel, *networkModel);
    window.show();
    auto& sidebar = *window.sidebar();
    auto& status = *window.statusView();

    bool ok = waitUntil([&] { return !printerModel->discovering(); }, 60) && sidebar.rowCount() == 2;
    std::cerr << "printers listed: " << sidebar.rowCount() << '\n';
    ok = ok && waitUntil([&] { return status.tonerView()->ring()->toner() == 80; });
    std::cerr << "USB printer: " << shown(status) << '\n';
    ok = ok && save(window, folder, "status-usb.png");
    for (const QSize size : {QSize(800, 500), QSize(1400, 900)}) {
        window.resize(size);
        ok = ok && save(window, folder, QString("window-%1x%2.png").arg(size.width()).arg(size.height()));
    }
    window.resize(QSize(tbx::monitorapp::ContentView::kSidebarIdealWidth + 8 +
                            tbx::monitorapp::ContentView::kStatusMaxWidth,
                        480));

    sidebar.rowButton(1)->click();
    ok = ok && waitUntil([&] { return status.tonerView()->ring()->toner() == 57; });
    std::cerr << "network printer " << printers.netAddress << ": " << shown(status) << '\n';
    ok = ok && save(window, folder, "status-net.png");

    sidebar.rowButton(0)->click();
    ok = ok && waitUntil([&] { return status.networkSettingButton()->isVisible(); });
    status.networkSettingButton()->click();
    ok = ok && waitUntil([&] { return status.settingScreen() != nullptr; });
    auto* screen = dynamic_cast<tbx::monitorapp::SettingView*>(status.settingScreen());
    ok = ok && screen != nullptr && save(window, folder, "settings-ap.png");
    if (screen != nullptr) {
        screen->tabs()->setCurrentIndex(1);
        ok = ok && save(window, folder, "settings-client.png");
    }
    std::cerr << (ok ? "status monitor demo done\n" : "status monitor demo FAILED\n");
    return ok ? 0 : 1;
}
