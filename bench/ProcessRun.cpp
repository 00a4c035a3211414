#include "ProcessRun.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tbx::bench {

ProcessRun runProcess(const ProcessSpec& spec) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid < 0)
        return {};
    if (pid == 0) {
        const int in = ::open(spec.input.c_str(), O_RDONLY);
        const int out = ::open(spec.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(spec.errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0)
            ::_exit(126);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::closefrom(3); // no side channel or back channel: the filter runs as without a scheduler
        for (const auto& [name, value] : spec.env) {
            if (value.empty())
                ::unsetenv(name.c_str());
            else
                ::setenv(name.c_str(), value.c_str(), 1);
        }
        std::vector<char*> argv;
        for (const auto& a : spec.argv)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    ProcessRun run;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.peakKiB = usage.ru_maxrss;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

ProcessRun runShellScript(const std::string& script) {
    const std::string report = "/tmp/tbx-bench-time-" + std::to_string(::getpid());
    ProcessRun run =
        runProcess(ProcessSpec::command({"/usr/bin/time", "-f", "%M", "-o", report, "sh", "-c", script}));
    if (FILE* in = std::fopen(report.c_str(), "r")) {
        if (std::fscanf(in, "%ld", &run.peakKiB) != 1)
            run.peakKiB = 0;
        std::fclose(in);
    }
    std::remove(report.c_str());
    return run;
}

double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[(values.size() - 1) / 2];
}

} // namespace tbx::bench
