#include "printfilter/FilterJob.h"

#include "printfilter/Cancellation.h"
#include "printfilter/SpoolDirectory.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cups/cups.h>
#include <cups/raster.h>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace tbx {

FilterEnvironment FilterEnvironment::fromProcess() {
    FilterEnvironment env;
    env.ppdPath = std::getenv("PPD");
    env.appleLanguage = std::getenv("APPLE_LANGUAGE");
    env.lang = std::getenv("LANG");
    env.deviceUri = std::getenv("DEVICE_URI");
    return env;
}

void waitForConnection(SideChannel& side, double patience) {
    const auto started = std::chrono::steady_clock::now();
    while (side.present() && !cancellation::requested()) {
        const cups_sc_status_t status = side.request(CUPS_SC_CMD_GET_CONNECTED, 1.0);
        if (status == CUPS_SC_STATUS_OK || status == CUPS_SC_STATUS_NOT_IMPLEMENTED || !side.present())
            return;
        const std::chrono::duration<double> waited = std::chrono::steady_clock::now() - started;
        if (!side.answered() && waited.count() >= patience) {
            side.markAbsent("no backend has answered the connection question");
            return;
        }
        std::fprintf(stderr, "DEBUG:[Tamberlyx] Check Connecttion CUPS Stauts = %d \n",
                     static_cast<int>(status));
        if (status == CUPS_SC_STATUS_NO_RESPONSE || status == CUPS_SC_STATUS_IO_ERROR) {
            std::fprintf(stderr, "DEBUG:[Tamberlyx] CUPS_SC_STATUS_NO_RESPONSE or CUPS_SC_STATUS_IO_ERROR\n");
            cancellation::cancelJob();
            return;
        }
        struct timespec pause {
            1, 0
        };
        nanosleep(&pause, nullptr); // a SIGTERM ends the pause early
    }
}

bool FilterPageSink::cancelRequested() {
    return cancellation::requested();
}

void FilterPageSink::cancelJob() {
    messages_.jobCancelled();
    stream_.sendCmd("CancelJob?");
    const int result = cupsCancelJob(job_.PrinterName.c_str(), job_.JobId);
    std::fprintf(stderr, "[Tamberlyx]cupsCancelJob int = %d\n", result);
    std::fprintf(stderr, "[Tamberlyx]cupsCancelJoblasterror = %s\n", cupsLastErrorString());
}

namespace {

class RasterInput {
public:
    ~RasterInput() {
        if (ras_)
            cupsRasterClose(ras_);
        if (ownFd_ >= 0)
            ::close(ownFd_);
    }
    // Opens the raster file, or uses fd when there is none. On failure an "ERROR:" line says why.
    bool open(const std::string& file, int fd) {
        if (!file.empty()) {
            ownFd_ = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
            if (ownFd_ < 0) {
                std::fprintf(stderr, "ERROR: [Tamberlyx] cannot open the raster file %s: %s\n", file.c_str(),
                             std::strerror(errno));
                return false;
            }
            fd = ownFd_;
        }
        ras_ = cupsRasterOpen(fd, CUPS_RASTER_READ);
        if (!ras_) {
            std::fprintf(stderr, "ERROR: [Tamberlyx] no CUPS raster in the job's input: %s\n",
                         cupsRasterErrorString());
            return false;
        }
        return true;
    }
    cups_raster_t* get() const { return ras_; }

private:
    cups_raster_t* ras_ = nullptr;
    int ownFd_ = -1;
};

} // namespace

int runFilter(int argc, const char* const* argv, const FilterEnvironment& env) {
    cancellation::installHandler();
    std::signal(SIGPIPE, SIG_IGN); // a vanished backend shows as a failed write, not a killed filter

    if (argc < 6) {
        std::fprintf(stderr, "ERROR: %s\n", usageLine(argc > 0 ? argv[0] : nullptr).c_str());
        return 1;
    }
    JobOptions job = parseJobArguments(argc, argv);

    const auto marked = readMarkedChoices(env.ppdPath, job.optionText);
    if (!marked) {
        std::fprintf(stderr, "DEBUG:[Tamberlyx]illegal option.return 0\n");
        std::fprintf(stderr, "ERROR: [Tamberlyx] the job options cannot be read\n");
        return 1;
    }
    const std::string tag = languageTag(env.appleLanguage, env.lang);
    const Messages messages(languageOf(tag));
    cancellation::setLanguage(messages.language());
    applyMarkedChoices(job, *marked);

    RasterInput raster;
    if (!raster.open(job.rasterFile, env.rasterIn))
        return 1;
    std::string spoolError;
    auto spool = SpoolDirectory::create(&spoolError, env.spoolRoot);
    if (!spool) {
        std::fprintf(stderr, "ERROR: [Tamberlyx] cannot create the job's spool folder: %s\n",
                     spoolError.c_str());
        return 1;
    }

    std::unique_ptr<SideChannel> ownSide;
    SideChannel* side = env.side;
    if (!side) {
        ownSide = std::make_unique<CupsSideChannel>(env.deviceUri);
        side = ownSide.get();
    }
    waitForConnection(*side);

    if (job.collate)
        job.jobCopies.assign(1, '1'); // the printer prints each page once; the filter sends the copies
    JobStream stream(env.streamOut, *side);
    stream.startOfJob();
    stream.sendJobHeader(job, std::time(nullptr));

    PageLoopOptions loopOptions;
    loopOptions.isDuplex = job.isDuplex;
    loopOptions.collate = job.collate;
    loopOptions.copies = job.copies;
    loopOptions.scaleRatio = job.scaleRatio;
    loopOptions.imageDarkness = job.imageDarkness_type;
    FilterPageSink sink(stream, job, messages);
    PageLoop loop(raster.get(), loopOptions, sink, *spool);
    const PageLoopResult result = loop.run();
    spool->remove();
    if (result.cancelled)
        return 0;

    if (result.softFailure)
        cancellation::cancelJob();
    stream.endOfJob();
    messages.allDataSent();
    if (result.softFailure || stream.outputFailed()) {
        std::fprintf(stderr, "ERROR: [Tamberlyx] the job could not be printed in full\n");
        return 1;
    }
    return 0;
}

} // namespace tbx
