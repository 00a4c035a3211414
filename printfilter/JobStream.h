#pragma once

// The printer's job stream on the filter's standard output: text commands "Key=Value;" and
// "Event=Name;", the job header, the page headers, the page data framed in pieces of at most 4096
// bytes ("RasterObject.Data#<n>=" + n bytes + ";"), and the queries "CancelJob?" and "Status?".
// After every command and data piece the backend is asked over the side channel to drain its
// output, so the filter never runs far ahead of the printer.
//
// A write waits for the printer as long as it takes, except once the job is cancelled: a printer
// that then takes nothing for a while (a paper jam, a dead connection) would keep the cancelled
// job forever, and so would one that takes the page being sent so slowly that it needs minutes.
// The stream then gives up: after kStalledCancelWait without the printer taking anything, or
// once the page being sent is still not complete kCancelledPageBound after the cancel, it says so
// in a DEBUG line, sends nothing more (a command in the middle of a page would be read as page
// data) and hands the job's end to the filter (see onStalledCancel). The printer takes bytes when
// the backend answers a drain request or takes bytes off the output pipe (a backend passes them on
// only as fast as the printer takes them, so a slow printer's drains may be answered later than
// the filter waits); without a backend, or with one that cannot drain or has never answered a
// drain in time, when the output takes them.
//
// The header texts are built by plain functions (jobHeaderText, pageHeaderText) so tests can check
// them field by field; JobStream writes them.

#include "printfilter/CancelledWait.h"
#include "printfilter/JobOptions.h"
#include "printfilter/SideChannel.h"

#include <chrono>
#include <cstddef>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

namespace tbx {

inline constexpr std::size_t kMaxPieceBytes = 4096;
// "JobName=" + title + ";" must fit a 512-byte field buffer with its terminator.
inline constexpr std::size_t kMaxJobNameBytes = 502;

// A job text made safe for a field of the stream: bytes that would end the field or start a
// command (";", "=", "?"), control bytes and bytes that are not part of valid UTF-8 become "_";
// a text longer than maxBytes is cut at a character boundary.
std::string sanitizeFieldText(std::string_view text, std::size_t maxBytes = kMaxJobNameBytes);

// Fields by the job settings.
std::string_view mediaTypeField(int isMediaType);
std::string_view sidesField(int isDuplex);
std::string_view mediaSizeField(std::string_view pageSize);
std::string_view trayField(int isInputSlot); // empty for TRAY2 and TRAY3

// The job header: JobName, JobTime (ctime text of now, with its line feed), SysVersion,
// Resolution, MediaType, Sides, Copies.
std::string jobHeaderText(const JobOptions& job, std::time_t now);

// Width rounded up to a multiple of 8 the way the page header carries it.
int roundedPageWidth(int width);

// The page header of a page of width × height raster pixels (width is rounded here).
std::string pageHeaderText(const JobOptions& job, int width, int height);

class JobStream {
public:
    // Writes to the descriptor out (standard output in the filter).
    JobStream(int out, SideChannel& side);
    ~JobStream();
    JobStream(const JobStream&) = delete;
    JobStream& operator=(const JobStream&) = delete;

    // Writes text as it is, then asks the backend to drain. Returns the drain status
    // (CUPS_SC_STATUS_NOT_IMPLEMENTED when there is no side channel).
    cups_sc_status_t sendCmd(std::string_view text);

    void startOfJob() {
        started_ = true;
        sendCmd("Event=StartOfJob;");
    }
    void sendJobHeader(const JobOptions& job, std::time_t now);
    void sendPageHeader(const JobOptions& job, int width, int height);
    // Streams the page's JBIG file as framed pieces. 0 on success, 3 when the file cannot be read.
    int sendPageData(const std::string& path);
    void endOfPage() { sendCmd("Event=EndOfPage;"); }
    void endOfJob() { sendCmd("Event=EndOfJob;"); }

    // True once the printer cannot be reached any more: a write to the output failed (the backend
    // has gone) or the backend answered a drain with an I/O error (its connection to the printer
    // broke). The "ERROR:" line has been written; no more page data should be sent.
    bool outputFailed() const { return failed_ || printerLost_; }
    // Bytes written so far.
    std::size_t bytesWritten() const { return written_; }
    // True once "Event=StartOfJob;" was sent: the printer takes what follows as this job's.
    bool jobStarted() const { return started_; }

    // What happens when the job has been cancelled and the stream gives up on the printer (it
    // has taken nothing for wait, or the page being sent is not complete pageBound after the
    // cancel): the filter ends the job there and then. Without it, or when it returns, the stream
    // counts as failed and writes nothing more.
    void onStalledCancel(std::function<void()> giveUp, std::chrono::milliseconds wait = kStalledCancelWait,
                         std::chrono::milliseconds pageBound = kCancelledPageBound) {
        giveUp_ = std::move(giveUp);
        stallWait_ = wait;
        pageBound_ = pageBound;
    }
    // True once the stream gave up on the printer of a cancelled job.
    bool gaveUp() const { return gaveUp_; }

private:
    void write(const void* data, std::size_t size);
    // Waits until the output takes bytes; false when the stream gave up instead.
    bool waitUntilWritable();
    // Why a cancelled job's stream gives up on the printer now, if it does.
    enum class GiveUp { no, stalled, pageTooSlow };
    GiveUp giveUpNow();
    // The job is cancelled and the printer has taken nothing for the wait since then.
    bool stalledAfterCancel();
    // Counts bytes the backend has taken off the output pipe since last looked at as taken by
    // the printer.
    void notePipeTaken();
    void giveUpOnPrinter(GiveUp why);
    cups_sc_status_t drain();

    int out_;
    SideChannel& side_;
    bool failed_ = false;      // a write to the output failed: nothing more is written
    bool printerLost_ = false; // the backend lost the printer: nothing more is drained
    bool gaveUp_ = false;      // the stream gave up on the printer of a cancelled job
    bool started_ = false;     // "Event=StartOfJob;" was sent
    bool sendingPage_ = false; // a page's data is being sent
    std::size_t written_ = 0;
    std::function<void()> giveUp_;
    std::chrono::milliseconds stallWait_ = kStalledCancelWait;
    std::chrono::milliseconds pageBound_ = kCancelledPageBound;
    bool drainAnswered_ = false; // the backend has answered a drain OK
    bool drainsTell_ = true;     // the last drain told whether the printer took the bytes
    bool caughtUp_ = true;       // the printer had taken every byte written when last looked at
    bool outIsPipe_ = false;     // the output is a pipe, whose unread bytes can be counted
    int restoreFlags_ = -1;      // the output's file status flags to put back, if they were changed
    std::size_t pipeTaken_ = 0;  // bytes the reader of the pipe had taken when last looked at
    std::chrono::steady_clock::time_point lastTaken_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point lastWritten_ = lastTaken_;
};

// Text for a DEBUG line: control bytes shown as escapes so a command stays on one log line.
std::string printableForLog(std::string_view text);

} // namespace tbx
