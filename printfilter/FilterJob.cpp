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

namespace {

void cancelWithScheduler(const JobOptions& job) {
    const int result = cupsCancelJob(job.PrinterName.c_str(), job.JobId);
    std::fprintf(stderr, "[Tamberlyx]cupsCancelJob int = %d\n", result);
    std::fprintf(stderr, "[Tamberlyx]cupsCancelJoblasterror = %s\n", cupsLastErrorString());
}

// The end of a cancelled job, on whichever thread carries it out. The reading thread may be
// waiting for raster that never comes, and encoders may be writing page files: the spool folder
// goes with whatever is in it, and the process ends at once, without running anything more.
[[noreturn]] void endCancelledJob(SpoolDirectory& spool) {
    spool.remove();
    std::fflush(stderr);
    std::_Exit(0);
}

// The printer takes nothing more of a cancelled job: the job ends without the printer's cancel
// command, which could not be sent either.
[[noreturn]] void endStalledJob(const JobOptions& job, const Messages& messages, SpoolDirectory& spool) {
    messages.jobCancelled();
    cancelWithScheduler(job);
    endCancelledJob(spool);
}

// Carries out the cancel: the printer's cancel command, the job cancelled with the scheduler, and
// the process ends.
[[noreturn]] void doCancelJob(JobStream& stream, const JobOptions& job, const Messages& messages,
                              SpoolDirectory& spool) {
    messages.jobCancelled();
    stream.sendCmd("CancelJob?");
    cancelWithScheduler(job);
    endCancelledJob(spool);
}

} // namespace

bool FilterPageSink::cancelRequested() {
    return cancellation::requested();
}

void FilterPageSink::cancelJob() {
    doCancelJob(stream_, job_, messages_, spool_);
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
    stream.onStalledCancel([&] { endStalledJob(job, messages, *spool); });

    RasterSource raster;
    raster.endWhenStalledAfter(cancellation::requested, kStalledCancelWait);
    std::string rasterError;
    if (!raster.open(job.rasterFile, env.rasterIn, &rasterError)) {
        // Cancelled before the upstream filter sent anything, and it sends nothing more.
        if (raster.gaveUp())
            doCancelJob(stream, job, messages, *spool);
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
    FilterPageSink sink(stream, job, messages, *spool);
    PageLoop loop(raster.get(), loopOptions, sink, *spool);
    const PageLoopResult result = loop.run(); // a cancel carried out does not come back
    spool->remove();
    if (result.failed) {
        // Nothing after the point of failure but the printer's cancel command (not even that once
        // the output itself has failed).
        stream.sendCmd("CancelJob?");
        return 1;
    }

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
