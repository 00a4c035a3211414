#include "printfilter/PageLoop.h"

#include "printfilter/PageConverter.h"
#include "printfilter/RasterSource.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <pthread.h>
#include <thread>

namespace tbx {
namespace {

// The reason a spool file could not be written, for the "ERROR:" line.
std::string spoolFailure(const SpoolDirectory& spool, int n, int error) {
    if (error == ENOSPC || error == EDQUOT)
        return "no space left in the temporary folder " + spool.path() + " for page " + std::to_string(n);
    return "cannot write the spool file of page " + std::to_string(n) + ": " +
           std::strerror(error ? error : EIO);
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using OpenFile = std::unique_ptr<std::FILE, FileCloser>;

// The encoding of one page into its open spool file; the page and the file are released when the
// job is done or dropped.
PageEncoders::Job encodingJob(PackedPage page, std::FILE* file) {
    return PageEncoders::Job([page = std::move(page), out = OpenFile(file)]() mutable {
        return SpoolDirectory::writePageFile(page, out.release());
    });
}

template <typename... Args>
void appendLine(std::string& log, const char* format, Args... args) {
    char line[512];
    std::snprintf(line, sizeof line, format, args...);
    log += line;
}

} // namespace

void PageLoop::fail(const std::string& why) {
    if (!why.empty())
        std::fprintf(stderr, "ERROR: [Tamberlyx] %s\n", why.c_str());
    result_.failed = true;
}

bool PageLoop::readPage(int n) {
    cups_page_header2_t header;
    if (!cupsRasterReadHeader2(ras_, &header)) {
        Pending p;
        p.n = n;
        if (inputGaveUp())
            stopForCancel(std::move(p));
        else
            rasterEnded_ = true;
        return false;
    }
    Pending p;
    p.n = n;
    appendLine(p.log, "DEBUG:[Tamberlyx] raster image width =%u  height = %u\n", header.cupsWidth,
               header.cupsHeight);
    const std::string refusal = checkRasterHeader(header, options_.limits);
    if (!refusal.empty()) {
        p.failure = "page " + std::to_string(n) + ": " + refusal;
        handOver(std::move(p));
        return false;
    }
    const std::size_t beforeConversion = p.log.size();
    const PageConversion how{options_.isDuplex == 2 && n % 2 == 0, options_.scaleRatio,
                             options_.imageDarkness};
    ConvertedPage converted = convertRasterPage(ras_, header, how, p.log);
    switch (converted.failure) {
    case ConversionFailure::None:
        break;
    case ConversionFailure::NoRasterMemory:
        p.failure = "not enough memory for page " + std::to_string(n);
        handOver(std::move(p));
        return false;
    case ConversionFailure::NoScaleMemory:
    case ConversionFailure::NoHalftoneMemory:
        p.softFailure = true;
        handOver(std::move(p));
        return false;
    }
    // Rows the raster never supplied are lost content, not white paper: the page is not printed,
    // and nothing of its scaling and halftoning is reported.
    const int height = converted.page.height;
    if (converted.rowsRead < height) {
        p.log.resize(beforeConversion);
        if (inputGaveUp()) {
            stopForCancel(std::move(p));
            return false;
        }
        p.failure = shortPageError(n, converted.rowsRead, height);
        handOver(std::move(p));
        return false;
    }
    p.size = {converted.page.width, height};
    p.isPage = true;
    int error = 0;
    if (std::FILE* file = spool_.openPage(n, error)) {
        p.written = encoders_->submit(encodingJob(std::move(converted.page), file));
    } else {
        std::promise<int> failed;
        failed.set_value(error ? error : EIO);
        p.written = failed.get_future();
    }
    handOver(std::move(p));
    return true;
}

void PageLoop::stopForCancel(Pending p) {
    appendLine(p.log,
               "DEBUG:[Tamberlyx] the raster input ended after the cancel, or had not come when its "
               "time after the cancel ran out: it is taken as ended after page %d\n",
               p.n - 1);
    p.cancel = true;
    handOver(std::move(p));
}

void PageLoop::handOver(Pending p) {
    {
        std::lock_guard lock(mutex_);
        pending_.push_back(std::move(p));
    }
    changed_.notify_all();
}

bool PageLoop::takeNext() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return stopReading_ || !pending_.empty() || readingDone_; });
    if (stopReading_ || pending_.empty())
        return false;
    // Only this side removes pages, and adding pages moves none: the oldest stays where it is
    // while its encoding is waited for without the lock.
    Pending& oldest = pending_.front();
    lock.unlock();
    if (oldest.isPage)
        oldest.written.wait();
    lock.lock();
    Pending p = std::move(pending_.front());
    pending_.pop_front();
    taking_ = true;
    lock.unlock();

    take(std::move(p));
    lock.lock();
    taking_ = false;
    stopReading_ = stopReading_ || readingStopped();
    const bool stop = stopReading_;
    lock.unlock();
    changed_.notify_all(); // room for the reading side to hand over another page
    if (stop)
        endInput();
    return !stop;
}

void PageLoop::endInput() {
    // The reading side may be waiting for raster that does not come: it must not keep the job.
    if (options_.endInput)
        options_.endInput();
}

void PageLoop::take(Pending p) {
    const int error = p.isPage ? p.written.get() : 0;
    std::fputs(p.log.c_str(), stderr);
    if (!p.isPage) {
        if (p.cancel && !stopped())
            carryOutCancel();
        if (!p.failure.empty())
            fail(p.failure);
        result_.softFailure = result_.softFailure || p.softFailure;
        return;
    }
    if (error) {
        spool_.discardPage(p.n, error);
        fail(spoolFailure(spool_, p.n, error));
        return;
    }
    sizes_[p.n] = p.size;
    result_.pagesRead = p.n; // before its sends, which count it as a document page
    sink_.pageConverted(p.n);
    if (options_.isDuplex == 0)
        sendOnePage(p.n);
    else if (p.n % 2 == 0)
        sendPair(p.n, p.n - 1);
}

void PageLoop::sendAll() {
    try {
        while (takeNext()) {
        }
    } catch (...) {
        {
            std::lock_guard lock(mutex_);
            sendingError_ = std::current_exception();
            stopReading_ = true;
        }
        endInput();
    }
    changed_.notify_all();
}

void PageLoop::createBlankPage(int n, std::pair<int, int> size) {
    sizes_[n] = size;
    if (!spool_.writePage(n, PackedPage(size.first, size.second)))
        fail(spoolFailure(spool_, n, spool_.lastError()));
}

void PageLoop::sendOnePage(int n) {
    if (stopped())
        return;
    if (sink_.cancelRequested()) {
        carryOutCancel();
        return;
    }
    sink_.pageSending(n);
    const auto size = sizes_.at(n);
    sink_.sendPageHeader(size.first, size.second);
    const bool whole = !sink_.printerLost() && sink_.sendPageData(spool_.pagePath(n));
    if (sink_.printerLost()) {
        fail({}); // the job stream has said why
        return;
    }
    if (!whole)
        result_.softFailure = true;
    sink_.endOfPage();
    if (sink_.printerLost()) {
        fail({});
        return;
    }
    // The blank back side of an odd two-sided job is no page of the document.
    if (whole && n <= result_.pagesRead)
        sink_.pageSent(n, options_.collate ? 1 : options_.copies);
}

void PageLoop::carryOutCancel() {
    result_.cancelled = true;
    // In the filter the cancel ends the process, the spool folder removed by the job's end. When
    // it comes back, nothing of the cancelled job may stay behind either: a page still being
    // encoded goes with the folder, and no page file can be made in it any more.
    sink_.cancelJob();
    spool_.remove();
}

void PageLoop::sendPair(int back, int front) {
    sendOnePage(back);
    sendOnePage(front);
}

void PageLoop::readAll(std::size_t ahead, bool sendHere) {
    for (int next = 1;; ++next) {
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return stopReading_ || pending_.size() + (taking_ ? 1 : 0) < ahead; });
            if (stopReading_)
                return;
        }
        const bool more = readPage(next);
        // With one thread the page was encoded as it was handed over: it is sent before the next
        // one is read.
        if (sendHere) {
            while (!pending_.empty() && takeNext()) {
            }
        }
        if (!more)
            return;
    }
}

PageLoopResult PageLoop::run() {
    const int threads = options_.encoderThreads > 0 ? options_.encoderThreads : encoderThreads();
    PageEncoders encoders(threads);
    encoders_ = &encoders;
    // Pages in hand at once, the one being sent included: one waiting beside each encoding.
    const std::size_t ahead = static_cast<std::size_t>(encoders.threads()) + 1;
    std::thread sender;
    if (encoders.threads() > 1) {
        // Like the encoders, the sending thread starts with every signal blocked, so the
        // scheduler's SIGTERM reaches the reading thread, as it does without threads.
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        sender = std::thread([this] { sendAll(); });
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    try {
        readAll(ahead, !sender.joinable());
    } catch (...) {
        {
            std::lock_guard lock(mutex_);
            stopReading_ = readingDone_ = true;
        }
        changed_.notify_all();
        if (sender.joinable())
            sender.join();
        throw;
    }
    {
        std::lock_guard lock(mutex_);
        readingDone_ = true;
    }
    changed_.notify_all();
    if (sender.joinable())
        sender.join();
    else
        while (takeNext()) {
        }
    if (sendingError_)
        std::rethrow_exception(sendingError_);
    // The end of the raster counts only when every page before it was taken: a loop that stopped
    // earlier never got that far.
    const bool endOfRaster = rasterEnded_ && !readingStopped() && pending_.empty();
    encoders.drain(); // pages read ahead of a page that stopped the job are dropped
    pending_.clear();

    const bool duplex = options_.isDuplex != 0;
    const int pages = result_.pagesRead;
    std::fprintf(stderr, "DEBUG:[Tamberlyx] total page number =  %d ========================\n", pages + 1);
    std::fprintf(stderr, "DEBUG: total page number =  %d ========================\n", pages);
    if (endOfRaster) {
        const std::string why =
            rasterEndError(pages, options_.checkRasterEnd ? options_.checkRasterEnd() : std::string());
        if (!why.empty())
            fail(why);
    }
    if (stopped()) {
        encoders_ = nullptr;
        return result_;
    }

    if (duplex && pages % 2 == 1) {
        createBlankPage(pages + 1, sizes_.at(pages));
        sendPair(pages + 1, pages);
    }
    if (options_.collate) {
        for (int k = 2; k <= options_.copies && !stopped(); ++k) {
            std::fprintf(stderr, "DEBUG:send copy = %d and total copies = %d ========================\n", k,
                         options_.copies);
            if (!duplex) {
                for (int p = 1; p <= pages; ++p)
                    sendOnePage(p);
            } else {
                for (int p = 1; p <= pages; p += 2)
                    sendPair(p + 1, p);
            }
        }
    }
    encoders_ = nullptr;
    return result_;
}

} // namespace tbx
