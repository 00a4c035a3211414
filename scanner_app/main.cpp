// Tamberlyx_Scanner: one window with the scan settings form; File > New Window
// opens another with its own form and discovery. Discovery sends an SNMP
// broadcast on every local subnet as soon as a window opens.
#include "scanner_app/ContentView.h"
#include "scanner_app/ScannerApplication.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    tbx::scanner_app::configureApplication(app);
    tbx::scanner_app::ContentView::open({});
    return tbx::scanner_app::runEventLoop(app);
}
