#pragma once

// One program run as a child process for the benchmarks: its wall time from fork to exit and its
// peak resident size, with standard input and output on files.

#include <string>
#include <utility>
#include <vector>

namespace tbx::bench {

struct ProcessRun {
    double seconds = 0;
    long peakKiB = 0;
    bool ok = false; // exited with status 0
};

struct ProcessSpec {
    std::vector<std::string> argv;
    std::string input = "/dev/null";                      // standard input
    std::string output = "/dev/null";                     // standard output
    std::string errors = "/dev/null";                     // standard error
    std::vector<std::pair<std::string, std::string>> env; // set (or, with an empty value, unset)

    static ProcessSpec command(std::vector<std::string> argv) {
        ProcessSpec s;
        s.argv = std::move(argv);
        return s;
    }
};

ProcessRun runProcess(const ProcessSpec& spec);

// A shell script (sh -c) run under time(1): the wall time of the whole, and the peak of its largest
// process rather than that of the shell.
ProcessRun runShellScript(const std::string& script);

// Median of the values (the lower middle one for an even count); 0 for none.
double median(std::vector<double> values);

} // namespace tbx::bench
