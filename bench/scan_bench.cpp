// Saving a scan: 40 colour pages at 300 dpi (A4) from the simulated scanner,
// over USB and over TCP, kept as JPEG pages, gathered into a PDF, and combined
// two to a sheet. Beside each, what a user would do with the scanner's own
// pages: ImageMagick's convert at the same quality (and img2pdf for the PDF).
// Figures: whole scan and saving alone in ms per page, the files' bytes, and
// peak memory, with the ratios against the tools. Each scan runs in a child
// process of its own (the TCP scanner in a further one, so its pages do not
// count), each tool under time(1); so every peak is that run's own.
//   scan_bench [pages]      (inside scripts/sandbox: the TCP scanner listens on loopback)
#include "ProcessRun.h"
#include "scanning/ImageProcessing.h"
#include "scanning/ScanOptions.h"
#include "scanning/ScanParameters.h"
#include "scanning/SocketScanProcess.h"
#include "scanning/UsbScanProcess.h"
#include "sim/scanner/TcpScanner.h"
#include "sim/scanner/UsbScanner.h"

#include <QGuiApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tbx;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

enum class Output { jpeg, pdf, combined };

const char* outputName(Output output) {
    return output == Output::jpeg ? "JPEG pages" : output == Output::pdf ? "PDF" : "combined sheets";
}

struct Figures {
    double scanSeconds = 0; // the whole scan, saving included
    double saveSeconds = 0; // the page writer, and combining or the PDF
    std::uint64_t bytes = 0;
    long peakKiB = 0;
    int pages = 0;
    bool ok = false;
};

std::uint64_t bytesUnder(const std::string& dir) {
    std::uint64_t total = 0;
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(dir, ec))
        if (entry.is_regular_file())
            total += entry.file_size();
    return total;
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Runs `work` in a child with standard output and error on /dev/null (the
// scan's trace lines go there, as they would to a terminal nobody reads); its
// figures come back through a pipe, its peak from wait4.
Figures inChild(const std::function<Figures()>& work) {
    int channel[2];
    if (pipe(channel) != 0)
        std::exit(2);
    const pid_t pid = fork();
    if (pid == 0) {
        close(channel[0]);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        const Figures f = work();
        if (write(channel[1], &f, sizeof f) != sizeof f)
            std::_Exit(3);
        std::_Exit(0);
    }
    close(channel[1]);
    Figures f;
    const bool got = read(channel[0], &f, sizeof f) == sizeof f;
    close(channel[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    f.ok = got && f.ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    f.peakKiB = usage.ru_maxrss;
    return f;
}

UIParams settings(Output output, const std::string& dir) {
    auto indexOf = [](const std::vector<std::string>& list, const std::string& value) {
        return std::int64_t(std::find(list.begin(), list.end(), value) - list.begin());
    };
    return UIParams{.scannerName = "Tamberlyx",
                    .scanSourceIndex = indexOf(scanSourceOption(), "ADF"),
                    .colorModeIndex = indexOf(colorModeOption(), "CGRAY"),
                    .resolutionIndex = indexOf(resolutionOption(), "300dpi"),
                    .pageSizeIndex = indexOf(pageSizeOption(), "A4"),
                    .saveTypeIndex = output == Output::pdf ? 1 : 0,
                    .combineTypeIndex = indexOf(
                        combineTypeOption(), output == Output::combined ? "CombinHorizontal" : "NoCombine"),
                    .savePrefix = "scan",
                    .saveDir = dir,
                    .saveFileName = "scan"};
}

// The scanner's settings for the pages of `param`.
sim::ScanSettings scannerSettings(const ScanParam& param) {
    sim::ScanSettings s;
    s.mode = param.mode;
    s.resolution = param.resolution;
    s.w = param.w;
    s.h = param.h;
    return s;
}

// The whole image stream of `pages` pages, one piece a page (its blocks and
// trailer) and the status byte.
std::vector<sim::Bytes> pageStream(const sim::ScanSettings& settings, int pages) {
    std::vector<sim::Bytes> pieces;
    for (int n = 1; n <= pages; ++n) {
        const sim::Bytes page = sim::ScannerEngine::makePage(settings, n, sim::ScannerScript{}.jpegQuality);
        sim::Bytes piece;
        for (std::size_t at = 0; at < page.size(); at += 32768) {
            const std::size_t length = std::min<std::size_t>(32768, page.size() - at);
            const std::uint8_t header[12] = {0, 0, 0, std::uint8_t(n),      std::uint8_t(n >> 8),     0, 0,
                                             0, 0, 0, std::uint8_t(length), std::uint8_t(length >> 8)};
            piece.insert(piece.end(), header, header + 12);
            piece.insert(piece.end(), page.begin() + std::ptrdiff_t(at),
                         page.begin() + std::ptrdiff_t(at + length));
        }
        const std::uint8_t trailer[10] = {0x82};
        piece.insert(piece.end(), trailer, trailer + 10);
        pieces.push_back(std::move(piece));
    }
    pieces.push_back({0x80});
    return pieces;
}

// A TCP scanner in a process of its own, with its pages made before the scan
// starts (a real scanner's work costs the host nothing); answers its port, or 0.
std::uint16_t startTcpScanner(const ScanParam& param, int pages, pid_t& scannerPid, int& holdOpen) {
    int portPipe[2], hold[2];
    if (pipe(portPipe) != 0 || pipe(hold) != 0)
        return 0;
    scannerPid = fork();
    if (scannerPid == 0) {
        close(portPipe[0]);
        close(hold[1]);
        sim::ScannerScript script;
        script.rawStream = pageStream(scannerSettings(param), pages);
        sim::TcpScanner scanner(script);
        const std::uint16_t port = scanner.port();
        if (write(portPipe[1], &port, sizeof port) != sizeof port)
            std::_Exit(3);
        char byte = 0;
        while (read(hold[0], &byte, 1) > 0) {
        }
        scanner.stop();
        std::_Exit(0);
    }
    close(portPipe[1]);
    close(hold[0]);
    std::uint16_t port = 0;
    if (read(portPipe[0], &port, sizeof port) != sizeof port)
        port = 0;
    close(portPipe[0]);
    holdOpen = hold[1];
    return port;
}

Figures scan(const std::string& transport, Output output, int pages, const std::string& dir) {
    return inChild([&] {
        Figures f;
        fs::create_directories(dir);
        const ScanParam param = scanParameters(settings(output, dir), dir);
        sim::ScannerScript script;
        script.pages = pages;
        pid_t scannerPid = -1;
        int holdOpen = -1;
        std::uint16_t port = 0;
        if (transport == "tcp") {
            port = startTcpScanner(param, pages, scannerPid, holdOpen); // before Qt starts any thread
            if (port == 0)
                return f;
        }
        int argc = 1;
        char name[] = "scan_bench";
        char* argv[] = {name, nullptr};
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        QGuiApplication app(argc, argv);

        auto command = std::make_shared<ScanCommand>(param);
        auto timedWriter = [&](const ScanParam& p, std::int64_t pageNo, std::span<const std::uint8_t> data) {
            const auto start = Clock::now();
            ResultPair saved = saveImages(p, pageNo, data);
            f.saveSeconds += secondsSince(start);
            return saved;
        };

        const auto start = Clock::now();
        ResultPair result;
        std::shared_ptr<sim::usb::Bus> bus;
        std::unique_ptr<sim::UsbScanner> usbScanner;
        if (transport == "usb") {
            bus = sim::usb::Bus::install();
            usbScanner = std::make_unique<sim::UsbScanner>(script);
            bus->plug(usbScanner->device());
            UsbScanProcess process(Device("Tamberlyx", "Tamberlyx", "USB", "", 0x37, 0x356C), command,
                                   timedWriter);
            result = process.startScan();
        } else {
            SocketScanProcess::Options options;
            options.port = port;
            options.writePage = timedWriter;
            SocketScanProcess process(
                Device("Tamberlyx", "Tamberlyx(127.0.0.1)", "Net", "127.0.0.1", 0x37, 0x356C), command,
                options);
            result = process.startScan();
        }
        f.pages = std::atoi(result.message.c_str());
        bool ok = result.status && f.pages == pages;
        const auto after = Clock::now();
        if (ok && output == Output::combined)
            ok = combineImage(f.pages, 0, command->param).status;
        if (ok && output == Output::pdf) {
            ok = save2PDF(command->param, f.pages, dir, "A4").status;
            for (int i = 1; i <= f.pages; ++i)
                fs::remove(pageFileName(command->param.filePath, i, ".jpg"));
        }
        f.saveSeconds += secondsSince(after);
        f.scanSeconds = secondsSince(start);
        f.bytes = bytesUnder(dir);
        f.ok = ok;
        if (bus && usbScanner)
            bus->unplug(usbScanner->device());
        if (holdOpen >= 0) {
            close(holdOpen);
            waitpid(scannerPid, nullptr, 0);
        }
        return f;
    });
}

// A shell command under time(1): wall time of the whole and the peak of its
// largest process.
Figures tool(const std::string& command, const std::string& outputs, int pages) {
    const bench::ProcessRun run = bench::runShellScript(command);
    Figures f;
    f.scanSeconds = f.saveSeconds = run.seconds;
    f.ok = run.ok;
    f.pages = pages;
    f.peakKiB = run.peakKiB;
    f.bytes = bytesUnder(outputs);
    return f;
}

void row(const std::string& what, const std::string& who, const Figures& f, int pages, bool whole) {
    char wholeText[32] = "";
    if (whole)
        std::snprintf(wholeText, sizeof wholeText, "%8.1f", f.scanSeconds * 1000.0 / pages);
    else
        std::snprintf(wholeText, sizeof wholeText, "%8s", "-");
    std::printf("%-16s %-24s %s %9.1f %11.0f %11llu %8.1f%s\n", what.c_str(), who.c_str(), wholeText,
                f.saveSeconds * 1000.0 / pages, double(f.bytes) / pages,
                static_cast<unsigned long long>(f.bytes), f.peakKiB / 1024.0, f.ok ? "" : "  (FAILED)");
    std::fflush(stdout);
}

void ratios(const std::string& who, const Figures& ours, const Figures& theirs) {
    if (!ours.ok || !theirs.ok || theirs.saveSeconds <= 0 || theirs.bytes == 0 || theirs.peakKiB == 0)
        return;
    std::printf("%-16s %-24s %8s %8.2fx %10.2fx %11s %7.2fx\n", "", ("ratio to " + who).c_str(), "",
                ours.saveSeconds / theirs.saveSeconds, double(ours.bytes) / double(theirs.bytes), "",
                double(ours.peakKiB) / double(theirs.peakKiB));
}

} // namespace

int main(int argc, char** argv) {
    const int pages = argc > 1 ? std::clamp(std::atoi(argv[1]), 2, 999) : 40;
    char templ[] = "/tmp/scan-bench-XXXXXX";
    if (!mkdtemp(templ))
        return 1;
    const std::string dir = templ;
    const bool haveConvert = access("/usr/bin/convert", X_OK) == 0;
    const bool haveImg2pdf = access("/usr/bin/img2pdf", X_OK) == 0;

    // The scanner's own pages, for the tools: the same JPEG files the
    // simulated scanner sends. Made in a child, so no Qt thread lives here.
    const std::string scannerPages = dir + "/scanner";
    inChild([&] {
        fs::create_directories(scannerPages);
        const sim::ScanSettings s = scannerSettings(scanParameters(settings(Output::jpeg, dir), dir));
        for (int i = 1; i <= pages; ++i) {
            const auto page = sim::ScannerEngine::makePage(s, i, sim::ScannerScript{}.jpegQuality);
            if (writeFileWhole(pageFileName(scannerPages + "/p", i, ".jpg"), page))
                return Figures{};
        }
        Figures f;
        f.ok = true;
        return f;
    });

    std::printf("scan saving, %d colour pages at 300 dpi (A4), %s\n", pages, dir.c_str());
    std::printf("%-16s %-24s %8s %9s %11s %11s %8s\n", "output", "", "scan", "saving", "bytes/page", "bytes",
                "peak");
    std::printf("%-16s %-24s %8s %9s %11s %11s %8s\n", "", "", "ms/page", "ms/page", "", "", "MiB");

    Figures toolJpeg, toolPdf, toolCombined;
    if (haveConvert) {
        fs::create_directories(dir + "/im");
        toolJpeg = tool("for f in " + scannerPages + "/*.jpg; do /usr/bin/convert \"$f\" -quality 20 " + dir +
                            "/im/$(basename \"$f\"); done",
                        dir + "/im", pages);
        fs::create_directories(dir + "/im-sheets");
        toolCombined = tool("set -- " + scannerPages + "/*.jpg; n=0; while [ $# -gt 0 ]; do n=$((n+1)); " +
                                "/usr/bin/convert \"$1\" ${2:+\"$2\"} -resize 70% +append -quality 20 " +
                                dir + "/im-sheets/$n.jpg; shift; [ $# -gt 0 ] && shift; done",
                            dir + "/im-sheets", pages);
        if (haveImg2pdf) {
            fs::create_directories(dir + "/im-pdf");
            toolPdf = tool("/usr/bin/img2pdf --pagesize A4 --fit exact " + dir + "/im/*.jpg -o " + dir +
                               "/im-pdf/scan.pdf",
                           dir + "/im-pdf", pages);
            // The PDF a user gets this way costs the pages' conversion too.
            toolPdf.saveSeconds += toolJpeg.saveSeconds;
            toolPdf.scanSeconds = toolPdf.saveSeconds;
            toolPdf.peakKiB = std::max(toolPdf.peakKiB, toolJpeg.peakKiB);
        }
    }

    for (const Output output : {Output::jpeg, Output::pdf, Output::combined}) {
        const Figures* theirs = output == Output::jpeg  ? &toolJpeg
                                : output == Output::pdf ? &toolPdf
                                                        : &toolCombined;
        const std::string theirName = output == Output::jpeg  ? "convert -quality 20"
                                      : output == Output::pdf ? "convert + img2pdf"
                                                              : "convert +append";
        for (const std::string transport : {"usb", "tcp"}) {
            const std::string out = dir + "/" + transport + "-" + std::to_string(int(output));
            const Figures ours = scan(transport, output, pages, out);
            row(outputName(output), "scan over " + transport, ours, pages, true);
            if (theirs->ok)
                ratios(theirName, ours, *theirs);
            fs::remove_all(out);
        }
        if (theirs->ok)
            row("", theirName, *theirs, pages, false);
    }
    std::printf(
        "\nscan: the whole scan (the simulated USB scanner making its pages counts there; the TCP one\n"
        "made them beforehand, in a process of its own); saving: the page writer plus combining or\n"
        "the PDF. Ratios: saving time, bytes and peak memory against the tool's.\n");
    fs::remove_all(dir);
    return 0;
}
