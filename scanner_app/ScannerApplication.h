// The program's start and end around its windows: the application's names
// from its identifier "tamberlyx.scanner", the event loop, and the wait for
// background work (a scan still running) once the last window has closed.
#pragma once

class QApplication;

namespace tbx::scanner_app {

// Desktop file name "tamberlyx.scanner", organisation "tamberlyx", the
// program's name and icon.
void configureApplication(QApplication& app);

// Runs the event loop until the last window closes, lets a running scan
// finish its pages, and answers the event loop's exit code.
int runEventLoop(QApplication& app);

} // namespace tbx::scanner_app
