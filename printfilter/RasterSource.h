#pragma once

// The job's raster input: a CUPS raster reader over the raster file or standard input that also
// watches the bytes going by, so that a raster that ended where a page ended can be told from one
// that goes on with something that is no page (garbage after the last page, a page header cut
// short, a header libcups refuses). libcups answers "no further page" alike in all these cases.

#include "printfilter/CancelledWait.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cups/raster.h>
#include <functional>
#include <optional>
#include <string>

namespace tbx {

class RasterSource {
public:
    RasterSource() = default;
    RasterSource(const RasterSource&) = delete;
    RasterSource& operator=(const RasterSource&) = delete;
    ~RasterSource();

    // Reads the file, or the descriptor fd when file is empty. False when the file cannot be
    // opened or holds no CUPS raster; error then says why.
    bool open(const std::string& file, int fd, std::string* error);
    cups_raster_t* get() const { return ras_; }

    // Once the job is cancelled (cancelledAt() gives the cancel's time), the input gets wait from
    // the cancel itself: after that it is not waited for any more, whatever has not arrived by
    // then (the rest of a page, the end of the input) counts as not coming, and the input as
    // ended, so that an upstream filter that stalls, or trickles a few bytes now and then without
    // ending, cannot keep a cancelled job. What had arrived is still read (the filter may have
    // been busy when the time ran out), and an end of input that follows it counts as the end
    // where a page ended. An end of input after the cancel anywhere else (before the first page,
    // inside a page or its header, or anywhere in a compressed raster, whose pages are not
    // followed) is the filter before this one stopped with the job: the rest counts as not
    // coming either. Call before open().
    void endAfterCancel(std::function<CancelTime()> cancelledAt, std::chrono::milliseconds wait);
    // True once the input was taken as ended that way, or ended that way: what was read so far
    // is all there is, and a page cut short by it is no fault of the raster.
    bool gaveUp() const;
    // The job reads no further (its printer was lost, or it stopped otherwise, while the input
    // was still awaited): from any thread, the wait for input ends within a wait step, and the
    // input counts as ended from now on, whatever has not been read.
    void endNow() { ended_ = true; }

    // Once no further page header can be read: empty when the raster ended where a page ended,
    // else what follows instead.
    std::string endProblem();

private:
    static ssize_t readCallback(void* context, unsigned char* buffer, std::size_t length);
    ssize_t readInput(unsigned char* buffer, std::size_t length);
    // The input's time after the cancel is over.
    bool timeIsUp() const;
    // Waits until the input has something to read (or has ended); false when its time after the
    // cancel ran out, or the job read no further, instead.
    bool waitForInput();
    // Once the time is up and what had arrived is read: the end of input when it is there already
    // (0, the end seen), else the input is given up (0); -1 for a read error.
    ssize_t lateEnd();
    // The input has ended (0 returned to libcups).
    ssize_t endOfInput();
    void follow(const unsigned char* bytes, std::size_t count);

    int fd_ = -1;
    int ownFd_ = -1;
    cups_raster_t* ras_ = nullptr;
    bool endSeen_ = false;
    int readError_ = 0;
    std::uint64_t position_ = 0;

    std::function<CancelTime()> cancelledAt_; // unset: wait for input as long as it takes
    std::chrono::milliseconds afterCancel_ = kInputAfterCancel;
    std::optional<std::size_t> lateBytes_; // once the time is up: the bytes that had arrived, unread
    bool gaveUp_ = false;
    std::atomic<bool> ended_{false}; // endNow() was called

    // Layout of an uncompressed stream, followed byte by byte: the sync word, then per page a
    // header and height × bytes-per-line bytes of rows. Compressed streams are not followed.
    enum class Part { sync, header, rows, notFollowed };
    Part part_ = Part::sync;
    std::string sync_;
    bool swapped_ = false;
    std::size_t headerSize_ = 0;
    std::string header_;             // the bytes of the page header being read
    std::uint64_t rowBytesLeft_ = 0; // of the page being read
    std::string emptyPage_;          // a page header of no size was seen: its description
    int pagesStarted_ = 0;           // page headers seen whole
    bool endedWherePageEnded_ = false;
};

// The "ERROR:" texts of a raster that fails, in one wording for the filter and the conversion tool:
// page n supplied only rowsRead of its height rows; and, once no further page header can be read
// after pagesRead pages, what endProblem() said (empty when the raster ended cleanly after at
// least one page).
std::string shortPageError(int page, int rowsRead, int height);
std::string rasterEndError(int pagesRead, const std::string& endProblem);

} // namespace tbx
