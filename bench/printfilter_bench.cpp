// printfilter_bench: the print filter as the scheduler runs it, timed as a whole process on 1-page
// and 10-page text, mixed and photo jobs that CUPS's own cupsfilter made with the project's PPD
// (8-bit grey A4 raster at 600 dpi), beside peer programs on the same halftoned pages:
// JBIG-KIT's pbmtojbg -q (JBIG encoding alone, one process per page), foo2zjs (a JBIG printer
// driver reading 1-bit pages) and rastertobrlaser (a CUPS raster driver reading 1-bit raster),
// the last two when their Debian packages are unpacked in the peer folder
// (bench/printfilter-bench fetches them). Prints ms per page, peak memory and the ratios to each
// peer, then the per-stage figures of the page path.
//
//   printfilter_bench [--runs N] [--peers FOLDER] [--work FOLDER] [--keep]
//
// Every figure is the median of N runs (default 3) of the whole process, the programs of a job
// taking turns; peak memory is the largest peak resident size seen in those runs. The filter runs with its
// default number of encoder threads and with TAMBERLYX_ENCODER_THREADS=1, and the two job streams are
// compared.

#include "FilterBenchJobs.h"
#include "FilterStageFigures.h"
#include "ProcessRun.h"
#include "platform/posix/PosixIO.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <type_traits>
#include <unistd.h>
#include <vector>

using namespace tbx::bench;
namespace fs = std::filesystem;

namespace {

constexpr int darkness = 3; // the PPD's default GammaDarkness

struct Figure {
    double msPerPage = -1; // -1: not measured (peer missing or failed)
    double peakMiB = 0;
};

struct Options {
    int runs = 3;
    std::string peers;
    std::string work;
    bool keep = false;
};

std::string slurp(const std::string& path) {
    return tbx::posix::readFile(path).bytes;
}

// The job stream without its job time, which differs from run to run.
std::string withoutJobTime(std::string stream) {
    const std::size_t at = stream.find("JobTime=");
    if (at != std::string::npos) {
        const std::size_t end = stream.find(';', at);
        if (end != std::string::npos)
            stream.erase(at, end - at);
    }
    return stream;
}

// Runs each contender (one or more processes one after another) runs times, taking turns, so a
// change in the machine's load between rounds touches every contender alike. An empty contender
// is not measured. ms per page of each contender's median round and its largest peak.
std::vector<Figure> measureInTurns(int runs, int pages,
                                   const std::vector<std::vector<ProcessSpec>>& contenders) {
    std::vector<std::vector<double>> totals(contenders.size());
    std::vector<long> peaks(contenders.size(), 0);
    std::vector<bool> failed(contenders.size(), false);
    for (int r = 0; r < runs; ++r)
        for (std::size_t c = 0; c < contenders.size(); ++c) {
            if (contenders[c].empty() || failed[c])
                continue;
            double total = 0;
            for (const ProcessSpec& spec : contenders[c]) {
                const ProcessRun run = runProcess(spec);
                failed[c] = failed[c] || !run.ok;
                total += run.seconds;
                peaks[c] = std::max(peaks[c], run.peakKiB);
            }
            totals[c].push_back(total);
        }
    std::vector<Figure> figures(contenders.size());
    for (std::size_t c = 0; c < contenders.size(); ++c)
        if (!contenders[c].empty() && !failed[c])
            figures[c] = {median(totals[c]) * 1000.0 / pages, peaks[c] / 1024.0};
    return figures;
}

std::string cell(const Figure& f) {
    char buf[64];
    if (f.msPerPage < 0)
        return "       -          ";
    std::snprintf(buf, sizeof buf, "%7.1f ms %5.1f MB", f.msPerPage, f.peakMiB);
    return buf;
}

std::string ratio(const Figure& ours, const Figure& peer) {
    char buf[32];
    if (ours.msPerPage < 0 || peer.msPerPage <= 0)
        return "    -";
    std::snprintf(buf, sizeof buf, "%5.2f", ours.msPerPage / peer.msPerPage);
    return buf;
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                throw std::runtime_error(a + " needs a value");
            return argv[++i];
        };
        if (a == "--runs")
            o.runs = std::max(1, std::atoi(value().c_str()));
        else if (a == "--peers")
            o.peers = value();
        else if (a == "--work")
            o.work = value();
        else if (a == "--keep")
            o.keep = true;
        else
            throw std::runtime_error(
                "usage: printfilter_bench [--runs N] [--peers FOLDER] [--work FOLDER] [--keep]");
    }
    return o;
}

// Runs f in a child process and hands back what it returns (a trivially copyable value), so that
// the memory f uses never counts towards the peaks of processes the benchmark starts later (a
// fork begins with its parent's resident pages). Nothing when the child failed; with quiet set
// the child's standard error goes nowhere.
template <typename T, typename F>
std::optional<T> inChild(bool quiet, F f) {
    static_assert(std::is_trivially_copyable_v<T>);
    std::fflush(stdout);
    std::fflush(stderr);
    int fds[2];
    if (::pipe(fds) != 0)
        return std::nullopt;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        if (quiet) {
            const int devNull = ::open("/dev/null", O_WRONLY);
            ::dup2(devNull, 2);
        }
        try {
            const T value = f();
            const bool sent = ::write(fds[1], &value, sizeof value) == static_cast<ssize_t>(sizeof value);
            std::fflush(stdout);
            std::_Exit(sent ? 0 : 1);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "printfilter_bench: %s\n", e.what());
            std::_Exit(1);
        }
    }
    ::close(fds[1]);
    T value{};
    const bool got = pid > 0 && ::read(fds[0], &value, sizeof value) == static_cast<ssize_t>(sizeof value);
    ::close(fds[0]);
    int status = 0;
    if (pid > 0)
        ::waitpid(pid, &status, 0);
    if (!got || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return std::nullopt;
    return value;
}

std::string peerProgram(const Options& o, const std::string& relative) {
    if (o.peers.empty())
        return {};
    const std::string path = o.peers + "/" + relative;
    return ::access(path.c_str(), X_OK) == 0 ? path : std::string();
}

} // namespace

int main(int argc, char** argv) try {
    const Options opt = parse(argc, argv);
    std::string work = opt.work;
    if (work.empty()) {
        char tmpl[] = "/tmp/tbx-filter-bench-XXXXXX";
        if (!::mkdtemp(tmpl))
            throw std::runtime_error("cannot make a work folder");
        work = tmpl;
    }
    fs::create_directories(work);
    const std::string foo2zjs = peerProgram(opt, "usr/bin/foo2zjs");
    const std::string brlaser = peerProgram(opt, "usr/lib/cups/filter/rastertobrlaser");
    const bool havePbmtojbg = std::system("command -v pbmtojbg >/dev/null 2>&1") == 0;

    std::printf("Making the jobs with cupsfilter and %s ...\n", TBX_FILTER_PPD);
    std::fflush(stdout);
    std::vector<JobInputs> jobs;
    for (Content c : {Content::Text, Content::Mixed, Content::Photo})
        for (int pages : {1, 10})
            jobs.push_back(jobFiles(c, pages, work));
    const auto made = inChild<int>(false, [&] {
        for (const JobInputs& job : jobs)
            makeJob(job, TBX_FILTER_PPD, darkness);
        return 1;
    });
    if (!made)
        throw std::runtime_error("the jobs could not be made");
    for (JobInputs& job : jobs)
        job = jobFiles(job.content, job.pages, work);

    double load[3] = {};
    if (std::FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf %lf %lf", &load[0], &load[1], &load[2]) != 3)
            load[0] = -1;
        std::fclose(f);
    }
    std::printf("\nWhole processes on %dx%d pages, median of %d runs; %u cores, load %.2f when started\n",
                jobs[0].width, jobs[0].height, opt.runs, std::thread::hardware_concurrency(), load[0]);
    std::printf("%-9s %-18s %-18s %-18s %-18s %-18s\n", "job", "filter", "filter 1 thread", "pbmtojbg -q",
                "foo2zjs", "rastertobrlaser");

    struct Row {
        std::string name;
        Figure ours, one, pbm, foo, brl;
    };
    std::vector<Row> rows;
    bool identical = true;
    for (const JobInputs& job : jobs) {
        const std::string base = work + "/" + contentName(job.content) + "-" + std::to_string(job.pages);
        auto filter = [&](const std::string& threads, const std::string& out) {
            ProcessSpec s;
            s.argv = {TBX_FILTER_PROGRAM, "1", "bench", "bench", "1", "", job.raster};
            s.output = out;
            s.errors = base + ".filter.log";
            s.env = {{"PPD", TBX_FILTER_PPD},
                     {"TMPDIR", work},
                     {"TAMBERLYX_ENCODER_THREADS", threads},
                     {"DEVICE_URI", ""}};
            return std::vector<ProcessSpec>{s};
        };
        std::vector<ProcessSpec> pbmtojbg;
        if (havePbmtojbg)
            for (const std::string& pbm : job.pagePbm)
                pbmtojbg.push_back(ProcessSpec::command({"pbmtojbg", "-q", pbm, base + ".jbg"}));
        std::vector<ProcessSpec> foo;
        if (!foo2zjs.empty()) {
            ProcessSpec s = ProcessSpec::command(
                {foo2zjs, "-r600x600", "-g" + std::to_string(job.width) + "x" + std::to_string(job.height),
                 "-p9"});
            s.input = job.allPbm;
            s.output = base + ".zjs";
            foo.push_back(s);
        }
        std::vector<ProcessSpec> brl;
        if (!brlaser.empty()) {
            ProcessSpec s =
                ProcessSpec::command({brlaser, "1", "bench", "bench", "1", "", job.bilevelRaster});
            s.output = base + ".brl";
            s.env = {{"PPD", ""}};
            brl.push_back(s);
        }
        const std::vector<Figure> f =
            measureInTurns(opt.runs, job.pages,
                           {filter("", base + ".job"), filter("1", base + ".1.job"), pbmtojbg, foo, brl});
        Row row{std::string(contentName(job.content)) + " x" + std::to_string(job.pages),
                f[0],
                f[1],
                f[2],
                f[3],
                f[4]};
        if (withoutJobTime(slurp(base + ".job")) != withoutJobTime(slurp(base + ".1.job")))
            identical = false;
        std::printf("%-9s %s %s %s %s %s\n", row.name.c_str(), cell(row.ours).c_str(), cell(row.one).c_str(),
                    cell(row.pbm).c_str(), cell(row.foo).c_str(), cell(row.brl).c_str());
        std::fflush(stdout);
        rows.push_back(row);
    }

    std::printf("\nRatios, ms per page of the filter to the peer (filter with its default threads / with 1 "
                "thread)\n");
    std::printf("%-9s %-14s %-14s %-14s   %s\n", "job", "/ pbmtojbg", "/ foo2zjs", "/ brlaser",
                "memory / foo2zjs");
    for (const Row& r : rows) {
        char mem[32] = "    -";
        if (r.foo.msPerPage > 0)
            std::snprintf(mem, sizeof mem, "%5.2f / %5.2f", r.ours.peakMiB / r.foo.peakMiB,
                          r.one.peakMiB / r.foo.peakMiB);
        std::printf("%-9s %s / %s  %s / %s  %s / %s   %s\n", r.name.c_str(), ratio(r.ours, r.pbm).c_str(),
                    ratio(r.one, r.pbm).c_str(), ratio(r.ours, r.foo).c_str(), ratio(r.one, r.foo).c_str(),
                    ratio(r.ours, r.brl).c_str(), ratio(r.one, r.brl).c_str(), mem);
    }
    std::printf("\nJob streams with the default threads %s those with 1 thread (job time aside).\n",
                identical ? "are identical to" : "DIFFER from");
    if (foo2zjs.empty() || brlaser.empty())
        std::printf("Peers not found in \"%s\": run bench/printfilter-bench to fetch them.\n",
                    opt.peers.c_str());

    std::printf("\nStages of the page path on page 1 of each 1-page job, median of %d runs (ms)\n", opt.runs);
    std::printf("%-6s %6s %8s %8s %8s %7s %8s | %9s %9s | %9s %9s %9s\n", "page", "read", "scale1.0",
                "scale0.9", "halftone", "encode", "pbmtojbg", "staged1.0", "staged0.9", "stream1.0",
                "stream0.9", "turned");
    for (const JobInputs& job : jobs) {
        if (job.pages != 1)
            continue;
        const auto figures =
            inChild<StageFigures>(true, [&] { return measureStages(job.raster, darkness, opt.runs, work); });
        if (!figures)
            throw std::runtime_error("the stages of " + job.raster + " could not be measured");
        const StageFigures& s = *figures;
        std::printf("%-6s %6.1f %8.1f %8.1f %8.1f %7.1f %8.1f | %9.1f %9.1f | %9.1f %9.1f %9.1f\n",
                    contentName(job.content), s.read * 1e3, s.scale10 * 1e3, s.scale09 * 1e3,
                    s.halftone * 1e3, s.encode * 1e3, s.pbmtojbg * 1e3, s.staged10 * 1e3, s.staged09 * 1e3,
                    s.streamed10 * 1e3, s.streamed09 * 1e3, s.streamedTurned * 1e3);
    }
    std::printf(
        "read: raster page into a whole grey page; encode: JBIG into a spool file; pbmtojbg: a whole\n"
        "process on the same bitmap; staged: read, scale, halftone, encode one after another (the page\n"
        "path before rows were streamed); stream: raster rows streamed into the 1-bit page, without\n"
        "encoding (what the page loop's own thread does per page); turned: the same for a back side.\n");
    if (!opt.keep && opt.work.empty())
        fs::remove_all(work);
    return identical ? 0 : 1;
} catch (const std::exception& e) {
    std::fprintf(stderr, "printfilter_bench: %s\n", e.what());
    return 2;
}
