#include "printfilter/RasterSource.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace tbx {

namespace {

std::uint32_t word(const std::string& bytes, std::size_t at, bool swapped) {
    std::uint32_t v;
    std::memcpy(&v, bytes.data() + at, sizeof v);
    return swapped ? __builtin_bswap32(v) : v;
}

} // namespace

RasterSource::~RasterSource() {
    if (ras_)
        cupsRasterClose(ras_);
    if (ownFd_ >= 0)
        ::close(ownFd_);
}

bool RasterSource::open(const std::string& file, int fd, std::string* error) {
    if (!file.empty()) {
        ownFd_ = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (ownFd_ < 0) {
            if (error)
                *error = "cannot open the raster file " + file + ": " + std::strerror(errno);
            return false;
        }
        fd = ownFd_;
    }
    fd_ = fd;
    ras_ = cupsRasterOpenIO(readCallback, this, CUPS_RASTER_READ);
    if (!ras_) {
        if (error) {
            *error = "no CUPS raster in the job's input";
            if (readError_)
                *error += std::string(": ") + std::strerror(readError_);
            else if (position_ == 0)
                *error += " (it is empty)";
        }
        return false;
    }
    return true;
}

ssize_t RasterSource::readCallback(void* context, unsigned char* buffer, std::size_t length) {
    return static_cast<RasterSource*>(context)->readInput(buffer, length);
}

void RasterSource::endAfterCancel(std::function<CancelTime()> cancelledAt, std::chrono::milliseconds wait) {
    cancelledAt_ = std::move(cancelledAt);
    afterCancel_ = wait;
}

bool RasterSource::timeIsUp() const {
    return cancelledAt_ && pastCancel(cancelledAt_(), afterCancel_);
}

bool RasterSource::waitForInput() {
    // Waited for in steps even while the job is not cancelled: the job may stop reading on
    // another thread (the printer lost while pages were sent).
    return waitUntilReady(fd_, POLLIN, [this] { return ended_ || timeIsUp(); });
}

namespace {

ssize_t readRetrying(int fd, void* buffer, std::size_t length) {
    ssize_t n;
    do {
        n = ::read(fd, buffer, length);
    } while (n < 0 && errno == EINTR);
    return n;
}

} // namespace

ssize_t RasterSource::readInput(unsigned char* buffer, std::size_t length) {
    if (gaveUp_ || ended_)
        return 0;
    const bool ready = waitForInput();
    if (ended_)
        return 0;
    if (!ready || timeIsUp()) {
        // The input's time after the cancel is over: it is not waited for any more. What had
        // arrived when that was first seen is still read, and so is an end of input right after
        // it; anything else counts as not coming, so bytes trickling in buy no more time.
        if (!lateBytes_)
            lateBytes_ = unreadBytes(fd_).value_or(0);
        if (*lateBytes_ == 0)
            return lateEnd();
        length = std::min(length, *lateBytes_);
    }
    const ssize_t n = readRetrying(fd_, buffer, length);
    if (n < 0) {
        readError_ = errno;
        return -1;
    }
    if (n == 0)
        return endOfInput();
    if (lateBytes_)
        *lateBytes_ -= std::min(*lateBytes_, static_cast<std::size_t>(n));
    follow(buffer, static_cast<std::size_t>(n));
    position_ += static_cast<std::uint64_t>(n);
    return n;
}

ssize_t RasterSource::lateEnd() {
    // Only an end that is already there is taken: a read that returns at once with nothing.
    pollfd p{fd_, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&p, 1, 0);
    } while (ready < 0 && errno == EINTR);
    if (ready > 0 && unreadBytes(fd_).value_or(0) == 0) {
        unsigned char probe;
        const ssize_t n = readRetrying(fd_, &probe, 1);
        if (n == 0)
            return endOfInput();
        if (n < 0) {
            readError_ = errno;
            return -1;
        }
        // A byte that came just now, after the time was up: it counts as not coming.
    }
    gaveUp_ = true;
    return 0;
}

ssize_t RasterSource::endOfInput() {
    endSeen_ = true;
    endedWherePageEnded_ = part_ == Part::header && header_.empty() && pagesStarted_ > 0;
    return 0;
}

bool RasterSource::gaveUp() const {
    // An end elsewhere than where a page ended counts as cut by the cancel when the cancel is
    // there by the time the filter looks: the SIGTERM may land just after the end was read.
    return gaveUp_ || (endSeen_ && !endedWherePageEnded_ && cancelledAt_ && cancelledAt_());
}

void RasterSource::follow(const unsigned char* bytes, std::size_t count) {
    while (count > 0 && part_ != Part::notFollowed) {
        if (part_ == Part::rows) {
            const std::uint64_t take = std::min<std::uint64_t>(count, rowBytesLeft_);
            rowBytesLeft_ -= take;
            bytes += take;
            count -= static_cast<std::size_t>(take);
            if (rowBytesLeft_ == 0)
                part_ = Part::header;
            continue;
        }
        std::string& into = part_ == Part::sync ? sync_ : header_;
        const std::size_t want = part_ == Part::sync ? 4 : headerSize_;
        const std::size_t take = std::min(count, want - into.size());
        into.append(reinterpret_cast<const char*>(bytes), take);
        bytes += take;
        count -= take;
        if (into.size() < want)
            continue;
        if (part_ == Part::sync) {
            // Only the uncompressed layouts have rows of a known length.
            const std::uint32_t sync = word(sync_, 0, false);
            if (sync == CUPS_RASTER_SYNC || sync == CUPS_RASTER_REVSYNC) {
                headerSize_ = sizeof(cups_page_header2_t);
            } else if (sync == CUPS_RASTER_SYNCv1 || sync == CUPS_RASTER_REVSYNCv1) {
                headerSize_ = sizeof(cups_page_header_t);
            } else {
                part_ = Part::notFollowed;
                continue;
            }
            swapped_ = sync == CUPS_RASTER_REVSYNC || sync == CUPS_RASTER_REVSYNCv1;
            part_ = Part::header;
            continue;
        }
        const std::uint32_t width = word(header_, offsetof(cups_page_header2_t, cupsWidth), swapped_);
        const std::uint32_t height = word(header_, offsetof(cups_page_header2_t, cupsHeight), swapped_);
        const std::uint32_t bytesPerLine =
            word(header_, offsetof(cups_page_header2_t, cupsBytesPerLine), swapped_);
        if ((width == 0 || height == 0 || bytesPerLine == 0) && emptyPage_.empty()) {
            char text[96];
            std::snprintf(text, sizeof text, "a page of %u x %u pixels (%u bytes per line)", width, height,
                          bytesPerLine);
            emptyPage_ = text;
        }
        header_.clear();
        ++pagesStarted_;
        rowBytesLeft_ = static_cast<std::uint64_t>(height) * bytesPerLine;
        part_ = rowBytesLeft_ ? Part::rows : Part::header;
    }
}

std::string RasterSource::endProblem() {
    if (readError_)
        return std::string("read error: ") + std::strerror(readError_);
    // At a clean end libcups asks for the next header and gets the end of the input; when it
    // stops without having seen the end, it refused bytes it had read (buffered ones included).
    if (!endSeen_)
        return emptyPage_.empty() ? "data that is no valid page header follows" : emptyPage_;
    if (!emptyPage_.empty())
        return emptyPage_;
    if (part_ == Part::header && !header_.empty())
        return "a page header cut short after " + std::to_string(header_.size()) + " bytes";
    if (part_ == Part::rows)
        return "a page's rows cut short";
    if (part_ == Part::sync && !sync_.empty())
        return "the raster's sync word is cut short";
    return {};
}

std::string shortPageError(int page, int rowsRead, int height) {
    return "page " + std::to_string(page) + " of the raster ends after " + std::to_string(rowsRead) +
           " of its " + std::to_string(height) + " rows";
}

std::string rasterEndError(int pagesRead, const std::string& endProblem) {
    if (pagesRead == 0)
        return endProblem.empty() ? "no page in the job's raster"
                                  : "no page in the job's raster: " + endProblem;
    if (endProblem.empty())
        return {};
    return "the raster after page " + std::to_string(pagesRead) + " is unreadable: " + endProblem;
}

} // namespace tbx
