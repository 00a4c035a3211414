#include "printfilter/FilterJob.h"

#include "printfilter/Cancellation.h"
#include "printfilter/RasterSource.h"
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
#include <memory>
#include <thread>
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
        nanosleep(&pause, nullptr); // a cancel signal ends the pause early
    }
}

namespace {

void cancelWithScheduler(const JobOptions& job) {
    // The scheduler reads 0 as the queue's current job and -1 as every job of the queue: a filter
    // run by hand or by a wrapper with any other id than a real one must not cancel other jobs.
    if (job.JobId <= 0) {
        std::fprintf(stderr,
                     "DEBUG:[Tamberlyx] the job id \"%s\" is not a positive decimal number the "
                     "scheduler can take: the job is not cancelled with the scheduler\n",
                     printableForLog(job.jobIdText).c_str());
        return;
    }
    const int result = cupsCancelJob(job.PrinterName.c_str(), job.JobId);
    std::fprintf(stderr, "[Tamberlyx]cupsCancelJob int = %d\n", result);
    std::fprintf(stderr, "[Tamberlyx]cupsCancelJoblasterror = %s\n", cupsLastErrorString());
}

} // namespace

bool JobEnd::begin() {
    if (!begun_.exchange(true)) {
        owner_ = std::this_thread::get_id();
        return true;
    }
    if (owner_.load() == std::this_thread::get_id())
        return false;
    // Another thread is ending the job, and the process with it.
    for (;;)
        pause();
}

void JobEnd::cancelCommand() {
    if (stream_.jobStarted())
        stream_.sendCmd("CancelJob?");
    else
        std::fprintf(stderr,
                     "DEBUG:[Tamberlyx] the job had not begun on the printer: nothing is sent to it\n");
}

void JobEnd::cancel(bool sendCommand) {
    if (!begin())
        return;
    messages_.jobCancelled();
    if (sendCommand)
        cancelCommand();
    cancelWithScheduler(job_);
    // The reading thread may be waiting for raster that never comes, and encoders may be writing
    // page files: the spool folder goes with whatever is in it, and the process ends at once,
    // without running anything more.
    spool_.remove();
    std::fflush(stderr);
    std::_Exit(0);
}

int JobEnd::finish(bool softFailure) {
    if (!begin())
        return 0;
    spool_.remove();
    if (softFailure)
        cancellation::cancelJob();
    stream_.endOfJob();
    // The stream may give up on the printer of a cancelled job here (it has said so): that is
    // no failure of the job, and not all of its data was sent.
    if (!stream_.gaveUp())
        messages_.allDataSent();
    if (softFailure || (stream_.outputFailed() && !stream_.gaveUp())) {
        std::fprintf(stderr, "ERROR: [Tamberlyx] the job could not be printed in full\n");
        return 1;
    }
    return 0;
}

int JobEnd::fail() {
    if (!begin())
        return 1;
    spool_.remove();
    // Nothing after the point of failure but the printer's cancel command (not even that once the
    // output itself has failed).
    cancelCommand();
    return 1;
}

bool FilterPageSink::cancelRequested() {
    return cancellation::requested();
}

int runFilter(int argc, const char* const* argv, const FilterEnvironment& env) {
    cancellation::installHandler();
    std::signal(SIGPIPE, SIG_IGN); // a vanished backend shows as a failed write, not a killed filter

    if (argc < 6) {
        std::fprintf(stderr, "ERROR: %s\n", usageLine(argc > 0 ? argv[0] : nullptr).c_str());
        return 1;
    }
    JobOptions job = parseJobArguments(argc, argv);
    // The copies go into the printer's stream or become as many passes over the document: only
    // what the scheduler itself allows is taken.
    const auto copies = parseCopies(argv[4]);
    if (!copies) {
        std::fprintf(
            stderr,
            "ERROR: [Tamberlyx] the number of copies must be a whole number from 1 to %d, not \"%s\"\n",
            kMaxCopies, printableForLog(argv[4] ? argv[4] : "").c_str());
        return 1;
    }
    job.copies = *copies;
    job.jobCopies = std::to_string(*copies);

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
    JobStream stream(env.streamOut, *side);
    JobEnd end(stream, job, messages, *spool);
    // The printer of a cancelled job takes nothing more, or not the page in time: the job ends
    // without the cancel command, which would not get through, or would land inside the page.
    stream.onStalledCancel([&end] { end.cancel(false); });

    RasterSource raster;
    raster.endAfterCancel(cancellation::requestedAt, kInputAfterCancel);
    std::string rasterError;
    if (!raster.open(job.rasterFile, env.rasterIn, &rasterError)) {
        // Cancelled before the upstream filter sent a raster, and it ended or sends nothing more:
        // the job has not begun on the printer, which gets nothing.
        if (raster.gaveUp())
            end.cancel(true);
        std::fprintf(stderr, "ERROR: [Tamberlyx] %s\n", rasterError.c_str());
        return 1;
    }
    waitForConnection(*side);

    if (job.collate)
        job.jobCopies.assign(1, '1'); // the printer prints each page once; the filter sends the copies
    stream.startOfJob();
    stream.sendJobHeader(job, std::time(nullptr));

    PageLoopOptions loopOptions;
    loopOptions.isDuplex = job.isDuplex;
    loopOptions.collate = job.collate;
    loopOptions.copies = job.copies;
    loopOptions.scaleRatio = job.scaleRatio;
    loopOptions.imageDarkness = job.imageDarkness_type;
    loopOptions.checkRasterEnd = [&raster] { return raster.endProblem(); };
    loopOptions.inputGaveUp = [&raster] { return raster.gaveUp(); };
    loopOptions.endInput = [&raster] { raster.endNow(); };
    FilterPageSink sink(stream, job, messages, end);
    PageLoop loop(raster.get(), loopOptions, sink, *spool);
    const PageLoopResult result = loop.run(); // a cancel carried out does not come back
    if (result.failed)
        return end.fail();
    return end.finish(result.softFailure);
}

} // namespace tbx
