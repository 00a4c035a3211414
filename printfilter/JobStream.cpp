#include "printfilter/JobStream.h"

#include "printfilter/Cancellation.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tbx {

namespace {

// Length of the valid UTF-8 sequence starting at text[i], or 0 when the bytes there are not one.
std::size_t utf8Sequence(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length;
    unsigned minimum;
    if (lead < 0x80)
        return 1;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    unsigned code = lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

} // namespace

std::string sanitizeFieldText(std::string_view text, std::size_t maxBytes) {
    std::string out;
    out.reserve(std::min(text.size(), maxBytes));
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8Sequence(text, i);
        if (length <= 1) {
            const unsigned char c = static_cast<unsigned char>(text[i]);
            const bool unsafe = length == 0 || c < 0x20 || c == 0x7F || c == ';' || c == '=' || c == '?';
            if (out.size() + 1 > maxBytes)
                break;
            out += unsafe ? '_' : static_cast<char>(c);
            ++i;
        } else {
            if (out.size() + length > maxBytes)
                break;
            out.append(text.substr(i, length));
            i += length;
        }
    }
    return out;
}

std::string_view mediaTypeField(int isMediaType) {
    switch (isMediaType) {
    case 1:
        return "MediaType=thick;";
    case 2:
        return "MediaType=thin;";
    case 3:
        return "MediaType=card;";
    case 4:
        return "MediaType=envelope;";
    default:
        return "MediaType=plain;";
    }
}

std::string_view sidesField(int isDuplex) {
    switch (isDuplex) {
    case 0:
        return "Sides=OneSided;";
    case 1:
        return "Sides=TwoSidedShortEdge;";
    default:
        return "Sides=TwoSidedLongEdge;";
    }
}

std::string_view mediaSizeField(std::string_view pageSize) {
    struct Entry {
        std::string_view name;
        std::string_view field;
    };
    static constexpr Entry sizes[] = {
        {"A4", "MediaSize=na_a4_210x297mm;"},
        {"A5", "MediaSize=na_a5_148x210mm;"},
        {"A6", "MediaSize=na_a6_105x148mm;"},
        {"B5", "MediaSize=na_b5_182x257mm;"},
        {"B6", "MediaSize=na_b6_128x182mm;"},
        {"16K", "MediaSize=na_16k_195x270mm;"},
        {"Custom.595.28x841.89", "MediaSize=na_16k_195x270mm;"},
        {"32K", "MediaSize=na_32k_135x195mm;"},
        {"Letter", "MediaSize=na_LETTER_216x279mm;"},
        {"85x170mm", "MediaSize=na_bank_85x170mm;"},
    };
    for (const auto& entry : sizes)
        if (entry.name == pageSize)
            return entry.field;
    return "MediaSize=na_a4_210x297mm;";
}

std::string_view trayField(int isInputSlot) {
    switch (isInputSlot) {
    case 0:
        return "MediaInputTrayCheck=auto;";
    case 1:
        return "MediaInputTrayCheck=manual;";
    case 2:
        return "MediaInputTrayCheck=cassette;";
    default:
        return {};
    }
}

std::string jobHeaderText(const JobOptions& job, std::time_t now) {
    char timeText[64] = "";
    if (!ctime_r(&now, timeText))
        timeText[0] = '\0';
    std::string header;
    header += "JobName=" + sanitizeFieldText(job.jobName) + ";";
    // The printer expects ctime's own text, line feed included, before the ";".
    header += "JobTime=" + std::string(timeText) + ";";
    header += "SysVersion=MAC;";
    header += "Resolution=600x600;";
    header += mediaTypeField(job.isMediaType);
    header += sidesField(job.isDuplex);
    header += "Copies=" + sanitizeFieldText(job.jobCopies) + ";";
    return header;
}

int roundedPageWidth(int width) {
    return width <= 0 ? 0 : (width + 7) / 8 * 8;
}

std::string pageHeaderText(const JobOptions& job, int width, int height) {
    std::string header;
    header += mediaSizeField(job.pageSize);
    header += "Origin.Top=+50;";
    header += "Origin.Left=+50;";
    header += "RasterObject.Width=" + std::to_string(roundedPageWidth(width)) +
              ";RasterObject.Height=" + std::to_string(height) + ";";
    header += trayField(job.isInputSlot);
    return header;
}

std::string printableForLog(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", c);
            out += escape;
        } else {
            out += ch;
        }
    }
    return out;
}

JobStream::JobStream(int out, SideChannel& side) : out_(out), side_(side) {
    struct stat st {};
    outIsPipe_ = fstat(out, &st) == 0 && S_ISFIFO(st.st_mode);
    // Every write waits for room first; made non-blocking, one that finds none after all (another
    // writer filled the pipe in between) waits again, so a cancelled job's bounds hold.
    const int flags = outIsPipe_ ? fcntl(out, F_GETFL) : -1;
    if (flags >= 0 && !(flags & O_NONBLOCK) && fcntl(out, F_SETFL, flags | O_NONBLOCK) == 0)
        restoreFlags_ = flags;
}

JobStream::~JobStream() {
    if (restoreFlags_ >= 0)
        fcntl(out_, F_SETFL, restoreFlags_);
}

void JobStream::notePipeTaken() {
    const std::optional<std::size_t> unread = outIsPipe_ ? unreadBytes(out_) : std::nullopt;
    if (!unread)
        return;
    // Bytes of another writer of the pipe (none in a real job) are no progress of the printer.
    const std::size_t taken = written_ - std::min(written_, *unread);
    if (taken > pipeTaken_) {
        pipeTaken_ = taken;
        lastTaken_ = std::chrono::steady_clock::now();
    }
}

bool JobStream::stalledAfterCancel() {
    const CancelTime cancelledAt = cancellation::requestedAt();
    if (!cancelledAt)
        return false;
    notePipeTaken();
    return idleSinceCancel(cancelledAt, lastTaken_, stallWait_);
}

JobStream::GiveUp JobStream::giveUpNow() {
    if (stalledAfterCancel())
        return GiveUp::stalled;
    if (sendingPage_ && pastCancel(cancellation::requestedAt(), pageBound_))
        return GiveUp::pageTooSlow;
    return GiveUp::no;
}

void JobStream::giveUpOnPrinter(GiveUp why) {
    if (why == GiveUp::pageTooSlow)
        std::fprintf(stderr,
                     "DEBUG:[Tamberlyx] the page being sent is not complete %lld ms after the job was "
                     "cancelled: nothing more is sent\n",
                     static_cast<long long>(pageBound_.count()));
    else
        std::fprintf(stderr,
                     "DEBUG:[Tamberlyx] the printer has taken nothing for %lld ms since the job was "
                     "cancelled: nothing more is sent\n",
                     static_cast<long long>(stallWait_.count()));
    gaveUp_ = true;
    failed_ = true;
    if (giveUp_)
        giveUp_();
}

bool JobStream::waitUntilWritable() {
    // A cancel signal that interrupts the wait is no reason to stop waiting by itself.
    GiveUp why = GiveUp::no;
    if (waitUntilReady(out_, POLLOUT, [&] { return (why = giveUpNow()) != GiveUp::no; }))
        return true;
    giveUpOnPrinter(why);
    return false;
}

void JobStream::write(const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    // A printer that had taken everything before is not to blame for the time the filter spent
    // reading or encoding since: its wait for this write counts from now.
    if (caughtUp_)
        lastTaken_ = std::max(lastTaken_, std::chrono::steady_clock::now());
    caughtUp_ = false;
    while (size > 0 && !failed_) {
        // A printer that keeps taking data never makes the wait give up: the page's bound is
        // looked at before every write as well.
        if (sendingPage_ && giveUpNow() == GiveUp::pageTooSlow) {
            giveUpOnPrinter(GiveUp::pageTooSlow);
            return;
        }
        if (!waitUntilWritable())
            return;
        // A pipe with room takes up to PIPE_BUF bytes at once without blocking, so the next wait
        // comes before the printer can hold the write up again.
        const ssize_t n = ::write(out_, bytes, std::min<std::size_t>(size, PIPE_BUF));
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            if (!printerLost_)
                std::fprintf(stderr, "ERROR: [Tamberlyx] the connection to the printer was lost: %s\n",
                             std::strerror(errno));
            failed_ = true;
            return;
        }
        bytes += n;
        size -= static_cast<std::size_t>(n);
        written_ += static_cast<std::size_t>(n);
        lastWritten_ = std::chrono::steady_clock::now();
        // Without a backend that tells, bytes the output takes are the printer's.
        if (!side_.present() || !drainsTell_)
            lastTaken_ = lastWritten_;
    }
    caughtUp_ = !failed_ && (!side_.present() || !drainsTell_);
}

cups_sc_status_t JobStream::drain() {
    if (failed_ || printerLost_ || !side_.present())
        return CUPS_SC_STATUS_NOT_IMPLEMENTED;
    const cups_sc_status_t status = side_.request(CUPS_SC_CMD_DRAIN_OUTPUT, 1.0);
    // Bytes in the pipe to the backend are not yet the printer's: a drain answered OK tells that
    // the printer took them; "no response", or no answer in time from a backend that has drained
    // before, that it takes nothing. A backend that cannot drain, or has never answered a drain in
    // time, tells neither: bytes the output takes then count as the printer's, so a cancelled job
    // still gives up on a stopped printer (the output fills up) but not on one that reads slowly.
    if (status == CUPS_SC_STATUS_OK)
        drainAnswered_ = true;
    drainsTell_ = status == CUPS_SC_STATUS_NO_RESPONSE || status == CUPS_SC_STATUS_IO_ERROR ||
                  (drainAnswered_ && status != CUPS_SC_STATUS_NOT_IMPLEMENTED);
    if (status == CUPS_SC_STATUS_OK)
        lastTaken_ = std::chrono::steady_clock::now();
    else if (!drainsTell_)
        lastTaken_ = std::max(lastTaken_, lastWritten_);
    caughtUp_ = status == CUPS_SC_STATUS_OK || !drainsTell_;
    if (status != CUPS_SC_STATUS_OK && stalledAfterCancel())
        giveUpOnPrinter(GiveUp::stalled);
    if (status == CUPS_SC_STATUS_IO_ERROR) {
        // The backend could not pass the bytes on: its connection to the printer is gone, and
        // whatever follows would be lost as well.
        std::fprintf(stderr, "ERROR: [Tamberlyx] the connection to the printer was lost: the backend "
                             "reports an I/O error\n");
        printerLost_ = true;
    }
    return status;
}

cups_sc_status_t JobStream::sendCmd(std::string_view text) {
    std::fprintf(stderr, "DEBUG:[Tamberlyx] sned cmd = %s\n", printableForLog(text).c_str());
    write(text.data(), text.size());
    return drain();
}

void JobStream::sendJobHeader(const JobOptions& job, std::time_t now) {
    std::fprintf(stderr, "DEBUG:[Tamberlyx]%s\n", std::string(mediaTypeField(job.isMediaType)).c_str());
    std::fprintf(stderr, "DEBUG:[Tamberlyx]%s\n", std::string(sidesField(job.isDuplex)).c_str());
    std::fprintf(stderr, "DEBUG:[Tamberlyx]Copies=%s;\n", printableForLog(job.jobCopies).c_str());
    const std::string header = jobHeaderText(job, now);
    std::fprintf(stderr, "DEBUG:[Tamberlyx]send job header info : %s \n", printableForLog(header).c_str());
    sendCmd(header);
}

void JobStream::sendPageHeader(const JobOptions& job, int width, int height) {
    std::fprintf(stderr, "DEBUG:[Tamberlyx]%s\n", std::string(mediaSizeField(job.pageSize)).c_str());
    const auto tray = trayField(job.isInputSlot);
    std::fprintf(stderr, "DEBUG:[Tamberlyx]tray field: %s\n",
                 tray.empty() ? "(none)" : std::string(tray).c_str());
    const std::string header = pageHeaderText(job, width, height);
    std::fprintf(stderr, "DEBUG:[Tamberlyx]send page header info : %s \n", header.c_str());
    sendCmd(header);
}

int JobStream::sendPageData(const std::string& path) {
    std::fprintf(stderr, "DEBUG:[Tamberlyx]start to send page : %s\n", path.c_str());
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) {
        std::fprintf(stderr, "DEBUG:[Tamberlyx]can not open file %s, goto loopendPage and CancelJob;\n",
                     path.c_str());
        return 3;
    }
    char piece[kMaxPieceBytes];
    struct Sending {
        bool& flag;
        explicit Sending(bool& f) : flag(f) { flag = true; }
        ~Sending() { flag = false; }
    } sending(sendingPage_);
    for (;;) {
        const std::size_t n = std::fread(piece, 1, sizeof piece, file.get());
        std::fprintf(stderr, "DEBUG:[Tamberlyx]read jbig file and readsize = %zu\n", n);
        if (n == 0)
            break;
        char prefix[100];
        const int prefixLength = std::snprintf(prefix, sizeof prefix, "RasterObject.Data#%zu=", n);
        write(prefix, static_cast<std::size_t>(prefixLength));
        write(piece, n);
        write(";", 1);
        if (failed_)
            break;
        const cups_sc_status_t status = drain();
        if (printerLost_ || failed_)
            break;
        if (status == CUPS_SC_STATUS_TIMEOUT)
            std::fprintf(stderr, "DEBUG:[Tamberlyx] write data to stdout time out \n");
        else if (status == CUPS_SC_STATUS_IO_ERROR)
            std::fprintf(stderr, "DEBUG:[Tamberlyx] write data to stdout IO Error \n");
        else if (status == CUPS_SC_STATUS_NO_RESPONSE)
            std::fprintf(stderr, "DEBUG:[Tamberlyx] write data to stdout no response \n");
    }
    // A page cut short must not pass for a printed one: the caller turns 3 into a failed job.
    if (std::ferror(file.get())) {
        std::fprintf(stderr, "ERROR: [Tamberlyx] read error in %s: the page's data ends early\n",
                     path.c_str());
        return 3;
    }
    return outputFailed() ? 3 : 0;
}

} // namespace tbx
