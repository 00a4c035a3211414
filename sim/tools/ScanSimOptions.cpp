#include "sim/tools/ScanSimOptions.h"

#include "scanning/ScanOptions.h"
#include "sim/tools/ToolOptions.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <vector>

namespace tbx::sim {

namespace {

std::optional<int> number(const std::string& text, int low, int high) {
    const auto value = wholeNumber(text, low, high);
    return value ? std::optional<int>(int(*value)) : std::nullopt;
}

} // namespace

const std::vector<ScanSimFault>& scanSimFaults() {
    static const std::vector<ScanSimFault> faults{
        {"endless-page", Misbehaviour::endlessPage, "the page's blocks never end"},
        {"length-past-page", Misbehaviour::lengthPastPage,
         "the page's last block announces more than the page holds, then the stream ends"},
        {"stall", Misbehaviour::stall, "the scanner stops sending in the middle of the page"},
        {"garbage", Misbehaviour::garbage, "after a block header, bytes that are no part of the stream"},
        {"close-mid-header", Misbehaviour::closeMidHeader, "the stream ends inside a block header"},
        {"unknown-status", Misbehaviour::unknownStatus,
         "a status byte no table knows, in the middle of the page"},
    };
    return faults;
}

std::string scanSimUsage() {
    auto faultLines = [] {
        std::string lines;
        for (const ScanSimFault& fault : scanSimFaults()) {
            lines += std::string(26, ' ') + fault.word + std::string(18 - fault.word.size(), ' ') +
                     fault.text + "\n";
        }
        return lines;
    };
    return "usage: tamberlyx-scan-sim [options]\n"
           "One whole scan against the simulated scanner over USB or TCP (run it inside scripts/sandbox).\n" +
           usageLine("--transport usb|tcp",
                     "the scanner's connection (default: TAMBERLYX_SIMULATED_SCANNER, else tcp)") +
           usageLine("--pages N",
                     "pages in the job, 1 to " + std::to_string(kMaxScanSimPages) + " (default 2)") +
           usageLine("--source WORD", "paper source: " + joinedWords(scanSourceOption()) + " (default ADF)") +
           usageLine("--mode WORD", "colour mode: " + joinedWords(colorModeOption()) + " (default GRAY256)") +
           usageLine("--resolution WORD", joinedWords(resolutionOption()) + " (default 200dpi)") +
           usageLine("--size WORD", "page size: " + joinedWords(pageSizeOption()) + " (default A4)") +
           usageLine("--combine WORD", joinedWords(combineTypeOption()) + " (default NoCombine)") +
           usageLine("--pdf", "gather the pages into one PDF") +
           usageLine("--jam-after N", "a paper jam after N pages, 0 to --pages") +
           usageLine("--trailer-pause MS",
                     "TCP: the scanner's pause after each page trailer, 0 to 10000 ms") +
           usageLine("--fault WORD", "the scanner misbehaves on the page after --fault-after pages:") +
           faultLines() +
           usageLine("--fault-after N",
                     "whole pages before the fault, 0 to --pages - 1 (default 1, 0 for one page)") +
           usageLine("--read-timeout MS",
                     "TCP: how long the scan waits for a silent scanner, 1 to 600000 ms (default 30000)") +
           usageLine("--out DIR", "folder for the scan, made when missing (default: a new folder in /tmp)") +
           usageLine("--help", "this text") +
           "Exit status: 0 when the scan succeeded, 1 when it failed, 2 for a bad option.\n";
}

std::variant<ScanSimOptions, std::string> parseScanSimOptions(std::span<const std::string> args,
                                                              const std::string& transport) {
    if (asksForHelp(args)) {
        ScanSimOptions help;
        help.help = true;
        return help;
    }
    ScanSimOptions o;
    if (!transport.empty()) {
        o.transport = transport;
    }
    // The options whose value is a word of a list.
    struct Word {
        const char* option;
        std::string* field;
        const std::vector<std::string>* list;
    };
    const std::vector<std::string> transports{"usb", "tcp"};
    const Word words[] = {
        {"--transport", &o.transport, &transports}, {"--source", &o.source, &scanSourceOption()},
        {"--mode", &o.mode, &colorModeOption()},    {"--resolution", &o.resolution, &resolutionOption()},
        {"--size", &o.size, &pageSizeOption()},     {"--combine", &o.combine, &combineTypeOption()},
    };
    std::optional<std::string> jamText;
    std::optional<std::string> faultAfterText;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--pdf") {
            o.pdf = true;
            continue;
        }
        const bool takesValue =
            std::any_of(std::begin(words), std::end(words), [&](const Word& w) { return arg == w.option; }) ||
            arg == "--pages" || arg == "--jam-after" || arg == "--trailer-pause" || arg == "--out" ||
            arg == "--fault" || arg == "--fault-after" || arg == "--read-timeout";
        if (!takesValue) {
            return "unknown option " + arg + " (see --help)";
        }
        if (i + 1 >= args.size()) {
            return arg + " needs a value (see --help)";
        }
        const std::string& value = args[++i];
        bool known = false;
        for (const Word& w : words) {
            if (arg == w.option) {
                if (std::find(w.list->begin(), w.list->end(), value) == w.list->end()) {
                    return arg + " must be " + joinedWords(*w.list) + ", not \"" + value + "\"";
                }
                *w.field = value;
                known = true;
            }
        }
        if (known) {
            continue;
        }
        if (arg == "--pages") {
            const auto pages = number(value, 1, kMaxScanSimPages);
            if (!pages) {
                return "--pages must be a whole number from 1 to " + std::to_string(kMaxScanSimPages) +
                       ", not \"" + value + "\"";
            }
            o.pages = *pages;
        } else if (arg == "--jam-after") {
            jamText = value; // checked against --pages, which may follow
        } else if (arg == "--trailer-pause") {
            const auto pause = number(value, 0, 10000);
            if (!pause) {
                return "--trailer-pause must be a whole number of milliseconds from 0 to 10000, not \"" +
                       value + "\"";
            }
            o.trailerPause = *pause;
        } else if (arg == "--fault") {
            const auto& faults = scanSimFaults();
            const auto it = std::find_if(faults.begin(), faults.end(),
                                         [&](const ScanSimFault& fault) { return fault.word == value; });
            if (it == faults.end()) {
                std::vector<std::string> names;
                for (const ScanSimFault& fault : faults) {
                    names.push_back(fault.word);
                }
                return "--fault must be " + joinedWords(names) + ", not \"" + value + "\"";
            }
            o.fault = it->misbehaviour;
        } else if (arg == "--fault-after") {
            faultAfterText = value; // checked against --pages, which may follow
        } else if (arg == "--read-timeout") {
            const auto timeout = number(value, 1, 600000);
            if (!timeout) {
                return "--read-timeout must be a whole number of milliseconds from 1 to 600000, not \"" +
                       value + "\"";
            }
            o.readTimeout = *timeout;
        } else if (value.empty()) {
            return "--out needs a folder name";
        } else {
            o.out = value;
        }
    }
    if (jamText) {
        const auto jam = number(*jamText, 0, o.pages);
        if (!jam) {
            return "--jam-after must be a whole number from 0 to --pages (" + std::to_string(o.pages) +
                   "), not \"" + *jamText + "\"";
        }
        o.jamAfter = *jam;
    }
    o.faultAfter = std::min(1, o.pages - 1);
    if (faultAfterText) {
        const auto after = number(*faultAfterText, 0, o.pages - 1);
        if (!after) {
            return "--fault-after must be a whole number from 0 to --pages - 1 (" +
                   std::to_string(o.pages - 1) + "), not \"" + *faultAfterText + "\"";
        }
        o.faultAfter = *after;
    }
    if (o.transport != "usb" && o.transport != "tcp") {
        return "TAMBERLYX_SIMULATED_SCANNER must be usb or tcp, not \"" + o.transport + "\"";
    }
    return o;
}

std::optional<std::string> outputFolderProblem(const std::string& out) {
    // The first part of the path that exists must be a folder.
    std::string path = out;
    while (!path.empty()) {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) {
                return path == out ? "--out " + out + " is not a folder"
                                   : "--out " + out + " cannot be made: " + path + " is not a folder";
            }
            return std::nullopt;
        }
        if (errno != ENOENT && errno != ENOTDIR) {
            return "--out " + out + ": " + std::strerror(errno);
        }
        const auto slash = path.find_last_of('/');
        if (slash == std::string::npos) {
            break;
        }
        path.resize(slash == 0 ? 1 : slash);
        if (path == "/") {
            break;
        }
    }
    return std::nullopt;
}

} // namespace tbx::sim
