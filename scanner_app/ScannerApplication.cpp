#include "scanner_app/ScannerApplication.h"

#include "scanning/ScannerModel.h"

#include <QApplication>
#include <QIcon>

namespace tbx::scanner_app {

void configureApplication(QApplication& app) {
    QApplication::setOrganizationName("tamberlyx");
    QApplication::setOrganizationDomain("tamberlyx");
    QApplication::setApplicationName("Tamberlyx_Scanner");
    QApplication::setApplicationDisplayName("Tamberlyx_Scanner");
    QGuiApplication::setDesktopFileName("tamberlyx.scanner");
    app.setWindowIcon(QIcon::fromTheme("tamberlyx.scanner"));
}

int runEventLoop(QApplication& app) {
    const int code = app.exec();
    ScannerModel::waitForBackgroundWork();
    return code;
}

} // namespace tbx::scanner_app
