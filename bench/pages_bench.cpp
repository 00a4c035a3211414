// Time per page and peak memory of the page files: an A4 300 dpi grey page
// saved as JPEG, a 600 dpi TEXT page saved as BMP, two pages joined into a
// sheet, and a 20-page PDF; beside each, the same step done by a command-line
// tool (ImageMagick's convert; Ghostscript and img2pdf for the PDF, whose coder
// ImageMagick's policy disables here). Each measurement runs in its own child
// process, so its peak resident size is its own. The scan as a whole, saving
// included, is scan_bench's.
//   pages_bench [repetitions]
#include "ProcessRun.h"
#include "platform/foundation/Print.h"
#include "platform/posix/PosixIO.h"
#include "scanning/ImageProcessing.h"

#include <QBuffer>
#include <QImage>
#include <QImageWriter>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tbx;

namespace {

// A page that looks like print: white paper, dark lines of "words", a grey
// photo block. Flat white makes JPEG unrealistically cheap.
QImage syntheticPage(int w, int h) {
    QImage page(w, h, QImage::Format_Grayscale8);
    std::uint32_t seed = 12345;
    for (int y = 0; y < h; ++y) {
        uchar* row = page.scanLine(y);
        const bool textLine = (y / (h / 120)) % 2 == 0;
        for (int x = 0; x < w; ++x) {
            seed = seed * 1664525u + 1013904223u;
            uchar v = 245 + (seed >> 29);
            if (textLine && x > w / 12 && x < w - w / 12 && ((x / 11) % 7) != 0 && ((seed >> 20) & 3))
                v = 20 + (seed >> 28);
            if (y > h / 2 && y < h / 2 + h / 5 && x > w / 5 && x < w / 2)
                v = static_cast<uchar>((x + y) % 256);
            row[x] = v;
        }
    }
    return page;
}

std::vector<std::uint8_t> jpeg(const QImage& image, int quality) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(quality);
    writer.write(image);
    return {bytes.begin(), bytes.end()};
}

void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    if (writeFileWhole(path, bytes))
        std::exit(2);
}

std::vector<std::uint8_t> readFile(const std::string& path) {
    const posix::FileContents file = posix::readFile(path);
    if (!file.ok()) {
        std::fprintf(stderr, "cannot read %s: %s\n", path.c_str(), std::strerror(file.error));
        std::exit(2);
    }
    return {file.bytes.begin(), file.bytes.end()};
}

using Figure = bench::ProcessRun;

// Runs `work` in a child process; wall time of the child and its peak RSS.
Figure measure(const std::function<bool()>& work) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        TraceCapture quiet; // the trace lines are not what is measured
        std::_Exit(work() ? 0 : 1);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    Figure f;
    f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    f.peakKiB = usage.ru_maxrss;
    f.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return f;
}

void row(const char* what, const char* who, const Figure& f, int pages) {
    std::printf("%-34s %-22s %9.1f ms/page %8.1f MiB peak%s\n", what, who, f.seconds * 1000.0 / pages,
                f.peakKiB / 1024.0, f.ok ? "" : "  (FAILED)");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    char templ[] = "/tmp/pages-bench-XXXXXX";
    if (!mkdtemp(templ))
        return 1;
    const std::string dir = templ;
    const bool haveConvert = access("/usr/bin/convert", X_OK) == 0;
    const bool haveGs = access("/usr/bin/gs", X_OK) == 0;
    const bool haveImg2pdf = access("/usr/bin/img2pdf", X_OK) == 0;

    ScanParam param;
    param.mode = "GRAY256";
    param.w = 2432;
    param.h = 3441;
    param.combineType = "NoCombine";
    param.fileType = "JPEG";
    param.filePath = dir + "/p";

    // Inputs: the scanner's A4 300 dpi grey JPEG, a 600 dpi TEXT page. Made in
    // a child: Qt's conversions start worker threads, which a later fork()
    // would not carry into the measured children.
    measure([&] {
        const QImage a4 = syntheticPage(2432, 3441);
        const auto scannerJpeg = jpeg(a4, 85);
        writeFile(dir + "/scanner.jpg", scannerJpeg);
        const QImage text =
            syntheticPage(4864, 6882).convertToFormat(QImage::Format_Mono, Qt::ThresholdDither);
        std::vector<std::uint8_t> textData;
        for (int y = 0; y < text.height(); ++y) {
            const uchar* line = text.constScanLine(y);
            textData.insert(textData.end(), line, line + 4864 / 8);
        }
        {
            std::string pbm = "P4\n4864 6882\n";
            std::vector<std::uint8_t> bytes(pbm.begin(), pbm.end());
            for (auto b : textData)
                bytes.push_back(static_cast<std::uint8_t>(~b)); // PBM: set bit is black
            writeFile(dir + "/text.pbm", bytes);
        }

        writeFile(dir + "/text.raw", textData);
        return true;
    });
    const auto scannerJpeg = readFile(dir + "/scanner.jpg");
    const auto textData = readFile(dir + "/text.raw");
    std::printf("page files benchmark, %d repetitions each (%s)\n\n", reps, dir.c_str());

    // 1. A4 300 dpi grey page as JPEG.
    row("A4 300 dpi grey -> JPEG", "saveImages", measure([&] {
            bool ok = true;
            for (int i = 0; i < reps; ++i)
                ok = saveImages(param, 1, scannerJpeg).status && ok;
            return ok;
        }),
        reps);
    if (haveConvert)
        row("", "convert -quality 20",
            bench::runShellScript("sh -c 'for i in $(seq " + std::to_string(reps) +
                                  "); do /usr/bin/convert " + dir + "/scanner.jpg -quality 20 " + dir +
                                  "/im.jpg; done'"),
            reps);

    // 1b. The same page turned a quarter.
    param.rotateAngle = 90;
    row("A4 300 dpi grey, 90 deg -> JPEG", "saveImages", measure([&] {
            bool ok = true;
            for (int i = 0; i < reps; ++i)
                ok = saveImages(param, 1, scannerJpeg).status && ok;
            return ok;
        }),
        reps);
    if (haveConvert)
        row("", "convert -rotate -90",
            bench::runShellScript("sh -c 'for i in $(seq " + std::to_string(reps) +
                                  "); do /usr/bin/convert " + dir + "/scanner.jpg -rotate -90 -quality 20 " +
                                  dir + "/im.jpg; done'"),
            reps);
    param.rotateAngle = 0;

    // 2. A 600 dpi TEXT page as BMP.
    ScanParam textParam = param;
    textParam.mode = "TEXT";
    textParam.fileType = "BMP";
    textParam.w = 4864;
    textParam.h = 6882;
    row("A4 600 dpi TEXT -> BMP", "saveImages", measure([&] {
            bool ok = true;
            for (int i = 0; i < reps; ++i)
                ok = saveImages(textParam, 1, textData).status && ok;
            return ok;
        }),
        reps);
    if (haveConvert)
        // "-type bilevel" (a 1-bit BMP like ours) runs for minutes under the
        // system policy's 256 MiB pixel cache; the plain call writes 24-bit.
        row("", "convert PBM -> BMP3 24b",
            bench::runShellScript("sh -c 'for i in $(seq " + std::to_string(reps) +
                                  "); do /usr/bin/convert " + dir + "/text.pbm BMP3:" + dir +
                                  "/im.bmp; done'"),
            reps);

    // 3. Two A4 pages side by side (scaled to 70 % as they are saved, then joined).
    ScanParam combine = param;
    combine.combineType = "CombinHorizontal";
    row("2 pages 70 % + sheet (per sheet)", "save2JPEG + combine", measure([&] {
            bool ok = true;
            for (int i = 0; i < reps; ++i) {
                ok = saveImages(combine, 1, scannerJpeg).status && ok;
                ok = saveImages(combine, 2, scannerJpeg).status && ok;
                ok = combineImage(2, 0, combine).status && ok;
            }
            return ok;
        }),
        reps);
    if (haveConvert)
        row("", "convert +append",
            bench::runShellScript("sh -c 'for i in $(seq " + std::to_string(reps) +
                                  "); do /usr/bin/convert " + dir + "/scanner.jpg " + dir +
                                  "/scanner.jpg -resize 1720x2432! +append -quality 20 " + dir +
                                  "/im.jpg; done'"),
            reps);

    // 4. A 20-page PDF of A4 JPEG pages (the pages as saveImages writes them).
    measure([&] {
        for (int i = 1; i <= 20; ++i)
            saveImages(param, i, scannerJpeg);
        return true;
    });
    const std::string pdfDir = dir + "/pdf";
    mkdir(pdfDir.c_str(), 0755);
    row("20-page PDF", "save2PDF", measure([&] {
            bool ok = true;
            for (int i = 0; i < reps; ++i)
                ok = save2PDF(param, 20, pdfDir, "A4").status && ok;
            return ok;
        }),
        20 * reps);
    if (haveGs) {
        std::string pages;
        for (int i = 1; i <= 20; ++i)
            pages += " (" + pageFileName(param.filePath, i, ".jpg") + ") viewJPEG showpage";
        row("", "gs pdfwrite viewjpeg",
            bench::runShellScript("sh -c 'for i in $(seq " + std::to_string(reps) +
                                  "); do gs -q -dNOSAFER -sDEVICE=pdfwrite -o " + dir +
                                  "/gs.pdf viewjpeg.ps -c \"" + pages + "\"; done'"),
            20 * reps);
    }
    if (haveImg2pdf)
        row("", "img2pdf",
            bench::runShellScript("/usr/bin/img2pdf --pagesize A4 --fit exact " + dir + "/p-00*.jpg -o " +
                                  dir + "/im.pdf"),
            20);

    std::system(("rm -rf '" + dir + "'").c_str());
    return 0;
}
