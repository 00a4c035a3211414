// The command line of tamberlyx-scan-sim: every option, its default and its
// range, read strictly (whole decimal numbers in range, words from the scanner's
// option lists) so that a bad option is refused with one line before anything
// is made on disk or on a port.
#pragma once

#include "sim/scanner/ScannerEngine.h"

#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace tbx::sim {

struct ScanSimOptions {
    std::string transport = "tcp"; // "usb" or "tcp"
    std::string source = "ADF";
    std::string mode = "GRAY256";
    std::string resolution = "200dpi";
    std::string size = "A4";
    std::string combine = "NoCombine";
    std::string out; // empty: a new folder under /tmp
    int pages = 2;
    int jamAfter = -1;     // -1: no paper jam
    int trailerPause = -1; // -1: the simulated scanner's own pause after a page trailer
    Misbehaviour fault = Misbehaviour::none;
    int faultAfter = 0;   // whole pages before the fault's page
    int readTimeout = -1; // TCP, in ms; -1: the product's own
    bool pdf = false;
    bool help = false;
};

inline constexpr int kMaxScanSimPages = 9999;

// The words of --fault, each with its misbehaviour and what it does.
struct ScanSimFault {
    std::string word;
    Misbehaviour misbehaviour;
    std::string text;
};
const std::vector<ScanSimFault>& scanSimFaults();

// The usage text that --help prints.
std::string scanSimUsage();

// Reads `args` (the command line without the program name) over the defaults,
// with `transport` as the default transport. Answers the options, or the
// one-line reason for refusing them. --help wins over every other option.
std::variant<ScanSimOptions, std::string> parseScanSimOptions(std::span<const std::string> args,
                                                              const std::string& transport);

// Why `out` cannot hold the scan's files, or nothing: a folder that exists or
// can be made is fine; a path naming anything else is not.
std::optional<std::string> outputFolderProblem(const std::string& out);

} // namespace tbx::sim
