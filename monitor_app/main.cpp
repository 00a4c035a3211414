// Tamberlyx_StateMonitor: one window over the status monitor's two shared
// models. The printer model's creation starts the printer discovery and, once
// a printer is found, its status poll.
#include "monitor/SharedData.h"
#include "monitor_app/ContentView.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Tamberlyx_StateMonitor");
    QApplication::setDesktopFileName("tamberlyx-statemonitor");
    QApplication::setWindowIcon(QIcon(":/images/icon.svg"));
    tbx::monitorapp::ContentView window(tbx::SharedData::printerModel(), tbx::SharedData::networkModel());
    window.show();
    return QApplication::exec();
}
