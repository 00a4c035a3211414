#include "printfilter/SideChannel.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tbx {

namespace {

constexpr int kBackChannelFd = 3; // where the scheduler puts the back channel of every filter

bool isSocket(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

} // namespace

CupsSideChannel::CupsSideChannel(const char* deviceUri) : present_(true) {
    if (!isSocket(CUPS_SC_FD))
        markAbsent("no side channel");
    else if (deviceUri && std::strncmp(deviceUri, "file:", 5) == 0)
        markAbsent("the queue writes to a file, no backend");
}

void CupsSideChannel::markAbsent(const char* reason) {
    if (!present_)
        return;
    present_ = false;
    std::fprintf(stderr, "DEBUG:[Tamberlyx] %s: not asking the backend anything more\n", reason);
}

bool CupsSideChannel::receive(double timeout) {
    pollfd p{CUPS_SC_FD, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&p, 1, timeout <= 0 ? 0 : static_cast<int>(timeout * 1000));
    } while (ready < 0 && errno == EINTR);
    if (ready < 0 || (p.revents & POLLNVAL))
        return false;
    if (ready == 0)
        return true;
    char buffer[4096];
    ssize_t n;
    do {
        n = ::read(CUPS_SC_FD, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    if (n <= 0)
        return false;
    received_.append(buffer, static_cast<std::size_t>(n));
    return true;
}

bool CupsSideChannel::takeAnswer(cups_sc_command_t& command, cups_sc_status_t& status) {
    // Each answer: command byte, status byte, 16-bit big-endian data length, data.
    if (received_.size() < 4)
        return false;
    const std::size_t length =
        (static_cast<unsigned char>(received_[2]) << 8) | static_cast<unsigned char>(received_[3]);
    if (received_.size() < 4 + length)
        return false;
    command = static_cast<cups_sc_command_t>(static_cast<unsigned char>(received_[0]));
    status = static_cast<cups_sc_status_t>(static_cast<unsigned char>(received_[1]));
    received_.erase(0, 4 + length);
    return true;
}

cups_sc_status_t CupsSideChannel::closed() {
    // Before any answer: nobody was ever behind the channel. After one: the backend has gone,
    // and with it the printer.
    if (!answered_) {
        markAbsent("the side channel is closed");
        return CUPS_SC_STATUS_NOT_IMPLEMENTED;
    }
    return CUPS_SC_STATUS_IO_ERROR;
}

cups_sc_status_t CupsSideChannel::request(cups_sc_command_t command, double timeout) {
    if (!present_)
        return CUPS_SC_STATUS_NOT_IMPLEMENTED;
    // Whatever is waiting now answers an earlier request that timed out.
    const bool open = receive(0);
    cups_sc_command_t gotCommand;
    cups_sc_status_t status;
    while (takeAnswer(gotCommand, status))
        lateAnswer_ = false;
    if (!open || cupsSideChannelWrite(command, CUPS_SC_STATUS_NONE, nullptr, 0, timeout) != 0)
        return closed();
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration<double>(timeout);
    bool skippedAsLate = false;
    for (;;) {
        while (takeAnswer(gotCommand, status)) {
            // The backend answers in order: the first answer after a time-out is the late one.
            if (lateAnswer_) {
                lateAnswer_ = false;
                skippedAsLate = true;
                continue;
            }
            if (gotCommand == command) {
                answered_ = true;
                return status;
            }
            // An answer to another command: one that was given up on; skipped.
        }
        const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
        if (left <= 0)
            break;
        if (!receive(left))
            return closed();
    }
    // This request's answer may still come. When an answer was skipped as the late one and none
    // followed, the backend had dropped the earlier request and the skipped answer was this one's:
    // nothing more is owed. Any answer to the connection question says the same, so a late one
    // may stand for the next.
    if (command != CUPS_SC_CMD_GET_CONNECTED)
        lateAnswer_ = !skippedAsLate;
    // Silence before any answer at all means there is no backend behind the channel; a backend
    // that has answered before is only slow this time.
    if (!answered_ && command != CUPS_SC_CMD_GET_CONNECTED)
        markAbsent("the side channel request got no answer");
    return CUPS_SC_STATUS_TIMEOUT;
}

ssize_t CupsBackChannel::read(char* buffer, std::size_t size, double timeout) {
    // cupsBackChannelRead goes on to a blocking read when its wait times out, which would hang
    // the job on a printer that does not answer: wait here and let it read only what is there.
    pollfd p{kBackChannelFd, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&p, 1, static_cast<int>(timeout * 1000));
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0 || (p.revents & POLLNVAL))
        return -1;
    return cupsBackChannelRead(buffer, size, 0.0);
}

const char* sideChannelStatusName(cups_sc_status_t status) {
    switch (status) {
    case CUPS_SC_STATUS_NONE:
        return "none";
    case CUPS_SC_STATUS_OK:
        return "ok";
    case CUPS_SC_STATUS_IO_ERROR:
        return "io-error";
    case CUPS_SC_STATUS_TIMEOUT:
        return "timeout";
    case CUPS_SC_STATUS_NO_RESPONSE:
        return "no-response";
    case CUPS_SC_STATUS_BAD_MESSAGE:
        return "bad-message";
    case CUPS_SC_STATUS_TOO_BIG:
        return "too-big";
    case CUPS_SC_STATUS_NOT_IMPLEMENTED:
        return "not-implemented";
    }
    return "unknown";
}

} // namespace tbx
