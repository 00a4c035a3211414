#pragma once

// The page loop: reads the job's raster page by page, scales and halftones each page, JBIG-encodes
// it into its spool file, and sends the pages in the order the printer needs: one-sided pages at
// once, two-sided pages in pairs with the back side (the even page) first, an odd two-sided job
// completed by a blank back side. When the filter collates, the document is sent again from the
// spool files for each further copy. A cancel request is carried out before the next page is sent.
//
// With more than one encoder thread the work is shared out: the calling thread reads and converts
// the pages and hands each to the encoders, and a sending thread takes them back in page order as
// soon as they are encoded, whatever the reading is doing. At most one page more than there are
// threads is in hand at once, the page being sent included. While the raster is read only the
// sending thread writes to the printer and the log: each page's lines of reading and conversion,
// its "converted" line, then what has become due to be sent. The job stream and every line on
// standard error therefore come exactly as from a loop that does one page after the other (which
// is what one encoder thread does, in the calling thread alone), and a cancel request, carried out
// at the next page to be sent, leaves the same pages on the printer either way. Pages read ahead of
// a page that ends the job (cancel, failed send) are dropped without a trace, and a read still
// waiting for raster then is ended (PageLoopOptions::endInput).

#include "printfilter/PageEncoders.h"
#include "printfilter/RasterPageReader.h"
#include "printfilter/SpoolDirectory.h"

#include <condition_variable>
#include <cups/raster.h>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace tbx {

struct PageLoopOptions {
    int isDuplex = 0;    // 0 one-sided, 1 short edge ("DuplexTumble"), 2 long edge ("DuplexNoTumble")
    bool collate = true; // the filter sends the document once per copy
    int copies = 1;      // number of copies asked for (passes when collating)
    double scaleRatio = 1.0;
    int imageDarkness = 0; // GammaDarkness level 0..5
    RasterLimits limits;
    // Asked once no further page header can be read: empty when the raster ended where a page
    // ended, else why the rest of it is no page (garbage, a header cut short). Unset: not asked.
    std::function<std::string()> checkRasterEnd;
    // Asked when reading stops short (no further page header, or rows missing from a page): true
    // when the input was taken as ended after the cancel: it ended where no page ended, or had
    // not come when its time after the cancel ran out. The cancel is then carried out with the
    // pages in hand; a page only partly read is not sent. Unset: never.
    std::function<bool()> inputGaveUp;
    // Called, from the sending thread, once the job reads no further (the printer lost, a failed
    // or cancelled job, a page that failed): the raster input stops waiting and counts as ended,
    // so that a raster that stalls cannot hold the job the reading side has to end. Unset: the
    // reading side stops at the next page it hands over.
    std::function<void()> endInput;
    int encoderThreads = 0; // 0: encoderThreads(), the machine's cores or TAMBERLYX_ENCODER_THREADS
};

// The job stream side of the loop. The filter implements it on its job stream and messages; tests
// record what the loop asks for. While the raster is read its calls come from the sending thread
// (one thread at a time in any case).
class PageSink {
public:
    virtual ~PageSink() = default;
    // The scheduler asked to cancel the job (SIGTERM).
    virtual bool cancelRequested() = 0;
    // Carries out the cancel ("CancelJob?", cancel with the scheduler, the spool folder removed).
    // In the filter it ends the process; if it returns, the loop removes the spool folder and
    // sends nothing more.
    virtual void cancelJob() = 0;
    // Progress: page n is converted and encoded / page n is about to be sent.
    virtual void pageConverted(int n) = 0;
    virtual void pageSending(int n) = 0;
    // The page header of a page of width × height raster pixels (the unrounded raster size).
    virtual void sendPageHeader(int width, int height) = 0;
    // Streams the page's JBIG file; false when it could not be read.
    virtual bool sendPageData(const std::string& path) = 0;
    virtual void endOfPage() = 0;
    // Page n went out whole; the printer prints it copies times (1 for each collated pass).
    virtual void pageSent(int /*n*/, int /*copies*/) {}
    // The printer can no longer be reached (a write failed, the backend reported an I/O error):
    // the loop stops at once and sends nothing more.
    virtual bool printerLost() { return false; }
};

struct PageLoopResult {
    int pagesRead = 0;
    bool softFailure = false; // a page failed: the job ends early but in order
    bool cancelled = false;   // the cancel was carried out (only seen when cancelJob returns)
    // The job cannot be printed (raster rows missing or unreadable, no page, refused raster, no
    // room for a spool file, printer lost): nothing was sent after the point of failure, and the
    // caller ends the stream with the cancel command. The "ERROR:" line has been written.
    bool failed = false;
};

class PageLoop {
public:
    PageLoop(cups_raster_t* ras, const PageLoopOptions& options, PageSink& sink, SpoolDirectory& spool)
        : ras_(ras), options_(options), sink_(sink), spool_(spool) {}

    // Runs the whole loop: all raster pages, the blank back side of an odd two-sided job and the
    // copy passes.
    PageLoopResult run();

private:
    // A page read and handed to the encoders, or the place where reading stopped.
    struct Pending {
        int n = 0;
        std::string log;          // lines of reading and converting, written when the page is taken
        bool isPage = false;      // false: no page; reading stopped here
        bool softFailure = false; // (no page) the stop is a failed page
        bool cancel = false;      // (no page) the input stalled after the cancel: carry it out here
        std::string failure;      // (no page) why the job cannot be printed, for the "ERROR:" line
        std::pair<int, int> size; // (page) its raster size, for its page header
        std::future<int> written; // 0 once the page's spool file is complete, else the errno value
    };

    // Reading side (the calling thread).
    bool readPage(int n); // false: nothing more to read
    bool inputGaveUp() const { return options_.inputGaveUp && options_.inputGaveUp(); }
    void stopForCancel(Pending p); // hands over the place where the stalled input ended
    // Reads page after page while fewer than ahead pages are in hand; with sendHere, takes each
    // page itself as soon as it is handed over.
    void readAll(std::size_t ahead, bool sendHere);
    void handOver(Pending p);
    // Sending side: takes the oldest page handed over once it is encoded, writes its lines and
    // sends what has become due. False when nothing more will come (reading done and everything
    // taken, or the job stopped).
    bool takeNext();
    void take(Pending p);
    void sendAll();  // the sending thread's body
    void endInput(); // the job reads no further: a read waiting for raster ends

    void fail(const std::string& why); // writes the "ERROR:" line
    bool stopped() const { return result_.failed || result_.cancelled; }
    bool readingStopped() const { return stopped() || result_.softFailure; }
    void createBlankPage(int n, std::pair<int, int> size);
    void carryOutCancel();
    void sendOnePage(int n);
    void sendPair(int back, int front);

    cups_raster_t* ras_;
    PageLoopOptions options_;
    PageSink& sink_;
    SpoolDirectory& spool_;
    PageEncoders* encoders_ = nullptr; // while run() runs
    bool rasterEnded_ = false;         // reading found no further page header

    // Between the reading and the sending thread.
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Pending> pending_;     // handed over, not yet taken; only the sending side removes
    bool taking_ = false;             // the sending side is taking a page, which is still in hand
    bool readingDone_ = false;        // nothing more will be handed over
    bool stopReading_ = false;        // the job has stopped (or the sending failed): read no further
    std::exception_ptr sendingError_; // thrown on the sending thread, rethrown by run()

    // The sending side's own while the raster is read; the calling thread's afterwards.
    std::map<int, std::pair<int, int>> sizes_; // each page's own raster size, for its page header
    PageLoopResult result_;
};

} // namespace tbx
