#pragma once

// One print job from the filter's arguments to its exit status: job options and PPD choices, the
// raster input, the connection wait, "Event=StartOfJob;" and the job header, the page loop, the end
// of the job or its cancellation.

#include "printfilter/JobOptions.h"
#include "printfilter/JobStream.h"
#include "printfilter/Messages.h"
#include "printfilter/PageLoop.h"
#include "printfilter/SpoolDirectory.h"

#include <atomic>
#include <thread>

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

// The end of the job, whichever way it ends, carried out by this one owner and only once: the
// page loop's cancel at the next page to send, the job stream giving up on the printer of a
// cancelled job, the input giving up before it opened, and the job's normal or failed end all
// come here. The first ending asked for is the one that runs; one asked for while it runs on the
// same thread (a write of its last commands that gives up on the printer) returns at once, and the
// ending under way goes on without writing more; one asked for on another thread waits for the
// process to end.
class JobEnd {
public:
    JobEnd(JobStream& stream, const JobOptions& job, const Messages& messages, SpoolDirectory& spool)
        : stream_(stream), job_(job), messages_(messages), spool_(spool) {}
    JobEnd(const JobEnd&) = delete;
    JobEnd& operator=(const JobEnd&) = delete;

    // Carries out the cancel and ends the process with status 0, whatever its other threads are
    // doing: "INFO:Job Cancelled", the printer's cancel command (only with sendCommand: not when
    // the printer takes nothing more, or is in the middle of a page; and only once the job has
    // begun on the printer, see cancelCommand), the job cancelled with the scheduler (only a job id
    // that is a positive decimal number is sent; for any other a DEBUG line says why), the spool
    // folder removed. Returns only when asked while an ending runs.
    void cancel(bool sendCommand);
    // The job's stream is complete: "Event=EndOfJob;", the last INFO line, the spool folder
    // removed. The exit status: 0, or 1 with an "ERROR:" line when pages were lost (softFailure)
    // or the printer could not be reached (not when the stream gave up on the printer of a
    // cancelled job: that job ends with status 0 like every cancel).
    int finish(bool softFailure);
    // The job cannot be printed (its "ERROR:" line is written): its stream ends with the
    // printer's cancel command, the spool folder is removed; the exit status 1.
    int fail();

private:
    // True for the first ending; see above for the others.
    bool begin();
    // "CancelJob?" only inside a job begun with "Event=StartOfJob;": outside one, a printer still
    // printing the job before would take it as the cancel of that job. A job that never began
    // sends the printer nothing at all.
    void cancelCommand();

    JobStream& stream_;
    const JobOptions& job_;
    const Messages& messages_;
    SpoolDirectory& spool_;
    std::atomic<bool> begun_{false};
    std::atomic<std::thread::id> owner_{};
};

// The filter's job stream and messages behind the page loop.
class FilterPageSink : public PageSink {
public:
    FilterPageSink(JobStream& stream, const JobOptions& job, const Messages& messages, JobEnd& end)
        : stream_(stream), job_(job), messages_(messages), end_(end) {}

    bool cancelRequested() override;
    // The cancel through the job's end (JobEnd::cancel): the process ends with status 0.
    void cancelJob() override { end_.cancel(true); }
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
    JobEnd& end_;
};

// The whole filter: returns the process exit status, or ends the process with status 0 once a
// cancel is carried out. 0 for a printed job; 1, with an "ERROR:" line naming the cause, when the
// arguments are wrong (copies other than a whole number from 1 to 9999), there is no raster or no
// page in it, the raster was refused or ends inside a page, a spool file cannot be written, the
// printer connection is lost, or pages were lost otherwise. A job that fails after its start ends
// its stream with "CancelJob?"; one cancelled before it began sends the printer nothing. Once
// cancelled, raster input that has not come within kInputAfterCancel of the cancel counts as not
// coming and the cancel is carried out with the pages in hand; a printer that takes nothing for
// kStalledCancelWait, or has not taken the page being sent kCancelledPageBound after the cancel,
// gets nothing more.
int runFilter(int argc, const char* const* argv, const FilterEnvironment& env);

} // namespace tbx
