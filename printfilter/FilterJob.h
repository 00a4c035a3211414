#pragma once

// One print job from the filter's arguments to its exit status: job options and PPD choices, the
// raster input, the connection wait, "Event=StartOfJob;" and the job header, the page loop, the end
// of the job or its cancellation.

#include "printfilter/JobOptions.h"
#include "printfilter/JobStream.h"
#include "printfilter/Messages.h"
#include "printfilter/PageLoop.h"
#include "printfilter/SpoolDirectory.h"

namespace tbx {

// Where the job reads its settings and writes its stream: the process's own environment and
// descriptors in the filter, a test's own in tests.
struct FilterEnvironment {
    const char* ppdPath = nullptr;       // "PPD"
    const char* appleLanguage = nullptr; // "APPLE_LANGUAGE"
    const char* lang = nullptr;          // "LANG"
    const char* deviceUri = nullptr;     // "DEVICE_URI": the queue's device
    int rasterIn = 0;                    // raster when the arguments name no file
    int streamOut = 1;                   // the printer's job stream
    SideChannel* side = nullptr;         // null: the scheduler's side channel
    std::string spoolRoot;               // empty: "TMPDIR", else the system's temporary folder

    static FilterEnvironment fromProcess();
};

// Asks the backend whether the printer is connected, once a second, until it answers OK (or says
// it does not implement the question), the job is cancelled, or it turns out that no backend
// answers at all: a channel that has stayed silent for patience seconds is taken to have nobody
// behind it. A backend that reports the printer gone (no response, I/O error) cancels the job.
inline constexpr double kConnectionPatienceSeconds = 30.0;
void waitForConnection(SideChannel& side, double patience = kConnectionPatienceSeconds);

// The filter's job stream and messages behind the page loop.
class FilterPageSink : public PageSink {
public:
    FilterPageSink(JobStream& stream, const JobOptions& job, const Messages& messages, SpoolDirectory& spool)
        : stream_(stream), job_(job), messages_(messages), spool_(spool) {}

    bool cancelRequested() override;
    // "CancelJob?" to the printer, the job cancelled with the scheduler, the spool folder removed,
    // and the process ends with status 0, whatever its other threads are doing.
    [[noreturn]] void cancelJob() override;
    void pageConverted(int n) override { messages_.pageConverted(n); }
    void pageSending(int n) override { messages_.pageSending(n); }
    void sendPageHeader(int width, int height) override { stream_.sendPageHeader(job_, width, height); }
    bool sendPageData(const std::string& path) override { return stream_.sendPageData(path) == 0; }
    void endOfPage() override { stream_.endOfPage(); }
    void pageSent(int n, int copies) override { messages_.pageSent(n, copies); }
    bool printerLost() override { return stream_.outputFailed(); }

private:
    JobStream& stream_;
    const JobOptions& job_;
    const Messages& messages_;
    SpoolDirectory& spool_;
};

// The whole filter: returns the process exit status, or ends the process with status 0 once a
// cancel is carried out. 0 for a printed job; 1, with an "ERROR:" line naming the cause, when the
// arguments are wrong (copies other than a whole number from 1 to 9999), there is no raster or no
// page in it, the raster was refused or ends inside a page, a spool file cannot be written, the
// printer connection is lost, or pages were lost otherwise. A job that fails after its start ends
// its stream with "CancelJob?". Once cancelled, raster input that brings nothing for
// kStalledCancelWait counts as ended and the cancel is carried out with the pages sent so far.
int runFilter(int argc, const char* const* argv, const FilterEnvironment& env);

} // namespace tbx
