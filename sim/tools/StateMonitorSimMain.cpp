// tamberlyx-statemonitor-sim: the status monitor's window, as Tamberlyx_StateMonitor
// shows it, against simulated printers, for users and testers without the
// hardware: a USB printer on a simulated bus (the real bus is not opened) with
// its status request and Wi-Fi command channel, and a network printer played by
// snmpd on the sandbox's first test host, found by the window's own SNMP
// discovery. Commands typed on standard input change what the printers answer
// while the window runs (`help` lists them, PrinterConsole). Every change of the
// printer list, the selection and the status is printed on standard output
// beside the engine's trace lines; the tool's own lines go to standard error.
//
//   scripts/sandbox --hosts 1 build/sim/tamberlyx-statemonitor-sim [--interval SECONDS]
//
// Discovery broadcasts on every local subnet, so it runs only inside the
// sandbox. Without a test host there is no network printer. The snmpd agent
// and its relay are stopped by their pids when the window closes, on `quit`,
// and on SIGINT, SIGTERM or SIGHUP, after the printer exchanges still out have
// ended; a tool killed outright takes them with it (SnmpAgents).
#include "monitor/PrinterModel.h"
#include "monitor_app/ContentView.h"
#include "sim/net/Sandbox.h"
#include "sim/printer/SimulatedPrinters.h"
#include "sim/tools/ConsoleLines.h"
#include "sim/tools/ModelTrace.h"
#include "sim/tools/MonitorSimOptions.h"
#include "sim/tools/PrinterConsole.h"
#include "sim/tools/ToolOptions.h"
#include "wifi_setup/SharedNetworkModel.h"

#include <QApplication>
#include <QIcon>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <iostream>
#include <optional>
#include <string>
#include <unistd.h>
#include <variant>
#include <vector>

using namespace tbx;

namespace {

constexpr const char* kProgram = "tamberlyx-statemonitor-sim";

std::string usage() {
    return std::string("usage: ") + kProgram +
           " [options]\n"
           "The status monitor's window against a simulated USB printer and a network printer (snmpd);\n"
           "run it as: scripts/sandbox --hosts 1 build/sim/" +
           kProgram + "\n" +
           sim::usageLine("--interval SECONDS", "time between status polls, 0.1 to 3600 (default 6)") +
           sim::usageLine("--help", "this text") + "While it runs, standard input takes commands:\n" +
           sim::PrinterConsole::help();
}

// The write end of the pipe on which the signal handler wakes the event loop.
int gSignalPipe = -1;

extern "C" void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(gSignalPipe, &byte, 1);
}

// Reads standard input as it comes and hands each whole line to `console`; a
// line too long to be a command is refused as one line, whoever typed or piped
// it, and the window runs on.
class ConsoleInput {
public:
    ConsoleInput(sim::PrinterConsole& console, QApplication& app)
        : console_(console), app_(app), notifier_(STDIN_FILENO, QSocketNotifier::Read) {
        QObject::connect(&notifier_, &QSocketNotifier::activated, [this] { readSome(); });
    }

private:
    void readSome() {
        char chunk[4096];
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            return;
        }
        if (n <= 0) {
            notifier_.setEnabled(false); // the end of input leaves the window running
            if (const auto last = lines_.finish()) {
                handle(*last);
            }
            return;
        }
        for (const sim::ConsoleLines::Line& line : lines_.feed({chunk, std::size_t(n)})) {
            if (!handle(line)) {
                return;
            }
        }
    }

    // Runs one line; false once it asked to quit.
    bool handle(const sim::ConsoleLines::Line& line) {
        if (line.tooLong) {
            tell("refused a line of " + std::to_string(line.length) + " bytes: a command is at most " +
                 std::to_string(sim::kLongestConsoleLine) + " bytes long");
            return true;
        }
        const sim::PrinterConsole::Reply reply = console_.run(line.text);
        tell(reply.text);
        if (reply.quit) {
            notifier_.setEnabled(false);
            app_.quit();
            return false;
        }
        return true;
    }

    static void tell(const std::string& text) {
        if (!text.empty()) {
            std::cerr << text << (text.back() == '\n' ? "" : "\n") << std::flush;
        }
    }

    sim::PrinterConsole& console_;
    QApplication& app_;
    QSocketNotifier notifier_;
    sim::ConsoleLines lines_;
};

} // namespace

// The window over the simulated printers until it closes, `quit` or a signal;
// then everything stops, the agent's processes included.
int run(QApplication& app, double interval, int signalFd);

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    double interval = 6.0;
    if (sim::asksForHelp(args)) {
        std::cout << usage();
        return 0;
    }
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] != "--interval") {
            std::cerr << kProgram << ": unknown option " << args[i] << " (see --help)\n";
            return 2;
        }
        const auto seconds =
            sim::pollInterval(i + 1 < args.size() ? std::optional(args[i + 1]) : std::nullopt);
        if (const auto* reason = std::get_if<std::string>(&seconds)) {
            std::cerr << kProgram << ": " << *reason << "\n";
            return 2;
        }
        interval = std::get<double>(seconds);
        ++i;
    }
    if (!sim::insideSandbox(kProgram)) {
        return 2;
    }

    int signalPipe[2];
    if (::pipe2(signalPipe, O_CLOEXEC) != 0) {
        std::cerr << kProgram << ": cannot make a pipe\n";
        return 1;
    }
    gSignalPipe = signalPipe[1];
    // From here a signal ends the event loop (or keeps it from running), so that
    // everything is stopped on the way out.
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
        std::signal(number, onSignal);
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName("Tamberlyx_StateMonitor");
    QApplication::setDesktopFileName("tamberlyx-statemonitor");
    QApplication::setWindowIcon(QIcon(":/images/icon.svg"));
    const int status = run(app, interval, signalPipe[0]);
    std::cerr << "stopped\n";
    return status;
}

int run(QApplication& app, double interval, int signalFd) {
    sim::SimulatedPrintersOptions options;
    options.netPrinter = !sim::sandboxTestHosts().empty();
    sim::SimulatedPrinters printers(options);
    if (!printers.ready()) {
        std::cerr << kProgram << ": " << printers.problem << "\n";
        return 1;
    }
    std::cerr << "USB printer: Tamberlyx on the simulated bus (vendor 0x356C, product 0x37)\n";
    if (printers.netAddress.empty()) {
        std::cerr << "no network printer: there is no test host (run with scripts/sandbox --hosts 1)\n";
    } else {
        std::cerr << "network printer: snmpd at " << printers.netAddress << " (pids";
        for (const pid_t pid : printers.agents.pids()) {
            std::cerr << " " << pid;
        }
        std::cerr << ")\n";
    }
    std::cerr << sim::PrinterConsole::help() << std::flush;

    QSocketNotifier signalWake(signalFd, QSocketNotifier::Read);
    QObject::connect(&signalWake, &QSocketNotifier::activated, &app, [&] { app.quit(); });

    auto printerModel = PrinterModel::make({.pollInterval = dispatch::Seconds(interval)});
    auto networkModel = makeNetworkModel(printerModel);
    sim::traceModelChanges(printerModel, std::cout);
    sim::PrinterConsole console(printers);
    ConsoleInput input(console, app);
    int status = 0;
    {
        monitorapp::ContentView window(printerModel, *networkModel);
        window.show();
        status = QApplication::exec();
    }
    // The status request still out uses the simulated bus: it ends first.
    printerModel->stop();
    return status;
}
