#include "printfilter/SideChannel.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/stat.h>

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

cups_sc_status_t CupsSideChannel::request(cups_sc_command_t command, double timeout) {
    if (!present_)
        return CUPS_SC_STATUS_NOT_IMPLEMENTED;
    char data[512];
    int length = sizeof data;
    const cups_sc_status_t status = cupsSideChannelDoRequest(command, data, &length, timeout);
    if (status == CUPS_SC_STATUS_BAD_MESSAGE && !answered_) {
        markAbsent("the side channel is broken");
    } else if (status == CUPS_SC_STATUS_TIMEOUT) {
        // Silence before any answer at all means there is no backend behind the channel; a
        // backend that has answered before is only slow this time.
        if (!answered_ && command != CUPS_SC_CMD_GET_CONNECTED)
            markAbsent("the side channel request got no answer");
    } else {
        answered_ = true;
    }
    return status;
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
