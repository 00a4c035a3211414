// The commands that a person types into tamberlyx-statemonitor-sim while its
// window runs, to change what the simulated printers answer: the USB printer's
// status code, toner level, plug state and stalls, the network printer's status
// and toner objects, and how the USB printer's Wi-Fi command channel answers.
// Each line is one command; each gets one line back (help: the list). What a
// reply repeats of the line shows its control characters escaped.
#pragma once

#include "sim/printer/SimulatedPrinters.h"

#include <string>
#include <string_view>

namespace tbx::sim {

class PrinterConsole {
public:
    struct Reply {
        std::string text; // what to tell the user; empty for an empty line
        bool quit = false;
    };

    explicit PrinterConsole(SimulatedPrinters& printers) : printers_(printers) {}

    Reply run(std::string_view line);

    // The list of commands.
    static std::string help();

private:
    std::string state() const;

    SimulatedPrinters& printers_;
    bool stalled_ = false;
    bool busy_ = false;
    bool silent_ = false;
};

} // namespace tbx::sim
