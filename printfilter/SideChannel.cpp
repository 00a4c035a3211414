#include "printfilter/SideChannel.h"

#include <cstdio>
#include <sys/stat.h>

namespace tbx {

namespace {

bool isSocket(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

} // namespace

CupsSideChannel::CupsSideChannel() : present_(isSocket(CUPS_SC_FD)) {
    if (!present_)
        std::fprintf(stderr, "DEBUG:[Tamberlyx] no side channel to a backend: not waiting for its answers\n");
}

cups_sc_status_t CupsSideChannel::request(cups_sc_command_t command, double timeout) {
    if (!present_)
        return CUPS_SC_STATUS_NOT_IMPLEMENTED;
    char data[512];
    int length = sizeof data;
    const cups_sc_status_t status = cupsSideChannelDoRequest(command, data, &length, timeout);
    if (status == CUPS_SC_STATUS_TIMEOUT || status == CUPS_SC_STATUS_BAD_MESSAGE) {
        // Silence (or a closed channel) before any answer at all means there is no backend
        // behind the channel; a backend that has answered before is only slow this time.
        if (!answered_) {
            present_ = false;
            std::fprintf(stderr,
                         "DEBUG:[Tamberlyx] side channel request %d got no answer (%s): no backend "
                         "behind the side channel, not asking again\n",
                         static_cast<int>(command), sideChannelStatusName(status));
        }
    } else {
        answered_ = true;
    }
    return status;
}

ssize_t CupsBackChannel::read(char* buffer, std::size_t size, double timeout) {
    return cupsBackChannelRead(buffer, size, timeout);
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
