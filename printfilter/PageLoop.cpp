#include "printfilter/PageLoop.h"

#include "printfilter/JbigPageEncoder.h"
#include "printfilter/PageConverter.h"

#include <chrono>
#include <cstdio>
#include <memory>

namespace tbx {
namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using OpenFile = std::unique_ptr<std::FILE, FileCloser>;

// The encoding of one page into its open spool file; the page and the file are released when the
// job is done or dropped.
PageEncoders::Job encodingJob(PackedPage page, std::FILE* file) {
    return PageEncoders::Job([page = std::move(page), out = OpenFile(file)]() mutable {
        bool ok = encodeJbigPage(page, out.get());
        ok = (std::fflush(out.get()) == 0) && ok;
        ok = (std::fclose(out.release()) == 0) && ok;
        return ok;
    });
}

template <typename... Args>
void appendLine(std::string& log, const char* format, Args... args) {
    char line[512];
    std::snprintf(line, sizeof line, format, args...);
    log += line;
}

} // namespace

bool PageLoop::readPage(int n) {
    cups_page_header2_t header;
    if (!cupsRasterReadHeader2(ras_, &header))
        return false;
    Pending p;
    p.n = n;
    appendLine(p.log, "DEBUG:[Tamberlyx] raster image width =%u  height = %u\n", header.cupsWidth,
               header.cupsHeight);
    const std::string refusal = checkRasterHeader(header, options_.limits);
    if (!refusal.empty()) {
        appendLine(p.log, "ERROR: [Tamberlyx] page %d: %s\n", n, refusal.c_str());
        p.softFailure = true;
        pending_.push_back(std::move(p));
        return false;
    }
    const PageConversion how{options_.isDuplex == 2 && n % 2 == 0, options_.scaleRatio,
                             options_.imageDarkness};
    ConvertedPage converted = convertRasterPage(ras_, header, how, p.log);
    if (converted.failure != ConversionFailure::None) {
        // Without the memory for the page reading stops as at the end of the input; a page that
        // could not be scaled or halftoned is a failed page.
        p.softFailure = converted.failure != ConversionFailure::NoRasterMemory;
        pending_.push_back(std::move(p));
        return false;
    }
    sizes_[n] = {converted.page.width, converted.page.height};
    p.isPage = true;
    if (std::FILE* file = spool_.openPage(n)) {
        p.written = encoders_->submit(encodingJob(std::move(converted.page), file));
    } else {
        std::promise<bool> failed;
        failed.set_value(false);
        p.written = failed.get_future();
    }
    pending_.push_back(std::move(p));
    return true;
}

bool PageLoop::ready(const Pending& p) const {
    return !p.isPage || p.written.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

void PageLoop::takeOldest() {
    Pending p = std::move(pending_.front());
    pending_.pop_front();
    const bool written = p.isPage && p.written.get();
    std::fputs(p.log.c_str(), stderr);
    if (!p.isPage) {
        result_.softFailure = result_.softFailure || p.softFailure;
        return;
    }
    if (!written) {
        spool_.discardPage(p.n);
        std::fprintf(stderr, "DEBUG:[Tamberlyx] cannot write spool file %s\n", spool_.pagePath(p.n).c_str());
    }
    taken_ = p.n;
    sink_.pageConverted(p.n);
    if (options_.isDuplex == 0)
        sendOnePage(p.n);
    else if (p.n % 2 == 0)
        sendPair(p.n, p.n - 1);
}

void PageLoop::createBlankPage(int n, std::pair<int, int> size) {
    sizes_[n] = size;
    if (!spool_.writePage(n, PackedPage(size.first, size.second)))
        std::fprintf(stderr, "DEBUG:[Tamberlyx] cannot write spool file %s\n", spool_.pagePath(n).c_str());
}

void PageLoop::sendOnePage(int n) {
    if (result_.cancelled)
        return;
    if (sink_.cancelRequested()) {
        result_.cancelled = true;
        if (encoders_)
            encoders_->drain(); // no page file is being written while the folder goes
        spool_.remove();        // the cancel ends the process: nothing of the job may stay behind
        sink_.cancelJob();
        return;
    }
    sink_.pageSending(n);
    const auto size = sizes_.at(n);
    sink_.sendPageHeader(size.first, size.second);
    if (!sink_.sendPageData(spool_.pagePath(n)))
        result_.softFailure = true;
    sink_.endOfPage();
}

void PageLoop::sendPair(int back, int front) {
    sendOnePage(back);
    sendOnePage(front);
}

PageLoopResult PageLoop::run() {
    const int threads = options_.encoderThreads > 0 ? options_.encoderThreads : encoderThreads();
    PageEncoders encoders(threads);
    encoders_ = &encoders;
    // Pages handed over and not yet taken back: one waiting beside each encoding.
    const std::size_t ahead = static_cast<std::size_t>(encoders.threads()) + 1;
    bool reading = true;
    int next = 1;
    while (!stopped()) {
        // Pages whose encoding is done are taken at once, so the printer gets them early.
        while (!pending_.empty() && !stopped() && ready(pending_.front()))
            takeOldest();
        if (stopped())
            break;
        // A cancel request is carried out at the next page sent: take the pages in hand first.
        if (!pending_.empty() && (!reading || pending_.size() >= ahead || sink_.cancelRequested())) {
            takeOldest();
            continue;
        }
        if (!reading)
            break;
        reading = readPage(next++);
    }
    encoders.drain(); // pages read ahead of a page that stopped the job are dropped
    pending_.clear();

    const bool duplex = options_.isDuplex != 0;
    const int pages = taken_;
    result_.pagesRead = pages;
    std::fprintf(stderr, "DEBUG:[Tamberlyx] total page number =  %d ========================\n", pages + 1);
    std::fprintf(stderr, "DEBUG: total page number =  %d ========================\n", pages);
    if (result_.cancelled) {
        encoders_ = nullptr;
        return result_;
    }

    if (duplex && pages % 2 == 1) {
        createBlankPage(pages + 1, sizes_.at(pages));
        sendPair(pages + 1, pages);
    }
    if (options_.collate) {
        for (int k = 2; k <= options_.copies && !result_.cancelled; ++k) {
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
